// Taking calibration points through the raw-value queue (standing in for the
// measurement loop), raw reads, saving, deleting and the acc values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "AcqFrontEnd.h"
#include "CDataManage.h"
#include "DrvScpiSM.h"
#include "FunctionManage.h"
#include "dev/gpio/CGpioCtl.h"
#include "engine_fakes.h"
#include "proto_values.h"
#include "temp_root.h"

using namespace testing_support;
using ValueMap = CDataManage::ValueMap;

namespace {

class CaliProc : public ::testing::Test {
protected:
    void SetUp() override {
        // The function settings push their configuration when first made:
        // make them now, not in the middle of a point.
        FunctionManage::instance();
        engine->m_RawDataQueue.Clear();
        select(TYPE_DCV, 1);
    }
    void TearDown() override {
        engine->m_u32BufferTimeOut = 5000;
        std::filesystem::remove_all(root.host("/vorna/data"));
        engine->DM_CalInit();
    }
    void select(MeasureTypeEnum func, int32_t range) {
        structFuncConfig c;
        c.bMainConfig = true;
        c.s32RangeMax = 4;
        c.s32Range = range;
        c.eRealFunc = func;
        engine->DM_UpdateMainFunc(func, c);
    }
    int set(double target) { return engine->cbCaliDataSet(2, request(0xc00, f64(target)), &out); }
    void offer(std::initializer_list<long long> values) {
        for (long long v : values) engine->m_RawDataQueue.Push(v);
    }
    bool calibrating() { return DrvScpi_GetStatusRegs().u16ScpOSR_C & 1; }
    std::string state() {
        ValueMap o;
        engine->cbCaliStateGet(2, {}, &o);
        return o.at(0).strval();
    }
    // Waits for the running capture to end.
    void waitStopped() {
        for (int i = 0; i < 400 && state() == "RUNNING"; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(state(), "STOPED");
        EXPECT_FALSE(calibrating());
    }
    std::vector<structCaliPoint> points(uint32_t key) {
        auto all = engine->caliPoints();
        return all.count(key) ? all.at(key) : std::vector<structCaliPoint>{};
    }
    TempRoot root;
    CDataManage* engine = CDataManage::instance();
    ValueMap out;
};

TEST_F(CaliProc, APointIsTheMeanOfTheMiddleFourValues) {
    const struct {
        std::initializer_list<long long> values;
        double avg;
    } cases[] = {
        {{100, 104, 98, 250, 101, 99}, 101},
        {{-7, -6, -6, -6, -6, -5}, -6},
        {{-7, -6, -6, -6, -5, -5}, -5},  // -23 / 4 truncates toward zero
    };
    for (const auto& c : cases) {
        engine->DM_RemoveCaliData({1});
        ASSERT_EQ(set(10.0), 0);
        EXPECT_TRUE(calibrating());
        EXPECT_EQ(state(), "RUNNING");
        EXPECT_EQ(set(20.0), 0);  // one running already: the first reference stays
        offer(c.values);
        waitStopped();
        ASSERT_EQ(points(1).size(), 1u);
        EXPECT_EQ(points(1)[0].f64Point, c.avg);
        EXPECT_EQ(points(1)[0].f64Target, 10.0);
        EXPECT_EQ(engine->m_RawDataQueue.Size(), 0u);  // the ignored second SET took nothing
    }
    EXPECT_EQ(engine->m_trigInfo.u32Interval, 400u);
}

TEST_F(CaliProc, RefusalsAndPointsThatAreNotFiled) {
    EXPECT_EQ(engine->cbCaliDataSet(2, {}, &out), 8);
    select(TYPE_DCV, -1);
    EXPECT_EQ(set(1.0), 55);  // the automatic range names no key
    EXPECT_EQ(engine->cbCaliDataSave(2, {}, &out), 55);
    EXPECT_EQ(engine->cbCaliDataDelete(2, {}, &out), 55);

    select(TYPE_DCV, 1);  // the range changes while the point runs: abandoned
    ASSERT_EQ(set(1.0), 0);
    select(TYPE_DCV, 2);
    offer({1, 2, 3, 4, 5, 6});
    waitStopped();
    EXPECT_TRUE(engine->caliPoints().empty());

    engine->m_u32BufferTimeOut = 100;  // no value comes: both give up
    ASSERT_EQ(set(1.0), 0);
    waitStopped();
    EXPECT_EQ(engine->cbCaliDataGet(2, {}, &out), 118);
    EXPECT_EQ(state(), "STOPED");

    // A reference that is no number starts no point.
    EXPECT_EQ(engine->cbCaliDataSet(2, request(0xc00, s32(3)), &out), 54);
    EXPECT_EQ(state(), "STOPED");
    EXPECT_TRUE(engine->caliPoints().empty());
}

// A raw read takes over a running point; the worker left behind neither
// files its old reference nor takes the next point's values.
TEST_F(CaliProc, ARawReadCancelsAPoint) {
    ASSERT_EQ(set(10.0), 0);
    ValueMap got;
    std::thread reader([&] { EXPECT_EQ(engine->cbCaliDataGet(2, {}, &got), 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    offer({-42});
    reader.join();
    EXPECT_EQ(got.at(0).strval(), "-42");
    ASSERT_EQ(set(20.0), 0);
    offer({5, 5, 5, 5, 5, 5});
    waitStopped();
    ASSERT_EQ(points(1).size(), 1u);
    EXPECT_EQ(points(1)[0].f64Target, 20.0);
    EXPECT_EQ(points(1)[0].f64Point, 5.0);
}

TEST_F(CaliProc, SaveWritesTheCurrentKeyAndDeleteRemovesPointFiles) {
    engine->DM_CacheCaliPoint(0, 1, 0, 0);
    engine->DM_CacheCaliPoint(0, 1, 1000, 1);
    engine->DM_CacheCaliPoint(0, 2, 0, 0);
    engine->DM_CacheCaliPoint(0, 2, 1000, 10);
    ASSERT_EQ(engine->cbCaliDataSave(2, request(0xc01, s32(0)), &out), 0);
    const std::string one = root.host("/vorna/data/cali_0_1.cal");
    struct stat st;
    ASSERT_EQ(::stat(one.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 48);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(root.host("/vorna/data/cali_0_2.cal")));
    double v = 0;
    engine->DM_CalData(0, 1, 500, v);
    EXPECT_EQ(v, 0.5);
    v = 0;
    engine->DM_CalData(0, 2, 500, v);
    EXPECT_EQ(v, 0.0);  // other keys' tables change at the next start

    ASSERT_EQ(engine->cbCaliDataSave(2, request(0xc01, s32(1)), &out), 0);
    EXPECT_EQ(std::filesystem::file_size(root.host("/vorna/data/cali_0_2.cal")), 48u);
    engine->DM_CalInit();
    EXPECT_EQ(points(2).size(), 2u);  // what was written reads back

    // Delete: the current key's points, table and file; then every point file.
    for (const char* name : {"cali.cal", "cali.acc", "notes.txt"}) writeFile(root.host("/vorna/data/") + name, "");
    ASSERT_EQ(engine->cbCaliDataDelete(2, request(0xc03, s32(0)), &out), 0);
    EXPECT_TRUE(points(1).empty());
    EXPECT_FALSE(std::filesystem::exists(one));
    EXPECT_EQ(points(2).size(), 2u);
    ASSERT_EQ(engine->cbCaliDataDelete(2, request(0xc03, s32(1)), &out), 0);
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(root.host("/vorna/data"))) {
        left.insert(e.path().filename());
    }
    EXPECT_EQ(left, (std::set<std::string>{"cali.acc", "cali.cal", "notes.txt"}));
}

TEST_F(CaliProc, AccValuesOnlyForAcVoltsAndSavedToTheirFile) {
    const struct {
        MeasureTypeEnum func;
        int32_t range;
        int32_t acc;
        int result;
    } cases[] = {
        {TYPE_ACV, 1, 128, 56}, {TYPE_ACV, 1, -1, 56}, {TYPE_DCV, 1, 5, 55},
        {TYPE_ACV, 3, 5, 0},    {TYPE_ACV, 1, 56, 0},
    };
    for (const auto& c : cases) {
        select(c.func, c.range);
        EXPECT_EQ(engine->cbCaliAccSet(2, request(0xc04, s32(c.acc)), &out), c.result) << c.acc;
    }
    EXPECT_EQ(engine->cbCaliAccSet(2, {}, &out), 8);
    std::map<uint32_t, uint32_t> accs;
    AcqFrontEnd::converter().getAcc(accs);
    EXPECT_EQ(accs.count(TYPE_ACV * 64 + 3), 0u);  // the driver ignores range 3
    EXPECT_EQ(accs.at(TYPE_ACV * 64 + 1), 56u);

    ASSERT_EQ(engine->cbCaliAccSave(2, {}, &out), 0);
    const std::string bytes = readFile(root.host("/vorna/data/cali.acc"));
    ASSERT_EQ(bytes.size(), 12 * accs.size());
    EXPECT_EQ(bytes.substr(12 * std::distance(accs.begin(), accs.find(65)), 12),
              std::string("\1\0\0\0\1\0\0\0\x38\0\0\0", 12));
}

// The measurement loop's capture cycles feed points and a raw read; the
// table they give is swapped in while the loop reads tables.
TEST_F(CaliProc, TheLoopFeedsPointsAndARawRead) {
    FunctionManage::instance();  // hands its own configuration over once
    select(TYPE_DCV, 1);
    ASSERT_TRUE(CGpioCtl::instance()->GPIO_Connect());
    EngineFakes fakes;
    fakes.frontEnd.liveConfig = &engine->m_mainConfig;
    engine->setPushSink([](service_id, ValueMap) {});
    engine->loopStart();
    engine->m_zAcqRunning = true;
    // The front end's frames change only while no pass runs.
    auto withLoop = [&](const std::function<void()>& body) {
        std::atomic<bool> stop{false};
        std::thread loop([&] {
            while (!stop) engine->runPass();
        });
        body();
        stop = true;
        loop.join();
    };
    for (double target : {0.25, 0.0}) {
        fakes.frontEnd.frames = {frame(0x04, 0, le(std::llround(target * 1e6), 3))};
        withLoop([&] {
            EXPECT_EQ(set(target), 0);
            waitStopped();
        });
    }
    ValueMap raw;
    withLoop([&] {
        EXPECT_EQ(engine->cbCaliDataGet(2, {}, &raw), 0);
        EXPECT_EQ(engine->cbCaliDataSave(2, {}, &out), 0);  // swapped in while the loop reads tables
    });
    engine->m_zAcqRunning = false;
    engine->setPushSink(nullptr);
    EXPECT_EQ(raw.at(0).strval(), "0");
    ASSERT_EQ(points(1).size(), 2u);
    EXPECT_EQ(points(1)[0].f64Point, 250000.0);
    double v = 0;
    engine->DM_CalData(0, 1, 500000, v);
    EXPECT_EQ(v, 0.5);
}

} // namespace
