// The whole connection attempt and then the reader thread's poll cycles, the peer played by the
// fuzz input: the wake-up answers, the thirteen blocks of the opening exchange, then the answers
// to the polls until the input runs out.
//
// Input: options (fuzzinput; bits 2..4 pick the first channel polled), then the line. The reader
// runs on this thread; it ends when the input is used up (a read then gets nothing) or, as a
// guard, after a bounded number of writes.
#include "fuzz_line.h"

#include "channels/channel_table.h"
#include "link/serial_line.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/reader_thread.h"
#include "link/link_state.h"

#include <algorithm>
#include <cwchar>
#include <string>

namespace {

constexpr int WRITE_GUARD = 200000;

bool IsOneOf(const std::wstring& text, std::initializer_list<const wchar_t*> texts) {
    return std::any_of(texts.begin(), texts.end(), [&](const wchar_t* t) { return text == t; });
}

void CheckStore() {
    FUZZ_CHECK(blockNumber.load() >= 0 && blockNumber.load() <= 255);
    for (int i = 0; i < BLOCK_SLOTS; i++)
        FUZZ_CHECK(BlockStore.dataLength[i] >= 0 && BlockStore.dataLength[i] <= MAX_BLOCK_DATA);
    FUZZ_CHECK(currentChannel >= 0 && currentChannel < CHANNEL_COUNT);
    FUZZ_CHECK(fakeOs.logUsesOutsideLock == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t options = data[0];
    OpenPort(L"COM9:"); // the run's port, which an attempt reopens if it finds it closed
    FuzzReset(data + 1, size - 1, (options & fuzzinput::AUTO_ECHO) != 0);
    StoreFlag(LinkState.debugLog, (options & fuzzinput::DEBUG_LOG) ? 1 : 0);

    const int ok = ConnectEcu();
    CheckStore();
    if (!ok) {
        FUZZ_CHECK(LoadFlag(LinkState.connected) == 0);
        FUZZ_CHECK(fakeOs.threadsCreated == 0);
        FUZZ_CHECK(fakeOs.messages.size() <= 1);
        if (!fakeOs.messages.empty()) {
            FUZZ_CHECK(IsOneOf(fakeOs.messages[0].text,
                               {L"GetBlock failed", L"SendAckBlock failed", L"SendBlockType failed"}));
            FUZZ_CHECK(fakeOs.messages[0].ownedByMainWindow == 0);
        }
        return 0;
    }
    FUZZ_CHECK(fakeOs.messages.empty());
    FUZZ_CHECK(fakeOs.threadsCreated == 1 && (fakeOs.readerResumes == 1));
    FUZZ_CHECK(LoadFlag(LinkState.connected) == 1);
    FUZZ_CHECK(blockNumber.load() == 13);
    FUZZ_CHECK(LogEndsWith("\r\nReader Thread Started\r\nInitialised OK!\r\n"));

    currentChannel = (options >> 2) % CHANNEL_COUNT;
    fakeOs.onWrite = [](uint8_t) {
        if (fakeOs.written.size() >= WRITE_GUARD)
            StoreFlag(LinkState.connected, 0);
    };
    fakeOs.readerProc(nullptr);
    CheckStore();
    FUZZ_CHECK(LoadFlag(LinkState.connected) == 0);
    FUZZ_CHECK(effectiveBaudRate.load() >= 0);
    FUZZ_CHECK(fakeOs.messages.size() <= 1);
    if (!fakeOs.messages.empty()) {
        FUZZ_CHECK(IsOneOf(fakeOs.messages[0].text,
                           {L"SendValueRequestBlock failed", L"SendADCChannelRead failed",
                            L"GetBlock failed"}));
        FUZZ_CHECK(fakeOs.messages[0].ownedByMainWindow == 1);
    }
    return 0;
}
