// What a chart tick draws and logs, recorded through the fake platform.
#include "app/session.h"
#include "channels/channel_table.h"
#include "display/chart.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/reader_thread.h"
#include "link/link_state.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The chart of the real window: client area 994 x 556, below the 80-pixel strip.
constexpr ChartArea AREA = {0, 80, 994, 556};
constexpr int32_t GRID_STEP = (556 - 80) / 10;
constexpr int N = 994 - 10; // the newest history slot

class Chart : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakeOs();
        OsCreateLogFile();
        ChartRect = AREA;
        StoreFlag(LinkState.connected, 1);
        channelsRead = 0xFF; // the reader has been round every channel
        tickMs = 100000;
    }
    // One tick, 500 ms after the previous one.
    void Tick() {
        fakeOs.nowUs = uint64_t(tickMs) * 1000;
        tickMs += 500;
        fakeOs.draws.clear();
        fakeOs.logFile.clear();
        ChartTick();
    }
    // The calls of a kind among `from`, only those of this text if one is given.
    static std::vector<DrawCall> Calls(DrawCall::Kind kind, const std::vector<DrawCall>& from,
                                       const std::wstring& text = L"") {
        std::vector<DrawCall> out;
        for (const auto& d : from)
            if (d.kind == kind && (text.empty() || d.text == text))
                out.push_back(d);
        return out;
    }
    static std::vector<DrawCall> Texts(const std::wstring& text) {
        return Calls(DrawCall::Text, fakeOs.draws, text);
    }
    // The draw calls made with channel i's pen selected: its trace, its edge marker and the
    // labels it draws. Every other section of the tick begins with a pen of its own.
    static std::vector<DrawCall> ChannelSection(int channel) {
        std::vector<DrawCall> out;
        bool in = false;
        for (const auto& d : fakeOs.draws) {
            if (d.kind == DrawCall::Pen)
                in = d.arg == PEN_CHANNEL_0 + channel;
            if (in)
                out.push_back(d);
        }
        return out;
    }
    uint32_t tickMs = 0;
};

} // namespace

TEST_F(Chart, StatusLineAlwaysChartAndRowOnlyRunningWithAWholeRowOfThisLink) {
    // Every tick shows the status line, with the history before the tick. The chart, the
    // captions and the row come only while running, and once the reader has been round every
    // channel shown in this link (not after it failed); such a tick ends in a 50 ms pause, to
    // the timer's next tick.
    const struct {
        const char* what;
        int paused;
        uint32_t read;
        int batteryShown;
        bool drawn;
    } cases[] = {
        {"nothing read yet", 0, 0x00, 1, false},
        {"all but the battery", 0, 0x7F, 1, false},
        {"all but the battery, which is off", 0, 0x7F, 0, true},
        {"every channel", 0, 0xFF, 1, true},
        {"paused: the chart keeps its last picture", 1, 0xFF, 1, false},
    };
    for (const auto& c : cases) {
        SetUp();
        effectiveBaudRate = 4000;
        blockNumber = 15;
        historyLength = 7;
        sessionPaused = c.paused;
        channelsRead = c.read;
        ChannelTable.enabled[7] = c.batteryShown;
        Tick();
        EXPECT_EQ(fakeOs.statusTexts, std::vector<std::wstring>{(c.paused ? L"Paused" : L"Running") +
                                                               std::wstring(L": SysTime     100000ms "
                                                               L"Effective Baud Rate 4000 "
                                                               L"BlockNumber  15 History     7")})
            << c.what;
        EXPECT_EQ(fakeOs.draws.empty(), !c.drawn) << c.what;
        EXPECT_EQ(historyLength, c.drawn ? 8 : 7) << c.what;
        EXPECT_EQ(fakeOs.captions[0].empty(), !c.drawn) << c.what;
        EXPECT_EQ(fakeOs.logFile.empty(), !c.drawn) << c.what;
        EXPECT_EQ(fakeOs.nowUs, c.drawn ? 100062500u : 100000000u) << c.what;
    }
    // The tick count is unsigned: 24.9 days after the system's start it goes on counting up.
    wchar_t text[120];
    FormatStatusLine(2147483653u, 0, LinkFigures{}, text, 120);
    EXPECT_EQ(std::wstring(text).substr(0, 29), L"Running: SysTime 2147483653ms");
    FormatStatusLine(0, 1, LinkFigures{}, text, 7); // cut to the room given, terminator included
    EXPECT_EQ(std::wstring(text), L"Paused");
}

