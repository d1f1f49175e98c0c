// Keyword enumeration maps: exact-byte lookups, the first-list-stands rule,
// and agreement between each map and the PT_ENUM parameters of its set.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "ScpiCmdSetTables.h"

namespace {

TEST(ScpiEnumMaps, LookupsMatchExactBytesOnly) {
    const struct {
        const ScpiEnumMap& map;
        uint32_t id;
        const char* text;
        int32_t value;  // -7: not found
    } cases[] = {
        {scpiEnumMapVorna, 0x1106, "IMM", 0},       {scpiEnumMapVorna, 0x1106, "IMMediate", 0},
        {scpiEnumMapVorna, 0x1106, "EXTernal", 2},  {scpiEnumMapVorna, 0x1106, "imm", -7},
        {scpiEnumMapVorna, 0x1106, "EXTERNAL", -7}, {scpiEnumMapVorna, 0x1106, " IMM", -7},
        {scpiEnumMapVorna, 0x1106, "", -7},         {scpiEnumMapVorna, 0x9999, "IMM", -7},
        // Corvane ranges are indices, for their exact texts only.
        {scpiEnumMapCorvane, 0x652, "10", 2},       {scpiEnumMapCorvane, 0x652, "AUTO", -1},
        {scpiEnumMapCorvane, 0x652, "1.0", -7},     {scpiEnumMapCorvane, 0x653, "750", 4},
        {scpiEnumMapCorvane, 0x652, "750", -7},     {scpiEnumMapPello, 0x1C00, "CORVane", 1},
        {scpiEnumMapPello, 0x1C00, "PELL", 2},      {scpiEnumMapPello, 0x1C00, "VORNA", -7},
    };
    for (const auto& c : cases) {
        int32_t v = -7;  // a miss writes nothing
        EXPECT_EQ(ScpiEnumMapLookup(c.map, c.id, c.text, v), c.value != -7) << std::hex << c.id << " " << c.text;
        EXPECT_EQ(v, c.value) << std::hex << c.id << " " << c.text;
    }
}

TEST(ScpiEnumMapBuild, FirstListForAnIdAndFirstValueOfAKeywordStand) {
    const ScpiEnumKeyword first[] = {{"MIN", 0}, {"MAX", 4}, {"MIN", 5}};
    const ScpiEnumKeyword later[] = {{"MIN", 9}, {"DEF", 2}};
    const ScpiEnumKeyword other[] = {{"ON", 1}};
    const ScpiEnumList lists[] = {{0x652, first, 3}, {0x100, other, 1}, {0x652, later, 2}};
    ScpiEnumMap map = ScpiEnumMapBuild(lists, 3);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(0x652), (std::map<std::string, int32_t>{{"MIN", 0}, {"MAX", 4}}));
    EXPECT_EQ(map.at(0x100).at("ON"), 1);
    EXPECT_TRUE(ScpiEnumMapBuild(nullptr, 0).empty());
}

// The ids a map lists are exactly those its set's reachable rows declare as
// PT_ENUM: nothing the converter consults is missing, nothing is dead.
class ScpiEnumMapCoverage : public ::testing::TestWithParam<int32_t> {};

TEST_P(ScpiEnumMapCoverage, MapListsTheEnumParametersOfReachableRows) {
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

INSTANTIATE_TEST_SUITE_P(Sets, ScpiEnumMapCoverage, ::testing::Values(0, 1, 2));

}  // namespace
