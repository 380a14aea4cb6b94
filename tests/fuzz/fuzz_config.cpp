// The reading of Tarvex.cfg at start-up: whatever the file holds, the port name is the file's
// bytes up to the first NUL, or nothing when the file is too long, never longer than 9
// characters; only a name without control characters is opened, and the log says which name
// was taken.
//
// Input: the file's bytes.
#include "fuzz_line.h"

#include "app/session.h"

#include <cstring>
#include <cwchar>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReset(nullptr, 0, false);
    fakeOs.portOpen = false;
    fakeOs.configBytes.assign(reinterpret_cast<const char*>(data), size);
    std::wmemset(portName, L'x', PORT_NAME_CHARS + 1);
    const bool fits = size <= PORT_NAME_CHARS;
    const void* nul = std::memchr(data, 0, size);
    const size_t named = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    std::wstring expected;
    if (fits)
        for (size_t i = 0; i < named; i++)
            expected += static_cast<wchar_t>(data[i]);
    fakeOs.openablePorts = {expected}; // whether it is opened is the program's choice

    const int ok = StartSession();

    const size_t nameLength = std::wcslen(portName); // stays inside the array: terminated
    FUZZ_CHECK(nameLength <= PORT_NAME_CHARS);
    FUZZ_CHECK(portName == expected);

    bool deviceName = nameLength > 0;
    for (size_t i = 0; i < nameLength; i++)
        if (portName[i] < 0x20)
            deviceName = false;
    FUZZ_CHECK(ok == deviceName);
    FUZZ_CHECK(fakeOs.portOpenCalls == (deviceName ? 1 : 0));
    if (deviceName)
        FUZZ_CHECK(fakeOs.openedPort == portName);
    FUZZ_CHECK(fakeOs.messages.size() == (ok ? 0u : 1u));
    FUZZ_CHECK(fakeOs.logUsesOutsideLock == 0);

    // The log names what was taken, byte for byte, or says why nothing was.
    FUZZ_CHECK(fakeOs.logFile.compare(0, 14, "Starting ...\r\n") == 0);
    const std::string taken =
        "Starting ...\r\nRead Config file: " + std::string(data, data + named) + "\r\n";
    if (fits)
        FUZZ_CHECK(fakeOs.logFile.compare(0, taken.size(), taken) == 0);
    else
        FUZZ_CHECK(fakeOs.logFile.compare(14, 21, "Config file refused: ") == 0);
    FUZZ_CHECK(LogEndsWith(ok ? "COM Opened\r\n" : "\r\nCannot open COM port"));
    return 0;
}