TEST_F(Chart, GridIsOneSolidLineAndEightDashedOnes) {
    for (int i = 0; i < 8; i++)
        ChannelTable.enabled[i] = 0;
    Tick();
    const auto& d = fakeOs.draws;
    // The background, nine lines each after its pen, the last pen, the picture: none on the top
    // or bottom edge.
    ASSERT_EQ(d.size(), 1u + 2u * 9u + 2u);
    const std::vector<ChartPoint> area = {{0, 80}, {994, 556}};
    EXPECT_EQ(d[0].kind, DrawCall::Fill);
    EXPECT_EQ(d[0].points, area);
    for (int k = 1; k <= 9; k++) {
        const DrawCall& pen = d[1 + 2 * (k - 1)];
        const DrawCall& line = d[2 + 2 * (k - 1)];
        EXPECT_EQ(pen.kind, DrawCall::Pen);
        EXPECT_EQ(pen.arg, k == 1 ? PEN_GRID : PEN_DASH) << "line " << k;
        ASSERT_EQ(line.kind, DrawCall::Polyline);
        const int32_t y = 556 - k * GRID_STEP;
        EXPECT_EQ(line.points, (std::vector<ChartPoint>{{0, y}, {994, y}})) << "line " << k;
    }
    // With every channel off no sample time is stored.
    EXPECT_NE(ChartHistory.sampleTimes[N], tickMs - 500);
    EXPECT_EQ(d.back().kind, DrawCall::Present);
    EXPECT_EQ(d.back().points, area);
}

TEST_F(Chart, OneLabelColumnPerUnit) {
    Tick();
    const struct {
        const wchar_t* unit;
        int32_t x;
    } columns[] = {{L"Fahr", 2}, {L"Volts", 47}, {L"RPM", 92}, {L"ms", 137}, {L"Angle", 182}};
    for (const auto& column : columns) {
        auto texts = Texts(column.unit);
        ASSERT_EQ(texts.size(), 1u) << "one column of " << std::string(column.unit, column.unit + 2);
        EXPECT_EQ(texts[0].points, (std::vector<ChartPoint>{{column.x, 80 + 15}}));
    }
    // The value labels sit just above their grid lines.
    auto volts9 = Texts(L"9");
    ASSERT_EQ(volts9.size(), 1u);
    EXPECT_EQ(volts9[0].points, (std::vector<ChartPoint>{{47, 556 - 5 * GRID_STEP - 15}}));

    // With channel 0 off, channel 1 draws the Fahr column, still first.
    ChannelTable.enabled[0] = 0;
    Tick();
    const auto fahr = Calls(DrawCall::Text, ChannelSection(1), L"Fahr");
    ASSERT_EQ(fahr.size(), 1u) << "drawn by channel 1";
    EXPECT_EQ(fahr[0].points[0].x, 2);
    EXPECT_EQ(Texts(L"Fahr").size(), 1u);
}

TEST_F(Chart, ValuesOffTheRangeRideTheEdgesAndTheMarkerIsClipped) {
    rawValues[3] = 32767; // RPM far above 9000
    rawValues[5] = 1000;  // ignition advance far below -10
    rawValues[0] = 100;   // 89 F, inside its range
    Tick();
    Tick();
    const auto rpm = ChannelSection(3);
    const auto advance = ChannelSection(5);
    const DrawCall rpmTrace = Calls(DrawCall::Polyline, rpm).at(0);
    ASSERT_EQ(rpmTrace.points.size(), 2u);
    EXPECT_EQ(rpmTrace.points[0], (ChartPoint{994 - 10, 80}));
    EXPECT_EQ(rpmTrace.points[1], (ChartPoint{994 - 11, 80}));
    EXPECT_EQ(Calls(DrawCall::Polygon, rpm).at(0).points,
              (std::vector<ChartPoint>{{984, 80}, {993, 80}, {993, 85}, {984, 80}}));
    EXPECT_EQ(Calls(DrawCall::Polygon, advance).at(0).points,
              (std::vector<ChartPoint>{{984, 556}, {993, 551}, {993, 556}, {984, 556}}));
    // 89 F: 139 degrees above the axis's -50, at 476 / 500 pixels a degree, truncated.
    EXPECT_EQ(Calls(DrawCall::Polyline, ChannelSection(0)).at(0).points.at(0).y, 556 - 132);
}

