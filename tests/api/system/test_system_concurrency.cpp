// System state reached from several threads at once, and the preference
// load that no longer holds its caller's thread.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

#include "HCopy.h"
#include "SystemSetup.h"
#include "system_handlers.h"
#include "temp_root.h"
#include "ui_notifications.h"

using namespace testing_support;

TEST(SystemConcurrency, SettersPollersAndCapturesRunSideBySide) {
    TempRoot root;
    writeFile(root.host(HCopy::kTool), "#!/bin/sh\nhead -c 5000 /dev/zero > \"$2\"\n");
    chmod(root.host(HCopy::kTool).c_str(), 0755);
    writeFile(root.host("/mnt/tmp/.keep"), "");
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
    std::map<unsigned int, cb_func> hcopy;
    HCopy::instance()->getCallbacks(hcopy);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                setup->API_SetSerialNum("MV4" + std::to_string(t * 100 + i));
                setup->API_SetLanguage(i % 14);
                ProtoSystemInfo info;
                setup->ProtoSystemInfoGet(info);
                EXPECT_EQ(setup->API_GetIdentity().rfind("MV412E,MV4", 0), 0u);
                ValueMap out;
                EXPECT_EQ(hcopy.at(0x20002200)(t % 2 ? 0 : 2, {}, &out), 0);
                EXPECT_EQ(out[0x2200].rawval().size(), 5000u);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
}

TEST(SystemConcurrency, PreferenceLoadAppliesAtOnceAndPacesTheUi) {
    TempRoot root;
    UiNotifications notes;
    ProtoSystemInfo info;
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
    setup->ProtoSystemInfoGet(info);
    info.set_mbrightness(33);
    info.mutable_mprotoutilityioinfo()->set_mbdhcp(true);
    info.mutable_mprotoutilityioinfo()->set_mbstaticip(true);
    const auto start = std::chrono::steady_clock::now();
    setup->ProtoSystemInfoSetForLoadPrf(info);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_EQ(setup->API_GetBrightness(), 33);
    auto packs = notes.waitFor({ON_SYSTEM_INFO_CHANGED, ON_LAN_MDNS_STATUS_CHANGED, ON_LAN_SERVICE_NAME_CHANGED,
                                ON_LAN_HOST_NAME_CHANGED, ON_LAN_STATIC_IP_STATUS_CHANGED, ON_LAN_DHCP_STATUS_CHANGED,
                                ON_LAN_AUTO_IP_STATUS_CHANGED, ON_LAN_INFO_APPLIED});
    ASSERT_EQ(packs.size(), 8u);
    EXPECT_TRUE(packs[4].data().at(ON_LAN_STATIC_IP_STATUS_CHANGED).bval());
    EXPECT_TRUE(packs[5].data().at(ON_LAN_DHCP_STATUS_CHANGED).bval());
}
