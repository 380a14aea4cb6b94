// Win32 side of the seam: the clock, message boxes, the status line, the Pause caption and the
// save dialog, and the window's handles they act on. The sleep is in os_wait_win.cpp.
#include "platform/os_window_win.h"

#include <commdlg.h>
#include <mmsystem.h>

HINSTANCE appInstance;
HWND mainWindow;
HWND pauseButton;
HWND statusLine;
HWND channelButtons[OS_CHANNEL_COUNT];
HDC backBufferDC;
int clientWidth;
int clientHeight;
LCID timeLocale;
ColourSet colourSet;

// GetTickCount moves in the timer's 15.6 ms steps, which would make a 23 ms poll cycle measure
// 16 or 31 ms; the performance counter counts to the microsecond.
uint32_t OsTickCount() {
    static LARGE_INTEGER frequency; // fixed at boot
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    const ULONGLONG f = static_cast<ULONGLONG>(frequency.QuadPart);
    const ULONGLONG c = static_cast<ULONGLONG>(count.QuadPart);
    return static_cast<uint32_t>(c / f * 1000 + c % f * 1000 / f);
}

void OsRaiseTimerResolution(int raised) {
    static int isRaised;
    if (raised && !isRaised)
        timeBeginPeriod(1);
    else if (!raised && isRaised)
        timeEndPeriod(1);
    isRaised = raised != 0;
}

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

void OsRedrawChannelButton(int channel) {
    InvalidateRect(channelButtons[channel], nullptr, FALSE);
    UpdateWindow(channelButtons[channel]);
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
    // An existing file is replaced only when the user says so.
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT;
    dialog.lpstrDefExt = L"log";
    return GetSaveFileNameW(&dialog) != 0;
}
