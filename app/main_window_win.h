// The Win32 shell's own calls, shared by its files (window procedure, menus, button painting).
// The window's handles and the colour set belong to the Win32 side of the seam, which draws on
// them: platform/os_window_win.h.
#pragma once

#include "channels/channel_table.h"
#include "display/buttons_win.h"
#include "platform/os_window_win.h"

// Menu and About box (menu_win.cpp). Each returns the window procedure's result.
LRESULT OnAboutCommand();
LRESULT OnExitCommand();
LRESULT OnDebugCommand();
LRESULT OnInitMenuPopup(HMENU menu);

