// Custom sensor curves: editing the points, segments, lines and least-squares
// pieces, and their evaluation.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "SensorCurve.h"

namespace {

struct P {
    double x, y;
    bool seg = false;
    int math = 0;
};

// A record with the points appended in order; every add must succeed.
std::unique_ptr<structSensorProjLeast> curve(const std::vector<P>& points) {
    auto r = std::make_unique<structSensorProjLeast>();
    r->bTempture = false;
    for (const P& p : points) {
        EXPECT_EQ(SEN_AddPoint(*r, -1, {p.x, p.y, static_cast<uint8_t>(p.math), p.seg}), 0) << p.x;
    }
    return r;
}

double activateAndEval(structSensorProjLeast& r, double v) {
    EXPECT_EQ(GetSegPoint(r), 255);
    EXPECT_TRUE(SEN_FitSegments(r));
    return SensRangeCheck(r, SEN_CustomCurve(r, v));
}

TEST(SensorCurve, LinesInterpolateAndExtend) {
    struct Case { std::vector<P> points; double in, out; } cases[] = {
        {{{0, 0}, {1000, 100}}, 500, 50},
        {{{0, 0}, {1000, 100}}, 2000, 200},
        {{{0, 0}, {1000, 100}}, -1000, -100},
        {{{0, 0}, {1000, 100}, {2000, 300, true}, {3000, 400}}, 1500, 200},  // the gap between segments
        {{{0, 0}, {1000, 100}, {2000, 300, true}, {3000, 400}}, 4000, 500},  // past the last segment
        {{{0, 0}, {1000, 100}}, 40000, kSensorOverload},                    // above 3000
        {{{0, 0}, {1000, 100}}, -3000, kSensorOverload},                    // below -273.15 degC
        {{{0, 0}, {1000, 100}}, NAN, kSensorOverload},
        {{{0, 0, true, 7}, {1000, 100}, {2000, 300}}, 1500, 200},           // sign 7 is a line
    };
    for (const Case& c : cases) {
        auto r = curve(c.points);
        EXPECT_NEAR(activateAndEval(*r, c.in), c.out, 1e-9) << c.in;
    }
    auto r = curve({{0, 0}, {1000, 100}});
    SEN_CopyText(r->stProjProperty.charUnit, "psi");
    EXPECT_EQ(activateAndEval(*r, -25000), -2500);  // an unknown unit goes down to -3000
}

TEST(SensorCurve, LeastSquaresPiecesPassThroughTheirPoints) {
    // Two least-squares segments of 5 and 7 points after a line: each piece
    // keeps its coefficients in a block of its own.
    std::vector<P> points = {{-10, 5}, {-5, 6}};
    auto f = [](double x) { return 0.001 * x * x * x - 0.2 * x + 3; };
    for (int i = 0; i < 5; ++i) points.push_back({double(i), f(i), i == 0, i == 0 ? 1 : 0});
    for (int i = 10; i < 17; ++i) points.push_back({double(i), -f(i), i == 10, i == 10 ? 1 : 0});
    auto r = curve(points);
    ASSERT_EQ(GetSegPoint(*r), 255);
    ASSERT_TRUE(SEN_FitSegments(*r));
    EXPECT_EQ(r->u32TotalSegment, 3u);
    EXPECT_EQ(r->stSegProperty[2].u32ParaPos, 6u);
    EXPECT_EQ(r->stSegProperty[2].u32LittleSegNum, 2u);
    for (uint32_t i = 2; i < r->u32TotalPoint; ++i) {
        EXPECT_NEAR(SEN_CustomCurve(*r, r->REFPoint[i].f64XValue), r->REFPoint[i].f64YValue, 1e-6) << i;
    }
    // The cubic is reproduced between the points too.
    EXPECT_NEAR(SEN_CustomCurve(*r, 2.5), f(2.5), 1e-9);
    EXPECT_NEAR(SEN_CustomCurve(*r, 15.5), -f(15.5), 1e-9);
}

TEST(SensorCurve, SegmentChecksAtActivation) {
    struct Case { std::vector<P> points; int result; } cases[] = {
        {{{0, 0, true, 1}, {1, 1}, {2, 2}, {3, 3}}, 1},  // least squares of 4 points
        {{{0, 0}, {1, 1}, {2, 2, true}}, 2},             // a one-point segment at the end
        {{{0, 0}}, 4},
    };
    for (const Case& c : cases) {
        auto r = curve(c.points);
        EXPECT_EQ(GetSegPoint(*r), c.result);
    }
}

TEST(SensorCurve, PointEditsKeepTheTableSound) {
    auto r = curve({{0, 0}, {10, 1}, {20, 2}});
    const structSensorProjLeast before = *r;
    struct Case { int index; P point; int result; } refused[] = {
        {-1, {10, 9}, 55},    // x already present
        {0, {5, 0}, 55},      // the first point starts a segment
        {3, {30, 3}, 58},     // index beyond the table
        {-2, {30, 3}, 58},
        {1, {20, 5}, 55},     // a replace onto another point's x
    };
    for (const Case& c : refused) {
        EXPECT_EQ(SEN_AddPoint(*r, c.index, {c.point.x, c.point.y, 0, c.point.seg}), c.result) << c.index;
        EXPECT_EQ(r->u32TotalPoint, before.u32TotalPoint);
        for (uint32_t i = 0; i < r->u32TotalPoint; ++i) EXPECT_EQ(r->REFPoint[i].f64XValue, before.REFPoint[i].f64XValue);
        EXPECT_EQ(r->REFPoint[1].f64YValue, 1);
    }
    // A point below the first one becomes the first, starting a segment.
    EXPECT_EQ(SEN_AddPoint(*r, -1, {-5, -1, 0, false}), 0);
    EXPECT_EQ(r->REFPoint[0].f64XValue, -5);
    EXPECT_TRUE(r->REFPoint[0].bSegSign);
    EXPECT_EQ(SEN_DelPoint(*r, 0), 0);
    EXPECT_TRUE(r->REFPoint[0].bSegSign);
    EXPECT_EQ(r->REFPoint[0].u8MathSign, 0);
    EXPECT_EQ(SEN_DelPoint(*r, 3), 58);
}

TEST(SensorCurve, CapacityOfPointsAndSegments) {
    auto r = std::make_unique<structSensorProjLeast>();
    int result = 0;
    uint32_t i = 0;
    for (; i < kSensorMaxPoints && result == 0; ++i) {
        result = SEN_AddPoint(*r, -1, {double(i), 0, 0, i % 2 == 0});
    }
    EXPECT_EQ(result, 57);  // the 201st segment start
    EXPECT_EQ(r->u32TotalSegment, kSensorMaxSegments);
    auto full = std::make_unique<structSensorProjLeast>();
    for (i = 0; i < kSensorMaxPoints; ++i) ASSERT_EQ(SEN_AddPoint(*full, -1, {double(i), 0, 0, i == 0}), 0);
    EXPECT_EQ(SEN_AddPoint(*full, -1, {1e6, 0, 0, false}), 57);
    EXPECT_EQ(full->u32TotalPoint, kSensorMaxPoints);
}

} // namespace
