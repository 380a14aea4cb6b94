// The tick-timing build of Tarvex.exe (TarvexTickTiming.exe): the real program, linked with
// --wrap so that every call of ChartTick comes here first and every OsSleep passes through here.
// A tick is timed with the high-resolution counter from its start to the moment it asks for its
// closing 50 ms pause, which is then taken as usual; so the figure is the tick's own work, with
// the drawing on GDI and the present to the window, but without the pause.
//
// The histories fill at one sample a tick, two ticks a second: full histories would take eight
// minutes. At the first tick that draws, the histories are filled once with moving values and
// sample times 500 ms apart (what eight minutes of polling leave behind), so every tick timed
// after that draws full traces with their time marks.
//
// The seam's calls made during a tick are wrapped too and timed on their own, so that the figure
// comes with where the time went: filling, traces, markers, texts, the present to the window, the
// status line, the button captions, the log writes, the clock text.
//
// At exit the ticks go to tick_timing.txt in the working directory: one line per tick, the
// history length, the microseconds, then the microseconds of each kind of seam call.
//
// The port's one-byte reads and writes are wrapped as well, to time the program's own share of
// each byte it answers: from the read that delivered the byte returning to the write of the
// answer returning (Tarvex's comparisons and bookkeeping, and WriteFile handing the byte to the
// system). What comes before (the byte reaching the process through the pty and Wine's wait)
// and after (the byte reaching the far end) is the environment's. These go to byte_timing.txt:
// one line per answered byte, the microseconds before the write and in it.
#include "app/session.h"
#include "channels/channel_table.h"
#include "display/chart.h"
#include "link/link_state.h"
#include "platform/platform.h"

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

extern "C" void __real_ChartTick();
extern "C" int __real_OsReadPortByte(uint8_t* byte, uint32_t* received);
extern "C" int __real_OsWritePortByte(uint8_t byte);
extern "C" void __real_OsSleep(uint32_t ms);

namespace {

constexpr int MAX_TICKS = 1 << 16;

// The seam's calls timed inside a tick, one column each in the output.
enum Part { FILL, POLYLINE, POLYGON, TEXT, PRESENT, STATUS, CAPTION, LOG, CLOCK, PARTS };
const char* const PART_NAMES[PARTS] = {"fill",   "polyline", "polygon", "text", "present",
                                       "status", "caption",  "log",     "clock"};

struct TickSample {
    int32_t history;   // points in each trace
    double us;         // the tick's work, without its pause
    double part[PARTS]; // of which in each kind of seam call
};

TickSample samples[MAX_TICKS];
int sampleCount;
const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
}();
LARGE_INTEGER tickStart;
int inTick;           // a tick is running and has not yet asked for its pause
DWORD tickThread;     // the GUI thread; the reader thread's log writes are not the tick's
int tickTimed;        // the running tick's time is taken
int filled;           // the histories were filled once
int exitRegistered;
double partUs[PARTS]; // the running tick's seam calls so far

// One answered byte: from its read's return to the answer's write call, and the write itself.
struct ByteSample {
    float beforeWriteUs;
    float writeUs;
};
constexpr int MAX_BYTES = 1 << 20;
ByteSample byteSamples[MAX_BYTES];
std::atomic<int> byteCount;
thread_local LARGE_INTEGER lastByteRead; // when this thread's last delivering read returned
thread_local int byteWaiting;            // that byte has not been answered yet

double MicrosecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1e6 /
           static_cast<double>(frequency.QuadPart);
}

void Record(int32_t history) {
    if (sampleCount >= MAX_TICKS)
        return;
    TickSample& s = samples[sampleCount++];
    s.history = history;
    s.us = MicrosecondsSince(tickStart);
    for (int k = 0; k < PARTS; k++)
        s.part[k] = partUs[k];
}

void WriteByteSamples() {
    FILE* out = std::fopen("byte_timing.txt", "w");
    if (!out)
        return;
    std::fprintf(out, "# before_write_us write_us\n");
    const int n = byteCount.load() < MAX_BYTES ? byteCount.load() : MAX_BYTES;
    for (int i = 0; i < n; i++)
        std::fprintf(out, "%.2f %.2f\n", static_cast<double>(byteSamples[i].beforeWriteUs),
                     static_cast<double>(byteSamples[i].writeUs));
    std::fclose(out);
}

void WriteSamples() {
    WriteByteSamples();
    FILE* out = std::fopen("tick_timing.txt", "w");
    if (!out)
        return;
    std::fprintf(out, "# history us");
    for (const char* name : PART_NAMES)
        std::fprintf(out, " %s", name);
    std::fprintf(out, "\n");
    for (int i = 0; i < sampleCount; i++) {
        std::fprintf(out, "%d %.1f", samples[i].history, samples[i].us);
        for (double us : samples[i].part)
            std::fprintf(out, " %.1f", us);
        std::fprintf(out, "\n");
    }
    std::fclose(out);
}

