// Reads the ECU address that the tester clocks out at 5 baud by switching RTS by hand: one start
// bit (low), seven address bits least significant first, an odd-parity bit and a stop bit (high),
// 200 ms each. Only the times of the level changes are known, so the decoder measures each run of
// equal level and counts how many bit slots it covers.
#pragma once

#include <cstdint>

namespace ecusim {

constexpr uint64_t kSlowBitUs = 200000;     // one bit at 5 baud
constexpr uint64_t kSlowBitSlackUs = 50000; // a run may be off by a quarter bit either way

struct AddressFrame {
    uint8_t address;    // the seven address bits
    bool parityOk;      // the eighth bit makes the count of ones odd
    uint64_t stopEndUs; // nominal end of the stop bit
    uint64_t settledUs; // the frame stands once the line has stayed high until then
};

enum class DecodeResult {
    Pending, // nothing to report yet
    Frame,   // a rise left a complete frame, provided the line stays high until settledUs
    Broken   // a run did not fit the bit grid, or the line stayed low into the stop bit
};

class AddressDecoder {
  public:
    // lowNow: the K-line level after the change (true = RTS asserted, line low).
    DecodeResult OnEdge(bool lowNow, uint64_t tUs, AddressFrame* frame);
    void Reset() { inFrame_ = false; }

  private:
    bool inFrame_ = false;    // a start bit has been seen and the frame is not finished
    int slots_ = 0;           // bit slots seen so far, the start bit included
    uint8_t bits_ = 0;        // address and parity bits seen so far, least significant first
    uint64_t runStartUs_ = 0; // when the current run of equal level began
};

} // namespace ecusim
