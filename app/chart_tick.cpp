// The chart tick of a connected run: the status line, then the tick's sample to the chart and to
// the log. A file of its own: the tick-timing build wraps ChartTick, which only a call from
// another file reaches.
#include "app/session.h"

#include "channels/channel_table.h"
#include "channels/conversion.h"
#include "display/chart.h"
#include "link/block_exchange.h"
#include "link/link_state.h"
#include "link/reader_thread.h"
#include "log/data_row.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

constexpr int STATUS_CHARS = 160;
constexpr int TICK_PAUSE_MS = 50;

} // namespace

LinkFigures ReadLinkFigures() {
    return {effectiveBaudRate.load(std::memory_order_relaxed),
            blockNumber.load(std::memory_order_relaxed),
            channelsRead.load(std::memory_order_relaxed)};
}

void FormatStatusLine(uint32_t now, int32_t paused, const LinkFigures& link, wchar_t* text,
                      int capacity) {
    char narrow[STATUS_CHARS];
    std::snprintf(narrow, sizeof narrow,
                  "%s: SysTime %10ums Effective Baud Rate %d BlockNumber %3d History %5d",
                  paused ? "Paused" : "Running", static_cast<unsigned>(now),
                  link.effectiveBaudRate, link.blockNumber, historyLength);
    int n = 0;
    for (; narrow[n] && n < capacity - 1; n++)
        text[n] = static_cast<wchar_t>(narrow[n]);
    text[n] = 0;
}

void ChartTick() {
    const uint32_t now = OsTickCount();
    const LinkFigures link = ReadLinkFigures();
    wchar_t status[STATUS_CHARS];
    FormatStatusLine(now, sessionPaused, link, status, STATUS_CHARS);
    OsSetStatusText(status);
    if (sessionPaused)
        return; // the chart keeps its last picture; polling goes on regardless
    // Only values read in this link, and only a whole row of them: until the reader has been
    // round every channel shown (and after it has failed), nothing is drawn or logged.
    uint32_t shown = 0;
    for (int i = 0; i < CHANNEL_COUNT; i++)
        shown |= ChannelTable.enabled[i] ? 1u << i : 0;
    if ((link.channelsRead & shown) != shown)
        return;
    const Sample sample = TakeSample(now);
    ChartSample(sample);
    WriteDataRow(sample);
    OsSleep(TICK_PAUSE_MS);
}
