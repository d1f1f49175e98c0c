// What each manager sends when a UI notification client connects, built from
// the records it holds.
#include <gtest/gtest.h>

#include "CDataManage.h"
#include "CFEM.h"
#include "CSystemManage.h"
#include "CThreadPool.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "StorageManage.h"
#include "temp_root.h"
#include "ui_notifications.h"

using testing_support::UiNotifications;

namespace {

class ConnectPushes : public ::testing::Test {
protected:
    // Waits until every notification pushed so far has been delivered (they
    // arrive in push order), then forgets them.
    void settle() {
        // A code none of these managers pushes (the engine sends readings).
        CFEM::pushMessage(ON_LXI_RESET, {});
        notes.waitFor({ON_LXI_RESET});
        notes.clear();
    }

    testing_support::TempRoot root;
    UiNotifications notes;
};

} // namespace

TEST_F(ConnectPushes, SystemAndStorageManagersSendTheirRecordsInOrder) {
    // As the hub calls it: on a pool worker, where every push is delivered
    // before the next one starts, so the order is kept.
    CThreadPool::instance()->async([] { Copperwren::Singleton<CSystemManage>::Instance()->onClientConnect(); },
                                   true);
    auto packs = notes.waitFor({ON_SYSTEM_IO_INFO_CHANGED, ON_SYSTEM_INFO_CHANGED, ON_PRODUCT_INFO_CHANGED});
    ASSERT_EQ(packs.size(), 3u);
    EXPECT_EQ(UiNotifications::record<ProtoUtilityIOInfo>(packs[0]).mgpib(), 2);
    EXPECT_EQ(UiNotifications::record<ProtoSystemInfo>(packs[1]).mbrightness(), 60);
    EXPECT_EQ(UiNotifications::record<ProtoProductInfo>(packs[2]).mswver(), "00.01.00.00.20");

    Copperwren::Singleton<StorageManage>::Instance()->onClientConnect();
    packs = notes.waitFor({ON_STORAGE_IMAGE_INFO_CHANGED});
    ASSERT_EQ(packs.size(), 1u);
    EXPECT_EQ(UiNotifications::record<ProtoImageInfo>(packs[0]).mdefaultfilepath(), "/data/UserData");
}

TEST_F(ConnectPushes, FunctionManagerAndEngineSendTheirSettings) {
    ProtoBaseFuncInfo base;
    FunctionManage::instance().ProtoBaseFuncInfoDefault(base);
    base.set_ms32dmmfunc(TYPE_OHM4);
    base.mutable_mprotofunccfgs(TYPE_OHM4)->set_ms32range(3);
    base.mutable_mprotofunccfgs(TYPE_OHM4)->set_ms32rate(E_Fast);
    FunctionManage::instance().ProtoBaseFuncInfoSet(base);
    settle();
    FunctionManage::instance().onClientConnect();
    auto packs = notes.waitFor({UPDATE_FUNCTION_CONFIG, UPDATE_FUNCTION2_CONFIG});
    ASSERT_EQ(packs.size(), 2u);
    EXPECT_EQ(packs[0].data().at(0x40C).s32val(), TYPE_OHM4);
    EXPECT_EQ(packs[0].data().at(0x648).s32val(), 3);
    EXPECT_EQ(packs[0].data().at(0x65E).s32val(), E_Fast);
    EXPECT_EQ(packs[1].data().at(0x635).s32val(), TYPE_DCV);

    CDataManage* engine = CDataManage::instance();
    ProtoTriggerFuncInfo trig;
    engine->ProtoTriggerFuncInfoDefault(trig);
    engine->onClientConnect();
    packs = notes.waitFor({UPDATE_TRIGGER_CONFIG, UPDATE_MATH_CONFIG, UPDATE_SENSOR_CONFIG});
    ASSERT_EQ(packs.size(), 3u);
    // The fast rate of OHM4 set the shortest interval of the model.
    EXPECT_EQ(packs[0].data().at(0x1102).s32val(), static_cast<int32_t>(engine->m_u32IntervalMin));
    EXPECT_EQ(packs[1].data().at(0x810).s32val(), 7);
    EXPECT_EQ(packs[2].data().at(0x1706).strval(), "Sensor");
}
