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
extern RECT ChartRect;      // client rectangle below the 80-pixel strip of controls
extern int clientWidth;
extern int clientHeight;
extern LCID timeLocale;     // 1033: every time in the log is in U.S. English format

// Menu and About box (menu_win.cpp). Each returns the window procedure's result.
LRESULT OnAboutCommand();
LRESULT OnExitCommand();
LRESULT OnDebugCommand();
LRESULT OnInitMenuPopup(HMENU menu);

// Colours and owner-drawn buttons (display/buttons_win.cpp).
void CreateColourSet();
BOOL DrawOwnerButton(const DRAWITEMSTRUCT* item);
void ToggleChannel(int channel);
