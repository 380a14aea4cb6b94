// A platform that does nothing, for timing the portable core natively: drawing calls only touch
// the points they are given, the log is thrown away, the clock moves only when the core sleeps.
// Nothing here costs more than the core's own work, so a benchmark measures the core.
#include "null_os.h"

#include "platform/platform.h"

#include <cstring>

uint64_t nullClockMs = 100000;
uint64_t nullDrawSum = 0;
uint64_t nullLogBytes = 0;

int OsOpenPort(const wchar_t*) { return 0; }
void OsClosePort() {}
int OsPortIsOpen() { return 0; }
int OsApplyPortTimeouts(uint32_t) { return 0; }
int OsApplyLineSettings(uint32_t) { return 0; }
int OsSetRts(int) { return 0; }
int OsPurgePort() { return 0; }
int OsReadPortByte(uint8_t*, uint32_t* received) {
    *received = 0;
    return 0;
}
int OsWritePortByte(uint8_t) { return 0; }

uint32_t OsTickCount() { return static_cast<uint32_t>(nullClockMs); }
// The tick's closing pause moves the clock instead of waiting, so the samples are spaced as in
// the real program (a tick every 500 ms) and the 30-second time marks fall where they would.
void OsKeepWindowResponsive(int) {}
void OsSleep(uint32_t ms) { nullClockMs += ms; }
int OsFormatLocalTime(wchar_t* buffer, int capacity) {
    const wchar_t text[] = L"8:17:45 PM";
    if (capacity < static_cast<int>(sizeof text / sizeof text[0]))
        return 0;
    std::memcpy(buffer, text, sizeof text);
    return 1;
}

void OsShowMessage(const wchar_t*, const wchar_t*, int) {}
void OsSetStatusText(const wchar_t* text) { nullDrawSum += static_cast<uint64_t>(text[0]); }
void OsSetPauseButtonText(const wchar_t*) {}
void OsUpdateMainWindow() {}
void OsCloseMainWindow() {}
int OsAskSaveLogPath(wchar_t*, int) { return 0; }

int OsCreateReaderThread(ReaderThreadProc) { return 0; }
void OsResumeReaderThread() {}
int OsJoinReaderThread(uint32_t) { return 1; }

void OsFillChartBlack() {}
void OsSelectChartPen(ChartPen pen) { nullDrawSum += static_cast<uint64_t>(pen); }
void OsSelectChannelBrush(int channel) { nullDrawSum += static_cast<uint64_t>(channel); }
void OsDrawPolyline(const ChartPoint* points, int count) {
    for (int i = 0; i < count; i++)
        nullDrawSum += static_cast<uint64_t>(points[i].x + points[i].y);
}
void OsDrawPolygon(const ChartPoint* points, int count) { OsDrawPolyline(points, count); }
void OsSetChartTextColour(uint32_t colour) { nullDrawSum += colour; }
void OsDrawChartText(int32_t x, int32_t y, const wchar_t*, int length) {
    nullDrawSum += static_cast<uint64_t>(x + y + length);
}
void OsPresentChart() {}
void OsSetChannelCaption(int, const wchar_t* caption) {
    nullDrawSum += static_cast<uint64_t>(caption[0]);
}

ConfigReadResult OsReadConfigFile(uint8_t*, uint32_t, uint32_t* length) {
    *length = 0;
    return ConfigMissing;
}
int OsCreateLogFile() { return 1; }
int OsWriteLogFile(const char*, uint32_t n) {
    nullLogBytes += n;
    return 1;
}
void OsCloseLogFile() {}
int OsReopenLogFileForAppend() { return 1; }
int OsCopyLogFile(const wchar_t*) { return 0; }

void OsInitLogLock() {}
void OsEnterLogLock() {}
void OsLeaveLogLock() {}
