// Product identity from the ini file and the identity query of the system
// manager.
#include "SystemSetup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "CSystemManage.h"
#include "IniFile.h"
#include "Singelton.h"
#include "system_handlers.h"
#include "temp_root.h"
#include "ui_notifications.h"
#include "slow.h"

using namespace testing_support;

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

// A fresh data root with the identity read from it.
struct SetupTest : ::testing::Test {
    SetupTest() { setup->ProductInfoInit(); }
    TempRoot root;
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
};

} // namespace

TEST(SystemSetup, BuildDateFromTheCompilerTexts) {
    EXPECT_EQ(SystemSetup::InterpretDate("Feb 28 2024", "10:21:42"), "2024/02/28 10:21:42");
    EXPECT_EQ(SystemSetup::InterpretDate("Dec  6 2026", "01:02:03"), "2026/12/06 01:02:03");
    EXPECT_EQ(SystemSetup::InterpretDate("Foo 28 2024", "10:21:42"), "2024/00/28 10:21:42");
}

TEST_F(SetupTest, IdentityFromIniFileAndPropertyOrDefaults) {
    ProtoProductInfo info = queryProductInfo();
    EXPECT_EQ(info.mmodel(), "MV412E");
    EXPECT_EQ(info.mserialnum(), "MV4000001");
    EXPECT_EQ(info.mcaltime(), "2023-11-01 00:00:00");
    EXPECT_EQ(info.mhwver(), "\uFF11");
    EXPECT_EQ(info.mswver(), "00.01.00.00.20");
    EXPECT_EQ(setup->API_GetProductId(), 8459);

    writeFile(root.host("/vorna/data/productconfig.ini"),
                               "[PRODUCT]\nMODEL=8458\nSN=MV4123456\n[SYSTEM]\nCFG_VER=3\n");
    writeFile(root.host("/properties/ro.vorna.system.version"), "2.0.1\n");
    setup->ProductInfoInit();
    info = queryProductInfo();
    EXPECT_EQ(info.mmodel(), "MV412");
    EXPECT_EQ(info.mserialnum(), "MV4123456");
    EXPECT_EQ(info.msysver(), "2.0.1");
    EXPECT_EQ(setup->API_GetCfgVer(), 3u);

    writeFile(root.host("/vorna/data/productconfig.ini"), "[PRODUCT]\nMODEL=1234\n");
    setup->ProductInfoInit();
    EXPECT_EQ(setup->API_GetModel(), "");
    EXPECT_EQ(setup->API_GetProductId(), 1234);
}

TEST_F(SetupTest, SetModelChangesTheTextAndTheFileNotTheId) {
    writeFile(root.host("/vorna/data/productconfig.ini"), "[PRODUCT]\nSN=MV4000002\n");
    setup->ProductInfoInit();
    EXPECT_EQ(setup->API_SetModel(8458), 0);
    EXPECT_EQ(setup->API_GetModel(), "MV412");
    EXPECT_EQ(setup->API_GetProductId(), 8459);
    Copperwren::IniFile stored;
    ASSERT_TRUE(stored.Open("/vorna/data/productconfig.ini"));
    EXPECT_EQ(stored.ReadInt("PRODUCT", "MODEL", 0), 8458);
    EXPECT_STREQ(stored.ReadString("PRODUCT", "SN", ""), "MV4000002");
}

TEST_F(SetupTest, SerialNumberLengthAndCharacters) {
    struct Case {
        unsigned int source;
        std::string serial;
        int result;
    } cases[] = {{0, std::string(30, 'A'), 0},  {0, std::string(31, 'A'), 29}, {0, "MV4\"1", 58},
                 {0, "MV4$(reboot)", 58},       {0, "", 58},                    {2, "\"MV4-7_a.b\"", 0}};
    for (const Case& c : cases) {
        const std::string before = setup->API_GetSerialNum();
        const int rc = callSystem(0x10001235, c.source, request(0x1235, str(c.serial)));
        EXPECT_EQ(rc, c.result) << c.serial;
        if (rc != 0) {
            EXPECT_EQ(setup->API_GetSerialNum(), before) << c.serial;
        }
    }
    EXPECT_EQ(setup->API_GetSerialNum(), "MV4-7_a.b");
    EXPECT_EQ(setup->API_GetIdentity(), "MV412E,MV4-7_a.b,00.01.00.00.20");
    Copperwren::IniFile stored;
    ASSERT_TRUE(stored.Open("/vorna/data/productconfig.ini"));
    EXPECT_STREQ(stored.ReadString("PRODUCT", "SN", ""), "MV4-7_a.b");
}

