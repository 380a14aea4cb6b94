// The connection sequence: wake the ECU, take part in its opening exchange of thirteen blocks,
// log each block it sends, and start the reader thread.
#include "link/connection.h"

#include "link/block_exchange.h"
#include "link/link_state.h"
#include "link/reader_thread.h"
#include "link/serial_line.h"
#include "log/log_texts.h"
#include "log/session_log.h"
#include "platform/platform.h"

#include <cstdio>

namespace {

constexpr int OPENING_BLOCKS = 13;

// A failure while the program is closing comes from the line being stopped, not from the ECU,
// and there is nobody left to tell.
int Fail(const wchar_t* text) {
    if (!OsLineStopped())
        OsShowMessage(text, L"Error", 0);
    return 0;
}

// After "Cannot Set Timeouts" or "Cannot Set State" the port was closed; an adapter pulled out
// and plugged back in comes back under the same name, so each attempt tries to reopen it.
int EnsurePortOpen() {
    if (OsPortIsOpen())
        return 1;
    if (ReopenPort())
        return 1;
    LogWrite(LOG_PORT_NOT_REOPENED);
    return 0;
}

} // namespace

// "\r\nblockNumber 9 Type =  9 Length = 0 data " and the block's data as text, up to its first
// NUL. The text is the ECU's: a line end or a time in it would read as a line of Tarvex's own,
// so control bytes, DEL and the backslash are written as \xHH (printable text unchanged). With
// 199 data bytes the line outgrows one log write; LogWriteNarrow writes it whole.
void LogReceivedBlock(int slot) {
    char line[64 + 4 * BLOCK_DATA_BYTES];
    int n = std::snprintf(line, sizeof line, LOG_IDENTIFICATION_FORMAT,
                          slot, static_cast<unsigned>(BlockStore.title[slot]),
                          BlockStore.dataLength[slot]);
    const uint8_t* end = BlockStore.data[slot] + MAX_BLOCK_DATA;
    for (const uint8_t* b = BlockStore.data[slot]; b < end && *b; b++) {
        if (*b < 0x20 || *b == 0x7F || *b == '\\')
            n += std::snprintf(line + n, sizeof line - n, "\\x%02X", *b);
        else
            line[n++] = static_cast<char>(*b);
    }
    line[n] = 0;
    LogWriteNarrow(line);
}

int ConnectEcu() {
    if (!EnsurePortOpen())
        return 0;
    if (!WakeUpEcu())
        return 0;
    // The ECU sends the odd blocks, the tester acknowledges each but the last; block 10 is the
    // bare block of title 0x07.
    for (int counter = 1; counter <= OPENING_BLOCKS; counter++) {
        blockNumber.store(counter, std::memory_order_relaxed);
        const uint8_t k = static_cast<uint8_t>(counter);
        if (counter % 2 == 1) {
            if (!GetBlock(0))
                return Fail(L"GetBlock failed");
            LogReceivedBlock(counter);
        } else if (counter == 10) {
            if (!SendBlockType(k, TITLE_OPENING))
                return Fail(L"SendBlockType failed");
        } else if (!SendAckBlock(k)) {
            return Fail(L"SendAckBlock failed");
        }
    }
    if (!OsCreateReaderThread(ReaderThread)) {
        OsShowMessage(L"Error Creating Reader Thread", L"Error!", 1);
        OsCloseMainWindow();
        return 0;
    }
    // The thread ends at once if it finds the flag clear, so it is raised before the thread runs;
    // the caller raises it again when this returns. Nothing of the new link has been read yet.
    channelsRead.store(0, std::memory_order_relaxed);
    StoreFlag(LinkState.connected, 1);
    OsResumeReaderThread();
    LogWrite(LOG_READER_STARTED);
    LogWrite(LOG_CONNECTED);
    return 1;
}
