// The chart: on every connected tick, the status line, the per-channel histories, grid, traces,
// time marks, edge markers, axis labels and one data row of the log, drawn off screen and then
// presented at once.
#pragma once

#include "channels/channel_table.h"

#include <cstdint>

constexpr int HISTORY_SLOTS = 1000;

// The chart area in client pixels: below the 80-pixel strip of controls. Set once with the
// window, which has a fixed size.
struct ChartArea {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};
extern ChartArea ChartRect;

// Per channel, the engineering values of the samples drawn, newest in slot n = width - 10, and
// the tick time of each slot (shared by all channels).
struct ChartHistoryStore {
    float values[CHANNEL_COUNT][HISTORY_SLOTS];
    uint32_t sampleTimes[HISTORY_SLOTS];
};
extern ChartHistoryStore ChartHistory;
extern int32_t historyLength; // samples drawn per trace; 0 at the start of each attempt

// What a tick shows of the link, read for it by the caller: the chart does not reach into the
// link's state.
struct LinkFigures {
    int32_t paused;            // the Pause button: the status line only, the chart stands still
    int32_t effectiveBaudRate; // the line rate of the reader's last poll cycle
    int32_t blockNumber;       // the block counter
    uint32_t channelsRead;     // bit i: channel i has been read in the link that is up
};

// The status line text of a tick ("Running: SysTime ..." or "Paused: ...").
void FormatStatusLine(uint32_t now, const LinkFigures& link, wchar_t* text, int capacity);

void ChartTick(const LinkFigures& link);
