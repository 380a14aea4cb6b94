// The fake platform: the seam's calls acting on the FakeOs record instead of the machine.
#include "fake_os.h"

#include "app/channel_table.h"
#include "display/chart.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/link_state.h"
#include "link/serial_line.h"
#include "platform/platform.h"

#include <algorithm>
#include <cwchar>

FakeOs fakeOs;

void WaitForReaderEnd() {
    if (fakeOs.reader && fakeOs.reader->joinable())
        fakeOs.reader->join();
    fakeOs.reader.reset();
}

void AttachEcu(const ecusim::Scenario& scenario) {
    fakeOs.ecu = std::make_unique<ecusim::EcuModel>(scenario);
}

void ResetFakeOs() {
    WaitForReaderEnd();
    fakeOs.~FakeOs();
    new (&fakeOs) FakeOs();
    lineStopRequested.store(0);
    readerStopRequested.store(0);
    blockNumber.store(0);
    effectiveBaudRate.store(0);
    currentChannel = 0;
    historyLength = 0;
    ChartHistory = ChartHistoryStore();
    for (auto& value : rawValues)
        value.store(0);
    for (int i = 0; i < CHANNEL_COUNT; i++)
        ChannelTable.enabled[i] = 1;
    StoreFlag(LinkState.connected, 0);
    StoreFlag(LinkState.paused, 0);
    StoreFlag(LinkState.debugLog, 1);
}

// --- Serial port ------------------------------------------------------------------------------

namespace {

// Counts one serial operation; true when an injected fault hits it.
bool FaultHits() {
    const int op = ++fakeOs.serialOps;
    if (fakeOs.failAt <= 0)
        return false;
    if (op == fakeOs.failAt || (fakeOs.failPersistently && op > fakeOs.failAt)) {
        fakeOs.faultsInjected++;
        return true;
    }
    return false;
}

// An operation other than a read fails only with an error fault.
bool Faulted() { return FaultHits() && fakeOs.failKind == FakeOs::OpError; }

} // namespace

int OsOpenPort(const wchar_t* name) {
    fakeOs.portOpenCalls++;
    if (Faulted())
        return 0;
    const auto& ports = fakeOs.openablePorts;
    if (std::find(ports.begin(), ports.end(), std::wstring(name)) == ports.end())
        return 0;
    fakeOs.portOpen = true;
    fakeOs.timeoutsSet = false;
    fakeOs.openedPort = name;
    return 1;
}
void OsClosePort() {
    if (fakeOs.portOpen)
        fakeOs.portCloseCalls++;
    fakeOs.portOpen = false;
}
int OsPortIsOpen() { return fakeOs.portOpen; }
int OsApplyPortTimeouts(uint32_t) {
    if (Faulted())
        return 0;
    if (fakeOs.portOpen && !fakeOs.timeoutsFail)
        fakeOs.timeoutsSet = true;
    return fakeOs.portOpen && !fakeOs.timeoutsFail;
}
int OsApplyLineSettings(uint32_t baudRate) {
    if (Faulted())
        return 0;
    if (!fakeOs.portOpen || ++fakeOs.lineSettingsCalls == fakeOs.lineSettingsFailOnCall)
        return 0;
    if (fakeOs.ecu)
        fakeOs.ecu->SetLineSettings(baudRate, 8, 0, 1, fakeOs.nowUs);
    return 1;
}
int OsSetRts(int asserted) {
    if (Faulted())
        return 0;
    fakeOs.rts.emplace_back(fakeOs.nowUs, asserted);
    if (fakeOs.ecu)
        fakeOs.ecu->SetRts(asserted != 0, fakeOs.nowUs);
    return fakeOs.portOpen;
}
int OsPurgePort() {
    if (Faulted())
        return 0;
    fakeOs.purges++;
    if (fakeOs.ecu)
        fakeOs.ecu->Purge(fakeOs.nowUs);
    return fakeOs.portOpen;
}
namespace {

// The echo of a written byte, as the adapter returns it (or, on request, wrongly).
uint8_t EchoOf(uint8_t written) {
    if (fakeOs.corruptEchoOfFirst == written) {
        fakeOs.corruptEchoOfFirst = -1;
        return static_cast<uint8_t>(written ^ 0xFF);
    }
    return written;
}

} // namespace

void OsKeepWindowResponsive(int on) {
    fakeOs.windowResponsive = on != 0;
    fakeOs.responsiveThread = std::this_thread::get_id();
}
namespace {

// A wait of the window's thread while it keeps the window responsive: whatever the test has
// arrive then is dispatched. 0 when that stopped the line, which ends the wait at once.
int WindowWait() {
    if (!fakeOs.windowResponsive || fakeOs.responsiveThread != std::this_thread::get_id())
        return 1;
    fakeOs.windowWaits++;
    if (fakeOs.onWindowWait)
        fakeOs.onWindowWait();
    return !lineStopRequested.load(std::memory_order_relaxed);
}

} // namespace

