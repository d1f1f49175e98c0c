// Calibration: files, the point rule, the segment tables and their
// application while the loop reads them; taking points through the raw-value
// queue (standing in for the measurement loop), raw reads, saving, deleting and
// the acc values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "AcqFrontEnd.h"
#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiSM.h"
#include "FunctionManage.h"
#include "dev/gpio/CGpioCtl.h"
#include "engine_fakes.h"
#include "fixed_hash_targets.h"
#include "proto_values.h"
#include "temp_root.h"

using namespace testing_support;
using ValueMap = CDataManage::ValueMap;

namespace {

std::string accRecord(uint32_t func, uint32_t range, uint32_t acc) {
    std::string r(12, '\0');
    std::memcpy(&r[0], &func, 4);
    std::memcpy(&r[4], &range, 4);
    std::memcpy(&r[8], &acc, 4);
    return r;
}

// Every test leaves no calibration file and no table behind.
class CaliBase : public ::testing::Test {
protected:
    void TearDown() override {
        std::filesystem::remove_all(root.host("/vorna/data"));
        engine->DM_CalInit();
    }
    // The calibrated value of a raw sample, 0 when no table applies.
    double cal(uint32_t func, uint32_t range, int64_t raw) {
        double out = 0;
        EXPECT_TRUE(engine->DM_CalData(func, range, raw, out));
        return out;
    }
    std::vector<structCaliPoint> points(uint32_t key) {
        auto all = engine->caliPoints();
        return all.count(key) ? all.at(key) : std::vector<structCaliPoint>{};
    }
    TempRoot root;
    CDataManage* engine = CDataManage::instance();
};

class Calibration : public CaliBase {
protected:
    void file(const std::string& name, const std::string& bytes) { writeFile(root.host("/vorna/data/" + name), bytes); }
    EngineFakes fakes;
};

TEST_F(Calibration, LoadingFollowsFileOrderAndTheRecordsKey) {
    file("cali.cal", pointRecord(0, 1, 111, 1) + pointRecord(0, 1, 0, 0));
    file("cali_0_1.cal", pointRecord(0, 1, 100, 1));
    // Named after one key, holding another's points; 2 spare bytes at the end.
    file("cali_2_2.cal", pointRecord(4, 3, 0, 0) + pointRecord(4, 3, 1000, 10) + "xy");
    file("cali.acc", accRecord(1, 2, 5) + accRecord(1, 1, 200) + accRecord(1, 0, 127) + "abc");
    file("notes.txt", pointRecord(6, 0, 0, 50));
    engine->DM_CalInit();

    auto points = engine->caliPoints();
    ASSERT_EQ(points.size(), 2u);
    ASSERT_EQ(points.at(1).size(), 2u);
    EXPECT_EQ(points.at(1)[0].f64Point, 100);  // the later file's raw value, first place kept
    EXPECT_EQ(points.at(4 * 64 + 3).size(), 2u);
    EXPECT_EQ(cal(0, 1, 50), 0.5);
    EXPECT_EQ(cal(4, 3, 500), 5);
    EXPECT_EQ(cal(2, 2, 500), 0);  // no table
    // Acc values reach the driver in file order; one above 127 is skipped.
    ASSERT_EQ(fakes.frontEnd.accs.size(), 2u);
    EXPECT_EQ(fakes.frontEnd.accs[0].u32Acc, 5u);
    EXPECT_EQ(fakes.frontEnd.accs[1].u32Range, 0u);
}

TEST_F(Calibration, SegmentsInterpolateAndExtrapolate) {
    struct Case {
        std::vector<std::pair<double, double>> points;  // raw, target
        int64_t raw;
        double expect;
    } cases[] = {
        {{{0, 0}, {1000, 10}}, 500, 5},
        {{{0, 0}, {1000, 10}}, -100, -1},   // below: first segment extended
        {{{1000, 10}, {0, 0}}, 2000, 20},   // above: last segment extended; order by target
        {{{0, 0}, {1000, 10}, {2100, 20}}, 1000, 10},  // shared end: the lower segment
        {{{0, 0}, {1000, 10}, {2100, 20}}, 1550, 15},
        {{{0, 0}, {1000, 10}, {2100, 20}}, 3200, 30},
        {{{42, 7}}, 123, 123},                 // one point: passed through
        {{{0, 0}, {0, 5}, {1000, 10}}, 500, 7.5},  // equal raw values: that segment skipped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        std::vector<structCaliPoint> points;
        for (auto [raw, target] : c.points) points.push_back({0, 2, raw, target});
        engine->DM_LoadCaliData(2, points);
        EXPECT_EQ(cal(0, 2, c.raw), c.expect);
        for (const structCaliData& s : engine->caliData()->at(2)) EXPECT_TRUE(std::isfinite(s.f64Gain));
    }
}

TEST_F(Calibration, CachingATargetAgainReplacesOnlyItsRawValue) {
    engine->DM_CacheCaliPoint(1, 0, 10, 100);
    engine->DM_CacheCaliPoint(1, 0, 0, 0);
    engine->DM_CacheCaliPoint(1, 0, 12, 100);
    const auto list = engine->caliPoints().at(64);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].f64Target, 100);
    EXPECT_EQ(list[0].f64Point, 12);
    EXPECT_EQ(cal(1, 0, 6), 0);  // points alone change no reading
}

