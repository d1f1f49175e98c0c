// Calibration files, the point rule, the segment tables and their
// application, and the tables rebuilt while the loop reads them.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine_fakes.h"
#include "temp_root.h"

using namespace testing_support;

namespace {

std::string pointRecord(uint32_t func, uint32_t range, double point, double target) {
    std::string r(24, '\0');
    std::memcpy(&r[0], &func, 4);
    std::memcpy(&r[4], &range, 4);
    std::memcpy(&r[8], &point, 8);
    std::memcpy(&r[16], &target, 8);
    return r;
}

std::string accRecord(uint32_t func, uint32_t range, uint32_t acc) {
    std::string r(12, '\0');
    std::memcpy(&r[0], &func, 4);
    std::memcpy(&r[4], &range, 4);
    std::memcpy(&r[8], &acc, 4);
    return r;
}

class Calibration : public ::testing::Test {
protected:
    void TearDown() override {
        std::filesystem::remove_all(root.host("/vorna/data"));
        engine->DM_CalInit();  // leaves no table behind
    }
    void file(const std::string& name, const std::string& bytes) { writeFile(root.host("/vorna/data/" + name), bytes); }
    // The calibrated value of a raw sample, 0 when no table applies.
    double cal(uint32_t func, uint32_t range, int64_t raw) {
        double out = 0;
        EXPECT_TRUE(engine->DM_CalData(func, range, raw, out));
        return out;
    }
    TempRoot root;
    CDataManage* engine = CDataManage::instance();
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

} // namespace
