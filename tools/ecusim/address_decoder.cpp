// The 5-baud address frame, decoded run by run: see address_decoder.h.
#include "address_decoder.h"

namespace ecusim {
namespace {

constexpr int kFrameSlots = 10; // start, 7 address bits, parity, stop

// Number of bit slots a run of durationUs covers, or -1 when it lies too far from the grid.
int SlotsIn(uint64_t durationUs) {
    uint64_t n = (durationUs + kSlowBitUs / 2) / kSlowBitUs;
    uint64_t nominal = n * kSlowBitUs;
    uint64_t off = durationUs > nominal ? durationUs - nominal : nominal - durationUs;
    if (n == 0 || off > kSlowBitSlackUs || n > kFrameSlots) {
        return -1;
    }
    return static_cast<int>(n);
}

bool OddParity(uint8_t eightBits) {
    int ones = 0;
    for (int i = 0; i < 8; ++i) {
        ones += (eightBits >> i) & 1;
    }
    return (ones & 1) == 1;
}

} // namespace

DecodeResult AddressDecoder::OnEdge(bool lowNow, uint64_t tUs, AddressFrame* frame) {
    if (!inFrame_) {
        if (lowNow) { // a start bit
            inFrame_ = true;
            slots_ = 0;
            bits_ = 0;
            runStartUs_ = tUs;
        }
        return DecodeResult::Pending;
    }
    uint64_t duration = tUs > runStartUs_ ? tUs - runStartUs_ : 0;
    runStartUs_ = tUs;
    int remaining = kFrameSlots - slots_;

    if (!lowNow) {
        // A low run ended: start bit and/or zero bits. Low reaching the stop slot is a break.
        int n = SlotsIn(duration);
        if (n < 0 || n >= remaining) {
            inFrame_ = false;
            return DecodeResult::Broken;
        }
        slots_ += n;
        // If the line now stays high, every slot left is a one, the stop bit included.
        remaining = kFrameSlots - slots_;
        uint8_t all = bits_;
        for (int slot = slots_; slot < kFrameSlots - 1; ++slot) {
            all |= static_cast<uint8_t>(1u << (slot - 1));
        }
        frame->address = all & 0x7F;
        frame->parityOk = OddParity(all);
        frame->stopEndUs = tUs + static_cast<uint64_t>(remaining) * kSlowBitUs;
        frame->settledUs = frame->stopEndUs - kSlowBitSlackUs;
        return DecodeResult::Frame;
    }

    // A high run ended. If it covered every slot left, the frame was complete and this fall
    // is the start bit of the next one.
    if (duration + kSlowBitSlackUs >= static_cast<uint64_t>(remaining) * kSlowBitUs) {
        slots_ = 0;
        bits_ = 0;
        return DecodeResult::Pending;
    }
    int n = SlotsIn(duration);
    if (n < 0) {
        // Off the grid: give up on this frame, but the fall may well be a fresh start bit.
        slots_ = 0;
        bits_ = 0;
        return DecodeResult::Broken;
    }
    for (int i = 0; i < n; ++i) {
        bits_ |= static_cast<uint8_t>(1u << (slots_ + i - 1));
    }
    slots_ += n;
    return DecodeResult::Pending;
}

} // namespace ecusim
