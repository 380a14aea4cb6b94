// Every serial operation of a connection attempt and of a poll cycle made to fail in turn, once and
// for good, as a port error and as a read that brings nothing: each run must end the way the
// program says it ends, with the log whole, within one read's wait, and the link must come back
// once the fault is gone.
//
// The expected outcome of a fault at operation N is worked out from where N falls in a healthy
// run: the operations of the port set-up, the ten RTS steps of the address, the wake-up bytes and
// then block by block, each block's length taken from the healthy run. The layout's total is
// checked against the number of operations the healthy run took, so a change to the exchange
// shows up here rather than shifting every expectation by one.
#include "app/channel_table.h"
#include "app/session.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/reader_thread.h"
#include "link/link_state.h"
#include "link/serial_line.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint64_t READ_WAIT_US = 1500000;
// Long enough for the ECU to give up on a tester that fell silent mid-session.
constexpr uint64_t ECU_FORGETS_US = 3000000;

enum OpKind { Open, Timeouts, Settings, Rts, Purge, Read, Write };

// How a run ends.
struct Outcome {
    std::string logLine;  // the failure's log line, if it has one
    std::wstring message; // the failure's message box, if it shows one
    int failedBlock;      // the block the failure interrupted (0: before the opening exchange)
    bool Connected() const { return logLine.empty() && message.empty(); }
};

// One serial operation of a healthy run and how the run ends when it fails.
struct Op {
    OpKind kind;
    Outcome onFailure;
    bool ignoredWhenFailing; // the program carries on regardless (an RTS step that changes nothing)
};

const char* const KIND_NAMES[] = {"open", "time-outs", "settings", "RTS", "purge", "read", "write"};

// Whether a fault of this kind at op makes it fail as far as the program can tell. An empty read
// is a fault of reads only; the purge's result is not looked at, nor that of an RTS step that
// leaves the line where it already is.
bool Bites(const Op& op, FakeOs::FaultKind kind) {
    if (op.kind == Read)
        return true;
    if (kind == FakeOs::EmptyRead || op.kind == Purge)
        return false;
    return !op.ignoredWhenFailing;
}

// The outcome of a fault at op index n (from 0), once or from there on.
Outcome Expected(const std::vector<Op>& ops, size_t n, FakeOs::FaultKind kind, bool persistent) {
    for (size_t i = n; i < ops.size(); i++) {
        if (Bites(ops[i], kind))
            return ops[i].onFailure;
        if (!persistent)
            break;
    }
    return {"", L"", 0};
}

void AddBlockSent(std::vector<Op>& ops, int bytes, const Outcome& failure) {
    for (int i = 0; i + 1 < bytes; i++)
        for (OpKind k : {Write, Read, Read}) // the byte, its echo, the ECU's complement
            ops.push_back({k, failure, false});
    ops.push_back({Write, failure, false}); // the end and its echo
    ops.push_back({Read, failure, false});
}

void AddBlockReceived(std::vector<Op>& ops, int dataBytes, const Outcome& failure) {
    for (int i = 0; i < 3 + dataBytes; i++) // length, counter, title, data: answered, echo read
        for (OpKind k : {Read, Write, Read})
            ops.push_back({k, failure, false});
    ops.push_back({Read, failure, false}); // the end, not answered
}

// The operations of ConnectEcu on a closed port, as a healthy ECU leads it: the reopen, the port
// set-up, the address on RTS, the wake-up bytes, then the thirteen blocks of the opening exchange.
std::vector<Op> ConnectionLayout(const int32_t dataLength[BLOCK_SLOTS]) {
    const Outcome noAnswer = {"\r\nDevice not responding", L"", 0};
    std::vector<Op> ops = {
        {Open, {"\r\nCannot reopen COM port", L"", 0}, false},
        {Timeouts, {"\r\nCannot Set Timeouts", L"", 0}, false},
        {Settings, {"\r\nCannot Set State", L"", 0}, false},
        {Settings, {"\r\nCannot Set State", L"", 0}, false},
    };
    // A step lost where the line already stood changes nothing on the wire; any other lost step
    // garbles the address and the ECU stays quiet.
    const int levels[10] = {1, 1, 1, 1, 1, 0, 1, 1, 1, 0};
    for (int i = 0; i < 10; i++) {
        const int before = i == 0 ? 0 : levels[i - 1];
        ops.push_back({Rts, noAnswer, levels[i] == before});
    }
    ops.push_back({Purge, noAnswer, false});
    for (int i = 0; i < 3; i++) // sync and the two keywords
        ops.push_back({Read, noAnswer, false});
    const Outcome badEcho = {"\r\nIncorrect echo", L"", 0};
    ops.push_back({Write, badEcho, false});
    ops.push_back({Read, badEcho, false});
    for (int k = 1; k <= 13; k++) {
        if (k % 2 == 1)
            AddBlockReceived(ops, dataLength[k], {"", L"GetBlock failed", k});
        else if (k == 10)
            AddBlockSent(ops, 4, {"", L"SendBlockType failed", k});
        else
            AddBlockSent(ops, 4, {"", L"SendAckBlock failed", k});
    }
    return ops;
}

