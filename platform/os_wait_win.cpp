// Win32 side of the seam: waits that keep the window responsive.
//
// A connection attempt runs on the window's thread, from the tick, and spends seconds waiting:
// ten 200 ms address bits, then up to 1.5 s for each byte the ECU owes, many more with a slow
// ECU. While it keeps the window responsive, its sleeps and reads dispatch the window's messages,
// so the window paints, takes clicks and hears a close at once; the close stops the line, and
// every wait then ends.
#include "platform/os_wait_win.h"

#include "link/serial_line.h"
#include "platform/platform.h"

namespace {

DWORD responsiveThread; // the thread whose waits dispatch messages; 0 when none

int Stopping() { return lineStopRequested.load(std::memory_order_relaxed); }

ULONGLONG NowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<ULONGLONG>(count.QuadPart) * 1000 /
           static_cast<ULONGLONG>(frequency.QuadPart);
}

// Dispatches what is waiting for the thread. A WM_QUIT belongs to the message loop further
// down the stack: it is put back for it, and the line is being stopped by then anyway.
void DispatchWaiting() {
    MSG msg;
    while (!Stopping() && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

void OsKeepWindowResponsive(int on) { responsiveThread = on ? GetCurrentThreadId() : 0; }

int WaitsKeepWindowResponsive() {
    return responsiveThread != 0 && responsiveThread == GetCurrentThreadId();
}

WaitEnd WaitDispatching(HANDLE event, DWORD ms) {
    const ULONGLONG start = NowMs();
    const DWORD handles = event ? 1 : 0;
    for (;;) {
        if (Stopping())
            return WaitStopped;
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            const ULONGLONG waited = NowMs() - start;
            if (waited >= ms)
                return WaitTimedOut;
            left = ms - static_cast<DWORD>(waited);
        }
        const DWORD woke = MsgWaitForMultipleObjects(handles, &event, FALSE, left, QS_ALLINPUT);
        if (handles && woke == WAIT_OBJECT_0)
            return WaitSignalled;
        if (woke == WAIT_OBJECT_0 + handles)
            DispatchWaiting();
        else if (woke == WAIT_FAILED) // never seen; wait without the messages rather than spin
            return event && WaitForSingleObject(event, left) == WAIT_OBJECT_0 ? WaitSignalled
                                                                               : WaitTimedOut;
    }
}

void OsSleep(uint32_t ms) {
    if (WaitsKeepWindowResponsive())
        WaitDispatching(nullptr, ms);
    else
        Sleep(ms);
}
