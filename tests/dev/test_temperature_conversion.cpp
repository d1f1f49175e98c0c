// Thermocouple, RTD and thermistor conversions against the reference
// functions they are generated from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "drv/tempSens/DrvTemperatueTtoECali.h"
#include "drv/tempSens/DrvTemperaturerSensor.h"

namespace {

const char kTypes[] = "BEJKNRST";

double emfAt(uint8_t type, double t) {
    double e = NAN;
    EXPECT_EQ(DrvTempCali_TtoE(type, t, &e), 0) << kTypes[type] << " " << t;
    return e;
}

} // namespace

// Half a unit in the last printed digit of a band value.
double printedHalfUnit(double band) {
    double unit = 1.0;
    while (std::fabs(band / unit - std::round(band / unit)) > 1e-6) unit /= 10;
    return unit / 2;
}

// T -> E -> T in 1 degC steps over each inverse section, within its band at
// the band's printed resolution; a section end may take its neighbour's band.
TEST(Thermocouple, RoundTripWithinErrorBands) {
    for (uint8_t type = 0; type < kTcTypeCount; ++type) {
        const TcInverseSet& set = g_TcInverse[type];
        for (uint32_t s = 0; s < set.Sections; ++s) {
            const TcInverseRange& r = set.Range[s];
            int checked = 0;
            const STRU_TEMP_TtoE_CALI& table = g_TcTtoECali[type];
            for (double t = r.tMin; t <= r.tMax; t += 1.0) {
                if (t == table.TempRange[table.Section]) continue;  // the table's top lies in no section
                const double e = emfAt(type, t);
                if (e < ThermCoupleVoltageMin[type]) continue;  // B's first degrees
                double low = r.bandLow - printedHalfUnit(r.bandLow);
                double high = r.bandHigh + printedHalfUnit(r.bandHigh);
                for (uint32_t n = 0; n < set.Sections; ++n) {
                    if (n != s && set.Range[n].tMin <= t && t <= set.Range[n].tMax) {
                        low = std::min(low, set.Range[n].bandLow - printedHalfUnit(set.Range[n].bandLow));
                        high = std::max(high, set.Range[n].bandHigh + printedHalfUnit(set.Range[n].bandHigh));
                    }
                }
                const double error = GetTemperature_ThermCouple(type, e, 0.0) - t;
                EXPECT_TRUE(error >= low && error <= high) << kTypes[type] << " " << t << ": " << error;
                ++checked;
            }
            EXPECT_GT(checked, 0) << kTypes[type] << " section " << s;
        }
    }
}

// Below the inverse functions the table of whole degrees takes over down to -270.
TEST(Thermocouple, LowTemperatureTableDownToItsEnd) {
    for (uint8_t type : {1, 3, 4, 7}) {
        for (double t = -201; t >= -269; t -= 1.0) {
            const double back = GetTemperature_ThermCouple(type, emfAt(type, t), 0.0);
            // The table holds EMFs to 0.001 mV; near -270 a degree is little more.
            EXPECT_NEAR(back, t, 0.6) << kTypes[type] << " " << t;
        }
        EXPECT_NEAR(GetTemperature_ThermCouple(type, TC_LowTempVoltMin[type], 0.0), -270.0, 1e-4) << kTypes[type];
        EXPECT_EQ(GetTemperature_ThermCouple(type, TC_LowTempVoltMin[type] - 0.001, 0.0), kTempOverload);
    }
}

TEST(Thermocouple, ListedCases) {
    struct Case {
        uint8_t type;
        double mv, cold, expected, tolerance;
    };
    const Case cases[] = {
        {3, 0.0, 0.0, 0.0, 0.001},          // K at a 0 degC junction
        {0, 1.0, -1.0, kTempOverload, 0},  // B: a junction below 0 has no EMF
        {1, -9.0, 0.0, -207.26, 0.01},     // E between the -207 and -208 entries
        {2, -8.2, 0.0, kTempOverload, 0},  // J below its lowest EMF
        {3, 60.0, 0.0, kTempOverload, 0},  // K above its highest EMF
        {3, 1.0, NAN, kTempOverload, 0},   // junction not read
        {8, 1.0, 0.0, kTempOverload, 0},   // no such type
        {3, -7.0, 0.0, kTempOverload, 0},  // K below its table
        {6, 18.7035, 0.0, kTempOverload, 0},  // S above 18.703 mV
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(GetTemperature_ThermCouple(c.type, c.mv, c.cold), c.expected, c.tolerance)
            << int(c.type) << " " << c.mv << " " << c.cold;
    }
    // K 100 degC = 4.096 mV in the printed tables; the junction adds its EMF.
    EXPECT_NEAR(emfAt(3, 100.0), 4.096, 0.0005);
    const double cold = 23.5;
    EXPECT_NEAR(GetTemperature_ThermCouple(3, emfAt(3, 100.0) - emfAt(3, cold), cold), 100.0, 0.06);
    double e = 0;
    EXPECT_EQ(DrvTempCali_TtoE(9, 0.0, &e), -1);
    EXPECT_EQ(DrvTempCali_TtoE(0, -1.0, &e), -2);
    // The top boundary of a table lies in no section; just below it does.
    EXPECT_EQ(DrvTempCali_TtoE(3, 1372.0, &e), -2);
    EXPECT_EQ(DrvTempCali_TtoE(3, 1371.999, &e), 0);
}

