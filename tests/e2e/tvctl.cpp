// tvctl: the end-to-end tests' hands and eyes inside the Wine prefix. Run beside Tarvex.exe, it
// reads what the user would read (control and dialog texts), does what the window manager would
// do (post commands, close) and measures what the process holds. Keys and mouse clicks come from
// xdotool; this covers what X cannot see.
//
//   tvctl wait-main MS            wait for the main window; print its client rect on screen
//   tvctl status | text ID        print the status line's text, or that of child control ID
//   tvctl rect ID                 print the screen rect of child ID: left top right bottom
//   tvctl post ID                 post WM_COMMAND ID to the main window
//   tvctl send LOG ID...          for each ID in turn: the size of file LOG, then WM_COMMAND ID
//                                 sent to the main window (handled when the send returns), then
//                                 the size again; prints "ID BEFORE AFTER" for each
//   tvctl close | syscommand-close   post WM_CLOSE, or WM_SYSCOMMAND SC_CLOSE (the close box)
//   tvctl wait-dialog TITLE MS    wait for a top-level dialog; print how it is owned ("main",
//                                 "none" or "other") and then its static texts, a line each
//   tvctl wait-gone TITLE MS      wait until no top-level dialog has that title
//   tvctl press TITLE BUTTON      click the dialog's button whose text is BUTTON
//   tvctl sample                  name=value figures of the process owning the main window:
//                                 pid, windows, systemhandles, gdicells (-1: not to be had)
// Exit code 0 on success, 1 when the window or dialog is not there, 2 on bad usage.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

// Polls until done() holds or ms have passed; whether it held.
template <typename Done> bool WaitUntil(int ms, Done done) {
    for (int waited = 0; !done(); waited += 50, Sleep(50))
        if (waited >= ms)
            return false;
    return true;
}

// GetWindowText does not ask a control of another process for its text (an edit control keeps
// its own), so ask with WM_GETTEXT, which Windows and Wine carry across processes.
std::wstring ControlText(HWND control) {
    wchar_t text[1024] = {0};
    SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        5000, nullptr);
    return text;
}

// A dialog's controls are its direct children.
std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND c = FindWindowExW(parent, nullptr, nullptr, nullptr); c;
         c = FindWindowExW(parent, c, nullptr, nullptr))
        children.push_back(c);
    return children;
}

// --- what the process holds ---------------------------------------------------------------

// The process's entries in the system's handle list (SystemHandleInformation). The prefix's few
// processes hold some thousands of handles; the buffer has room for 340,000.
long long SystemHandles(DWORD pid) {
    std::vector<BYTE> buffer(8 << 20);
    if (NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), nullptr) != 0)
        return -1;
    auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    return std::count_if(list->Handle, list->Handle + list->Count,
                         [pid](const SYSTEM_HANDLE_ENTRY& e) { return e.OwnerPid == pid; });
}

// Live cells of the GDI handle table the PEB points at (GdiSharedHandleTable): 0x10000 cells of 24
// bytes, a cell in use holding its object's address in its first 8 bytes and its type in byte 14.
long long GdiCells(HANDLE process) {
    PROCESS_BASIC_INFORMATION basic = {};
    UINT64 table = 0;
    SIZE_T got = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                  nullptr) != 0 ||
        !ReadProcessMemory(process, reinterpret_cast<const BYTE*>(basic.PebBaseAddress) + 0xF8,
                           &table, sizeof table, &got) ||
        table == 0)
        return -1;
    struct Cell {
        UINT64 object;
        BYTE rest[16]; // the type is rest[6]
    };
    std::vector<Cell> cells(0x10000);
    if (!ReadProcessMemory(process, reinterpret_cast<const void*>(table), cells.data(),
                           cells.size() * sizeof(Cell), &got))
        return -1;
    return std::count_if(cells.begin(), cells.begin() + got / sizeof(Cell),
                         [](const Cell& c) { return c.object != 0 && c.rest[6] != 0; });
}

