// Waiting on the window's thread during a connection attempt (os_wait_win.cpp), shared by the
// Win32 seam's sleep and port read.
#pragma once

#include <windows.h>

// Nonzero on the thread that turned OsKeepWindowResponsive on, while it is on.
int WaitsKeepWindowResponsive();

// Handles, without waiting, what the window's thread may handle in the middle of an attempt:
// messages sent to it, painting, and a close. Everything else stays queued.
void HandleWaitingMessages();

// Waits up to ms, handling those messages meanwhile; 0 when the line was stopped first.
int WaitHandlingMessages(DWORD ms);
