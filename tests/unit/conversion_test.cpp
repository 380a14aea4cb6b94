// Raw readings to the texts the user reads, exact to the character on both C runtimes, and the
// axes they are plotted on.
#include "channels/conversion.h"
#include "display/chart.h"

#include <gtest/gtest.h>

#include <string>

TEST(Conversion, SampleTextsOfEveryChannel) {
    // Columns: raw, channels 0 and 1, channels 2 and 6, channel 3, 4, 5, 7.
    const struct {
        int16_t raw;
        const char* temp;
        const char* volts;
        const char* rpm;
        const char* ms;
        const char* advance;
        const char* battery;
    } rows[] = {
        {0, "-26.00 F", " 0.00 Volts", "0 RPM", " 0.00 ms", "84.63 deg", " 0.00 Volts"},
        {1, "-24.85 F", " 0.02 Volts", "40 RPM", " 0.05 ms", "83.81 deg", " 0.00 Volts"},
        {51, "32.65 F", " 1.00 Volts", "2040 RPM", " 2.55 ms", "43.13 deg", " 0.03 Volts"},
        {100, "89.00 F", " 1.96 Volts", "4000 RPM", " 5.00 ms", " 3.25 deg", " 0.07 Volts"},
        {104, "93.60 F", " 2.04 Volts", "4160 RPM", " 5.20 ms", " 0.00 deg", " 0.07 Volts"},
        {255, "267.25 F", " 5.00 Volts", "10200 RPM", "12.75 ms", "-122.87 deg", " 0.17 Volts"},
        {-1, "-27.15 F", "-0.02 Volts", "-40 RPM", "-0.05 ms", "85.44 deg", "-0.00 Volts"},
    };
    for (const auto& row : rows) {
        const char* expected[8] = {row.temp, row.temp,    row.volts,   row.rpm,
                                   row.ms,   row.advance, row.volts,   row.battery};
        for (int channel = 0; channel < 8; channel++)
            EXPECT_STREQ(ConvertChannel(channel, row.raw).text, expected[channel])
                << "raw " << row.raw << " channel " << channel;
    }
    EXPECT_STREQ(ConvertChannel(6, 20000).text, "392.16 Volts");
    EXPECT_STREQ(ConvertChannel(7, 20000).text, "13.64 Volts");
    EXPECT_STREQ(ConvertChannel(6, 32767).text, "642.49 Volts");
    EXPECT_STREQ(ConvertChannel(3, -32768).text, "-1310720 RPM");
}

TEST(Conversion, CaptionIsCutToItsBuffer) {
    // Whole captions are the chart's tests'.
    wchar_t caption[12];
    FormatChannelCaption(0, ConvertChannel(0, 255), caption, 12);
    EXPECT_EQ(std::wstring(caption), L"Intake Air ") << "cut to the buffer, terminated";
}

TEST(Conversion, AxisLabelsOfEachUnit) {
    // The temperatures' are the chart's test.
    const struct {
        UnitGroupId group;
        int labels[9];
    } axes[] = {
        {VoltsGroup, {0, 2, 4, 6, 9, 11, 13, 15, 17}},
        {RpmGroup, {0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}},
        {MsGroup, {0, 10, 20, 30, 40, 50, 60, 70, 80}},
        {AngleGroup, {20, 50, 80, 110, 140, 170, 200, 230, 260}},
    };
    for (const auto& axis : axes)
        for (int k = 1; k <= 9; k++)
            EXPECT_EQ(AxisLabelValue(UnitGroups[axis.group], k), axis.labels[k - 1])
                << UnitGroups[axis.group].label << " line " << k;
}

TEST(Conversion, ScalesFillTheChart) {
    ComputeScales(476.0f);
    for (const UnitGroup& group : UnitGroups)
        EXPECT_FLOAT_EQ((group.max - group.min) * group.scale, 476.0f) << "range fills the height";
}
