// Win32 side of the seam: the window's thread waiting on the line.
//
// A connection attempt runs on the window's thread, from the tick, and spends seconds waiting:
// ten 200 ms address bits, then up to 1.5 s for each byte the ECU owes, many more with a slow
// ECU. The ECU times every step, so the waits must end on time whatever the user does: a menu
// opened, a title bar dragged or a dialog shown from inside a wait would run its own modal loop
// there and hold RTS or an unanswered byte for as long as the user likes. So a wait handles only
// what cannot start a modal loop: messages sent to the thread (by Windows, by other threads and
// programs), painting from the back buffer, and a close. The user's keys and clicks stay in the
// queue, in order, and reach the message loop (and its accelerators) once the attempt is over, as
// in a program that simply blocks for it.
//
// A close must still end the attempt at once. Another program's WM_CLOSE is a posted message,
// taken here. The close box and Alt+F4 arrive as input, which stays queued: each wait looks at
// the input where it waits, without taking it off the queue, and a press on the close box or an
// F4 pressed with Alt becomes a WM_CLOSE. (System-wide input hooks would see the same gestures,
// but they make every key press and mouse move of the desktop wait for this thread.)
#include "platform/os_wait_win.h"

#include "platform/platform.h"

#include <atomic>

namespace {

// Wakes a wait: everything but timer ticks, which belong to the message loop. New input wakes it
// too, so that a close gesture is seen as it comes; the input is still left where it is.
constexpr DWORD WAKE_MASK = QS_INPUT | QS_POSTMESSAGE | QS_PAINT | QS_SENDMESSAGE;
// Windows that still want painting after this many rounds are left for the message loop.
constexpr int PAINT_ROUNDS = 32;

std::atomic<int32_t> lineStop{0};
DWORD responsiveThread; // the thread whose waits handle messages; 0 when none

ULONGLONG NowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<ULONGLONG>(count.QuadPart) * 1000 /
           static_cast<ULONGLONG>(frequency.QuadPart);
}

// The window a close gesture on `w` closes, if it is one of ours that a close may end: a
// top-level window of this thread that no other window owns.
HWND CloseTarget(HWND w) {
    HWND top = w ? GetAncestor(w, GA_ROOT) : nullptr;
    if (!top || GetWindowThreadProcessId(top, nullptr) != GetCurrentThreadId() ||
        GetWindow(top, GW_OWNER))
        return nullptr;
    return top;
}

// A press on a window's close box, left in the queue: PeekMessage turns a queued click into its
// non-client form with the hit-test code of where it landed, asking the window itself, in its
// own coordinates. (A filter sees only the first click of its range.)
HWND QueuedCloseBoxPress() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, WM_NCLBUTTONDOWN, WM_NCLBUTTONUP, PM_NOREMOVE | PM_NOYIELD) ||
        msg.wParam != HTCLOSE)
        return nullptr;
    return CloseTarget(msg.hwnd);
}

// Alt+F4 pressed on one of our windows. The queue shows only the first key pressed with Alt,
// which is Alt itself; F4, which comes after it, is seen in the keyboard's state. A wait wakes
// the moment a key arrives, while F4 is still held down; the "pressed since the last look" bit,
// which Windows keeps only for old programs' sake, also catches a press and release that came
// together (Wine takes the display's key events in batches). Alt's key-down waiting for this
// thread, and one of our windows in front, tell that the keys were pressed on Tarvex.
HWND QueuedAltF4() {
    const int f4 = (GetAsyncKeyState(VK_F4) & 0x8001) != 0; // looked at every time: see above
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, WM_SYSKEYDOWN, WM_SYSKEYDOWN, PM_NOREMOVE | PM_NOYIELD))
        return nullptr;
    if (msg.wParam != VK_F4 && !(msg.wParam == VK_MENU && f4))
        return nullptr;
    HWND target = CloseTarget(msg.hwnd);
    return target && CloseTarget(GetForegroundWindow()) == target ? target : nullptr;
}

// Turns a close gesture waiting in the queue into a WM_CLOSE; the gesture itself stays there,
// for a window that will be gone by the time it is read.
void PostCloseForQueuedGesture() {
    HWND target = QueuedCloseBoxPress();
    if (!target)
        target = QueuedAltF4();
    if (target)
        PostMessageW(target, WM_CLOSE, 0, 0);
}

// Takes the first posted message in [first, last] if `wanted` accepts it; nonzero if it did.
int DispatchPosted(UINT first, UINT last, int (*wanted)(const MSG&)) {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, first, last, PM_NOREMOVE) || !wanted(msg))
        return 0;
    PeekMessageW(&msg, nullptr, first, last, PM_REMOVE);
    DispatchMessageW(&msg);
    return 1;
}

int AnyMessage(const MSG&) { return 1; }
int IsCloseCommand(const MSG& msg) { return (msg.wParam & 0xFFF0) == SC_CLOSE; }

} // namespace

void OsSetLineStop(int raised) { lineStop.store(raised ? 1 : 0, std::memory_order_relaxed); }
int OsLineStopped() { return lineStop.load(std::memory_order_relaxed); }

void OsKeepWindowResponsive(int on) {
    if (on) {
        responsiveThread = GetCurrentThreadId();
        GetAsyncKeyState(VK_F4); // an F4 pressed before the attempt is no part of its gestures
        return;
    }
    // Input that came during the attempt goes ahead of the timer's tick that waits behind it.
    // Wine takes the display's events into the queue only when asked: a wait for input, timed
    // out at once, asks.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
    responsiveThread = 0;
}

int WaitsKeepWindowResponsive() {
    return responsiveThread != 0 && responsiveThread == GetCurrentThreadId();
}

void HandleWaitingMessages() {
    // Each PeekMessageW also delivers the messages sent to this thread.
    for (int round = 0; round < PAINT_ROUNDS && !OsLineStopped(); round++)
        if (!DispatchPosted(WM_PAINT, WM_PAINT, AnyMessage))
            break;
    if (!OsLineStopped())
        PostCloseForQueuedGesture();
    if (!OsLineStopped() && !DispatchPosted(WM_CLOSE, WM_CLOSE, AnyMessage))
        DispatchPosted(WM_SYSCOMMAND, WM_SYSCOMMAND, IsCloseCommand);
    // What is left is news no more: the next wait sleeps until something new arrives.
    GetQueueStatus(QS_ALLINPUT);
}

int WaitHandlingMessages(DWORD ms) {
    const ULONGLONG start = NowMs();
    for (;;) {
        HandleWaitingMessages();
        if (OsLineStopped())
            return 0;
        const ULONGLONG waited = NowMs() - start;
        if (waited >= ms)
            return 1;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - static_cast<DWORD>(waited), WAKE_MASK);
    }
}

void OsSleep(uint32_t ms) {
    if (WaitsKeepWindowResponsive())
        WaitHandlingMessages(ms);
    else
        Sleep(ms);
}
