// The wake-up, the opening exchange, polling and the end of a link, against the simulated adapter
// and ECU on the fake platform's virtual clock.
#include "channels/channel_table.h"
#include "app/session.h"
#include "display/chart.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/reader_thread.h"
#include "link/link_state.h"
#include "link/serial_line.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// How far the wake-up's RTS changes lie from the address's steps: the levels of the ten steps
// (low for five, high for one, low for three, high for one) must match, and each change's time
// is measured from step k x 200 ms after the start bit. The largest error, in microseconds, of
// the sign it has; INT64_MAX when the levels are wrong.
int64_t AddressErrorUs() {
    const int levels[10] = {1, 1, 1, 1, 1, 0, 1, 1, 1, 0};
    const auto& rts = fakeOs.rts;
    if (rts.size() != 10)
        return INT64_MAX;
    int64_t worst = 0;
    for (int k = 0; k < 10; k++) {
        if (rts[k].second != levels[k])
            return INT64_MAX;
        const int64_t off = static_cast<int64_t>(rts[k].first - rts[0].first) - k * 200000;
        if (std::abs(off) > std::abs(worst))
            worst = off;
    }
    return worst;
}

class Link : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakeOs();
        OsCreateLogFile();
        OpenPort(L"COM9:");
    }
    void TearDown() override {
        StoreFlag(LinkState.connected, 0);
        OsSetLineStop(1);
        WaitForReaderEnd();
    }

    // A connection with the reader thread held back, so the test sees the state it leaves.
    static void Connect(const ecusim::Scenario& scenario = ecusim::Scenario()) {
        AttachEcu(scenario);
        fakeOs.holdReader = true;
        ASSERT_EQ(ConnectEcu(), 1);
    }

    // A run started as the window starts it, with the reader thread held back.
    static void StartRun(const ecusim::Scenario& scenario = ecusim::Scenario()) {
        ResetFakeOs();
        AttachEcu(scenario);
        ASSERT_EQ(StartSession(), 1);
        fakeOs.holdReader = true;
    }

    static std::string Log() { return fakeOs.logFile; }
};

} // namespace