// Fresh program state with the log open and portName set; the port itself is left closed.
void FreshStart() {
    ResetFakeOs();
    OsCreateLogFile();
    wcscpy(portName, L"COM9:");
    fakeOs.holdReader = true;
}

// The log of the opening exchange before block k: the lines of the ECU's blocks before it, cut
// from a healthy run's log at the first line of a later block.
std::string LogBefore(const std::string& healthyLog, int block) {
    for (int k = block; k <= 13; k++) {
        char marker[32];
        std::snprintf(marker, sizeof marker, "\r\nblockNumber %d ", k);
        const size_t at = healthyLog.find(marker);
        if (at != std::string::npos)
            return healthyLog.substr(0, at);
    }
    return healthyLog;
}

// Makes each operation of `ops` fail in turn, as an error and as an empty read, once and for
// good. `prepare` sets up a fresh run and `run` makes it; the run must give up within one read's
// wait of a healthy run, without retries, and end as `ops` says (the failure's log line after the
// log `logBefore` gives for its block, its message box) or as a healthy run would. Afterwards the
// fault is lifted, the ECU forgets the broken session and `again` must find the link healthy.
// Every outcome, a completed run, a log line and a message box, must occur among the runs of a
// layout: the table is not vacuous.
template <typename Prepare, typename Run, typename LogBefore, typename Again>
void InjectEveryFault(const std::vector<Op>& ops, const std::string& label, Prepare prepare,
                        Run run, int ownedByMainWindow, const std::string& healthyLog,
                        uint64_t healthyUs, LogBefore logBefore, Again again) {
    int healthy = 0, logLines = 0, boxes = 0;
    for (FakeOs::FaultKind kind : {FakeOs::OpError, FakeOs::EmptyRead})
        for (bool persistent : {false, true})
            for (size_t n = 0; n < ops.size(); n++) {
                char text[128];
                std::snprintf(text, sizeof text, "%sop %zu (%s) %s %s", label.c_str(), n + 1,
                              KIND_NAMES[ops[n].kind],
                              kind == FakeOs::OpError ? "error" : "empty read",
                              persistent ? "for good" : "once");
                const std::string what = text;
                const Outcome expected = Expected(ops, n, kind, persistent);
                prepare();
                const int opsBefore = fakeOs.serialOps;
                fakeOs.failAt = opsBefore + static_cast<int>(n) + 1;
                fakeOs.failPersistently = persistent;
                fakeOs.failKind = kind;
                const uint64_t start = fakeOs.nowUs;
                const int result = run();
                EXPECT_GE(fakeOs.faultsInjected, 1) << what;
                EXPECT_LE(fakeOs.serialOps - opsBefore, static_cast<int>(ops.size()))
                    << what << ": no retries, no loop";
                EXPECT_LE(fakeOs.nowUs - start, healthyUs + READ_WAIT_US)
                    << what << ": gives up within one read's wait";
                EXPECT_EQ(result, expected.Connected()) << what;
                if (expected.Connected()) {
                    healthy++;
                    EXPECT_TRUE(fakeOs.messages.empty()) << what;
                    EXPECT_EQ(fakeOs.logFile, healthyLog) << what;
                } else {
                    // The log up to the fault is whole, then the failure's own line, nothing else.
                    EXPECT_EQ(fakeOs.logFile, logBefore(expected.failedBlock) + expected.logLine)
                        << what;
                    (expected.message.empty() ? logLines : boxes)++;
                    EXPECT_EQ(fakeOs.messages.size(), expected.message.empty() ? 0u : 1u) << what;
                    if (!expected.message.empty() && !fakeOs.messages.empty()) {
                        EXPECT_EQ(fakeOs.messages[0].text, expected.message) << what;
                        EXPECT_EQ(fakeOs.messages[0].caption, L"Error") << what;
                        EXPECT_EQ(fakeOs.messages[0].ownedByMainWindow, ownedByMainWindow) << what;
                    }
                }
                fakeOs.failAt = 0;
                fakeOs.nowUs += ECU_FORGETS_US;
                fakeOs.messages.clear();
                again(what);
            }
    EXPECT_GT(healthy, 0);
    EXPECT_GT(boxes, 0);
    EXPECT_EQ(logLines > 0, label.empty()) << "only a connection attempt ends with a log line";
}

} // namespace

