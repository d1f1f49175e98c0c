// The function-settings record: defaults from the factory table, a stored
// record applied only when it holds one entry per function.
#include "FunctionManage.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../../toolkit/log_records.h"

namespace {

ProtoBaseFuncInfo current() {
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoGet(info);
    return info;
}

} // namespace

TEST(FunctionManage, DefaultsFollowTheFactoryTable) {
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoDefault(info);
    ASSERT_EQ(info.mprotofunccfgs_size(), MEASURE_TYPE_COUNT);
    for (int f = 0; f < MEASURE_TYPE_COUNT; ++f) {
        SCOPED_TRACE(f);
        const ProtoFuncConfig& entry = info.mprotofunccfgs(f);
        EXPECT_EQ(entry.ms32rangemax(), g_FuncCfg[f].s32RangeMax);
        EXPECT_EQ(entry.ms32range(), g_FuncCfg[f].s32Range);
        EXPECT_EQ(entry.ms32rate(), g_FuncCfg[f].eRate);
        EXPECT_EQ(entry.mbsupportauto(), g_FuncCfg[f].bSupportAuto);
    }
    EXPECT_EQ(info.ms32dmmfunc(), TYPE_DCV);
    EXPECT_FALSE(info.mbfunc2enable());
    EXPECT_EQ(current().SerializeAsString(), info.SerializeAsString());
}

TEST(FunctionManage, StoredRecordIsAppliedAndReadBack) {
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoDefault(info);
    info.set_ms32dmmfunc(TYPE_CAP);
    info.set_mcontresi(25);
    info.mutable_mprotofunccfgs(TYPE_CAP)->set_ms32range(2);
    FunctionManage::instance().ProtoBaseFuncInfoSet(info);
    EXPECT_EQ(current().SerializeAsString(), info.SerializeAsString());

    // Defaults bring the functions back; the continuity threshold is no
    // factory setting and stays.
    ProtoBaseFuncInfo defaults;
    FunctionManage::instance().ProtoBaseFuncInfoDefault(defaults);
    EXPECT_EQ(current().ms32dmmfunc(), TYPE_DCV);
    EXPECT_EQ(current().mprotofunccfgs(TYPE_CAP).ms32range(), g_FuncCfg[TYPE_CAP].s32Range);
    EXPECT_EQ(current().mcontresi(), 25);
}

TEST(FunctionManage, RecordWithoutOneEntryPerFunctionChangesNothing) {
    ProtoBaseFuncInfo before;
    FunctionManage::instance().ProtoBaseFuncInfoDefault(before);
    auto errors = std::make_shared<testing_support::RecordingChannel>("function-errors", toolkit::LError);
    toolkit::getLogger().add(errors);

    for (int entries : {0, MEASURE_TYPE_COUNT - 1, MEASURE_TYPE_COUNT + 1}) {
        ProtoBaseFuncInfo bad = before;
        bad.set_ms32dmmfunc(TYPE_FREQ);
        bad.clear_mprotofunccfgs();
        for (int i = 0; i < entries; ++i) {
            bad.add_mprotofunccfgs()->set_ms32range(1);
        }
        FunctionManage::instance().ProtoBaseFuncInfoSet(bad);
        EXPECT_EQ(current().SerializeAsString(), before.SerializeAsString()) << entries << " entries";
    }
    toolkit::getLogger().del("function-errors");
    std::vector<std::string> lines = errors->texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "ProtoBaseFuncInfoSet (mprotofunccfgs size = 11) != (FUNC_TYPE_COUNT = 12)");
}
