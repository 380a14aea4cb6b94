// Waiting on the window's thread without freezing the window (os_wait_win.cpp), shared by the
// Win32 seam's sleep and port read.
#pragma once

#include <windows.h>

// Nonzero on the thread that turned OsKeepWindowResponsive on, while it is on.
int WaitsKeepWindowResponsive();

enum WaitEnd { WaitSignalled, WaitTimedOut, WaitStopped };
// Waits for `event` (none when null) up to ms (INFINITE: no limit), dispatching the thread's
// messages meanwhile. Ends early, with WaitStopped, once lineStopRequested is raised.
WaitEnd WaitDispatching(HANDLE event, DWORD ms);
