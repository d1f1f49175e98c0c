// The settings mirror: saved only when the settings changed, written atomically,
// restored at start-up by the power-on choice.
#include "StorageCore.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "FunctionManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "temp_root.h"

using google::protobuf::TextFormat;
using testing_support::TempRoot;

namespace {

std::string mirrorText(const ProtoMirrorInfo& mirror) {
    std::string text;
    TextFormat::PrintToString(mirror, &text);
    return text;
}

ProtoMirrorInfo parseMirror(const std::string& text) {
    ProtoMirrorInfo mirror;
    EXPECT_TRUE(TextFormat::ParseFromString(text, &mirror));
    return mirror;
}

std::vector<std::string> folderEntries(const std::string& host) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(host)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

int32_t mainFunction() {
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoGet(info);
    return info.ms32dmmfunc();
}

ProtoSystemInfo systemInfo() {
    ProtoSystemInfo info;
    Copperwren::Singleton<SystemSetup>::Instance()->ProtoSystemInfoGet(info);
    return info;
}

class StorageCoreTest : public ::testing::Test {
protected:
    void SetUp() override { core.DefaultConfigLoad(); }

    std::string mirrorFile() const { return root.host(StorageCore::kMirrorPath); }

    // The defaults with the main function, language and flags changed.
    ProtoMirrorInfo changedMirror(bool lastLoad) {
        ProtoMirrorInfo mirror;
        core.ConfigDefault(mirror);
        mirror.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->set_ms32dmmfunc(TYPE_OHM2);
        ProtoSystemInfo* sys = mirror.mutable_mprotosysinfo();
        sys->set_mlanguage(5);
        sys->set_mpowerstatus(true);
        sys->set_mtouchenable(true);
        sys->set_mlastload(lastLoad);
        return mirror;
    }

    TempRoot root;
    // A fresh core per test: what it last wrote must not leak between tests.
    StorageCore core;
};

} // namespace

TEST_F(StorageCoreTest, SaveWritesOnlyWhenTheSettingsChanged) {
    core.Save();
    core.WaitSaved();
    ProtoMirrorInfo saved = parseMirror(testing_support::readFile(mirrorFile()));
    EXPECT_TRUE(saved.has_mprotosysinfo());
    EXPECT_TRUE(saved.has_mprotoimageinfo());
    EXPECT_TRUE(saved.has_mprotosensorinfo());
    EXPECT_EQ(saved.mprotofunctioninfo().mprotobasefuncinfo().mprotofunccfgs_size(), MEASURE_TYPE_COUNT);
    EXPECT_EQ(saved.mprotoimageinfo().mdefaultfilepath(), "/data/UserData");

    // Unchanged settings leave the file alone.
    testing_support::writeFile(mirrorFile(), "marker");
    core.Save();
    core.Save();
    core.WaitSaved();
    EXPECT_EQ(testing_support::readFile(mirrorFile()), "marker");

    ProtoBaseFuncInfo base = saved.mprotofunctioninfo().mprotobasefuncinfo();
    base.set_ms32dmmfunc(TYPE_CAP);
    FunctionManage::instance().ProtoBaseFuncInfoSet(base);
    core.Save();
    core.WaitSaved();
    saved = parseMirror(testing_support::readFile(mirrorFile()));
    EXPECT_EQ(saved.mprotofunctioninfo().mprotobasefuncinfo().ms32dmmfunc(), TYPE_CAP);
    // The temporary file of the atomic write is gone.
    EXPECT_EQ(folderEntries(root.host("/vorna/data")), std::vector<std::string>{"mirrorconfig.xmir"});
}

TEST_F(StorageCoreTest, MissingOrUnparsableMirrorAppliesTheDefaults) {
    ProtoBaseFuncInfo base;
    FunctionManage::instance().ProtoBaseFuncInfoGet(base);
    base.set_ms32dmmfunc(TYPE_ACI);
    FunctionManage::instance().ProtoBaseFuncInfoSet(base);
    ASSERT_EQ(mainFunction(), TYPE_ACI);
    EXPECT_EQ(core.Init(), 0);
    EXPECT_EQ(mainFunction(), TYPE_DCV);
    EXPECT_EQ(core.Load(), 44);

    FunctionManage::instance().ProtoBaseFuncInfoSet(base);
    testing_support::writeFile(mirrorFile(), "mProtoSysInfo { mNoSuchField: 1 }\n");
    EXPECT_EQ(core.Load(), 44);
    EXPECT_EQ(mainFunction(), TYPE_DCV);
}

TEST_F(StorageCoreTest, RecallRestoresTheWholeMirrorOtherwiseOnlyLanguageAndPowerStatus) {
    testing_support::writeFile(mirrorFile(), mirrorText(changedMirror(false)));
    ASSERT_EQ(core.Init(), 0);
    ProtoSystemInfo sys = systemInfo();
    EXPECT_EQ(sys.mlanguage(), 5);
    EXPECT_TRUE(sys.mpowerstatus());
    EXPECT_FALSE(sys.mtouchenable());
    EXPECT_EQ(mainFunction(), TYPE_DCV);

    testing_support::writeFile(mirrorFile(), mirrorText(changedMirror(true)));
    EXPECT_EQ(core.Load(), 0);
    sys = systemInfo();
    EXPECT_TRUE(sys.mtouchenable());
    EXPECT_EQ(sys.mlanguage(), 5);
    EXPECT_EQ(mainFunction(), TYPE_OHM2);
}

TEST_F(StorageCoreTest, RecallOfAStateFileKeepsTheMirrorsSystemSettings) {
    ProtoMirrorInfo mirror = changedMirror(true);
    mirror.mutable_mprotosysinfo()->set_mloadname("/data/UserData/bench.sta");
    testing_support::writeFile(mirrorFile(), mirrorText(mirror));
    // A setup file holds only the function and sensor parts.
    ProtoMirrorInfo state;
    state.mutable_mprotofunctioninfo()->CopyFrom(mirror.mprotofunctioninfo());
    state.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->set_ms32dmmfunc(TYPE_FREQ);
    state.mutable_mprotosensorinfo()->CopyFrom(mirror.mprotosensorinfo());
    testing_support::writeFile(root.host("/data/UserData/bench.sta"), mirrorText(state));

    EXPECT_EQ(core.Load(), 0);
    EXPECT_EQ(mainFunction(), TYPE_FREQ);
    ProtoSystemInfo sys = systemInfo();
    EXPECT_TRUE(sys.mlastload());
    EXPECT_EQ(sys.mloadname(), "/data/UserData/bench.sta");
    EXPECT_TRUE(sys.mtouchenable());

    // A state file that is gone: the defaults instead.
    std::remove(root.host("/data/UserData/bench.sta").c_str());
    EXPECT_EQ(core.Init(), 0);
    EXPECT_EQ(core.Load(), 44);
    EXPECT_EQ(mainFunction(), TYPE_DCV);
    EXPECT_FALSE(systemInfo().mtouchenable());
}