// A window wider than the history draws the 1000 samples it holds, the newest 10 pixels from the
// right edge as always; a narrow one keeps its few slots moving.
TEST_F(Chart, AWideChartHoldsTheWholeHistory) {
    ChartRect = {0, 80, 1400, 556};
    for (int t = 0; t < HISTORY_SLOTS + 5; t++)
        Tick();
    EXPECT_EQ(historyLength, HISTORY_SLOTS - 1);
    const auto trace = Calls(DrawCall::Polyline, ChannelSection(0)).at(0).points;
    ASSERT_EQ(trace.size(), size_t(HISTORY_SLOTS - 1));
    EXPECT_EQ(trace.front().x, 1400 - 10);
    EXPECT_EQ(trace.back().x, 1400 - 10 - (HISTORY_SLOTS - 2));
    // At the other end, a chart with room for two slots moves its history on all the same.
    ChartRect = {0, 80, 11, 556};
    rawValues[3] = 20; // 800 RPM
    Tick();
    rawValues[3] = 50; // 2000 RPM
    Tick();
    EXPECT_EQ(std::vector<float>(&ChartHistory.values[3][0], &ChartHistory.values[3][2]),
              (std::vector<float>{800, 2000}));
}

TEST_F(Chart, DisabledChannelHistoryRepeatsItsLastValue) {
    rawValues[3] = 20; // 800 RPM
    Tick();
    ChannelTable.enabled[3] = 0;
    rawValues[3] = 50; // 2000 RPM, not shown while off
    Tick();
    Tick();
    EXPECT_EQ(fakeOs.captions[3], L"RPM = 800 RPM") << "a disabled caption stands still";
    ChannelTable.enabled[3] = 1;
    Tick();
    EXPECT_EQ(std::vector<float>(&ChartHistory.values[3][N - 3], &ChartHistory.values[3][N + 1]),
              (std::vector<float>{800, 800, 800, 2000}));
    EXPECT_EQ(fakeOs.captions[3], L"RPM = 2000 RPM");
    EXPECT_EQ(historyLength, 4);
}

TEST_F(Chart, TimeMarksEveryThirtySecondsAndEveryDrawingWithItsOwnTools) {
    for (int t = 0; t < 61; t++)
        Tick();
    EXPECT_TRUE(Texts(L"-30s").empty()) << "61 samples span exactly 30 s: no mark yet";
    Tick(); // the 62nd: point 61 is the first sample more than 30000 ms old
    int32_t pen = -1, brush = -1, textColour = -1, traces = 0, marks = 0;
    for (const auto& d : fakeOs.draws) {
        switch (d.kind) {
        case DrawCall::Pen: pen = d.arg; break;
        case DrawCall::Brush: brush = d.arg; break;
        case DrawCall::TextColour: textColour = d.arg; break;
        case DrawCall::Text: EXPECT_EQ(textColour, 0x00B4B4B4) << "grey labels and marks"; break;
        case DrawCall::Polyline:
            if (d.points.size() == 62u) { // the traces, in channel order
                EXPECT_EQ(pen, PEN_CHANNEL_0 + traces) << "trace " << traces;
                traces++;
            } else if (d.points.size() == 2u && d.points[0].x == d.points[1].x) {
                EXPECT_EQ(pen, PEN_DASH) << "time mark";
                marks++;
            }
            break;
        case DrawCall::Polygon:
            EXPECT_EQ(pen, PEN_CHANNEL_0 + traces - 1) << "edge marker";
            EXPECT_EQ(brush, traces - 1) << "edge marker";
            break;
        default: break;
        }
    }
    EXPECT_EQ(traces, 8);
    EXPECT_EQ(marks, 8) << "every channel draws the time marks again";
    for (const auto& mark : Texts(L"-30s"))
        EXPECT_EQ(mark.points, (std::vector<ChartPoint>{{994 - 61 - 10, 556 - 15}}));
    EXPECT_EQ(Texts(L"-30s").size(), 8u);
    // Channel 0 labels the temperature axis: nine values and the unit, nothing below the axis.
    std::vector<std::wstring> labels;
    for (const auto& d : Calls(DrawCall::Text, ChannelSection(0)))
        labels.push_back(d.text);
    EXPECT_EQ(labels, (std::vector<std::wstring>{L"0", L"50", L"100", L"150", L"200", L"250",
                                                 L"300", L"350", L"400", L"Fahr"}));
    for (int t = 0; t < 61; t++)
        Tick();
    EXPECT_EQ(Texts(L"-60s").size(), 8u);
    EXPECT_EQ(Texts(L"-60s").at(0).points[0].x, 994 - 122 - 10);
    // A sample exactly 30 s older than the newest has no mark yet; one a millisecond older has.
    SetUp();
    Tick();
    tickMs += 30000 - 500;
    Tick();
    EXPECT_TRUE(Texts(L"-30s").empty());
    tickMs -= 499;
    Tick();
    EXPECT_EQ(Texts(L"-30s").size(), 8u);
}
