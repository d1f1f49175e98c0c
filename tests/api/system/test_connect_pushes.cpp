// What each manager sends when a UI notification client connects, built from
// the records it holds.
#include <gtest/gtest.h>

#include "CDataManage.h"
#include "CSystemManage.h"
#include "CThreadPool.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "StorageManage.h"
#include "notify_capture.h"
#include "temp_root.h"

using system_test::NotifyCapture;

namespace {

template <typename Record>
Record rawRecord(const DataPack& pack, int key) {
    Record record;
    auto it = pack.data().find(key);
    EXPECT_TRUE(it != pack.data().end()) << "no key " << key;
    if (it != pack.data().end()) {
        EXPECT_EQ(it->second.value_case(), Value::kRawVal);
        EXPECT_TRUE(record.ParseFromString(it->second.rawval()));
    }
    return record;
}

const Value& entry(const DataPack& pack, int key) {
    static const Value none;
    auto it = pack.data().find(key);
    EXPECT_TRUE(it != pack.data().end()) << "no key 0x" << std::hex << key;
    return it != pack.data().end() ? it->second : none;
}

class ConnectPushes : public ::testing::Test {
protected:
    testing_support::TempRoot root;
    NotifyCapture notes;
};

} // namespace

TEST_F(ConnectPushes, SystemManagerSendsIoSystemAndProductRecords) {
    // As the hub calls it: on a pool worker, where every push is delivered
    // before the next one starts.
    CThreadPool::instance()->async([] { Copperwren::Singleton<CSystemManage>::Instance()->onClientConnect(); },
                                   true);
    DataPack io, sys, product;
    ASSERT_TRUE(notes.waitFor(ON_SYSTEM_IO_INFO_CHANGED, io));
    ASSERT_TRUE(notes.waitFor(ON_SYSTEM_INFO_CHANGED, sys));
    ASSERT_TRUE(notes.waitFor(ON_PRODUCT_INFO_CHANGED, product));
    EXPECT_EQ(rawRecord<ProtoUtilityIOInfo>(io, ON_SYSTEM_IO_INFO_CHANGED).mgpib(), 2);
    ProtoSystemInfo info = rawRecord<ProtoSystemInfo>(sys, ON_SYSTEM_INFO_CHANGED);
    EXPECT_EQ(info.mbrightness(), 60);
    EXPECT_TRUE(info.mbeeper());
    EXPECT_EQ(rawRecord<ProtoProductInfo>(product, ON_PRODUCT_INFO_CHANGED).mswver(), "00.01.00.00.20");
    // Pushed one after the other on one pool job: the order is kept.
    std::vector<uint32_t> order;
    for (uint32_t id : notes.ids()) {
        if (id == ON_SYSTEM_IO_INFO_CHANGED || id == ON_SYSTEM_INFO_CHANGED || id == ON_PRODUCT_INFO_CHANGED) {
            order.push_back(id);
        }
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{ON_SYSTEM_IO_INFO_CHANGED, ON_SYSTEM_INFO_CHANGED,
                                            ON_PRODUCT_INFO_CHANGED}));
}

TEST_F(ConnectPushes, FunctionManagerSendsBothFunctionConfigurations) {
    ProtoBaseFuncInfo base;
    FunctionManage::instance().ProtoBaseFuncInfoDefault(base);
    base.set_ms32dmmfunc(TYPE_OHM4);
    base.mutable_mprotofunccfgs(TYPE_OHM4)->set_ms32range(3);
    base.mutable_mprotofunccfgs(TYPE_OHM4)->set_ms32rate(E_Fast);
    FunctionManage::instance().ProtoBaseFuncInfoSet(base);
    notes.clear();

    FunctionManage::instance().onClientConnect();
    DataPack main, second;
    ASSERT_TRUE(notes.waitFor(UPDATE_FUNCTION_CONFIG, main));
    ASSERT_TRUE(notes.waitFor(UPDATE_FUNCTION2_CONFIG, second));
    EXPECT_EQ(entry(main, 0x40C).s32val(), TYPE_OHM4);
    EXPECT_EQ(entry(main, 0x648).s32val(), 3);
    EXPECT_EQ(entry(main, 0x65E).s32val(), E_Fast);
    EXPECT_EQ(entry(main, 0x643).s32val(), 10);
    EXPECT_FALSE(entry(main, 0x66F).bval());
    EXPECT_FALSE(entry(second, 0x642).bval());
    EXPECT_EQ(entry(second, 0x635).s32val(), TYPE_DCV);
}

TEST_F(ConnectPushes, EngineSendsTriggerMathAndSensorSettings) {
    CDataManage* engine = CDataManage::instance();
    ProtoTriggerFuncInfo trig;
    engine->ProtoTriggerFuncInfoDefault(trig);
    ProtoMathFuncInfo math;
    engine->ProtoMathFuncInfoDefault(math);
    notes.clear();

    engine->onClientConnect();
    DataPack t, m, s;
    ASSERT_TRUE(notes.waitFor(UPDATE_TRIGGER_CONFIG, t));
    ASSERT_TRUE(notes.waitFor(UPDATE_MATH_CONFIG, m));
    ASSERT_TRUE(notes.waitFor(UPDATE_SENSOR_CONFIG, s));
    EXPECT_EQ(entry(t, 0x1102).s32val(), 400);
    EXPECT_EQ(entry(t, 0x1104).s32val(), 1);
    EXPECT_EQ(entry(t, 0x1109).s32val(), 100);
    EXPECT_EQ(entry(m, 0x810).s32val(), 7);
    EXPECT_DOUBLE_EQ(entry(m, 0x803).f64val(), 600.0);
    EXPECT_TRUE(entry(s, 0x1707).bval());
    EXPECT_EQ(entry(s, 0x1706).strval(), "Sensor");
}

TEST_F(ConnectPushes, StorageManagerSendsTheImageSettings) {
    Copperwren::Singleton<StorageManage>::Instance()->onClientConnect();
    DataPack image;
    ASSERT_TRUE(notes.waitFor(ON_STORAGE_IMAGE_INFO_CHANGED, image));
    EXPECT_EQ(rawRecord<ProtoImageInfo>(image, ON_STORAGE_IMAGE_INFO_CHANGED).mdefaultfilepath(), "/data/UserData");
}
