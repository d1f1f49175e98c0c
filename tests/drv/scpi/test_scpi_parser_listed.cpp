// Every listed command of every command set, parsed in each form a client may
// write, with a representative value for each of its parameters: it must
// reach its own row and hand every value over whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "scpi_parser_fixture.h"

namespace {

std::string shortForm(const std::string& name) {
    size_t run = 0;
    while (run < name.size() && (std::isupper(static_cast<unsigned char>(name[run])) ||
                                 std::isdigit(static_cast<unsigned char>(name[run])) || name[run] == '*')) {
        ++run;
    }
    return name.substr(0, run) + (name.back() == '?' ? "?" : "");
}

// "[SENSe:]CURRent[:DC]:NPLC?" in long and short form, with and without the
// optional keywords, each as listed, in lower case and in alternating case.
std::vector<std::string> headerForms(std::string path) {
    bool query = path.back() == '?';
    path.erase(path.size() - query);
    std::vector<std::pair<std::string, bool>> keys;  // name, optional
    for (size_t i = 0; i < path.size();) {
        bool optional = path[i] == '[';
        size_t end = optional ? path.find(']', i) + 1 : std::min(path.find_first_of(":[", i + 1), path.size());
        std::string name = path.substr(i, end - i);
        name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '[' || c == ']' || c == ':'; }),
                   name.end());
        keys.emplace_back(name, optional);
        i = end;
    }
    std::vector<std::string> out;
    for (int form = 0; form < 4; ++form) {
        std::string header;
        for (const auto& [name, optional] : keys) {
            if (!optional || form < 2) {
                header += (header.empty() ? "" : ":") + (form % 2 ? shortForm(name) : name);
            }
        }
        header += query ? "?" : "";
        std::string lower = header, alternating = header;
        for (size_t i = 0; i < header.size(); ++i) {
            lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(header[i])));
            alternating[i] = i % 2 ? lower[i] : static_cast<char>(std::toupper(static_cast<unsigned char>(header[i])));
        }
        out.insert(out.end(), {header, lower, alternating});
    }
    return out;
}

using Sample = std::pair<std::string, SCP_MSG_BLOCK_TYPE_EN>;

const std::map<PType, std::vector<Sample>> kSamples = {
    {PT_NR1, {{"16", SCP_BT_DECIMAL}, {"+3", SCP_BT_DECIMAL}, {"-12", SCP_BT_DECIMAL}}},
    {PT_BOOL, {{"ON", SCP_BT_CHAR}, {"off", SCP_BT_CHAR}, {"1", SCP_BT_DECIMAL}, {"0", SCP_BT_DECIMAL}}},
    {PT_STRING,
     {{"\"a, b; c\"", SCP_BT_STRING}, {"'it''s'", SCP_BT_STRING}, {"192.168.1.10", SCP_BT_UNKNOWN},
      {"\"/data/UserData/" + std::string(300, 'n') + ".sta\"", SCP_BT_STRING}}},
    {PT_ENUM_PT_NR3_EP1,
     {{"10 mV", SCP_BT_SUFFIX}, {"1.5E-3", SCP_BT_DECIMAL}, {"MIN", SCP_BT_CHAR}, {"MAX", SCP_BT_CHAR},
      {"DEF", SCP_BT_CHAR}, {"100mA", SCP_BT_SUFFIX}}},
    {PT_ENUM_PT_NR1, {{"MAX", SCP_BT_CHAR}, {"100", SCP_BT_DECIMAL}, {"DEF", SCP_BT_CHAR}}},
    {PT_NR3_REAL, {{"-1.25E+2", SCP_BT_DECIMAL}, {".5e-3", SCP_BT_DECIMAL}}},
};

class ScpiListedParse : public testing_support::ScpiParserTest, public ::testing::WithParamInterface<int32_t> {
protected:
    // One value per declared parameter; enumerated ones cycle through the
    // keywords of the set's own map.
    std::vector<Sample> valuesFor(const ScpiCmdSetTables& t, const ScpiListedCmd& cmd) {
        std::vector<Sample> values;
        for (int p = 0; p < cmd.u16ParamNum; ++p, ++turn) {
            auto keywords = t.pEnumMap->find(cmd.u32ParamId[p]);
            if (cmd.type[p] == PT_ENUM && keywords != t.pEnumMap->end()) {
                values.emplace_back(std::next(keywords->second.begin(), turn % keywords->second.size())->first,
                                    SCP_BT_UNKNOWN);
            } else {
                auto list = kSamples.find(cmd.type[p]);
                values.push_back(list == kSamples.end() ? Sample{"7", SCP_BT_DECIMAL}
                                                        : list->second[turn % list->second.size()]);
            }
        }
        return values;
    }
    size_t turn = 0;
};