TEST(FaultInjection, EveryOperationOfAConnectionAttempt) {
    FreshStart();
    AttachEcu();
    const uint64_t healthyStart = fakeOs.nowUs;
    ASSERT_EQ(ConnectEcu(), 1);
    const uint64_t healthyUs = fakeOs.nowUs - healthyStart;
    const std::string healthyLog = fakeOs.logFile;
    const std::vector<Op> ops = ConnectionLayout(BlockStore.dataLength);
    ASSERT_EQ(static_cast<int>(ops.size()), fakeOs.serialOps) << "the layout no longer fits";

    InjectEveryFault(
        ops, "", [] { FreshStart(); AttachEcu(); },
        [] {
            const int ok = ConnectEcu();
            // A port that refused its settings is closed: the next attempt opens it afresh.
            if (fakeOs.logFile.find("Cannot Set") != std::string::npos) {
                EXPECT_FALSE(fakeOs.portOpen);
            }
            EXPECT_EQ(fakeOs.threadsCreated, ok);
            EXPECT_EQ(LoadFlag(LinkState.connected), ok);
            return ok;
        },
        0, healthyLog, healthyUs,
        [&](int block) { return LogBefore(healthyLog, block); },
        [&](const std::string& what) {
            StoreFlag(LinkState.connected, 0);
            fakeOs.logFile.clear();
            EXPECT_EQ(ConnectEcu(), 1) << what << ": reconnection";
            EXPECT_TRUE(fakeOs.messages.empty()) << what << ": reconnection";
            EXPECT_EQ(fakeOs.logFile, healthyLog) << what << ": reconnection";
        });
}

TEST(FaultInjection, EveryOperationOfAPollCycle) {
    const struct {
        int channel;
        int requestBytes;          // the request block on the line
        std::wstring requestFails; // the box when it fails
    } cycles[] = {
        {0, 7, L"SendValueRequestBlock failed"}, // a memory read
        {6, 5, L"SendADCChannelRead failed"},    // an ADC read
    };
    for (const auto& c : cycles) {
        // A clean connection with the reader held back, the log and the boxes emptied.
        auto connectHeld = [&] {
            FreshStart();
            AttachEcu();
            ASSERT_EQ(ConnectEcu(), 1);
            fakeOs.logFile.clear();
            currentChannel = c.channel;
        };
        connectHeld();
        const int before = fakeOs.serialOps;
        const uint64_t healthyStart = fakeOs.nowUs;
        PollCycles(1);
        const std::string healthyLog = fakeOs.logFile;
        const int32_t answerSlot = blockNumber;
        const std::string requestLog = healthyLog.substr(0, healthyLog.find("\r\nGetBlock"));
        std::vector<Op> ops;
        AddBlockSent(ops, c.requestBytes, {"", c.requestFails, 0});
        AddBlockReceived(ops, BlockStore.dataLength[answerSlot], {"", L"GetBlock failed", 0});
        ASSERT_EQ(static_cast<int>(ops.size()), fakeOs.serialOps - before) << c.channel;

        InjectEveryFault(
            ops, "channel " + std::to_string(c.channel) + ", ", connectHeld,
            [] {
                EXPECT_EQ(PollCycles(1), 0u) << "the thread's exit code, failed or not";
                EXPECT_EQ(LoadFlag(LinkState.connected), 0);
                return fakeOs.messages.empty() ? 1 : 0;
            },
            1, healthyLog, fakeOs.nowUs - healthyStart,
            [&](int) { return requestLog; },
            [&](const std::string& what) {
                // Back again: a new attempt wakes the same ECU and polls cleanly.
                ASSERT_EQ(ConnectEcu(), 1) << what << ": reconnection";
                fakeOs.logFile.clear();
                currentChannel = c.channel;
                PollCycles(1);
                EXPECT_TRUE(fakeOs.messages.empty()) << what << ": poll after reconnection";
                EXPECT_EQ(fakeOs.logFile, healthyLog) << what << ": poll after reconnection";
            });
    }
}