TEST(CaliPointCacheRule, APointIsKnownByFunctionRangeAndExactTarget) {
    const double nan = std::nan("");
    struct Case {
        const char* name;
        std::vector<structCaliPoint> adds;
        std::map<uint32_t, std::vector<std::pair<double, double>>> lists;  // raw, target
    } cases[] = {
        {"a known target takes the raw value, in its place",
         {{0, 1, 100, 1}, {0, 1, 0, 0}, {0, 1, 111, 1}},
         {{1, {{111, 1}, {0, 0}}}}},
        {"zero and minus zero are one target", {{0, 1, 5, 0.0}, {0, 1, 6, -0.0}}, {{1, {{6, 0.0}}}}},
        {"a target that is no number equals nothing", {{0, 1, 1, nan}, {0, 1, 2, nan}}, {{1, {{1, nan}, {2, nan}}}}},
        {"another range is another point", {{0, 1, 1, 5}, {0, 2, 2, 5}}, {{1, {{1, 5}}}, {2, {{2, 5}}}}},
        {"ranges past 63 share a key, not a point", {{0, 64, 1, 5}, {1, 0, 2, 5}}, {{64, {{1, 5}, {2, 5}}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaliPointCache<>::PointMap points;
        CaliPointCache<> cache(points);
        for (const structCaliPoint& p : c.adds) cache.add(p);
        ASSERT_EQ(points.size(), c.lists.size());
        for (const auto& [key, expected] : c.lists) {
            ASSERT_EQ(points[key].size(), expected.size());
            for (size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(points[key][i].f64Point, expected[i].first);
                EXPECT_EQ(std::memcmp(&points[key][i].f64Target, &expected[i].second, sizeof(double)), 0);
            }
        }
    }
}

// n targets of function 0, range 1 whose fixed hashes fall into one bucket
// of the table that n points grow.
std::vector<double> targetsSharingAFixedBucket(size_t n) {
    using namespace fixed_hash_targets;
    const uint64_t buckets = grownBuckets(n);
    std::vector<double> targets = sharingABucket(n, buckets);
    for (double target : targets) {
        uint64_t bits;
        std::memcpy(&bits, &target, sizeof bits);
        EXPECT_EQ(fixedHash(bits, 1) % buckets, 0u);
    }
    return targets;
}

// A 4 MiB file holds some 170,000 points of one key: each one joins them at a
// constant number of comparisons, not one per point already known, whatever
// targets the file's writer chose.
TEST(CaliPointCacheRule, JoiningPointsTakesComparisonsLinearInTheirNumber) {
    static size_t comparisons = 0;
    struct CountingEqual {
        bool operator()(const CaliPointId& a, const CaliPointId& b) const {
            ++comparisons;
            return a == b;
        }
    };
    const size_t n = 20000;
    const struct {
        const char* name;
        std::vector<double> targets;
    } cases[] = {
        {"evenly spaced", fixed_hash_targets::spaced(n)},
        {"sharing a bucket of a fixed hash", targetsSharingAFixedBucket(n)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        comparisons = 0;
        CaliPointCache<CountingEqual>::PointMap points;
        CaliPointCache<CountingEqual> cache(points);
        for (int pass = 0; pass < 2; ++pass) {
            for (double target : c.targets) cache.add({0, 1, double(pass), target});
        }
        ASSERT_EQ(points[1].size(), n);
        EXPECT_EQ(points[1][n - 1].f64Point, 1);
        EXPECT_LE(comparisons, 4 * n);
    }
}

// The loop reads tables while handlers rebuild, remove and reload them:
// every value it gets comes from a whole table.
TEST_F(Calibration, ReadersSeeWholeTablesWhileTheyAreRebuilt) {
    std::vector<structCaliPoint> twice = {{0, 3, 0, 0}, {0, 3, 1000, 2000}, {0, 3, 2000, 4000}};
    std::vector<structCaliPoint> thrice = {{0, 3, 0, 0}, {0, 3, 1000, 3000}, {0, 3, 2000, 6000}};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            for (int64_t raw : {500, 1500, 2500}) {
                double out = 0;
                engine->DM_CalData(0, 3, raw, out);
                if (out != 0 && out != raw * 2.0 && out != raw * 3.0) ++bad;
            }
        }
    });
    for (int i = 0; i < 300; ++i) {
        engine->DM_LoadCaliData(3, i % 2 ? twice : thrice);
        if (i % 10 == 0) engine->DM_RemoveCaliData({3});
        if (i % 50 == 0) engine->DM_CalInit();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

class CaliProc : public CaliBase {
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
        CaliBase::TearDown();
    }
    void select(MeasureTypeEnum func, int32_t range) { engine->DM_UpdateMainFunc(func, mainConfig(func, range)); }
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
    ValueMap out;
};

TEST_F(CaliProc, APointIsTheMeanOfTheMiddleFourValues) {
    const struct { std::initializer_list<long long> values; double avg; } cases[] = {
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
    // Nor does auto range on the range it happens to read on now.
    structFuncConfig onAuto = mainConfig(TYPE_DCV, 2);
    onAuto.bAutoRange = true;
    engine->DM_UpdateMainFunc(TYPE_DCV, onAuto);
    EXPECT_EQ(set(5.0), 55);
    EXPECT_EQ(engine->cbCaliDataGet(2, {}, &out), 55);
    EXPECT_EQ(state(), "STOPED");

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
    // The point's worker lets go (and drops the calibrating bit) only once
    // the raw read has taken over: from then on a value is the read's.
    for (int i = 0; i < 400 && calibrating(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(calibrating());
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
    EXPECT_EQ(cal(0, 1, 500), 0.5);
    EXPECT_EQ(cal(0, 2, 500), 0.0);  // other keys' tables change at the next start

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

// Two points with one raw value give no slope: such a save is refused and
// the file and the table in force stay as they were.
TEST_F(CaliProc, ASaveOfPointsWithEqualRawValuesIsRefused) {
    engine->DM_CacheCaliPoint(0, 1, 0, 0);
    engine->DM_CacheCaliPoint(0, 1, 1000, 1);
    ASSERT_EQ(engine->cbCaliDataSave(2, request(0xc01, s32(0)), &out), 0);
    const std::string file = root.host("/vorna/data/cali_0_1.cal");
    const std::string saved = readFile(file);
    engine->DM_CacheCaliPoint(0, 1, 1000, 2);
    for (int all : {0, 1}) {
        SCOPED_TRACE(all);
        EXPECT_EQ(engine->cbCaliDataSave(2, request(0xc01, s32(all)), &out), E200_EXECUTION_ERROR);
        EXPECT_EQ(readFile(file), saved);
        EXPECT_EQ(cal(0, 1, 500), 0.5);
    }
    // Taken again with a raw value of its own, the point saves.
    engine->DM_CacheCaliPoint(0, 1, 2000, 2);
    ASSERT_EQ(engine->cbCaliDataSave(2, request(0xc01, s32(0)), &out), 0);
    EXPECT_EQ(cal(0, 1, 1500), 1.5);
}

TEST_F(CaliProc, AccValuesOnlyForAcVoltsAndSavedToTheirFile) {
    const struct { MeasureTypeEnum func; int32_t range; int32_t acc; int result; } cases[] = {
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
    EXPECT_EQ(cal(0, 1, 500000), 0.5);
}

} // namespace
