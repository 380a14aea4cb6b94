// The ECU link as the rest of the program sees it: connection attempts, the reader thread that
// polls the channels, and stopping it.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> effectiveBaudRate; // line rate of the last poll cycle, bits/s
extern int32_t currentChannel;                 // the channel the reader polls next; reader only

// One connection attempt on the GUI thread: wake-up, opening exchange, reader thread started.
// Nonzero when the link is up; the caller then raises LinkState.connected.
int ConnectEcu();

// The log line of a block received in the opening exchange: its number, title, length and data
// as text. Written whole, however long the data.
void LogReceivedBlock(int slot);

// The reader thread's procedure: polls the channels until the link fails or is stopped.
uint32_t ReaderThread(void* parameter);

// Set while the reader thread is being stopped: it ends after its current cycle and shows no
// message box, since nobody is left to read one.
extern std::atomic<int32_t> readerStopRequested;

// Stops a running reader thread: it may finish its cycle; one that does not in time has its
// reads and writes cut short. Nonzero when no reader thread drives the line any more, so the GUI
// thread may use it; 0 if the thread is still on the line.
int StopReaderThread();
