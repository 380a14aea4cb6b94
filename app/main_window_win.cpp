// Tarvex's entry point and main window. Start reading at wWinMain.
//
// The window owns the screen and nothing else: the run itself (log, port, tick, Pause, end) is
// in session.cpp, the ECU link in link/, the chart in display/. MainWndProc is one flat switch of
// one-line cases; each names the handler that does the work.
#include "app/main_window_win.h"

#include "app/session.h"
#include "display/chart.h"
#include "display/colours.h"
#include "log/session_log.h"
#include "platform/platform.h"
#include "res/resource.h"

#include <commctrl.h>
#include <windows.h>

namespace {

constexpr int TEXT_CHARS = 200;
constexpr int WINDOW_WIDTH = 1000;
constexpr int WINDOW_HEIGHT = 600;
constexpr int CONTROL_STRIP_HEIGHT = 80; // Pause + status line, then two rows of channel buttons
constexpr DWORD MAIN_WINDOW_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD CONTROL_EX_STYLE = WS_EX_NOACTIVATE;

wchar_t titleText[TEXT_CHARS];
wchar_t classNameText[TEXT_CHARS];
HBITMAP backBufferBitmap;

HWND CreateControl(HWND parent, const wchar_t* cls, const wchar_t* caption, DWORD style, int x,
                   int y, int w, int h, int id) {
    HWND control = CreateWindowExW(CONTROL_EX_STYLE, cls, caption, style, x, y, w, h, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), appInstance,
                                   nullptr);
    ShowWindow(control, SW_SHOW);
    return control;
}

void OnCreate(HWND window) {
    CreateColourSet();
    HDC windowDC = GetDC(window);
    backBufferDC = CreateCompatibleDC(windowDC);
    RECT client;
    GetClientRect(window, &client);
    ChartRect = {client.left, client.top + CONTROL_STRIP_HEIGHT, client.right, client.bottom};
    clientWidth = client.right - client.left;
    clientHeight = client.bottom - client.top;
    backBufferBitmap = CreateCompatibleBitmap(windowDC, clientWidth, clientHeight);
    SelectObject(backBufferDC, backBufferBitmap);
    SetBkMode(backBufferDC, TRANSPARENT);
    ReleaseDC(window, windowDC);

    pauseButton = CreateControl(window, L"BUTTON", L"Pause",
                                WS_CHILD | WS_VISIBLE | WS_BORDER | BS_OWNERDRAW, 0, 0, 250, 40,
                                CMD_PAUSE);
    for (int i = 0; i < CHANNEL_COUNT; i++)
        channelButtons[i] = CreateControl(window, L"BUTTON", ChannelTable.name[i],
                                          WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, (i % 4) * 250,
                                          40 + (i / 4) * 20, 250, 20, ChannelTable.controlId[i]);
    statusLine = CreateControl(window, L"edit", L"",
                               WS_CHILD | WS_VISIBLE | ES_READONLY | ES_NOHIDESEL, 250, 0,
                               clientWidth - 250, 40, 0);

    INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
}

void OnPaint(HWND window) {
    if (!backBufferDC)
        return;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    BitBlt(dc, 0, 0, clientWidth, clientHeight, backBufferDC, 0, 0, SRCCOPY);
    EndPaint(window, &paint);
}

void OnDestroy() {
    EndSession();
    PostQuitMessage(0);
}

// At log-off or shut-down Windows ends the process once this returns, without WM_DESTROY.
void OnEndSession(WPARAM ending) {
    if (ending)
        EndSession(1);
}

LRESULT OnControlColour(HDC dc, HWND control) {
    if (control == pauseButton) // owner-drawn: its caption's colour is DrawOwnerButton's
        return reinterpret_cast<LRESULT>(GetStockObject(BLACK_BRUSH));
    if (control == statusLine) {
        SetTextColor(dc, COLOUR_GREY);
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    }
    return 0;
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    int command = LOWORD(wParam);
    if (HIWORD(wParam) == 0) {
        int channel = FindChannelByControlId(command);
        if (channel >= 0) {
            ToggleChannel(channel);
            return 1;
        }
    }
    switch (command) {
    case CMD_ABOUT: return OnAboutCommand();
    case CMD_EXIT: return OnExitCommand();
    case CMD_DEBUG: return OnDebugCommand();
    case CMD_SAVE_LOG: SaveLogAs(); return 0;
    case CMD_PAUSE: OnPauseButton(); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: OnCreate(window); return 0;
    case WM_DESTROY: OnDestroy(); return 0;
    case WM_ENDSESSION: OnEndSession(wParam); return 0;
    case WM_PAINT: OnPaint(window); return 0;
    case WM_DRAWITEM: return DrawOwnerButton(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
    case WM_COMMAND: return OnCommand(window, message, wParam, lParam);
    case WM_TIMER: return OnTick();
    case WM_INITMENUPOPUP: return OnInitMenuPopup(reinterpret_cast<HMENU>(wParam));
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
        return OnControlColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

void RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TARVEX_LARGE));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDC_TARVEX);
    wc.lpszClassName = classNameText;
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TARVEX));
    RegisterClassExW(&wc);
}

// "Starting" in amber at the top of the black chart area until the first chart tick.
void ShowStarting() {
    OsFillChartBlack(&ChartRect);
    RECT area = {ChartRect.left, ChartRect.top, ChartRect.right, ChartRect.bottom};
    SetTextColor(backBufferDC, COLOUR_AMBER);
    DrawTextW(backBufferDC, L"Starting", 8, &area, DT_CENTER | DT_WORDBREAK);
    OsPresentChart(&ChartRect);
}

int CreateMainWindow(HINSTANCE instance, int showCommand) {
    appInstance = instance;
    // The lock exists before anything can log, even the end of a window that failed to start.
    OsInitLogLock();
    HWND window = CreateWindowExW(0, classNameText, titleText, MAIN_WINDOW_STYLE, 0, 0,
                                  WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 0;
    ShowWindow(window, showCommand);
    mainWindow = window;
    timeLocale = 1033;
    ShowStarting();
    if (!StartSession()) {
        SendMessageW(mainWindow, WM_CLOSE, 0, 0);
        return 0;
    }
    SetTimer(mainWindow, TICK_TIMER_ID, 500, nullptr);
    return 1;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    LoadStringW(instance, IDS_APP_TITLE, titleText, TEXT_CHARS);
    LoadStringW(instance, IDS_CLASS_NAME, classNameText, TEXT_CHARS);
    RegisterMainClass(instance);
    if (!CreateMainWindow(instance, showCommand))
        return 0;
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_TARVEX));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0)) {
        if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}
