// The chart tick. Everything is redrawn from the stored histories on every tick: the background,
// the grid, then per enabled channel in index order its time marks, trace, edge marker and axis
// labels, so that later channels draw over earlier ones. The same pass builds the data row of
// the log, which goes out in one write so that the reader thread's lines cannot break it.
#include "display/chart.h"

#include "display/colours.h"
#include "display/conversion.h"
#include "log/session_log.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

ChartArea ChartRect;
ChartHistoryStore ChartHistory;
int32_t historyLength = 0;

namespace {

constexpr int STATUS_CHARS = 160;
constexpr int ROW_CHARS = 200; // a row is about 130 characters: time, eight values, separators
constexpr int TIME_TEXT_CHARS = 260;
constexpr uint32_t TIME_MARK_MS = 30000;  // one time mark every 30 seconds of history
constexpr int LABEL_COLUMN_WIDTH = 45;
constexpr int TICK_PAUSE_MS = 50;

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

// Appends text to the data row, leaving room for its line end. A row of eight values and the
// time is far shorter than the buffer; were it not, it would be cut rather than overrun it.
void AppendToRow(char* row, int* length, const char* text) {
    for (; *text && *length < ROW_CHARS - 3; text++)
        row[(*length)++] = *text;
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

} // namespace

void FormatStatusLine(uint32_t now, const LinkFigures& link, wchar_t* text, int capacity) {
    char narrow[STATUS_CHARS];
    std::snprintf(narrow, sizeof narrow,
                  "%s: SysTime %10ums Effective Baud Rate %d BlockNumber %3d History %5d",
                  link.paused ? "Paused" : "Running", static_cast<unsigned>(now),
                  link.effectiveBaudRate, link.blockNumber, historyLength);
    int n = 0;
    for (; narrow[n] && n < capacity - 1; n++)
        text[n] = static_cast<wchar_t>(narrow[n]);
    text[n] = 0;
}

void ChartTick(const LinkFigures& link) {
    const uint32_t now = OsTickCount();
    wchar_t status[STATUS_CHARS];
    FormatStatusLine(now, link, status, STATUS_CHARS);
    OsSetStatusText(status);
    if (link.paused)
        return; // the chart keeps its last picture; polling goes on regardless
    // Only values read in this link, and only a whole row of them: until the reader has been
    // round every channel shown (and after it has failed), nothing is drawn or logged.
    uint32_t shown = 0;
    for (int i = 0; i < CHANNEL_COUNT; i++)
        shown |= ChannelTable.enabled[i] ? 1u << i : 0;
    if ((link.channelsRead & shown) != shown)
        return;

    const int32_t width = ChartRect.right - ChartRect.left;
    const int32_t height = ChartRect.bottom - ChartRect.top;
    OsFillChartBlack();
    ComputeScales(static_cast<float>(height));
    const int n = Clamp(width - 10, 0, HISTORY_SLOTS - 1);
    historyLength = std::min(historyLength + 1, n);

    const int32_t gridStep = height / 10;
    DrawGrid(gridStep);

    wchar_t timeText[TIME_TEXT_CHARS] = {0};
    OsFormatLocalTime(timeText, TIME_TEXT_CHARS);
    char row[ROW_CHARS];
    int length = 0;
    char narrowTime[TIME_TEXT_CHARS];
    NarrowLogText(timeText, narrowTime, TIME_TEXT_CHARS);
    AppendToRow(row, &length, narrowTime);
    AppendToRow(row, &length, " ");

    int32_t labelOffset = 0;
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        // A disabled channel's history moves on too: it repeats its last value in the newest
        // slot, so a re-enabled trace shows the value held flat over the time it was hidden.
        ShiftHistory(i, n);
        if (!ChannelTable.enabled[i])
            continue;
        const ChannelReading reading = ConvertChannel(i, rawValues[i].load(std::memory_order_relaxed));
        SetChannelCaption(i, reading);
        AppendToRow(row, &length, reading.text);
        if (i != CHANNEL_COUNT - 1)
            AppendToRow(row, &length, ",");
        ChartHistory.values[i][n] = reading.value;
        ChartHistory.sampleTimes[n] = now;

        OsSelectChartPen(PEN_DASH);
        OsSetChartTextColour(COLOUR_CHART_TEXT);
        DrawTimeMarksAndPlaceTrace(i, n, now, *reading.group);
        OsSelectChartPen(static_cast<ChartPen>(PEN_CHANNEL_0 + i));
        OsSelectChannelBrush(i);
        OsDrawPolyline(tracePoints, historyLength);
        DrawEdgeMarker(reading.value, *reading.group);
        if (reading.drawLabels) {
            DrawAxisLabels(*reading.group, gridStep, labelOffset);
            labelOffset += LABEL_COLUMN_WIDTH;
        }
    }
    std::memcpy(row + length, "\r\n", 3);
    LogWriteNarrow(row);
    OsPresentChart();
    OsSleep(TICK_PAUSE_MS);
}
