// A parser set up as the command engine sets it up, and the commands it
// hands over, copied out of the callback.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "ScpiParser.h"
#include "scpi_status_fixture.h"

namespace testing_support {

struct ParsedCmd {
    uint32_t funcId;
    int16_t row;
    int32_t set;
    int32_t mapSet;  // the converter's map while the command was handed over
    bool refused;    // handed over refused: it never runs
    std::vector<std::string> elements;
    std::vector<SCP_MSG_BLOCK_TYPE_EN> types;
};

// Records which enumeration map the parser selected; read and written under
// the parser's lock only.
struct RecordingExecute : ScpiExecuteIntf {
    int ApiScpi_SelectEnumMap(int set) override {
        ++calls;
        selected = set;
        return 0;
    }
    int selected = -1;
    int calls = 0;
};

class ScpiParserTest : public ScpiStatusTest {
protected:
    void SetUp() override {
        ScpiStatusTest::SetUp();
        parser.ApiScpi_SetExecute(&execute);
        ASSERT_EQ(parser.ApiScpi_Initial(), 0);
        SCP_ClearErrQueue(1);
    }

    std::vector<ParsedCmd> parse(const std::string& text, int* result = nullptr) {
        std::vector<ParsedCmd> out;
        uint8_t queued = SCP_GetErrQueueCount(1);
        int r = parser.ApiScpi_DoParse(text.data(), static_cast<uint32_t>(text.size()), 0, [&](const ScpiParsedCmd& c) {
            out.push_back({c.u32FuncId, c.s16NodeIndex, c.s32CmdSet, execute.selected, c.bRefused, {}, {}});
            // As the unit's turn would: parsing itself queues nothing.
            EXPECT_EQ(SCP_GetErrQueueCount(1), queued);
            ScpiReportRefusals(c.refusals);
            queued = SCP_GetErrQueueCount(1);
            EXPECT_EQ(c.pstParaInfo->u32ParaNum, c.pstParaInfo->stElement.size());
            for (const SCP_PARA_ELEMENT_S& e : c.pstParaInfo->stElement) {
                out.back().elements.emplace_back(e.pscStart, e.u32Length);
                out.back().types.push_back(e.eType);
            }
        });
        result ? void(*result = r) : void();
        return out;
    }

    // The commands that run.
    static std::vector<uint32_t> ids(const std::vector<ParsedCmd>& cmds) {
        std::vector<uint32_t> out;
        for (const ParsedCmd& c : cmds) {
            if (!c.refused) out.push_back(c.funcId);
        }
        return out;
    }
    // The error texts of the given table rows.
    static std::vector<std::string> rows(const std::vector<int>& list) {
        std::vector<std::string> out;
        for (int row : list) out.push_back(g_asErrInfo[row]);
        return out;
    }

    RecordingExecute execute;
    ScpiParser parser;
};

} // namespace testing_support
