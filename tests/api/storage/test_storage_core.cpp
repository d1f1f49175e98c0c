// The settings mirror (saved only when changed, retried after a failed write,
// restored at start-up by the power-on choice) and the user files.
#include "StorageCore.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <filesystem>
#include <string>
#include <vector>

#include "../system/ui_notifications.h"
#include "CDataManage.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "fake_medium.h"
#include "temp_root.h"

using google::protobuf::TextFormat;
using testing_support::readFile;
using testing_support::TempRoot;
using testing_support::writeFile;

namespace {

std::string text(const google::protobuf::Message& record) {
    std::string out;
    TextFormat::PrintToString(record, &out);
    return out;
}

int32_t mainFunction() {
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoGet(info);
    return info.ms32dmmfunc();
}

void setMainFunction(int32_t func) {
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoGet(info);
    info.set_ms32dmmfunc(func);
    FunctionManage::instance().ProtoBaseFuncInfoSet(info);
}

ProtoSystemInfo systemInfo() {
    ProtoSystemInfo info;
    SINGLETON_PTR(SystemSetup)->ProtoSystemInfoGet(info);
    return info;
}

class StorageCoreTest : public ::testing::Test {
protected:
    void SetUp() override { core.DefaultConfigLoad(); }

    std::string mirrorFile() const { return root.host(StorageCore::kMirrorPath); }

    // The defaults with the main function, language and touch changed.
    ProtoMirrorInfo changedMirror(bool lastLoad, const std::string& loadName = "") {
        ProtoMirrorInfo mirror;
        core.ConfigDefault(mirror);
        mirror.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->set_ms32dmmfunc(TYPE_OHM2);
        ProtoSystemInfo* sys = mirror.mutable_mprotosysinfo();
        sys->set_mlanguage(5);
        sys->set_mpowerstatus(true);
        sys->set_mtouchenable(true);
        sys->set_mlastload(lastLoad);
        sys->set_mloadname(loadName);
        return mirror;
    }

    TempRoot root;
    // A fresh core per test: what it last wrote must not leak between tests.
    StorageCore core;
};

} // namespace

TEST_F(StorageCoreTest, SaveWritesOnlyWhenTheSettingsChangedAndRetriesAFailedWrite) {
    testing_support::FakeMedium medium;
    core.Save();
    core.WaitSaved();
    EXPECT_FALSE(std::filesystem::exists(mirrorFile()));  // the medium is full
    // Less free than the margin kept for user files: the mirror still fits.
    medium.setFree(1 << 20);
    core.Save();  // unchanged, but not yet on the medium
    core.WaitSaved();
    ProtoMirrorInfo saved;
    ASSERT_TRUE(TextFormat::ParseFromString(readFile(mirrorFile()), &saved));
    EXPECT_EQ(saved.mprotofunctioninfo().mprotobasefuncinfo().mprotofunccfgs_size(), MEASURE_TYPE_COUNT);
    EXPECT_EQ(saved.mprotoimageinfo().mdefaultfilepath(), "/data/UserData");

    writeFile(mirrorFile(), "marker");
    core.Save();
    core.Save();
    core.WaitSaved();
    EXPECT_EQ(readFile(mirrorFile()), "marker");

    setMainFunction(TYPE_CAP);
    core.Save();
    core.WaitSaved();
    ASSERT_TRUE(TextFormat::ParseFromString(readFile(mirrorFile()), &saved));
    EXPECT_EQ(saved.mprotofunctioninfo().mprotobasefuncinfo().ms32dmmfunc(), TYPE_CAP);
}

