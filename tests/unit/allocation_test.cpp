// The running program allocates nothing: after a connection, 10,000 poll cycles and 1,000 chart
// ticks of the portable core make no call of operator new.
//
// A test program of its own, because it replaces the global operator new and delete to count
// calls. The test platform records what it sees in growing containers, and the simulated ECU
// behind the port queues its bytes in a deque; those allocations are not the core's, so calls
// made while a platform call runs are left out. Everything else in the window is the core's doing.
#include "fake_os.h"

#include "channels/channel_table.h"
#include "app/session.h"
#include "display/chart.h"
#include "link/connection.h"
#include "link/link_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> allocationsCounted{0};
std::atomic<int> counting{0};

void* Allocate(std::size_t size) {
    if (counting.load() && !InsideFakeOs())
        allocationsCounted.fetch_add(1);
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

} // namespace

// The library's other forms (array, nothrow) come down to these.
void* operator new(std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

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
        ResetFakeOs();
        AttachEcu();
        fakeOs.record = false;
        fakeOs.holdReader = true; // the test runs the reader on its own thread
        ChartRect = {0, 80, 1000, 556}; // 990 points a trace
        ASSERT_EQ(StartSession(), 1);
        ASSERT_EQ(ConnectEcu(), 1);
        StoreFlag(LinkState.connected, 1);
        channelsRead = 0xFF; // the reader has been round every channel: the ticks draw
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
        fakeOs.record = true;
        OsSetStatusText(L"a text the platform records");
    });
    EXPECT_EQ(outside, 1);
    EXPECT_EQ(inside, 0);
}

TEST_F(Allocation, TenThousandPollCyclesAllocateNothing) {
    const uint32_t before = fakeOs.ecu->stats().pollCycles;
    fakeOs.onWrite = [before](uint8_t) { // the reader stops once the ECU has answered 10,000
        if (fakeOs.ecu->stats().pollCycles >= before + 10000)
            StoreFlag(LinkState.connected, 0);
    };
    const long allocations = AllocationsDuring([] { fakeOs.readerProc(nullptr); });
    EXPECT_EQ(fakeOs.ecu->stats().pollCycles - before, 10000u); // the cycles really ran
    EXPECT_TRUE(fakeOs.messages.empty());
    EXPECT_GT(fakeOs.logFile.size(), 10000u * 40); // with their debug lines
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
    EXPECT_NE(fakeOs.drawSum, 0u);
    EXPECT_EQ(allocations, 0);
}

} // namespace
