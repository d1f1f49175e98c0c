#include "ScpiParser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "DrvInterfaceManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "Util/logger.h"

namespace {

// Parser results that are not rows of the error table.
constexpr int SCP_PARA_TEXT_TOO_LONG = 1;
constexpr uint32_t SCP_UIP_HEADER_TOO_LONG = 3;

bool endsCommand(char c) {
    return c == ';' || c == '\n' || c == '\0';
}

}  // namespace

ScpiParser::ScpiParser() {
    resetPath();
    selectCmdTreeLocked(SCPI_CMD_VORNA);
}

void ScpiParser::ApiScpi_SetExecute(ScpiExecuteIntf* execute) {
    std::lock_guard<std::mutex> lock(m_mutex);
    mExecute = execute;
}

int ScpiParser::ApiScpi_Initial() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Interface_SCPManage(1);
    SCP_SetInterfaceIsUsed(1);
    DrvScpi_SmInitial();
    selectCmdTreeLocked(SCPI_CMD_VORNA);
    return 0;
}

int ScpiParser::ApiScpi_SelectCmdTree(int set) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return selectCmdTreeLocked(set);
}

int ScpiParser::ApiScpi_CmdTreeGet() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_scpiCmdSet;
}

int ScpiParser::selectCmdTreeLocked(int set) {
    const ScpiCmdSetTables* tables = ScpiCmdSetTablesGet(set);
    if (tables == nullptr) {
        PrintE("SCPI command set failed, cmd = %d", set);
        return E220_PARAMETER_ERROR;
    }
    // The path is left as it is: every message starts from the root anyway.
    newCurCmdSet.u8Registed = 1;
    newCurCmdSet.u8CmdTreeDepth = tables->u8CmdTreeDepth;
    newCurCmdSet.u16TotalCmdNum = tables->u16TotalCmdNum;
    newCurCmdSet.u16TotalKeywordNum = tables->u16TotalKeywordNum;
    newCurCmdSet.pafCallBack = nullptr;
    newCurCmdSet.pastKeywordTree = tables->pastKeywordTree;
    pstCurCmdSet = &newCurCmdSet;
    m_scpiCmdSet = set;
    if (mExecute != nullptr) {
        mExecute->ApiScpi_SelectEnumMap(set);
    }
    return 0;
}

void ScpiParser::resetPath() {
    for (int16_t& entry : as16NodePath) {
        entry = -1;
    }
    u8PathCurPos = 0;
}

