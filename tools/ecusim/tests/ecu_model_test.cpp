// The ECU model against a scripted tester on a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "ecu_model.h"
#include "engine_model.h"
#include "fake_line.h"

namespace ecusim {
namespace {

using Bytes = std::vector<int>;

Bytes IdentBlock(int counter, const std::string& text) {
    Bytes b = {static_cast<int>(text.size() + 3), counter, 0xF6};
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0x03);
    return b;
}

// What a correct sender sees come back: the echo and the complement of each byte, then the echo
// of the block end.
Bytes Handshake(const std::vector<uint8_t>& block) {
    Bytes back;
    for (size_t i = 0; i < block.size(); ++i) {
        back.push_back(block[i]);
        if (i + 1 < block.size())
            back.push_back(0xFF - block[i]);
    }
    return back;
}

TEST(EcuModelSession, WakeUpOpeningAndPollingAreByteExact) {
    FakeLine line;
    EXPECT_EQ(line.WakeUp(), (Bytes{0x55, 0x0B, 0x02}));
    line.Sleep(10000);
    line.Write(0xFD);
    EXPECT_EQ(line.Read(), 0xFD); // the echo, and no answer to it

    const auto& texts = EcuModel::IdentTexts();
    for (int k = 1; k <= 13; k += 2) {
        bool echoesOk = false;
        EXPECT_EQ(line.GetBlock(&echoesOk), IdentBlock(k, texts[k / 2])) << "block " << k;
        EXPECT_TRUE(echoesOk);
        if (k == 13)
            break;
        std::vector<uint8_t> reply = {0x03, static_cast<uint8_t>(k + 1), 0x09, 0x03};
        if (k + 1 == 10)
            reply[2] = 0x07;
        EXPECT_EQ(line.SendBlock(reply), Handshake(reply)) << "block " << k + 1;
    }

    // A memory read of the intake air temperature.
    std::vector<uint8_t> request = {0x06, 0x0E, 0x01, 0x01, 0x00, 0x37, 0x03};
    EXPECT_EQ(line.SendBlock(request), Handshake(request));
    uint64_t requestEnd = line.now; // the end's echo arrived as the ECU heard the end
    EXPECT_EQ(line.GetBlock(), (Bytes{0x04, 0x0F, 0xFE, ReadEcuMemory(0x37, requestEnd), 0x03}));

    // An ADC read of the battery: two bytes, high first.
    std::vector<uint8_t> adc = {0x04, 0x10, 0x08, 0x01, 0x03};
    EXPECT_EQ(line.SendBlock(adc), Handshake(adc));
    uint16_t battery = EngineRawAt(line.now).battery;
    EXPECT_EQ(line.GetBlock(), (Bytes{0x05, 0x11, 0xFB, battery >> 8, battery & 0xFF, 0x03}));
    EXPECT_EQ(line.Read(), -1); // nothing more without a request

    // One byte on the line at a time, each taking its 10 bits at 9600 baud.
    for (size_t i = 1; i < line.arrivals.size(); ++i) {
        ASSERT_GE(line.arrivals[i] - line.arrivals[i - 1], kByteUs) << "byte " << i;
    }
    Stats s = line.model.stats();
    EXPECT_EQ(s.wakeUps, 1u);
    EXPECT_EQ(s.blocksFromEcu, 9u);
    EXPECT_EQ(s.blocksFromTester, 8u);
    EXPECT_EQ(s.pollCycles, 2u);
    EXPECT_EQ(s.protocolErrors + s.testerCounterErrors + s.faultsInjected, 0u);
}

TEST(EcuModelSession, AnswersUnknownRequestsWithTitle0A) {
    FakeLine line;
    ASSERT_TRUE(line.Connect());
    line.SendBlock({0x04, 0x0E, 0x08, 0x05, 0x03}); // no ADC channel 5
    EXPECT_EQ(line.GetBlock(), (Bytes{0x03, 0x0F, 0x0A, 0x03}));
    line.SendBlock({0x03, 0x10, 0x42, 0x03});
    EXPECT_EQ(line.GetBlock(), (Bytes{0x03, 0x11, 0x0A, 0x03}));
    line.SendBlock({0x06, 0x12, 0x01, 0x01, 0x12, 0x34, 0x03}); // an address the engine leaves
    EXPECT_EQ(line.GetBlock(), (Bytes{0x04, 0x13, 0xFE, 0xFF, 0x03}));
}

TEST(EcuModelWakeUp, AnswersOnlyAddress10WithOddParityAt9600_8N1) {
    struct Case {
        const char* what;
        uint8_t address;
        bool flipParity;
        uint64_t bitUs;
        uint32_t baud;
        int dataBits, parity, stopBits;
        bool answered;
    };
    const Case cases[] = {
        {"healthy", 0x10, false, 200000, 9600, 8, 0, 1, true},
        {"bits 5% short", 0x10, false, 190000, 9600, 8, 0, 1, true},
        {"bits 5% long", 0x10, false, 210000, 9600, 8, 0, 1, true},
        {"bits 15% short", 0x10, false, 170000, 9600, 8, 0, 1, false},
        {"bits 20% long", 0x10, false, 240000, 9600, 8, 0, 1, false},
        {"other address", 0x11, false, 200000, 9600, 8, 0, 1, false},
        {"address 0x01", 0x01, false, 200000, 9600, 8, 0, 1, false},
        {"even parity", 0x10, true, 200000, 9600, 8, 0, 1, false},
        {"port at 10400", 0x10, false, 200000, 10400, 8, 0, 1, false},
        {"port at 8E1", 0x10, false, 200000, 9600, 8, 2, 1, false},
        {"port at 7N1", 0x10, false, 200000, 9600, 7, 0, 1, false},
        {"port at 8N2", 0x10, false, 200000, 9600, 8, 0, 2, false},
    };
    for (const Case& c : cases) {
        FakeLine line;
        line.model.SetLineSettings(c.baud, c.dataBits, c.parity, c.stopBits, line.now);
        Bytes got = line.WakeUp(c.address, c.flipParity, c.bitUs);
        Stats s = line.model.stats();
        if (c.answered) {
            EXPECT_EQ(got, (Bytes{0x55, 0x0B, 0x02})) << c.what;
            EXPECT_EQ(s.wakeUps, 1u) << c.what;
        } else {
            EXPECT_EQ(got, (Bytes{-1, -1, -1})) << c.what;
            EXPECT_EQ(s.wakeUps, 0u) << c.what;
            EXPECT_EQ(s.wakeUpsRefused + s.framesBroken, 1u) << c.what;
        }
    }
}

TEST(EcuModelWakeUp, SyncComesAfterThePurgeAndWithinTheReadTimeOut) {
    // The shortest delay there is: the answer still comes after the purge.
    Scenario quickest;
    quickest.syncDelayUs = static_cast<int64_t>(kSyncDelayMinUs);
    FakeLine line(quickest);
    line.SendAddress(0x10); // ends 200 ms into the stop bit, where the logger purges
    uint64_t purgedAt = line.now;
    uint64_t ready = 0;
    ASSERT_TRUE(line.model.NextReady(&ready));
    EXPECT_GE(ready, purgedAt + kSyncDelayMinUs);
    EXPECT_LT(ready, purgedAt + kReadTimeoutUs - 500000);

    // Pulling the line low again before the answer cancels it: a new wake-up is coming.
    FakeLine early(quickest);
    early.SendAddress(0x10);
    early.Sleep(kSyncDelayMinUs / 2);
    early.Rts(true);
    EXPECT_FALSE(early.model.NextReady(&ready));

    // A stop bit cut short is no frame.
    FakeLine cut;
    for (bool bit : {false, false, false, false, false, true, false, false, false}) {
        cut.Rts(!bit);
        cut.Sleep(200000);
    }
    cut.Rts(false);
    cut.Sleep(80000);
    cut.Rts(true);
    cut.Sleep(kReadTimeoutUs * 2);
    EXPECT_FALSE(cut.model.NextReady(&ready));
    EXPECT_EQ(cut.model.stats().wakeUps, 0u);
}

TEST(EcuModelSession, EndOfSessionThenANewWakeUp) {
    FakeLine line;
    ASSERT_TRUE(line.Connect());
    std::vector<uint8_t> end = {0x03, 0x0D, 0x06, 0x03}; // with the counter of the last block
    EXPECT_EQ(line.SendBlock(end), Handshake(end));
    EXPECT_EQ(line.Read(), -1);
    EXPECT_FALSE(line.model.InSession());
    EXPECT_EQ(line.model.stats().sessionsEnded, 1u);
    EXPECT_EQ(line.model.stats().testerCounterErrors, 0u);

    ASSERT_TRUE(line.Connect()); // counters start again at 1
    EXPECT_EQ(line.model.stats().wakeUps, 2u);
}

TEST(EcuModelSession, SilentTesterOrALowLineEndsTheSession) {
    FakeLine line;
    ASSERT_TRUE(line.Connect());
    line.Sleep(kSessionTimeoutUs + 1000);
    EXPECT_FALSE(line.model.InSession());
    line.Write(0x06);
    EXPECT_EQ(line.Read(), 0x06); // the adapter still echoes
    EXPECT_EQ(line.Read(), -1);   // but the ECU no longer answers
    EXPECT_EQ(line.model.stats().sessionsTimedOut, 1u);

    // A reconnection in the middle of a session: the wake-up itself resets the ECU.
    ASSERT_TRUE(line.Connect());
    line.SendBlock({0x06, 0x0E, 0x01, 0x01, 0x00, 0x3A, 0x03});
    ASSERT_TRUE(line.Connect());
    EXPECT_EQ(line.model.stats().sessionsAborted, 1u);
    EXPECT_EQ(line.model.stats().wakeUps, 3u);
}

TEST(EcuModelSession, ALateTesterByteEndsTheSession) {
    // Where the ECU waits for the tester, the tester pauses before its byte; a pause past the
    // limit ends the session, and the ECU no longer answers. The pause before the first byte of
    // a new block is not timed so strictly.
    const uint64_t limit = Scenario().testerReplyLimitUs;
    const struct {
        const char* what;
        int where; // 0: the answer to keyword 2, 1: a complement, 2: the next byte of a block,
                   // 3: the first byte of a new block
        uint64_t pauseUs;
        bool ends;
    } cases[] = {
        {"answer to keyword 2 in time", 0, limit - 1000, false},
        {"answer to keyword 2 late", 0, limit + 1000, true},
        {"complement in time", 1, limit - 1000, false},
        {"complement late", 1, limit + 1000, true},
        {"next byte of a block in time", 2, limit - 1000, false},
        {"next byte of a block late", 2, limit + 1000, true},
        {"first byte of a new block after a while", 3, 10 * limit, false},
    };
    for (const auto& c : cases) {
        FakeLine line;
        ASSERT_EQ(line.WakeUp(), (Bytes{0x55, 0x0B, 0x02})) << c.what;
        line.Sleep(c.where == 0 ? c.pauseUs : 10000);
        line.Write(0xFD);
        ASSERT_EQ(line.Read(), 0xFD) << c.what;
        int length = line.Read(); // block 1
        if (c.where == 1)
            line.Sleep(c.pauseUs);
        if (c.where >= 1) {
            // Block 1, answered; then an acknowledge with the pause before its counter or
            // before its first byte.
            line.Write(static_cast<uint8_t>(0xFF - length));
            line.Read();
            for (int i = 0; i < length; ++i) {
                int b = line.Read();
                if (b < 0)
                    break;
                if (i + 1 < length) {
                    line.Write(static_cast<uint8_t>(0xFF - b));
                    line.Read();
                }
            }
            if (c.where == 3)
                line.Sleep(c.pauseUs);
            line.Write(0x03);
            line.Read();
            line.Read();
            if (c.where == 2)
                line.Sleep(c.pauseUs);
            line.Write(0x02);
            line.Read();
        }
        EXPECT_EQ(line.model.InSession(), !c.ends) << c.what;
        EXPECT_EQ(line.model.stats().lateTesterBytes, c.ends ? 1u : 0u) << c.what;
        // A reply past the limit counts as late, not as the slowest reply.
        if (c.where != 3) {
            EXPECT_EQ(line.model.stats().slowestTesterReplyUs >= c.pauseUs, !c.ends) << c.what;
        }
    }
}

TEST(EcuModelWakeUp, SyncDelayIsDrawnAtEachWakeUpUnlessFixed) {
    auto delays = [](const Scenario& s) {
        FakeLine line(s);
        std::vector<uint64_t> out;
        for (int i = 0; i < 6; ++i) {
            line.SendAddress(kEcuAddress);
            const uint64_t stopBitEnd = line.now;
            EXPECT_EQ(line.Read(), 0x55);
            out.push_back(line.arrivals.back() - kByteUs - stopBitEnd);
            EXPECT_EQ(out.back(), line.model.lastSyncDelayUs());
            line.Read();
            line.Read();
            line.Sleep(kSessionTimeoutUs + 1000); // the tester lets it go
        }
        return out;
    };
    Scenario seeded;
    seeded.seed = 7;
    const auto first = delays(seeded);
    EXPECT_EQ(delays(seeded), first) << "the same seed gives the same delays";
    for (uint64_t d : first) {
        EXPECT_GE(d, kSyncDelayMinUs);
        EXPECT_LE(d, kSyncDelayMaxUs);
    }
    EXPECT_GT(*std::max_element(first.begin(), first.end()) -
                  *std::min_element(first.begin(), first.end()),
              20000u) << "the delays do not vary";
    seeded.seed = 8;
    EXPECT_NE(delays(seeded), first);
    Scenario fixed;
    fixed.syncDelayUs = 123000;
    for (uint64_t d : delays(fixed))
        EXPECT_EQ(d, 123000u);
}

TEST(EcuModelSession, CounterWrapsFrom255To0) {
    FakeLine line;
    ASSERT_TRUE(line.Connect());
    int request = 14;
    for (int cycle = 0; cycle < 122; ++cycle) {
        uint8_t n = static_cast<uint8_t>(request);
        line.SendBlock({0x04, n, 0x08, 0x00, 0x03});
        Bytes answer = line.GetBlock();
        ASSERT_EQ(answer.size(), 6u);
        ASSERT_EQ(answer[1], (request + 1) % 256) << "request " << request;
        request = (request + 2) % 256;
    }
    EXPECT_EQ(request, 2); // ... 254 -> 255, 0 -> 1 went by
    EXPECT_EQ(line.model.stats().testerCounterErrors, 0u);

    // A tester that sends counter 255 itself gets 0 back.
    line.SendBlock({0x04, 0xFF, 0x08, 0x00, 0x03});
    EXPECT_EQ(line.GetBlock()[1], 0x00);
    EXPECT_EQ(line.model.stats().testerCounterErrors, 1u);
}

TEST(EcuModelSession, SweepMemoryServesEveryByteValueInTurn) {
    Scenario sc;
    sc.sweepMemory = true;
    FakeLine line(sc);
    ASSERT_TRUE(line.Connect());
    int request = 14;
    for (int n = 0; n < 258; ++n) {
        uint8_t k = static_cast<uint8_t>(request);
        line.SendBlock({0x06, k, 0x01, 0x01, 0x00, 0x3A, 0x03});
        Bytes answer = line.GetBlock();
        ASSERT_EQ(answer.size(), 5u);
        ASSERT_EQ(answer[3], n % 256) << "read " << n;
        request = (request + 2) % 256;
    }
    // ADC reads keep the engine's values and do not step the sweep.
    line.SendBlock({0x04, static_cast<uint8_t>(request), 0x08, 0x01, 0x03});
    EXPECT_EQ(line.GetBlock()[1], (request + 1) % 256);
    line.SendBlock({0x06, static_cast<uint8_t>(request + 2), 0x01, 0x01, 0x00, 0x37, 0x03});
    EXPECT_EQ(line.GetBlock()[3], 2);
    EXPECT_EQ(line.model.stats().protocolErrors, 0u);
}

TEST(EcuModelSession, WrongComplementFromTheTesterEndsTheSession) {
    FakeLine line;
    line.WakeUp();
    line.Sleep(10000);
    line.Write(0xFD);
    line.Read();
    int length = line.Read();
    line.Write(static_cast<uint8_t>(length)); // not its complement
    line.Read();
    EXPECT_EQ(line.Read(), -1);
    EXPECT_EQ(line.model.stats().protocolErrors, 1u);
}

TEST(EcuModelFaults, WakeUpAnswerBytes) {
    struct Case {
        const char* what;
        void (*set)(Scenario&);
        Bytes expected;
    };
    const Case cases[] = {
        {"sync", [](Scenario& s) { s.syncByte = 0xAA; }, {0xAA, 0x0B, 0x02}},
        {"keyword 1", [](Scenario& s) { s.keyword1 = 0x0C; }, {0x55, 0x0C, 0x02}},
        {"keyword 2", [](Scenario& s) { s.keyword2 = 0x01; }, {0x55, 0x0B, 0x01}},
        {"silent after 2", [](Scenario& s) { s.silentAfterEcuBytes = 2; }, {0x55, 0x0B, -1}},
    };
    for (const Case& c : cases) {
        Scenario sc;
        c.set(sc);
        FakeLine line(sc);
        EXPECT_EQ(line.WakeUp(), c.expected) << c.what;
        EXPECT_EQ(line.model.stats().faultsInjected, 1u) << c.what;
    }
}

TEST(EcuModelFaults, EchoOfFd) {
    Scenario none;
    none.fdEcho = FdEcho::None;
    FakeLine a(none);
    a.WakeUp();
    a.Sleep(10000);
    a.Write(0xFD);
    // What the tester takes for the echo is the first byte of block 1, its length.
    EXPECT_EQ(a.Read(), static_cast<int>(EcuModel::IdentTexts()[0].size() + 3));

    Scenario wrong;
    wrong.fdEcho = FdEcho::Wrong;
    FakeLine b(wrong);
    b.WakeUp();
    b.Sleep(10000);
    b.Write(0xFD);
    EXPECT_EQ(b.Read(), 0xFC);
    EXPECT_EQ(b.model.stats().faultsInjected, 1u);
}

// Runs a session until the tester has sent block `upTo - 1`, then returns what it reads as
// block `upTo`.
Bytes BlockAfterOpening(int upTo, FakeLine* line) {
    EXPECT_EQ(line->WakeUp(), (Bytes{0x55, 0x0B, 0x02}));
    line->Sleep(10000);
    line->Write(0xFD);
    line->Read();
    for (int k = 1;; k += 2) {
        if (k == upTo)
            return line->GetBlock();
        line->GetBlock();
        if (k + 1 == upTo)
            return {};
        if (k < 13) {
            line->SendBlock(FakeLine::Ack(static_cast<uint8_t>(k + 1)));
        } else {
            line->SendBlock({0x06, static_cast<uint8_t>(k + 1), 0x01, 0x01, 0x00, 0x38, 0x03});
        }
    }
}

TEST(EcuModelFaults, RejectWrongCounterAndBadLength) {
    Scenario reject;
    reject.rejectAtBlock = 5;
    FakeLine a(reject);
    EXPECT_EQ(BlockAfterOpening(5, &a), (Bytes{0x03, 0x05, 0x0A, 0x03}));

    Scenario counter;
    counter.wrongCounterAtBlock = 15;
    FakeLine b(counter);
    Bytes answer = BlockAfterOpening(15, &b);
    ASSERT_EQ(answer.size(), 5u);
    EXPECT_EQ(answer[1], 0x10);
    EXPECT_EQ(answer[2], 0xFE);

    Scenario longBlock;
    longBlock.badLengthAtBlock = 3;
    FakeLine c(longBlock);
    Bytes big = BlockAfterOpening(3, &c);
    ASSERT_EQ(big.size(), 256u); // the receiver that believes the length reads 255 more bytes
    EXPECT_EQ(big[0], 0xFF);
    EXPECT_EQ(big[1], 0x03);
    EXPECT_EQ(big.back(), 0x03);

    Scenario shortBlock;
    shortBlock.badLengthAtBlock = 3;
    shortBlock.badLength = 1;
    FakeLine d(shortBlock);
    Bytes first = BlockAfterOpening(3, &d);
    ASSERT_GE(first.size(), 1u);
    EXPECT_EQ(first[0], 0x01);
    EXPECT_EQ(d.model.stats().faultsInjected, 1u);
}

TEST(EcuModelFaults, SilenceFromABlock) {
    Scenario sc;
    sc.silentAtBlock = 15;
    FakeLine line(sc);
    BlockAfterOpening(14, &line);
    std::vector<uint8_t> request = {0x06, 0x0E, 0x01, 0x01, 0x00, 0x37, 0x03};
    EXPECT_EQ(line.SendBlock(request), Handshake(request)); // block 14 is still answered
    EXPECT_EQ(line.Read(), -1);                             // block 15 never comes
    EXPECT_EQ(line.model.stats().faultsInjected, 1u);
}

TEST(EcuModelFaults, SlowEcuWaitsBeforeEachByte) {
    Scenario sc;
    sc.ecuDelayUs = 20000;
    FakeLine line(sc);
    ASSERT_TRUE(line.Connect());
    line.arrivals.clear();
    line.SendBlock({0x04, 0x0E, 0x08, 0x01, 0x03});
    // Arrivals: echo, complement, echo, complement, ..., end echo. Each complement comes a
    // reaction time and a byte time after the echo of the byte it answers.
    ASSERT_EQ(line.arrivals.size(), 9u);
    for (size_t i = 1; i < 8; i += 2) {
        EXPECT_GE(line.arrivals[i] - line.arrivals[i - 1], 20000 + kByteUs) << i;
    }
}

TEST(EcuModelFaults, HangUpAndPlugBackIn) {
    Scenario sc;
    sc.hangUpAtBlock = 3;
    sc.hangUpPauseUs = 5000000;
    sc.faultSessions = 1;
    FakeLine line(sc);
    BlockAfterOpening(2, &line);
    line.Write(0x03);
    EXPECT_EQ(line.Read(), 0x03); // the adapter is still there
    EXPECT_EQ(line.Read(), 0xFC);
    line.Write(0x02);
    EXPECT_EQ(line.Read(), 0x02);
    EXPECT_EQ(line.Read(), 0xFD);
    line.Write(0x09);
    EXPECT_EQ(line.Read(), 0x09);
    EXPECT_EQ(line.Read(), 0xF6);
    line.Write(0x03); // block 3 would begin as this crosses the line: the adapter goes
    uint64_t until = 0;
    ASSERT_TRUE(line.model.HungUp(&until));
    EXPECT_EQ(line.Read(), -1);
    line.Write(0x55);
    EXPECT_EQ(line.Read(), -1); // nothing is there to echo it
    line.Sleep(until > line.now ? until - line.now : 0);
    EXPECT_FALSE(line.model.HungUp(&until));
    EXPECT_TRUE(line.Connect()); // the second session is healthy
    EXPECT_EQ(line.model.stats().hangUps, 1u);

    Scenario timed;
    timed.hangUpAtUs = 6000000;
    timed.hangUpPauseUs = 1000000;
    FakeLine t(timed); // its clock starts at 1 s
    t.Sleep(4000000);
    EXPECT_FALSE(t.model.HungUp(&until));
    t.Sleep(1000000);
    ASSERT_TRUE(t.model.HungUp(&until));
    EXPECT_EQ(until, 7000000u);
    t.Sleep(1000000);
    EXPECT_TRUE(t.Connect());
}

TEST(EcuModelFaults, OnlyTheFirstSessionsCarryFaults) {
    Scenario sc;
    sc.rejectAtBlock = 5;
    sc.faultSessions = 1;
    FakeLine line(sc);
    EXPECT_FALSE(line.Connect());
    line.Sleep(500000);
    EXPECT_TRUE(line.Connect());
    EXPECT_EQ(line.model.stats().faultsInjected, 1u);
}

} // namespace
} // namespace ecusim
