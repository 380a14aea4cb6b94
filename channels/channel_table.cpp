// The fixed channel table and the raw readings beside it.
#include "channel_table.h"

#include <iterator>

namespace {

// The table's columns, one entry per channel in channel order. Each is sized by its entries and
// checked against the channel count, so a missing or extra entry fails the build.
constexpr int32_t controlIds[] = {10101, 10102, 10103, 10104, 10105, 10106, 10107, 10108};
constexpr int16_t requestParams[][3] = {{1, 0, 0x37}, {1, 0, 0x38}, {1, 0, 0x45}, {1, 0, 0x3A},
                                        {1, 0, 0x42}, {1, 0, 0x5D}, {0, 0, 0},    {1, 0, 0}};
constexpr RequestKind requestKinds[] = {RamRead, RamRead, RamRead, RamRead,
                                        RamRead, RamRead, AdcRead, AdcRead};
constexpr const wchar_t* names[] = {L"Intake Air Temp", L"Cylinder Head Temp", L"AFM Voltage",
                                    L"RPM",             L"Injector Time",      L"Ignition Advance",
                                    L"MAF Sensor",      L"Battery"};
static_assert(std::size(controlIds) == CHANNEL_COUNT && std::size(requestParams) == CHANNEL_COUNT &&
                  std::size(requestKinds) == CHANNEL_COUNT && std::size(names) == CHANNEL_COUNT,
              "one entry per channel in every column");

// Made at compile time: the table is in place before any code runs.
constexpr ChannelTableColumns MakeChannelTable() {
    ChannelTableColumns table = {};
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        table.enabled[i] = 1; // every channel starts shown
        table.controlId[i] = controlIds[i];
        for (int p = 0; p < 3; p++)
            table.params[i][p] = requestParams[i][p];
        table.requestKind[i] = requestKinds[i];
        for (int c = 0; names[i][c] != 0; c++)
            table.name[i][c] = names[i][c];
    }
    return table;
}

} // namespace

ChannelTableColumns ChannelTable = MakeChannelTable();

std::atomic<int16_t> rawValues[CHANNEL_COUNT];

static_assert(std::atomic<int16_t>::is_always_lock_free, "raw values are shared between threads");

int FindChannelByControlId(int controlId) {
    for (int i = 0; i < CHANNEL_COUNT; i++)
        if (ChannelTable.controlId[i] == controlId)
            return i;
    return -1;
}
