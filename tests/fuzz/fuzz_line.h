// What the line's fuzz targets share: the layout of their input and the program on
// the test platform (tests/support/fake_os.h) with the input as the line's far end.
#pragma once

#include "fake_os.h"
#include "fuzz_check.h"

// The option bits at the head of a line target's input.
namespace fuzzinput {
constexpr uint8_t AUTO_ECHO = 0x01; // the platform echoes written bytes; the input holds the ECU's
constexpr uint8_t DEBUG_LOG = 0x02; // the reader thread writes its per-cycle lines
} // namespace fuzzinput

// A fresh program whose open port reads the input, one byte per read, each taking a byte's time
// at 9600 baud. Without autoEcho the input also holds the adapter's echoes; once it is used up
// every read waits out its time, as on a silent line. The reader thread is only recorded.
inline void FuzzReset(const uint8_t* line, size_t size, bool autoEcho) {
    ResetFakeOs();
    fakeOs.ecuScript.assign(line, line + size);
    fakeOs.echoOff = !autoEcho;
    fakeOs.scriptByteUs = 1042;
    fakeOs.portOpen = true;
    fakeOs.timeoutsSet = true;
    fakeOs.logOpen = true;
    fakeOs.holdReader = true;
}
