// Win32 side of the seam: the COM port, driven one byte at a time with synchronous I/O.
#include "platform/platform.h"

#include <windows.h>

namespace {

HANDLE portHandle = INVALID_HANDLE_VALUE; // the open serial port

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
    DWORD count = 0;
    BOOL ok = ReadFile(portHandle, byte, 1, &count, nullptr);
    *received = count;
    return ok != 0;
}

int OsWritePortByte(uint8_t byte) {
    DWORD count = 0;
    return WriteFile(portHandle, &byte, 1, &count, nullptr) != 0;
}
