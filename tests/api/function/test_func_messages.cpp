// The message table of the function settings and its handlers, called as the
// hub calls them.
#include <gtest/gtest.h>

#include <set>

#include "ScpiCmdSetTables.h"
#include "func_fakes.h"

namespace {

constexpr unsigned int kUi = 0;
constexpr unsigned int kScpi = 2;

// The reply of query `id` from `source` under its own key.
Value query(FuncFixture& t, unsigned int id, unsigned int source) {
    ValueMap out;
    EXPECT_EQ(t.call(id, source, {}, &out), 0) << std::hex << id;
    return out[id & 0xFFFF];
}

} // namespace

TEST(FuncMessages, EveryIdIsBoundOnceAndABoundIdKeepsItsHandler) {
    std::set<unsigned int> ids;
    for (const FuncMessage& row : FunctionManage::kMessages) {
        EXPECT_TRUE(ids.insert(row.id).second) << std::hex << row.id;
    }

    FuncFixture t;
    std::map<unsigned int, cb_func> entries;
    entries[0x1000040C] = [](unsigned int, const ValueMap&, ValueMap*) { return 77; };
    t.fm->getCallbacks(entries);
    ValueMap out;
    EXPECT_EQ(entries.at(0x1000040C)(kUi, {}, &out), 77);

    // Setters without their key answer 8 and push nothing; actions take none.
    for (unsigned int id : ids) {
        const unsigned int code = id & 0xFFFF;
        const bool action = (code >= 0x629 && code <= 0x633) || (code >= 0x636 && code <= 0x63F);
        if (id >> 28 == 1 && !action) {
            t.backend.reset();
            EXPECT_EQ(t.call(id, kScpi, {}), 8) << std::hex << id;
            EXPECT_TRUE(t.backend.log.empty()) << std::hex << id;
        }
    }
}

TEST(FuncMessages, FunctionSelectionAndQueries) {
    FuncFixture t;
    EXPECT_EQ(t.call(0x1000040C, kScpi, request(0x40C, str("\"VOLT:AC\""))), 0);
    EXPECT_EQ(query(t, 0x2000040C, kScpi).strval(), "\"VOLT:AC\"");
    EXPECT_EQ(t.call(0x1000040C, kScpi, request(0x40C, str("\"volt:ac\""))), 55);
    EXPECT_EQ(t.call(0x1000040C, kUi, request(0, s32(12))), 55);
    EXPECT_EQ(t.call(0x1000040C, kUi, request(0, s32(TYPE_SENSOR))), 0);
    EXPECT_EQ(query(t, 0x2000040C, kUi).s32val(), TYPE_SENSOR);

    EXPECT_EQ(t.call(0x1000062A, kUi, {}), 0);  // ACV shortcut
    EXPECT_EQ(t.call(0x1000063F, kUi, {}), 0);  // FREQ on the second display
    EXPECT_EQ(query(t, 0x20000635, kScpi).strval(), "FREQ");
    EXPECT_EQ(query(t, 0x20000642, kScpi).strval(), "ON");
    EXPECT_EQ(t.call(0x10000636, kUi, {}), 0);
    EXPECT_EQ(query(t, 0x20000635, kUi).s32val(), -1);

    EXPECT_EQ(query(t, 0x20000640, kScpi).strval(), "+1.00000000E+00");
    ValueMap out;
    EXPECT_EQ(t.call(0x20000641, kScpi, {}, &out), 44);
    EXPECT_TRUE(out.empty());
    // Only remote control waits for a first reading; the UI takes what there is.
    EXPECT_EQ(query(t, 0x20000640, kUi).strval(), "+1.00000000E+00");
    EXPECT_EQ(t.backend.readingWaits, (std::vector<bool>{true, true, false}));
}

