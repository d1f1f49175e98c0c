// Layout of the three command-set keyword tables: the counts each set must
// have and the rules every row obeys, which the parser's walk relies on.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ScpiCmdSetTables.h"

namespace {

struct SetExpect {
    int32_t set;
    const char* name;
    int rows;
    int leaves;
    int reachableLeaves;
    int longestPath;
    int omitRows;
    int omitLeaves;
    int duplicateSiblings;
};

const SetExpect kSets[] = {
    {0, "Vorna", 418, 319, 319, 6, 40, 37, 21},
    {1, "Corvane", 220, 184, 137, 5, 1, 0, 1},
    {2, "Pello", 124, 117, 115, 4, 0, 0, 0},
};

// Rows reached from row 0 through links, with their depth in keywords.
std::vector<int> reachDepths(const ScpiCmdSetTables& t)
{
    std::vector<int> depth(t.u16TotalKeywordNum, 0);
    std::function<void(int, int)> visit = [&](int first, int d) {
        for (int n = first; n >= 0; n = t.pastKeywordTree[n].s16Brother) {
            depth[n] = d;
            visit(t.pastKeywordTree[n].s16Child, d + 1);
        }
    };
    visit(0, 1);
    return depth;
}

// Row indices in the order a depth-first walk over the links visits them.
std::vector<int> preorder(const ScpiCmdSetTables& t)
{
    std::vector<int> order;
    std::function<void(int)> visit = [&](int first) {
        for (int n = first; n >= 0; n = t.pastKeywordTree[n].s16Brother) {
            order.push_back(n);
            visit(t.pastKeywordTree[n].s16Child);
        }
    };
    visit(0);
    return order;
}

bool endsWithQuery(const char* s)
{
    size_t n = std::strlen(s);
    return n > 0 && s[n - 1] == '?';
}

std::string upperRun(const char* full)
{
    std::string run;
    for (const char* p = full; *p && (std::isupper(static_cast<unsigned char>(*p)) ||
                                      std::isdigit(static_cast<unsigned char>(*p)) || *p == '*');
         ++p) {
        run += *p;
    }
    return endsWithQuery(full) ? run + "?" : run;
}

class ScpiTreeLayout : public ::testing::TestWithParam<SetExpect> {
protected:
    const ScpiCmdSetTables& tables() const { return *ScpiCmdSetTablesGet(GetParam().set); }
    const parseKeywordNodeStru& row(int i) const { return tables().pastKeywordTree[i]; }
    int rows() const { return tables().u16TotalKeywordNum; }
};

TEST_P(ScpiTreeLayout, CountsMatchTheCommandSet)
{
    const SetExpect& e = GetParam();
    const ScpiCmdSetTables& t = tables();
    ASSERT_EQ(t.u16TotalKeywordNum, e.rows);
    EXPECT_EQ(t.u8CmdTreeDepth, 7);

    std::vector<int> depth = reachDepths(t);
    int leaves = 0, reachable = 0, longest = 0, omit = 0, omitLeaves = 0, dups = 0;
    for (int i = 0; i < rows(); ++i) {
        const parseKeywordNodeStru& r = row(i);
        leaves += r.u8Leaf;
        if (r.u8Leaf && depth[i] > 0) {
            ++reachable;
            longest = std::max(longest, depth[i]);
        }
        omit += r.b4Omit;
        omitLeaves += r.b4Omit && r.u8Leaf;
        if (r.s16Brother >= 0 && std::strcmp(r.ps8FullName, row(r.s16Brother).ps8FullName) == 0) {
            ++dups;
        }
    }
    EXPECT_EQ(leaves, e.leaves);
    EXPECT_EQ(t.u16TotalCmdNum, e.leaves);
    EXPECT_EQ(reachable, e.reachableLeaves);
    EXPECT_EQ(longest, e.longestPath);
    EXPECT_EQ(omit, e.omitRows);
    EXPECT_EQ(omitLeaves, e.omitLeaves);
    EXPECT_EQ(dups, e.duplicateSiblings);
}

TEST_P(ScpiTreeLayout, LinksFollowDepthFirstOrder)
{
    for (int i = 0; i < rows(); ++i) {
        const parseKeywordNodeStru& r = row(i);
        SCOPED_TRACE(std::to_string(i) + " " + r.ps8FullName);
        EXPECT_TRUE(r.s16Child == -1 || r.s16Child == i + 1);
        EXPECT_TRUE(r.s16Brother == -1 || (r.s16Brother > i && r.s16Brother < rows()));
        EXPECT_EQ(r.u8Leaf == 1, r.s16Child == -1) << "a leaf has no child, a keyword row has one";
    }
    // Reachable rows: a row, then its whole subtree, then its next brother.
    std::vector<int> order = preorder(tables());
    for (size_t k = 1; k < order.size(); ++k) {
        EXPECT_GT(order[k], order[k - 1]);
    }
}

TEST_P(ScpiTreeLayout, UnreachableRowsFollowAReachableLeaf)
{
    std::vector<int> depth = reachDepths(tables());
    for (int i = 0; i < rows(); ++i) {
        if (depth[i] == 0 && (i == 0 || depth[i - 1] > 0)) {
            SCOPED_TRACE(std::to_string(i) + " " + row(i).ps8FullName);
            ASSERT_GT(i, 0);
            EXPECT_EQ(row(i - 1).u8Leaf, 1);
            EXPECT_EQ(row(i - 1).s16Child, -1);
        }
    }
}

TEST_P(ScpiTreeLayout, SerialNumbersCountLeavesInRowOrder)
{
    int next = 0;
    for (int i = 0; i < rows(); ++i) {
        const parseKeywordNodeStru& r = row(i);
        EXPECT_LT(r.u16CmdSN, tables().u16TotalCmdNum) << i;
        if (r.u8Leaf) {
            EXPECT_EQ(r.u16CmdSN, next++) << i;
        } else {
            EXPECT_EQ(r.u16CmdSN, next) << i << " carries the number of the next leaf";
        }
    }
    EXPECT_EQ(next, tables().u16TotalCmdNum);
}

TEST_P(ScpiTreeLayout, NamesIdsAndDirections)
{
    int zeroIdLeaves = 0;
    for (int i = 0; i < rows(); ++i) {
        const parseKeywordNodeStru& r = row(i);
        SCOPED_TRACE(std::to_string(i) + " " + r.ps8FullName);
        EXPECT_EQ(upperRun(r.ps8FullName), r.ps8ShortName);
        EXPECT_STRNE(r.ps8ShortName, "");
        EXPECT_EQ(r.direction == D_OUT, endsWithQuery(r.ps8FullName));
        if (!r.u8Leaf) {
            EXPECT_EQ(r.u32FuncId, 0u);
        } else if (r.u32FuncId == 0) {
            ++zeroIdLeaves;
            EXPECT_EQ(GetParam().set, 2);
            EXPECT_STREQ(r.ps8FullName, "RANGE2?");
        }
    }
    EXPECT_EQ(zeroIdLeaves, GetParam().set == 2 ? 1 : 0);
}

TEST_P(ScpiTreeLayout, ParameterSlots)
{
    for (int i = 0; i < rows(); ++i) {
        const parseKeywordNodeStru& r = row(i);
        SCOPED_TRACE(std::to_string(i) + " " + r.ps8FullName);
        EXPECT_EQ(r.b4IsSuffix, 0);
        EXPECT_LE(r.u32ParamNum, 3);
        if (!r.u8Leaf) {
            EXPECT_EQ(r.u32ParamNum, 0);
        }
        for (int s = 0; s < SCP_PARAM_SLOT_NUM; ++s) {
            EXPECT_EQ(r.ps8Unit[s], nullptr);
            if (s < r.u32ParamNum) {
                EXPECT_NE(r.u32ParamId[s], 0u);
                continue;
            }
            EXPECT_EQ(r.u32ParamId[s], 0u);
            EXPECT_EQ(r.type[s], (s == 0 && r.u32ParamNum == 0) ? PT_NONE : PT_NR1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, ScpiTreeLayout, ::testing::ValuesIn(kSets),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScpiCmdSetTables, OnlyTheThreeSetsExist)
{
    EXPECT_EQ(ScpiCmdSetTablesGet(-1), nullptr);
    EXPECT_EQ(ScpiCmdSetTablesGet(3), nullptr);
    EXPECT_EQ(ScpiCmdSetTablesGet(0)->pastKeywordTree, astKeywordNodeVorna);
    EXPECT_EQ(ScpiCmdSetTablesGet(0)->pEnumMap, &scpiEnumMapVorna);
    EXPECT_EQ(ScpiCmdSetTablesGet(1)->pastKeywordTree, astKeywordNodeCorvane);
    EXPECT_EQ(ScpiCmdSetTablesGet(1)->pEnumMap, &scpiEnumMapCorvane);
    EXPECT_EQ(ScpiCmdSetTablesGet(2)->pastKeywordTree, astKeywordNodePello);
    EXPECT_EQ(ScpiCmdSetTablesGet(2)->pEnumMap, &scpiEnumMapPello);
}

}  // namespace
