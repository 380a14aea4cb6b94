// The fixed channel table and the raw readings beside it.
#include "channel_table.h"

// Columns: enabled, controlId, params, requestKind, name; one entry per channel.
ChannelTableColumns ChannelTable = {
    {1, 1, 1, 1, 1, 1, 1, 1},
    {10101, 10102, 10103, 10104, 10105, 10106, 10107, 10108},
    {{1, 0, 0x37}, {1, 0, 0x38}, {1, 0, 0x45}, {1, 0, 0x3A},
     {1, 0, 0x42}, {1, 0, 0x5D}, {0, 0, 0}, {1, 0, 0}},
    {RamRead, RamRead, RamRead, RamRead, RamRead, RamRead, AdcRead, AdcRead},
    {L"Intake Air Temp", L"Cylinder Head Temp", L"AFM Voltage", L"RPM", L"Injector Time",
     L"Ignition Advance", L"MAF Sensor", L"Battery"},
};

std::atomic<int16_t> rawValues[CHANNEL_COUNT];

static_assert(sizeof(ChannelTable.enabled) / sizeof(ChannelTable.enabled[0]) == CHANNEL_COUNT,
              "one enabled flag per channel");
static_assert(std::atomic<int16_t>::is_always_lock_free, "raw values are shared between threads");

int FindChannelByControlId(int controlId) {
    for (int i = 0; i < CHANNEL_COUNT; i++)
        if (ChannelTable.controlId[i] == controlId)
            return i;
    return -1;
}
