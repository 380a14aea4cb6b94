// A tester on a virtual clock, driving the ECU model the way the logger's fake platform does:
// a write costs 20 us, a read takes the next byte if it arrives within the 1500 ms read time-out
// (moving the clock to its arrival) and otherwise returns nothing 1500 ms later.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ecu_model.h"

namespace ecusim {

constexpr uint64_t kReadTimeoutUs = 1500000;
using Bytes = std::vector<int>; // what the tester read, -1 for a read that timed out

struct FakeLine {
    EcuModel model;
    uint64_t now = 1000000;
    std::vector<uint64_t> arrivals; // arrival time of every byte read
    int writes = 0;                 // bytes written so far
    int slowWrite = 0;              // this write (counted from 1) first waits slowWriteUs
    uint64_t slowWriteUs = 0;

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
            if (model.PopByte(now, &b, &d)) {
                arrivals.push_back(t);
                return b;
            }
        }
        Sleep(kReadTimeoutUs);
        return -1;
    }
    void Sleep(uint64_t us) { model.Advance(now += us); }
    void Rts(bool on) { model.SetRts(on, now); } // on pulls the line low: a zero

    // The 5-baud address as the logger clocks it out on RTS, then its purge of the buffers at the
    // end of the stop bit. cutStopUs > 0 pulls the line low again that far into the stop bit.
    Bytes WakeUp(uint8_t address = kEcuAddress, bool flipParity = false,
                 uint64_t bitUs = 200000, uint64_t cutStopUs = 0) {
        const bool parity = (__builtin_popcount(address & 0x7F) % 2 == 0) != flipParity;
        for (int i = 0; i < 9; ++i) { // start bit, seven address bits, parity
            const bool bit = i == 0 ? false : i < 8 ? (address >> (i - 1)) & 1 : parity;
            Rts(!bit);
            Sleep(bitUs);
        }
        Rts(false);
        Sleep(cutStopUs ? cutStopUs : bitUs);
        model.Purge(now);
        if (cutStopUs)
            Rts(true);
        return {Read(), Read(), Read()};
    }
    // Sends a block with the byte handshake; returns the echo and then the complement of each
    // byte (the block end has only its echo).
    Bytes SendBlock(const std::vector<uint8_t>& block) {
        Bytes back;
        for (size_t i = 0; i < block.size(); ++i) {
            Write(block[i]);
            back.push_back(Read());
            if (i + 1 < block.size())
                back.push_back(Read());
        }
        return back;
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
    // Wake-up, the answer to keyword 2 and the opening exchange; true if every step went as a
    // healthy peer makes it go.
    bool Connect() {
        if (WakeUp() != Bytes{0x55, 0x0B, 0x02})
            return false;
        Write(0xFD);
        if (Read() != 0xFD)
            return false;
        for (int k = 1; k <= 13; k += 2) { // the texts themselves are the logger's tests' concern
            const Bytes block = GetBlock();
            if (block.size() < 4 || block[1] != k || block[2] != 0xF6 || block.back() != 0x03)
                return false;
            uint8_t title = k + 1 == 10 ? 0x07 : 0x09;
            if (k < 13 && SendBlock({0x03, static_cast<uint8_t>(k + 1), title, 0x03}).back() != 3)
                return false;
        }
        return true;
    }
};

} // namespace ecusim
