// The life of one run, apart from the window itself: start-up of the log and the port, the 500 ms
// tick, the Pause button and the end. The Win32 window procedure calls these.
#pragma once

#include <cstdint>

constexpr int PORT_NAME_CHARS = 9; // longest serial device name Tarvex accepts

extern wchar_t portName[PORT_NAME_CHARS + 1];

// The log lock must have been initialised (OsInitLogLock) before.
// Creates the log, takes the port name from "Tarvex.cfg" (or "COM9:"), clears the receive tables
// and opens the port, logging each step. Nonzero when the log and the port are ready; on a
// failure the user has been told and the caller closes the window.
int StartSession();

// The 500 ms tick: while not connected, one connection attempt ("Waiting to connect to ECU" when
// it fails; the header row when it succeeds); while connected, the chart tick. The result is what
// the window procedure returns for WM_TIMER: 1 after a failed attempt, else 0.
int OnTick();

// The Pause button: while set, a tick shows the status line only; the chart and the data rows
// stand still. Polling goes on regardless. The GUI thread's alone.
extern int32_t sessionPaused;

// The chart tick of a connected run: the status line; then, unless paused and once every channel
// shown has been read in this link, the sample of this tick to the chart and to the log, and a
// 50 ms pause.
// C linkage, so that the tick-timing build can wrap it by its name.
extern "C" void ChartTick();

// What a tick shows of the link, read for it from the link's state.
struct LinkFigures {
    int32_t effectiveBaudRate; // the line rate of the reader's last poll cycle
    int32_t blockNumber;       // the block counter
    uint32_t channelsRead;     // bit i: channel i has been read in the link that is up
};
LinkFigures ReadLinkFigures();

// The status line text of a tick ("Running: SysTime ..." or "Paused: ...").
void FormatStatusLine(uint32_t now, int32_t paused, const LinkFigures& link, wchar_t* text,
                      int capacity);

// A channel button's click: the channel is shown and logged, or no longer, from the next tick;
// its button's indicator says which at once.
void ToggleChannel(int channel);

// The Pause button: toggles Pause/Resume while connected, otherwise makes a connection attempt.
void OnPauseButton();

// WM_DESTROY, and WM_ENDSESSION at log-off or shut-down (atOnce): ends the link, writes "Session
// ended" and closes the log and the port. Called from inside a connection attempt's wait, it
// breaks the attempt off and the end follows as soon as the attempt has unwound; atOnce, the end
// comes before it returns, as Windows ends the process after WM_ENDSESSION without unwinding
// anything. Later calls, and later ticks, do nothing.
void EndSession(int atOnce = 0);
