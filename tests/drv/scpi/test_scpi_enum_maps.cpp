// Keyword enumeration maps: exact-byte lookups, the first-list-stands rule,
// and agreement between each map and the PT_ENUM parameters of its set.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "ScpiCmdSetTables.h"

namespace {

constexpr int32_t kVorna = 0;
constexpr int32_t kCorvane = 1;
constexpr int32_t kPello = 2;

size_t keywordCount(const ScpiEnumMap& map)
{
    size_t n = 0;
    for (const auto& entry : map) {
        n += entry.second.size();
    }
    return n;
}

bool lookup(const ScpiEnumMap& map, uint32_t id, const std::string& text, int32_t& value)
{
    return ScpiEnumMapLookup(map, id, text, value);
}

TEST(ScpiEnumMaps, EntryCounts)
{
    EXPECT_EQ(scpiEnumMapVorna.size(), 15u);
    EXPECT_EQ(keywordCount(scpiEnumMapVorna), 76u);
    EXPECT_EQ(scpiEnumMapCorvane.size(), 16u);
    EXPECT_EQ(keywordCount(scpiEnumMapCorvane), 124u);
    EXPECT_EQ(scpiEnumMapPello.size(), 6u);
    EXPECT_EQ(keywordCount(scpiEnumMapPello), 28u);
    // A few ids whose list lengths are easy to slip on.
    EXPECT_EQ(scpiEnumMapVorna.at(0x2701).size(), 17u);
    EXPECT_EQ(scpiEnumMapVorna.at(0x1222).size(), 10u);
    EXPECT_EQ(scpiEnumMapCorvane.at(0x65A).size(), 13u);
    EXPECT_EQ(scpiEnumMapPello.at(0x1F12).size(), 9u);
}

TEST(ScpiEnumMaps, TriggerSourceKeywordsMatchExactBytes)
{
    int32_t v = -7;
    EXPECT_TRUE(lookup(scpiEnumMapVorna, 0x1106, "IMM", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(lookup(scpiEnumMapVorna, 0x1106, "IMMediate", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(lookup(scpiEnumMapVorna, 0x1106, "BUS", v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(lookup(scpiEnumMapVorna, 0x1106, "EXT", v));
    EXPECT_EQ(v, 2);
    EXPECT_TRUE(lookup(scpiEnumMapVorna, 0x1106, "EXTernal", v));
    EXPECT_EQ(v, 2);

    v = -7;
    for (const char* miss : {"imm", "IMMEDIATE", "EXTERNAL", "IMM ", " IMM", "2", ""}) {
        EXPECT_FALSE(lookup(scpiEnumMapVorna, 0x1106, miss, v)) << '"' << miss << '"';
    }
    EXPECT_EQ(v, -7) << "a miss writes nothing";
    EXPECT_FALSE(lookup(scpiEnumMapVorna, 0x9999, "IMM", v)) << "an id without a list";
    EXPECT_EQ(v, -7);
}

TEST(ScpiEnumMaps, CorvaneRangesAreIndicesForExactTextsOnly)
{
    int32_t v = -7;
    EXPECT_TRUE(lookup(scpiEnumMapCorvane, 0x652, "10", v));
    EXPECT_EQ(v, 2);
    EXPECT_TRUE(lookup(scpiEnumMapCorvane, 0x652, "1", v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(lookup(scpiEnumMapCorvane, 0x652, "AUTO", v));
    EXPECT_EQ(v, -1);
    EXPECT_FALSE(lookup(scpiEnumMapCorvane, 0x652, "2000", v));
    EXPECT_FALSE(lookup(scpiEnumMapCorvane, 0x652, "1.0", v));
    EXPECT_FALSE(lookup(scpiEnumMapCorvane, 0x652, "max", v));
    EXPECT_TRUE(lookup(scpiEnumMapCorvane, 0x653, "750", v));
    EXPECT_EQ(v, 4);
    EXPECT_FALSE(lookup(scpiEnumMapCorvane, 0x652, "750", v)) << "DC tops out at 1000";
}

TEST(ScpiEnumMaps, PelloCommandSetNames)
{
    const std::pair<const char*, int32_t> names[] = {{"VORNa", 0}, {"VORN", 0}, {"CORVane", 1},
                                                     {"CORV", 1},  {"PELLo", 2}, {"PELL", 2}};
    for (const auto& [text, want] : names) {
        int32_t v = -7;
        EXPECT_TRUE(lookup(scpiEnumMapPello, 0x1C00, text, v)) << text;
        EXPECT_EQ(v, want) << text;
    }
    int32_t v = -7;
    EXPECT_FALSE(lookup(scpiEnumMapPello, 0x1C00, "VORNA", v));
    // After a switch the old set's keywords are gone.
    EXPECT_FALSE(lookup(scpiEnumMapPello, 0x1106, "EXT", v));
    EXPECT_FALSE(lookup(scpiEnumMapVorna, 0x1C00, "PELL", v));
}

TEST(ScpiEnumMapBuild, FirstListForAnIdStandsWhole)
{
    const ScpiEnumKeyword first[] = {{"MIN", 0}, {"MAX", 4}};
    const ScpiEnumKeyword later[] = {{"MIN", 9}, {"DEF", 2}};
    const ScpiEnumKeyword other[] = {{"ON", 1}};
    const ScpiEnumList lists[] = {{0x652, first, 2}, {0x100, other, 1}, {0x652, later, 2}};
    ScpiEnumMap map = ScpiEnumMapBuild(lists, 3);

    ASSERT_EQ(map.size(), 2u);
    ASSERT_EQ(map.at(0x652).size(), 2u);
    EXPECT_EQ(map.at(0x652).at("MIN"), 0);
    EXPECT_EQ(map.at(0x652).at("MAX"), 4);
    EXPECT_EQ(map.at(0x652).count("DEF"), 0u) << "the later list is ignored whole";
    EXPECT_EQ(map.at(0x100).at("ON"), 1);
}

TEST(ScpiEnumMapBuild, KeywordListedTwiceKeepsItsFirstValue)
{
    const ScpiEnumKeyword words[] = {{"SOCK", 2}, {"USB", 0}, {"SOCK", 5}};
    const ScpiEnumList lists[] = {{0x121C, words, 3}};
    ScpiEnumMap map = ScpiEnumMapBuild(lists, 1);
    ASSERT_EQ(map.at(0x121C).size(), 2u);
    EXPECT_EQ(map.at(0x121C).at("SOCK"), 2);
    EXPECT_TRUE(ScpiEnumMapBuild(nullptr, 0).empty());
}

// The ids a map lists are exactly those its set's reachable rows declare as
// PT_ENUM: nothing the converter consults is missing, nothing is dead.
class ScpiEnumMapCoverage : public ::testing::TestWithParam<int32_t> {};

TEST_P(ScpiEnumMapCoverage, MapListsTheEnumParametersOfReachableRows)
{
    const ScpiCmdSetTables& t = *ScpiCmdSetTablesGet(GetParam());
    std::set<uint32_t> declared;
    std::function<void(int)> visit = [&](int first) {
        for (int n = first; n >= 0; n = t.pastKeywordTree[n].s16Brother) {
            const parseKeywordNodeStru& r = t.pastKeywordTree[n];
            for (int p = 0; p < r.u32ParamNum; ++p) {
                if (r.type[p] == PT_ENUM) {
                    declared.insert(r.u32ParamId[p]);
                }
            }
            visit(r.s16Child);
        }
    };
    visit(0);
    std::set<uint32_t> listed;
    for (const auto& entry : *t.pEnumMap) {
        listed.insert(entry.first);
        EXPECT_FALSE(entry.second.empty()) << std::hex << entry.first;
    }
    EXPECT_EQ(listed, declared);
}

INSTANTIATE_TEST_SUITE_P(Sets, ScpiEnumMapCoverage, ::testing::Values(kVorna, kCorvane, kPello));

}  // namespace
