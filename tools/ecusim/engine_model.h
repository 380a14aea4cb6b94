// A small engine for the simulated ECU to report: it starts cold at the ambient temperature,
// warms up, idles near 800 RPM and revs up every 20 seconds. Its state is a pure function of the
// time since the engine started, so a test can ask what the ECU reported at any instant.
#pragma once

#include <cstdint>

namespace ecusim {

// Where the ECU keeps each quantity: memory addresses and ADC channels as the logger polls them.
constexpr uint16_t kAddrIntakeAir = 0x37;
constexpr uint16_t kAddrHeadTemp = 0x38;
constexpr uint16_t kAddrAfm = 0x45;
constexpr uint16_t kAddrRpm = 0x3A;
constexpr uint16_t kAddrInjector = 0x42;
constexpr uint16_t kAddrAdvance = 0x5D;
constexpr uint8_t kAdcMaf = 0;
constexpr uint8_t kAdcBattery = 1;

constexpr double kAmbientF = 68.0;
constexpr double kRevPeriodS = 20.0; // one rev-up per period
constexpr double kRevStartS = 12.0;  // where in the period it begins
constexpr double kRevLengthS = 4.0;  // up and back down to idle

// Engineering values, in the units the logger shows.
struct EngineValues {
    double intakeAirF;   // intake air temperature, Fahrenheit
    double headTempF;    // cylinder head temperature, Fahrenheit
    double afmVolts;     // air flow meter voltage
    double rpm;          // engine speed
    double injectorMs;   // injector opening time
    double advanceDeg;   // ignition advance, degrees
    double mafVolts;     // mass air flow sensor voltage (ADC channel 0)
    double batteryVolts; // battery voltage (ADC channel 1)
};

// The same quantities as the ECU holds them: one byte per memory cell, 16 bits per ADC reading.
struct EngineRaw {
    uint8_t intakeAir; // F = raw * 1.15 - 26
    uint8_t headTemp;  // F = raw * 1.15 - 26
    uint8_t afm;       // V = raw * 500 / 25500
    uint8_t rpm;       // RPM = raw * 40
    uint8_t injector;  // ms = raw * 0.05
    uint8_t advance;   // deg = (104 - raw) * 207.5 / 255
    uint16_t maf;      // V = raw * 500 / 25500
    uint16_t battery;  // V = raw * 682 / 1000000
};

EngineValues EngineAt(uint64_t tUs);
EngineRaw EngineRawAt(uint64_t tUs);

// The ECU's memory and ADC as the polls see them. Addresses the engine does not use read 0xFF;
// ADC channels other than 0 and 1 do not exist (false).
uint8_t ReadEcuMemory(uint16_t address, uint64_t tUs);
bool ReadEcuAdc(uint8_t channel, uint64_t tUs, uint16_t* value);

} // namespace ecusim
