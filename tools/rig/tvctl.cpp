// tvctl: the rig's hands and eyes inside the Wine prefix (tools/rig/wine_rig.py, which the
// end-to-end tests, the demo and the benchmarks share). Run in Tarvex.exe's prefix, it reads what
// the user would read (control and dialog texts), does what the window manager would do (post
// commands, close) and measures what the process holds. Keys and mouse clicks come from
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
//   tvctl close-box               print the screen point in the middle of the main window's
//                                 close box, where the window itself answers HTCLOSE
//   tvctl end-session             what Windows does at log-off: WM_QUERYENDSESSION and then
//                                 WM_ENDSESSION (TRUE) sent to the main window, then the process
//                                 terminated; prints the query's answer and whether each send
//                                 returned in time (1) or not (0): "ANSWER QUERIED ENDED"
//   tvctl read FILE               open FILE to read as another program would, sharing read and
//                                 write; print its size on a line and then its bytes
//   tvctl comm-chars PORT XON XOFF   open PORT, and set the DCB that GetCommState reports with
//                                 XonChar and XoffChar changed to XON and XOFF (hex); print the
//                                 reported pair and SetCommState's result: "11 13 0 87"
//   tvctl hold PORT MS            open PORT as Tarvex does (read and write, sharing nothing) and
//                                 print "held", then keep it open for MS; "error N" if it did
//                                 not open
// With TVCTL_DESKTOP set, tvctl works on that desktop (a Wine virtual desktop's name) instead of
// its own. Exit code 0 on success, 1 when the window, dialog or file is not there, 2 on bad usage.
#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// --- what other programs and Windows do ---------------------------------------------------

// The close box as the window places it: the right end of its title bar's middle row, where
// WM_NCHITTEST answers HTCLOSE. (While a connection attempt runs the window answers sent
// messages only between its waits' slices, so the row is searched from its right end.)
int PrintCloseBox(HWND main) {
    TITLEBARINFO bar = {};
    bar.cbSize = sizeof bar;
    if (!GetTitleBarInfo(main, &bar))
        return 1;
    const LONG y = (bar.rcTitleBar.top + bar.rcTitleBar.bottom) / 2;
    const LONG leftmost = bar.rcTitleBar.right - 4 * GetSystemMetrics(SM_CXSIZE);
    LONG first = 0, last = 0;
    for (LONG x = bar.rcTitleBar.right + 4; x > leftmost; x--) {
        DWORD_PTR hit = HTNOWHERE;
        if (!SendMessageTimeoutW(main, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_NORMAL, 5000, &hit))
            return 1;
        if (hit == HTCLOSE) {
            last = last ? last : x;
            first = x;
        } else if (last) {
            break;
        }
    }
    if (!last)
        return 1;
    std::printf("%ld %ld\n", (first + last) / 2, y);
    return 0;
}

// Log-off as Windows does it: it asks every top-level window, tells it the session ends, and
// once its WM_ENDSESSION has returned ends the process without further messages. It waits 5 s
// for a window to answer before it offers to end the program.
int EndSession(HWND main) {
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (!process)
        return 1;
    DWORD_PTR answer = 0;
    LRESULT queried = SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                          SMTO_NORMAL, 5000, &answer);
    LRESULT ended = SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                        5000, nullptr);
    BOOL terminated = TerminateProcess(process, 0);
    CloseHandle(process);
    std::printf("%d %d %d\n", static_cast<int>(answer), queried != 0, ended != 0);
    return terminated ? 0 : 1;
}

// A file read as a viewer or a copy tool reads one another program writes: sharing write.
int PrintFile(const wchar_t* name) {
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error %lu\n", GetLastError());
        return 1;
    }
    std::string bytes;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n)
        bytes.append(chunk, n);
    CloseHandle(file);
    _setmode(_fileno(stdout), _O_BINARY); // the bytes as they are, line ends included
    std::printf("%lu\n", static_cast<unsigned long>(bytes.size()));
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return 0;
}

// The port's settings as GetCommState reports them, applied with another Xon/Xoff pair.
int SetCommChars(const wchar_t* port, BYTE xon, BYTE xoff) {
    HANDLE handle = CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (handle == INVALID_HANDLE_VALUE || !GetCommState(handle, &dcb))
        return 1;
    std::printf("%02x %02x ", static_cast<BYTE>(dcb.XonChar), static_cast<BYTE>(dcb.XoffChar));
    dcb.XonChar = static_cast<char>(xon);
    dcb.XoffChar = static_cast<char>(xoff);
    BOOL ok = SetCommState(handle, &dcb);
    std::printf("%d %lu\n", ok != 0, ok ? 0UL : GetLastError());
    CloseHandle(handle);
    return 0;
}

// Another program with the port open, as a second Tarvex or a terminal program would have it.
int HoldPort(const wchar_t* port, DWORD ms) {
    HANDLE handle = CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::printf("error %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(handle);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    auto arg = [&](int i) -> const wchar_t* { return i < argc ? argv[i] : L""; };
    auto number = [&](int i) { return static_cast<int>(std::wcstol(arg(i), nullptr, 10)); };
    auto findMain = [] { return FindWindowW(L"TARVEX", nullptr); };
    auto findDialog = [&] { return FindWindowW(L"#32770", arg(2)); };
    auto hex = [&](int i) { return static_cast<BYTE>(std::wcstoul(arg(i), nullptr, 16)); };

    if (const wchar_t* name = _wgetenv(L"TVCTL_DESKTOP")) {
        // The desktop is there once its explorer has started, which wait-main waits for too.
        HDESK desktop = nullptr;
        WaitUntil(command == L"wait-main" ? number(2) : 0,
                  [&] { return (desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL)) != nullptr; });
        if (!desktop || !SetThreadDesktop(desktop))
            return 1;
    }
    if (command == L"read")
        return PrintFile(arg(2));
    if (command == L"comm-chars")
        return SetCommChars(arg(2), hex(3), hex(4));
    if (command == L"hold")
        return HoldPort(arg(2), static_cast<DWORD>(number(3)));

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
    if (command == L"close-box")
        return PrintCloseBox(main);
    if (command == L"end-session")
        return EndSession(main);
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
