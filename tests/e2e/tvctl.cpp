// tvctl: the end-to-end tests' hands and eyes inside the Wine prefix. Run beside Tarvex.exe, it
// finds the main window, reads what the user would read (control texts and
// dialog texts) and does what the window manager would do (post commands, close). Keys and mouse
// clicks come from xdotool; this covers what X cannot see.
//
//   tvctl wait-main MS               wait for the main window; print its client rect on screen
//   tvctl status                     print the status line's text
//   tvctl text ID                    print the text of the child control ID
//   tvctl rect ID                    print the screen rect of child ID: left top right bottom
//   tvctl post ID                    post WM_COMMAND ID to the main window
//   tvctl syscommand-close           post WM_SYSCOMMAND SC_CLOSE (what the close box sends)
//   tvctl close                      post WM_CLOSE
//   tvctl wait-dialog TITLE MS       wait for a top-level dialog; print its static texts
//   tvctl wait-gone TITLE MS         wait until no top-level dialog has that title
//   tvctl press TITLE BUTTON         click the dialog's button whose text is BUTTON
//   tvctl set-text TITLE ID TEXT     set the text of control ID inside the dialog
//   tvctl gone MS                    wait until the main window no longer exists
// Exit code 0 on success, 1 when the window or dialog is not there, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HWND FindMain() { return FindWindowW(L"TARVEX", nullptr); }

HWND WaitFor(HWND (*find)(const wchar_t*), const wchar_t* arg, int ms) {
    for (int waited = 0;; waited += 50) {
        HWND w = find(arg);
        if (w || waited >= ms)
            return w;
        Sleep(50);
    }
}

HWND FindDialog(const wchar_t* title) { return FindWindowW(L"#32770", title); }
HWND FindMainIgnoring(const wchar_t*) { return FindMain(); }

// GetWindowText does not ask a control of another process for its text (an edit control keeps
// its own), so ask with WM_GETTEXT, which Windows and Wine carry across processes.
std::wstring ControlText(HWND control) {
    wchar_t text[1024] = {0};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, &length);
    return text;
}

void PrintUtf8(const wchar_t* text) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    if (n > 0)
        std::fputs(buffer, stdout);
}

BOOL CALLBACK PrintStatic(HWND child, LPARAM) {
    wchar_t cls[64];
    GetClassNameW(child, cls, 64);
    if (lstrcmpiW(cls, L"Static") == 0) {
        std::wstring text = ControlText(child);
        if (!text.empty()) {
            PrintUtf8(text.c_str());
            std::fputs("\n", stdout);
        }
    }
    return TRUE;
}

struct ButtonSearch {
    const wchar_t* text;
    HWND found;
};

BOOL CALLBACK FindButton(HWND child, LPARAM param) {
    auto* search = reinterpret_cast<ButtonSearch*>(param);
    std::wstring text = ControlText(child);
    std::wstring plain;
    for (const wchar_t* c = text.c_str(); *c; c++)
        if (*c != L'&')
            plain += *c;
    if (lstrcmpiW(plain.c_str(), search->text) == 0) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

int Usage() {
    std::fputs("usage: tvctl COMMAND [ARGS] (see the top of tvctl.cpp)\n", stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return Usage();
    std::wstring command = argv[1];
    auto arg = [&](int i) -> const wchar_t* { return i < argc ? argv[i] : L""; };
    auto number = [&](int i) { return static_cast<int>(std::wcstol(arg(i), nullptr, 10)); };

    if (command == L"wait-main") {
        HWND main = WaitFor(FindMainIgnoring, nullptr, number(2));
        if (!main)
            return 1;
        RECT r;
        GetClientRect(main, &r);
        POINT origin = {0, 0};
        ClientToScreen(main, &origin);
        std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (command == L"gone") {
        for (int waited = 0; FindMain(); waited += 50) {
            if (waited >= number(2))
                return 1;
            Sleep(50);
        }
        return 0;
    }
    if (command == L"wait-dialog") {
        HWND dialog = WaitFor(FindDialog, arg(2), number(3));
        if (!dialog)
            return 1;
        EnumChildWindows(dialog, PrintStatic, 0);
        return 0;
    }
    if (command == L"wait-gone") {
        for (int waited = 0; FindDialog(arg(2)); waited += 50) {
            if (waited >= number(3))
                return 1;
            Sleep(50);
        }
        return 0;
    }
    if (command == L"press" || command == L"set-text") {
        HWND dialog = FindDialog(arg(2));
        if (!dialog)
            return 1;
        if (command == L"set-text") {
            HWND control = GetDlgItem(dialog, number(3));
            if (!control)
                return 1;
            SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(arg(4)));
            return 0;
        }
        ButtonSearch search = {arg(3), nullptr};
        EnumChildWindows(dialog, FindButton, reinterpret_cast<LPARAM>(&search));
        if (!search.found)
            return 1;
        PostMessageW(search.found, BM_CLICK, 0, 0);
        return 0;
    }

    HWND main = FindMain();
    if (!main)
        return 1;
    if (command == L"status" || command == L"text") {
        HWND control = command == L"status" ? FindWindowExW(main, nullptr, L"Edit", nullptr)
                                            : GetDlgItem(main, number(2));
        if (!control)
            return 1;
        PrintUtf8(ControlText(control).c_str());
        std::fputs("\n", stdout);
        return 0;
    }
    if (command == L"rect") {
        HWND control = GetDlgItem(main, number(2));
        if (!control)
            return 1;
        RECT r;
        GetWindowRect(control, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
        return 0;
    }
    if (command == L"post") {
        PostMessageW(main, WM_COMMAND, static_cast<WPARAM>(number(2)), 0);
        return 0;
    }
    if (command == L"syscommand-close") {
        PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    if (command == L"close") {
        PostMessageW(main, WM_CLOSE, 0, 0);
        return 0;
    }
    return Usage();
}
