// The block receiver with its byte handshake, fed any bytes from the line into any slot.
//
// Input: options (fuzzinput), the slot (the value of blockNumber), the channel (mod 8), then the
// line. Whatever the bytes, the receiver answers each with its complement, writes nothing outside
// its slot, keeps a length the slot can hold and, when the block is whole, a terminated text that
// its log line carries in full.
#include "fuzz_line.h"

#include "channels/channel_table.h"
#include "link/block_exchange.h"
#include "link/connection.h"

#include <cstring>
#include <string>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const uint8_t options = data[0];
    const int slot = data[1];
    const int channel = data[2] % CHANNEL_COUNT;
    FuzzReset(data + 3, size - 3, (options & fuzzinput::AUTO_ECHO) != 0);
    // Other slots hold a pattern that must survive the block.
    std::memset(&BlockStore, 0xA5, sizeof BlockStore);
    for (int i = 0; i < BLOCK_SLOTS; i++)
        BlockStore.dataLength[i] = 0;
    static auto before = std::make_unique<BlockStoreColumns>();
    *before = BlockStore;
    blockNumber.store(slot);
    // Every byte the receiver writes answers the byte it read just before.
    fakeOs.onWrite = [](uint8_t written) {
        FUZZ_CHECK(written == static_cast<uint8_t>(0xFF - fakeOs.lastDelivered));
    };

    const int ok = GetBlock(channel);

    FUZZ_CHECK(blockNumber.load() == slot);
    const int32_t length = BlockStore.dataLength[slot];
    FUZZ_CHECK(length >= 0 && length <= MAX_BLOCK_DATA);
    for (int i = 0; i < BLOCK_SLOTS; i++) {
        if (i == slot)
            continue;
        FUZZ_CHECK(BlockStore.counter[i] == before->counter[i]);
        FUZZ_CHECK(BlockStore.title[i] == before->title[i]);
        FUZZ_CHECK(BlockStore.dataLength[i] == before->dataLength[i]);
        FUZZ_CHECK(std::memcmp(BlockStore.data[i], before->data[i], BLOCK_DATA_BYTES) == 0);
    }
    FUZZ_CHECK(fakeOs.logUsesOutsideLock == 0);
    if (!ok)
        return 0;

    // A whole block: its length byte was the first byte read, at least 3.
    const uint8_t lengthByte = data[3];
    FUZZ_CHECK(lengthByte >= 3);
    FUZZ_CHECK(length == (lengthByte - 3 < MAX_BLOCK_DATA ? lengthByte - 3 : MAX_BLOCK_DATA));
    FUZZ_CHECK(BlockStore.title[slot] != TITLE_REFUSED);
    FUZZ_CHECK(BlockStore.data[slot][length] == 0);
    // Received bytes answered: length, counter, title and every data byte, the end not.
    FUZZ_CHECK(fakeOs.written.size() == lengthByte);
    if (BlockStore.title[slot] == TITLE_BYTE_VALUE && length >= 1)
        FUZZ_CHECK(rawValues[channel].load() == BlockStore.data[slot][0]);

    // The block's log line carries its whole text, however long, on one line of its own: read
    // back, its escapes give the data up to its first NUL.
    LogReceivedBlock(slot);
    const std::string& log = fakeOs.logFile;
    const size_t text = log.find(" data ", log.rfind("\r\nblockNumber ")) + 6;
    std::string decoded;
    for (size_t i = text; i < log.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(log[i]);
        FUZZ_CHECK(c >= 0x20 && c != 0x7F);
        if (c == '\\') {
            FUZZ_CHECK(log.compare(i + 1, 1, "x") == 0 && i + 3 < log.size());
            decoded += static_cast<char>(std::stoi(log.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            decoded += static_cast<char>(c);
        }
    }
    FUZZ_CHECK(decoded == reinterpret_cast<const char*>(BlockStore.data[slot]));
    FUZZ_CHECK(fakeOs.logUsesOutsideLock == 0);
    return 0;
}
