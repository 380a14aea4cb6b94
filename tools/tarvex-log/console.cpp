#include "console.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarvexlog {

#ifdef _WIN32
bool ConsoleIsOwn() {
    DWORD processes[2], mode;
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

void WaitForKey() {
    std::fputs("Press a key to close this window.\n", stderr);
    std::fflush(stderr);
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(in); // keys pressed while the log was read do not count
    INPUT_RECORD record;
    DWORD n;
    while (ReadConsoleInputW(in, &record, 1, &n))
        if (n == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
}
#else
bool ConsoleIsOwn() { return false; }
void WaitForKey() {}
#endif

} // namespace tarvexlog
