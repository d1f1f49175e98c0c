// The message table of the function settings and its handlers, called as the
// hub calls them.
#include <gtest/gtest.h>

#include <set>

#include "func_fakes.h"

namespace {

constexpr unsigned int kUi = 0;
constexpr unsigned int kScpi = 2;

} // namespace

TEST(FuncMessages, EveryIdIsBoundOnceAndABoundIdKeepsItsHandler) {
    std::set<unsigned int> ids;
    for (const FuncMessage& row : FunctionManage::kMessages) {
        EXPECT_TRUE(ids.insert(row.id).second) << std::hex << row.id;
        EXPECT_TRUE(row.handler != nullptr && row.name != nullptr);
    }
    EXPECT_EQ(ids.size(), 110u);
    EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](unsigned int id) { return id >> 28 == 1; }), 64);

    FuncFixture t;
    std::map<unsigned int, cb_func> entries;
    entries[0x1000040C] = [](unsigned int, const ValueMap&, ValueMap*) { return 77; };
    t.fm->getCallbacks(entries);
    EXPECT_EQ(entries.size(), 110u);
    ValueMap out;
    EXPECT_EQ(entries.at(0x1000040C)(kUi, {}, &out), 77);
}

TEST(FuncMessages, SettersWithoutTheirKeyChangeNothing) {
    FuncFixture t;
    for (const FuncMessage& row : FunctionManage::kMessages) {
        // The selection shortcuts and the second-display clear take no value.
        const unsigned int code = row.id & 0xFFFF;
        const bool action = (code >= 0x629 && code <= 0x633) || (code >= 0x636 && code <= 0x63F);
        if (row.id >> 28 != 1 || action) {
            continue;
        }
        t.backend.reset();
        EXPECT_EQ(t.call(row.id, kScpi, {}), 8) << row.name;
        EXPECT_TRUE(t.backend.log.empty()) << row.name;
    }
}

TEST(FuncMessages, FunctionSelectionAndQueries) {
    FuncFixture t;
    ValueMap out;
    EXPECT_EQ(t.call(0x1000040C, kScpi, request(0x40C, str("\"VOLT:AC\""))), 0);
    ASSERT_EQ(t.call(0x2000040C, kScpi, {}, &out), 0);
    EXPECT_EQ(out.at(0x40C).strval(), "\"VOLT:AC\"");
    EXPECT_EQ(t.call(0x1000040C, kScpi, request(0x40C, str("\"volt:ac\""))), 55);
    EXPECT_EQ(t.call(0x1000040C, kUi, request(0, s32(12))), 55);
    EXPECT_EQ(t.call(0x1000040C, kUi, request(0, s32(TYPE_SENSOR))), 0);
    EXPECT_EQ(t.fm->FM_GetFunction(), TYPE_SENSOR);

    EXPECT_EQ(t.call(0x1000062A, kUi, {}), 0);  // ACV shortcut
    EXPECT_EQ(t.call(0x1000063F, kUi, {}), 0);  // FREQ on the second display
    out.clear();
    t.call(0x20000635, kScpi, {}, &out);
    EXPECT_EQ(out.at(0x635).strval(), "FREQ");
    out.clear();
    t.call(0x20000642, kScpi, {}, &out);
    EXPECT_EQ(out.at(0x642).strval(), "ON");
    EXPECT_EQ(t.call(0x10000636, kUi, {}), 0);
    out.clear();
    t.call(0x20000635, kUi, {}, &out);
    EXPECT_EQ(out.at(0x635).s32val(), -1);

    out.clear();
    EXPECT_EQ(t.call(0x20000640, kScpi, {}, &out), 0);
    EXPECT_EQ(out.at(0x640).strval(), "+1.00000000E+00");
    EXPECT_EQ(t.call(0x20000641, kScpi, {}, &out), 44);
    EXPECT_FALSE(out.count(0x641));
}

TEST(FuncMessages, SecondDisplayPerFunction) {
    struct Case {
        unsigned int primaryShortcut;
        unsigned int setId;
        const char* keyword;
        int result;
        const char* reply;  // SCPI query answer afterwards
    };
    const Case cases[] = {
        {0x10000629, 0x10002632, "\"FREQ\"", 0, "\"FREQ\""},           // ACV chosen, FREQ beside it
        {0x1000062A, 0x10002632, "\"BOGUS\"", 1, "\"OFF\""},
        {0x1000062A, 0x10002632, "\"DCV\"", 55, "\"OFF\""},
        {0x10000629, 0x1000262B, "\"CALC:DATA\"", 0, "\"CALC:DATA\""},
    };
    for (const Case& c : cases) {
        FuncFixture t;
        t.call(c.primaryShortcut, kUi, {});
        EXPECT_EQ(t.call(c.setId, kScpi, request(c.setId & 0xFFFF, str(c.keyword))), c.result) << c.keyword;
        ValueMap out;
        ASSERT_EQ(t.call(c.setId + 0x10000000, kScpi, {}, &out), 0);
        EXPECT_EQ(out.at(c.setId & 0xFFFF).strval(), c.reply);
    }
    FuncFixture t;
    EXPECT_EQ(t.call(0x20002603, kScpi, {}), 55);  // CAP query while DCV is primary
}

