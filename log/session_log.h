// The session log, "Tarvex.log": one file per run, written by both threads through LogWrite.
#pragma once

// One write converts at most this many characters at a time (a 200-byte buffer with its
// terminator); longer texts are written whole, in several pieces, under one hold of the lock.
constexpr int LOG_WRITE_CHARS = 199;

// Appends the text as single-byte characters: code points below 256 as themselves, anything else
// as "?". No line end is added. Callable from either thread; each call lands whole in the file.
void LogWrite(const wchar_t* text);
// The same for narrow (byte) text such as printf output; its bytes are written as they stand.
void LogWriteNarrow(const char* text);

// The single-byte form of a wide text, as LogWrite writes it, into buffer (capacity >= 1, always
// terminated). Returns the number of bytes stored. Exposed for the tests of the conversion.
int NarrowLogText(const wchar_t* text, char* buffer, int capacity);

// Keeps the log of an earlier run, found in the working directory, under the name
// Tarvex-YYYYMMDD-HHMMSS.log (its last write, in local time; -2, -3, ... after it where the name
// is taken), before this run creates its own. 0 only when there is one and it could not be kept.
int KeepEarlierLog();

// Command 111: copies the log so far to a file the user picks; logging then goes on in
// "Tarvex.log", which keeps its content.
void SaveLogAs();

// Closes the log for good at the end of the run, under the lock, so that a write still under way
// on the other thread lands before the close and none comes after it.
void CloseLog();
