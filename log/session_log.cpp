// The session log: the byte form of the program's wide texts, the one lock that keeps every write
// whole between the GUI thread and the reader thread, and the copy to a file of the user's choice.
//
// Nothing is buffered here: each text reaches the file with synchronous writes at the moment it
// is logged, so the log is complete up to its last line even if the program is killed.
#include "session_log.h"

#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int LOG_BUFFER_BYTES = LOG_WRITE_CHARS + 1;
constexpr int EARLIER_LOG_NAMES = 99; // names tried for an earlier log of one second

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Converts characters from text[*pos] until the text ends or the buffer is full; a surrogate
// pair counts as one character, so a 16-bit and a 32-bit wchar_t give the same bytes.
int NarrowSome(const wchar_t* text, int* pos, char* buffer, int room) {
    int n = 0;
    while (text[*pos] != 0 && n < room) {
        uint32_t c = static_cast<uint32_t>(text[*pos]);
        (*pos)++;
        if (IsHighSurrogate(static_cast<wchar_t>(c)) && IsLowSurrogate(text[*pos]))
            (*pos)++;
        buffer[n++] = c < 256 ? static_cast<char>(c) : '?';
    }
    buffer[n] = 0;
    return n;
}

} // namespace

int NarrowLogText(const wchar_t* text, char* buffer, int capacity) {
    int pos = 0;
    return NarrowSome(text, &pos, buffer, capacity - 1);
}

void LogWrite(const wchar_t* text) {
    char buffer[LOG_BUFFER_BYTES];
    int pos = 0;
    OsEnterLogLock();
    while (text[pos] != 0) {
        int n = NarrowSome(text, &pos, buffer, LOG_WRITE_CHARS);
        OsWriteLogFile(buffer, static_cast<uint32_t>(n));
    }
    OsLeaveLogLock();
}

void LogWriteNarrow(const char* text) {
    size_t left = strlen(text);
    OsEnterLogLock();
    while (left > 0) {
        uint32_t n = left < LOG_WRITE_CHARS ? static_cast<uint32_t>(left) : LOG_WRITE_CHARS;
        OsWriteLogFile(text, n);
        text += n;
        left -= n;
    }
    OsLeaveLogLock();
}

int KeepEarlierLog() {
    LocalTime t;
    if (!OsEarlierLogTime(&t))
        return 1;
    // Tarvex-YYYYMMDD-HHMMSS.log, then -2, -3, ... where a log of the same second is kept already.
    for (int copy = 1; copy <= EARLIER_LOG_NAMES; copy++) {
        char name[64];
        std::snprintf(name, sizeof name, "Tarvex-%04u%02u%02u-%02u%02u%02u", t.year, t.month,
                      t.day, t.hour, t.minute, t.second);
        if (copy > 1)
            std::snprintf(name + std::strlen(name), sizeof name - std::strlen(name), "-%d", copy);
        std::strcat(name, ".log");
        wchar_t wide[64];
        int i = 0;
        for (; name[i]; i++)
            wide[i] = static_cast<wchar_t>(name[i]);
        wide[i] = 0;
        const RenameResult result = OsRenameLogFile(wide);
        if (result != RenameNameTaken)
            return result == RenameDone;
    }
    return 0;
}

void SaveLogAs() {
    wchar_t path[260] = {0};
    if (!OsAskSaveLogPath(path, 260))
        return;
    // The file is open for writing, which the copy's read does not share, so it is copied while
    // closed; doing the close, the copy and the reopen under the lock keeps the reader thread's
    // lines out of the gap.
    OsEnterLogLock();
    OsCloseLogFile();
    int copied = OsCopyLogFile(path);
    int reopened = OsReopenLogFileForAppend();
    OsLeaveLogLock();
    // Say so when something went wrong rather than let the user believe the copy exists or that
    // logging goes on. The boxes come after the lock is left: the reader thread logs meanwhile.
    if (!copied)
        OsShowMessage(L"Cannot copy Log File", L"Error", 1);
    if (!reopened)
        OsShowMessage(L"Cannot reopen Log File", L"Error", 1);
}

void CloseLog() {
    OsEnterLogLock();
    OsCloseLogFile();
    OsLeaveLogLock();
}
