// The chart of a sample. Everything is redrawn from the stored histories on every sample: the
// background, the grid, then per channel its time marks, trace, edge marker and axis labels.
#include "display/chart.h"

#include "display/colours.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

ChartArea ChartRect;
ChartHistoryStore ChartHistory;
int32_t historyLength = 0;

// The chart's unit groups, each from its unit's row: its label, its range, and the scale that
// each sample sets from the chart's height.
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

namespace {

constexpr uint32_t TIME_MARK_MS = 30000;  // one time mark every 30 seconds of history
constexpr int LABEL_COLUMN_WIDTH = 45;

ChartPoint tracePoints[HISTORY_SLOTS]; // scratch, reused every tick
ChartPoint shape[4];                   // grid lines, time marks, edge marker

// trunc toward zero, kept inside the int32 range so that no value can overflow the conversion.
int32_t TruncToInt32(float f) {
    if (!(f > -2147483520.0f)) // also catches NaN
        return INT32_MIN;
    if (f > 2147483520.0f)
        return INT32_MAX;
    return static_cast<int32_t>(f);
}

int32_t Clamp(int32_t v, int32_t low, int32_t high) { return v < low ? low : v > high ? high : v; }

// The y of a value on its group's axis, clamped to the chart: values off the range ride the edge.
int32_t ValueY(float value, const UnitGroup& group) {
    const int32_t offset = TruncToInt32((value - group.min) * group.scale);
    const int64_t y = static_cast<int64_t>(ChartRect.bottom) - offset;
    return static_cast<int32_t>(y < ChartRect.top ? ChartRect.top
                                : y > ChartRect.bottom ? ChartRect.bottom : y);
}

void DrawNarrowText(int32_t x, int32_t y, const char* text) {
    wchar_t wide[32];
    int n = 0;
    for (; text[n] && n < 31; n++)
        wide[n] = static_cast<wchar_t>(static_cast<unsigned char>(text[n]));
    wide[n] = 0;
    OsDrawChartText(x, y, wide, n);
}

void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    shape[0] = {x0, y0};
    shape[1] = {x1, y1};
    OsDrawPolyline(shape, 2);
}

void DrawGrid(int32_t gridStep) {
    OsSelectChartPen(PEN_GRID);
    for (int k = 1; k <= 9; k++) {
        const int32_t y = ChartRect.bottom - k * gridStep;
        DrawLine(ChartRect.left, y, ChartRect.right, y);
        OsSelectChartPen(PEN_DASH);
    }
}

void ShiftHistory(int channel, int n) {
    if (n <= 0)
        return;
    std::memmove(&ChartHistory.values[channel][0], &ChartHistory.values[channel][1],
                 sizeof(float) * static_cast<size_t>(n));
    if (channel == 0)
        std::memmove(&ChartHistory.sampleTimes[0], &ChartHistory.sampleTimes[1],
                     sizeof(uint32_t) * static_cast<size_t>(n));
}

// The trace's points, newest at the right, and a dashed mark with its age wherever the history
// crosses another 30 seconds back.
void DrawTimeMarksAndPlaceTrace(int channel, int n, uint32_t now, const UnitGroup& group) {
    uint32_t reference = now;
    int ageSeconds = 0;
    for (int j = 0; j < historyLength && n - j >= 0; j++) {
        const int32_t x = ChartRect.right - j - 10;
        tracePoints[j] = {x, ValueY(ChartHistory.values[channel][n - j], group)};
        const uint32_t sampleTime = ChartHistory.sampleTimes[n - j];
        if (static_cast<int32_t>(reference - sampleTime) > static_cast<int32_t>(TIME_MARK_MS)) {
            reference = sampleTime;
            ageSeconds += 30;
            DrawLine(x, ChartRect.top, x, ChartRect.bottom);
            char mark[16];
            std::snprintf(mark, sizeof mark, "-%ds", ageSeconds);
            DrawNarrowText(x, ChartRect.bottom - 15, mark);
        }
    }
}

// A small triangle pointing left at the newest value, its corners kept on the chart.
void DrawEdgeMarker(float value, const UnitGroup& group) {
    const int32_t y0 = ValueY(value, group);
    shape[0] = {ChartRect.right - 10, y0};
    shape[1] = {ChartRect.right - 1, y0 - 5 < ChartRect.top ? ChartRect.top : y0 - 5};
    shape[2] = {ChartRect.right - 1, y0 + 5 > ChartRect.bottom ? ChartRect.bottom : y0 + 5};
    shape[3] = {ChartRect.right - 10, y0};
    OsDrawPolygon(shape, 4);
}

void DrawAxisLabels(const UnitGroup& group, int32_t gridStep, int32_t labelOffset) {
    OsSetChartTextColour(COLOUR_CHART_TEXT);
    const int32_t x = ChartRect.left + 2 + labelOffset;
    for (int k = 1; k <= 9; k++) {
        char label[16];
        std::snprintf(label, sizeof label, "%d", AxisLabelValue(group, k));
        DrawNarrowText(x, ChartRect.bottom - k * gridStep - 15, label);
    }
    OsDrawChartText(x, ChartRect.top + 15, group.label,
                    static_cast<int>(std::wcslen(group.label)));
}

void SetChannelCaption(int channel, const ChannelReading& reading) {
    wchar_t caption[CHANNEL_NAME_CAPACITY + READING_TEXT_BYTES + 4];
    FormatChannelCaption(channel, reading, caption, sizeof caption / sizeof caption[0]);
    OsSetChannelCaption(channel, caption);
}

} // namespace

void ChartSample(const Sample& sample) {
    const int32_t width = ChartRect.right - ChartRect.left;
    const int32_t height = ChartRect.bottom - ChartRect.top;
    OsFillChartBlack(&ChartRect);
    ComputeScales(static_cast<float>(height));
    const int n = Clamp(width - 10, 0, HISTORY_SLOTS - 1);
    historyLength = std::min(historyLength + 1, n);

    const int32_t gridStep = height / 10;
    DrawGrid(gridStep);

    int32_t labelOffset = 0;
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        // A channel not shown has its history move on too: it repeats its last value in the
        // newest slot, so a re-enabled trace shows the value held flat over the time it was hidden.
        ShiftHistory(i, n);
        if (!(sample.channels & (1u << i)))
            continue;
        const ChannelReading& reading = sample.readings[i];
        SetChannelCaption(i, reading);
        ChartHistory.values[i][n] = reading.value;
        ChartHistory.sampleTimes[n] = sample.time;

        // The first channel of a group in index order draws its labels.
        UnitGroup& group = UnitGroups[CHANNEL_ROWS[i].unit];
        const int drawLabels = !group.labelsDrawn;
        group.labelsDrawn = 1;

        OsSelectChartPen(PEN_DASH);
        OsSetChartTextColour(COLOUR_CHART_TEXT);
        DrawTimeMarksAndPlaceTrace(i, n, sample.time, group);
        OsSelectChartPen(static_cast<ChartPen>(PEN_CHANNEL_0 + i));
        OsSelectChannelBrush(i);
        OsDrawPolyline(tracePoints, historyLength);
        DrawEdgeMarker(reading.value, group);
        if (drawLabels) {
            DrawAxisLabels(group, gridStep, labelOffset);
            labelOffset += LABEL_COLUMN_WIDTH;
        }
    }
    OsPresentChart(&ChartRect);
}