TEST_F(SetupTest, IniTextsRefuseQuotesAndControlsAndFactoryModeShortensTheVersion) {
    EXPECT_EQ(setup->API_SetCalTime("2024-05-01 10:00:00"), 0);
    EXPECT_EQ(setup->API_SetHWVer("\uFF12"), 0);
    for (const char* bad : {"a\"b", "a'b", "a\nb", "a\tb"}) {
        EXPECT_EQ(setup->API_SetCalTime(bad), 58) << bad;
        EXPECT_EQ(setup->API_SetHWVer(bad), 58) << bad;
    }
    EXPECT_EQ(querySystem(0x20001241).strval(), "2024-05-01 10:00:00");
    EXPECT_EQ(querySystem(0x20001242).strval(), "\uFF12");

    EXPECT_EQ(callSystem(0x10001243, 0, request(0x1243, bval(true))), 0);
    EXPECT_EQ(querySystem(0x20001233).strval(), "00.01.00");
    EXPECT_EQ(setup->API_GetIdentity(), "MV412E,MV4000001,00.01.00");
    setup->ApiUtility_FactoryModeUpdate(false);
    EXPECT_EQ(setup->API_GetSwVersion(), "00.01.00.00.20");
}

TEST_F(SetupTest, ConfigurationVersionIsKeptOnlyWhenSaved) {
    EXPECT_EQ(callSystem(0x10001244, 0, request(0x1244, s32(5))), 0);
    EXPECT_EQ(querySystem(0x20001244).s32val(), 5);
    // A file where the data folder should be: nothing can be saved.
    std::filesystem::remove_all(root.host("/vorna/data"));
    writeFile(root.host("/vorna/data"), "");
    EXPECT_EQ(callSystem(0x10001244, 0, request(0x1244, s32(6))), 74);
    EXPECT_EQ(setup->API_GetCfgVer(), 5u);
    EXPECT_EQ(callSystem(0x10001234, 0, request(0x1234, s32(8458))), 74);
}

// A preference load applies at once and leaves pacing the UI's notices to
// another thread.
TEST_F(SetupTest, PreferenceLoadAppliesAtOnceAndPacesTheUi) {
    UiNotifications notes;
    ProtoSystemInfo info;
    setup->ProtoSystemInfoGet(info);
    info.set_mbrightness(33);
    info.mutable_mprotoutilityioinfo()->set_mbdhcp(true);
    info.mutable_mprotoutilityioinfo()->set_mbstaticip(true);
    const auto start = std::chrono::steady_clock::now();
    setup->ProtoSystemInfoSetForLoadPrf(info);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400) * testing_support::kSlow);
    EXPECT_EQ(setup->API_GetBrightness(), 33);
    auto packs = notes.waitFor({ON_SYSTEM_INFO_CHANGED, ON_LAN_MDNS_STATUS_CHANGED, ON_LAN_SERVICE_NAME_CHANGED,
                                ON_LAN_HOST_NAME_CHANGED, ON_LAN_STATIC_IP_STATUS_CHANGED, ON_LAN_DHCP_STATUS_CHANGED,
                                ON_LAN_AUTO_IP_STATUS_CHANGED, ON_LAN_INFO_APPLIED});
    ASSERT_EQ(packs.size(), 8u);
    EXPECT_TRUE(packs[4].data().at(ON_LAN_STATIC_IP_STATUS_CHANGED).bval());
    EXPECT_TRUE(packs[5].data().at(ON_LAN_DHCP_STATUS_CHANGED).bval());
}