TEST_F(StorageCoreTest, EveryLoadBranch) {
    const std::string sta = "/data/UserData/bench.sta";
    ProtoMirrorInfo state = changedMirror(false);
    state.clear_mprotosysinfo();
    state.clear_mprotoimageinfo();
    state.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->set_ms32dmmfunc(TYPE_FREQ);
    const struct {
        const char* name;
        std::string mirror;  // empty: no mirror file
        bool stateFile;
        int result;
        int32_t func;
        bool touch;  // a system setting kept only by recall
        int language;  // 1 by default
    } cases[] = {
        {"missing mirror", "", false, 44, TYPE_DCV, false, 1},
        {"unparsable mirror", "mProtoSysInfo { mNoSuchField: 1 }\n", false, 44, TYPE_DCV, false, 1},
        {"no recall: language and power only", text(changedMirror(false)), false, 0, TYPE_DCV, false, 5},
        {"recall of the mirror", text(changedMirror(true)), false, 0, TYPE_OHM2, true, 5},
        {"recall of a setup file", text(changedMirror(true, sta)), true, 0, TYPE_FREQ, true, 5},
        {"setup file missing: the mirror", text(changedMirror(true, sta)), false, 44, TYPE_OHM2, true, 5},
    };
    for (const auto& c : cases) {
        std::remove(mirrorFile().c_str());
        std::remove(root.host(sta).c_str());
        if (!c.mirror.empty()) {
            writeFile(mirrorFile(), c.mirror);
        }
        if (c.stateFile) {
            writeFile(root.host(sta), text(state));
        }
        core.DefaultConfigLoad();
        setMainFunction(TYPE_ACI);
        EXPECT_EQ(core.Init(), 0) << c.name;
        EXPECT_EQ(core.Load(), c.result) << c.name;
        EXPECT_EQ(mainFunction(), c.func) << c.name;
        EXPECT_EQ(systemInfo().mtouchenable(), c.touch) << c.name;
        EXPECT_EQ(systemInfo().mlanguage(), c.language) << c.name;
    }
}

using Edit = std::function<void(ProtoMirrorInfo&)>;

ProtoMathFuncInfo mathRecord() {
    ProtoMathFuncInfo info;
    CDataManage::instance()->ProtoMathFuncInfoGet(info);
    return info;
}

