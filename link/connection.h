// The ECU link as the rest of the program sees it.
#pragma once

// One connection attempt on the GUI thread: wake-up, opening exchange, reader thread started.
// Nonzero when the link is up; the caller then raises LinkState.connected.
int ConnectEcu();

// Stops a running reader thread (it finishes its current exchange first), so that the GUI thread
// may drive the line again. Harmless when none runs.
void StopReaderThread();

// The end-of-session block, sent with the current block counter. Nonzero on success.
int SendEndSessionBlock();
