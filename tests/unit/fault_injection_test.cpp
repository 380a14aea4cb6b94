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
#include "link/serial_line.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/reader_thread.h"
#include "link/link_state.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint64_t READ_WAIT_US = 1500000;
// Long enough for the ECU to give up on a tester that fell silent mid-session.
constexpr uint64_t ECU_FORGETS_US = 3000000;

enum OpKind { Open, Timeouts, SettingsRead, Settings, Rts, Purge, ErrorsCleared, Read, Write };
const char* const KIND_NAMES[] = {"open",  "time-outs",      "settings read", "settings", "RTS",
                                  "purge", "errors cleared", "read",          "write"};

// How a run ends when an operation fails: with the failure's log line or its message box, in the
// block the failure interrupted (0: before the opening exchange).
struct Failure {
    std::string logLine;
    std::wstring message;
    int block;
};

// One serial operation of a healthy run.
struct Op {
    OpKind kind;
    Failure failure;
    bool ignored; // the program carries on regardless (an RTS step that changes nothing)
};

// What a fault of this kind at op index n (from 0), once or from there on, makes fail; null when
// the run completes. An empty read is a fault of reads only; the purge's result is not looked at,
// nor that of an RTS step that leaves the line where it already is.
const Failure* Expected(const std::vector<Op>& ops, size_t n, FakeOs::FaultKind kind,
                        bool persistent) {
    for (size_t i = n; i < (persistent ? ops.size() : n + 1); i++)
        if (ops[i].kind == Read ||
            (kind == FakeOs::OpError && ops[i].kind != Purge && !ops[i].ignored))
            return &ops[i].failure;
    return nullptr;
}

// A block of `bytes` bytes, its end the last. Each byte the program sends but the end comes back
// as its echo, then as the ECU's complement; each byte it receives but the end it answers with the
// complement, whose echo it reads. The end is read, and not answered.
void AddBlock(std::vector<Op>& ops, bool sent, int bytes, const Failure& failure) {
    const OpKind perByte[2][3] = {{Read, Write, Read}, {Write, Read, Read}};
    for (int i = 0; i + 1 < bytes; i++)
        for (OpKind k : perByte[sent])
            ops.push_back({k, failure, false});
    if (sent)
        ops.push_back({Write, failure, false});
    ops.push_back({Read, failure, false});
}

// The operations of ConnectEcu on a closed port, as a healthy ECU leads it: the reopen, the port
// set-up, the address on RTS, the wake-up bytes, then the thirteen blocks of the opening exchange.
std::vector<Op> ConnectionLayout(const int32_t dataLength[BLOCK_SLOTS]) {
    const Failure noAnswer = {"\r\nDevice not responding", L"", 0};
    const Failure badState = {"\r\nCannot Set State", L"", 0};
    std::vector<Op> ops = {
        {Open, {"\r\nCannot reopen COM port", L"", 0}, false},
        {Timeouts, {"\r\nCannot Set Timeouts", L"", 0}, false},
        // Settings that cannot be read are made whole from nothing.
        {SettingsRead, badState, true},
        {Settings, badState, false},
        {Settings, badState, false},
    };
    // A step lost where the line already stood changes nothing on the wire; any other lost step
    // garbles the address and the ECU stays quiet.
    const int levels[10] = {1, 1, 1, 1, 1, 0, 1, 1, 1, 0};
    for (int i = 0; i < 10; i++)
        ops.push_back({Rts, noAnswer, levels[i] == (i == 0 ? 0 : levels[i - 1])});
    ops.push_back({Purge, noAnswer, false});
    ops.push_back({ErrorsCleared, noAnswer, true}); // a port without errors has none to clear
    for (int i = 0; i < 3; i++) // sync and the two keywords
        ops.push_back({Read, noAnswer, false});
    const Failure badEcho = {"\r\nIncorrect echo", L"", 0};
    ops.push_back({Write, badEcho, false});
    ops.push_back({Read, badEcho, false});
    for (int k = 1; k <= 13; k++) {
        if (k % 2 == 1)
            AddBlock(ops, false, dataLength[k] + 4, {"", L"GetBlock failed", k});
        else if (k == 10)
            AddBlock(ops, true, 4, {"", L"SendBlockType failed", k});
        else
            AddBlock(ops, true, 4, {"", L"SendAckBlock failed", k});
    }
    return ops;
}

// Fresh program state with the log open, the run's port known and a healthy ECU behind it, the
// port left closed.
void FreshStart() {
    OpenPort(L"COM9:"); // the run's port, which each attempt reopens; closed by the reset
    ResetFakeOs();
    AttachEcu();
    OsCreateLogFile();
    fakeOs.holdReader = true;
}

