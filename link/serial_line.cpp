// The serial line: one-byte transfers and the wake-up.
//
// The adapter pulls the K-line low while RTS is asserted, so the ECU's address is sent by hand,
// one 200 ms step per bit. Afterwards every byte goes at 9600 baud, and because transmit and
// receive both sit on the one K-line, each byte written comes back as an echo before anything the
// ECU sends after it.
#include "link/serial_line.h"

#include "log/session_log.h"
#include "platform/platform.h"

#include <cstdio>
#include <iterator>

uint8_t rxByte;
uint8_t txByte;

namespace {

constexpr uint32_t BIT_TIME_MS = 200; // one bit of the address at 5 baud
constexpr uint32_t IDLE_BEFORE_ADDRESS_MS = 300; // the idle high an ECU wants before a start bit

// The address 0x10 as RTS steps, one per bit time: start bit, seven address bits least
// significant first, odd parity, stop bit. RTS asserted (1) pulls the line low, a 0 bit.
constexpr int ADDRESS_RTS_STEPS[] = {1, 1, 1, 1, 1, 0, 1, 1, 1, 0};
static_assert(std::size(ADDRESS_RTS_STEPS) == 10, "ten bits, each one step");

constexpr uint8_t SYNC_BYTE = 0x55;
constexpr uint8_t KEYWORD_1 = 0x0B;
constexpr uint8_t KEYWORD_2 = 0x02;

int Stopping() { return OsLineStopped(); }

// Set by every command that pulls the line low, cleared only by a release that succeeded. A
// failed release leaves the K-line held low, and an address sent from there has no fall for its
// start bit: the ECU would never hear it, at this attempt or any later one.
int lineMayBeLow = 0;

void SetRts(int asserted) {
    const int ok = OsSetRts(asserted);
    if (asserted)
        lineMayBeLow = 1;
    else if (ok)
        lineMayBeLow = 0;
}

// The wake-up's pauses. The program closing ends them early (0): the wake-up then stops where it
// is, without a word in the log, as nothing went wrong on the line.
int WaitOrStop(uint32_t ms) {
    OsSleep(ms);
    return !Stopping();
}

int NotResponding() {
    if (!Stopping())
        LogWrite(L"\r\nDevice not responding");
    return 0;
}

} // namespace

int ReadByte() {
    if (Stopping())
        return 0;
    uint8_t byte = 0;
    uint32_t received = 0;
    if (!OsReadPortByte(&byte, &received) || received != 1)
        return 0;
    rxByte = byte;
    return 1;
}

int WriteByte(uint8_t b) {
    txByte = b;
    if (Stopping())
        return 0;
    return OsWritePortByte(txByte);
}

int WakeUpEcu() {
    if (!OsApplyPortTimeouts(READ_WAIT_MS)) {
        LogWrite(L"\r\nCannot Set Timeouts");
        OsClosePort();
        return 0;
    }
    // Applied twice, as some adapters' drivers only take the rate on the second setting.
    if (!OsApplyLineSettings(LINE_BAUD_RATE) || !OsApplyLineSettings(LINE_BAUD_RATE)) {
        LogWrite(L"\r\nCannot Set State");
        OsClosePort();
        return 0;
    }
    if (lineMayBeLow) {
        SetRts(0);
        if (!WaitOrStop(IDLE_BEFORE_ADDRESS_MS))
            return 0;
    }
    for (int asserted : ADDRESS_RTS_STEPS) {
        SetRts(asserted);
        if (!WaitOrStop(BIT_TIME_MS)) {
            SetRts(0); // the address is broken off; the line is left released
            return 0;
        }
    }
    // Whatever arrived while the line was being toggled is not an answer.
    OsPurgePort();

    if (!ReadByte())
        return NotResponding();
    if (rxByte != SYNC_BYTE) {
        char line[40];
        std::snprintf(line, sizeof line, "\r\nIncorrect baudrate = %2.2Xh", rxByte);
        LogWriteNarrow(line);
        return 0;
    }
    if (!ReadByte())
        return NotResponding();
    if (rxByte != KEYWORD_1) {
        LogWrite(L"\r\nAnswer not 0x0B");
        return 0;
    }
    if (!ReadByte())
        return NotResponding();
    if (rxByte != KEYWORD_2) {
        LogWrite(L"\r\nAnswer not 0x02");
        return 0;
    }
    if (!WaitOrStop(10))
        return 0;
    WriteByte(static_cast<uint8_t>(0xFF - KEYWORD_2));
    // No echo leaves rxByte at the keyword, which fails the comparison as a wrong echo does.
    ReadByte();
    if (Stopping())
        return 0;
    if (rxByte != 0xFD) {
        LogWrite(L"\r\nIncorrect echo");
        return 0;
    }
    return 1;
}
