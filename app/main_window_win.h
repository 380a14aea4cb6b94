// The main window's handles, shared by the Win32 files of the program (window procedure, button
// painting, the platform seam's user-interface calls).
#pragma once

#include "app/channel_table.h"

#include <windows.h>

extern HINSTANCE appInstance;
extern HWND mainWindow;
extern HWND pauseButton;
extern HWND statusLine;
extern HWND channelButtons[CHANNEL_COUNT];
extern HDC backBufferDC;    // the off-screen surface every chart drawing goes to
extern int clientWidth;
extern int clientHeight;
extern LCID timeLocale;     // 1033: every time in the log is in U.S. English format

// Menu and About box (menu_win.cpp). Each returns the window procedure's result.
LRESULT OnAboutCommand();
LRESULT OnExitCommand();
LRESULT OnDebugCommand();
LRESULT OnInitMenuPopup(HMENU menu);

// The chart area (display/chart.h) as a Win32 rectangle.
RECT ChartRectangle();

// Colours and owner-drawn buttons (display/buttons_win.cpp).
extern HPEN channelPen[CHANNEL_COUNT];
extern HBRUSH channelBrush[CHANNEL_COUNT];
extern HPEN gridPen;
extern HPEN dashPen;
void CreateColourSet();
BOOL DrawOwnerButton(const DRAWITEMSTRUCT* item);
void ToggleChannel(int channel);
