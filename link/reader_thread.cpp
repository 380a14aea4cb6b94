// The reader thread: polls the eight channels in turn, one request and one answer per cycle,
// as fast as the line allows, and measures the line rate each cycle achieves.
#include "channels/channel_table.h"
#include "link/block_exchange.h"
#include "link/reader_thread.h"
#include "link/link_state.h"
#include "link/serial_line.h"
#include "log/log_texts.h"
#include "log/session_log.h"
#include "platform/platform.h"

#include <cstdio>

std::atomic<int32_t> effectiveBaudRate{0};
int32_t currentChannel = 0;
std::atomic<int32_t> readerStopRequested{0};

namespace {

// A cycle takes about 23 ms on a healthy line and well under two seconds with a slow ECU; a dead
// line fails the cycle within one read's wait (1.5 s). A reader showing its message box needs
// the box closed first, which under Wine without a window manager takes two seconds (the box is
// hidden with its closing owner, and Wine waits that long for a window manager to confirm it).
// Past that the reader is cut off, and a cut-off read returns at once. Both waits together stay
// under the three seconds in which a closed window must have ended the program.
constexpr uint32_t READER_CYCLE_END_WAIT_MS = 2300;
constexpr uint32_t READER_CUT_OFF_WAIT_MS = 600;

// Bytes a cycle moves through the port: a request block of k bytes gives 3k - 1 (each byte
// written, its echo, the ECU's complement; the end has no complement), an answer with D data
// bytes 3D + 10.
constexpr int RAM_REQUEST_LINE_BYTES = 20;
constexpr int ADC_REQUEST_LINE_BYTES = 14;
int AnswerLineBytes(int dataLength) { return 3 * dataLength + 10; }

// Ends the thread after a failed exchange. The link is dead from this moment, though it counts
// as up until the user has seen the box: nothing it read is drawn or logged again. When the
// program is closing nobody is left to read a message box.
uint32_t EndAfterFailure(const wchar_t* text) {
    channelsRead.store(0, std::memory_order_relaxed);
    if (!readerStopRequested.load(std::memory_order_relaxed))
        OsShowMessage(text, L"Error", 1);
    StoreFlag(LinkState.connected, 0);
    return 0;
}

void LogRequest(int32_t counter, int channel) {
    char line[96];
    const int16_t* p = ChannelTable.params[channel];
    std::snprintf(line, sizeof line, LOG_REQUEST_FORMAT,
                  counter, channel, static_cast<unsigned>(static_cast<int32_t>(p[0])),
                  static_cast<unsigned>(static_cast<int32_t>(p[1])),
                  static_cast<unsigned>(static_cast<int32_t>(p[2])));
    LogWriteNarrow(line);
}

void LogAnswer(int32_t slot) {
    char line[96];
    std::snprintf(line, sizeof line, LOG_ANSWER_FORMAT,
                  BlockStore.counter[slot], slot, static_cast<unsigned>(BlockStore.title[slot]));
    LogWriteNarrow(line);
}

} // namespace

uint32_t ReaderThread(void*) {
    while (LoadFlag(LinkState.connected)) {
        const uint32_t start = OsTickCount();
        const int channel = currentChannel;
        const int16_t* params = ChannelTable.params[channel];

        int32_t counter = NextBlockNumber(blockNumber.load(std::memory_order_relaxed));
        blockNumber.store(counter, std::memory_order_relaxed);
        if (LoadFlag(LinkState.debugLog))
            LogRequest(counter, channel);
        int lineBytes;
        if (ChannelTable.requestKind[channel] == RamRead) {
            if (!SendValueRequestBlock(static_cast<uint8_t>(params[0]),
                                       static_cast<uint8_t>(params[1]),
                                       static_cast<uint8_t>(params[2])))
                return EndAfterFailure(L"SendValueRequestBlock failed");
            lineBytes = RAM_REQUEST_LINE_BYTES;
        } else {
            if (!SendADCChannelRead(static_cast<uint8_t>(params[0])))
                return EndAfterFailure(L"SendADCChannelRead failed");
            lineBytes = ADC_REQUEST_LINE_BYTES;
        }

        counter = NextBlockNumber(counter);
        blockNumber.store(counter, std::memory_order_relaxed);
        if (!GetBlock(channel))
            return EndAfterFailure(L"GetBlock failed");
        lineBytes += AnswerLineBytes(receivedDataBytes);
        if (LoadFlag(LinkState.debugLog))
            LogAnswer(counter);
        currentChannel = channel + 1 == CHANNEL_COUNT ? 0 : channel + 1;

        // Unsigned difference: right across the tick counter's wrap. A cycle too quick for the
        // millisecond tick leaves the last rate standing rather than divide by zero.
        const uint32_t elapsed = OsTickCount() - start;
        if (elapsed > 0)
            effectiveBaudRate.store(
                static_cast<int32_t>(static_cast<float>(lineBytes) * 8000.0f /
                                     static_cast<float>(elapsed)),
                std::memory_order_relaxed);

        // An answer out of step means the two sides disagree about the counter: start afresh.
        if (BlockStore.counter[counter] != counter) {
            channelsRead.store(0, std::memory_order_relaxed);
            StoreFlag(LinkState.connected, 0);
            return 0;
        }
        channelsRead.fetch_or(1u << channel, std::memory_order_relaxed);
    }
    return 0;
}

int StopReaderThread() {
    readerStopRequested.store(1, std::memory_order_relaxed);
    StoreFlag(LinkState.connected, 0);
    if (!OsJoinReaderThread(READER_CYCLE_END_WAIT_MS)) {
        OsSetLineStop(1);
        if (!OsJoinReaderThread(READER_CUT_OFF_WAIT_MS))
            return 0; // still on the line: leave the cut-off in force
    }
    OsSetLineStop(0);
    readerStopRequested.store(0, std::memory_order_relaxed);
    return 1;
}
