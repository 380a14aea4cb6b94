// The test platform: the seam's calls acting on the FakeOs record instead of the machine.
#include "fake_os.h"

#include "app/session.h"
#include "channels/channel_table.h"
#include "display/chart.h"
#include "link/block_exchange.h"
#include "link/link_state.h"
#include "link/reader_thread.h"
#include "link/serial_line.h"

#include <algorithm>
#include <chrono>
#include <cwchar>

FakeOs fakeOs;

namespace {

// Held by each platform call that may allocate, for the allocation test.
thread_local int seamDepth = 0;
struct SeamCall {
    SeamCall() { seamDepth++; }
    ~SeamCall() { seamDepth--; }
};

std::atomic<bool> readerRunning{false};

// The program's own start-up values of what the user changes, taken before any test changes
// them, so that every reset starts where the program starts.
const ChannelTableColumns programStart = ChannelTable;
const int32_t programDebugLog = LoadFlag(LinkState.debugLog);
const int32_t programPaused = sessionPaused;

void CopyText(wchar_t* out, int capacity, const wchar_t* text) {
    std::wcsncpy(out, text, static_cast<size_t>(capacity) - 1);
    out[capacity - 1] = 0;
}

} // namespace

int InsideFakeOs() { return seamDepth > 0; }

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
    readerStopRequested = 0;
    rxByte = txByte = 0;
    BlockStore = BlockStoreColumns();
    blockNumber = 0;
    effectiveBaudRate = 0;
    channelsRead = 0;
    currentChannel = 0;
    historyLength = 0;
    ChartHistory = ChartHistoryStore();
    for (auto& value : rawValues)
        value = 0;
    std::copy_n(programStart.enabled, CHANNEL_COUNT, ChannelTable.enabled);
    StoreFlag(LinkState.connected, 0);
    sessionPaused = programPaused;
    StoreFlag(LinkState.debugLog, programDebugLog);
}

std::vector<uint8_t> WrittenFrom(size_t from) {
    const auto& w = fakeOs.written;
    return std::vector<uint8_t>(w.begin() + static_cast<long>(std::min(from, w.size())), w.end());
}

// --- Serial port ------------------------------------------------------------------------------

namespace {

// Counts one serial operation; true when an injected fault hits it.
bool FaultHits() {
    const int op = ++fakeOs.serialOps;
    const bool hit = fakeOs.failAt > 0 && (op == fakeOs.failAt ||
                                          (fakeOs.failPersistently && op > fakeOs.failAt));
    fakeOs.faultsInjected += hit;
    return hit;
}

// An operation other than a read fails only with an error fault.
bool Faulted() { return FaultHits() && fakeOs.failKind == FakeOs::OpError; }

// The echo of a written byte, as the adapter returns it (or, on request, wrongly).
uint8_t EchoOf(uint8_t written) {
    if (fakeOs.corruptEchoOfFirst != written)
        return written;
    fakeOs.corruptEchoOfFirst = -1;
    return static_cast<uint8_t>(written ^ 0xFF);
}

// A wait of the window's thread while it keeps the window responsive: whatever the test has
// arrive then is dispatched. 0 when that stopped the line, which ends the wait at once.
int WindowWait() {
    if (!fakeOs.windowResponsive || fakeOs.responsiveThread != std::this_thread::get_id())
        return 1;
    fakeOs.windowWaits++;
    if (fakeOs.onWindowWait)
        fakeOs.onWindowWait();
    return !fakeOs.lineStop;
}

// The next byte from the far end, if one comes before the deadline; the clock moves to it.
bool Deliver(uint8_t* byte, uint64_t deadline) {
    if (!fakeOs.ecu) {
        int next = -1;
        if (!fakeOs.echoes.empty()) {
            next = fakeOs.echoes.front();
            fakeOs.echoes.pop_front();
        } else if (!fakeOs.ecuScript.empty()) {
            next = fakeOs.ecuScript.front();
            fakeOs.ecuScript.pop_front();
        }
        if (next < 0)
            return false;
        *byte = static_cast<uint8_t>(next);
        fakeOs.nowUs += fakeOs.scriptByteUs;
        return true;
    }
    fakeOs.ecu->Advance(fakeOs.nowUs);
    uint64_t ready = 0;
    if (!fakeOs.ecu->NextReady(&ready) || ready > deadline)
        return false;
    fakeOs.nowUs = std::max<uint64_t>(fakeOs.nowUs, ready);
    ecusim::Direction direction;
    if (!fakeOs.ecu->PopByte(fakeOs.nowUs, byte, &direction))
        return false;
    if (direction == ecusim::Direction::Echo)
        *byte = EchoOf(*byte);
    return true;
}

} // namespace

