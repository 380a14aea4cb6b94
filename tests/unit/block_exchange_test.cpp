// Blocks byte by byte against a scripted far end: what the program writes, what it stores, and
// where it stops when the line misbehaves.
#include "channels/channel_table.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class BlockExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakeOs();
        OsCreateLogFile();
        OsOpenPort(L"\\\\.\\COM9");
    }
    static void Script(const std::vector<int>& ecuBytes) {
        fakeOs.ecuScript.assign(ecuBytes.begin(), ecuBytes.end());
    }
};

} // namespace

TEST_F(BlockExchange, RawValuesFromTheAnswerTitles) {
    const struct {
        std::vector<int> block;
        int16_t raw;
    } cases[] = {
        {{0x05, 0x0F, 0xFB, 0x01, 0x2C, 0x03}, 300},
        {{0x05, 0x0F, 0xFB, 0xFF, 0xFF, 0x03}, -1},
        {{0x04, 0x0F, 0xFB, 0x07, 0x03}, 0},       // one byte is too short for an ADC value
        {{0x04, 0x0F, 0xFE, 0xC8, 0x03}, 200},
        {{0x05, 0x0F, 0xFE, 0xC8, 0x11, 0x03}, 200},
        {{0x03, 0x0F, 0xFE, 0x03}, 0},             // no data byte
        {{0x04, 0x0F, 0x42, 0xC8, 0x03}, 0},       // any other title
    };
    for (const auto& c : cases) {
        rawValues[2] = 1234;
        Script(c.block);
        blockNumber = 15;
        EXPECT_EQ(GetBlock(2), 1);
        EXPECT_EQ(rawValues[2], c.raw) << "title " << c.block[2];
        EXPECT_EQ(rawValues[3], 0) << "only the given channel's entry changes";
    }
}

TEST_F(BlockExchange, ABlockNotTakenLeavesItsSlotAndValue) {
    // Reads that report errors, and a line silent from the start, are among the
    // fault-injection runs.
    const struct {
        const char* what;
        std::vector<int> ecu;
        Bytes written;
        std::string log;
        size_t unread;
        uint8_t counter;  // stored in the slot
        bool slotKept;    // the slot keeps its former title and length
    } cases[] = {
        {"a refused title stops before the data", {0x05, 0x05, 0x0A, 0x12, 0x34, 0x03},
         {0xFA, 0xFA, 0xF5}, "\r\nWrong title!", 3, 0x05, true},
        // No room for counter and title: the length is answered, then it fails.
        {"length below 3", {0x02, 0x05, 0x09, 0x03}, {0xFD}, "\r\nBad block length = 02h", 3, 0,
         true},
        {"cut off midway, no stale byte reused", {0x06, 0x05, 0xFE, 0x10, -1},
         {0xF9, 0xFA, 0x01, 0xEF}, "", 0, 0x05, false},
    };
    for (const auto& c : cases) {
        SetUp();
        BlockStore.title[5] = 0x33;
        BlockStore.dataLength[5] = 4;
        Script(c.ecu);
        blockNumber = 5;
        rawValues[0] = 9;
        EXPECT_EQ(GetBlock(0), 0) << c.what;
        EXPECT_EQ(fakeOs.written, c.written) << c.what;
        EXPECT_EQ(fakeOs.logFile, c.log) << c.what;
        EXPECT_EQ(fakeOs.ecuScript.size(), c.unread) << c.what;
        EXPECT_EQ(BlockStore.counter[5], c.counter) << c.what;
        if (c.slotKept) {
            EXPECT_EQ(BlockStore.title[5], 0x33) << c.what;
            EXPECT_EQ(BlockStore.dataLength[5], 4) << c.what;
        }
        EXPECT_EQ(rawValues[0], 9) << c.what;
    }
}

TEST_F(BlockExchange, ALongBlockIsTakenWholeAndCutToTheSlot) {
    // Above 202 the whole block is taken with its handshake and 199 data bytes are kept.
    std::vector<int> block = {0xFF, 0x08, 0xF6};
    for (int i = 0; i < 252; i++)
        block.push_back('a' + i % 26);
    block.push_back(0x03);
    Script(block);
    blockNumber = 8;
    BlockStore.data[8][199] = 'x'; // the kept data's end is marked over whatever stood there
    EXPECT_EQ(GetBlock(1), 1);
    EXPECT_EQ(fakeOs.written.size(), 255u) << "every byte but the end answered";
    EXPECT_EQ(BlockStore.dataLength[8], 199);
    EXPECT_EQ(BlockStore.data[8][198], 'a' + 198 % 26);
    EXPECT_EQ(BlockStore.data[8][199], 0);
    EXPECT_EQ(fakeOs.logFile, "\r\nLong block: data cut to 199 bytes");
    EXPECT_TRUE(fakeOs.ecuScript.empty()) << "the line is still in step";
}

TEST_F(BlockExchange, OnlyTheCounterEchoIsChecked) {
    // A wrong echo of the counter: the block is abandoned after its counter byte.
    fakeOs.corruptEchoOfFirst = 0x02;
    Script({0xFC});
    EXPECT_EQ(SendAckBlock(2), 0);
    EXPECT_EQ(fakeOs.written, Bytes({0x03, 0x02}));

    // A wrong complement from the ECU (00 after the length 06) does not matter.
    fakeOs.written.clear();
    fakeOs.echoes.clear();
    blockNumber = 14;
    Script({0x00, 0xF1, 0xFE, 0xFE, 0xFF, 0xC8});
    EXPECT_EQ(SendValueRequestBlock(1, 0, 0x37), 1);

    // No echo at all: the first read fails and nothing more is written.
    fakeOs.written.clear();
    fakeOs.echoOff = true;
    Script({});
    EXPECT_EQ(SendAckBlock(4), 0);
    EXPECT_EQ(fakeOs.written, Bytes({0x03}));
}

TEST_F(BlockExchange, IdentificationLinesKeepTheEcusTextToItself) {
    // The data is the ECU's, up to its first NUL; a line end or a time in it must not read as a
    // line of Tarvex's own. A full one, 199 bytes of text, is the fuzz targets' and the block
    // faults' end-to-end test; plain text is the opening exchange's.
    const std::string data("A\r\nInitialised OK!\r\n\x7F\\x41\x1F\xE9~\0after", 32);
    BlockStore.title[9] = 0x09;
    BlockStore.dataLength[9] = static_cast<int32_t>(data.size());
    std::copy(data.begin(), data.end(), BlockStore.data[9]);
    BlockStore.data[9][data.size()] = 0;
    LogReceivedBlock(9);
    EXPECT_EQ(fakeOs.logFile,
              "\r\nblockNumber 9 Type =  9 Length = 32 data A\\x0D\\x0AInitialised OK!"
              "\\x0D\\x0A\\x7F\\x5Cx41\\x1F\xE9~");
}