// A setup file's values are taken as their setters would take them: a value
// a setter refuses refuses the whole file (nothing changes), one it clamps is
// clamped.
TEST_F(StorageCoreTest, HostileRecordsMeetTheSettersRules) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto math = [](ProtoMirrorInfo& r) { return r.mutable_mprotofunctioninfo()->mutable_mprotomathfuncinfo(); };
    auto dcvOffset = [math](double v) {
        return [=](ProtoMirrorInfo& r) { math(r)->mutable_mprotocalccfgs(TYPE_DCV)->set_mf64relvalue(v); };
    };
    auto limits = [math](double low, double high) {
        return [=](ProtoMirrorInfo& r) {
            math(r)->mutable_mprotolimit()->set_mf64low(low);
            math(r)->mutable_mprotolimit()->set_mf64high(high);
        };
    };
    structRangeInfo row;
    const double dcvLimit = CDataManage::instance()->relLimit(TYPE_DCV, row);
    const struct {
        const char* name;
        Edit edit;
        int result;
        std::function<bool(const ProtoMathFuncInfo&)> applied;  // checked after a load that succeeds
    } cases[] = {
        {"math function outside its set", [math](ProtoMirrorInfo& r) { math(r)->set_ms32mathfunc(100); }, -10, nullptr},
        {"statistic outside its set", [math](ProtoMirrorInfo& r) { math(r)->set_mcurmathtotalize(-1); }, -10, nullptr},
        {"dB reference NaN", [math, nan](ProtoMirrorInfo& r) { math(r)->set_mf64db(nan); }, -10, nullptr},
        {"offset NaN", dcvOffset(nan), -10, nullptr},
        {"limits crossed", limits(1, -1), -10, nullptr},
        {"not one entry per function",
         [](ProtoMirrorInfo& r) {
             r.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->mutable_mprotofunccfgs()->RemoveLast();
         },
         -10, nullptr},
        {"offset 1e300 clamped", dcvOffset(1e300), 0,
         [dcvLimit](const ProtoMathFuncInfo& m) { return m.mprotocalccfgs(TYPE_DCV).mf64relvalue() == dcvLimit; }},
        {"dBm reference 0 ohm clamped", [math](ProtoMirrorInfo& r) { math(r)->set_mu32refr(0); }, 0,
         [](const ProtoMathFuncInfo& m) { return m.mu32refr() == 2; }},
        {"dB reference clamped", [math](ProtoMirrorInfo& r) { math(r)->set_mf64db(1e6); }, 0,
         [](const ProtoMathFuncInfo& m) { return m.mf64db() == 120; }},
        {"equal limits", limits(0.5, 0.5), 0,
         [](const ProtoMathFuncInfo& m) { return m.mprotolimit().mf64low() == 0.5 && m.mprotolimit().mf64high() == 0.5; }},
        {"valid file", [](ProtoMirrorInfo&) {}, 0,
         [](const ProtoMathFuncInfo& m) { return m.ms32mathfunc() == 7 && m.mu32refr() == 600; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setMainFunction(TYPE_DCV);
        ProtoMirrorInfo state;
        ASSERT_EQ(core.StateConfigSave("/u/h.sta"), 0);
        ASSERT_TRUE(TextFormat::ParseFromString(readFile(root.host("/u/h.sta")), &state));
        state.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->set_ms32dmmfunc(TYPE_DCV);
        c.edit(state);
        writeFile(root.host("/u/h.sta"), text(state));
        setMainFunction(TYPE_ACI);
        const std::string before = mathRecord().SerializeAsString();
        EXPECT_EQ(core.StateConfigLoad("/u/h.sta"), c.result);
        if (c.result != 0) {
            EXPECT_EQ(mainFunction(), TYPE_ACI);
            EXPECT_EQ(mathRecord().SerializeAsString(), before);
        } else {
            EXPECT_EQ(mainFunction(), TYPE_DCV);
            EXPECT_TRUE(c.applied(mathRecord())) << mathRecord().ShortDebugString();
        }
    }
}

// The mirror and preference files: paths outside the storage roots are
// unset (no file recalled in any case), a refused part keeps its defaults
// while the others apply.
TEST_F(StorageCoreTest, HostileMirrorAndPreferenceRecords) {
    auto recall = [](std::string path) -> Edit {
        return [=](ProtoMirrorInfo& m) { m.mutable_mprotosysinfo()->set_mloadname(path); };
    };
    auto folder = [](std::string path) -> Edit {
        return [=](ProtoMirrorInfo& m) { m.mutable_mprotoimageinfo()->set_mdefaultfilepath(path); };
    };
    const struct {
        const char* name;
        Edit edit;
        std::string folder = "/data/UserData";
        int language = 5;
        int32_t func = TYPE_OHM2;
    } cases[] = {
        {"recall of the mirror itself", recall(StorageCore::kMirrorPath)},
        {"recall file climbing out", recall("/data/UserData/../../x.sta")},
        {"current folder the data root", folder("/")},
        {"current folder on the stick kept", folder("/mnt/media_rw/udiskh/d"), "/mnt/media_rw/udiskh/d"},
        // The system part as Init left it.
        {"unknown language: system part refused",
         [](ProtoMirrorInfo& m) { m.mutable_mprotosysinfo()->set_mlanguage(99); }, "/data/UserData", 1, TYPE_DCV},
        {"math refused, the rest applies",
         [](ProtoMirrorInfo& m) {
             m.mutable_mprotofunctioninfo()->mutable_mprotomathfuncinfo()->set_ms32mathfunc(100);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProtoMirrorInfo mirror = changedMirror(true);
        c.edit(mirror);
        writeFile(mirrorFile(), text(mirror));
        core.DefaultConfigLoad();
        EXPECT_EQ(core.Init(), 0);
        EXPECT_EQ(systemInfo().mloadname(), "");
        EXPECT_EQ(core.DefaultFilePathGet(), c.folder);
        EXPECT_EQ(systemInfo().mlanguage(), c.language);
        EXPECT_EQ(mainFunction(), c.func);
        EXPECT_EQ(mathRecord().ms32mathfunc(), 7);
    }

    // A preference file: the recall file outside the roots is unset, an
    // unknown language refuses the file.
    ProtoSystemInfo prf = systemInfo();
    prf.set_mlastload(true);
    prf.set_mloadname(StorageCore::kMirrorPath);
    prf.set_mlanguage(3);
    writeFile(root.host("/u/p.prf"), text(prf));
    EXPECT_EQ(core.SystemConfigLoad("/u/p.prf"), 0);
    EXPECT_EQ(systemInfo().mloadname(), "");
    EXPECT_EQ(systemInfo().mlanguage(), 3);
    prf.set_mlanguage(14);
    writeFile(root.host("/u/p.prf"), text(prf));
    EXPECT_EQ(core.SystemConfigLoad("/u/p.prf"), 44);
    EXPECT_EQ(systemInfo().mlanguage(), 3);
}

TEST_F(StorageCoreTest, CsvRoundTripsAndRefusesMalformedLines) {
    for (int count : {0, 1, 250}) {
        ProtoDataInfo info;
        info.set_mstrfunctype("VOLT");
        info.set_mstrrange("10V");
        info.set_ms32rate(2);
        info.set_mstrunit("V");
        info.set_mf64datamax(1.5);
        info.set_mf64datamin(-2.25e-3);
        for (int i = 0; i < count; ++i) {
            info.add_mdatabuffer(i * 0.125 - 3);
        }
        writeFile(root.host("/d/r.csv"), StorageCore::CsvText(info));
        ProtoDataInfo back;
        ASSERT_EQ(core.FormatProtoDataInfoFromCSVFile(back, "/d/r.csv"), 0) << count;
        if (count == 0) {
            info.Clear();  // the header alone: an empty record
        }
        EXPECT_EQ(back.DebugString(), info.DebugString()) << count;
    }
    const std::string header = "FUNCTION,RANGE,RATE,UNIT,DATA_MAX,DATA_MIN,DATA\n";
    const struct { std::string body; int result; int values; } cases[] = {
        {"VOLT,10V,2,V,1,0\n", -1, 0},
        {"VOLT,10V,2,V,1,0,5,extra\n,,,,,,6\n", 0, 2},
        {"VOLT,10V,2,V,1,0,abc\n", -1, 0},
        {"VOLT,10V,2,V,1,0,5\n,,,,,,x\n", -1, 0},
        {"VOLT,10V,2,V,1,0,5\n,,,,,," + std::string(300, '7') + "\n", 0, 2},
        {"VOLT," + std::string(300, 'r') + ",2,V,1,0,5\n", 0, 1},
    };
    for (const auto& c : cases) {
        writeFile(root.host("/d/m.csv"), header + c.body);
        ProtoDataInfo back;
        EXPECT_EQ(core.FormatProtoDataInfoFromCSVFile(back, "/d/m.csv"), c.result) << c.body.substr(0, 40);
        if (c.result == 0) {
            EXPECT_EQ(back.mdatabuffer_size(), c.values) << c.body.substr(0, 40);
        }
    }
    ProtoDataInfo none;
    EXPECT_EQ(core.FormatProtoDataInfoFromCSVFile(none, "/d/none.csv"), -1);
}

TEST_F(StorageCoreTest, UserFilesCheckTheirExtensionAndRoundTrip) {
    const struct { int (StorageCore::*op)(const std::string&); const char* path; int result; } cases[] = {
        {&StorageCore::StateConfigSave, "/u/a.STA", 23},
        {&StorageCore::StateConfigLoad, "/u/a.STA", 23},
        {&StorageCore::SystemConfigSave, "/u/a.sta", 23},
        {&StorageCore::CsvDataLoad, "/u/a.dat", 44},
        {&StorageCore::CsvDataSave, "/u/a.dat", 23},
        {&StorageCore::StateConfigLoad, "/u/none.sta", -10},
        {&StorageCore::SensorConfigLoad, "/u/none.xsen", 44},
        {&StorageCore::StateConfigSave, "/u/a.sta", 0},
        {&StorageCore::SystemConfigSave, "/u/a.prf", 0},
        {&StorageCore::SensorConfigSave, "/u/a.xsen", 0},
        {&StorageCore::MeasDataSave, "/u/a.dat", 0},  // an empty buffer keeps its function and unit
        {&StorageCore::CsvDataSave, "/u/a.csv", 0},
        {&StorageCore::SystemConfigLoad, "/u/a.prf", 0},
        {&StorageCore::SensorConfigLoad, "/u/a.xsen", 0},
        {&StorageCore::MeasDataLoad, "/u/a.dat", 0},
        {&StorageCore::CsvDataLoad, "/u/a.csv", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((core.*c.op)(c.path), c.result) << c.path;
    }
    // A setup file brings the function settings back.
    setMainFunction(TYPE_OHM4);
    ASSERT_EQ(core.StateConfigSave("/u/b.sta"), 0);
    setMainFunction(TYPE_DCV);
    ASSERT_EQ(core.StateConfigLoad("/u/b.sta"), 0);
    EXPECT_EQ(mainFunction(), TYPE_OHM4);

    FileInfos listed;
    std::filesystem::create_directories(root.host("/u/sub"));
    ASSERT_EQ(core.StorageConfigFileListGet("/u", FILE_TYPE_CSV, listed), 0);
    std::vector<std::string> names;
    for (const auto& info : listed.info()) {
        names.push_back(info.name());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.csv", "sub"}));
    EXPECT_EQ(core.StorageConfigFileListGet("/nowhere", FILE_TYPE_CSV, listed), 44);
}

TEST_F(StorageCoreTest, ResetNotificationsCarryBothKeys) {
    testing_support::UiNotifications notes;
    core.ConfigResetSyncToUI();
    auto packs = notes.waitFor({ON_CONFIG_RESET, ON_LXI_RESET});
    ASSERT_EQ(packs.size(), 2u);
    EXPECT_EQ(packs[0].data().size(), 1u);
    EXPECT_TRUE(packs[1].data().at(ON_CONFIG_RESET).bval());
    EXPECT_TRUE(packs[1].data().at(ON_LXI_RESET).bval());
}
