// The chart tick's own cost, natively: ChartTick on the test platform recording nothing, whose
// closing 50 ms pause only moves the virtual clock, with all eight channels shown and their histories
// full. Each tick is timed on its own, so the percentiles are per tick, not per batch.
#include "app/session.h"
#include "channels/channel_table.h"
#include "display/chart.h"
#include "link/link_state.h"
#include "fake_os.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace {

// Raw readings that move every tick, as a revving engine's do: a triangle wave per channel over
// most of each channel's range, so the traces zig-zag rather than lie flat.
void MoveReadings(int tick) {
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        const int phase = (tick * (i + 3)) % 200;
        const int wave = phase < 100 ? phase : 200 - phase; // 0..100
        rawValues[i].store(static_cast<int16_t>(20 + wave * 2), std::memory_order_relaxed);
    }
}

// The chart at the given width, every channel shown, histories filled by as many ticks as they
// have slots (a tick every 500 ms, so about eight minutes of samples with their time marks).
int Prepare(int32_t width) {
    ResetFakeOs();
    fakeOs.record = false;
    ChartRect = {0, 80, width, 556};
    for (int i = 0; i < CHANNEL_COUNT; i++)
        ChannelTable.enabled[i] = 1;
    StoreFlag(LinkState.connected, 1);
    sessionPaused = 0;
    historyLength = 0;
    int tick = 0;
    for (; tick < HISTORY_SLOTS + 10; tick++) {
        MoveReadings(tick);
        ChartTick();
    }
    return tick;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t k = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) - 1;
    return v[std::min(k, v.size() - 1)];
}

void BM_ChartTickFullHistories(benchmark::State& state) {
    const int32_t width = static_cast<int32_t>(state.range(0));
    int tick = Prepare(width);
    std::vector<double> us;
    us.reserve(1 << 20);
    for (auto _ : state) {
        MoveReadings(tick++);
        const auto start = std::chrono::steady_clock::now();
        ChartTick();
        const auto end = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    benchmark::DoNotOptimize(fakeOs.drawSum);
    state.counters["points"] = historyLength;
    state.counters["p50_us"] = Percentile(us, 50);
    state.counters["p95_us"] = Percentile(us, 95);
    state.counters["p99_us"] = Percentile(us, 99);
    state.counters["max_us"] = *std::max_element(us.begin(), us.end());
}
// 1000: 990 points a trace; 994: the real window's chart, 984 points.
BENCHMARK(BM_ChartTickFullHistories)->Arg(1000)->Arg(994)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
