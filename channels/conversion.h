// From raw readings to engineering values: each channel's arithmetic applied, and its text. The
// texts are what the user reads on the buttons and in the log, so the arithmetic is exact to the
// precision stated beside each channel. The chart and the log both take their values from here.
#pragma once

#include "channels/channel_table.h"

#include <cstdint>

constexpr int READING_TEXT_BYTES = 24; // the longest text of any 16-bit raw value is 13

struct ChannelReading {
    float value;                   // in the channel's unit: plotted, stored and formatted
    char text[READING_TEXT_BYTES]; // e.g. "13.64 Volts"
};

// The engineering value and text of one raw reading (read as signed 16 bits).
ChannelReading ConvertChannel(int channel, int16_t raw);

// One tick's sample: what the chart draws and the log writes a row of.
struct Sample {
    uint32_t time;                          // the tick count it was taken at
    uint32_t channels;                      // bit i: channel i is shown, and read here
    ChannelReading readings[CHANNEL_COUNT]; // of the channels in `channels`; the others zero
};

// The latest raw readings of the channels shown now, converted.
Sample TakeSample(uint32_t time);
