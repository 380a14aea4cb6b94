// The ECU model against a scripted tester on a virtual clock. The opening exchange, the polls, the
// engine's values and the faults the model plays are checked by the logger's own tests, which run
// against this model; these guard what a logger cannot notice: a peer more lenient, or faster,
// than a real one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ecu_model.h"

namespace ecusim {
namespace {

// A tester on a virtual clock, driving the ECU model the way the logger's fake platform does:
// a write costs 20 us, a read takes the next byte if it arrives within the 1500 ms read time-out
// (moving the clock to its arrival) and otherwise returns nothing 1500 ms later.
constexpr uint64_t kReadTimeoutUs = 1500000;
using Bytes = std::vector<int>; // what the tester read, -1 for a read that timed out

struct FakeLine {
    EcuModel model;
    uint64_t now = 1000000;
    int writes = 0, slowWrite = 0; // bytes written so far; write slowWrite (from 1) waits first
    uint64_t slowWriteUs = 0;      // for this long

    explicit FakeLine(const Scenario& s = Scenario()) : model(s) {
        model.SetLineSettings(9600, 8, 0, 1, now);
    }

    void Write(uint8_t b) {
        if (++writes == slowWrite)
            Sleep(slowWriteUs);
        model.TesterWrites(b, now);
        now += 20;
    }
    int Read() {
        uint64_t t = 0;
        uint8_t b = 0;
        Direction d;
        if (model.NextReady(&t) && t <= now + kReadTimeoutUs) {
            now = std::max(now, t);
            if (model.PopByte(now, &b, &d))
                return b;
        }
        Sleep(kReadTimeoutUs);
        return -1;
    }
    void Sleep(uint64_t us) { model.Advance(now += us); }

