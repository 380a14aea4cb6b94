// Conversion of raw readings, by each channel's row, and the chart's unit groups.
#include "display/conversion.h"

#include "platform/platform.h"

#include <cstdio>

// The chart's unit groups, each from its unit's row: its label, its range, and the scale that
// each tick sets from the chart's height.
namespace {
UnitGroup GroupOf(UnitGroupId id) { return {UNITS[id].label, UNITS[id].min, UNITS[id].max, 0.0f, 0}; }
} // namespace

UnitGroup UnitGroups[] = {GroupOf(FahrGroup), GroupOf(VoltsGroup), GroupOf(RpmGroup),
                          GroupOf(MsGroup), GroupOf(AngleGroup)};
static_assert(sizeof UnitGroups / sizeof UnitGroups[0] == UNIT_GROUP_COUNT, "a group per unit");

void ComputeScales(float h) {
    for (auto& group : UnitGroups) {
        group.scale = h / (group.max - group.min); // each range is a whole number: exact
        group.labelsDrawn = 0;
    }
}

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
    UnitGroup& group = UnitGroups[row.unit];
    reading.group = &group;
    // The first enabled channel of a group in index order draws its labels.
    reading.drawLabels = group.labelsDrawn ? 0 : 1;
    group.labelsDrawn = 1;
    return reading;
}

int32_t AxisLabelValue(const UnitGroup& group, int k) {
    const float step = (group.max - group.min) / 10.0f;
    return static_cast<int32_t>(static_cast<float>(k) * step + group.min);
}

void FormatChannelCaption(int channel, const ChannelReading& reading, wchar_t* caption,
                          int capacity) {
    // Built by hand: the wide printf formats disagree between Windows and C99 on %s and %S.
    int n = 0;
    for (const wchar_t* c = ChannelTable.name[channel]; *c && n < capacity - 1; c++)
        caption[n++] = *c;
    for (const char* c = " = "; *c && n < capacity - 1; c++)
        caption[n++] = static_cast<wchar_t>(*c);
    for (const char* c = reading.text; *c && n < capacity - 1; c++)
        caption[n++] = static_cast<wchar_t>(static_cast<unsigned char>(*c));
    caption[n] = 0;
}

void SetChannelCaption(int channel, const ChannelReading& reading) {
    wchar_t caption[CHANNEL_NAME_CAPACITY + READING_TEXT_BYTES + 4];
    FormatChannelCaption(channel, reading, caption, sizeof caption / sizeof caption[0]);
    OsSetChannelCaption(channel, caption);
}
