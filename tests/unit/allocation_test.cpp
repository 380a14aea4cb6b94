// The running program allocates nothing: after a connection, 10,000 poll cycles and 1,000 chart
// ticks of the portable core make no call of operator new.
//
// A test program of its own, because it replaces the global operator new and delete to count
// calls. It links its own platform, not the recording fake: the fake keeps what it sees in
// growing containers, and the simulated ECU behind the port queues its bytes in a deque. Their
// allocations are not the core's, so calls that happen while the seam is running are left out;
// everything else in the counting window is the core's doing.
#include "app/channel_table.h"
#include "app/session.h"
#include "display/chart.h"
#include "ecu_model.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/link_state.h"
#include "link/serial_line.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <new>

namespace {

std::atomic<long> allocationsCounted{0};
std::atomic<int> counting{0};
thread_local int inSeam = 0; // > 0 while a call into the platform runs

void* Allocate(std::size_t size) {
    if (counting.load() && inSeam == 0)
        allocationsCounted.fetch_add(1);
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

} // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// While alive, allocations on this thread belong to the platform, not to the core.
struct SeamCall {
    SeamCall() { inSeam++; }
    ~SeamCall() { inSeam--; }
};

// The platform of this test: a port wired to the simulated ECU on a virtual clock, and nothing
// recorded but counts.
struct Line {
    std::unique_ptr<ecusim::EcuModel> ecu;
    uint64_t nowUs = 1000000;
    bool portOpen = false;
    ReaderThreadProc reader = nullptr;
    uint32_t pollCyclesToRun = 0; // the reader is stopped once the ECU has answered this many
    long logBytes = 0;
    long drawCalls = 0;
    int messages = 0;
} line;

// Counts the allocations the core makes while `body` runs.
template <typename Body> long AllocationsDuring(Body body) {
    allocationsCounted = 0;
    counting = 1;
    body();
    counting = 0;
    return allocationsCounted.load();
}

class Allocation : public ::testing::Test {
  protected:
    void SetUp() override {
        line.~Line();
        new (&line) Line();
        {
            SeamCall seam;
            line.ecu = std::make_unique<ecusim::EcuModel>();
        }
        StoreFlag(LinkState.connected, 0);
        StoreFlag(LinkState.paused, 0);
        StoreFlag(LinkState.debugLog, 1); // the per-poll log lines are formatted too
        lineStopRequested = 0;
        readerStopRequested = 0;
        blockNumber = 0;
        currentChannel = 0;
        historyLength = 0;
        for (int i = 0; i < CHANNEL_COUNT; i++)
            ChannelTable.enabled[i] = 1;
        ChartRect = {0, 80, 1000, 556}; // 990 points a trace
        ASSERT_EQ(StartSession(), 1);
        ASSERT_EQ(ConnectEcu(), 1);
        ASSERT_NE(line.reader, nullptr);
        StoreFlag(LinkState.connected, 1);
    }
};

// Through a volatile pointer, so that no compiler may leave the allocation out (clang does
// with a bare `delete new int`).
int* volatile allocationSink;

TEST(AllocationCounter, SeesAnAllocationOutsideTheSeamAndNoneInside) {
    const long outside = AllocationsDuring([] {
        allocationSink = new int(7);
        delete allocationSink;
    });
    const long inside = AllocationsDuring([] {
        SeamCall seam;
        allocationSink = new int(7);
        delete allocationSink;
    });
    EXPECT_EQ(outside, 1);
    EXPECT_EQ(inside, 0);
}

TEST_F(Allocation, TenThousandPollCyclesAllocateNothing) {
    const uint32_t before = line.ecu->stats().pollCycles;
    line.pollCyclesToRun = 10000;
    const long allocations = AllocationsDuring([] { line.reader(nullptr); });
    EXPECT_EQ(line.ecu->stats().pollCycles - before, 10000u); // the cycles really ran
    EXPECT_EQ(line.messages, 0);
    EXPECT_GT(line.logBytes, 10000L * 40); // with their debug lines
    EXPECT_EQ(allocations, 0);
}

TEST_F(Allocation, ThousandChartTicksAllocateNothing) {
    const long allocations = AllocationsDuring([] {
        for (int tick = 0; tick < 1000; tick++) {
            rawValues[tick % CHANNEL_COUNT].store(static_cast<int16_t>(tick % 200));
            ChartTick();
        }
    });
    EXPECT_EQ(historyLength, 990);
    EXPECT_GT(line.drawCalls, 1000L * 8);
    EXPECT_EQ(allocations, 0);
}

} // namespace

