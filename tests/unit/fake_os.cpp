// The fake platform: the seam's calls acting on the FakeOs record instead of the machine.
#include "fake_os.h"

#include "app/channel_table.h"
#include "link/link_state.h"
#include "platform/platform.h"

#include <algorithm>
#include <cwchar>

FakeOs fakeOs;

void ResetFakeOs() {
    fakeOs.~FakeOs();
    new (&fakeOs) FakeOs();
    for (auto& value : rawValues)
        value.store(0);
    for (int i = 0; i < CHANNEL_COUNT; i++)
        ChannelTable.enabled[i] = 1;
    StoreFlag(LinkState.connected, 0);
    StoreFlag(LinkState.paused, 0);
    StoreFlag(LinkState.debugLog, 1);
}

// --- Serial port ------------------------------------------------------------------------------

int OsOpenPort(const wchar_t* name) {
    fakeOs.portOpenCalls++;
    const auto& ports = fakeOs.openablePorts;
    if (std::find(ports.begin(), ports.end(), std::wstring(name)) == ports.end())
        return 0;
    fakeOs.portOpen = true;
    fakeOs.openedPort = name;
    return 1;
}
void OsClosePort() { fakeOs.portOpen = false; }
int OsPortIsOpen() { return fakeOs.portOpen; }
int OsApplyPortTimeouts(uint32_t) { return fakeOs.portOpen; }
int OsApplyLineSettings(uint32_t) { return fakeOs.portOpen; }
int OsSetRts(int) { return fakeOs.portOpen; }
int OsPurgePort() { return fakeOs.portOpen; }
int OsReadPortByte(uint8_t*, uint32_t* received) {
    *received = 0;
    fakeOs.nowUs += 1500000;
    return fakeOs.portOpen;
}
int OsWritePortByte(uint8_t) { return fakeOs.portOpen; }

// --- Time -------------------------------------------------------------------------------------

uint32_t OsTickCount() { return static_cast<uint32_t>(fakeOs.nowUs / 1000); }
void OsSleep(uint32_t ms) { fakeOs.nowUs += uint64_t(ms) * 1000; }
int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    std::wcsncpy(buffer, fakeOs.timeText.c_str(), static_cast<size_t>(capacity) - 1);
    buffer[capacity - 1] = 0;
    return 1;
}

// --- The user ---------------------------------------------------------------------------------

void OsShowMessage(const wchar_t* text, const wchar_t* caption, int ownedByMainWindow) {
    fakeOs.messages.push_back({text, caption, ownedByMainWindow});
}
void OsSetStatusText(const wchar_t* text) { fakeOs.statusTexts.push_back(text); }
void OsSetPauseButtonText(const wchar_t* text) { fakeOs.pauseTexts.push_back(text); }
void OsUpdateMainWindow() {}
int OsAskSaveLogPath(wchar_t* path, int capacity) {
    fakeOs.saveDialogs++;
    if (fakeOs.saveAnswer.empty())
        return 0;
    std::wcsncpy(path, fakeOs.saveAnswer.c_str(), static_cast<size_t>(capacity) - 1);
    path[capacity - 1] = 0;
    return 1;
}

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
    if (!fakeOs.logOpen)
        return 0;
    fakeOs.logFile.append(bytes, n);
    return 1;
}
void OsCloseLogFile() { fakeOs.logOpen = false; }
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
void OsEnterLogLock() { fakeOs.logMutex.lock(); }
void OsLeaveLogLock() { fakeOs.logMutex.unlock(); }