// Waits, on the virtual clock, up to 1500 ms for the next byte from the far end.
int OsReadPortByte(uint8_t* byte, uint32_t* received) {
    *received = 0;
    if (!WindowWait())
        return 0;
    if (!fakeOs.timeoutsSet)
        fakeOs.readsWithoutTimeouts++;
    const bool hit = FaultHits();
    if ((hit && fakeOs.failKind == FakeOs::OpError) || !fakeOs.portOpen || fakeOs.readsFail)
        return 0;
    const uint64_t deadline = fakeOs.nowUs + 1500000;
    if (hit) { // EmptyRead: the wait runs out with nothing delivered
        fakeOs.nowUs = deadline;
        return 1;
    }
    if (!fakeOs.ecu) {
        if (!fakeOs.echoes.empty()) {
            *byte = fakeOs.echoes.front();
            fakeOs.echoes.pop_front();
            *received = 1;
            return 1;
        }
        if (!fakeOs.ecuScript.empty()) {
            int next = fakeOs.ecuScript.front();
            fakeOs.ecuScript.pop_front();
            if (next >= 0) {
                *byte = static_cast<uint8_t>(next);
                *received = 1;
                return 1;
            }
        }
    } else {
        fakeOs.ecu->Advance(fakeOs.nowUs);
        uint64_t ready = 0;
        if (fakeOs.ecu->NextReady(&ready) && ready <= deadline) {
            fakeOs.nowUs = std::max(fakeOs.nowUs, ready);
            ecusim::Direction direction;
            if (fakeOs.ecu->PopByte(fakeOs.nowUs, byte, &direction)) {
                if (direction == ecusim::Direction::Echo)
                    *byte = EchoOf(*byte);
                *received = 1;
                return 1;
            }
        }
    }
    fakeOs.nowUs = deadline;
    return 1;
}
int OsWritePortByte(uint8_t byte) {
    if (Faulted() || !fakeOs.portOpen)
        return 0;
    fakeOs.written.push_back(byte);
    fakeOs.writtenAt.push_back(fakeOs.nowUs);
    if (fakeOs.ecu)
        fakeOs.ecu->TesterWrites(byte, fakeOs.nowUs);
    else if (!fakeOs.echoOff)
        fakeOs.echoes.push_back(EchoOf(byte));
    if (fakeOs.onWrite)
        fakeOs.onWrite(byte);
    return 1;
}

// --- The reader thread ------------------------------------------------------------------------

int OsCreateReaderThread(ReaderThreadProc proc) {
    if (fakeOs.threadCreateFails)
        return 0;
    WaitForReaderEnd(); // an earlier thread has ended by now; nothing of it is left
    fakeOs.threadsCreated++;
    fakeOs.readerProc = proc;
    return 1;
}
void PollCycles(int cycles) {
    const int32_t last = (blockNumber + 2 * cycles - 1) % 256;
    StoreFlag(LinkState.connected, 1);
    fakeOs.onWrite = [last](uint8_t) {
        if (blockNumber == last)
            StoreFlag(LinkState.connected, 0);
    };
    ReaderThread(nullptr);
    fakeOs.onWrite = nullptr;
}

void StartHeldReader() {
    fakeOs.holdReader = false;
    OsResumeReaderThread();
}
void OsResumeReaderThread() {
    if (fakeOs.holdReader)
        return;
    fakeOs.reader = std::make_unique<std::thread>([] { fakeOs.readerProc(nullptr); });
}
int OsJoinReaderThread(uint32_t ms) {
    if (fakeOs.readerWontEnd) {
        fakeOs.nowUs += uint64_t(ms) * 1000;
        return 0;
    }
    WaitForReaderEnd();
    return 1;
}

// --- Time -------------------------------------------------------------------------------------

uint32_t OsTickCount() { return static_cast<uint32_t>(fakeOs.nowUs / 1000); }
void OsSleep(uint32_t ms) {
    if (WindowWait())
        fakeOs.nowUs += uint64_t(ms) * 1000;
}
int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    std::wcsncpy(buffer, fakeOs.timeText.c_str(), static_cast<size_t>(capacity) - 1);
    buffer[capacity - 1] = 0;
    return 1;
}

// --- The user ---------------------------------------------------------------------------------

