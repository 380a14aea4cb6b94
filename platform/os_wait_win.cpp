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
// taken here. The close box and Alt+F4 arrive as input, which stays queued; low-level hooks,
// installed for the attempt, see that input as it arrives and turn those two gestures into a
// WM_CLOSE without taking anything off the queue.
#include "platform/os_wait_win.h"

#include "platform/platform.h"

#include <atomic>

namespace {

// Wakes a wait: everything but timer ticks, which belong to the message loop. Input is in it so
// that Wine reads the display's events as they come and the hooks see them at once; input is
// still left where it is.
constexpr DWORD WAKE_MASK = QS_INPUT | QS_POSTMESSAGE | QS_PAINT | QS_SENDMESSAGE;
// Windows that still want painting after this many rounds are left for the message loop.
constexpr int PAINT_ROUNDS = 32;

std::atomic<int32_t> lineStop{0};
DWORD responsiveThread; // the thread whose waits handle messages; 0 when none
int insideWait;         // set while that thread is inside one of its waits
HHOOK keyboardHook;
HHOOK mouseHook;

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

LRESULT CALLBACK KeyboardHook(int code, WPARAM message, LPARAM data) {
    const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    if (code == HC_ACTION && insideWait && (message == WM_SYSKEYDOWN || message == WM_KEYDOWN) &&
        key->vkCode == VK_F4 && (key->flags & LLKHF_ALTDOWN))
        if (HWND target = CloseTarget(GetForegroundWindow()))
            PostMessageW(target, WM_CLOSE, 0, 0);
    return CallNextHookEx(nullptr, code, message, data);
}

LRESULT CALLBACK MouseHook(int code, WPARAM message, LPARAM data) {
    const auto* mouse = reinterpret_cast<const MSLLHOOKSTRUCT*>(data);
    if (code == HC_ACTION && insideWait && message == WM_LBUTTONDOWN) {
        HWND target = CloseTarget(WindowFromPoint(mouse->pt));
        const LPARAM at = MAKELPARAM(static_cast<SHORT>(mouse->pt.x),
                                     static_cast<SHORT>(mouse->pt.y));
        if (target && SendMessageW(target, WM_NCHITTEST, 0, at) == HTCLOSE)
            PostMessageW(target, WM_CLOSE, 0, 0);
    }
    return CallNextHookEx(nullptr, code, message, data);
}

void InstallHooks() {
    HINSTANCE self = GetModuleHandleW(nullptr);
    keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHook, self, 0);
    mouseHook = SetWindowsHookExW(WH_MOUSE_LL, MouseHook, self, 0);
}

void RemoveHooks() {
    if (keyboardHook)
        UnhookWindowsHookEx(keyboardHook);
    if (mouseHook)
        UnhookWindowsHookEx(mouseHook);
    keyboardHook = nullptr;
    mouseHook = nullptr;
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
    if (on && !responsiveThread) {
        responsiveThread = GetCurrentThreadId();
        InstallHooks();
    } else if (!on && responsiveThread) {
        RemoveHooks();
        responsiveThread = 0;
    }
}

int WaitsKeepWindowResponsive() {
    return responsiveThread != 0 && responsiveThread == GetCurrentThreadId();
}

void HandleWaitingMessages() {
    insideWait++;
    // Each PeekMessageW also delivers the messages sent to this thread, the hooks' calls among
    // them.
    for (int round = 0; round < PAINT_ROUNDS && !OsLineStopped(); round++)
        if (!DispatchPosted(WM_PAINT, WM_PAINT, AnyMessage))
            break;
    if (!OsLineStopped() && !DispatchPosted(WM_CLOSE, WM_CLOSE, AnyMessage))
        DispatchPosted(WM_SYSCOMMAND, WM_SYSCOMMAND, IsCloseCommand);
    // What is left is news no more: the next wait sleeps until something new arrives.
    GetQueueStatus(QS_ALLINPUT);
    insideWait--;
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
