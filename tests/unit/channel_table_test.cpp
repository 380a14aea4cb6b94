// The channel table: button ids lead back to their channel, and the request parameters are the
// bytes that go on the wire.
#include "app/channel_table.h"

#include <gtest/gtest.h>

TEST(ChannelTable, ControlIdsFindTheirChannelAndNothingElse) {
    const struct {
        int controlId;
        int channel;
    } cases[] = {{10101, 0}, {10104, 3}, {10108, 7}, {10100, -1}, {10109, -1}, {112, -1}, {0, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(FindChannelByControlId(c.controlId), c.channel) << c.controlId;
}

TEST(ChannelTable, RequestsMatchTheEcuMemoryMapAndAdcChannels) {
    // Memory channels read one byte at 0x00nn; the ADC channels carry their channel number.
    const int addresses[6] = {0x37, 0x38, 0x45, 0x3A, 0x42, 0x5D};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(ChannelTable.requestKind[i], RamRead) << i;
        EXPECT_EQ(ChannelTable.params[i][0], 1) << i;
        EXPECT_EQ(ChannelTable.params[i][1], 0) << i;
        EXPECT_EQ(ChannelTable.params[i][2], addresses[i]) << i;
    }
    EXPECT_EQ(ChannelTable.requestKind[6], AdcRead);
    EXPECT_EQ(ChannelTable.params[6][0], 0); // MAF sensor: ADC channel 0
    EXPECT_EQ(ChannelTable.requestKind[7], AdcRead);
    EXPECT_EQ(ChannelTable.params[7][0], 1); // battery: ADC channel 1
}
