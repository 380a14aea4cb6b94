// The simulated engine: see engine_model.h. Engineering values first, then raw units through the
// inverse of the logger's conversions, rounded to the nearest step and clamped to the cell's range.
#include "engine_model.h"

#include <cmath>

namespace ecusim {
namespace {

constexpr double kPi = 3.14159265358979323846;

// 0 at idle, rising smoothly to 1 at the top of a rev-up and back.
double RevFraction(double s) {
    double inPeriod = std::fmod(s, kRevPeriodS) - kRevStartS;
    if (inPeriod < 0.0 || inPeriod > kRevLengthS) {
        return 0.0;
    }
    return 0.5 * (1.0 - std::cos(2.0 * kPi * inPeriod / kRevLengthS));
}

// 1 when the engine is cold, falling towards 0 as it warms.
double Coldness(double s) {
    return std::exp(-s / 90.0);
}

uint8_t ToByte(double raw) {
    double r = std::floor(raw + 0.5);
    return static_cast<uint8_t>(r < 0.0 ? 0.0 : (r > 255.0 ? 255.0 : r));
}

uint16_t ToWord(double raw) {
    double r = std::floor(raw + 0.5);
    return static_cast<uint16_t>(r < 0.0 ? 0.0 : (r > 65535.0 ? 65535.0 : r));
}

} // namespace

EngineValues EngineAt(uint64_t tUs) {
    double s = static_cast<double>(tUs) / 1e6;
    double rev = RevFraction(s);
    double cold = Coldness(s);
    EngineValues v;
    v.headTempF = kAmbientF + (190.0 - kAmbientF) * (1.0 - cold);
    v.intakeAirF = kAmbientF + 22.0 * (1.0 - std::exp(-s / 300.0)) - 4.0 * rev;
    // Fast idle while cold, a slight hunt at idle, and the rev-up on top.
    v.rpm = 800.0 + 300.0 * cold + 15.0 * std::sin(2.0 * kPi * s / 1.7) + 2700.0 * rev;
    v.afmVolts = 1.1 + 2.6 * rev + 0.02 * std::sin(2.0 * kPi * s / 1.7);
    v.mafVolts = 1.3 + 2.8 * rev;
    v.injectorMs = 2.2 + 0.8 * cold + 3.0 * rev;
    v.advanceDeg = 10.0 + 22.0 * rev;
    v.batteryVolts = 13.8 + 0.15 * rev - 0.05 * std::sin(2.0 * kPi * s / 7.0);
    return v;
}

EngineRaw EngineRawAt(uint64_t tUs) {
    EngineValues v = EngineAt(tUs);
    EngineRaw r;
    r.intakeAir = ToByte((v.intakeAirF + 26.0) / 1.15);
    r.headTemp = ToByte((v.headTempF + 26.0) / 1.15);
    r.afm = ToByte(v.afmVolts * 25500.0 / 500.0);
    r.rpm = ToByte(v.rpm / 40.0);
    r.injector = ToByte(v.injectorMs / 0.05);
    r.advance = ToByte(104.0 - v.advanceDeg * 255.0 / 207.5);
    r.maf = ToWord(v.mafVolts * 25500.0 / 500.0);
    r.battery = ToWord(v.batteryVolts * 1000000.0 / 682.0);
    return r;
}

uint8_t ReadEcuMemory(uint16_t address, uint64_t tUs) {
    EngineRaw r = EngineRawAt(tUs);
    switch (address) {
    case kAddrIntakeAir: return r.intakeAir;
    case kAddrHeadTemp: return r.headTemp;
    case kAddrAfm: return r.afm;
    case kAddrRpm: return r.rpm;
    case kAddrInjector: return r.injector;
    case kAddrAdvance: return r.advance;
    default: return 0xFF;
    }
}

bool ReadEcuAdc(uint8_t channel, uint64_t tUs, uint16_t* value) {
    EngineRaw r = EngineRawAt(tUs);
    switch (channel) {
    case kAdcMaf: *value = r.maf; return true;
    case kAdcBattery: *value = r.battery; return true;
    default: return false;
    }
}

} // namespace ecusim