void OsShowMessage(const wchar_t* text, const wchar_t* caption, int ownedByMainWindow) {
    fakeOs.messages.push_back({text, caption, ownedByMainWindow});
    if (fakeOs.onMessage)
        fakeOs.onMessage();
}

std::vector<uint8_t> WrittenFrom(size_t from) {
    if (from >= fakeOs.written.size())
        return {};
    return std::vector<uint8_t>(fakeOs.written.begin() + static_cast<long>(from),
                                fakeOs.written.end());
}
void OsSetStatusText(const wchar_t* text) { fakeOs.statusTexts.push_back(text); }
void OsSetPauseButtonText(const wchar_t* text) { fakeOs.pauseTexts.push_back(text); }
void OsUpdateMainWindow() {}
void OsCloseMainWindow() {
    fakeOs.mainWindowClosed = true;
    if (fakeOs.onCloseMainWindow)
        fakeOs.onCloseMainWindow();
}
int OsAskSaveLogPath(wchar_t* path, int capacity) {
    fakeOs.saveDialogs++;
    if (fakeOs.saveAnswer.empty())
        return 0;
    std::wcsncpy(path, fakeOs.saveAnswer.c_str(), static_cast<size_t>(capacity) - 1);
    path[capacity - 1] = 0;
    return 1;
}

// --- The chart --------------------------------------------------------------------------------

void OsFillChartBlack() { fakeOs.draws.push_back({DrawCall::Fill, 0, {}, 0, 0, {}}); }
void OsSelectChartPen(ChartPen pen) { fakeOs.draws.push_back({DrawCall::Pen, pen, {}, 0, 0, {}}); }
void OsSelectChannelBrush(int channel) {
    fakeOs.draws.push_back({DrawCall::Brush, channel, {}, 0, 0, {}});
}
void OsDrawPolyline(const ChartPoint* points, int count) {
    fakeOs.draws.push_back({DrawCall::Polyline, 0, {points, points + count}, 0, 0, {}});
}
void OsDrawPolygon(const ChartPoint* points, int count) {
    fakeOs.draws.push_back({DrawCall::Polygon, 0, {points, points + count}, 0, 0, {}});
}
void OsSetChartTextColour(uint32_t colour) {
    fakeOs.draws.push_back({DrawCall::TextColour, static_cast<int32_t>(colour), {}, 0, 0, {}});
}
void OsDrawChartText(int32_t x, int32_t y, const wchar_t* text, int length) {
    fakeOs.draws.push_back({DrawCall::Text, 0, {}, x, y, std::wstring(text, text + length)});
}
void OsPresentChart() { fakeOs.draws.push_back({DrawCall::Present, 0, {}, 0, 0, {}}); }
void OsSetChannelCaption(int channel, const wchar_t* caption) { fakeOs.captions[channel] = caption; }

// --- Files ------------------------------------------------------------------------------------

ConfigReadResult OsReadConfigFile(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    *length = 0;
    if (!fakeOs.configPresent)
        return ConfigMissing;
    if (fakeOs.configUnreadable)
        return ConfigUnreadable;
    uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(fakeOs.configBytes.size()));
    std::copy_n(fakeOs.configBytes.begin(), n, buffer);
    *length = n;
    return ConfigRead;
}

int OsCreateLogFile() {
    if (fakeOs.logCreateFails)
        return 0;
    fakeOs.logFile.clear();
    fakeOs.logOpen = true;
    return 1;
}
int OsWriteLogFile(const char* bytes, uint32_t n) {
    if (fakeOs.logLockOwner != std::this_thread::get_id())
        fakeOs.logUsesOutsideLock++;
    if (!fakeOs.logOpen)
        return 0;
    fakeOs.logFile.append(bytes, n);
    return 1;
}
void OsCloseLogFile() {
    if (fakeOs.logLockOwner != std::this_thread::get_id())
        fakeOs.logUsesOutsideLock++;
    fakeOs.logOpen = false;
}
int OsReopenLogFileForAppend() {
    fakeOs.logOpen = !fakeOs.logReopenFails;
    return fakeOs.logOpen;
}
int OsCopyLogFile(const wchar_t* destination) {
    if (fakeOs.copyFails || fakeOs.logOpen) // an open, unshared file cannot be copied
        return 0;
    fakeOs.files[destination] = fakeOs.logFile;
    return 1;
}

void OsInitLogLock() {}
void OsEnterLogLock() {
    fakeOs.logMutex.lock();
    fakeOs.logLockOwner = std::this_thread::get_id();
}
void OsLeaveLogLock() {
    fakeOs.logLockOwner = std::thread::id();
    fakeOs.logMutex.unlock();
}
