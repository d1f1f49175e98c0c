// Layout of the three command-set keyword tables: the rules every row obeys,
// which the parser's walk relies on.
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
};

const SetExpect kSets[] = {{0, "Vorna"}, {1, "Corvane"}, {2, "Pello"}};

bool endsWithQuery(const char* s) {
    size_t n = std::strlen(s);
    return n > 0 && s[n - 1] == '?';
}

std::string upperRun(const char* full) {
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
    void SetUp() override {
        // Depth of each row reached from row 0 through links (0: unreachable),
        // and the order a depth-first walk visits them in.
        depth.assign(rows(), 0);
        std::function<void(int, int)> visit = [&](int first, int d) {
            for (int n = first; n >= 0; n = row(n).s16Brother) {
                depth[n] = d;
                order.push_back(n);
                visit(row(n).s16Child, d + 1);
            }
        };
        visit(0, 1);
    }
    const ScpiCmdSetTables& tables() const { return *ScpiCmdSetTablesGet(GetParam().set); }
    const parseKeywordNodeStru& row(int i) const { return tables().pastKeywordTree[i]; }
    int rows() const { return tables().u16TotalKeywordNum; }

    std::vector<int> depth, order;
};

TEST_P(ScpiTreeLayout, RowsObeyTheLayoutRules) {
    // Reachable rows: a row, then its whole subtree, then its next brother.
    for (size_t k = 1; k < order.size(); ++k) {
        EXPECT_GT(order[k], order[k - 1]);
    }
    int nextSerial = 0, zeroIdLeaves = 0;
    for (int i = 0; i < rows(); ++i) {
        const parseKeywordNodeStru& r = row(i);
        SCOPED_TRACE(std::to_string(i) + " " + r.ps8FullName);
        EXPECT_TRUE(r.s16Child == -1 || r.s16Child == i + 1);
        EXPECT_TRUE(r.s16Brother == -1 || (r.s16Brother > i && r.s16Brother < rows()));
        EXPECT_EQ(r.u8Leaf == 1, r.s16Child == -1) << "a leaf has no child, a keyword row has one";
        // A row no link reaches is stored right after a reachable leaf (or another such row).
        if (depth[i] == 0 && depth[i - 1] > 0) {
            EXPECT_EQ(row(i - 1).u8Leaf, 1);
        }
        // Leaves are numbered in row order; a keyword row carries the next leaf's number.
        EXPECT_EQ(r.u16CmdSN, r.u8Leaf ? nextSerial++ : nextSerial);
        EXPECT_EQ(upperRun(r.ps8FullName), r.ps8ShortName);
        EXPECT_STRNE(r.ps8ShortName, "");
        EXPECT_EQ(r.direction == D_OUT, endsWithQuery(r.ps8FullName));
        if (!r.u8Leaf) {
            EXPECT_EQ(r.u32FuncId, 0u);
            EXPECT_EQ(r.u32ParamNum, 0);
        } else if (r.u32FuncId == 0) {
            ++zeroIdLeaves;
            EXPECT_STREQ(r.ps8FullName, "RANGE2?");
        }
        EXPECT_LE(r.u32ParamNum, 3);
        for (int s = 0; s < r.u32ParamNum; ++s) {
            EXPECT_NE(r.u32ParamId[s], 0u);
        }
    }
    EXPECT_EQ(nextSerial, tables().u16TotalCmdNum);
    EXPECT_EQ(zeroIdLeaves, GetParam().set == 2 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Sets, ScpiTreeLayout, ::testing::ValuesIn(kSets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
