// The simulated adapter and ECU: see ecu_model.h for the outline and the time conventions.
#include "ecu_model.h"

#include <algorithm>

#include "engine_model.h"

namespace ecusim {
namespace {

constexpr uint8_t kBlockEnd = 0x03;
constexpr uint8_t kTitleMemoryRead = 0x01;
constexpr uint8_t kTitleEndSession = 0x06;
constexpr uint8_t kTitleNextIdent = 0x07;
constexpr uint8_t kTitleAdcRead = 0x08;
constexpr uint8_t kTitleAck = 0x09;
constexpr uint8_t kTitleReject = 0x0A;
constexpr uint8_t kTitleIdent = 0xF6;
constexpr uint8_t kTitleAdcValue = 0xFB;
constexpr uint8_t kTitleMemoryValue = 0xFE;

uint8_t Complement(uint8_t b) {
    return static_cast<uint8_t>(0xFF - b);
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

const char* DirectionName(Direction d) {
    switch (d) {
    case Direction::Tester: return "tester";
    case Direction::Echo: return "echo";
    case Direction::Ecu: return "ecu";
    }
    return "?";
}

const std::vector<std::string>& EcuModel::IdentTexts() {
    // Plain ASCII, as an ECU of this kind reports its part and software numbers.
    static const std::vector<std::string> texts = {
        "TVX-SIM ECU 7731", "P/N 7731-042-B", "SW V2.14 1998",   "HW REV C",
        "CODING 00417",     "DEALER 12345",   "K-LINE 9600 8N1",
    };
    return texts;
}

EcuModel::EcuModel(const Scenario& s) : sc_(s), random_(s.seed) {}

bool EcuModel::InSession() const {
    return phase_ == Phase::AwaitFd || phase_ == Phase::AwaitComplement ||
           phase_ == Phase::Receiving || phase_ == Phase::Silent;
}

bool EcuModel::FaultsOn() const {
    return sessionFaults_;
}

void EcuModel::SetLineSettings(uint32_t baud, int dataBits, int parity, int stopBits,
                               uint64_t tUs) {
    Catchup(tUs);
    baud_ = baud;
    dataBits_ = dataBits;
    parity_ = parity;
    stopBits_ = stopBits;
}

void EcuModel::SetRts(bool asserted, uint64_t tUs) {
    Catchup(tUs);
    if (sc_.rtsIgnored) {
        return; // the K-line stays high: nothing is broken off and no address is heard
    }
    if (asserted == rtsAsserted_) {
        return;
    }
    rtsAsserted_ = asserted;
    if (phase_ == Phase::Hung) {
        return;
    }
    if (asserted) {
        // The line held low breaks whatever was going on, including a wake-up answer that has
        // not gone out yet.
        if (pending_.active) {
            pending_.active = false;
        } else if (InSession()) {
            ++stats_.sessionsAborted;
        }
        DropOutputAfter(tUs);
        phase_ = Phase::Idle;
    }
    AddressFrame f;
    DecodeResult r = decoder_.OnEdge(asserted, tUs, &f);
    if (r == DecodeResult::Broken) {
        ++stats_.framesBroken;
        return;
    }
    if (r != DecodeResult::Frame) {
        return;
    }
    bool portOk = baud_ == 9600 && dataBits_ == 8 && parity_ == 0 && stopBits_ == 1;
    pending_ = Pending();
    pending_.active = true;
    pending_.settledUs = f.settledUs;
    pending_.answered = f.address == kEcuAddress && f.parityOk && portOk;
    if (!pending_.answered) {
        return;
    }
    sessionFaults_ = sc_.faultSessions == 0 || stats_.wakeUps < sc_.faultSessions;
    counter_ = 0;
    ordinal_ = 0;
    identSent_ = 0;
    ecuBytes_ = 0;
    tx_.clear();
    rx_.clear();
    uint8_t sync = 0x55, kw1 = 0x0B, kw2 = 0x02;
    if (FaultsOn()) {
        pending_.faults += (sc_.syncByte != sync) + (sc_.keyword1 != kw1) + (sc_.keyword2 != kw2);
        sync = sc_.syncByte;
        kw1 = sc_.keyword1;
        kw2 = sc_.keyword2;
    }
    // Scheduled now, so that NextReady sees the answer coming; a fall before it cancels it.
    phase_ = Phase::AwaitFd;
    lastSyncDelayUs_ =
        sc_.syncDelayUs >= 0
            ? static_cast<uint64_t>(sc_.syncDelayUs)
            : kSyncDelayMinUs + random_() % (kSyncDelayMaxUs - kSyncDelayMinUs + 1);
    uint64_t start = f.stopEndUs + lastSyncDelayUs_;
    if (!Emit(sync, start) || !Emit(kw1, start) || !Emit(kw2, start)) {
        return;
    }
    tx_ = {kw2};
    expectFd_ = true;
    waitingSinceUs_ = lineFreeUs_;
}

bool EcuModel::AwaitsReply() const {
    if (pending_.active) {
        return false; // the wake-up frame has not settled yet
    }
    return (phase_ == Phase::AwaitFd && expectFd_) || phase_ == Phase::AwaitComplement ||
           (phase_ == Phase::Receiving && !rx_.empty());
}

void EcuModel::TesterWrites(uint8_t b, uint64_t tUs) {
    // Timed before the catch-up, which ends the session when the byte comes too late.
    if (AwaitsReply() && tUs > waitingSinceUs_) {
        stats_.slowestTesterReplyUs = std::max(stats_.slowestTesterReplyUs, tUs - waitingSinceUs_);
    }
    Catchup(tUs);
    if (phase_ == Phase::Hung) {
        return; // nothing is connected to the port
    }
    uint64_t start = std::max(tUs, lineFreeUs_);
    uint64_t end = start + kByteUs;
    lineFreeUs_ = end;
    if (rtsAsserted_) {
        // The line is held low for the whole byte: a break, which the receiver delivers as 0x00.
        // The ECU hears no byte in it.
        if (!sc_.noEcho) {
            out_.push_back({end, 0x00, Direction::Echo});
        }
        return;
    }
    bool fdAnswer = phase_ == Phase::AwaitFd && expectFd_;
    if (sc_.noEcho) {
        // Nothing comes back; the byte still went on the line, to the ECU.
    } else if (fdAnswer && FaultsOn() && sc_.fdEcho != FdEcho::Normal) {
        ++stats_.faultsInjected;
        if (sc_.fdEcho == FdEcho::Wrong) {
            out_.push_back({end, sc_.wrongFdEcho, Direction::Echo});
        }
    } else {
        out_.push_back({end, b, Direction::Echo});
    }
    OnLineByte(b, end);
}

void EcuModel::Purge(uint64_t tUs) {
    Catchup(tUs);
    while (!out_.empty() && out_.front().readyUs <= tUs) {
        out_.pop_front();
    }
}

bool EcuModel::NextReady(uint64_t* readyUs) const {
    if (out_.empty()) {
        return false;
    }
    *readyUs = out_.front().readyUs;
    return true;
}

bool EcuModel::PopByte(uint64_t nowUs, uint8_t* b, Direction* dir) {
    Catchup(nowUs);
    if (out_.empty() || out_.front().readyUs > nowUs) {
        return false;
    }
    *b = out_.front().b;
    *dir = out_.front().dir;
    out_.pop_front();
    return true;
}

bool EcuModel::Advance(uint64_t nowUs) {
    Phase before = phase_;
    bool pendingBefore = pending_.active;
    uint32_t hangUpsBefore = stats_.hangUps;
    Catchup(nowUs);
    return before != phase_ || pendingBefore != pending_.active || hangUpsBefore != stats_.hangUps;
}

bool EcuModel::HungUp(uint64_t* untilUs) const {
    if (phase_ != Phase::Hung) {
        return false;
    }
    *untilUs = hungUntilUs_;
    return true;
}

void EcuModel::Catchup(uint64_t tUs) {
    lastUs_ = std::max(lastUs_, tUs);
    uint64_t t = lastUs_;
    if (pending_.active && t >= pending_.settledUs) {
        pending_.active = false;
        if (pending_.answered) {
            ++stats_.wakeUps;
            stats_.faultsInjected += pending_.faults;
        } else {
            ++stats_.wakeUpsRefused;
        }
    }
    if (!timedHangUpDone_ && sc_.hangUpAtUs >= 0 && t >= static_cast<uint64_t>(sc_.hangUpAtUs)) {
        timedHangUpDone_ = true;
        HangUp(static_cast<uint64_t>(sc_.hangUpAtUs));
    }
    if (phase_ == Phase::Hung && t >= hungUntilUs_) {
        phase_ = Phase::Idle;
        lineFreeUs_ = std::max(lineFreeUs_, hungUntilUs_);
    }
    if (sc_.testerReplyLimitUs > 0 && AwaitsReply() &&
        t > waitingSinceUs_ + sc_.testerReplyLimitUs) {
        ++stats_.lateTesterBytes;
        ++stats_.sessionsTimedOut;
        phase_ = Phase::Idle;
    }
    bool waiting =
        phase_ == Phase::AwaitFd || phase_ == Phase::AwaitComplement || phase_ == Phase::Receiving;
    if (waiting && !pending_.active && t > waitingSinceUs_ + kSessionTimeoutUs) {
        ++stats_.sessionsTimedOut;
        phase_ = Phase::Idle;
    }
}

bool EcuModel::Emit(uint8_t b, uint64_t earliestUs) {
    if (FaultsOn() && sc_.silentAfterEcuBytes >= 0 && ecuBytes_ >= sc_.silentAfterEcuBytes) {
        GoSilent();
        return false;
    }
    uint64_t start = std::max(earliestUs + sc_.ecuDelayUs, lineFreeUs_);
    lineFreeUs_ = start + kByteUs;
    out_.push_back({lineFreeUs_, b, Direction::Ecu});
    ++ecuBytes_;
    return true;
}

void EcuModel::OnLineByte(uint8_t b, uint64_t tUs) {
    switch (phase_) {
    case Phase::AwaitFd:
        if (b != Complement(tx_.empty() ? 0x02 : tx_[0])) {
            ++stats_.protocolErrors;
            phase_ = Phase::Idle;
            return;
        }
        expectFd_ = false;
        // The ECU takes the complement of keyword 2 without answering it and opens with block 1.
        StartEcuBlock(kTitleIdent, Bytes(IdentTexts()[identSent_++]), tUs);
        return;
    case Phase::AwaitComplement:
        if (b != Complement(tx_[txPos_])) {
            ++stats_.protocolErrors;
            phase_ = Phase::Idle;
            return;
        }
        ++txPos_;
        SendNextTx(tUs);
        return;
    case Phase::Receiving:
        if (rx_.empty()) {
            if (b < 3 || b > kMaxBlockLength) {
                ++stats_.protocolErrors;
                phase_ = Phase::Idle;
                return;
            }
            if (BlockFault(++ordinal_, tUs)) {
                return;
            }
        }
        rx_.push_back(b);
        waitingSinceUs_ = tUs;
        if (rx_.size() - 1 < rx_[0]) {
            // Every byte but the block end is answered with its complement.
            if (Emit(Complement(b), tUs)) {
                waitingSinceUs_ = lineFreeUs_;
            }
            return;
        }
        if (b != kBlockEnd) {
            ++stats_.protocolErrors;
            phase_ = Phase::Idle;
            return;
        }
        OnTesterBlock(tUs);
        return;
    case Phase::Idle:
    case Phase::Silent:
    case Phase::Hung: return;
    }
}

bool EcuModel::BlockFault(uint64_t ordinal, uint64_t tUs) {
    if (!FaultsOn()) {
        return false;
    }
    if (static_cast<int64_t>(ordinal) == sc_.hangUpAtBlock) {
        HangUp(tUs);
        return true;
    }
    if (static_cast<int64_t>(ordinal) == sc_.silentAtBlock) {
        GoSilent();
        return true;
    }
    return false;
}

void EcuModel::StartEcuBlock(uint8_t title, const std::vector<uint8_t>& data, uint64_t tUs) {
    ++counter_;
    if (BlockFault(++ordinal_, tUs)) {
        return;
    }
    std::vector<uint8_t> body = data;
    uint8_t length = static_cast<uint8_t>(body.size() + 3);
    uint8_t counterByte = counter_;
    int64_t ordinal = static_cast<int64_t>(ordinal_);
    if (FaultsOn() && ordinal == sc_.rejectAtBlock) {
        title = kTitleReject;
        body.clear();
        length = 3;
        ++stats_.faultsInjected;
    }
    if (FaultsOn() && ordinal == sc_.wrongCounterAtBlock) {
        ++counterByte;
        ++stats_.faultsInjected;
    }
    if (FaultsOn() && ordinal == sc_.badLengthAtBlock) {
        // The bytes that follow agree with the lie, so a receiver that believes it reads a
        // block of that length; below 3 it gets a bare block's worth.
        length = sc_.badLength;
        body.assign(length >= 3 ? length - 3u : 0u, 0x00);
        for (size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<uint8_t>(0x20 + i % 64);
        }
        ++stats_.faultsInjected;
    }
    tx_.clear();
    tx_.push_back(length);
    tx_.push_back(counterByte);
    tx_.push_back(title);
    tx_.insert(tx_.end(), body.begin(), body.end());
    tx_.push_back(kBlockEnd);
    txPos_ = 0;
    ++stats_.blocksFromEcu;
    SendNextTx(tUs);
}

void EcuModel::SendNextTx(uint64_t tUs) {
    bool last = txPos_ + 1 == tx_.size();
    if (!Emit(tx_[txPos_], tUs)) {
        return;
    }
    waitingSinceUs_ = lineFreeUs_;
    if (last) {
        phase_ = Phase::Receiving;
        rx_.clear();
    } else {
        phase_ = Phase::AwaitComplement;
    }
}

void EcuModel::OnTesterBlock(uint64_t tUs) {
    ++stats_.blocksFromTester;
    uint8_t counter = rx_[1];
    uint8_t title = rx_[2];
    std::vector<uint8_t> data(rx_.begin() + 3, rx_.end() - 1);
    // The end-of-session block is taken whatever its counter: testers send it with the counter
    // of the last block as often as with the next one.
    if (counter != static_cast<uint8_t>(counter_ + 1) && title != kTitleEndSession) {
        ++stats_.testerCounterErrors;
    }
    // Carry on from the tester's counter, so that a tester that skipped one finds out from the
    // counter of the answer only if it checks its own arithmetic.
    counter_ = counter;
    if (title == kTitleEndSession) {
        ++stats_.sessionsEnded;
        phase_ = Phase::Idle;
        return;
    }
    if (identSent_ < kIdentBlocks) {
        if (title == kTitleAck || title == kTitleNextIdent) {
            StartEcuBlock(kTitleIdent, Bytes(IdentTexts()[identSent_++]), tUs);
        } else {
            StartEcuBlock(kTitleReject, {}, tUs);
        }
        return;
    }
    if (title == kTitleMemoryRead && data.size() == 3) {
        size_t count = std::min<size_t>(data[0], kMaxBlockLength - 3);
        uint16_t address = static_cast<uint16_t>(data[1] << 8 | data[2]);
        std::vector<uint8_t> value;
        for (size_t i = 0; i < count; ++i) {
            value.push_back(sc_.sweepMemory ? sweepNext_++
                                            : ReadEcuMemory(static_cast<uint16_t>(address + i), tUs));
        }
        ++stats_.pollCycles;
        StartEcuBlock(kTitleMemoryValue, value, tUs);
        return;
    }
    uint16_t adc = 0;
    if (title == kTitleAdcRead && data.size() == 1 && ReadEcuAdc(data[0], tUs, &adc)) {
        ++stats_.pollCycles;
        StartEcuBlock(kTitleAdcValue, {static_cast<uint8_t>(adc >> 8), static_cast<uint8_t>(adc)},
                      tUs);
        return;
    }
    if (title == kTitleAck) {
        StartEcuBlock(kTitleAck, {}, tUs);
        return;
    }
    StartEcuBlock(kTitleReject, {}, tUs);
}

void EcuModel::GoSilent() {
    if (phase_ != Phase::Silent) {
        ++stats_.faultsInjected;
    }
    phase_ = Phase::Silent;
}

void EcuModel::HangUp(uint64_t tUs) {
    ++stats_.hangUps;
    ++stats_.faultsInjected;
    out_.clear(); // whatever sat in the port's buffers goes with the port
    phase_ = Phase::Hung;
    hungUntilUs_ = tUs + sc_.hangUpPauseUs;
    pending_.active = false;
    decoder_.Reset();
}

void EcuModel::DropOutputAfter(uint64_t tUs) {
    while (!out_.empty() && out_.back().readyUs > tUs) {
        out_.pop_back();
    }
    lineFreeUs_ = tUs;
}

} // namespace ecusim
