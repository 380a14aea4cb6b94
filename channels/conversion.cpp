// Conversion of raw readings, by each channel's row, and the sample of a tick.
#include "channels/conversion.h"

#include <cstdio>

ChannelReading ConvertChannel(int channel, int16_t raw) {
    ChannelReading reading = {};
    const ChannelRow& row = CHANNEL_ROWS[channel];
    const UnitRow& unit = UNITS[row.unit];
    const float v = row.convert(static_cast<float>(raw));
    // RPM's text is whole; the plotted value keeps its fraction.
    if (unit.whole)
        std::snprintf(reading.text, sizeof reading.text, unit.text, static_cast<int>(v));
    else
        std::snprintf(reading.text, sizeof reading.text, unit.text, static_cast<double>(v));
    reading.value = v;
    return reading;
}

Sample TakeSample(uint32_t time) {
    Sample sample = {};
    sample.time = time;
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        if (!ChannelTable.enabled[i])
            continue;
        sample.channels |= 1u << i;
        sample.readings[i] = ConvertChannel(i, rawValues[i].load(std::memory_order_relaxed));
    }
    return sample;
}
