// Which rows the program headers reach in each command-set table: every
// listed command in its long and short forms, the rows that no link reaches,
// and the cases where optional keywords decide the row.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "ScpiCmdSetTables.h"
#include "tree_walk.h"

namespace {

using tree_walk::resolve;

constexpr int32_t kVorna = 0;
constexpr int32_t kCorvane = 1;
constexpr int32_t kPello = 2;

const parseKeywordNodeStru* table(int32_t set)
{
    return ScpiCmdSetTablesGet(set)->pastKeywordTree;
}

uint32_t funcAt(int32_t set, const std::string& header)
{
    int r = resolve(table(set), header);
    return r < 0 ? 0xFFFFFFFFu : table(set)[r].u32FuncId;
}

// Parent row of every row reached through links (-1 for the top level).
std::vector<int> parents(int32_t set)
{
    const ScpiCmdSetTables& t = *ScpiCmdSetTablesGet(set);
    std::vector<int> parent(t.u16TotalKeywordNum, -1);
    for (int i = 0; i < t.u16TotalKeywordNum; ++i) {
        for (int c = t.pastKeywordTree[i].s16Child; c >= 0; c = t.pastKeywordTree[c].s16Brother) {
            parent[c] = i;
        }
    }
    return parent;
}

struct Keyword {
    std::string name;
    bool optional;
};

// "[SENSe:]CURRent[:DC]:NPLC?" -> SENSe(opt) CURRent DC(opt) NPLC, query.
std::vector<Keyword> splitListed(std::string path, bool& query)
{
    // "[:STATe]?": the mark belongs to whichever keyword ends the header.
    query = !path.empty() && path.back() == '?';
    if (query) {
        path.pop_back();
    }
    std::vector<Keyword> keys;
    for (size_t i = 0; i < path.size();) {
        if (path[i] == ':') {
            ++i;
        } else if (path[i] == '[') {
            size_t end = path.find(']', i);
            std::string inner = path.substr(i + 1, end - i - 1);
            inner.erase(0, inner.find_first_not_of(':'));
            inner.erase(inner.find_last_not_of(':') + 1);
            keys.push_back({inner, true});
            i = end + 1;
        } else {
            size_t end = path.find_first_of(":[", i);
            keys.push_back({path.substr(i, end - i), false});
            i = end == std::string::npos ? path.size() : end;
        }
    }
    return keys;
}

std::string shortForm(const std::string& name)
{
    std::string run;
    for (char c : name) {
        if (std::isupper(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) ||
            c == '*') {
            run += c;
        } else {
            break;
        }
    }
    return name.back() == '?' ? run + "?" : run;
}

// The headers a client may write for one listed command: long and short
// form, with and without the optional keywords, in upper and lower case.
std::vector<std::string> headersFor(const std::string& path)
{
    bool query = false;
    std::vector<Keyword> keys = splitListed(path, query);
    std::vector<std::string> out;
    for (bool shortNames : {false, true}) {
        for (bool withOptional : {true, false}) {
            std::string header;
            for (const Keyword& k : keys) {
                if (k.optional && !withOptional) {
                    continue;
                }
                header += (header.empty() ? "" : ":") + (shortNames ? shortForm(k.name) : k.name);
            }
            if (query) {
                header += "?";
            }
            out.push_back(header);
            out.push_back(tree_walk::upper(header));
            std::string lower = header;
            for (char& c : lower) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            out.push_back(lower);
        }
    }
    return out;
}

class ScpiListedCommands : public ::testing::TestWithParam<int32_t> {};

TEST_P(ScpiListedCommands, EveryListedCommandReachesItsRowInEveryForm)
{
    const ScpiCmdSetTables& t = *ScpiCmdSetTablesGet(GetParam());
    int leaves = 0;
    for (int i = 0; i < t.u16TotalKeywordNum; ++i) {
        leaves += t.pastKeywordTree[i].u8Leaf;
    }
    ASSERT_EQ(t.u16ListedCmdNum, leaves) << "every leaf is listed once";

    std::vector<bool> seen(t.u16TotalKeywordNum, false);
    for (int c = 0; c < t.u16ListedCmdNum; ++c) {
        const ScpiListedCmd& cmd = t.pastListedCmd[c];
        SCOPED_TRACE(cmd.ps8Path);
        ASSERT_GE(cmd.s16Row, 0);
        const parseKeywordNodeStru& row = t.pastKeywordTree[cmd.s16Row];
        EXPECT_FALSE(seen[cmd.s16Row]);
        seen[cmd.s16Row] = true;
        EXPECT_EQ(row.u8Leaf, 1);
        EXPECT_EQ(row.u32FuncId, cmd.u32FuncId);
        ASSERT_EQ(row.u32ParamNum, cmd.u16ParamNum);
        for (int p = 0; p < cmd.u16ParamNum; ++p) {
            EXPECT_EQ(row.u32ParamId[p], cmd.u32ParamId[p]);
            EXPECT_EQ(row.type[p], cmd.type[p]);
        }
        for (const std::string& header : headersFor(cmd.ps8Path)) {
            if (cmd.bReachable) {
                EXPECT_EQ(resolve(t.pastKeywordTree, header), cmd.s16Row) << header;
            } else {
                EXPECT_EQ(resolve(t.pastKeywordTree, header), -1) << header;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, ScpiListedCommands, ::testing::Values(kVorna, kCorvane, kPello));

TEST(ScpiTreePaths, BeeperTestReachedWithOrWithoutImmediate)
{
    int r = resolve(table(kVorna), "SYST:BEEP");
    ASSERT_GE(r, 0);
    EXPECT_EQ(r, resolve(table(kVorna), "SYSTEM:BEEPER:IMMEDIATE"));
    EXPECT_EQ(table(kVorna)[r].u32FuncId, 0x702u);
    EXPECT_EQ(table(kVorna)[r].b4Omit, 1);
}

TEST(ScpiTreePaths, OptionalStateLeavesAnswerTheirParent)
{
    int set = resolve(table(kVorna), "CALC:AVER");
    ASSERT_GE(set, 0);
    EXPECT_EQ(set, resolve(table(kVorna), "CALC:AVER:STAT"));
    EXPECT_EQ(table(kVorna)[set].u32FuncId, 0x10002000u);
    EXPECT_EQ(table(kVorna)[set].type[0], PT_BOOL);

    int query = resolve(table(kVorna), "CALC:AVER?");
    ASSERT_GE(query, 0);
    EXPECT_STREQ(table(kVorna)[query].ps8FullName, "STATe?");
    EXPECT_EQ(table(kVorna)[query].u32FuncId, 0x20002000u);
    EXPECT_EQ(query, resolve(table(kVorna), "CALCULATE:AVERAGE:STATE?"));
}

TEST(ScpiTreePaths, CurrentNplcGoesThroughTheOptionalDc)
{
    std::vector<int> parent = parents(kVorna);
    int nplc = resolve(table(kVorna), "CURR:NPLC");
    ASSERT_GE(nplc, 0);
    EXPECT_EQ(table(kVorna)[nplc].u32FuncId, 0x10002606u);
    EXPECT_EQ(nplc, resolve(table(kVorna), "SENS:CURR:DC:NPLC"));
    int optionalDc = parent[nplc];
    EXPECT_STREQ(table(kVorna)[optionalDc].ps8FullName, "DC");
    EXPECT_EQ(table(kVorna)[optionalDc].b4Omit, 1);

    // The DC range rows hang under the plain DC that precedes it as brother.
    int range = resolve(table(kVorna), "CURR:DC:RANG");
    ASSERT_GE(range, 0);
    EXPECT_EQ(table(kVorna)[range].u32FuncId, 0x10000654u);
    int plainDc = parent[range];
    EXPECT_STREQ(table(kVorna)[plainDc].ps8FullName, "DC");
    EXPECT_EQ(table(kVorna)[plainDc].b4Omit, 0);
    EXPECT_EQ(table(kVorna)[plainDc].s16Brother, optionalDc);
    EXPECT_EQ(parent[plainDc], parent[optionalDc]);
    EXPECT_STREQ(table(kVorna)[parent[plainDc]].ps8FullName, "CURRent");
    // Without DC the range path has nowhere to go.
    EXPECT_EQ(resolve(table(kVorna), "CURR:RANG"), -1);
}

TEST(ScpiTreePaths, RangeLeafAndRangeKeywordRowAreBrothers)
{
    int value = resolve(table(kVorna), "SENS:CAP:RANG");
    int autoRange = resolve(table(kVorna), "SENS:CAP:RANG:AUTO");
    ASSERT_GE(value, 0);
    ASSERT_GE(autoRange, 0);
    std::vector<int> parent = parents(kVorna);
    EXPECT_EQ(table(kVorna)[value].s16Brother, parent[autoRange]);
    EXPECT_EQ(table(kVorna)[value].u32FuncId, 0x1000065Au);
    EXPECT_EQ(table(kVorna)[autoRange].u32FuncId, 0x10000651u);
}

TEST(ScpiTreePaths, CorvaneRowsBehindALeafCannotBeNamed)
{
    const parseKeywordNodeStru* t = table(kCorvane);
    EXPECT_EQ(resolve(t, "SYST:BEEP:STAT"), -1);
    EXPECT_EQ(resolve(t, "SENS:VOLT:DC:RANG:AUTO"), -1);
    EXPECT_EQ(resolve(t, "CALC:AVER:STAT"), -1);
    EXPECT_EQ(resolve(t, "CALC:SCAL:DB:REF"), -1);
    EXPECT_EQ(resolve(t, "TRIG:DEL:AUTO"), -1);
    // The leaves in front of them still answer.
    EXPECT_EQ(funcAt(kCorvane, "SYST:BEEP"), 0x702u);
    EXPECT_EQ(funcAt(kCorvane, "SENS:VOLT:DC:RANG"), 0x10000652u);
    EXPECT_EQ(funcAt(kCorvane, "SENS:CURR:AC:RANG:AUTO"), 0x1000064Cu);

    // The beeper state rows are stored right after SYSTem:BEEPer, numbered on.
    int beep = resolve(t, "SYST:BEEP");
    ASSERT_GE(beep, 0);
    EXPECT_EQ(t[beep].s16Child, -1);
    EXPECT_STREQ(t[beep + 1].ps8FullName, "STATe");
    EXPECT_EQ(t[beep + 1].u32FuncId, 0x700u);
    EXPECT_EQ(t[beep + 1].u16CmdSN, t[beep].u16CmdSN + 1);
    EXPECT_STREQ(t[beep + 2].ps8FullName, "STATe?");
    EXPECT_EQ(t[beep].s16Brother, beep + 3);
}

TEST(ScpiTreePaths, CorvaneNplcyclesRepeatTheKeyword)
{
    const parseKeywordNodeStru* t = table(kCorvane);
    EXPECT_EQ(funcAt(kCorvane, "SENS:FRES:NPLC:NPLC"), 0x10000647u);
    EXPECT_EQ(funcAt(kCorvane, "FRES:NPLCYCLES:NPLCYCLES"), 0x10000647u);
    EXPECT_EQ(funcAt(kCorvane, "SENS:FRES:NPLC?:NPLC?"), 0x20000647u);
    EXPECT_EQ(funcAt(kCorvane, "RES:NPLC:NPLC"), 0x10000646u);
    EXPECT_EQ(funcAt(kCorvane, "RES:NPLC?:NPLC?"), 0x20000646u);
    EXPECT_EQ(resolve(t, "SENS:FRES:NPLC"), -1);
    EXPECT_EQ(resolve(t, "SENS:RES:NPLC?"), -1);
    // DC voltage and current take NPLCycles once.
    EXPECT_EQ(funcAt(kCorvane, "VOLT:DC:NPLC"), 0x10000644u);
    EXPECT_EQ(funcAt(kCorvane, "CURR:DC:NPLC?"), 0x20000645u);

    int shapes = 0;
    for (int i = 0; i < ScpiCmdSetTablesGet(kCorvane)->u16TotalKeywordNum; ++i) {
        if (t[i].u8Leaf || std::string(t[i].ps8ShortName).rfind("NPLC", 0) != 0) {
            continue;
        }
        ++shapes;
        const parseKeywordNodeStru& only = t[t[i].s16Child];
        EXPECT_STREQ(only.ps8FullName, t[i].ps8FullName);
        EXPECT_EQ(only.u8Leaf, 1);
        EXPECT_EQ(only.s16Brother, -1) << "the repeated keyword is the only child";
        EXPECT_EQ(t[i].direction, only.direction);
    }
    EXPECT_EQ(shapes, 4);   // NPLCycles and NPLCycles? under FRESistance and RESistance
}

TEST(ScpiTreePaths, PelloRange2EndsOnARowWithoutAnId)
{
    int r = resolve(table(kPello), "RANGE2?");
    ASSERT_GE(r, 0);
    EXPECT_EQ(table(kPello)[r].u8Leaf, 1);
    EXPECT_EQ(table(kPello)[r].u32FuncId, 0u);
    EXPECT_EQ(funcAt(kPello, "RANGE1?"), 0x20001F12u);
    EXPECT_EQ(resolve(table(kPello), "SYST:BEEP:STAT"), -1);
}

TEST(ScpiTreePaths, SetsKeepTheirOwnVocabulary)
{
    EXPECT_EQ(funcAt(kPello, "CMDS"), 0x10001C00u);
    EXPECT_EQ(resolve(table(kVorna), "CMDS"), -1);
    EXPECT_EQ(resolve(table(kCorvane), "CMDS"), -1);
    EXPECT_EQ(resolve(table(kVorna), "*TST?"), -1);
    EXPECT_EQ(funcAt(kCorvane, "*TST?"), 0x20001B0Au);
    EXPECT_EQ(funcAt(kVorna, "TRIG:COUN"), 0x10002500u);
    EXPECT_EQ(funcAt(kCorvane, "TRIG:COUN"), 0x10001104u);
}

}  // namespace
