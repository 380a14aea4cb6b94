// Win32 side of the seam: the reader thread's life.
#include "platform/platform.h"

#include <windows.h>

namespace {

HANDLE readerThread;          // the latest reader thread, until its handle is closed
DWORD readerThreadId;
ReaderThreadProc readerProc;  // what the thread runs

DWORD WINAPI ReaderThreadStart(LPVOID parameter) { return readerProc(parameter); }

BOOL CALLBACK DismissThreadWindow(HWND window, LPARAM) {
    // The reader's only window is its message box. It is told that its OK button was pressed,
    // which ends it whether or not it is the active window; a click on the button itself may do
    // nothing to a box that is not active. Posted, so that the two threads never wait on each
    // other here.
    HWND ok = GetDlgItem(window, IDOK);
    if (ok)
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(ok));
    return TRUE;
}

void CloseReaderHandle() {
    if (readerThread)
        CloseHandle(readerThread);
    readerThread = nullptr;
}

} // namespace

int OsCreateReaderThread(ReaderThreadProc proc) {
    // An earlier thread has ended before a new connection is made; only its handle is left.
    CloseReaderHandle();
    readerProc = proc;
    readerThread = CreateThread(nullptr, 0, ReaderThreadStart, nullptr, CREATE_SUSPENDED,
                                &readerThreadId);
    return readerThread != nullptr;
}

void OsResumeReaderThread() {
    SetThreadPriority(readerThread, THREAD_PRIORITY_NORMAL);
    ResumeThread(readerThread);
}

int OsJoinReaderThread(uint32_t ms) {
    if (!readerThread)
        return 1;
    const DWORD start = GetTickCount();
    for (;;) {
        // The thread may be waiting on its message box; close it so the thread can end.
        EnumThreadWindows(readerThreadId, DismissThreadWindow, 0);
        const DWORD waited = GetTickCount() - start;
        if (waited >= ms)
            return 0;
        // Let messages sent from the reader's thread through (its message box talks to the main
        // window while it closes), or the two threads would wait for each other. Peeking
        // delivers them; nothing posted is taken off the queue.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        if (WaitForSingleObject(readerThread, ms - waited < 20 ? ms - waited : 20) ==
            WAIT_OBJECT_0) {
            CloseReaderHandle();
            return 1;
        }
    }
}