TEST_F(Link, WakeUpSendsTheAddressOnRtsAndLogsEachFailure) {
    // A silent line and a missing echo are among the fault-injection runs. Windows ends a wait on
    // its timer's next tick, 15.625 ms apart unless the program asks for finer: timed step by
    // step, ten such late ends would add up; timed from the start bit, each change stays within
    // one tick of its time. The clock starts in the middle of a tick.
    const struct {
        const char* what;
        void (*arrange)(ecusim::Scenario&);
        std::string log; // empty: the wake-up succeeds
        Bytes written;
    } cases[] = {
        {"a healthy ECU", [](ecusim::Scenario&) {}, "", {0xFD}},
        {"sync AA", [](ecusim::Scenario& s) { s.syncByte = 0xAA; }, "\r\nIncorrect baudrate = AAh", {}},
        {"sync 05", [](ecusim::Scenario& s) { s.syncByte = 0x05; }, "\r\nIncorrect baudrate = 05h", {}},
        {"keyword 1", [](ecusim::Scenario& s) { s.keyword1 = 0x0C; }, "\r\nAnswer not 0x0B", {}},
        {"keyword 2", [](ecusim::Scenario& s) { s.keyword2 = 0x01; }, "\r\nAnswer not 0x02", {}},
        {"wrong echo", [](ecusim::Scenario& s) { s.fdEcho = ecusim::FdEcho::Wrong; },
         "\r\nIncorrect echo", {0xFD}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fakeOs.nowUs = 1007300;
        ecusim::Scenario scenario;
        c.arrange(scenario);
        AttachEcu(scenario);
        EXPECT_EQ(WakeUpEcu(), c.log.empty() ? 1 : 0);
        EXPECT_GE(AddressErrorUs(), -1000) << "the address, on time";
        EXPECT_LE(AddressErrorUs(), 15625) << "the address, on time";
        EXPECT_EQ(fakeOs.purges, 1);
        EXPECT_EQ(fakeOs.ecu->stats().wakeUps, 1u);
        EXPECT_EQ(fakeOs.written, c.written) << "at most one byte, at 9600 baud";
        EXPECT_EQ(Log(), c.log);
        EXPECT_TRUE(fakeOs.portOpen);
        EXPECT_TRUE(fakeOs.messages.empty()) << "the wake-up shows no message box";
    }
}

TEST_F(Link, AWakeUpAfterAFailedReleaseIdlesFirstAndAStopThereEndsIt) {
    // The stop bit's release fails: the K-line may still be low, so the next wake-up first
    // releases it and idles, and a close that comes meanwhile ends the wake-up before its address.
    int failedRelease = 0;
    for (int op = 1; op < 60 && !failedRelease; op++) {
        SetUp();
        AttachEcu(ecusim::Scenario());
        fakeOs.failAt = op;
        WakeUpEcu();
        if (fakeOs.rts.size() == 9 && fakeOs.rts.back().second == 1) // all but the stop bit
            failedRelease = op;
    }
    ASSERT_NE(failedRelease, 0) << "no operation was the stop bit's release";
    fakeOs.failAt = 0;
    fakeOs.rts.clear();
    OsSetLineStop(1);
    EXPECT_EQ(WakeUpEcu(), 0);
    OsSetLineStop(0);
    ASSERT_EQ(fakeOs.rts.size(), 1u) << "no address after the stop";
    EXPECT_EQ(fakeOs.rts[0].second, 0) << "the line released first";
}

TEST_F(Link, AnAttemptHoldsTheTimerResolutionRaisedForTheAddress) {
    // Within a millisecond of each step's time, the clock starting in the middle of a tick.
    ResetFakeOs();
    AttachEcu();
    fakeOs.nowUs = 1007300;
    ASSERT_EQ(StartSession(), 1);
    fakeOs.holdReader = true;
    EXPECT_EQ(OnTick(), 0);
    EXPECT_EQ(fakeOs.timerRaises, 1);
    EXPECT_FALSE(fakeOs.timerRaised) << "given back after the attempt";
    EXPECT_GE(AddressErrorUs(), -1000);
    EXPECT_LE(AddressErrorUs(), 1000);
}

TEST_F(Link, LineSettingsAreOnesWindowsTakes) {
    // What the driver reports, and what Tarvex applies over it: Windows refuses equal XON and
    // XOFF characters, and with abortOnError set the address's long low (a break) would stop every
    // read until the error is cleared. Another program may have left either behind, and a
    // line error pending too.
    const LineSettings usual = fakeOs.driverSettings; // a USB adapter's own, 115200 baud
    LineSettings leftBehind = {4800, 7, 2, 2, 0, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0x3F};
    // 9600 8N1, binary, DTR on, RTS by hand, no flow control, no replacements, no abort.
    LineSettings tarvex = {9600, 8, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2048, 512, 0x11, 0x13, 0};
    const auto withPair = [](LineSettings s, uint8_t xon, uint8_t xoff, uint16_t xonLim,
                             uint16_t xoffLim) {
        s.xonChar = xon;
        s.xoffChar = xoff;
        s.xonLim = xonLim;
        s.xoffLim = xoffLim;
        return s;
    };
    const struct {
        const char* what;
        LineSettings reported;
        bool aborted; // a line error left pending under abortOnError
        LineSettings applied;
    } cases[] = {
        {"the driver's usual settings", usual, false, tarvex},
        {"everything left on, an equal pair and an error pending", leftBehind, true,
         withPair(tarvex, 0x11, 0x13, 0, 0)},
        {"another distinct pair and limits are kept", withPair(usual, 0x51, 0x53, 100, 200), false,
         withPair(tarvex, 0x51, 0x53, 100, 200)},
    };
    for (const auto& c : cases) {
        ResetFakeOs();
        AttachEcu();
        fakeOs.driverSettings = c.reported;
        fakeOs.transfersAborted = c.aborted;
        OsCreateLogFile();
        OsOpenPort(L"\\\\.\\COM9");
        EXPECT_EQ(WakeUpEcu(), 1) << c.what << ": " << Log();
        ASSERT_EQ(fakeOs.appliedSettings.size(), 2u) << c.what;
        for (const LineSettings& a : fakeOs.appliedSettings)
            EXPECT_EQ(a, c.applied) << c.what;
    }
}

TEST_F(Link, OpeningExchangeIsByteExactAndLogsSevenBlocks) {
    Connect();
    EXPECT_EQ(blockNumber, 13);
    // After the wake-up's FD: the complements of each ECU block, then the program's own block.
    Bytes expected = {0xFD};
    const Bytes own[6] = {{3, 2, 9, 3}, {3, 4, 9, 3}, {3, 6, 9, 3},
                          {3, 8, 9, 3}, {3, 10, 7, 3}, {3, 12, 9, 3}};
    for (int k = 1; k <= 13; k += 2) {
        // The complement of each byte of the ECU's block but its end.
        const Bytes block = {static_cast<uint8_t>(BlockStore.dataLength[k] + 3),
                             BlockStore.counter[k], BlockStore.title[k]};
        for (uint8_t b : block)
            expected.push_back(static_cast<uint8_t>(0xFF - b));
        for (int i = 0; i < BlockStore.dataLength[k]; i++)
            expected.push_back(static_cast<uint8_t>(0xFF - BlockStore.data[k][i]));
        if (k < 13)
            expected.insert(expected.end(), own[k / 2].begin(), own[k / 2].end());
    }
    EXPECT_EQ(fakeOs.written, expected);
    EXPECT_EQ(Log(), "\r\nblockNumber 1 Type = F6 Length = 16 data TVX-SIM ECU 7731"
                     "\r\nblockNumber 3 Type = F6 Length = 14 data P/N 7731-042-B"
                     "\r\nblockNumber 5 Type = F6 Length = 13 data SW V2.14 1998"
                     "\r\nblockNumber 7 Type = F6 Length = 8 data HW REV C"
                     "\r\nblockNumber 9 Type = F6 Length = 12 data CODING 00417"
                     "\r\nblockNumber 11 Type = F6 Length = 12 data DEALER 12345"
                     "\r\nblockNumber 13 Type = F6 Length = 15 data K-LINE 9600 8N1"
                     "\r\nReader Thread Started\r\nInitialised OK!\r\n");
}

TEST_F(Link, AFullPassRequestsEveryChannelInTurnAndTheCounterWraps) {
    Connect();
    fakeOs.logFile.clear();
    blockNumber = 253; // the counter wraps within the pass, at the request after 255
    const size_t from = fakeOs.written.size();
    PollCycles(1);
    EXPECT_EQ(Log(), "\r\nRequest Block 254 Parameter = 0 vals 1 0 37\r\n"
                     "\r\nGetBlock returned block 255 blockNumber 255 Type FE\r\n");
    StoreFlag(LinkState.debugLog, 0);
    fakeOs.logFile.clear();
    PollCycles(8);
    EXPECT_EQ(Log(), "") << "no debug lines while Debug is off";
    EXPECT_EQ(currentChannel, 1);
    EXPECT_EQ(blockNumber, 15);
    // Walk the written bytes: each cycle is the request block, then the complements of the
    // answer (length, counter, title and data, the end unanswered).
    // Memory reads of one byte at the engine's addresses, then the ADC's channels 0 and 1.
    const uint8_t what[8] = {0x37, 0x38, 0x45, 0x3A, 0x42, 0x5D, 0, 1};
    const Bytes w = WrittenFrom(from);
    size_t pos = 0;
    for (int cycle = 0; cycle < 9; cycle++) {
        const int channel = cycle % 8;
        const uint8_t n = static_cast<uint8_t>(254 + 2 * cycle);
        const Bytes request = channel < 6 ? Bytes{0x06, n, 0x01, 0x01, 0x00, what[channel], 0x03}
                                          : Bytes{0x04, n, 0x08, what[channel], 0x03};
        ASSERT_LE(pos + request.size(), w.size());
        EXPECT_EQ(Bytes(w.begin() + pos, w.begin() + pos + request.size()), request)
            << "cycle " << cycle;
        pos += request.size();
        const uint8_t answer = static_cast<uint8_t>(n + 1);
        EXPECT_EQ(BlockStore.counter[answer], answer) << "cycle " << cycle;
        EXPECT_EQ(BlockStore.title[answer], channel < 6 ? 0xFE : 0xFB) << "cycle " << cycle;
        pos += 3 + BlockStore.dataLength[answer];
    }
    EXPECT_EQ(pos, w.size());
    // The intake air's one byte and the battery's two (blocks 15 and 13) make their values, which
    // the engine model never lets be 0.
    EXPECT_EQ(rawValues[0], BlockStore.data[15][0]);
    EXPECT_EQ(rawValues[7], BlockStore.data[13][0] * 256 + BlockStore.data[13][1]);
    EXPECT_TRUE(rawValues[0] > 0 && rawValues[7] > 0);

    // An ADC read's debug lines, the counter wrapping at its answer.
    StoreFlag(LinkState.debugLog, 1);
    currentChannel = 6;
    blockNumber = 254;
    const size_t adcFrom = fakeOs.written.size();
    PollCycles(1);
    EXPECT_EQ(WrittenFrom(adcFrom).at(1), 0xFF);
    EXPECT_EQ(blockNumber, 0);
    EXPECT_EQ(Log(), "\r\nRequest Block 255 Parameter = 6 vals 0 0 0\r\n"
                     "\r\nGetBlock returned block 0 blockNumber 0 Type FB\r\n");
    EXPECT_TRUE(fakeOs.messages.empty());
}

TEST_F(Link, EffectiveBaudRateCountsWhatCrossedTheLine) {
    // Line bytes over the cycle's milliseconds on the virtual clock, also of an answer too long
    // for its slot: 33, 30 and 20 + 3 * 252 + 10 line bytes. On a 9600-baud line no cycle can beat
    // the wire.
    const struct {
        int channel;
        int64_t longAnswerAtBlock; // -1: none
        int32_t rate;
    } cases[] = {{5, -1, 11478}, {6, -1, 11428}, {0, 15, 11516}};
    for (const auto& c : cases) {
        SetUp();
        ecusim::Scenario scenario;
        scenario.badLengthAtBlock = c.longAnswerAtBlock; // length byte 0xFF: 252 data bytes
        Connect(scenario);
        currentChannel = c.channel;
        PollCycles(1);
        EXPECT_EQ(effectiveBaudRate, c.rate) << "channel " << c.channel;
    }
    // A cycle measured at 0 ms keeps the last rate: a scripted ECU whose bytes are all waiting
    // does not move the virtual clock.
    fakeOs.ecu.reset();
    blockNumber = 13;
    const Bytes request = {0x06, 0x0E, 0x01, 0x01, 0x00, 0x37, 0x03};
    for (size_t i = 0; i + 1 < request.size(); i++)
        fakeOs.ecuScript.push_back(0xFF - request[i]);
    for (int b : {0x04, 0x0F, 0xFE, 0x50, 0x03})
        fakeOs.ecuScript.push_back(b);
    currentChannel = 0;
    PollCycles(1);
    EXPECT_EQ(effectiveBaudRate, 11516);
    EXPECT_EQ(rawValues[0], 0x50);
}

TEST_F(Link, EachLinksRowsHoldOnlyWhatItsReaderReadWhileItLived) {
    // A link's first row waits until its reader has been round every channel; rows stop the
    // moment the reader fails, though the link counts as up until its box is dismissed; the next
    // link starts with nothing read, whatever the last one left in the readings.
    StartRun();
    ASSERT_EQ(OnTick(), 0); // connects: the header row, and no data row yet
    auto rows = [] {
        size_t n = 0;
        for (size_t at = 0; (at = fakeOs.logFile.find("\n8:17:45 PM ", at)) != std::string::npos; at++)
            n++;
        return n;
    };
    StoreFlag(LinkState.debugLog, 0);
    auto pollThenTick = [] {
        PollCycles(1);
        StoreFlag(LinkState.connected, 1); // PollCycles ended the reader, not the link
        EXPECT_EQ(OnTick(), 0);
    };
    for (int cycle = 1; cycle <= 8; cycle++) {
        pollThenTick();
        EXPECT_EQ(rows(), cycle < 8 ? 0u : 1u) << "after " << cycle << " cycles";
    }
    // The next request cannot be sent: the failed cycle's box is up while two ticks come.
    fakeOs.failAt = fakeOs.serialOps + 1;
    size_t rowsWhileBoxUp = 99, statusLinesWhileBoxUp = 0;
    fakeOs.onMessage = [&] {
        const size_t before = rows(), statusBefore = fakeOs.statusTexts.size();
        OnTick();
        for (int i = 1; i < CHANNEL_COUNT; i++) // whichever channels are shown
            ChannelTable.enabled[i] = 0;
        OnTick();
        for (int i = 1; i < CHANNEL_COUNT; i++)
            ChannelTable.enabled[i] = 1;
        rowsWhileBoxUp = rows() - before;
        statusLinesWhileBoxUp = fakeOs.statusTexts.size() - statusBefore;
    };
    PollCycles(1);
    EXPECT_EQ(rowsWhileBoxUp, 0u);
    EXPECT_EQ(statusLinesWhileBoxUp, 2u) << "the status line goes on meanwhile";
    EXPECT_EQ(Messages(), L"Error: SendValueRequestBlock failed (window)\n");
    fakeOs.onMessage = nullptr;
    // The next link: connected by a tick, then again nothing until a whole round.
    fakeOs.failAt = 0;
    fakeOs.nowUs += 3000000; // the ECU forgets the broken session
    const size_t before = rows();
    for (int i = 1; i < CHANNEL_COUNT; i++) // channel 0 alone: its reading is the last link's
        ChannelTable.enabled[i] = 0;
    ASSERT_EQ(OnTick(), 0);
    EXPECT_EQ(rows(), before) << "a row of the last link's reading";
    for (int i = 1; i < CHANNEL_COUNT; i++)
        ChannelTable.enabled[i] = 1;
    for (int cycle = 1; cycle <= 8; cycle++) {
        pollThenTick();
        EXPECT_EQ(rows() - before, cycle < 8 ? 0u : 1u) << "after " << cycle << " cycles";
    }
}

TEST_F(Link, AnOutOfStepAnswerEndsTheReaderSilently) {
    // A refused title and a failed exchange are the block exchange's and the fault injection's.
    ecusim::Scenario scenario;
    scenario.wrongCounterAtBlock = 17;
    Connect(scenario);
    fakeOs.logFile.clear();
    // Unbounded: the reader must end by itself, its thread's exit code 0.
    StoreFlag(LinkState.connected, 1);
    EXPECT_EQ(ReaderThread(nullptr), 0u);
    EXPECT_EQ(LoadFlag(LinkState.connected), 0);
    EXPECT_TRUE(fakeOs.messages.empty());
    EXPECT_TRUE(LogEndsWith("\r\nGetBlock returned block 18 blockNumber 17 Type FE\r\n")) << Log();
}

TEST_F(Link, AReaderStoppedMidCycleFailsQuietly) {
    // The ECU falls silent at the second answer; the reader is held at that cycle's request
    // until the stop has been asked for, then fails on the silent line.
    ecusim::Scenario scenario;
    scenario.silentAtBlock = 17;
    Connect(scenario);
    fakeOs.onWrite = [](uint8_t) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (blockNumber == 16 && !readerStopRequested && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    };
    StartHeldReader();
    while (blockNumber < 16)
        std::this_thread::yield();
    EXPECT_EQ(StopReaderThread(), 1);
    EXPECT_TRUE(fakeOs.messages.empty()) << "nobody is left to read a box";
}

TEST_F(Link, PauseBeforeAConnectionMakesAnAttemptWithoutHeaderThenToggles) {
    ResetFakeOs();
    ASSERT_EQ(StartSession(), 1);
    OnPauseButton(); // nothing behind the port: the attempt fails, and nothing else changes
    EXPECT_TRUE(fakeOs.pauseTexts.empty());
    AttachEcu();
    fakeOs.holdReader = true;
    sessionPaused = 1;
    OnPauseButton();
    EXPECT_EQ(LoadFlag(LinkState.connected), 1);
    EXPECT_EQ(sessionPaused, 0);
    EXPECT_TRUE(LogEndsWith("\r\nInitialised OK!\r\n")) << "no header row: " << Log();
    OnPauseButton();
    OnPauseButton();
    OnPauseButton();
    const std::vector<std::wstring> texts = {L"Pause", L"Resume", L"Pause", L"Resume"};
    EXPECT_EQ(fakeOs.pauseTexts, texts);
    EXPECT_EQ(sessionPaused, 1);
}

TEST_F(Link, AttemptsNeverNestAndATickThatConnectsWritesTheHeaderRow) {
    // A failed attempt's message box runs a modal loop that dispatches the ticks and clicks that
    // come in meanwhile. None of them may start a second attempt inside the first, nor be kept
    // to make one later: the next tick tries again anyway.
    ecusim::Scenario scenario;
    scenario.rejectAtBlock = 3;
    scenario.faultSessions = 1;
    StartRun(scenario);
    ChannelTable.enabled[2] = 0; // the header row names it all the same
    int nestedResults = 0;
    fakeOs.onMessage = [&] {
        nestedResults += OnTick();
        OnPauseButton();
    };
    EXPECT_EQ(OnTick(), 1);
    EXPECT_EQ(nestedResults, 0);
    EXPECT_EQ(fakeOs.ecu->stats().wakeUps, 1u);
    EXPECT_EQ(LoadFlag(LinkState.connected), 0);
    EXPECT_TRUE(fakeOs.pauseTexts.empty());
    fakeOs.onMessage = nullptr;
    EXPECT_EQ(OnTick(), 0) << "the next tick connects";
    EXPECT_EQ(fakeOs.ecu->stats().wakeUps, 2u);
    EXPECT_EQ(LoadFlag(LinkState.connected), 1);
    // The success lines and the header row; the same tick goes on to the chart, which has nothing
    // of this link to show yet: no data row, no drawing.
    EXPECT_TRUE(LogEndsWith("\r\nReader Thread Started\r\nInitialised OK!\r\n"
                            "8:17:45 PM,Intake Air Temp,Cylinder Head Temp,AFM Voltage,RPM,"
                            "Injector Time,Ignition Advance,MAF Sensor,Battery\r\n"))
        << Log();
    EXPECT_TRUE(fakeOs.draws.empty());
}

TEST_F(Link, EveryCloseEndsTheSessionOnTheLineUnlessAReaderMayBeOnIt) {
    // The end-of-session block goes out at every close, though where nothing awake answers it only
    // its first byte does; the exception is a reader that cannot be stopped, which may still be on
    // the line. A close that arrives inside an attempt (in one of the window's waits, in the
    // attempt's message box, or from the box that closes the window) stops the line: the attempt
    // unwinds without waiting and without a word, and the end follows, whose one wait is the only
    // one after the close. The end of the user's Windows session (WM_ENDSESSION) ends the run the
    // same way, but before it returns: Windows then ends the process, and nothing unwinds.
    // InBox: the ECU falls silent at block 5, and the close arrives in the attempt's box.
    enum Before { NoAttempt, ReaderFailed, ReaderStuck, Polling, AtWait, InBox, ThreadFailed };
    const struct {
        const char* what;
        Before before;
        int closeAtWait;      // AtWait: the window's wait (from 1) in which the close arrives
        size_t endBytes[2];   // of the end-of-session block that go out: at least, at most
        const wchar_t* boxes; // the message boxes shown, as Messages() gives them
        const char* logEnd;
    } cases[] = {
        {"before any attempt", NoAttempt, 0, {1, 1}, L"", "COM Opened\r\nSession ended"},
        // The reader failed at once: the ECU has not given up on the tester yet.
        {"after the reader's failure", ReaderFailed, 0, {4, 4},
         L"Error: SendValueRequestBlock failed (window)\n", "vals 1 0 37\r\nSession ended"},
        {"while the reader cannot be stopped", ReaderStuck, 0, {0, 0}, L"",
         "Battery\r\nSession ended"},
        {"while the reader polls", Polling, 0, {4, 4}, L"", "\r\nSession ended"},
        // What the ECU sends meanwhile may break the block off, but it begins to go out.
        {"during the address", AtWait, 3, {1, 4}, L"", "COM Opened\r\nSession ended"},
        {"during the wait for the sync byte", AtWait, 11, {1, 4}, L"", "COM Opened\r\nSession ended"},
        {"in the pause before the keyword's complement", AtWait, 14, {1, 4}, L"",
         "COM Opened\r\nSession ended"},
        {"in the opening exchange", AtWait, 60, {1, 4}, L"", "data TVX-SIM ECU 7731Session ended"},
        {"while the attempt's box is up", InBox, 0, {1, 4}, L"Error: GetBlock failed\n",
         "data P/N 7731-042-BSession ended"},
        {"after a failed thread creation", ThreadFailed, 0, {4, 4},
         L"Error!: Error Creating Reader Thread (window)\n", "data K-LINE 9600 8N1Session ended"},
    };
    for (int atOnce : {0, 1})
    for (const auto& c : cases) {
        ecusim::Scenario scenario;
        scenario.silentAtBlock = c.before == InBox ? 5 : -1;
        StartRun(scenario);
        uint64_t closedAt = 0;
        size_t writtenAtClose = 0;
        int32_t counterAtClose = -1;
        auto close = [&] {
            closedAt = fakeOs.nowUs;
            counterAtClose = blockNumber;
            if (c.before != Polling) // a polling reader is still writing: see below
                writtenAtClose = fakeOs.written.size();
            EndSession(atOnce);
            if (atOnce) {
                EXPECT_TRUE(LogEndsWith("Session ended") && !fakeOs.logOpen) << c.what;
            }
        };
        fakeOs.onWindowWait = [&] {
            if (fakeOs.windowWaits == c.closeAtWait)
                close();
        };
        if (c.before == InBox)
            fakeOs.onMessage = close;
        fakeOs.onCloseMainWindow = close;
        fakeOs.threadCreateFails = c.before == ThreadFailed;
        if (c.before != NoAttempt) {
            EXPECT_EQ(OnTick(), 0) << c.what;
        }
        if (c.before == ReaderFailed) {
            fakeOs.failAt = fakeOs.serialOps + 1; // the request's first byte never goes out
            ReaderThread(nullptr);
        } else if (c.before == ReaderStuck) {
            fakeOs.readerWontEnd = true;
        } else if (c.before == Polling) {
            StartHeldReader(); // a real second thread
            while (blockNumber < 30)
                std::this_thread::yield();
        }
        if (c.before < AtWait)
            close();
        ASSERT_NE(closedAt, 0u) << c.what << ": the close never arrived";
        const bool stuck = c.before == ReaderStuck;
        // Stuck: 2.3 s to end its cycle, 0.6 s after the cut-off, within the 3 s a closed window
        // has. Else nothing but the end-of-session block may wait after the close.
        const uint64_t afterClose = fakeOs.nowUs - closedAt;
        EXPECT_TRUE(stuck ? afterClose == 2900000u : afterClose <= 1500000u + 2 * ecusim::kByteUs)
            << c.what << ": " << afterClose << " us after the close";
        EXPECT_TRUE(c.before == Polling || blockNumber == counterAtClose)
            << c.what << ": the attempt went no further";
        // A stopped reader ends its cycle first: the end-of-session block comes last.
        const Bytes after =
            WrittenFrom(c.before == Polling ? fakeOs.written.size() - 4 : writtenAtClose);
        const Bytes endBlock = {0x03, static_cast<uint8_t>(blockNumber.load()), 0x06, 0x03};
        EXPECT_TRUE(after.size() >= c.endBytes[0] && after.size() <= c.endBytes[1] &&
                    std::equal(after.begin(), after.end(), endBlock.begin()))
            << c.what << ": " << ::testing::PrintToString(after);
        if (c.endBytes[0] == endBlock.size()) {
            EXPECT_EQ(fakeOs.ecu->stats().sessionsEnded, 1u) << c.what;
        }
        EXPECT_EQ(OsLineStopped(), stuck ? 1 : 0) << c.what << ": the cut-off stays only then";
        EXPECT_EQ(fakeOs.portOpen, stuck) << c.what << ": never closed under a reader";
        EXPECT_TRUE(fakeOs.rts.empty() || fakeOs.rts.back().second == 0)
            << c.what << ": the K-line is left released";
        EXPECT_EQ(Messages(), c.boxes) << c.what;
        EXPECT_EQ(LoadFlag(LinkState.connected), 0) << c.what;
        EXPECT_FALSE(fakeOs.logOpen) << c.what;
        EXPECT_EQ(fakeOs.logUsesOutsideLock, 0) << c.what;
        EXPECT_EQ(fakeOs.readsWithoutTimeouts, 0) << c.what << ": a read that may never end";
        const std::string log = Log();
        EXPECT_TRUE(LogEndsWith(c.logEnd)) << c.what << ": " << log;
        EXPECT_EQ(log.find("Session ended"), log.size() - 13) << c.what << ": ended once";

        // The run is over: a tick, Pause or close still queued does nothing.
        const size_t rtsSteps = fakeOs.rts.size();
        EXPECT_EQ(OnTick(), 0) << c.what;
        OnPauseButton();
        EndSession();
        EXPECT_EQ(fakeOs.rts.size(), rtsSteps) << c.what << ": no further wake-up";
        EXPECT_EQ(Log(), log) << c.what;
    }
}