// The EMF limits in mV as published with the conversions, per type B E J K N R S T.
TEST(Thermocouple, EmfLimitsAreThePublishedOnes) {
    const double vmin[] = {0.301, -8.835, -8.105, -5.901, -4.0, -0.236, -0.246, -5.613};
    const double vmax[] = {13.83, 76.383, 69.563, 54.896, 47.523, 21.113, 18.703, 20.882};
    const double lowMin[] = {0.301, -9.835, -8.105, -6.458, -4.345, -0.236, -0.246, -6.258};
    for (uint8_t type = 0; type < kTcTypeCount; ++type) {
        EXPECT_EQ(ThermCoupleVoltageMin[type], vmin[type]) << kTypes[type];
        EXPECT_EQ(ThermCoupleVoltageMax[type], vmax[type]) << kTypes[type];
        EXPECT_EQ(TC_LowTempVoltMin[type], lowMin[type]) << kTypes[type];
    }
}

// The changeover between inverse sections lies where both sections are valid.
TEST(Thermocouple, SectionsMeetAtTheirChangeover) {
    for (uint8_t type = 0; type < kTcTypeCount; ++type) {
        const TcInverseSet& set = g_TcInverse[type];
        for (uint32_t s = 1; s < set.Sections; ++s) {
            const double lo = std::max(set.Range[s].emfMin, set.Range[s - 1].emfMin);
            const double hi = std::min(set.Range[s].emfMax, set.Range[s - 1].emfMax);
            const double mid = (lo + hi) / 2;
            // Each side errs within its own band: together they differ by no more.
            const double bands = std::max(-set.Range[s].bandLow, set.Range[s].bandHigh) +
                                 std::max(-set.Range[s - 1].bandLow, set.Range[s - 1].bandHigh);
            EXPECT_NEAR(GetTemperature_ThermCouple(type, mid - 1e-9, 0.0),
                        GetTemperature_ThermCouple(type, mid + 1e-9, 0.0), bands) << kTypes[type] << " " << s;
        }
    }
}

TEST(Rtd, SectionsBoundariesAndOverloads) {
    struct Case {
        double r0;
        uint8_t alpha;
        double ohms, expected, tolerance;
    };
    const Case cases[] = {
        {1000, 0, 1000, 0.0, 0.001},  // W = 100: Newton from 700 ends at 0
        {100, 0, 10, -kTempOverload, 0},
        {100, 0, 400, kTempOverload, 0},
        {100, 4, 100, kTempOverload, 0},
        {100, 0, 138.5055, 100.0, 0.01},   // 100 degC on the alpha 0 curve
        {100, 0, 18.52008, -200.0, 0.05},  // -200 degC below zero
        {100, 0, 84.71, -39.0, 1.0},       // on the boundary: a temperature, not 0
        {100, 0, 390.49, 850.0, 10.0},
        {100, 0, 18.5, -200.0, 1.0},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(GetTemperature_RTD(c.r0, c.alpha, c.ohms), c.expected, c.tolerance) << c.ohms;
    }
}

TEST(Thermistor, TypesAndLimits) {
    EXPECT_NEAR(GetTemperature_Thermistor(0, 2252), 25.0, 0.1);
    EXPECT_EQ(GetTemperature_Thermistor(0, 0), GetTemperature_Thermistor(0, 0.1));
    EXPECT_EQ(GetTemperature_Thermistor(5, 2252), kTempOverload);
    for (uint8_t type = 1; type < 5; ++type) {
        // Each type reads a plausible room temperature at its nominal value.
        const double nominal[] = {2252, 3000, 5000, 10000, 30000};
        EXPECT_NEAR(GetTemperature_Thermistor(type, nominal[type]), 25.0, 1.0) << int(type);
    }
}