// Makes each operation of `ops` fail in turn, as an error and as an empty read, once and for
// good. `prepare` sets up a fresh run and `run` makes it (1: it completed); the run must give up
// within one read's wait of a healthy run, without retries, and end as `ops` says (the failure's
// log line after the log `logBefore` gives for its block, its message box) or as a healthy run
// would. Afterwards the fault is lifted, the ECU forgets the broken session, and after
// `reconnect` a run must be healthy again. Every outcome, a completed run, a log line and a
// message box, must occur among the runs of a layout: the table is not vacuous.
template <typename Prepare, typename Run, typename LogBefore, typename Reconnect>
void InjectEveryFault(const std::vector<Op>& ops, const std::string& label, Prepare prepare,
                      Run run, int owner, const std::string& healthyLog,
                      uint64_t healthyUs, LogBefore logBefore, Reconnect reconnect) {
    int healthy = 0, logLines = 0, boxes = 0;
    for (FakeOs::FaultKind kind : {FakeOs::OpError, FakeOs::EmptyRead})
        for (bool persistent : {false, true})
            for (size_t n = 0; n < ops.size(); n++) {
                const std::string what = label + "op " + std::to_string(n + 1) + " (" +
                                         KIND_NAMES[ops[n].kind] + ") " +
                                         (kind == FakeOs::OpError ? "error " : "empty read ") +
                                         (persistent ? "for good" : "once");
                const Failure* failure = Expected(ops, n, kind, persistent);
                prepare();
                const int opsBefore = fakeOs.serialOps;
                fakeOs.failAt = opsBefore + static_cast<int>(n) + 1;
                fakeOs.failPersistently = persistent;
                fakeOs.failKind = kind;
                const uint64_t start = fakeOs.nowUs;
                EXPECT_EQ(run(), failure ? 0 : 1) << what;
                EXPECT_GE(fakeOs.faultsInjected, 1) << what;
                EXPECT_LE(fakeOs.serialOps - opsBefore, static_cast<int>(ops.size()))
                    << what << ": no retries, no loop";
                EXPECT_LE(fakeOs.nowUs - start, healthyUs + READ_WAIT_US)
                    << what << ": gives up within one read's wait";
                // The log up to the fault is whole, then the failure's own line, nothing else.
                EXPECT_EQ(fakeOs.logFile,
                          failure ? logBefore(failure->block) + failure->logLine : healthyLog)
                    << what;
                const std::wstring box = failure ? failure->message : L"";
                const std::wstring shown = L"Error: " + box + (owner ? L" (window)\n" : L"\n");
                EXPECT_EQ(Messages(), box.empty() ? L"" : shown) << what;
                healthy += !failure;
                logLines += failure && !failure->logLine.empty();
                boxes += !box.empty();

                fakeOs.failAt = 0;
                fakeOs.nowUs += ECU_FORGETS_US;
                fakeOs.messages.clear();
                reconnect();
                EXPECT_EQ(run(), 1) << what << ": after the fault";
                EXPECT_TRUE(fakeOs.messages.empty()) << what << ": after the fault";
                EXPECT_EQ(fakeOs.logFile, healthyLog) << what << ": after the fault";
            }
    EXPECT_GT(healthy, 0);
    EXPECT_GT(boxes, 0);
    EXPECT_EQ(logLines > 0, label.empty()) << "only a connection attempt ends with a log line";
    // The reliability page's figures: bench/report.py reads these lines.
    std::printf("[          ] %s%zu operations, %zu runs: %d completed anyway, %d ended with a log "
                "line, %d with a message box\n",
                label.empty() ? "a connection attempt: " : ("a poll cycle, " + label).c_str(),
                ops.size(), 4 * ops.size(), healthy, logLines, boxes);
}

} // namespace

TEST(FaultInjection, EveryOperationOfAConnectionAttempt) {
    FreshStart();
    const uint64_t healthyStart = fakeOs.nowUs;
    ASSERT_EQ(ConnectEcu(), 1);
    const uint64_t healthyUs = fakeOs.nowUs - healthyStart;
    const std::string healthyLog = fakeOs.logFile;
    const std::vector<Op> ops = ConnectionLayout(BlockStore.dataLength);
    ASSERT_EQ(static_cast<int>(ops.size()), fakeOs.serialOps) << "the layout no longer fits";

    InjectEveryFault(
        ops, "", FreshStart,
        [] {
            const int threads = fakeOs.threadsCreated;
            const int ok = ConnectEcu();
            // A port that refused its settings is closed: the next attempt opens it afresh.
            if (fakeOs.logFile.find("Cannot Set") != std::string::npos) {
                EXPECT_FALSE(fakeOs.portOpen);
            }
            EXPECT_EQ(fakeOs.threadsCreated - threads, ok);
            EXPECT_EQ(LoadFlag(LinkState.connected), ok);
            return ok;
        },
        0, healthyLog, healthyUs,
        [&](int block) { // the lines of the ECU's blocks before it, 1 being the first
            return healthyLog.substr(
                0, healthyLog.find("\r\nblockNumber " + std::to_string(block | 1) + " "));
        },
        [] {
            StoreFlag(LinkState.connected, 0);
            fakeOs.logFile.clear();
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
        // A clean connection with the reader held back, the log emptied.
        auto reconnect = [&] {
            ASSERT_EQ(ConnectEcu(), 1);
            fakeOs.logFile.clear();
            currentChannel = c.channel;
        };
        auto connectHeld = [&] {
            FreshStart();
            reconnect();
        };
        connectHeld();
        const int before = fakeOs.serialOps;
        const uint64_t healthyStart = fakeOs.nowUs;
        PollCycles(1);
        const std::string healthyLog = fakeOs.logFile;
        const std::string requestLog = healthyLog.substr(0, healthyLog.find("\r\nGetBlock"));
        std::vector<Op> ops;
        AddBlock(ops, true, c.requestBytes, {"", c.requestFails, 0});
        AddBlock(ops, false, BlockStore.dataLength[blockNumber] + 4, {"", L"GetBlock failed", 0});
        ASSERT_EQ(static_cast<int>(ops.size()), fakeOs.serialOps - before) << c.channel;

        InjectEveryFault(
            ops, "channel " + std::to_string(c.channel) + ", ", connectHeld,
            [] {
                EXPECT_EQ(PollCycles(1), 0u) << "the thread's exit code, failed or not";
                EXPECT_EQ(LoadFlag(LinkState.connected), 0);
                return fakeOs.messages.empty() ? 1 : 0;
            },
            1, healthyLog, fakeOs.nowUs - healthyStart, [&](int) { return requestLog; },
            reconnect);
    }
}
