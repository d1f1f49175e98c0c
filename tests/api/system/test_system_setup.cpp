// Product identity from the ini file and the identity query of the system
// manager.
#include "SystemSetup.h"

#include <gtest/gtest.h>

#include <map>

#include "CSystemManage.h"
#include "IniFile.h"
#include "Singelton.h"
#include "temp_root.h"

using testing_support::TempRoot;

namespace {

ProtoProductInfo queryProductInfo() {
    std::map<unsigned int, cb_func> entries;
    CSystemManage manager;
    manager.getCallbacks(entries);
    EXPECT_EQ(entries.count(0x2000122E), 1u);
    google::protobuf::Map<int, Value> in, out;
    EXPECT_EQ(entries[0x2000122E](0, in, &out), 0);
    ProtoProductInfo info;
    EXPECT_EQ(out.count(0x122E), 1u);
    EXPECT_TRUE(info.ParseFromString(out[0x122E].rawval()));
    return info;
}

} // namespace

TEST(SystemSetup, BuildDateFromTheCompilerTexts) {
    EXPECT_EQ(SystemSetup::InterpretDate("Feb 28 2024", "10:21:42"), "2024/02/28 10:21:42");
    EXPECT_EQ(SystemSetup::InterpretDate("Dec  6 2026", "01:02:03"), "2026/12/06 01:02:03");
    EXPECT_EQ(SystemSetup::InterpretDate("Foo 28 2024", "10:21:42"), "2024/00/28 10:21:42");
}

TEST(SystemSetup, IdentityFromIniFileAndPropertyOrDefaults) {
    TempRoot root;
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
    setup->ProductInfoInit();
    ProtoProductInfo info = queryProductInfo();
    EXPECT_EQ(info.mmodel(), "MV412E");
    EXPECT_EQ(info.mserialnum(), "MV4000001");
    EXPECT_EQ(info.mcaltime(), "2023-11-01 00:00:00");
    EXPECT_EQ(info.mhwver(), "\uFF11");
    EXPECT_EQ(info.mswver(), "00.01.00.00.20");
    EXPECT_EQ(setup->API_GetProductId(), 8459);

    testing_support::writeFile(root.host("/vorna/data/productconfig.ini"),
                               "[PRODUCT]\nMODEL=8458\nSN=MV4123456\n[SYSTEM]\nCFG_VER=3\n");
    testing_support::writeFile(root.host("/properties/ro.vorna.system.version"), "2.0.1\n");
    setup->ProductInfoInit();
    info = queryProductInfo();
    EXPECT_EQ(info.mmodel(), "MV412");
    EXPECT_EQ(info.mserialnum(), "MV4123456");
    EXPECT_EQ(info.msysver(), "2.0.1");
    EXPECT_EQ(setup->API_GetCfgVer(), 3u);

    testing_support::writeFile(root.host("/vorna/data/productconfig.ini"), "[PRODUCT]\nMODEL=1234\n");
    setup->ProductInfoInit();
    EXPECT_EQ(setup->API_GetModel(), "");
    EXPECT_EQ(setup->API_GetProductId(), 1234);
}

TEST(SystemSetup, SetModelChangesTheTextAndTheFileNotTheId) {
    TempRoot root;
    testing_support::writeFile(root.host("/vorna/data/productconfig.ini"), "[PRODUCT]\nSN=MV4000002\n");
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
    setup->ProductInfoInit();
    EXPECT_EQ(setup->API_SetModel(8458), 0);
    EXPECT_EQ(setup->API_GetModel(), "MV412");
    EXPECT_EQ(setup->API_GetProductId(), 8459);
    Copperwren::IniFile stored;
    ASSERT_TRUE(stored.Open("/vorna/data/productconfig.ini"));
    EXPECT_EQ(stored.ReadInt("PRODUCT", "MODEL", 0), 8458);
    EXPECT_STREQ(stored.ReadString("PRODUCT", "SN", ""), "MV4000002");
}