// The figures of the process that the system gives under Wine 8, which answers
// GetProcessHandleCount and GetGuiResources with 0: its windows (top-level ones and all their
// children, the desktop's descendants), the handles it holds and the GDI objects it has made.
int Sample(HWND main) {
    std::pair<DWORD, long> windows = {0, 0}; // the process, and the windows it owns
    GetWindowThreadProcessId(main, &windows.first);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, windows.first);
    if (!process)
        return 1;
    auto count = [](HWND window, LPARAM param) -> BOOL {
        auto* w = reinterpret_cast<std::pair<DWORD, long>*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        w->second += pid == w->first;
        return TRUE;
    };
    EnumChildWindows(GetDesktopWindow(), count, reinterpret_cast<LPARAM>(&windows));
    std::printf("pid=%lu windows=%ld systemhandles=%lld gdicells=%lld\n",
                static_cast<unsigned long>(windows.first), windows.second,
                SystemHandles(windows.first), GdiCells(process));
    CloseHandle(process);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    auto arg = [&](int i) -> const wchar_t* { return i < argc ? argv[i] : L""; };
    auto number = [&](int i) { return static_cast<int>(std::wcstol(arg(i), nullptr, 10)); };
    auto findMain = [] { return FindWindowW(L"TARVEX", nullptr); };
    auto findDialog = [&] { return FindWindowW(L"#32770", arg(2)); };

    if (command == L"wait-dialog" || command == L"wait-gone") {
        bool appear = command == L"wait-dialog";
        HWND dialog = nullptr;
        if (!WaitUntil(number(3), [&] { return ((dialog = findDialog()) != nullptr) == appear; }))
            return 1;
        HWND owner = GetWindow(dialog, GW_OWNER); // none for wait-gone, which prints nothing more
        std::puts(owner == nullptr ? "none" : owner == findMain() ? "main" : "other");
        for (HWND child : appear ? Children(dialog) : std::vector<HWND>()) {
            wchar_t cls[64];
            GetClassNameW(child, cls, 64);
            std::wstring text = ControlText(child);
            if (lstrcmpiW(cls, L"Static") == 0 && !text.empty())
                std::printf("%ls\n", text.c_str());
        }
        return 0;
    }
    if (command == L"press") {
        HWND dialog = findDialog();
        if (!dialog)
            return 1;
        for (HWND child : Children(dialog)) {
            std::wstring caption = ControlText(child); // compared without its & marks
            caption.erase(std::remove(caption.begin(), caption.end(), L'&'), caption.end());
            if (lstrcmpiW(caption.c_str(), arg(3)) == 0)
                return PostMessageW(child, BM_CLICK, 0, 0) ? 0 : 1;
        }
        return 1;
    }
    if (command == L"wait-main" && !WaitUntil(number(2), [&] { return findMain() != nullptr; }))
        return 1;

    HWND main = findMain();
    if (!main)
        return 1;
    RECT r;
    if (command == L"wait-main" && GetClientRect(main, &r)) {
        MapWindowPoints(main, nullptr, reinterpret_cast<POINT*>(&r), 2); // onto the screen
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (command == L"status" || command == L"text" || command == L"rect") {
        HWND control = command == L"status" ? FindWindowExW(main, nullptr, L"Edit", nullptr)
                                            : GetDlgItem(main, number(2));
        if (!control || !GetWindowRect(control, &r))
            return 1;
        if (command == L"rect")
            std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
        else
            std::printf("%ls\n", ControlText(control).c_str());
        return 0;
    }
    if (command == L"sample")
        return Sample(main);
    if (command == L"post")
        return PostMessageW(main, WM_COMMAND, static_cast<WPARAM>(number(2)), 0) ? 0 : 1;
    if (command == L"send") {
        // SendMessage returns once the window procedure has handled the command, and Tarvex writes
        // data rows only from its timer, never while it handles a sent message: a row that starts
        // after AFTER was written with the new state, one that starts before BEFORE with the old.
        // The size is read by name, as Tarvex holds the log open without sharing (and under 4 GB).
        WIN32_FILE_ATTRIBUTE_DATA before, after;
        for (int i = 3; i < argc; i++) {
            if (!GetFileAttributesExW(arg(2), GetFileExInfoStandard, &before) ||
                !SendMessageTimeoutW(main, WM_COMMAND, static_cast<WPARAM>(number(i)), 0,
                                     SMTO_NORMAL, 20000, nullptr) ||
                !GetFileAttributesExW(arg(2), GetFileExInfoStandard, &after))
                return 1;
            std::printf("%d %lu %lu\n", number(i), before.nFileSizeLow, after.nFileSizeLow);
        }
        return 0;
    }
    if (command == L"close")
        return PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
    if (command == L"syscommand-close")
        return PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    std::fputs("usage: tvctl COMMAND [ARGS] (see the top of tvctl.cpp)\n", stderr);
    return 2;
}
