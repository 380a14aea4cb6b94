// The block exchange: sending and receiving blocks with the byte handshake.
//
// Each routine moves single bytes through ReadByte and WriteByte. Sent bytes come back first as
// their echo (the adapter hears itself), then as the ECU's complement; received bytes are
// answered with their complement, whose echo is read back. Only the echo of a sent counter byte
// is compared: it tells that the block really went out on the line.
#include "link/block_exchange.h"

#include "channels/channel_table.h"
#include "link/serial_line.h"
#include "log/log_texts.h"
#include "log/session_log.h"

#include <cstdio>

BlockStoreColumns BlockStore;
std::atomic<int32_t> blockNumber{0};
int32_t receivedDataBytes = 0;

namespace {

constexpr int COUNTER_POSITION = 1;

uint8_t Complement(uint8_t b) { return static_cast<uint8_t>(0xFF - b); }

// Sends the bytes of one block, the last being the block end. A read that brings no byte fails
// the block at once: the line has gone quiet or away, and the bytes that would follow could only
// be compared with stale ones.
int SendBlock(const uint8_t* bytes, int count) {
    for (int i = 0; i < count - 1; i++) {
        WriteByte(bytes[i]);
        if (!ReadByte())
            return 0;
        if (i == COUNTER_POSITION && rxByte != bytes[i])
            return 0;
        if (!ReadByte()) // the ECU's complement, not checked
            return 0;
    }
    WriteByte(BLOCK_END);
    return ReadByte(); // the echo of the end; the ECU does not answer it
}

// Answers a received byte with its complement and reads back the echo.
int AnswerByte(uint8_t received) {
    WriteByte(Complement(received));
    return ReadByte();
}

int16_t RawValueOf(int slot) {
    const uint8_t title = BlockStore.title[slot];
    const int32_t length = BlockStore.dataLength[slot];
    const uint8_t* data = BlockStore.data[slot];
    if (title == TITLE_BYTE_VALUE && length >= 1)
        return data[0];
    if (title == TITLE_ADC_VALUE && length >= 2)
        return static_cast<int16_t>(static_cast<uint16_t>(data[0] << 8 | data[1]));
    return 0;
}

} // namespace

void ResetReceiveTables() {
    for (int i = 0; i < BLOCK_SLOTS; i++) {
        BlockStore.title[i] = 0;
        BlockStore.dataLength[i] = 0;
    }
    for (auto& value : rawValues)
        value.store(0, std::memory_order_relaxed);
}

// Length bytes that do not fit a slot: a length below 3 leaves no room for counter and title, so
// the block cannot be followed; after answering the length byte it fails. A length above 202
// carries more data than a slot holds; the whole block is received with its handshake, so the
// line stays in step, and the first 199 data bytes are kept.
int GetBlock(int channel) {
    const int slot = blockNumber.load(std::memory_order_relaxed);
    if (!ReadByte())
        return 0;
    const uint8_t length = rxByte;
    if (!AnswerByte(length))
        return 0;
    if (length < 3) {
        char line[40];
        std::snprintf(line, sizeof line, LOG_BAD_LENGTH_FORMAT, length);
        LogWriteNarrow(line);
        return 0;
    }
    if (!ReadByte())
        return 0;
    BlockStore.counter[slot] = rxByte;
    if (!AnswerByte(rxByte))
        return 0;
    if (!ReadByte())
        return 0;
    const uint8_t title = rxByte;
    if (!AnswerByte(title))
        return 0;
    if (title == TITLE_REFUSED) {
        LogWrite(LOG_WRONG_TITLE);
        return 0;
    }
    const int dataCount = length - 3;
    const int kept = dataCount < MAX_BLOCK_DATA ? dataCount : MAX_BLOCK_DATA;
    BlockStore.title[slot] = title;
    BlockStore.dataLength[slot] = kept;
    for (int i = 0; i < dataCount; i++) {
        if (!ReadByte())
            return 0;
        if (i < kept)
            BlockStore.data[slot][i] = rxByte;
        if (!AnswerByte(rxByte))
            return 0;
    }
    BlockStore.data[slot][kept] = 0;
    receivedDataBytes = dataCount;
    if (dataCount > kept)
        LogWrite(LOG_LONG_BLOCK);
    // One store of the final value: the GUI thread reads the entry without a lock.
    rawValues[channel].store(RawValueOf(slot), std::memory_order_relaxed);
    return ReadByte(); // the block end, not answered
}

int SendAckBlock(uint8_t counter) {
    const uint8_t block[] = {0x03, counter, TITLE_ACK, BLOCK_END};
    return SendBlock(block, sizeof block);
}

int SendBlockType(uint8_t counter, uint8_t title) {
    const uint8_t block[] = {0x03, counter, title, BLOCK_END};
    return SendBlock(block, sizeof block);
}

// Sent with the current counter, not the next one: the caller does not advance it first.
int SendEndSessionBlock() {
    const uint8_t counter = static_cast<uint8_t>(blockNumber.load(std::memory_order_relaxed));
    const uint8_t block[] = {0x03, counter, TITLE_END_SESSION, BLOCK_END};
    return SendBlock(block, sizeof block);
}

int SendValueRequestBlock(uint8_t p0, uint8_t p1, uint8_t p2) {
    const uint8_t counter = static_cast<uint8_t>(blockNumber.load(std::memory_order_relaxed));
    const uint8_t block[] = {0x06, counter, TITLE_VALUE_REQUEST, p0, p1, p2, BLOCK_END};
    return SendBlock(block, sizeof block);
}

int SendADCChannelRead(uint8_t adcChannel) {
    const uint8_t counter = static_cast<uint8_t>(blockNumber.load(std::memory_order_relaxed));
    const uint8_t block[] = {0x04, counter, TITLE_ADC_REQUEST, adcChannel, BLOCK_END};
    return SendBlock(block, sizeof block);
}
