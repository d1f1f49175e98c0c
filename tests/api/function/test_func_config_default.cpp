// Factory defaults of the per-function configuration records.

#include <gtest/gtest.h>

#include "inc_type.h"

namespace {

TEST(FuncConfigDefault, EveryRowFollowsItsFunctionsRanges) {
    ASSERT_EQ(sizeof(g_FuncCfg) / sizeof(g_FuncCfg[0]), 12u);
    for (int func = 0; func < MEASURE_TYPE_COUNT; ++func) {
        SCOPED_TRACE(func);
        const structFuncConfig& cfg = g_FuncCfg[func];
        const bool ranged = func != TYPE_CONT && func != TYPE_DIODE && func != TYPE_SENSOR;
        EXPECT_TRUE(cfg.bMainConfig);
        EXPECT_FALSE(cfg.bAutoRange);
        EXPECT_FALSE(cfg.bDcFilter);
        EXPECT_EQ(cfg.s32AutoZ, 1);
        EXPECT_EQ(cfg.eRealFunc, TYPE_DCV);  // filled in when the function is applied
        EXPECT_TRUE(cfg.vSwitchMap.empty() && cfg.vSettingMap.empty());
        // Ranged functions start at the automatic range; continuity and diode are fast.
        EXPECT_EQ(cfg.s32Range, ranged ? -1 : 0);
        EXPECT_EQ(cfg.bSupportAuto, ranged);
        EXPECT_EQ(cfg.bSupportRate, ranged);
        EXPECT_EQ(cfg.eRate, func == TYPE_CONT || func == TYPE_DIODE ? E_Fast : E_Slow);
    }
    // The highest range is the top of each function's range enum (the range
    // tables' indices run up to it); voltage-path functions end at index 4.
    EXPECT_EQ(g_FuncCfg[TYPE_FREQ].s32RangeMax, VOLTAGE_750V);
    EXPECT_EQ(g_FuncCfg[TYPE_ACI].s32RangeMax, CURRENT_10A);
    EXPECT_EQ(g_FuncCfg[TYPE_OHM4].s32RangeMax, OHM_100MO);
    EXPECT_EQ(g_FuncCfg[TYPE_CAP].s32RangeMax, CAMP_10MF);
    EXPECT_EQ(g_FuncCfg[TYPE_SENSOR].s32RangeMax, 0);
}

} // namespace
