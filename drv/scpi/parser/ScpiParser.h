// The SCPI program-message parser: splits a program message into commands,
// walks the keyword tree of the active command set to each command's row and
// cuts the parameter text into program data elements. It also selects the
// active command set.
//
// Parsing runs on whichever transport thread received the text (socket
// pollers, the USBTMC and VXI-11 threads) while the command-set selection
// runs on the executing thread, so one mutex covers both: every message is
// parsed entirely against one set, and the converter's enumeration map is
// switched under the same lock as the tree.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "DrvScpiMain.h"
#include "ScpiCmdSetTables.h"
#include "ScpiExecuteIntf.h"
#include "ScpiRefusal.h"
#include "ScpiTreeDataFormat.h"

enum ScpiCmdSet : int32_t {
    SCPI_CMD_VORNA = 0,
    SCPI_CMD_CORVANE = 1,
    SCPI_CMD_PELLO = 2,
};

// One program message unit, as handed to the caller of ApiScpi_DoParse. The
// pointers are valid only during the call that hands it over.
struct ScpiParsedCmd {
    uint32_t u32FuncId;      // message id of the matched row
    uint16_t u16CmdSN;       // its command number
    int16_t s16NodeIndex;    // its row in the set's table, -1 for none
    // Parameter ids and types; null for a unit that names no command (an
    // unknown header, parameters that could not be cut into elements).
    const parseKeywordNodeStru* pstNode;
    const SCP_PARSE_PARA_INFO_S* pstParaInfo;  // the elements, whole
    int32_t s32CmdSet;       // the set the row belongs to
    // The unit never runs: its refusals are all it does.
    bool bRefused;
    // What it reports when its turn comes; the parser itself queues nothing.
    ScpiRefusals refusals;
};

// Called once per unit, accepted or refused, in message order, with the
// parser's lock held: convert the parameters here, and do not call back into
// the parser.
using ScpiParsedCmdFn = std::function<void(const ScpiParsedCmd&)>;

class ScpiParser {
public:
    ScpiParser();
    ScpiParser(const ScpiParser&) = delete;
    ScpiParser& operator=(const ScpiParser&) = delete;

    // The converter whose enumeration map follows the selected set.
    void ApiScpi_SetExecute(ScpiExecuteIntf* execute);

    // Sets up SCPI interface 1 and the power-on status, selects the own set
    // and its enumeration map. Returns 0.
    int ApiScpi_Initial();

    // Selects tree and enumeration map of set 0, 1 or 2 and returns 0; any
    // other value is refused with E220_PARAMETER_ERROR (54).
    int ApiScpi_SelectCmdTree(int set);

    // The active set.
    int ApiScpi_CmdTreeGet();

    // Parses one program message of `length` bytes (parsing also stops at a
    // NUL outside block data) and hands every unit to onCmd. A refused unit
    // comes with what it reports: an unknown header (one with a keyword of 20
    // characters or more too) its -113 (or -110) and the command error; more
    // elements than a command's row declares (any, for a command that takes
    // none) -108; refused parameters (a malformed block, a string or
    // expression not closed before the line feed) only the command error, and
    // they drop the rest of their program message; a parameter text of 1280
    // bytes or more does the same and reports -223. Headers with an empty
    // keyword are skipped without a unit. Returns 0,
    // E220_PARAMETER_ERROR (54) when the text is empty or begins with a NUL,
    // or E223_TOO_MUCH_DATA (57) when a header is longer than 1024 bytes
    // (commands before it have been handed over). The third argument is not
    // used.
    int ApiScpi_DoParse(const char* text, uint32_t length, uint32_t u32, const ScpiParsedCmdFn& onCmd);

private:
    // Where a walk stands while it searches the tree for one header.
    struct WalkState {
        const SCP_KEYWORD_ARRAY* keywords;
        uint32_t count;
        bool query;
        uint32_t visits;
        bool leafMissing;    // a keyword row named last had no optional leaf
        uint32_t error;      // a fault that ends the walk at once
        uint8_t matchLevel;  // level of the row the last keyword matched
    };

    // An element while the parameter text is scanned; offsets into the text.
    struct ElementSpan {
        uint32_t begin;
        uint32_t end;
        bool started;
        SCP_MSG_BLOCK_TYPE_EN type;
    };

    int selectCmdTreeLocked(int set);
    void resetPath();

    int ApiScpi_StartParse(const char* text, uint32_t length, const ScpiParsedCmdFn& onCmd);
    const char* ApiScpi_GetOneCmd(const char* text, uint32_t* remaining, uint32_t* cmdLen);
    void parseOneCmd(const char* header, uint32_t cmdLen, const ScpiParsedCmdFn& onCmd);
    void refuseUnit(const ScpiParsedCmdFn& onCmd, ScpiRefusal refusal);

    uint32_t ApiScpi_ParseKeywordArray(const SCP_KEYWORD_ARRAY& keywords, uint32_t count, bool query,
                                       int16_t& nodeIndex);
    uint32_t ApiScpi_ParseLastKeyword(int16_t node, bool query, uint16_t& cmdSN, int16_t& nodeIndex);
    int16_t walkBrothers(int16_t first, uint32_t k, uint8_t level, WalkState& walk);
    bool keywordMatches(const parseKeywordNodeStru& row, const char* keyword, bool last) const;

    int ApiScpi_GetProgDataElement(const char* paramText, uint32_t* remaining);
    int scanElementStart(const char* text, uint32_t left, uint32_t& i, ElementSpan& cur);
    void storeElements(const char* text, uint32_t length, const std::vector<ElementSpan>& spans);
    int refuseParameters(int result, const char* text, uint32_t at, uint32_t* remaining);

    std::mutex m_mutex;  // parsing and set selection
    ScpiExecuteIntf* mExecute = nullptr;

    SCP_REG_CMD_SET_S newCurCmdSet{};
    SCP_REG_CMD_SET_S* pstCurCmdSet = &newCurCmdSet;
    int32_t m_scpiCmdSet = SCPI_CMD_VORNA;

    // The current path: the row per tree level that the next command of the
    // message starts from, kept between the commands of one message.
    int16_t as16NodePath[SCP_CMD_TREE_DEPTH];
    uint8_t u8PathCurPos = 0;

    // The current command's parameter text and its elements.
    SCP_PARSE_PARA_INFO_S m_stParaInfo{};
    std::vector<char> g_acPara;

    // What the current command's terminator and parameters left behind.
    bool m_bPathEnds = false;         // the path context ends after it
    int m_s32ParaResult = 0;          // 0, 54 (bad block) or 1 (text too long)
    bool m_bTooManyElements = false;  // more than SCP_PARA_ELEMENT_MAX elements
};
