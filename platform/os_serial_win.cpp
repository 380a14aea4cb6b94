// Win32 side of the seam: the COM port, driven one byte at a time with synchronous I/O.
#include "platform/os_wait_win.h"
#include "platform/platform.h"

#include <windows.h>

namespace {

HANDLE portHandle = INVALID_HANDLE_VALUE; // the open serial port

// The port is synchronous, and a read cannot be called off (CancelSynchronousIo and CancelIoEx
// do nothing to a serial read under Wine). So when the window's thread reads during an attempt,
// it reads in slices of READ_SLICE_MS, handling its messages between them: it hears a close
// within a slice, and a stopped read leaves nothing behind on the port. A slice returns the
// moment a byte arrives, so the line sees no difference.
constexpr DWORD READ_SLICE_MS = 10;
DWORD readWaitMs = 0; // the longest wait for a byte, as the caller set it before its first read
// Set while the port's time-outs are those of a slice. Whoever reads next without slicing (the
// reader thread, started after the attempt that sliced) puts the caller's time-outs back first.
int timeoutsSliced = 0;

int ApplyReadWait(DWORD ms) {
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(portHandle, &timeouts);
    // MAXDWORD interval and multiplier: return at once with a byte that is waiting, otherwise
    // wait for the first byte, but never longer than the constant.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(portHandle, &timeouts) != 0;
}

int ReadInSlices(uint8_t* byte, uint32_t* received) {
    if (!timeoutsSliced) {
        if (!ApplyReadWait(READ_SLICE_MS))
            return 0;
        timeoutsSliced = 1;
    }
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(portHandle, byte, 1, &count, nullptr))
            return 0;
        if (count) {
            *received = count;
            return 1;
        }
        HandleWaitingMessages();
        if (OsLineStopped())
            return 0;
        if (GetTickCount64() - start >= readWaitMs)
            return 1; // the whole wait passed without a byte
    }
}

} // namespace

int OsOpenPort(const wchar_t* path) {
    portHandle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    return portHandle != INVALID_HANDLE_VALUE;
}

void OsClosePort() {
    if (portHandle != INVALID_HANDLE_VALUE)
        CloseHandle(portHandle);
    portHandle = INVALID_HANDLE_VALUE;
}

int OsPortIsOpen() { return portHandle != INVALID_HANDLE_VALUE; }

int OsApplyPortTimeouts(uint32_t ms) {
    readWaitMs = ms;
    timeoutsSliced = 0;
    return ApplyReadWait(ms);
}

int OsReadLineSettings(LineSettings* settings) {
    *settings = {};
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandle, &dcb))
        return 0;
    settings->baudRate = dcb.BaudRate;
    settings->byteSize = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stopBits = dcb.StopBits;
    settings->binary = static_cast<uint8_t>(dcb.fBinary);
    settings->dtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    settings->rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    settings->outxCtsFlow = static_cast<uint8_t>(dcb.fOutxCtsFlow);
    settings->outxDsrFlow = static_cast<uint8_t>(dcb.fOutxDsrFlow);
    settings->dsrSensitivity = static_cast<uint8_t>(dcb.fDsrSensitivity);
    settings->outX = static_cast<uint8_t>(dcb.fOutX);
    settings->inX = static_cast<uint8_t>(dcb.fInX);
    settings->errorCharOn = static_cast<uint8_t>(dcb.fErrorChar);
    settings->discardNull = static_cast<uint8_t>(dcb.fNull);
    settings->abortOnError = static_cast<uint8_t>(dcb.fAbortOnError);
    settings->xonLim = dcb.XonLim;
    settings->xoffLim = dcb.XoffLim;
    settings->xonChar = static_cast<uint8_t>(dcb.XonChar);
    settings->xoffChar = static_cast<uint8_t>(dcb.XoffChar);
    settings->errorChar = static_cast<uint8_t>(dcb.ErrorChar);
    return 1;
}

int OsApplyLineSettings(const LineSettings* settings) {
    // What the driver reports now, so that the fields Tarvex leaves alone (parity checking,
    // transmission while XOFF is held, the EOF and event characters) stay as they are.
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(portHandle, &dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings->baudRate;
    dcb.ByteSize = settings->byteSize;
    dcb.Parity = settings->parity;
    dcb.StopBits = settings->stopBits;
    dcb.fBinary = settings->binary;
    dcb.fDtrControl = settings->dtrControl;
    dcb.fRtsControl = settings->rtsControl;
    dcb.fOutxCtsFlow = settings->outxCtsFlow;
    dcb.fOutxDsrFlow = settings->outxDsrFlow;
    dcb.fDsrSensitivity = settings->dsrSensitivity;
    dcb.fOutX = settings->outX;
    dcb.fInX = settings->inX;
    dcb.fErrorChar = settings->errorCharOn;
    dcb.fNull = settings->discardNull;
    dcb.fAbortOnError = settings->abortOnError;
    dcb.XonLim = settings->xonLim;
    dcb.XoffLim = settings->xoffLim;
    dcb.XonChar = static_cast<char>(settings->xonChar);
    dcb.XoffChar = static_cast<char>(settings->xoffChar);
    dcb.ErrorChar = static_cast<char>(settings->errorChar);
    return SetCommState(portHandle, &dcb) != 0;
}

void OsClearLineErrors() {
    DWORD errors = 0;
    ClearCommError(portHandle, &errors, nullptr);
}

int OsSetRts(int asserted) {
    return EscapeCommFunction(portHandle, asserted ? SETRTS : CLRRTS) != 0;
}

int OsPurgePort() { return PurgeComm(portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0; }

int OsReadPortByte(uint8_t* byte, uint32_t* received) {
    *received = 0;
    if (WaitsKeepWindowResponsive())
        return ReadInSlices(byte, received);
    if (timeoutsSliced) {
        if (!ApplyReadWait(readWaitMs))
            return 0;
        timeoutsSliced = 0;
    }
    DWORD count = 0;
    BOOL ok = ReadFile(portHandle, byte, 1, &count, nullptr);
    *received = count;
    return ok != 0;
}

int OsWritePortByte(uint8_t byte) {
    DWORD count = 0;
    return WriteFile(portHandle, &byte, 1, &count, nullptr) != 0;
}
