// The chart: on every connected tick, the status line, the per-channel histories, grid, traces,
// time marks, edge markers, axis labels and one data row of the log, drawn off screen and then
// presented at once.
#pragma once

#include "app/channel_table.h"

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

// The status line text of a tick ("Running: SysTime ..." or "Paused: ...").
void FormatStatusLine(uint32_t now, int paused, wchar_t* text, int capacity);

void ChartTick();
