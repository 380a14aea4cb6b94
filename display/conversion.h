// From raw readings to engineering values: each channel's arithmetic, its text and the chart
// axis (unit group) it is plotted on. The texts are what the user reads on the buttons and in the
// log, so the arithmetic is exact to the precision stated beside each channel.
#pragma once

#include "channels/channel_table.h"

#include <cstdint>

// One chart axis per unit. The scale makes the range fill the chart's height exactly.
struct UnitGroup {
    const wchar_t* label; // drawn at the top of the group's label column
    float min;            // value at the chart's bottom edge
    float max;            // value at its top edge
    float scale;          // pixels per unit: chart height / (max - min)
    int32_t labelsDrawn;  // set once a channel of the group has drawn the labels this tick
};

extern UnitGroup UnitGroups[UNIT_GROUP_COUNT];

constexpr int READING_TEXT_BYTES = 24; // the longest text of any 16-bit raw value is 13

struct ChannelReading {
    float value;                   // in the channel's unit: plotted, stored and formatted
    char text[READING_TEXT_BYTES]; // e.g. "13.64 Volts"
    const UnitGroup* group;        // the axis it is plotted on
    int drawLabels;                // this channel draws its group's axis labels this tick
};

// Sets the five scales for a chart h pixels high and clears every labelsDrawn flag.
void ComputeScales(float h);

// The engineering value, text and axis of one raw reading (read as signed 16 bits).
ChannelReading ConvertChannel(int channel, int16_t raw);

// The label of axis line k (1..9) of a group: trunc(k * ((max - min) / 10) + min).
int32_t AxisLabelValue(const UnitGroup& group, int k);

// "%s = %S": the channel's name and the reading's text, as the caption of its button.
void FormatChannelCaption(int channel, const ChannelReading& reading, wchar_t* caption,
                          int capacity);
void SetChannelCaption(int channel, const ChannelReading& reading);
