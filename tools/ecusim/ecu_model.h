// The far end of the serial port, byte by byte and in time: a K-line adapter that echoes every
// byte the tester writes (and, while RTS holds the line low, returns each as the 0x00 of a
// break), and an ECU that is woken at 5 baud on RTS, runs the block protocol with
// its opening exchange of identification blocks, answers memory and ADC polls from the engine
// model, and misbehaves on purpose when a Scenario says so.
//
// Time is whatever clock the caller uses, in microseconds: the tests' virtual clock or ecusim's
// CLOCK_MONOTONIC. Nothing here reads a clock or touches the operating system. Bytes for the tester
// are queued with the time at which they have crossed the line; the queue is ordered by that time
// because the one K-line carries one byte at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "address_decoder.h"

namespace ecusim {

enum class Direction : uint8_t { Tester, Echo, Ecu };
const char* DirectionName(Direction d); // "tester", "echo", "ecu"

// 10 bits at 9600 baud take 1041.7 us; rounded up so that the simulated line is never faster.
constexpr uint64_t kByteUs = 1042;
// The ECU's first answer (the sync byte) starts this long after the nominal end of the stop bit:
// real ECUs take 60 to 300 ms, and a different time at each wake-up, so the tester must not
// count on any one delay. Unless a Scenario fixes it, each wake-up draws one from this range.
constexpr uint64_t kSyncDelayMinUs = 60000;
constexpr uint64_t kSyncDelayMaxUs = 300000;
// Waiting for the tester mid-session longer than the tester's own read time-out means the tester
// has given up; the ECU drops the session and listens for a new wake-up.
constexpr uint64_t kSessionTimeoutUs = 1500000;
constexpr uint8_t kEcuAddress = 0x10;
constexpr int kIdentBlocks = 7;      // blocks 1, 3, ..., 13 of the opening exchange
constexpr int kMaxBlockLength = 202; // 199 data bytes: what the tester's block store holds

enum class FdEcho : uint8_t { Normal, None, Wrong };

// How the peer misbehaves. The defaults are a healthy adapter and ECU. "Block N" counts the blocks
// of a session in both directions from 1, like the block counter but without its wrap, so block
// 15 is the answer to the first poll and block 256 is the one that carries counter 0. A value of
// -1 switches an option off.
struct Scenario {
    // The adapter. One that ignores RTS never pulls the K-line low: no address reaches the ECU,
    // and a byte written while RTS is on comes back unchanged. One without echo returns none of
    // the tester's bytes (the ECU still hears and answers them), as an adapter without power
    // from the car's socket, or a plain serial cable, does.
    bool rtsIgnored = false;
    bool noEcho = false;
    uint32_t ecuDelayUs = 0; // ECU reaction time before each byte it sends (slow ECU)
    // Memory reads answer 0, 1, ..., 255, 0, ... in turn instead of the engine's values, so that
    // every byte value crosses the line in both directions within a few seconds of polling.
    bool sweepMemory = false;
    uint8_t syncByte = 0x55; // first byte of the wake-up answer
    uint8_t keyword1 = 0x0B;
    uint8_t keyword2 = 0x02;
    FdEcho fdEcho = FdEcho::Normal;   // the adapter's echo of the tester's 0xFD
    uint8_t wrongFdEcho = 0xFC;       // what comes back instead with FdEcho::Wrong
    int64_t rejectAtBlock = -1;       // the ECU sends this block as a bare block of title 0x0A
    int64_t wrongCounterAtBlock = -1; // this ECU block carries its counter plus one
    int64_t silentAfterEcuBytes = -1; // the ECU falls silent after this many bytes of a session
    int64_t silentAtBlock = -1;       // the ECU sends nothing from the first byte of this block
    int64_t badLengthAtBlock = -1;    // this ECU block carries badLength as its length byte
    uint8_t badLength = 0xFF;         // outside 3..202
    int64_t hangUpAtBlock = -1;       // the adapter is pulled out when this block would begin
    int64_t hangUpAtUs = -1;          // ... or at this time (once)
    uint64_t hangUpPauseUs = 3000000; // and plugged back in after this long
    uint32_t faultSessions = 0;       // wake-ups that carry the faults above; 0 = every one
    uint64_t seed = 1;                // the generator of the sync delays
    int64_t syncDelayUs = -1;         // the sync delay of every wake-up; -1: drawn at each one
    // A tester byte the ECU waits for (the answer to keyword 2, a complement, the next byte of a
    // tester block) that has not come this long after the ECU's own byte ends the session, as a
    // real ECU gives up after tens of milliseconds. 0: no limit.
    uint64_t testerReplyLimitUs = 100000;
};

struct Stats {
    uint32_t wakeUps = 0;        // address frames answered with the sync byte
    uint32_t wakeUpsRefused = 0; // frames with a wrong address or parity, or port not 9600 8N1
    uint32_t framesBroken = 0;   // RTS timelines that did not fit the 5-baud bit grid
    uint32_t blocksFromEcu = 0;
    uint32_t blocksFromTester = 0;
    uint32_t pollCycles = 0;          // memory and ADC requests answered
    uint32_t sessionsEnded = 0;       // by the tester's block of title 0x06
    uint32_t sessionsTimedOut = 0;    // the tester fell silent mid-session
    uint32_t sessionsAborted = 0;     // RTS pulled the line low mid-session
    uint32_t protocolErrors = 0;      // a wrong complement, length or block end from the tester
    uint32_t testerCounterErrors = 0; // tester blocks whose counter was not the one expected
    uint32_t faultsInjected = 0;      // times a Scenario fault changed what went on the line
    uint32_t hangUps = 0;
    uint32_t lateTesterBytes = 0;       // tester bytes not there within testerReplyLimitUs
    uint64_t slowestTesterReplyUs = 0;  // the slowest tester byte the ECU waited for
};

class EcuModel {
  public:
    explicit EcuModel(const Scenario& s = Scenario());

