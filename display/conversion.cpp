// Conversion of raw readings and the chart's unit groups.
//
// Single precision where a channel's arithmetic is single (every constant a float, the steps in
// the order written), double for the ignition advance; never reorder these expressions or build
// with fast-math: the texts would change in their last digit.
#include "display/conversion.h"

#include "platform/platform.h"

#include <cstdio>
#include <iterator>

// Columns: unit label, range min, range max, scale (set each tick), labels drawn this tick.
// Sized by its rows: the header's count must match them, or the build fails.
UnitGroup UnitGroups[] = {
    {L"Fahr", -50.0f, 450.0f, 0.0f, 0},
    {L"Volts", -2.0f, 20.0f, 0.0f, 0},
    {L"RPM", -1000.0f, 9000.0f, 0.0f, 0},
    {L"ms", -10.0f, 90.0f, 0.0f, 0},
    {L"Angle", -10.0f, 290.0f, 0.0f, 0},
};

namespace {

// The axis each channel is plotted on.
constexpr UnitGroupId channelGroup[] = {
    FahrGroup, FahrGroup, VoltsGroup, RpmGroup, MsGroup, AngleGroup, VoltsGroup, VoltsGroup,
};
static_assert(std::size(channelGroup) == CHANNEL_COUNT, "an axis for every channel");

} // namespace

void ComputeScales(float h) {
    UnitGroups[FahrGroup].scale = h / 500.0f;
    UnitGroups[VoltsGroup].scale = h / 22.0f;
    UnitGroups[RpmGroup].scale = h / 10000.0f;
    UnitGroups[MsGroup].scale = h / 100.0f;
    UnitGroups[AngleGroup].scale = h / 300.0f;
    for (auto& group : UnitGroups)
        group.labelsDrawn = 0;
}

ChannelReading ConvertChannel(int channel, int16_t raw) {
    ChannelReading reading = {};
    const float r = static_cast<float>(raw);
    float v = 0.0f;
    switch (channel) {
    case 0: // intake air temperature
    case 1: // cylinder head temperature
        v = r * 1.15f - 26.0f;
        std::snprintf(reading.text, sizeof reading.text, "%5.2f F", static_cast<double>(v));
        break;
    case 2: // air-flow meter voltage
    case 6: // MAF sensor
        v = r * 500.0f / 25500.0f;
        std::snprintf(reading.text, sizeof reading.text, "%5.2f Volts", static_cast<double>(v));
        break;
    case 3: // RPM: the text is whole, the plotted value keeps its fraction
        v = r * 40.0f;
        std::snprintf(reading.text, sizeof reading.text, "%d RPM", static_cast<int>(v));
        break;
    case 4: // injector time
        v = r * 0.05f;
        std::snprintf(reading.text, sizeof reading.text, "%5.2f ms", static_cast<double>(v));
        break;
    case 5: // ignition advance, in double precision
        v = static_cast<float>((104.0 - static_cast<double>(r)) * 207.5 / 255.0);
        std::snprintf(reading.text, sizeof reading.text, "%5.2f deg", static_cast<double>(v));
        break;
    default: // 7, battery
        v = r * 682.0f / 1000000.0f;
        std::snprintf(reading.text, sizeof reading.text, "%5.2f Volts", static_cast<double>(v));
        break;
    }
    reading.value = v;
    UnitGroup& group = UnitGroups[channelGroup[channel]];
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