TEST(FuncMessages, RangeHandlers) {
    struct Case {
        const char* what;
        unsigned int source;
        Value value;
        int result;
        int range;  // DCV range afterwards; -2: unchanged
    };
    const Case cases[] = {
        {"number", kScpi, f64(10), 0, 2},
        {"above the top", kScpi, f64(5000), 0, 4},
        {"auto", kScpi, f64(-1), 0, 0},
        {"text number", kUi, str("100"), 0, 3},
        {"bad text", kUi, str("abc"), 31, -2},
        {"index from the UI", kUi, s32(2), 54, -2},
        {"index from remote", kScpi, s32(3), 0, 3},
        {"auto index from remote", kScpi, s32(-1), 0, 0},
        {"index beyond the model", kScpi, s32(5), 56, -2},
    };
    for (const Case& c : cases) {
        FuncFixture t;
        t.fm->FM_SetFunction(TYPE_ACV);
        EXPECT_EQ(t.call(0x10000652, c.source, request(0x652, c.value)), c.result) << c.what;
        if (c.range != -2) {
            EXPECT_EQ(t.fm->FM_GetFunction(), TYPE_DCV) << c.what;
            EXPECT_EQ(t.fm->FM_GetRealRange(TYPE_DCV), c.range) << c.what;
        } else {
            EXPECT_EQ(t.fm->FM_GetFunction(), TYPE_ACV) << c.what;
        }
    }

    FuncFixture t;
    ValueMap out;
    t.call(0x10000652, kScpi, request(0x652, f64(10)));
    t.backend.reset();
    EXPECT_EQ(t.call(0x10000652, kScpi, request(0x652, f64(10))), 0);
    EXPECT_TRUE(t.backend.log.empty());  // already in force
    t.call(0x20000652, kUi, {}, &out);
    EXPECT_EQ(out.at(0x652).strval(), "1.00000000E+01");
    out.clear();
    t.call(0x20000649, kUi, {}, &out);
    EXPECT_FALSE(out.at(0x649).bval());
    EXPECT_EQ(t.call(0x10000649, kScpi, request(0x649, bval(true))), 0);
    EXPECT_EQ(t.fm->FM_GetRange(TYPE_DCV), -1);
    EXPECT_EQ(t.call(0x10000649, kScpi, request(0x649, bval(false))), 0);
    EXPECT_EQ(t.fm->FM_GetRange(TYPE_DCV), 0);  // auto range's range becomes fixed
    EXPECT_EQ(t.call(0x10000648, kScpi, request(0x648, s32(0))), 0);
    EXPECT_EQ(t.fm->FM_GetRange(TYPE_DCV), -1);
    EXPECT_EQ(t.call(0x10000648, kUi, request(0x648, s32(-2))), 55);
    t.fm->FM_SetFunction(TYPE_CONT);
    EXPECT_EQ(t.call(0x10000648, kUi, request(0x648, s32(0))), 55);
}

TEST(FuncMessages, RateImpedanceAutoZeroAndThreshold) {
    FuncFixture t;
    ValueMap out;
    EXPECT_EQ(t.call(0x10000662, kUi, request(0x662, s32(E_Fast))), 0);
    t.call(0x20000662, kScpi, {}, &out);
    EXPECT_EQ(out.at(0x662).strval(), "F");
    EXPECT_EQ(t.call(0x10000662, kUi, request(0x662, s32(3))), 56);
    t.backend.reset();
    EXPECT_EQ(t.call(0x10000666, kUi, request(0x666, s32(E_Medium))), 0);
    EXPECT_TRUE(t.backend.log.empty());  // OHM2 is not primary
    EXPECT_EQ(t.call(0x10000669, kUi, request(0, s32(2))), 56);
    EXPECT_EQ(t.call(0x1000066E, kUi, request(0, s32(2))), 56);

    // Impedance needs DCV range 0 or 1.
    t.fm->FM_SetRange(TYPE_DCV, 1);
    EXPECT_EQ(t.call(0x1000066E, kUi, request(0, s32(1))), 0);
    t.fm->FM_SetRange(TYPE_DCV, 2);
    EXPECT_EQ(t.call(0x1000066E, kUi, request(0, s32(1))), 55);

    t.fm->FM_SetFunction(TYPE_FREQ);
    EXPECT_EQ(t.call(0x1000065E, kUi, request(0, s32(E_Fast))), 55);

    struct Threshold {
        int sent, applied, result;
    } thresholds[] = {{0, 1, 131}, {5000, 1000, 130}, {10, 10, 0}};
    for (const Threshold& c : thresholds) {
        EXPECT_EQ(t.call(0x10000643, kUi, request(0x643, s32(c.sent))), c.result);
        EXPECT_EQ(t.backend.lastPush(UPDATE_FUNCTION_CONFIG).at(0x643).s32val(), c.applied);
    }
    // A threshold change while CONT is primary leaves the beeper off.
    t.fm->FM_SetFunction(TYPE_CONT);
    t.backend.beeper = false;
    t.call(0x10000643, kUi, request(0x643, s32(20)));
    EXPECT_FALSE(t.backend.beeper);
}
