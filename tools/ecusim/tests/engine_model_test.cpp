// The simulated engine: plausible values over a drive, served in raw units that the logger's
// conversions turn back into them.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_model.h"

namespace ecusim {
namespace {

TEST(EngineModel, WarmsUpIdlesRevsAndServesRawUnitsThatConvertBackWithinOneStep) {
    double lastHead = 0, minRpm = 1e9, maxRpm = 0;
    for (uint64_t ms = 0; ms < 340000; ms += 250) {
        const uint64_t t = ms * 1000;
        const EngineValues v = EngineAt(t);
        auto cell = [t](uint16_t address) { return float(ReadEcuMemory(address, t)); };
        auto adc = [t](uint8_t channel) {
            uint16_t raw = 0;
            EXPECT_TRUE(ReadEcuAdc(channel, t, &raw));
            return float(int16_t(raw));
        };
        SCOPED_TRACE(ms);
        // The logger's conversions, in its precision.
        EXPECT_NEAR(cell(kAddrIntakeAir) * 1.15f - 26.0f, v.intakeAirF, 1.15 / 2 + 0.01);
        EXPECT_NEAR(cell(kAddrHeadTemp) * 1.15f - 26.0f, v.headTempF, 1.15 / 2 + 0.01);
        EXPECT_NEAR(cell(kAddrAfm) * 500.0f / 25500.0f, v.afmVolts, 0.0197 / 2 + 0.001);
        EXPECT_NEAR(cell(kAddrRpm) * 40.0f, v.rpm, 20.01);
        EXPECT_NEAR(cell(kAddrInjector) * 0.05f, v.injectorMs, 0.026);
        EXPECT_NEAR((104.0 - cell(kAddrAdvance)) * 207.5 / 255.0, v.advanceDeg, 0.82 / 2 + 0.01);
        EXPECT_NEAR(adc(kAdcMaf) * 500.0f / 25500.0f, v.mafVolts, 0.0197 / 2 + 0.001);
        EXPECT_NEAR(adc(kAdcBattery) * 682.0f / 1000000.0f, v.batteryVolts, 0.000682 / 2 + 0.0001);
        EXPECT_GE(v.headTempF, lastHead);
        lastHead = v.headTempF;
        if (ms >= 300000) { // warm: two rev periods
            minRpm = std::min(minRpm, v.rpm);
            maxRpm = std::max(maxRpm, v.rpm);
            EXPECT_GT(v.batteryVolts, 13.6);
            EXPECT_LT(v.batteryVolts, 14.1);
            EXPECT_GT(v.advanceDeg, 5.0);
            EXPECT_LT(v.advanceDeg, 40.0);
        }
    }
    EXPECT_NEAR(EngineAt(0).headTempF, kAmbientF, 0.5);
    EXPECT_GT(lastHead, 185.0);
    EXPECT_NEAR(minRpm, 800.0, 30.0);
    EXPECT_GT(maxRpm, 3000.0);
}

} // namespace
} // namespace ecusim
