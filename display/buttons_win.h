// The colour set and the owner-drawn buttons: the Win32 window procedure's painting calls.
#pragma once

#include <windows.h>

// Makes every pen and brush of the colour set, once, with the window.
void CreateColourSet();
// Paints an owner-drawn button (the Pause button or a channel's): WM_DRAWITEM's answer.
BOOL DrawOwnerButton(const DRAWITEMSTRUCT* item);
