// The simulated engine: plausible values over a drive, and raw units that convert back.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_model.h"

namespace ecusim {
namespace {

// The logger's conversions from raw units, in the same precision.
struct Converted {
    double intakeAirF, headTempF, afmVolts, rpm, injectorMs, advanceDeg, mafVolts, batteryVolts;
};
Converted Convert(const EngineRaw& r) {
    Converted c;
    c.intakeAirF = static_cast<float>(r.intakeAir) * 1.15f - 26.0f;
    c.headTempF = static_cast<float>(r.headTemp) * 1.15f - 26.0f;
    c.afmVolts = static_cast<float>(r.afm) * 500.0f / 25500.0f;
    c.rpm = static_cast<float>(r.rpm) * 40.0f;
    c.injectorMs = static_cast<float>(r.injector) * 0.05f;
    c.advanceDeg = static_cast<float>((104.0 - r.advance) * 207.5 / 255.0);
    c.mafVolts = static_cast<float>(static_cast<int16_t>(r.maf)) * 500.0f / 25500.0f;
    c.batteryVolts = static_cast<float>(static_cast<int16_t>(r.battery)) * 682.0f / 1000000.0f;
    return c;
}

TEST(EngineModel, RawUnitsConvertBackWithinOneStep) {
    for (uint64_t ms = 0; ms < 120000; ms += 250) {
        uint64_t t = ms * 1000;
        EngineValues v = EngineAt(t);
        Converted c = Convert(EngineRawAt(t));
        SCOPED_TRACE(ms);
        EXPECT_NEAR(c.intakeAirF, v.intakeAirF, 1.15 / 2 + 0.01);
        EXPECT_NEAR(c.headTempF, v.headTempF, 1.15 / 2 + 0.01);
        EXPECT_NEAR(c.afmVolts, v.afmVolts, 0.0197 / 2 + 0.001);
        EXPECT_NEAR(c.rpm, v.rpm, 20.01);
        EXPECT_NEAR(c.injectorMs, v.injectorMs, 0.026);
        EXPECT_NEAR(c.advanceDeg, v.advanceDeg, 0.82 / 2 + 0.01);
        EXPECT_NEAR(c.mafVolts, v.mafVolts, 0.0197 / 2 + 0.001);
        EXPECT_NEAR(c.batteryVolts, v.batteryVolts, 0.000682 / 2 + 0.0001);
    }
}

TEST(EngineModel, WarmsUpIdlesAndRevs) {
    EngineValues cold = EngineAt(0);
    EXPECT_NEAR(cold.headTempF, kAmbientF, 0.5);
    EXPECT_GT(EngineAt(600000000).headTempF, 185.0);
    double lastHead = cold.headTempF, minRpm = 1e9, maxRpm = 0;
    for (uint64_t ms = 300000; ms < 340000; ms += 50) { // two rev periods, engine warm
        EngineValues v = EngineAt(ms * 1000);
        minRpm = std::min(minRpm, v.rpm);
        maxRpm = std::max(maxRpm, v.rpm);
        EXPECT_GE(v.headTempF, lastHead);
        lastHead = v.headTempF;
        EXPECT_GT(v.batteryVolts, 13.6);
        EXPECT_LT(v.batteryVolts, 14.1);
        EXPECT_GT(v.advanceDeg, 5.0);
        EXPECT_LT(v.advanceDeg, 40.0);
    }
    EXPECT_NEAR(minRpm, 800.0, 30.0);
    EXPECT_GT(maxRpm, 3000.0);
    // Same time, same answer: the model has no hidden state.
    EXPECT_EQ(ReadEcuMemory(kAddrRpm, 123456789), ReadEcuMemory(kAddrRpm, 123456789));
    uint16_t adc = 0;
    EXPECT_FALSE(ReadEcuAdc(2, 0, &adc));
}

} // namespace
} // namespace ecusim