// Fills every history with a slow wave around the channel's latest value, sample times 500 ms
// apart ending now, and leaves historyLength one short of full so that this tick completes it.
void FillHistories() {
    const int32_t width = ChartRect.right - ChartRect.left;
    int n = width - 10;
    if (n > HISTORY_SLOTS - 1)
        n = HISTORY_SLOTS - 1;
    if (n <= 1)
        return;
    const uint32_t now = GetTickCount();
    for (int j = 0; j <= n; j++) {
        ChartHistory.sampleTimes[j] = now - static_cast<uint32_t>(n - j) * 500;
        for (int i = 0; i < CHANNEL_COUNT; i++) {
            const float base = ChartHistory.values[i][n] != 0.0f ? ChartHistory.values[i][n] : 1.0f;
            ChartHistory.values[i][j] =
                base * (1.0f + 0.25f * std::sin(static_cast<float>(j) / (7.0f + static_cast<float>(i))));
        }
    }
    historyLength = n - 1;
    filled = 1;
}

} // namespace

extern "C" void __wrap_ChartTick() {
    if (!exitRegistered) {
        std::atexit(WriteSamples);
        exitRegistered = 1;
    }
    if (!filled && historyLength > 0 && !sessionPaused)
        FillHistories();
    tickThread = GetCurrentThreadId();
    inTick = 1;
    tickTimed = 0;
    for (double& us : partUs)
        us = 0;
    QueryPerformanceCounter(&tickStart);
    __real_ChartTick();
    if (!tickTimed) // a paused tick returns before its pause: its whole call is its work
        Record(-1);
    inTick = 0;
}

extern "C" void __wrap_OsSleep(uint32_t ms) {
    if (inTick && !tickTimed && GetCurrentThreadId() == tickThread) {
        tickTimed = 1;
        Record(historyLength);
    }
    __real_OsSleep(ms);
}

// Each wrapped seam call: timed into its part while a tick runs, passed through as it is.
#define TIMED_SEAM_CALL(part, result, name, params, args)                                         \
    extern "C" result __real_##name params;                                                      \
    extern "C" result __wrap_##name params {                                                     \
        if (!inTick || tickTimed || GetCurrentThreadId() != tickThread)                          \
            return __real_##name args;                                                           \
        LARGE_INTEGER start;                                                                     \
        QueryPerformanceCounter(&start);                                                         \
        struct AddOnReturn {                                                                     \
            LARGE_INTEGER start;                                                                 \
            ~AddOnReturn() { partUs[part] += MicrosecondsSince(start); }                         \
        } add{start};                                                                            \
        return __real_##name args;                                                               \
    }

TIMED_SEAM_CALL(FILL, void, OsFillChartBlack, (const ChartArea* area), (area))
TIMED_SEAM_CALL(POLYLINE, void, OsDrawPolyline,
                (const ChartPoint* points, int count), (points, count))
TIMED_SEAM_CALL(POLYGON, void, OsDrawPolygon,
                (const ChartPoint* points, int count), (points, count))
TIMED_SEAM_CALL(TEXT, void, OsDrawChartText,
                (int32_t x, int32_t y, const wchar_t* text, int length), (x, y, text, length))
TIMED_SEAM_CALL(PRESENT, void, OsPresentChart, (const ChartArea* area), (area))
TIMED_SEAM_CALL(STATUS, void, OsSetStatusText, (const wchar_t* text), (text))
TIMED_SEAM_CALL(CAPTION, void, OsSetChannelCaption, (int channel, const wchar_t* caption),
                (channel, caption))
TIMED_SEAM_CALL(LOG, int, OsWriteLogFile, (const char* bytes, uint32_t n), (bytes, n))
TIMED_SEAM_CALL(CLOCK, int, OsFormatLocalTime, (wchar_t* buffer, int capacity),
                (buffer, capacity))

extern "C" int __wrap_OsReadPortByte(uint8_t* byte, uint32_t* received) {
    const int ok = __real_OsReadPortByte(byte, received);
    QueryPerformanceCounter(&lastByteRead);
    byteWaiting = ok && *received == 1;
    return ok;
}

extern "C" int __wrap_OsWritePortByte(uint8_t byte) {
    if (!byteWaiting)
        return __real_OsWritePortByte(byte);
    byteWaiting = 0;
    const double before = MicrosecondsSince(lastByteRead);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const int ok = __real_OsWritePortByte(byte);
    const int i = byteCount.fetch_add(1);
    if (i < MAX_BYTES)
        byteSamples[i] = {static_cast<float>(before), static_cast<float>(MicrosecondsSince(start))};
    return ok;
}
