// The serial line: one-byte transfers and the wake-up.
//
// The adapter pulls the K-line low while RTS is asserted, so the ECU's address is sent by hand,
// one 200 ms step per bit. Afterwards every byte goes at 9600 baud, and because transmit and
// receive both sit on the one K-line, each byte written comes back as an echo before anything the
// ECU sends after it.
#include "link/serial_line.h"

#include "log/log_texts.h"
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
constexpr int ADDRESS_STEPS = 10;
static_assert(std::size(ADDRESS_RTS_STEPS) == ADDRESS_STEPS, "ten bits, each one step");

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

// Waits until the millisecond tick count reaches `deadline` (at once if it has passed).
int WaitUntil(uint32_t deadline) {
    const int32_t left = static_cast<int32_t>(deadline - OsTickCount());
    return WaitOrStop(left > 0 ? static_cast<uint32_t>(left) : 0);
}

// Whether c is the letter `upper`, in either case.
int IsLetter(wchar_t c, char upper) { return c == upper || c == upper - 'A' + 'a'; }

int NotResponding() {
    if (!Stopping())
        LogWrite(LOG_NOT_RESPONDING);
    return 0;
}

} // namespace

void DevicePathOf(const wchar_t* name, wchar_t path[DEVICE_PATH_CHARS]) {
    // "COM" in any case, a number, and at most a colon that ends the name.
    int comLength = 0; // the name's length without its colon, when it is a COM port's
    if (IsLetter(name[0], 'C') && IsLetter(name[1], 'O') && IsLetter(name[2], 'M')) {
        int i = 3;
        while (name[i] >= '0' && name[i] <= '9')
            i++;
        if (i > 3 && (name[i] == 0 || (name[i] == ':' && name[i + 1] == 0)))
            comLength = i;
    }
    int n = 0;
    for (const wchar_t* prefix = comLength ? L"\\\\.\\" : L""; *prefix; prefix++)
        path[n++] = *prefix;
    for (int i = 0; name[i] && (!comLength || i < comLength) && n < DEVICE_PATH_CHARS - 1; i++)
        path[n++] = name[i];
    path[n] = 0;
}

namespace {
wchar_t openedPath[DEVICE_PATH_CHARS]; // the device the run opened, which each attempt reopens
} // namespace

int OpenPort(const wchar_t* name) {
    DevicePathOf(name, openedPath);
    return OsOpenPort(openedPath);
}

int ReopenPort() { return openedPath[0] && OsOpenPort(openedPath); }

void SetKLineSettings(LineSettings* s) {
    s->baudRate = LINE_BAUD_RATE;
    s->byteSize = 8;
    s->parity = 0;
    s->stopBits = 0;
    s->binary = 1;
    s->dtrControl = 1;
    s->rtsControl = 0; // RTS moves only by hand, for the 5-baud address
    s->outxCtsFlow = s->outxDsrFlow = s->dsrSensitivity = 0;
    s->outX = s->inX = 0;
    s->errorCharOn = s->discardNull = s->errorChar = 0;
    // The address holds the line low for a whole second: a break, which with abortOnError set
    // would stop every read until the error is cleared.
    s->abortOnError = 0;
    // The XON/XOFF characters and thresholds stay as the driver has them; only a pair that
    // Windows would refuse is made the usual one.
    if (s->xonChar == s->xoffChar) {
        s->xonChar = 0x11;
        s->xoffChar = 0x13;
    }
}

int ConfigureLine(int times) {
    LineSettings settings = {};
    OsReadLineSettings(&settings);
    SetKLineSettings(&settings);
    for (int i = 0; i < times; i++)
        if (!OsApplyLineSettings(&settings))
            return 0;
    return 1;
}

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
        LogWrite(LOG_TIMEOUTS_NOT_SET);
        OsClosePort();
        return 0;
    }
    // Applied twice, as some adapters' drivers only take the rate on the second setting.
    if (!ConfigureLine(2)) {
        LogWrite(LOG_STATE_NOT_SET);
        OsClosePort();
        return 0;
    }
    if (lineMayBeLow) {
        SetRts(0);
        if (!WaitOrStop(IDLE_BEFORE_ADDRESS_MS))
            return 0;
    }
    // Each step's deadline is counted from the start bit, not from the step before: Windows ends
    // a wait up to a timer tick late, and ten such errors would add up to half a bit.
    uint32_t startBit = 0;
    for (int step = 0; step < ADDRESS_STEPS; step++) {
        SetRts(ADDRESS_RTS_STEPS[step]);
        if (step == 0)
            startBit = OsTickCount();
        if (!WaitUntil(startBit + (step + 1) * BIT_TIME_MS)) {
            SetRts(0); // the address is broken off; the line is left released
            return 0;
        }
    }
    // Whatever arrived while the line was being toggled is not an answer, and the address's long
    // low may have left a line error behind.
    OsPurgePort();
    OsClearLineErrors();

    if (!ReadByte())
        return NotResponding();
    if (rxByte != SYNC_BYTE) {
        char line[40];
        std::snprintf(line, sizeof line, LOG_WRONG_SYNC_FORMAT, rxByte);
        LogWriteNarrow(line);
        return 0;
    }
    if (!ReadByte())
        return NotResponding();
    if (rxByte != KEYWORD_1) {
        LogWrite(LOG_WRONG_KEYWORD_1);
        return 0;
    }
    if (!ReadByte())
        return NotResponding();
    if (rxByte != KEYWORD_2) {
        LogWrite(LOG_WRONG_KEYWORD_2);
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
        LogWrite(LOG_WRONG_ECHO);
        return 0;
    }
    return 1;
}
