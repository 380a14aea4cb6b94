// The one seam between Tarvex's portable core and the operating system.
//
// The core (channel table, session log, ECU link, conversions, chart geometry) never includes
// <windows.h>; whatever it needs of the machine it asks for here. The os_*_win.cpp files beside
// this header implement these calls on Win32 for Tarvex.exe; the tests and benchmarks link one
// test platform (tests/support/fake_os.cpp) that keeps the log in memory, runs a virtual clock
// and puts the simulated ECU, or a script, behind the serial port.
//
// The seam runs one way: nothing in platform/ includes the core. House style: free functions,
// success is nonzero, failure 0. Text is wide, as on Win32. The calls have C linkage: a build
// that puts something between the core and the system (the tick-timing build links with
// --wrap) names them as they are written.
#pragma once

#include <cstdint>

extern "C" {

// --- Serial port: one synchronous handle, one byte at a time ---------------------------------

int OsOpenPort(const wchar_t* path); // CreateFileW, read+write, no sharing, OPEN_EXISTING
void OsClosePort();                  // closes the port if it is open; harmless otherwise
int OsPortIsOpen();
// Reads the current time-outs, sets the five fields Tarvex uses (reads return at once with a
// waiting byte, else wait up to readWaitMs for one; writes have no time-out) and applies them.
int OsApplyPortTimeouts(uint32_t readWaitMs);

// The port's line settings: the fields of the driver's DCB that Tarvex reads or sets. The Win32
// side keeps every other field as the driver reports it.
struct LineSettings {
    uint32_t baudRate;
    uint8_t byteSize;       // data bits
    uint8_t parity;         // 0: none
    uint8_t stopBits;       // 0: one
    uint8_t binary;         // fBinary: the only mode Windows supports
    uint8_t dtrControl;     // 0 off, 1 on, 2 handshake
    uint8_t rtsControl;     // 0 off, 1 on, 2 handshake, 3 toggle
    uint8_t outxCtsFlow;    // CTS output flow control
    uint8_t outxDsrFlow;    // DSR output flow control
    uint8_t dsrSensitivity; // bytes dropped while DSR is low
    uint8_t outX;           // XON/XOFF flow control of what is sent
    uint8_t inX;            // XON/XOFF flow control of what is received
    uint8_t errorCharOn;    // fErrorChar: bytes with parity errors replaced by errorChar
    uint8_t discardNull;    // fNull: NUL bytes dropped
    uint8_t abortOnError;   // every read and write fails after a line error until it is cleared
    uint16_t xonLim;        // XON/XOFF thresholds and characters: unused with both flows off,
    uint16_t xoffLim;       //   but Windows refuses settings whose two characters are equal
    uint8_t xonChar;
    uint8_t xoffChar;
    uint8_t errorChar;
};
// GetCommState: the settings as the driver reports them. A failed read leaves *settings zero.
int OsReadLineSettings(LineSettings* settings);
// SetCommState with these fields over what the driver reports for the rest.
int OsApplyLineSettings(const LineSettings* settings);
// ClearCommError: the driver's error state is cleared; with abortOnError set, a line error (a
// break, such as the K-line held low) stops every transfer until this is called.
void OsClearLineErrors();
int OsSetRts(int asserted); // asserted pulls the K-line low through the adapter
int OsPurgePort();          // discards both the receive and the transmit buffer
// One-byte read; *received is set to the number of bytes delivered (0 after the read wait
// expired). The result is the success of the read call itself.
int OsReadPortByte(uint8_t* byte, uint32_t* received);
int OsWritePortByte(uint8_t byte);
// The line-stop flag. Raised while the program is closing, or while a reader thread that did not
// end in time is cut off: every wait on the line then ends early and every transfer fails, so
// whoever is on the line gets off it within one read's wait. Lowered once the line is free.
void OsSetLineStop(int raised);
int OsLineStopped();
// While on, the window's thread goes on painting and hears a close during its sleeps and port
// reads, which end early, a read failing, once the line-stop flag is raised. The user's other
// input waits in the queue meanwhile: nothing the user does may stretch a step on the line. A
// connection attempt, which runs on the window's thread, turns it on for its length; other
// threads' waits are never affected.
void OsKeepWindowResponsive(int on);

// --- Time --------------------------------------------------------------------------------------

uint32_t OsTickCount(); // milliseconds since system start, wrapping, read from a 1 ms clock
// Windows rounds every wait up to its timer tick, 15.625 ms unless a program asks for finer. While
// raised, this program's waits end within a millisecond of their time; lowering it gives the
// system its default back. Raising it twice is raising it once.
void OsRaiseTimerResolution(int raised);
void OsSleep(uint32_t ms);
// The current local time in the U.S. English default format ("8:17:45 PM"); 0 on failure.
int OsFormatLocalTime(wchar_t* buffer, int capacity);

// --- The user --------------------------------------------------------------------------------

// A modal message box with one OK button and no icon; ownedByMainWindow chooses between the main
// window and no owner. Returns when the user has dismissed it.
void OsShowMessage(const wchar_t* text, const wchar_t* caption, int ownedByMainWindow);
// The status line at the top right of the main window: sets its text and repaints it at once.
void OsSetStatusText(const wchar_t* text);
// The Pause button's caption ("Pause" or "Resume"), repainted at once.
void OsSetPauseButtonText(const wchar_t* text);
// Repaints a channel's button at once: its indicator follows the channel's enabled flag.
void OsRedrawChannelButton(int channel);
// Repaints whatever of the main window is waiting to be painted, before returning.
void OsUpdateMainWindow();
// Sends WM_CLOSE to the main window: the program ends.
void OsCloseMainWindow();
// Asks the user where to save a copy of the log; 0 when cancelled or the dialog failed.
int OsAskSaveLogPath(wchar_t* path, int capacity);

// --- The reader thread: at most one exists at a time ------------------------------------------

typedef uint32_t (*ReaderThreadProc)(void* parameter);
// Creates the thread suspended, with no argument; the handle of an earlier thread, which has
// ended by then, is closed first. Nonzero on success.
int OsCreateReaderThread(ReaderThreadProc proc);
// Gives the thread normal priority and lets it run.
void OsResumeReaderThread();
// Waits up to ms for the reader thread to end, closing a message box it is showing so that it
// can; nonzero once it has ended (or when there is none). Its handle is then closed.
int OsJoinReaderThread(uint32_t ms);

// --- The chart: drawing on the off-screen surface ---------------------------------------------
// Every tool comes from the colour set made with the window; nothing is created while drawing.

constexpr int OS_CHANNEL_COUNT = 8; // a pen, a brush and a button for each channel

struct ChartPoint {
    int32_t x;
    int32_t y;
};

// A rectangle of the client area, in pixels, right and bottom exclusive.
struct ChartArea {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

enum ChartPen : int32_t {
    PEN_CHANNEL_0 = 0, // PEN_CHANNEL_0 + i: channel i's solid pen
    PEN_GRID = 8,      // the solid grey of the lowest grid line
    PEN_DASH = 9,      // the dashed dark grey of the other grid lines and the time marks
};

void OsFillChartBlack(const ChartArea* area);         // the whole chart area, stock black brush
void OsSelectChartPen(ChartPen pen);
void OsSelectChannelBrush(int channel);
void OsDrawPolyline(const ChartPoint* points, int count);
void OsDrawPolygon(const ChartPoint* points, int count);
void OsSetChartTextColour(uint32_t colour);           // 0x00BBGGRR
void OsDrawChartText(int32_t x, int32_t y, const wchar_t* text, int length); // top-left at x, y
// Invalidates the chart area without erasing and paints it from the surface before returning.
void OsPresentChart(const ChartArea* area);
// The caption of channel i's button, repainted with it.
void OsSetChannelCaption(int channel, const wchar_t* caption);

// --- Files -----------------------------------------------------------------------------------

// The port name file in the working directory.
enum ConfigReadResult {
    ConfigMissing = 0,    // the file cannot be opened
    ConfigRead = 1,       // *length bytes were read into buffer
    ConfigUnreadable = 2, // the file opened but the read failed
};
ConfigReadResult OsReadConfigFile(uint8_t* buffer, uint32_t capacity, uint32_t* length);

// "Tarvex.log" in the working directory, open for the whole run; others may only read it.
struct LocalTime {
    uint16_t year, month, day, hour, minute, second;
};
// The last-write time, in local time, of a "Tarvex.log" already in the working directory; 0 when
// there is none.
int OsEarlierLogTime(LocalTime* time);
enum RenameResult { RenameDone = 0, RenameNameTaken = 1, RenameFailed = 2 };
// Renames "Tarvex.log" to `name` in the same folder; a file of that name is never replaced.
RenameResult OsRenameLogFile(const wchar_t* name);
int OsCreateLogFile();                              // create or replace it, empty
int OsWriteLogFile(const char* bytes, uint32_t n);  // one synchronous write
void OsCloseLogFile();                              // harmless when not open
int OsReopenLogFileForAppend();                     // open it again, positioned at its end
int OsCopyLogFile(const wchar_t* destination);      // replaces an existing destination

// The one lock of the program: it keeps each log write whole between the two threads.
void OsInitLogLock();
void OsEnterLogLock();
void OsLeaveLogLock();

} // extern "C"
