// The reader thread, which polls the channels once a link is up, its state, and stopping it.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> effectiveBaudRate; // line rate of the last poll cycle, bits/s
extern int32_t currentChannel;                 // the channel the reader polls next; reader only

// Set while the reader thread is being stopped: it ends after its current cycle and shows no
// message box, since nobody is left to read one.
extern std::atomic<int32_t> readerStopRequested;

// The reader thread's procedure: polls the channels until the link fails or is stopped.
uint32_t ReaderThread(void* parameter);

// Stops a running reader thread: it may finish its cycle; one that does not in time has its
// reads and writes cut short. Nonzero when no reader thread drives the line any more, so the GUI
// thread may use it; 0 if the thread is still on the line.
int StopReaderThread();
