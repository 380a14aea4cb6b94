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

// A colour as 0x00BBGGRR. A component above 255 would spill into the next one (a red of 256 is a
// green of 1, black on the chart): such a colour does not build.
constexpr uint32_t ColourRgb(uint32_t r, uint32_t g, uint32_t b) {
    return r > 255 || g > 255 || b > 255 ? throw "a colour's component is one byte"
                                         : r | (g << 8) | (b << 16);
}

// The units, one chart axis each: its label column's heading, the range that fills the chart's
// height, and how a reading of the unit is written on its button and in the log.
enum UnitGroupId { FahrGroup, VoltsGroup, RpmGroup, MsGroup, AngleGroup, UNIT_GROUP_COUNT };
struct UnitRow {
    const wchar_t* label; // at the top of the unit's label column
    float min;            // the value at the chart's bottom edge
    float max;            // the value at its top edge
    const char* text;     // the reading's printf format: "%5.2f F", or "%d RPM" for a whole number
    bool whole;           // the text shows the value truncated to a whole number
};
extern const UnitRow UNITS[UNIT_GROUP_COUNT];

// Everything fixed about a channel, one row each: adding a channel is a row, its conversion and
// a test.
struct ChannelRow {
    const wchar_t* name;
    int32_t controlId;         // the child-window id of its button
    RequestKind requestKind;
    int16_t params[3];         // the request's parameters; only their low bytes go on the wire
    UnitGroupId unit;          // the axis it is plotted on, and how its reading is written
    uint32_t colour;           // its trace, edge marker and button caption, 0x00BBGGRR
    float (*convert)(float raw); // the engineering value of a raw reading, exact as documented
};
extern const ChannelRow CHANNEL_ROWS[CHANNEL_COUNT];

// The table as the program uses it, made from the rows: five parallel columns, indexed by
// channel, with the one part that changes, each channel's enabled flag.
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
