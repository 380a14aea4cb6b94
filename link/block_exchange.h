// Blocks on the K-line: layout, the byte handshake, the store of received blocks and the block
// counter that both sides advance.
//
// On the line a block is: length (the bytes that follow, end included), counter, title, data,
// 0x03. Every byte but the end is answered by the other side with its complement.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int BLOCK_SLOTS = 256;
constexpr int BLOCK_DATA_BYTES = 200;            // 199 data bytes and a NUL terminator
constexpr int MAX_BLOCK_DATA = BLOCK_DATA_BYTES - 1;
constexpr uint8_t BLOCK_END = 0x03;

constexpr uint8_t TITLE_VALUE_REQUEST = 0x01;
constexpr uint8_t TITLE_END_SESSION = 0x06;
constexpr uint8_t TITLE_OPENING = 0x07;          // the bare block sent as block 10
constexpr uint8_t TITLE_ADC_REQUEST = 0x08;
constexpr uint8_t TITLE_ACK = 0x09;
constexpr uint8_t TITLE_REFUSED = 0x0A;          // the ECU refuses; never stored
constexpr uint8_t TITLE_ADC_VALUE = 0xFB;        // two data bytes, high first
constexpr uint8_t TITLE_BYTE_VALUE = 0xFE;       // one data byte

// Received blocks, one slot per value of blockNumber when they arrived (the expected counter).
struct BlockStoreColumns {
    uint8_t counter[BLOCK_SLOTS];                   // the counter byte as received
    uint8_t title[BLOCK_SLOTS];                     // the title byte as received
    int32_t dataLength[BLOCK_SLOTS];                // data bytes stored (length byte - 3)
    uint8_t data[BLOCK_SLOTS][BLOCK_DATA_BYTES];    // the data, then a NUL
};
extern BlockStoreColumns BlockStore;

// The data bytes of the last block received as they were on the line: more than its slot keeps
// when a long block was cut to fit. The line rate counts these.
extern int32_t receivedDataBytes;

// The running block counter, 0..255. Written by whichever thread drives the line and read by the
// status line, so it is a relaxed 32-bit atomic.
extern std::atomic<int32_t> blockNumber;

// The counter after c: one up, 255 wrapping to 0.
inline int32_t NextBlockNumber(int32_t c) { return c >= 255 ? 0 : c + 1; }

// Clears the titles and lengths of every slot and the raw values: a fresh start.
void ResetReceiveTables();

// Receives one block from the ECU into slot blockNumber and sets the channel's raw value from it.
int GetBlock(int channel);

int SendAckBlock(uint8_t counter);                  // 03 k 09 03
int SendBlockType(uint8_t counter, uint8_t title);  // 03 k t 03
int SendEndSessionBlock();                          // 03 blockNumber 06 03
int SendValueRequestBlock(uint8_t p0, uint8_t p1, uint8_t p2); // 06 n 01 p0 p1 p2 03
int SendADCChannelRead(uint8_t adcChannel);         // 04 n 08 a 03