int ScpiParser::ApiScpi_DoParse(const char* text, uint32_t length, uint32_t /*u32*/,
                                const ScpiParsedCmdFn& onCmd) {
    if (text == nullptr || length == 0 || text[0] == '\0') {
        return E220_PARAMETER_ERROR;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    DrvScpi_SetSmState(SCP_SM_READ);
    int result = ApiScpi_StartParse(text, length, onCmd);
    DrvScpi_SetSmState(SCP_SM_DONE);
    return result;
}

// ------------------------------------------------------------ message level

int ScpiParser::ApiScpi_StartParse(const char* text, uint32_t length, const ScpiParsedCmdFn& onCmd) {
    resetPath();
    const char* pos = text;
    uint32_t remaining = length;
    while (remaining > 0) {
        uint32_t before = remaining;
        uint32_t cmdLen = 0;
        const char* header = ApiScpi_GetOneCmd(pos, &remaining, &cmdLen);
        pos += before - remaining;
        if (cmdLen > SCP_HEADER_MAX_LEN) {
            PrintE("ApiScpi_StartParse UIP Error %d", SCP_UIP_HEADER_TOO_LONG);
            return E223_TOO_MUCH_DATA;
        }
        if (m_s32ParaResult != 0) {
            // Refused parameters: a command error, and the rest of the message
            // is gone; the transport queues -100 when nothing of the message
            // named a command.
            PrintI("SCPI parameters refused, result %d", m_s32ParaResult);
            const bool tooLong = m_s32ParaResult == SCP_PARA_TEXT_TOO_LONG;
            refuseUnit(onCmd, ScpiRefusal{SCP_ESR_CME, tooLong ? E223_TOO_MUCH_DATA : -1});
            continue;
        }
        if (cmdLen > 0) {
            parseOneCmd(header, cmdLen, onCmd);
        }
        // The terminator's effect on the path applies to the next command.
        if (m_bPathEnds) {
            resetPath();
        }
    }
    return 0;
}

const char* ScpiParser::ApiScpi_GetOneCmd(const char* text, uint32_t* remaining, uint32_t* cmdLen) {
    m_stParaInfo.u32ParaNum = 0;
    m_stParaInfo.u32TotalLen = 0;
    m_stParaInfo.stElement.clear();
    g_acPara.clear();
    m_bPathEnds = false;
    m_s32ParaResult = 0;
    m_bTooManyElements = false;
    *cmdLen = 0;

    uint32_t left = *remaining;
    uint32_t i = 0;
    while (i < left && DrvScpi_IsBlank(text[i])) {
        ++i;
    }
    const char* header = text + i;
    while (i < left && !endsCommand(text[i]) && !DrvScpi_IsBlank(text[i])) {
        ++i;
    }
    *cmdLen = static_cast<uint32_t>(text + i - header);
    // Parameter text after the header's blanks.
    while (i < left && DrvScpi_IsBlank(text[i])) {
        ++i;
    }
    if (i >= left || text[i] == '\0') {
        m_bPathEnds = true;
        *remaining = 0;
    } else if (text[i] == '\n' || text[i] == ';') {
        m_bPathEnds = text[i] == '\n';
        *remaining = left - i - 1;
    } else {
        uint32_t paramLeft = left - i;
        m_s32ParaResult = ApiScpi_GetProgDataElement(text + i, &paramLeft);
        *remaining = paramLeft;
    }
    return header;
}

void ScpiParser::parseOneCmd(const char* header, uint32_t cmdLen, const ScpiParsedCmdFn& onCmd) {
    std::string buffer(header, cmdLen);
    if (buffer[0] == ':' || buffer[0] == '*') {
        resetPath();
    }
    SCP_KEYWORD_ARRAY keywords;
    uint32_t count = DrvScpi_GetKeyword(&buffer[0], keywords, pstCurCmdSet->u8CmdTreeDepth);
    if (count == 0) {
        return;  // an empty keyword: ignored without an error
    }
    if (count == SCP_KEYWORD_TOO_LONG) {
        // Skipped silently, it would leave the client thinking it ran.
        refuseUnit(onCmd, ScpiRefusalOfCode(SCP_NOT_FOUND_KEYWORD));
        return;
    }
    if (count > SCP_KEYWORD_SLOT_NUM) {
        refuseUnit(onCmd, ScpiRefusalOfCode(SCP_KEYWORDNUM_TOO_MANY));
        return;
    }
    bool query = std::strchr(keywords[count - 1], '?') != nullptr;
    if (query) {
        DrvScpi_SetSmState(SCP_SM_QUERY);
    }
    int16_t node = -1;
    uint32_t code = ApiScpi_ParseKeywordArray(keywords, count, query, node);
    if (code != 0) {
        PrintI("ApiScpi_ParseKeywordArray ERROR %d\n\r", static_cast<int>(code));
        refuseUnit(onCmd, ScpiRefusalOfCode(code));
        return;
    }
    const parseKeywordNodeStru& row = pstCurCmdSet->pastKeywordTree[node];
    // Answering `*IDN? 5` as if nothing had been given, or running
    // `CONF:VOLT:DC 10,1e-6,5` without its third element, would hide the
    // client's mistake: such a command is refused whole.
    const bool refused = m_bTooManyElements || m_stParaInfo.u32ParaNum > ScpiRowParameterMax(row);
    DrvScpi_SetSmState(SCP_SM_RESPONSE);
    m_stParaInfo.pType = row.type;
    m_stParaInfo.direction = row.direction;
    m_stParaInfo.u32CurIndex = 0;
    if (onCmd) {
        ScpiParsedCmd cmd{row.u32FuncId, row.u16CmdSN, node, &row, &m_stParaInfo, m_scpiCmdSet, refused, {}};
        if (refused) {
            cmd.refusals.push_back({SCP_ESR_CME, E108_PARAMETER_NOT_ALLOWED});
        }
        onCmd(cmd);
    }
}

// A unit that names no command: the path is lost with it.
void ScpiParser::refuseUnit(const ScpiParsedCmdFn& onCmd, ScpiRefusal refusal) {
    resetPath();
    if (onCmd) {
        onCmd(ScpiParsedCmd{0, 0, -1, nullptr, &m_stParaInfo, m_scpiCmdSet, true, {refusal}});
    }
}

// ---------------------------------------------------------------- tree walk

bool ScpiParser::keywordMatches(const parseKeywordNodeStru& row, const char* keyword, bool last) const {
    auto nameIs = [&row](const char* key, size_t len) {
        if (std::strlen(row.ps8ShortName) == len && std::strncmp(row.ps8ShortName, key, len) == 0) {
            return true;
        }
        if (std::strlen(row.ps8FullName) != len) {
            return false;
        }
        for (size_t i = 0; i < len; ++i) {
            if (std::toupper(static_cast<unsigned char>(row.ps8FullName[i])) != static_cast<unsigned char>(key[i])) {
                return false;
            }
        }
        return true;
    };
    size_t len = std::strlen(keyword);
    if (nameIs(keyword, len)) {
        return true;
    }
    bool isQueryKey = len > 1 && keyword[len - 1] == '?';
    // A query names a keyword row whose optional query leaf answers it
    // (CALC:AVER? for CALCulate:AVERage[:STATe]?). Leaves are excluded: *ESE?
    // is a command of its own, not *ESE.
    if (isQueryKey && last && !row.u8Leaf && nameIs(keyword, len - 1)) {
        return true;
    }
    size_t shortLen = std::strlen(row.ps8ShortName);
    return row.b4IsSuffix && isQueryKey && len > shortLen && std::strncmp(keyword, row.ps8ShortName, shortLen) == 0;
}

// Depth-first search of one brother list for keyword k and the rest. A match
// that leads nowhere falls back to the later brothers with the same keyword:
// that is how the second of two rows of one name is reached (RANGe, a leaf
// taking a value, then RANGe carrying RANGe:AUTO), and how a query named by a
// keyword row without an optional query leaf reaches the query leaf of the
// same name further on (STAT:OPER? passes OPERation, whose children hold no
// optional query, and ends on OPERation?). Without this fallback such listed
// queries would fail with a header error.
int16_t ScpiParser::walkBrothers(int16_t first, uint32_t k, uint8_t level, WalkState& walk) {
    const parseKeywordNodeStru* tree = pstCurCmdSet->pastKeywordTree;
    const uint32_t rows = pstCurCmdSet->u16TotalKeywordNum;
    for (int16_t n = first; n >= 0; n = tree[n].s16Brother) {
        if (static_cast<uint32_t>(n) >= rows || ++walk.visits > rows) {
            walk.error = SCP_CMD_TREE_ERR;
            return -1;
        }
        const parseKeywordNodeStru& row = tree[n];
        bool last = k + 1 == walk.count;
        int16_t found = -1;
        if (keywordMatches(row, (*walk.keywords)[k], last)) {
            as16NodePath[level] = n;
            if (last) {
                uint16_t cmdSN = 0;
                if (ApiScpi_ParseLastKeyword(n, walk.query, cmdSN, found) != 0) {
                    walk.leafMissing = true;
                } else {
                    walk.matchLevel = level;
                }
            } else if (row.s16Child >= 0) {
                if (level + 1 >= SCP_CMD_TREE_DEPTH) {
                    walk.error = SCP_KEYWORDNUM_TOO_MANY;
                    return -1;
                }
                found = walkBrothers(row.s16Child, k + 1, static_cast<uint8_t>(level + 1), walk);
            }
        } else if (row.b4Omit && row.s16Child >= 0 && level + 1 < SCP_CMD_TREE_DEPTH) {
            // An optional keyword the header left out: look for k below it.
            as16NodePath[level] = n;
            found = walkBrothers(row.s16Child, k, static_cast<uint8_t>(level + 1), walk);
        }
        if (found >= 0 || walk.error != 0) {
            return found;
        }
    }
    return -1;
}

uint32_t ScpiParser::ApiScpi_ParseLastKeyword(int16_t node, bool query, uint16_t& cmdSN, int16_t& nodeIndex) {
    const parseKeywordNodeStru* tree = pstCurCmdSet->pastKeywordTree;
    if (tree[node].u8Leaf) {
        cmdSN = tree[node].u16CmdSN;
        nodeIndex = node;
        return 0;
    }
    // A keyword row named last stands for its optional leaf of the same kind
    // (SYST:BEEP for SYSTem:BEEPer[:IMMediate]).
    for (int16_t c = tree[node].s16Child; c >= 0 && c < pstCurCmdSet->u16TotalKeywordNum; c = tree[c].s16Brother) {
        bool childIsQuery = std::strchr(tree[c].ps8ShortName, '?') != nullptr;
        if (tree[c].b4Omit && tree[c].u8Leaf && childIsQuery == query) {
            cmdSN = tree[c].u16CmdSN;
            nodeIndex = c;
            return 0;
        }
    }
    return SCP_NOT_FOUND_LEAF_NODE;
}

// Starts at the row the current path holds for its level; when nothing below
// matches, climbs one level and goes on with the brother of the row there, up
// to the top level.
uint32_t ScpiParser::ApiScpi_ParseKeywordArray(const SCP_KEYWORD_ARRAY& keywords, uint32_t count, bool query,
                                               int16_t& nodeIndex) {
    const parseKeywordNodeStru* tree = pstCurCmdSet->pastKeywordTree;
    const int16_t rows = static_cast<int16_t>(pstCurCmdSet->u16TotalKeywordNum);
    WalkState walk{&keywords, count, query, 0, false, 0, 0};

    uint8_t level = u8PathCurPos;
    int16_t start = as16NodePath[level];
    if (start < 0 || start >= rows) {
        level = 0;
        start = 0;
    }
    int16_t found = walkBrothers(start, 0, level, walk);
    while (found < 0 && walk.error == 0 && level > 0) {
        --level;
        int16_t above = as16NodePath[level];
        start = above >= 0 && above < rows ? tree[above].s16Brother : -1;
        found = walkBrothers(start, 0, level, walk);
    }
    if (found < 0) {
        resetPath();
        if (walk.error != 0) {
            return walk.error;
        }
        // An unmatched header is an undefined header, not a memory fault.
        return walk.leafMissing ? SCP_NOT_FOUND_LEAF_NODE : SCP_NOT_FOUND_KEYWORD;
    }
    if (tree[found].u16CmdSN >= pstCurCmdSet->u16TotalCmdNum) {
        resetPath();
        return SCP_CMD_SN_ERR;
    }
    // The next command of the message starts among the brothers of the row
    // that the last keyword matched.
    uint8_t at = walk.matchLevel;
    as16NodePath[at] = at == 0 ? 0 : tree[as16NodePath[at - 1]].s16Child;
    u8PathCurPos = at;
    nodeIndex = found;
    return 0;
}

// ------------------------------------------------------- program data elements

namespace {

// A quote ends the string when it is not doubled and a separator, a blank or
// the end follows; otherwise it belongs to the text. Returns the index after
// the string, or 0 when the message ends before the string is closed: a line
// feed always ends the message, so an unclosed quote cannot swallow the ones
// after it.
uint32_t scanString(const char* text, uint32_t left, uint32_t i) {
    const char quote = text[i];
    for (uint32_t j = i + 1; j < left && text[j] != '\0' && text[j] != '\n'; ++j) {
        if (text[j] != quote) {
            continue;
        }
        if (j + 1 < left && text[j + 1] == quote) {
            ++j;  // a doubled quote stands for one quote
            continue;
        }
        if (j + 1 >= left || text[j + 1] == ',' || endsCommand(text[j + 1]) || DrvScpi_IsBlank(text[j + 1])) {
            return j + 1;
        }
    }
    return 0;
}

// Up to the matching ')', nesting counted; 0 when the message ends first.
uint32_t scanExpression(const char* text, uint32_t left, uint32_t i) {
    int depth = 0;
    for (uint32_t j = i; j < left && text[j] != '\0' && text[j] != '\n'; ++j) {
        if (text[j] == '(') {
            ++depth;
        } else if (text[j] == ')' && --depth == 0) {
            return j + 1;
        }
    }
    return 0;
}

// #<n><n length digits><bytes>: returns the index after the data, or 0 when
// the length is malformed, 0, or more than the text holds.
uint32_t scanBlock(const char* text, uint32_t left, uint32_t i) {
    const uint32_t digits = static_cast<uint32_t>(text[i + 1] - '0');
    const uint32_t data = i + 2 + digits;
    if (data > left) {
        return 0;
    }
    uint64_t count = 0;
    for (uint32_t j = i + 2; j < data; ++j) {
        if (text[j] < '0' || text[j] > '9') {
            return 0;
        }
        count = count * 10 + static_cast<uint32_t>(text[j] - '0');
    }
    if (count == 0 || count > left - data) {
        return 0;
    }
    return data + static_cast<uint32_t>(count);
}

}  // namespace

// The command's end is unknown once its parameters are refused: the rest of
// its program message, up to the line feed that ends it, is skipped (a NUL
// ends all parsing, as everywhere).
int ScpiParser::refuseParameters(int result, const char* text, uint32_t at, uint32_t* remaining) {
    uint32_t end = at;
    while (end < *remaining && text[end] != '\n' && text[end] != '\0') {
        ++end;
    }
    *remaining = end < *remaining && text[end] == '\n' ? *remaining - end - 1 : 0;
    return result;
}

// The first non-blank character of an element decides its kind. Returns 0, or
// E220_PARAMETER_ERROR for a malformed block or an unclosed string or
// expression.
int ScpiParser::scanElementStart(const char* text, uint32_t left, uint32_t& i, ElementSpan& cur) {
    cur.started = true;
    cur.begin = i;
    const char c = text[i];
    if (c == '"' || c == '\'' || c == '(') {
        cur.type = c == '(' ? SCP_BT_EXPRESSION : SCP_BT_STRING;
        uint32_t end = c == '(' ? scanExpression(text, left, i) : scanString(text, left, i);
        if (end == 0) {
            return E220_PARAMETER_ERROR;
        }
        i = end;
    } else if (c == '#' && i + 1 < left && text[i + 1] >= '1' && text[i + 1] <= '9') {
        uint32_t end = scanBlock(text, left, i);
        if (end == 0) {
            return E220_PARAMETER_ERROR;
        }
        cur.type = SCP_BT_ARBITRARY;
        cur.end = end;
        // Only blanks may stand between the data and the next separator.
        i = end;
        while (i < left && DrvScpi_IsBlank(text[i])) {
            ++i;
        }
        if (i < left && text[i] != ',' && !endsCommand(text[i])) {
            return E220_PARAMETER_ERROR;
        }
    } else {
        cur.type = c == '#' ? SCP_BT_NONDECIMAL : SCP_BT_UNKNOWN;
        ++i;
    }
    return 0;
}

int ScpiParser::ApiScpi_GetProgDataElement(const char* paramText, uint32_t* remaining) {
    const uint32_t left = *remaining;
    std::vector<ElementSpan> spans{{0, 0, false, SCP_BT_UNKNOWN}};
    // Plain text runs up to the separator; a block keeps its exact end.
    auto close = [](ElementSpan& s, uint32_t at) {
        if (!s.started) {
            s.begin = at;
            s.end = at;
        } else if (s.type != SCP_BT_ARBITRARY) {
            s.end = at;
        }
    };
    uint32_t i = 0;
    while (true) {
        if (i > SCP_PARA_TEXT_MAX_LEN) {
            // The rest of the message goes with it; -223 says why.
            return refuseParameters(SCP_PARA_TEXT_TOO_LONG, paramText, std::min(i, left), remaining);
        }
        if (i >= left || paramText[i] == '\0') {
            close(spans.back(), i);
            m_bPathEnds = true;
            *remaining = 0;
            break;
        }
        const char c = paramText[i];
        ElementSpan& cur = spans.back();
        if (c == '\n' || c == ';') {
            close(cur, i);
            // A last element of plain characters ends the path as well.
            bool plainLast = cur.started && cur.type != SCP_BT_STRING && cur.type != SCP_BT_ARBITRARY &&
                             cur.type != SCP_BT_EXPRESSION;
            m_bPathEnds = c == '\n' || plainLast;
            *remaining = left - i - 1;
            break;
        }
        if (c == ',') {
            close(cur, i);
            spans.push_back({i + 1, i + 1, false, SCP_BT_UNKNOWN});
            ++i;
        } else if (cur.started || DrvScpi_IsBlank(c)) {
            ++i;
        } else if (scanElementStart(paramText, left, i, cur) != 0) {
            return refuseParameters(E220_PARAMETER_ERROR, paramText, i, remaining);
        }
    }
    storeElements(paramText, i, spans);
    return 0;
}

// Copies the parameter text and points the elements into the copy, trailing
// blanks removed (blocks keep every byte).
void ScpiParser::storeElements(const char* text, uint32_t length, const std::vector<ElementSpan>& spans) {
    if (spans.size() == 1 && !spans[0].started) {
        return;  // blanks only: no parameter
    }
    if (spans.size() > SCP_PARA_ELEMENT_MAX) {
        m_bTooManyElements = true;
        return;
    }
    g_acPara.assign(text, text + length);
    m_stParaInfo.u32TotalLen = length;
    for (const ElementSpan& s : spans) {
        uint32_t begin = s.begin;
        uint32_t end = s.end;
        if (s.type != SCP_BT_ARBITRARY) {
            while (end > begin && DrvScpi_IsBlank(g_acPara[end - 1])) {
                --end;
            }
        }
        const char* start = g_acPara.data() + begin;
        SCP_MSG_BLOCK_TYPE_EN type = s.type;
        if (s.started && type == SCP_BT_UNKNOWN) {
            type = DrvScpi_ClassifyPlainElement(start, end - begin);
        }
        m_stParaInfo.stElement.push_back({start, end - begin, type});
    }
    m_stParaInfo.u32ParaNum = static_cast<uint32_t>(m_stParaInfo.stElement.size());
}
