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

struct FakeLine {
    EcuModel model;
    uint64_t now = 1000000;
    std::vector<uint64_t> arrivals; // arrival time of every byte read

    explicit FakeLine(const Scenario& s = Scenario()) : model(s) {
        model.SetLineSettings(9600, 8, 0, 1, now);
    }

    void Write(uint8_t b) {
        model.TesterWrites(b, now);
        now += 20;
    }
    // The byte read, or -1 when the read timed out.
    int Read() {
        uint64_t t = 0;
        if (model.NextReady(&t) && t <= now + kReadTimeoutUs) {
            now = std::max(now, t);
            uint8_t b = 0;
            Direction d;
            if (model.PopByte(now, &b, &d)) {
                arrivals.push_back(t);
                return b;
            }
        }
        now += kReadTimeoutUs;
        model.Advance(now);
        return -1;
    }
    void Sleep(uint64_t us) {
        now += us;
        model.Advance(now);
    }
    void Rts(bool on) { model.SetRts(on, now); }

    // The 5-baud address as the logger clocks it out on RTS, then its purge of the buffers.
    void SendAddress(uint8_t address, bool flipParity = false, uint64_t bitUs = 200000) {
        int ones = 0;
        for (int i = 0; i < 7; ++i)
            ones += (address >> i) & 1;
        bool parity = (ones % 2 == 0) != flipParity;
        bool bits[10] = {false};
        for (int i = 0; i < 7; ++i)
            bits[1 + i] = (address >> i) & 1;
        bits[8] = parity;
        bits[9] = true;
        for (bool bit : bits) {
            Rts(!bit); // RTS on pulls the line low: a zero
            Sleep(bitUs);
        }
        model.Purge(now);
    }
    // Wake-up answer: the three bytes read after the address (-1 for each that did not come).
    std::vector<int> WakeUp(uint8_t address = kEcuAddress, bool flipParity = false,
                            uint64_t bitUs = 200000) {
        SendAddress(address, flipParity, bitUs);
        std::vector<int> got;
        for (int i = 0; i < 3; ++i)
            got.push_back(Read());
        return got;
    }
    // Sends a block with the byte handshake. Returns, per byte, the echo and then the complement
    // (the block end has only its echo).
    std::vector<int> SendBlock(const std::vector<uint8_t>& block) {
        std::vector<int> back;
        for (size_t i = 0; i < block.size(); ++i) {
            Write(block[i]);
            back.push_back(Read());
            if (i + 1 < block.size())
                back.push_back(Read());
        }
        return back;
    }
    // Receives a block, answering every byte but the end with its complement. Returns the
    // block's bytes; *echoesOk tells whether every complement came back as its echo.
    std::vector<int> GetBlock(bool* echoesOk = nullptr) {
        std::vector<int> block;
        bool ok = true;
        int length = Read();
        if (length < 0)
            return block;
        block.push_back(length);
        for (int i = 0; i <= length; ++i) {
            if (i > 0) {
                int b = Read();
                if (b < 0)
                    break;
                block.push_back(b);
            }
            if (i < length) {
                uint8_t c = static_cast<uint8_t>(0xFF - block.back());
                Write(c);
                ok = ok && Read() == c;
            }
        }
        if (echoesOk)
            *echoesOk = ok;
        return block;
    }
    static std::vector<uint8_t> Ack(uint8_t counter) { return {0x03, counter, 0x09, 0x03}; }

    // Wake-up, the answer to keyword 2 and the opening exchange; true if every step went as a
    // healthy peer makes it go.
    bool Connect() {
        if (WakeUp() != std::vector<int>{0x55, 0x0B, 0x02})
            return false;
        Sleep(10000);
        Write(0xFD);
        if (Read() != 0xFD)
            return false;
        for (int k = 1; k <= 13; k += 2) {
            std::vector<int> b = GetBlock();
            if (b.size() < 4 || b[1] != k || b[2] != 0xF6 || b.back() != 0x03)
                return false;
            if (k == 13)
                break;
            uint8_t title = k + 1 == 10 ? 0x07 : 0x09;
            SendBlock({0x03, static_cast<uint8_t>(k + 1), title, 0x03});
        }
        return true;
    }
};

} // namespace ecusim
