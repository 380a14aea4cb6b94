// The eight channels Tarvex measures, fixed when it is built, and the latest raw reading of each.
// Every per-channel array of the program is indexed by the same channel index 0..7.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int CHANNEL_COUNT = 8;
constexpr int CHANNEL_NAME_CAPACITY = 260;

enum RequestKind : int32_t {
    RamRead = 0, // memory read: byte count, address high, address low
    AdcRead = 1, // ADC read: channel number in the first parameter
};

// The table is held as five parallel columns, indexed by channel.
struct ChannelTableColumns {
    int32_t enabled[CHANNEL_COUNT];      // 1 while shown and logged; flipped by the channel button
    int32_t controlId[CHANNEL_COUNT];    // child-window id of the channel's button
    int16_t params[CHANNEL_COUNT][3];    // request parameters; only their low bytes go on the wire
    int32_t requestKind[CHANNEL_COUNT];  // a RequestKind
    wchar_t name[CHANNEL_COUNT][CHANNEL_NAME_CAPACITY]; // display name, NUL-terminated
};
extern ChannelTableColumns ChannelTable;

// Latest raw reading per channel, written whole by the block receiver on whichever thread drives
// the line and read on each tick by the GUI thread: a relaxed 16-bit atomic is all it needs.
extern std::atomic<int16_t> rawValues[CHANNEL_COUNT];

// The channel whose button has this control id, or -1.
int FindChannelByControlId(int controlId);
