// Win32 side of the seam: the port name file, the log file and the log's lock.
#include "platform/platform.h"

#include <windows.h>

namespace {

const wchar_t LOG_FILE_NAME[] = L"Tarvex.log";
const wchar_t CONFIG_FILE_NAME[] = L"Tarvex.cfg";

// "Tarvex.log", open for the run. Others may read it meanwhile (a viewer, a spreadsheet), but
// none may write it: a second Tarvex in the same folder cannot take it over.
HANDLE logFile = INVALID_HANDLE_VALUE;
CRITICAL_SECTION logLock;              // guards every write and the close-copy-reopen of a save
// The log's full path, taken when it is created. The save dialog moves the working directory to
// the folder the user browsed to, and the copy and the reopen must still find this file.
constexpr DWORD LOG_PATH_CHARS = 1024;
wchar_t logPath[LOG_PATH_CHARS];

// The log's full path, from the working directory at the start.
void TakeLogPath() {
    const DWORD n = GetFullPathNameW(LOG_FILE_NAME, LOG_PATH_CHARS, logPath, nullptr);
    if (n == 0 || n >= LOG_PATH_CHARS) // a working directory too deep to name: stay relative
        lstrcpynW(logPath, LOG_FILE_NAME, LOG_PATH_CHARS);
}

} // namespace

ConfigReadResult OsReadConfigFile(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    *length = 0;
    HANDLE file = CreateFileW(CONFIG_FILE_NAME, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ConfigMissing;
    DWORD read = 0;
    BOOL ok = ReadFile(file, buffer, capacity, &read, nullptr);
    CloseHandle(file);
    if (!ok)
        return ConfigUnreadable;
    *length = read;
    return ConfigRead;
}

int OsEarlierLogTime(LocalTime* time) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    SYSTEMTIME utc, local;
    if (!GetFileAttributesExW(LOG_FILE_NAME, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !FileTimeToSystemTime(&data.ftLastWriteTime, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return 0;
    *time = {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
    return 1;
}

RenameResult OsRenameLogFile(const wchar_t* name) {
    if (MoveFileExW(LOG_FILE_NAME, name, 0)) // without MOVEFILE_REPLACE_EXISTING
        return RenameDone;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameNameTaken
                                                                        : RenameFailed;
}

int OsCreateLogFile() {
    TakeLogPath();
    logFile = CreateFileW(logPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return logFile != INVALID_HANDLE_VALUE;
}

int OsWriteLogFile(const char* bytes, uint32_t n) {
    if (logFile == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    return WriteFile(logFile, bytes, n, &written, nullptr) && written == n;
}

void OsCloseLogFile() {
    if (logFile != INVALID_HANDLE_VALUE)
        CloseHandle(logFile);
    logFile = INVALID_HANDLE_VALUE;
}

int OsReopenLogFileForAppend() {
    if (!logPath[0]) // an earlier log that could not be renamed, opened to go on at its end
        TakeLogPath();
    logFile = CreateFileW(logPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (logFile == INVALID_HANDLE_VALUE)
        return 0;
    SetFilePointer(logFile, 0, nullptr, FILE_END);
    return 1;
}

int OsCopyLogFile(const wchar_t* destination) {
    return CopyFileW(logPath, destination, FALSE) != 0;
}

void OsInitLogLock() { InitializeCriticalSection(&logLock); }
void OsEnterLogLock() { EnterCriticalSection(&logLock); }
void OsLeaveLogLock() { LeaveCriticalSection(&logLock); }