int OsOpenPort(const wchar_t* path) {
    SeamCall seam;
    fakeOs.portOpenCalls++;
    const auto& ports = fakeOs.openablePorts;
    if (Faulted() || std::find(ports.begin(), ports.end(), path) == ports.end())
        return 0;
    fakeOs.portOpen = true;
    fakeOs.timeoutsSet = false;
    fakeOs.openedPort = path;
    return 1;
}
void OsClosePort() { fakeOs.portOpen = false; }
int OsPortIsOpen() { return fakeOs.portOpen; }
int OsApplyPortTimeouts(uint32_t) {
    if (Faulted() || !fakeOs.portOpen)
        return 0;
    fakeOs.timeoutsSet = true;
    return 1;
}
int OsReadLineSettings(LineSettings* settings) {
    *settings = {};
    if (Faulted() || !fakeOs.portOpen)
        return 0;
    *settings = fakeOs.driverSettings;
    return 1;
}
int OsApplyLineSettings(const LineSettings* settings) {
    SeamCall seam;
    if (Faulted() || !fakeOs.portOpen || settings->xonChar == settings->xoffChar)
        return 0;
    fakeOs.driverSettings = *settings;
    fakeOs.appliedSettings.push_back(*settings);
    if (fakeOs.ecu)
        fakeOs.ecu->SetLineSettings(settings->baudRate, settings->byteSize, settings->parity,
                                    settings->stopBits == 0 ? 1 : 2, fakeOs.nowUs);
    return 1;
}
void OsClearLineErrors() {
    if (!Faulted())
        fakeOs.transfersAborted = false;
}
int OsSetRts(int asserted) {
    SeamCall seam;
    if (Faulted())
        return 0;
    fakeOs.rts.emplace_back(fakeOs.nowUs, asserted);
    if (asserted && fakeOs.driverSettings.abortOnError)
        fakeOs.transfersAborted = true; // the line held low longer than a byte: a break
    if (fakeOs.ecu)
        fakeOs.ecu->SetRts(asserted != 0, fakeOs.nowUs);
    return fakeOs.portOpen;
}
int OsPurgePort() {
    SeamCall seam;
    if (Faulted())
        return 0;
    fakeOs.purges++;
    if (fakeOs.ecu)
        fakeOs.ecu->Purge(fakeOs.nowUs);
    return fakeOs.portOpen;
}

void OsSetLineStop(int raised) { fakeOs.lineStop = raised ? 1 : 0; }
int OsLineStopped() { return fakeOs.lineStop; }
void OsKeepWindowResponsive(int on) {
    fakeOs.windowResponsive = on != 0;
    fakeOs.responsiveThread = std::this_thread::get_id();
}

