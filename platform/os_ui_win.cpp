// Win32 side of the seam: the clock, message boxes, the status line, the Pause caption and the
// save dialog, and the window's handles they act on. The sleep is in os_wait_win.cpp.
#include "platform/os_window_win.h"

#include <commdlg.h>

HINSTANCE appInstance;
HWND mainWindow;
HWND pauseButton;
HWND statusLine;
HWND channelButtons[OS_CHANNEL_COUNT];
HDC backBufferDC;
RECT chartArea;
int clientWidth;
int clientHeight;
LCID timeLocale;
ColourSet colourSet;

uint32_t OsTickCount() { return GetTickCount(); }

int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    return GetTimeFormatW(timeLocale, LOCALE_NOUSEROVERRIDE, nullptr, nullptr, buffer,
                          capacity) != 0;
}

void OsShowMessage(const wchar_t* text, const wchar_t* caption, int ownedByMainWindow) {
    MessageBoxW(ownedByMainWindow ? mainWindow : nullptr, text, caption, MB_OK);
}

void OsSetStatusText(const wchar_t* text) {
    SetWindowTextW(statusLine, text);
    UpdateWindow(statusLine);
}

void OsSetPauseButtonText(const wchar_t* text) {
    SetWindowTextW(pauseButton, text);
    UpdateWindow(pauseButton);
}

void OsUpdateMainWindow() { UpdateWindow(mainWindow); }

void OsCloseMainWindow() { SendMessageW(mainWindow, WM_CLOSE, 0, 0); }

int OsAskSaveLogPath(wchar_t* path, int capacity) {
    path[0] = 0;
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow;
    dialog.lpstrFilter = L"Log files (*.log)\0*.log\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = static_cast<DWORD>(capacity);
    dialog.lpstrTitle = L"Save Log to File";
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    dialog.lpstrDefExt = L"log";
    return GetSaveFileNameW(&dialog) != 0;
}
