// The ECU model against a scripted tester on a virtual clock. The opening exchange, the polls, the
// engine's values and the faults the model plays are checked by the logger's own tests, which run
// against this model; these guard what a logger cannot notice: a peer more lenient, or faster,
// than a real one.
#include <gtest/gtest.h>

#include <algorithm>

#include "ecu_model.h"
#include "fake_line.h"

namespace ecusim {
namespace {

TEST(EcuModelWakeUp, AnswersOnlyAFrameOnTheGridToAddress10WithOddParityAt9600_8N1) {
    const struct {
        const char* what;
        uint8_t address;
        bool flipParity;
        uint64_t bitUs, cutStopUs;
        uint32_t baud;
        int dataBits, parity, stopBits;
        bool answered;
    } cases[] = {
        {"healthy", 0x10, false, 200000, 0, 9600, 8, 0, 1, true},
        {"bits 5% short", 0x10, false, 190000, 0, 9600, 8, 0, 1, true},
        {"bits 5% long", 0x10, false, 210000, 0, 9600, 8, 0, 1, true},
        {"bits 7% short", 0x10, false, 186000, 0, 9600, 8, 0, 1, false},
        {"bits 7% long", 0x10, false, 214000, 0, 9600, 8, 0, 1, false},
        {"stop bit cut short", 0x10, false, 200000, 80000, 9600, 8, 0, 1, false},
        {"line low again before the answer", 0x10, false, 200000, 230000, 9600, 8, 0, 1, false},
        {"address 0x11", 0x11, false, 200000, 0, 9600, 8, 0, 1, false},
        {"address 0x50", 0x50, false, 200000, 0, 9600, 8, 0, 1, false},
        {"even parity", 0x10, true, 200000, 0, 9600, 8, 0, 1, false},
        {"port at 10400", 0x10, false, 200000, 0, 10400, 8, 0, 1, false},
        {"port at 8E1", 0x10, false, 200000, 0, 9600, 8, 2, 1, false},
        {"port at 7N1", 0x10, false, 200000, 0, 9600, 7, 0, 1, false},
        {"port at 8N2", 0x10, false, 200000, 0, 9600, 8, 0, 2, false},
    };
    for (const auto& c : cases) {
        FakeLine line;
        line.model.SetLineSettings(c.baud, c.dataBits, c.parity, c.stopBits, line.now);
        EXPECT_EQ(line.WakeUp(c.address, c.flipParity, c.bitUs, c.cutStopUs),
                  c.answered ? Bytes({0x55, 0x0B, 0x02}) : Bytes({-1, -1, -1}))
            << c.what;
    }
}

TEST(EcuModelWakeUp, SyncDelayIsDrawnInItsRangeAtEachWakeUpFromTheSeedUnlessFixed) {
    // Measured from the end of the stop bit, where the logger purges its buffers.
    auto delays = [](const Scenario& s) {
        FakeLine line(s);
        std::vector<uint64_t> out;
        for (int i = 0; i < 16; ++i) {
            const uint64_t stopEnd = line.now + 10 * kSlowBitUs;
            EXPECT_EQ(line.WakeUp(), (Bytes{0x55, 0x0B, 0x02}));
            out.push_back(line.arrivals[line.arrivals.size() - 3] - kByteUs - stopEnd);
            EXPECT_EQ(out.back(), line.model.lastSyncDelayUs());
            line.Sleep(kSessionTimeoutUs); // the tester lets the session go
        }
        return out;
    };
    Scenario seeded;
    seeded.seed = 7;
    const auto first = delays(seeded);
    EXPECT_EQ(delays(seeded), first) << "the same seed gives the same delays";
    seeded.seed = 8;
    const auto second = delays(seeded);
    EXPECT_NE(second, first);
    for (const auto* run : {&first, &second}) {
        const auto [lo, hi] = std::minmax_element(run->begin(), run->end());
        EXPECT_GE(*lo, kSyncDelayMinUs);
        EXPECT_LE(*hi, kSyncDelayMaxUs);
        EXPECT_GT(*hi - *lo, 100000u) << "the delays hardly vary";
    }
    Scenario fixed;
    fixed.syncDelayUs = 123000;
    EXPECT_EQ(delays(fixed), std::vector<uint64_t>(16, 123000));
}

TEST(EcuModelSession, EachWayOutOfASessionAndANewWakeUpAfterIt) {
    const struct {
        const char* what;
        void (*act)(FakeLine&);
        uint32_t Stats::*counted;
    } cases[] = {
        {"end block with the last counter",
         [](FakeLine& l) { l.SendBlock({0x03, 0x0D, 0x06, 0x03}); }, &Stats::sessionsEnded},
        {"tester silent", [](FakeLine& l) { l.Sleep(kSessionTimeoutUs + 1000); },
         &Stats::sessionsTimedOut},
        {"wrong complement",
         [](FakeLine& l) {
             l.SendBlock({0x04, 0x0E, 0x08, 0x01, 0x03});
             l.Write(static_cast<uint8_t>(l.Read())); // the length, not its complement
             l.Read();
         },
         &Stats::protocolErrors},
        {"tester block without its end", [](FakeLine& l) { l.SendBlock({0x03, 0x0E, 0x09, 0x04}); },
         &Stats::protocolErrors},
        {"tester block too long", [](FakeLine& l) { l.SendBlock({203}); }, &Stats::protocolErrors},
        {"a new wake-up", [](FakeLine& l) { ASSERT_TRUE(l.Connect()); }, &Stats::sessionsAborted},
    };
    for (const auto& c : cases) {
        FakeLine line;
        ASSERT_TRUE(line.Connect()) << c.what;
        c.act(line);
        EXPECT_EQ(line.model.stats().*c.counted, 1u) << c.what;
        EXPECT_EQ(line.Read(), -1) << c.what;
        EXPECT_EQ(line.model.stats().testerCounterErrors, 0u) << c.what;
        EXPECT_TRUE(line.Connect()) << c.what;
    }
}

TEST(EcuModelSession, CountersWrapFrom255To0AndTheSweepServesEveryByteValueInTurn) {
    Scenario sc;
    sc.sweepMemory = true;
    FakeLine line(sc);
    ASSERT_TRUE(line.Connect());
    for (int n = 0; n < 258; ++n) {
        const int request = 14 + 2 * n;
        line.SendBlock({0x06, static_cast<uint8_t>(request), 0x01, 0x01, 0x00, 0x37, 0x03});
        ASSERT_EQ(line.GetBlock(), (Bytes{0x04, (request + 1) % 256, 0xFE, n % 256, 0x03})) << n;
    }
    EXPECT_EQ(line.model.stats().testerCounterErrors, 0u);
    // A tester that sends 255 itself, out of turn, is counted and gets 0 back.
    line.SendBlock({0x04, 0xFF, 0x08, 0x00, 0x03});
    EXPECT_EQ(line.GetBlock()[1], 0x00);
    EXPECT_EQ(line.model.stats().testerCounterErrors, 1u);
}

TEST(EcuModelSession, ATesterByteTheEcuWaitsForEndsTheSessionWhenLate) {
    // The tester's writes: 1 the answer to keyword 2, 2 to 20 the complements of block 1, 21 and
    // 22 the first bytes of its acknowledge. The first byte of a block is not timed so strictly.
    const uint64_t limit = Scenario().testerReplyLimitUs;
    const int ack = 2 + static_cast<int>(EcuModel::IdentTexts()[0].size()) + 3;
    const struct {
        const char* what;
        int write;
        uint64_t pauseUs;
        bool ends;
    } cases[] = {
        {"answer to keyword 2 in time", 1, limit - 1000, false},
        {"answer to keyword 2 late", 1, limit + 1000, true},
        {"complement in time", 2, limit - 1000, false},
        {"complement late", 2, limit + 1000, true},
        {"next byte of a block in time", ack + 1, limit - 1000, false},
        {"next byte of a block late", ack + 1, limit + 1000, true},
        {"first byte of a block after a while", ack, 10 * limit, false},
    };
    for (const auto& c : cases) {
        FakeLine line;
        line.slowWrite = c.write;
        line.slowWriteUs = c.pauseUs;
        EXPECT_EQ(line.Connect(), !c.ends) << c.what;
        EXPECT_EQ(line.model.InSession(), !c.ends) << c.what;
        const Stats s = line.model.stats();
        EXPECT_EQ(s.lateTesterBytes, c.ends ? 1u : 0u) << c.what;
        // The slowest reply is of those that came in time, and only of bytes the ECU waits for.
        EXPECT_EQ(s.slowestTesterReplyUs >= c.pauseUs, !c.ends && c.write != ack) << c.what;
    }
}

} // namespace
} // namespace ecusim
