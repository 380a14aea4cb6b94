// The chart: per-channel histories, grid, traces, time marks, edge markers, axis labels and the
// channel buttons' captions, drawn off screen from each tick's sample and then presented at once.
#pragma once

#include "channels/channel_table.h"
#include "channels/conversion.h"
#include "platform/platform.h"

#include <cstdint>

constexpr int HISTORY_SLOTS = 1000;

// The chart area in client pixels: below the 80-pixel strip of controls. Set once with the
// window, which has a fixed size; the chart's drawing calls that cover it are given it.
extern ChartArea ChartRect;

// Per channel, the engineering values of the samples drawn, newest in slot n = width - 10, and
// the tick time of each slot (shared by all channels).
struct ChartHistoryStore {
    float values[CHANNEL_COUNT][HISTORY_SLOTS];
    uint32_t sampleTimes[HISTORY_SLOTS];
};
extern ChartHistoryStore ChartHistory;
extern int32_t historyLength; // samples drawn per trace; 0 at the start of each attempt

// One chart axis per unit. The scale makes the range fill the chart's height exactly.
struct UnitGroup {
    const wchar_t* label; // drawn at the top of the group's label column
    float min;            // value at the chart's bottom edge
    float max;            // value at its top edge
    float scale;          // pixels per unit: chart height / (max - min)
    int32_t labelsDrawn;  // set once a channel of the group has drawn the labels this sample
};
extern UnitGroup UnitGroups[UNIT_GROUP_COUNT];

// Sets the five scales for a chart h pixels high and clears every labelsDrawn flag.
void ComputeScales(float h);

// The label of axis line k (1..9) of a group: trunc(k * ((max - min) / 10) + min).
int32_t AxisLabelValue(const UnitGroup& group, int k);

// "%s = %S": the channel's name and the reading's text, as the caption of its button.
void FormatChannelCaption(int channel, const ChannelReading& reading, wchar_t* caption,
                          int capacity);

// Adds the sample to the histories and redraws the chart from them: the background, the grid,
// then per channel of the sample in index order its caption, time marks, trace, edge marker and
// axis labels, so that later channels draw over earlier ones; then presents it.
void ChartSample(const Sample& sample);