    // The 5-baud address as the logger clocks it out on RTS (frame: the seven address bits and
    // the parity bit on top), then its purge of the buffers at the end of the stop bit.
    // cutStopUs > 0 pulls the line low again that far into the stop bit.
    Bytes WakeUp(uint8_t frame = kEcuAddress, uint64_t bitUs = 200000, uint64_t cutStopUs = 0) {
        for (int i = 0; i < 9; ++i) { // the start bit, then the frame's eight bits; RTS on is a 0
            model.SetRts(i == 0 || !((frame >> (i - 1)) & 1), now);
            Sleep(bitUs);
        }
        model.SetRts(false, now);
        Sleep(cutStopUs ? cutStopUs : bitUs);
        model.Purge(now);
        if (cutStopUs)
            model.SetRts(true, now);
        return {Read(), Read(), Read()};
    }
    // Sends a block with the byte handshake, reading each byte's echo and then its complement
    // (the block end has only its echo).
    void SendBlock(const std::vector<uint8_t>& block) {
        for (size_t i = 0; i < block.size(); ++i) {
            Write(block[i]);
            Read();
            if (i + 1 < block.size())
                Read();
        }
    }
    // Receives a block, answering every byte but the end with its complement, which must come
    // back as its echo.
    Bytes GetBlock() {
        Bytes block = {Read()};
        for (int i = 0; block.back() >= 0 && i < block[0]; ++i) {
            uint8_t c = static_cast<uint8_t>(0xFF - block.back());
            Write(c);
            if (Read() != c)
                return {};
            block.push_back(Read());
        }
        return block;
    }
    // Wake-up, the answer to keyword 2 and the opening exchange, each block acknowledged; true if
    // every block came whole. What the blocks say is the logger's tests' concern; their block end
    // is not, as the logger reads it without a look.
    bool Connect() {
        if (WakeUp() != Bytes{0x55, 0x0B, 0x02})
            return false;
        Write(0xFD);
        Read();
        for (uint8_t k = 2; k <= 14; k += 2) {
            const Bytes block = GetBlock();
            if (block.empty() || block.back() != 0x03)
                return false;
            if (k < 14)
                SendBlock({0x03, k, 0x09, 0x03});
        }
        return true;
    }
};

TEST(EcuModelWakeUp, AnswersOnlyAFrameOnTheGridToAddress10WithOddParityAt9600_8N1) {
    // The frame: the address with its parity bit on top, 0x10 and 0 the ECU's.
    const struct {
        const char* what;
        uint8_t frame;
        uint64_t bitUs, cutStopUs;
        int dataBits, parity, stopBits; // of the port, at 9600 baud
        bool answered;
    } cases[] = {
        {"bits 5% short", 0x10, 190000, 0, 8, 0, 1, true},
        {"bits 5% long", 0x10, 210000, 0, 8, 0, 1, true},
        {"bits 7% short", 0x10, 186000, 0, 8, 0, 1, false},
        {"bits 7% long", 0x10, 214000, 0, 8, 0, 1, false},
        {"stop bit cut short", 0x10, 200000, 80000, 8, 0, 1, false},
        {"line low again before the answer", 0x10, 200000, 230000, 8, 0, 1, false},
        {"address 0x11", 0x91, 200000, 0, 8, 0, 1, false},
        {"address 0x50", 0xD0, 200000, 0, 8, 0, 1, false},
        {"even parity", 0x90, 200000, 0, 8, 0, 1, false},
        {"port at 8E1", 0x10, 200000, 0, 8, 2, 1, false},
        {"port at 7N1", 0x10, 200000, 0, 7, 0, 1, false},
        {"port at 8N2", 0x10, 200000, 0, 8, 0, 2, false},
    };
    for (const auto& c : cases) {
        FakeLine line;
        line.model.SetLineSettings(9600, c.dataBits, c.parity, c.stopBits, line.now);
        EXPECT_EQ(line.WakeUp(c.frame, c.bitUs, c.cutStopUs),
                  c.answered ? Bytes({0x55, 0x0B, 0x02}) : Bytes({-1, -1, -1}))
            << c.what;
    }
}

TEST(EcuModelWakeUp, SyncDelayIsDrawnInItsRangeAtEachWakeUpFromTheSeedUnlessFixed) {
    // Measured from the end of the stop bit, where the logger purges its buffers, to the start of
    // the sync byte, which the keywords follow back to back.
    auto delays = [](uint64_t seed, int64_t fixedUs = -1) {
        Scenario s;
        s.seed = seed;
        s.syncDelayUs = fixedUs;
        FakeLine line(s);
        std::vector<uint64_t> out;
        for (int i = 0; i < 16; ++i) {
            const uint64_t stopEnd = line.now + 10 * kSlowBitUs;
            EXPECT_EQ(line.WakeUp(), (Bytes{0x55, 0x0B, 0x02}));
            out.push_back(line.now - 3 * kByteUs - stopEnd);
            EXPECT_EQ(out.back(), line.model.lastSyncDelayUs());
            line.Sleep(kSessionTimeoutUs); // the tester lets the session go
        }
        return out;
    };
    const auto first = delays(7), second = delays(8);
    EXPECT_EQ(delays(7), first) << "the same seed gives the same delays";
    EXPECT_NE(second, first);
    for (const auto* run : {&first, &second}) {
        const auto [lo, hi] = std::minmax_element(run->begin(), run->end());
        EXPECT_GE(*lo, kSyncDelayMinUs);
        EXPECT_LE(*hi, kSyncDelayMaxUs);
        EXPECT_GT(*hi - *lo, 100000u) << "the delays hardly vary";
    }
    EXPECT_EQ(delays(1, 123000), std::vector<uint64_t>(16, 123000));
}

// What a port checker sees of the adapter: the echo of each byte, and with RTS on the K-line held
// low, which returns a byte as the 0x00 of a break. Only an adapter that pulls the line low can
// send the address, so one that ignores RTS never gets an ECU to answer; a byte written into the
// held-low line must not spoil the wake-up that follows.
TEST(EcuModelAdapter, EchoesEachByteAsTheLineReturnsItAndWakesTheEcuOnlyIfRtsPullsTheLineLow) {
    const struct {
        const char* what;
        bool rtsIgnored, noEcho;
        bool rtsOn; // while the bytes are written
        Bytes read; // what comes back of 0x55, 0xAA, 0x0F, 0xF0
        bool wakes;
    } cases[] = {
        {"healthy, RTS off", false, false, false, {0x55, 0xAA, 0x0F, 0xF0}, true},
        {"healthy, RTS on: the line held low", false, false, true, {0, 0, 0, 0}, true},
        {"ignores RTS, RTS on", true, false, true, {0x55, 0xAA, 0x0F, 0xF0}, false},
        {"no echo, RTS off", false, true, false, {-1, -1, -1, -1}, true},
        {"no echo, RTS on", false, true, true, {-1, -1, -1, -1}, true},
    };
    for (const auto& c : cases) {
        Scenario s;
        s.rtsIgnored = c.rtsIgnored;
        s.noEcho = c.noEcho;
        FakeLine line(s);
        line.model.SetRts(c.rtsOn, line.now);
        line.Sleep(20000);
        Bytes read;
        for (uint8_t b : {0x55, 0xAA, 0x0F, 0xF0}) {
            line.Write(b);
            read.push_back(line.Read());
        }
        EXPECT_EQ(read, c.read) << c.what;
        line.model.SetRts(false, line.now);
        line.Sleep(300000); // the idle high before a start bit
        EXPECT_EQ(line.WakeUp(), c.wakes ? Bytes({0x55, 0x0B, 0x02}) : Bytes({-1, -1, -1}))
            << c.what;
        EXPECT_EQ(line.model.stats().wakeUps, c.wakes ? 1u : 0u) << c.what;
        // Without an echo the ECU's first block is the next thing to read.
        if (c.wakes) {
            line.Write(0xFD);
            const int block1Length = static_cast<int>(EcuModel::IdentTexts()[0].size()) + 3;
            EXPECT_EQ(line.Read(), c.noEcho ? block1Length : 0xFD) << c.what;
        }
    }
}

// Whatever the tester does, the ECU counts it and takes a new wake-up after it. The wrap of the
// counters, and every byte value in memory answers, are the logger's tests'.
TEST(EcuModelSession, EachWayOutOfASessionOrOutOfTurnIsCountedAndANewWakeUpFollows) {
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
        {"a tester counter out of turn: 255 where 14 is due, the answer carries 0",
         [](FakeLine& l) {
             l.SendBlock({0x04, 0xFF, 0x08, 0x00, 0x03});
             EXPECT_EQ(l.GetBlock()[1], 0x00);
         },
         &Stats::testerCounterErrors},
    };
    for (const auto& c : cases) {
        FakeLine line;
        ASSERT_TRUE(line.Connect()) << c.what;
        c.act(line);
        EXPECT_EQ(line.model.stats().*c.counted, 1u) << c.what;
        EXPECT_EQ(line.Read(), -1) << c.what;
        EXPECT_TRUE(line.Connect()) << c.what;
        // Only the counter out of turn is one, in either session: each starts its counter afresh.
        const bool outOfTurn = c.counted == &Stats::testerCounterErrors;
        EXPECT_EQ(line.model.stats().testerCounterErrors, outOfTurn ? 1u : 0u) << c.what;
    }
}

TEST(EcuModelSession, ATesterByteTheEcuWaitsForEndsTheSessionWhenLate) {
    // The tester's writes: 1 the answer to keyword 2, 2 to 20 the complements of block 1, 21 and
    // 22 the first bytes of its acknowledge. The first byte of a block (21) is not timed so
    // strictly: ten times the limit is not late for it.
    const uint64_t limit = Scenario().testerReplyLimitUs;
    const int ack = 2 + static_cast<int>(EcuModel::IdentTexts()[0].size()) + 3;
    for (int write : {1, 2, ack + 1, ack}) {
        for (uint64_t pauseUs : {limit - 1000, write == ack ? 10 * limit : limit + 1000}) {
            SCOPED_TRACE("write " + std::to_string(write) + " after " + std::to_string(pauseUs));
            const bool ends = pauseUs > limit && write != ack;
            FakeLine line;
            line.slowWrite = write;
            line.slowWriteUs = pauseUs;
            EXPECT_EQ(line.Connect(), !ends);
            const Stats s = line.model.stats();
            EXPECT_EQ(s.lateTesterBytes, ends ? 1u : 0u);
            // The slowest reply is of those that came in time, and only of bytes the ECU waits for.
            EXPECT_EQ(s.slowestTesterReplyUs >= pauseUs, !ends && write != ack);
        }
    }
}

} // namespace
} // namespace ecusim