TEST_P(ScpiListedParse, EveryListedCommandReachesItsRowWithItsValues) {
    ASSERT_EQ(parser.ApiScpi_SelectCmdTree(GetParam()), 0);
    const ScpiCmdSetTables& t = *ScpiCmdSetTablesGet(GetParam());
    // The list names every leaf once, with the leaf's own ids and types.
    std::vector<int> listed(t.u16TotalKeywordNum, 0);
    int reachable = 0, leaves = 0;
    for (int i = 0; i < t.u16TotalKeywordNum; ++i) {
        leaves += t.pastKeywordTree[i].u8Leaf;
    }
    EXPECT_EQ(t.u16ListedCmdNum, leaves);
    for (const ScpiListedCmd* cmd = t.pastListedCmd; cmd != t.pastListedCmd + t.u16ListedCmdNum; ++cmd) {
        reachable += cmd->bReachable;
        const parseKeywordNodeStru& leaf = t.pastKeywordTree[cmd->s16Row];
        EXPECT_EQ(++listed[cmd->s16Row], 1) << cmd->ps8Path;
        EXPECT_TRUE(leaf.u8Leaf && leaf.u32FuncId == cmd->u32FuncId && leaf.u32ParamNum == cmd->u16ParamNum)
            << cmd->ps8Path;
        for (int p = 0; p < cmd->u16ParamNum; ++p) {
            EXPECT_TRUE(leaf.u32ParamId[p] == cmd->u32ParamId[p] && leaf.type[p] == cmd->type[p]) << cmd->ps8Path;
        }
        for (const std::string& header : headerForms(cmd->ps8Path)) {
            SCOPED_TRACE(header);
            std::vector<Sample> values = valuesFor(t, *cmd);
            std::string text = header;
            for (size_t v = 0; v < values.size(); ++v) {
                text += (v == 0 ? " " : ",") + values[v].first;
            }
            std::vector<testing_support::ParsedCmd> got = parse(text + "\n");
            if (!cmd->bReachable) {
                // A row that no link reaches: the header names no command.
                EXPECT_TRUE(ids(got).empty());
                EXPECT_EQ(drainErrors(), rows({E113_UNDIFINED_HEADER_NOT_FOUND_KEYWORD}));
                continue;
            }
            if (!values.empty() && !ScpiRowTakesParameters(leaf)) {
                // Declared, but never handed over: the command takes none.
                EXPECT_TRUE(ids(got).empty());
                EXPECT_EQ(drainErrors(), rows({E108_PARAMETER_NOT_ALLOWED}));
                continue;
            }
            ASSERT_EQ(got.size(), 1u);
            EXPECT_FALSE(got[0].refused);
            EXPECT_TRUE(drainErrors().empty());
            EXPECT_EQ(got[0].row, cmd->s16Row);
            EXPECT_EQ(got[0].funcId, cmd->u32FuncId);
            EXPECT_EQ(got[0].set, GetParam());
            EXPECT_EQ(got[0].mapSet, GetParam());
            ASSERT_EQ(got[0].elements.size(), values.size());
            for (size_t v = 0; v < values.size(); ++v) {
                int32_t mapped = 0;
                EXPECT_EQ(got[0].elements[v], values[v].first);
                EXPECT_TRUE(cmd->type[v] == PT_ENUM
                                ? ScpiEnumMapLookup(*t.pEnumMap, cmd->u32ParamId[v], got[0].elements[v], mapped)
                                : got[0].types[v] == values[v].second)
                    << values[v].first;
            }
        }
        if (cmd->bReachable && ScpiRowTakesParameters(leaf)) {
            // One element more than the row declares: refused whole.
            std::string text = headerForms(cmd->ps8Path)[1];
            for (int v = 0; v <= cmd->u16ParamNum; ++v) {
                text += v == 0 ? " 1" : ",1";
            }
            std::vector<testing_support::ParsedCmd> got = parse(text + "\n");
            EXPECT_TRUE(got.size() == 1 && got[0].refused) << text;
            EXPECT_EQ(drainErrors(), rows({E108_PARAMETER_NOT_ALLOWED})) << text;
        }
    }
    EXPECT_EQ(reachable, (std::vector<int>{319, 137, 115}[GetParam()]));
}

INSTANTIATE_TEST_SUITE_P(AllSets, ScpiListedParse, ::testing::Values(0, 1, 2));

} // namespace