TEST(FuncMessages, SecondDisplayPerFunction) {
    // Primary shortcut, setter, keyword, result, SCPI query answer afterwards.
    const std::tuple<unsigned int, unsigned int, const char*, int, const char*> cases[] = {
        {0x10000629, 0x10002632, "\"FREQ\"", 0, "\"FREQ\""},  // DCV primary: ACV is chosen first
        {0x1000062A, 0x10002632, "\"BOGUS\"", 1, "\"OFF\""},
        {0x1000062A, 0x10002632, "\"DCV\"", 55, "\"OFF\""},
        {0x10000629, 0x1000262B, "\"CALC:DATA\"", 0, "\"CALC:DATA\""},
    };
    for (const auto& [primary, id, keyword, result, reply] : cases) {
        FuncFixture t;
        t.call(primary, kUi, {});
        EXPECT_EQ(t.call(id, kScpi, request(id & 0xFFFF, str(keyword))), result) << keyword;
        EXPECT_EQ(query(t, id + 0x10000000, kScpi).strval(), reply) << keyword;
    }
    FuncFixture t;
    EXPECT_EQ(t.call(0x20002603, kScpi, {}), 55);  // CAP query while DCV is primary
}

TEST(FuncMessages, RangeHandlers) {
    // Source, value, result, DCV range afterwards (-2: ACV stays primary).
    const std::tuple<unsigned int, Value, int, int> cases[] = {
        {kScpi, f64(10), 0, 2},      {kScpi, f64(5000), 0, 4}, {kScpi, f64(-1), 0, 0},    {kUi, str("100"), 0, 3},
        {kUi, str("abc"), 31, -2},   {kUi, s32(2), 54, -2},    {kScpi, s32(3), 0, 3},     {kScpi, s32(-1), 0, 0},
        {kScpi, s32(5), 56, -2},
    };
    for (const auto& [source, value, result, range] : cases) {
        FuncFixture t;
        t.fm->FM_SetFunction(TYPE_ACV);
        EXPECT_EQ(t.call(0x10000652, source, request(0x652, value)), result) << value.ShortDebugString();
        EXPECT_EQ(t.fm->FM_GetFunction(), range == -2 ? TYPE_ACV : TYPE_DCV);
        EXPECT_TRUE(range == -2 || t.fm->FM_GetRealRange(TYPE_DCV) == range) << value.ShortDebugString();
    }

    FuncFixture t;
    t.call(0x10000652, kScpi, request(0x652, f64(10)));
    t.backend.reset();
    EXPECT_EQ(t.call(0x10000652, kScpi, request(0x652, f64(10))), 0);
    EXPECT_TRUE(t.backend.log.empty());  // already in force
    EXPECT_EQ(query(t, 0x20000652, kUi).strval(), "1.00000000E+01");
    EXPECT_FALSE(query(t, 0x20000649, kUi).bval());
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

// Every range word of the emulated command sets, sent as the parser sends it
// (the index its list gives), selects the range whose full scale the word
// names, or the model's top range for a larger one.
TEST(FuncMessages, EmulatedRangeWordsSelectTheRangesTheyName) {
    // Range key, auto-range key, function.
    const std::tuple<int, int, int> rangeKeys[] = {
        {0x652, 0x649, TYPE_DCV},  {0x653, 0x64A, TYPE_ACV}, {0x654, 0x64B, TYPE_DCI},
        {0x656, 0x64C, TYPE_ACI},  {0x658, 0x64D, TYPE_OHM2}, {0x659, 0x64E, TYPE_OHM4},
        {0x65A, 0x651, TYPE_CAP},  {0x65C, 0x650, TYPE_PERIOD}, {0x65D, 0x64F, TYPE_FREQ}};
    int checked = 0;
    for (const char* model : {"MV412", "MV412E"}) {
        FuncFixture t(model);
        const RangeValueTable& nominal = std::string(model) == "MV412" ? mapRangeEnumToValue : mapRangeEnumToValue_MV412E;
        for (const ScpiEnumMap* map : {&scpiEnumMapCorvane, &scpiEnumMapPello}) {
            for (const auto& [key, autoKey, func] : rangeKeys) {
                if (!map->count(static_cast<uint32_t>(key))) continue;
                const auto& scales = nominal.at(func);
                for (const auto& [word, index] : map->at(static_cast<uint32_t>(key))) {
                    SCOPED_TRACE(std::string(model) + " " + std::to_string(key) + " " + word);
                    ASSERT_EQ(t.call(0x10000000u | key, kScpi, request(key, s32(index))), 0);
                    const bool autoRange = query(t, 0x20000000u | autoKey, kUi).bval();
                    EXPECT_EQ(autoRange, word == "AUTO");
                    const double got = std::stod(query(t, 0x20000000u | key, kUi).strval());
                    double want = word == "MIN" ? scales.upper_bound(-1)->second : scales.rbegin()->second;
                    if (word != "MIN" && word != "MAX" && word != "DEF" && word != "AUTO") {
                        want = std::min(std::stod(word), want);
                    }
                    if (word != "DEF" && word != "AUTO") {
                        EXPECT_NEAR(got, want, want * 1e-9);
                    }
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 100);
}


TEST(FuncMessages, RateImpedanceAutoZeroAndThreshold) {
    FuncFixture t;
    EXPECT_EQ(t.call(0x10000662, kUi, request(0x662, s32(E_Fast))), 0);
    EXPECT_EQ(query(t, 0x20000662, kScpi).strval(), "F");
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

    // Threshold sent, applied, result; a change while CONT is primary leaves
    // the beeper off.
    t.fm->FM_SetFunction(TYPE_CONT);
    t.backend.beeper = false;
    for (const auto& [sent, applied, result] : {std::tuple{0, 1, 131}, {5000, 1000, 130}, {10, 10, 0}}) {
        EXPECT_EQ(t.call(0x10000643, kUi, request(0x643, s32(sent))), result);
        EXPECT_EQ(t.backend.lastPush(UPDATE_FUNCTION_CONFIG).at(0x643).s32val(), applied);
    }
    EXPECT_FALSE(t.backend.beeper);
}

// A UI setting that changes no reading (one sent as it already is, the
// continuity threshold whatever the function) reaches the UI, and the
// threshold the engine's beep window, but never the engine's or the
// converter's whole update: that restarts the acquisition and empties the
// reading memory. A new value of what is measured is pushed whole.
TEST(FuncMessages, OnlyASettingThatChangesTheReadingsIsPushedWhole) {
    const struct {
        const char* name;
        MeasureTypeEnum measured;
        unsigned int id;
        ValueMap in;
        bool whole;
    } cases[] = {
        {"rate as it is", TYPE_DCV, 0x1000065E, request(0, s32(E_Slow)), false},
        {"DCV rate as it is", TYPE_DCV, 0x10000662, request(0x662, s32(E_Slow)), false},
        {"DCV rate", TYPE_DCV, 0x10000662, request(0x662, s32(E_Fast)), true},
        {"impedance as it is", TYPE_DCV, 0x1000066E, request(0, s32(0)), false},
        {"impedance", TYPE_DCV, 0x1000066E, request(0, s32(1)), true},
        {"automatic impedance as it is", TYPE_DCV, 0x10002629, request(0x2629, bval(false)), false},
        {"auto-zero as it is", TYPE_SENSOR, 0x10000669, request(0, s32(1)), false},
        {"auto-zero", TYPE_SENSOR, 0x10000669, request(0, s32(0)), true},
        {"auto range as it is", TYPE_DCV, 0x10000648, request(0x648, s32(-1)), false},
        {"range", TYPE_DCV, 0x10000648, request(0x648, s32(2)), true},
        {"threshold, DCV measured", TYPE_DCV, 0x10000643, request(0x643, s32(70)), false},
        {"threshold as it is, CONT measured", TYPE_CONT, 0x10000643, request(0x643, s32(10)), false},
        {"threshold, CONT measured", TYPE_CONT, 0x10000643, request(0x643, s32(500)), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FuncFixture t;
        t.fm->FM_SetFunction(c.measured);
        t.backend.reset();
        EXPECT_EQ(t.call(c.id, kUi, c.in), 0);
        EXPECT_EQ(t.backend.mains.size(), c.whole ? 1u : 0u);
        EXPECT_EQ(t.backend.adc.size(), c.whole ? 1u : 0u);
        ASSERT_FALSE(t.backend.log.empty());
        EXPECT_EQ(t.backend.log.back(), "ui 258");
    }
}
