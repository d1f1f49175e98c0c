// Factory defaults of the per-function configuration records.

#include <gtest/gtest.h>

#include "inc_type.h"

namespace {

bool hasNoRanges(int func) {
    return func == TYPE_CONT || func == TYPE_DIODE || func == TYPE_SENSOR;
}

TEST(FuncConfigDefault, CommonFieldsOfEveryRow) {
    for (int func = 0; func < MEASURE_TYPE_COUNT; ++func) {
        SCOPED_TRACE(func);
        const structFuncConfig& cfg = g_FuncCfg[func];
        EXPECT_TRUE(cfg.bMainConfig);
        EXPECT_FALSE(cfg.bAutoRange);
        EXPECT_FALSE(cfg.bDcFilter);
        EXPECT_EQ(cfg.s32AutoZ, 1);
        EXPECT_EQ(cfg.eRealFunc, TYPE_DCV);  // filled in when the function is applied
        EXPECT_TRUE(cfg.vSwitchMap.empty());
        EXPECT_TRUE(cfg.vSettingMap.empty());
    }
}

TEST(FuncConfigDefault, RangedFunctionsStartAtAutomaticRange) {
    for (int func = 0; func < MEASURE_TYPE_COUNT; ++func) {
        SCOPED_TRACE(func);
        const structFuncConfig& cfg = g_FuncCfg[func];
        if (hasNoRanges(func)) {
            EXPECT_EQ(cfg.s32Range, 0);
            EXPECT_EQ(cfg.s32RangeMax, 0);
            EXPECT_FALSE(cfg.bSupportAuto);
            EXPECT_FALSE(cfg.bSupportRate);
        } else {
            EXPECT_EQ(cfg.s32Range, -1);
            EXPECT_TRUE(cfg.bSupportAuto);
            EXPECT_TRUE(cfg.bSupportRate);
        }
    }
}

TEST(FuncConfigDefault, ContinuityAndDiodeAreFastEverythingElseSlow) {
    for (int func = 0; func < MEASURE_TYPE_COUNT; ++func) {
        const bool fast = func == TYPE_CONT || func == TYPE_DIODE;
        EXPECT_EQ(g_FuncCfg[func].eRate, fast ? E_Fast : E_Slow) << func;
    }
}

TEST(FuncConfigDefault, HighestRangeIsTheTopOfTheFunctionsRangeEnum) {
    // Voltage-path functions top out at index 4 (1000 V for DC, 750 V for the others).
    EXPECT_EQ(g_FuncCfg[TYPE_DCV].s32RangeMax, VOLTAGE_750V);
    EXPECT_EQ(g_FuncCfg[TYPE_ACV].s32RangeMax, VOLTAGE_750V);
    EXPECT_EQ(g_FuncCfg[TYPE_PERIOD].s32RangeMax, VOLTAGE_750V);
    EXPECT_EQ(g_FuncCfg[TYPE_FREQ].s32RangeMax, VOLTAGE_750V);
    EXPECT_EQ(g_FuncCfg[TYPE_DCI].s32RangeMax, CURRENT_10A);
    EXPECT_EQ(g_FuncCfg[TYPE_ACI].s32RangeMax, CURRENT_10A);
    EXPECT_EQ(g_FuncCfg[TYPE_OHM2].s32RangeMax, OHM_100MO);
    EXPECT_EQ(g_FuncCfg[TYPE_OHM4].s32RangeMax, OHM_100MO);
    EXPECT_EQ(g_FuncCfg[TYPE_CAP].s32RangeMax, CAMP_10MF);
}

TEST(FuncConfigDefault, LastRowIsSensorAndCopiesAreIndependent) {
    EXPECT_EQ(sizeof(g_FuncCfg) / sizeof(g_FuncCfg[0]), 12u);
    EXPECT_EQ(g_FuncCfg[TYPE_SENSOR].eRate, E_Slow);
    EXPECT_EQ(g_FuncCfg[TYPE_SENSOR].s32RangeMax, 0);

    structFuncConfig copy = g_FuncCfg[TYPE_DCV];
    copy.vSwitchMap.push_back(3);
    uint8_t byte = 0;
    copy.vSettingMap.push_back(&byte);
    copy.s32Range = 2;
    EXPECT_TRUE(g_FuncCfg[TYPE_DCV].vSwitchMap.empty());
    EXPECT_TRUE(g_FuncCfg[TYPE_DCV].vSettingMap.empty());
    EXPECT_EQ(g_FuncCfg[TYPE_DCV].s32Range, -1);
}

} // namespace