// Waits, on the virtual clock, up to 1500 ms for the next byte from the far end.
int OsReadPortByte(uint8_t* byte, uint32_t* received) {
    SeamCall seam;
    *received = 0;
    if (!WindowWait())
        return 0;
    fakeOs.readsWithoutTimeouts += !fakeOs.timeoutsSet;
    const bool hit = FaultHits();
    if ((hit && fakeOs.failKind == FakeOs::OpError) || !fakeOs.portOpen || fakeOs.transfersAborted)
        return 0;
    const uint64_t deadline = fakeOs.nowUs + 1500000;
    if (!hit && Deliver(byte, deadline)) {
        fakeOs.lastDelivered = *byte;
        *received = 1;
    } else { // nothing within the wait, or an EmptyRead fault: the wait runs out
        fakeOs.nowUs = deadline;
    }
    return 1;
}
int OsWritePortByte(uint8_t byte) {
    SeamCall seam;
    if (Faulted() || !fakeOs.portOpen || fakeOs.transfersAborted)
        return 0;
    fakeOs.written.push_back(byte);
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
void OsResumeReaderThread() {
    SeamCall seam;
    fakeOs.readerResumes++;
    if (fakeOs.holdReader)
        return;
    readerRunning = true;
    fakeOs.reader = std::make_unique<std::thread>([] {
        fakeOs.readerProc(nullptr);
        readerRunning = false;
    });
}
// The reader has `ms` of the clock to end in. It moves the clock itself as it waits on the line;
// one that does not (stuck in a port call: readerWontEnd) lets the whole limit pass.
int OsJoinReaderThread(uint32_t ms) {
    const uint64_t deadline = fakeOs.nowUs + uint64_t(ms) * 1000;
    if (fakeOs.readerWontEnd) {
        fakeOs.nowUs = deadline;
        return 0;
    }
    while (fakeOs.reader && readerRunning) {
        if (fakeOs.nowUs >= deadline)
            return 0;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    WaitForReaderEnd();
    return 1;
}
void StartHeldReader() {
    fakeOs.holdReader = false;
    OsResumeReaderThread();
}
uint32_t PollCycles(int cycles) {
    const int32_t last = (blockNumber + 2 * cycles - 1) % 256;
    StoreFlag(LinkState.connected, 1);
    fakeOs.onWrite = [last](uint8_t) {
        if (blockNumber == last)
            StoreFlag(LinkState.connected, 0);
    };
    const uint32_t exitCode = ReaderThread(nullptr);
    fakeOs.onWrite = nullptr;
    return exitCode;
}

// --- Time and the user ------------------------------------------------------------------------

uint32_t OsTickCount() { return static_cast<uint32_t>(fakeOs.nowUs / 1000); }
void OsSleep(uint32_t ms) {
    SeamCall seam;
    if (!WindowWait() || ms == 0)
        return;
    const uint64_t tickUs = fakeOs.timerRaised ? 1000 : 15625;
    fakeOs.nowUs = (fakeOs.nowUs + uint64_t(ms) * 1000 + tickUs - 1) / tickUs * tickUs;
}
void OsRaiseTimerResolution(int raised) {
    fakeOs.timerRaises += raised && !fakeOs.timerRaised;
    fakeOs.timerRaised = raised != 0;
}
int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    CopyText(buffer, capacity, L"8:17:45 PM");
    return 1;
}

void OsShowMessage(const wchar_t* text, const wchar_t* caption, int ownedByMainWindow) {
    SeamCall seam;
    fakeOs.messages.push_back({text, caption, ownedByMainWindow});
    if (fakeOs.onMessage)
        fakeOs.onMessage();
}
void OsSetStatusText(const wchar_t* text) {
    SeamCall seam;
    fakeOs.drawSum += static_cast<uint64_t>(text[0]);
    if (fakeOs.record)
        fakeOs.statusTexts.push_back(text);
}
void OsSetPauseButtonText(const wchar_t* text) {
    SeamCall seam;
    fakeOs.pauseTexts.push_back(text);
}
void OsRedrawChannelButton(int channel) {
    SeamCall seam;
    fakeOs.redrawnButtons.push_back(channel);
}
// The status line's text is on screen only once the window paints, which no message loop does
// while an attempt holds the thread.
void OsUpdateMainWindow() {
    if (!fakeOs.statusTexts.empty())
        fakeOs.paintedStatus = fakeOs.statusTexts.back();
}
void OsCloseMainWindow() {
    SeamCall seam;
    fakeOs.mainWindowClosed = true;
    if (fakeOs.onCloseMainWindow)
        fakeOs.onCloseMainWindow();
}
int OsAskSaveLogPath(wchar_t* path, int capacity) {
    fakeOs.saveDialogs++;
    CopyText(path, capacity, fakeOs.saveAnswer.c_str());
    return !fakeOs.saveAnswer.empty();
}

// --- The chart --------------------------------------------------------------------------------

namespace {

void Draw(DrawCall::Kind kind, int32_t arg, const ChartPoint* points = nullptr, int count = 0,
          const wchar_t* text = L"", int length = 0) {
    SeamCall seam;
    fakeOs.drawSum += static_cast<uint64_t>(kind + arg + length);
    for (int i = 0; i < count; i++)
        fakeOs.drawSum += static_cast<uint64_t>(points[i].x + points[i].y);
    if (fakeOs.record)
        fakeOs.draws.push_back({kind, arg, {points, points + count}, {text, text + length}});
}

} // namespace

// A rectangle is recorded as its top-left and bottom-right corners.
void OsFillChartBlack(const ChartArea* area) {
    const ChartPoint corners[2] = {{area->left, area->top}, {area->right, area->bottom}};
    Draw(DrawCall::Fill, 0, corners, 2);
}
void OsSelectChartPen(ChartPen pen) { Draw(DrawCall::Pen, pen); }
void OsSelectChannelBrush(int channel) { Draw(DrawCall::Brush, channel); }
void OsDrawPolyline(const ChartPoint* points, int count) {
    Draw(DrawCall::Polyline, 0, points, count);
}
void OsDrawPolygon(const ChartPoint* points, int count) { Draw(DrawCall::Polygon, 0, points, count); }
void OsSetChartTextColour(uint32_t colour) {
    Draw(DrawCall::TextColour, static_cast<int32_t>(colour));
}
void OsDrawChartText(int32_t x, int32_t y, const wchar_t* text, int length) {
    const ChartPoint at = {x, y};
    Draw(DrawCall::Text, 0, &at, 1, text, length);
}
void OsPresentChart(const ChartArea* area) {
    const ChartPoint corners[2] = {{area->left, area->top}, {area->right, area->bottom}};
    Draw(DrawCall::Present, 0, corners, 2);
}
void OsSetChannelCaption(int channel, const wchar_t* caption) {
    SeamCall seam;
    fakeOs.drawSum += static_cast<uint64_t>(caption[0]);
    if (fakeOs.record)
        fakeOs.captions[channel] = caption;
}

// --- Files ------------------------------------------------------------------------------------

ConfigReadResult OsReadConfigFile(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    *length = 0;
    if (fakeOs.config != ConfigRead)
        return fakeOs.config;
    *length = std::min<uint32_t>(capacity, static_cast<uint32_t>(fakeOs.configBytes.size()));
    std::copy_n(fakeOs.configBytes.begin(), *length, buffer);
    return ConfigRead;
}

namespace {

void CountUseOutsideLock() {
    fakeOs.logUsesOutsideLock += fakeOs.logLockOwner != std::this_thread::get_id();
}

} // namespace

int OsEarlierLogTime(LocalTime* time) {
    *time = fakeOs.earlierLogTime;
    return fakeOs.earlierLog;
}
RenameResult OsRenameLogFile(const wchar_t* name) {
    if (fakeOs.renameFails)
        return RenameFailed;
    if (fakeOs.files.count(name))
        return RenameNameTaken;
    fakeOs.files[name] = fakeOs.logFile;
    fakeOs.logFile.clear();
    fakeOs.earlierLog = false;
    return RenameDone;
}
int OsCreateLogFile() {
    fakeOs.logFile.clear();
    fakeOs.logOpen = !fakeOs.logCreateFails;
    return fakeOs.logOpen;
}
int OsWriteLogFile(const char* bytes, uint32_t n) {
    SeamCall seam;
    CountUseOutsideLock();
    if (fakeOs.logOpen)
        fakeOs.logFile.append(bytes, n);
    if (fakeOs.afterLogWrite)
        fakeOs.afterLogWrite();
    return fakeOs.logOpen;
}
void OsCloseLogFile() {
    CountUseOutsideLock();
    fakeOs.logOpen = false;
}
int OsReopenLogFileForAppend() {
    fakeOs.logOpen = !fakeOs.logReopenFails;
    return fakeOs.logOpen;
}
int OsCopyLogFile(const wchar_t* destination) {
    SeamCall seam;
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
