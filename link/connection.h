// A connection attempt: wake the ECU, take part in its opening exchange, start the reader thread.
#pragma once

// One connection attempt on the GUI thread: wake-up, opening exchange, reader thread started.
// Nonzero when the link is up; the caller then raises LinkState.connected.
int ConnectEcu();

// The log line of a block received in the opening exchange: its number, title, length and data
// as text. Written whole, however long the data.
void LogReceivedBlock(int slot);
