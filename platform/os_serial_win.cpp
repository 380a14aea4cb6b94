// Win32 side of the seam: the COM port, driven one byte at a time with synchronous I/O.
#include "platform/os_wait_win.h"
#include "platform/platform.h"

#include <windows.h>

namespace {

HANDLE portHandle = INVALID_HANDLE_VALUE; // the open serial port

// A read by a thread that keeps the window responsive goes through a helper thread, so that the
// window's thread can wait for its end and dispatch messages meanwhile. The port is synchronous,
// and a read cannot be called off: a read left behind by a close finishes on the helper within
// its own wait, and its byte goes nowhere. One read is with the helper at a time.
struct ReadHelper {
    HANDLE thread = nullptr;
    HANDLE requested = nullptr; // auto-reset: one read to do
    HANDLE done = nullptr;      // auto-reset: that read has returned
    int busy = 0;               // a read was handed over and its end not yet seen
    uint8_t byte = 0;
    DWORD count = 0;
    BOOL ok = FALSE;
} helper;

DWORD WINAPI ReadHelperMain(LPVOID) {
    for (;;) {
        WaitForSingleObject(helper.requested, INFINITE);
        helper.count = 0;
        helper.ok = ReadFile(portHandle, &helper.byte, 1, &helper.count, nullptr);
        SetEvent(helper.done);
    }
}

int StartReadHelper() {
    if (helper.thread)
        return 1;
    helper.requested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    helper.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (helper.requested && helper.done)
        helper.thread = CreateThread(nullptr, 0, ReadHelperMain, nullptr, 0, nullptr);
    return helper.thread != nullptr;
}

// 0 with nothing delivered when the line was stopped during the wait.
int ReadThroughHelper(uint8_t* byte, uint32_t* received) {
    if (helper.busy && WaitDispatching(helper.done, INFINITE) != WaitSignalled)
        return 0;
    helper.busy = 1;
    SetEvent(helper.requested);
    if (WaitDispatching(helper.done, INFINITE) != WaitSignalled)
        return 0;
    helper.busy = 0;
    *byte = helper.byte;
    *received = helper.count;
    return helper.ok != 0;
}

} // namespace

int OsOpenPort(const wchar_t* name) {
    portHandle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    return portHandle != INVALID_HANDLE_VALUE;
}

void OsClosePort() {
    if (portHandle != INVALID_HANDLE_VALUE)
        CloseHandle(portHandle);
    portHandle = INVALID_HANDLE_VALUE;
}

int OsPortIsOpen() { return portHandle != INVALID_HANDLE_VALUE; }

int OsApplyPortTimeouts(uint32_t readWaitMs) {
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(portHandle, &timeouts);
    // MAXDWORD interval and multiplier: return at once with a byte that is waiting, otherwise
    // wait for the first byte, but never longer than the constant.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = readWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(portHandle, &timeouts) != 0;
}

int OsApplyLineSettings(uint32_t baudRate) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(portHandle, &dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE; // RTS moves only by hand, for the 5-baud address
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.XonChar = 0;
    dcb.XoffChar = 0;
    dcb.ErrorChar = 0;
    return SetCommState(portHandle, &dcb) != 0;
}

int OsSetRts(int asserted) {
    return EscapeCommFunction(portHandle, asserted ? SETRTS : CLRRTS) != 0;
}

int OsPurgePort() { return PurgeComm(portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0; }

int OsReadPortByte(uint8_t* byte, uint32_t* received) {
    *received = 0;
    if (WaitsKeepWindowResponsive() && StartReadHelper())
        return ReadThroughHelper(byte, received);
    DWORD count = 0;
    BOOL ok = ReadFile(portHandle, byte, 1, &count, nullptr);
    *received = count;
    return ok != 0;
}

int OsWritePortByte(uint8_t byte) {
    DWORD count = 0;
    return WriteFile(portHandle, &byte, 1, &count, nullptr) != 0;
}