// --- the platform ---------------------------------------------------------------------------

int OsOpenPort(const wchar_t*) {
    line.portOpen = true;
    return 1;
}
void OsClosePort() { line.portOpen = false; }
int OsPortIsOpen() { return line.portOpen; }
int OsApplyPortTimeouts(uint32_t) { return line.portOpen; }
int OsApplyLineSettings(uint32_t baudRate) {
    SeamCall seam;
    line.ecu->SetLineSettings(baudRate, 8, 0, 1, line.nowUs);
    return line.portOpen;
}
int OsSetRts(int asserted) {
    SeamCall seam;
    line.ecu->SetRts(asserted != 0, line.nowUs);
    return line.portOpen;
}
int OsPurgePort() {
    SeamCall seam;
    line.ecu->Purge(line.nowUs);
    return line.portOpen;
}
// The next byte if it arrives within 1500 ms, the clock moved to it. After the cycles asked
// for, the reader is told to stop: it ends after the cycle it is in.
int OsReadPortByte(uint8_t* byte, uint32_t* received) {
    SeamCall seam;
    *received = 0;
    const uint64_t deadline = line.nowUs + 1500000;
    line.ecu->Advance(line.nowUs);
    uint64_t ready = 0;
    if (line.ecu->NextReady(&ready) && ready <= deadline) {
        line.nowUs = ready > line.nowUs ? ready : line.nowUs;
        ecusim::Direction direction;
        if (line.ecu->PopByte(line.nowUs, byte, &direction))
            *received = 1;
    } else {
        line.nowUs = deadline;
    }
    if (line.pollCyclesToRun > 0 && line.ecu->stats().pollCycles >= line.pollCyclesToRun)
        StoreFlag(LinkState.connected, 0);
    return 1;
}
int OsWritePortByte(uint8_t byte) {
    SeamCall seam;
    line.ecu->TesterWrites(byte, line.nowUs);
    return 1;
}

uint32_t OsTickCount() { return static_cast<uint32_t>(line.nowUs / 1000); }
void OsKeepWindowResponsive(int) {}
void OsSleep(uint32_t ms) { line.nowUs += uint64_t(ms) * 1000; }
int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    std::wcsncpy(buffer, L"8:17:45 PM", static_cast<size_t>(capacity) - 1);
    buffer[capacity - 1] = 0;
    return 1;
}

void OsShowMessage(const wchar_t*, const wchar_t*, int) { line.messages++; }
void OsSetStatusText(const wchar_t*) { line.drawCalls++; }
void OsSetPauseButtonText(const wchar_t*) {}
void OsUpdateMainWindow() {}
void OsCloseMainWindow() {}
int OsAskSaveLogPath(wchar_t*, int) { return 0; }

int OsCreateReaderThread(ReaderThreadProc proc) {
    line.reader = proc;
    return 1;
}
void OsResumeReaderThread() {} // the test runs the reader on its own thread
int OsJoinReaderThread(uint32_t) { return 1; }

void OsFillChartBlack() { line.drawCalls++; }
void OsSelectChartPen(ChartPen) { line.drawCalls++; }
void OsSelectChannelBrush(int) { line.drawCalls++; }
void OsDrawPolyline(const ChartPoint*, int) { line.drawCalls++; }
void OsDrawPolygon(const ChartPoint*, int) { line.drawCalls++; }
void OsSetChartTextColour(uint32_t) { line.drawCalls++; }
void OsDrawChartText(int32_t, int32_t, const wchar_t*, int) { line.drawCalls++; }
void OsPresentChart() { line.drawCalls++; }
void OsSetChannelCaption(int, const wchar_t*) { line.drawCalls++; }

ConfigReadResult OsReadConfigFile(uint8_t*, uint32_t, uint32_t* length) {
    *length = 0;
    return ConfigMissing;
}
int OsCreateLogFile() { return 1; }
int OsWriteLogFile(const char*, uint32_t n) {
    line.logBytes += n;
    return 1;
}
void OsCloseLogFile() {}
int OsReopenLogFileForAppend() { return 1; }
int OsCopyLogFile(const wchar_t*) { return 0; }

void OsInitLogLock() {}
void OsEnterLogLock() {}
void OsLeaveLogLock() {}