    // The line settings the tester applied; parity 0 none, 1 odd, 2 even. A wake-up is answered
    // only while the port is at 9600 baud, 8 data bits, no parity, one stop bit.
    void SetLineSettings(uint32_t baud, int dataBits, int parity, int stopBits, uint64_t tUs);
    // asserted = RTS on = K-line pulled low. Pulling the line low also ends any session.
    void SetRts(bool asserted, uint64_t tUs);
    // A byte the tester hands to its port at tUs. Its echo comes back once it has crossed the
    // line; while the line is held low the byte never reaches it, and the adapter's receiver
    // reads the low line instead: 0x00.
    void TesterWrites(uint8_t b, uint64_t tUs);
    // The tester discarded its receive buffer: bytes that had arrived by tUs are gone.
    void Purge(uint64_t tUs);
    // When the next byte for the tester will have arrived, if there is one.
    bool NextReady(uint64_t* readyUs) const;
    // Takes the next byte if it has arrived by nowUs.
    bool PopByte(uint64_t nowUs, uint8_t* b, Direction* dir);
    // Lets time pass: time-outs, the end of a hang-up, a settled wake-up frame. Returns true
    // when something changed.
    bool Advance(uint64_t nowUs);
    // While the adapter is pulled out: true, with the time it is plugged back in.
    bool HungUp(uint64_t* untilUs) const;

    Stats stats() const { return stats_; }
    bool InSession() const;                      // woken and not yet ended, timed out or aborted
    uint8_t counter() const { return counter_; } // counter of the last block either way
    uint64_t lastSyncDelayUs() const { return lastSyncDelayUs_; } // of the latest wake-up

    static const std::vector<std::string>& IdentTexts();

  private:
    enum class Phase : uint8_t {
        Idle,            // waiting for a wake-up
        AwaitFd,         // keywords sent, waiting for the complement of keyword 2
        AwaitComplement, // sent a block byte, waiting for the tester's complement of it
        Receiving,       // taking a block from the tester
        Silent,          // a fault: sends nothing until the next wake-up
        Hung             // the adapter is pulled out
    };
    struct Pending {
        bool active = false;
        uint64_t settledUs = 0; // the verdict stands if the line stays high until then
        bool answered = false;
        uint32_t faults = 0;
    };
    struct OutByte {
        uint64_t readyUs;
        uint8_t b;
        Direction dir;
    };

    void Catchup(uint64_t tUs);
    bool FaultsOn() const;
    bool AwaitsReply() const; // the ECU waits for a tester byte under the reply limit
    bool Emit(uint8_t b, uint64_t earliestUs);
    void OnLineByte(uint8_t b, uint64_t tUs);
    void StartEcuBlock(uint8_t title, const std::vector<uint8_t>& data, uint64_t tUs);
    void SendNextTx(uint64_t tUs);
    void OnTesterBlock(uint64_t tUs);
    bool BlockFault(uint64_t ordinal, uint64_t tUs);
    void GoSilent();
    void HangUp(uint64_t tUs);
    void DropOutputAfter(uint64_t tUs);

    Scenario sc_;
    Stats stats_;
    std::deque<OutByte> out_; // bytes for the tester, ordered by arrival
    uint64_t lineFreeUs_ = 0; // when the byte now on the line has crossed it
    uint64_t lastUs_ = 0;     // latest time seen, for time-outs
    bool rtsAsserted_ = false;
    uint32_t baud_ = 0;
    int dataBits_ = 0, parity_ = 0, stopBits_ = 0;
    AddressDecoder decoder_;
    Pending pending_;

    Phase phase_ = Phase::Idle;
    uint64_t waitingSinceUs_ = 0; // when the ECU began waiting for the tester
    bool sessionFaults_ = false;  // faults apply to the current session
    uint8_t counter_ = 0;
    uint64_t ordinal_ = 0; // blocks in this session, without wrap
    int identSent_ = 0;
    uint8_t sweepNext_ = 0;   // the next memory byte with sweepMemory
    int64_t ecuBytes_ = 0;    // bytes the ECU sent in this session
    std::vector<uint8_t> tx_; // the ECU block being sent
    size_t txPos_ = 0;
    std::vector<uint8_t> rx_; // the tester block being received
    bool expectFd_ = false;   // the next tester byte is the answer to keyword 2
    uint64_t hungUntilUs_ = 0;
    bool timedHangUpDone_ = false;
    std::mt19937_64 random_;        // draws the sync delays
    uint64_t lastSyncDelayUs_ = 0;
};

} // namespace ecusim
