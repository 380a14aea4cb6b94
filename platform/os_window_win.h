// What the Win32 side of the seam draws on and with: the main window's handles, its back buffer
// and the colour set. The shell makes them all when the window is created (WM_CREATE); the seam's
// user-interface and drawing calls only use them.
#pragma once

#include "platform/platform.h"

#include <windows.h>

extern HINSTANCE appInstance;
extern HWND mainWindow;
extern HWND pauseButton;
extern HWND statusLine;
extern HWND channelButtons[OS_CHANNEL_COUNT];
extern HDC backBufferDC;    // the off-screen surface every chart drawing goes to
extern int clientWidth;
extern int clientHeight;
extern LCID timeLocale;     // 1033: every time in the log is in U.S. English format

// Every pen and brush the chart and the buttons draw with, made once with the window and kept for
// the life of the process, so that no paint and no chart tick creates a drawing object. Fields
// that share a colour share one object.
struct ColourSet {
    HPEN channelPen[OS_CHANNEL_COUNT];     // channel i's solid trace pen, in its colour
    HBRUSH channelBrush[OS_CHANNEL_COUNT]; // channel i's solid brush: its trace's edge marker
    HPEN gridPen;                          // the lowest grid line: solid grey
    HPEN dashPen;                          // the other grid lines and the time marks: dashed
    HPEN buttonFramePen;                   // the orange frame of every owner-drawn button
    HPEN indicatorPen;                     // the yellow outline of a channel button's indicator
    HBRUSH shownBrush;                     // the indicator of a channel that is shown: green
    HBRUSH hiddenBrush;                    // the indicator of a channel that is hidden: red
};
extern ColourSet colourSet;
