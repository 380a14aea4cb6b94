// The fuzz platform: the seam's calls acting on the FuzzOs record.
#include "fuzz_os.h"

#include "app/channel_table.h"
#include "display/chart.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/link_state.h"
#include "link/serial_line.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>

FuzzOs fuzzOs;

namespace {

constexpr uint64_t BYTE_US = 1042;        // one byte at 9600 baud
constexpr uint64_t READ_WAIT_US = 1500000; // a read that gets nothing

} // namespace

void FuzzCheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

void FuzzReset(const uint8_t* line, size_t size, bool autoEcho) {
    fuzzOs.~FuzzOs();
    new (&fuzzOs) FuzzOs();
    fuzzOs.input = line;
    fuzzOs.inputSize = size;
    fuzzOs.autoEcho = autoEcho;
    fuzzOs.portOpen = true;
    fuzzOs.logOpen = true;

    rxByte = 0;
    txByte = 0;
    lineStopRequested.store(0);
    readerStopRequested.store(0);
    blockNumber.store(0);
    effectiveBaudRate.store(0);
    currentChannel = 0;
    historyLength = 0;
    BlockStore = BlockStoreColumns();
    for (auto& value : rawValues)
        value.store(0);
    StoreFlag(LinkState.connected, 0);
    StoreFlag(LinkState.paused, 0);
    StoreFlag(LinkState.debugLog, 1);
}

bool LogEndsWith(const std::string& tail) {
    const std::string& log = fuzzOs.log;
    return fuzzOs.logBytes == log.size() && log.size() >= tail.size() &&
           log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
}

// --- Serial port ------------------------------------------------------------------------------

int OsOpenPort(const wchar_t* name) {
    fuzzOs.opens++;
    fuzzOs.openedPort = name;
    fuzzOs.portOpen = true;
    return 1;
}
void OsClosePort() { fuzzOs.portOpen = false; }
int OsPortIsOpen() { return fuzzOs.portOpen; }
int OsApplyPortTimeouts(uint32_t) { return fuzzOs.portOpen; }
int OsApplyLineSettings(uint32_t baudRate) {
    if (fuzzOs.peerLineSettings)
        fuzzOs.peerLineSettings(baudRate);
    return fuzzOs.portOpen;
}
int OsSetRts(int asserted) {
    fuzzOs.rts.push_back(asserted);
    if (fuzzOs.peerRts)
        fuzzOs.peerRts(asserted);
    return fuzzOs.portOpen;
}
int OsPurgePort() {
    fuzzOs.echoes.clear();
    if (fuzzOs.peerPurge)
        fuzzOs.peerPurge();
    return fuzzOs.portOpen;
}

int OsReadPortByte(uint8_t* byte, uint32_t* received) {
    *received = 0;
    if (!fuzzOs.portOpen)
        return 0;
    fuzzOs.reads++;
    int got = 0;
    if (fuzzOs.peerRead) {
        got = fuzzOs.peerRead(byte);
    } else if (!fuzzOs.echoes.empty()) {
        *byte = fuzzOs.echoes.front();
        fuzzOs.echoes.pop_front();
        got = 1;
    } else if (fuzzOs.inputPos < fuzzOs.inputSize) {
        *byte = fuzzOs.input[fuzzOs.inputPos++];
        got = 1;
    }
    if (!got) {
        fuzzOs.emptyReads++;
        fuzzOs.nowUs += READ_WAIT_US;
        return 1;
    }
    if (!fuzzOs.peerRead)
        fuzzOs.nowUs += BYTE_US;
    fuzzOs.lastDelivered = *byte;
    *received = 1;
    return 1;
}

int OsWritePortByte(uint8_t byte) {
    if (!fuzzOs.portOpen)
        return 0;
    fuzzOs.written.push_back(byte);
    if (fuzzOs.peerWrite)
        fuzzOs.peerWrite(byte);
    else if (fuzzOs.autoEcho)
        fuzzOs.echoes.push_back(byte);
    if (fuzzOs.onWrite)
        fuzzOs.onWrite(byte);
    return 1;
}

// --- Time -------------------------------------------------------------------------------------

uint32_t OsTickCount() { return static_cast<uint32_t>(fuzzOs.nowUs / 1000); }
void OsKeepWindowResponsive(int) {}
void OsSleep(uint32_t ms) { fuzzOs.nowUs += uint64_t(ms) * 1000; }
int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    std::wcsncpy(buffer, L"8:17:45 PM", static_cast<size_t>(capacity) - 1);
    buffer[capacity - 1] = 0;
    return 1;
}

// --- The user ---------------------------------------------------------------------------------

void OsShowMessage(const wchar_t* text, const wchar_t*, int ownedByMainWindow) {
    fuzzOs.messages.push_back({text, ownedByMainWindow});
}
void OsSetStatusText(const wchar_t*) {}
void OsSetPauseButtonText(const wchar_t*) {}
void OsUpdateMainWindow() {}
void OsCloseMainWindow() { fuzzOs.mainWindowClosed = true; }
int OsAskSaveLogPath(wchar_t*, int) { return 0; }

// --- The reader thread ------------------------------------------------------------------------

int OsCreateReaderThread(ReaderThreadProc proc) {
    fuzzOs.readerProc = proc;
    fuzzOs.threadsCreated++;
    return 1;
}
void OsResumeReaderThread() { fuzzOs.readerResumed = true; }
int OsJoinReaderThread(uint32_t) { return 1; }

// --- The chart --------------------------------------------------------------------------------

void OsFillChartBlack() {}
void OsSelectChartPen(ChartPen) {}
void OsSelectChannelBrush(int) {}
void OsDrawPolyline(const ChartPoint*, int) {}
void OsDrawPolygon(const ChartPoint*, int) {}
void OsSetChartTextColour(uint32_t) {}
void OsDrawChartText(int32_t, int32_t, const wchar_t*, int) {}
void OsPresentChart() {}
void OsSetChannelCaption(int, const wchar_t*) {}

// --- Files ------------------------------------------------------------------------------------

ConfigReadResult OsReadConfigFile(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    const size_t n = fuzzOs.config.size() < capacity ? fuzzOs.config.size() : capacity;
    fuzzOs.config.copy(reinterpret_cast<char*>(buffer), n);
    *length = static_cast<uint32_t>(n);
    return ConfigRead;
}

int OsCreateLogFile() {
    fuzzOs.log.clear();
    fuzzOs.logBytes = 0;
    fuzzOs.logOpen = true;
    return 1;
}
int OsWriteLogFile(const char* bytes, uint32_t n) {
    if (fuzzOs.lockDepth != 1)
        fuzzOs.lockErrors++; // every write is made under the lock
    if (!fuzzOs.logOpen)
        return 0;
    fuzzOs.logBytes += n;
    const size_t room = FuzzOs::LOG_CAP - fuzzOs.log.size();
    fuzzOs.log.append(bytes, n < room ? n : room);
    return 1;
}
void OsCloseLogFile() { fuzzOs.logOpen = false; }
int OsReopenLogFileForAppend() {
    fuzzOs.logOpen = true;
    return 1;
}
int OsCopyLogFile(const wchar_t*) { return 1; }

void OsInitLogLock() {}
void OsEnterLogLock() {
    if (fuzzOs.lockDepth++ != 0)
        fuzzOs.lockErrors++;
}
void OsLeaveLogLock() {
    if (--fuzzOs.lockDepth != 0)
        fuzzOs.lockErrors++;
}
