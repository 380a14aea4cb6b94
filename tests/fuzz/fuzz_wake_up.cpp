// The wake-up's answers: whatever the line brings after the address, the wake-up succeeds exactly
// for sync 55h, keywords 0Bh 02h and the echo of its FDh, writes FDh only after both keywords,
// and otherwise ends with one of its log lines.
//
// Input: options (fuzzinput), then the line after the address.
#include "fuzz_line.h"

#include "link/serial_line.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

bool LogIsOneOf(std::initializer_list<const char*> lines) {
    for (const char* line : lines)
        if (fakeOs.logFile == line)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const bool autoEcho = (data[0] & fuzzinput::AUTO_ECHO) != 0;
    const uint8_t* line = data + 1;
    const size_t n = size - 1;
    FuzzReset(line, n, autoEcho);

    const int ok = WakeUpEcu();

    // The address: ten RTS steps, the line left released.
    const std::vector<int> address = {1, 1, 1, 1, 1, 0, 1, 1, 1, 0};
    std::vector<int> rts;
    for (const auto& step : fakeOs.rts)
        rts.push_back(step.second);
    FUZZ_CHECK(rts == address);
    const uint8_t answer[] = {0x55, 0x0B, 0x02};
    const bool keywordsRight = n >= 3 && std::memcmp(line, answer, 3) == 0;
    const bool echoRight = autoEcho || (n >= 4 && line[3] == 0xFD);
    FUZZ_CHECK(ok == (keywordsRight && echoRight));
    FUZZ_CHECK(fakeOs.written == (keywordsRight ? std::vector<uint8_t>{0xFD}
                                                : std::vector<uint8_t>{}));
    FUZZ_CHECK(fakeOs.messages.empty());
    FUZZ_CHECK(fakeOs.portOpen);
    FUZZ_CHECK(fakeOs.logUsesOutsideLock == 0);
    if (ok) {
        FUZZ_CHECK(fakeOs.logFile.empty());
        return 0;
    }
    if (n >= 1 && line[0] != 0x55) {
        char expected[40];
        std::snprintf(expected, sizeof expected, "\r\nIncorrect baudrate = %02Xh", line[0]);
        FUZZ_CHECK(fakeOs.logFile == expected);
        return 0;
    }
    FUZZ_CHECK(LogIsOneOf({"\r\nDevice not responding", "\r\nAnswer not 0x0B",
                           "\r\nAnswer not 0x02", "\r\nIncorrect echo"}));
    return 0;
}
