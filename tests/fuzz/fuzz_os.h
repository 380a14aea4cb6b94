// The platform the fuzz targets link: the far end of the serial port is the fuzz input, and
// everything else (log, clock, message boxes, the reader thread) is an inert record that the
// targets check afterwards.
//
// The input is the peer's side of the line, one byte per read: the adapter's echoes and the
// ECU's bytes in the order the program reads them. When autoEcho is set the platform echoes every
// byte written by itself, as the adapter does, and the input carries only the ECU's bytes, which
// lets the fuzzer go deep into an exchange without having to rediscover every echo. Once the
// input is used up every read waits out its time and delivers nothing, as on a silent line.
//
// The corpus generator links the same platform with a recording peer (the ECU model) in place of
// the input: see the peer hooks.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// The layout of a fuzz input for the line targets: option bytes first, then the line.
namespace fuzzinput {
constexpr uint8_t AUTO_ECHO = 0x01; // the platform echoes written bytes; the input holds the ECU's
constexpr uint8_t DEBUG_LOG = 0x02; // the reader thread writes its per-cycle lines
} // namespace fuzzinput

struct FuzzMessage {
    std::wstring text;
    int ownedByMainWindow;
};

struct FuzzOs {
    // The line.
    const uint8_t* input = nullptr; // the peer's bytes
    size_t inputSize = 0;
    size_t inputPos = 0;            // bytes delivered so far
    bool autoEcho = false;
    std::deque<uint8_t> echoes;     // echoes waiting to be read (autoEcho)
    uint8_t lastDelivered = 0;      // the last byte a read delivered
    int reads = 0;
    int emptyReads = 0;
    std::vector<uint8_t> written;
    std::function<void(uint8_t)> onWrite; // after each byte written

    // A recording peer in place of the input (the corpus generator).
    std::function<int(uint8_t*)> peerRead; // nonzero with a byte, 0 when the wait ran out
    std::function<void(uint8_t)> peerWrite;
    std::function<void(int)> peerRts;
    std::function<void()> peerPurge;
    std::function<void(uint32_t)> peerLineSettings;

    // The port.
    bool portOpen = false;
    std::wstring openedPort;
    int opens = 0;
    std::vector<int> rts; // every RTS command, asserted or not

    // Time: a byte takes its time on the line, an empty read the whole wait.
    uint64_t nowUs = 1000000;

    // The log, kept up to LOG_CAP bytes; logBytes counts everything written.
    static constexpr size_t LOG_CAP = 1 << 20;
    std::string log;
    size_t logBytes = 0;
    bool logOpen = false;
    int lockDepth = 0;
    int lockErrors = 0; // a nested enter or a leave without an enter

    // "Tarvex.cfg".
    std::string config;

    // The user.
    std::vector<FuzzMessage> messages;
    bool mainWindowClosed = false;

    // The reader thread: created and resumed on record only; the target runs it itself.
    ReaderThreadProc readerProc = nullptr;
    int threadsCreated = 0;
    bool readerResumed = false;
};

extern FuzzOs fuzzOs;

// A fresh platform and fresh program state, with the line reading from `line`. The port is open.
void FuzzReset(const uint8_t* line, size_t size, bool autoEcho);

// Whether the log ends with `tail` (false when the sink was capped).
bool LogEndsWith(const std::string& tail);

// Stops the process with a message when an invariant does not hold: libFuzzer reports the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            FuzzCheckFailed(#cond, __FILE__, __LINE__);                                            \
    } while (0)
[[noreturn]] void FuzzCheckFailed(const char* what, const char* file, int line);
