// The fixed channel table and the raw readings beside it.
#include "channel_table.h"

#include <iterator>

namespace {

// The conversions: each channel's arithmetic. Single precision where it is single (every
// constant a float, the steps in the order written), double for the ignition advance; never
// reorder these expressions or build with fast-math: the texts would change in their last digit.
constexpr float Temperature(float r) { return r * 1.15f - 26.0f; }        // intake air, cylinder head
constexpr float SensorVolts(float r) { return r * 500.0f / 25500.0f; }    // air-flow meter, MAF sensor
constexpr float Rpm(float r) { return r * 40.0f; }                       // the text is whole, the value not
constexpr float InjectorMs(float r) { return r * 0.05f; }
constexpr float IgnitionAdvance(float r) {                               // in double precision
    return static_cast<float>((104.0 - static_cast<double>(r)) * 207.5 / 255.0);
}
constexpr float BatteryVolts(float r) { return r * 682.0f / 1000000.0f; }

} // namespace

constexpr UnitRow UNITS[UNIT_GROUP_COUNT] = {
    {L"Fahr", -50.0f, 450.0f, "%5.2f F", false},
    {L"Volts", -2.0f, 20.0f, "%5.2f Volts", false},
    {L"RPM", -1000.0f, 9000.0f, "%d RPM", true},
    {L"ms", -10.0f, 90.0f, "%5.2f ms", false},
    {L"Angle", -10.0f, 290.0f, "%5.2f deg", false},
};

constexpr ChannelRow CHANNEL_ROWS[] = {
    {L"Intake Air Temp", 10101, RamRead, {1, 0, 0x37}, FahrGroup, ColourRgb(255, 0, 0), Temperature},
    {L"Cylinder Head Temp", 10102, RamRead, {1, 0, 0x38}, FahrGroup, ColourRgb(200, 100, 0), Temperature},
    {L"AFM Voltage", 10103, RamRead, {1, 0, 0x45}, VoltsGroup, ColourRgb(0, 255, 0), SensorVolts},
    {L"RPM", 10104, RamRead, {1, 0, 0x3A}, RpmGroup, ColourRgb(0, 0, 255), Rpm},
    {L"Injector Time", 10105, RamRead, {1, 0, 0x42}, MsGroup, ColourRgb(240, 240, 50), InjectorMs},
    {L"Ignition Advance", 10106, RamRead, {1, 0, 0x5D}, AngleGroup, ColourRgb(180, 180, 180), IgnitionAdvance},
    {L"MAF Sensor", 10107, AdcRead, {0, 0, 0}, VoltsGroup, ColourRgb(250, 0, 250), SensorVolts},
    {L"Battery", 10108, AdcRead, {1, 0, 0}, VoltsGroup, ColourRgb(255, 200, 200), BatteryVolts},
};
static_assert(std::size(CHANNEL_ROWS) == CHANNEL_COUNT, "a row for every channel");

namespace {

// Made at compile time: the table is in place before any code runs.
constexpr ChannelTableColumns MakeChannelTable() {
    ChannelTableColumns table = {};
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        table.enabled[i] = 1; // every channel starts shown
        table.controlId[i] = CHANNEL_ROWS[i].controlId;
        for (int p = 0; p < 3; p++)
            table.params[i][p] = CHANNEL_ROWS[i].params[p];
        table.requestKind[i] = CHANNEL_ROWS[i].requestKind;
        for (int c = 0; CHANNEL_ROWS[i].name[c] != 0; c++)
            table.name[i][c] = CHANNEL_ROWS[i].name[c];
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
