// Program-message building blocks of the SCPI library: the parsed parameter
// elements, the registration record of a command set, keyword splitting and
// the classification of plain parameter elements.
#pragma once

#include <cstdint>
#include <vector>

#include "ScpiTreeDataFormat.h"

// Kind of one program data element.
enum SCP_MSG_BLOCK_TYPE_EN : uint8_t {
    SCP_BT_CHAR = 0,        // character data: ON, MIN, EXTernal
    SCP_BT_DECIMAL = 1,     // a decimal number: 16, -1.5E+3, .5
    SCP_BT_SUFFIX = 2,      // a decimal number with a unit: 10 mV, 1.5KHZ
    SCP_BT_NONDECIMAL = 3,  // #H1F, #B101, #Q17
    SCP_BT_STRING = 4,      // quoted text, quotes kept
    SCP_BT_ARBITRARY = 5,   // definite-length block #<n><len><bytes>
    SCP_BT_EXPRESSION = 6,  // parenthesised text
    SCP_BT_UNKNOWN = 7,     // anything else, such as 192.168.0.1 or 1.2.3
};

// One element, pointing into the parser's copy of the parameter text. The
// bytes are not NUL-terminated (a block may hold NULs and separators): use
// u32Length.
struct SCP_PARA_ELEMENT_S {
    const char* pscStart;
    uint32_t u32Length;
    SCP_MSG_BLOCK_TYPE_EN eType;
};

// The elements of the command being parsed.
struct SCP_PARSE_PARA_INFO_S {
    uint32_t u32ParaNum;    // element count, at most SCP_PARA_ELEMENT_MAX
    uint32_t u32TotalLen;   // bytes of parameter text
    uint32_t u32CurIndex;
    const PType* pType;     // the matched row's parameter types
    Direction direction;    // the matched row's direction
    std::vector<SCP_PARA_ELEMENT_S> stElement;
};

// Registration record of the active command set.
struct SCP_REG_CMD_SET_S {
    uint8_t u8Registed;
    uint8_t u8CmdTreeDepth;
    uint16_t u16TotalCmdNum;
    uint16_t u16TotalKeywordNum;
    uint16_t u16Padding;
    void* pafCallBack;  // not used: commands are dispatched by message id
    const parseKeywordNodeStru* pastKeywordTree;
};

// Bounds of one program message unit.
constexpr uint32_t SCP_HEADER_MAX_LEN = 1024;     // header bytes
constexpr uint32_t SCP_PARA_TEXT_MAX_LEN = 1279;  // parameter text bytes
constexpr uint32_t SCP_PARA_ELEMENT_MAX = 6;      // elements per command
constexpr uint32_t SCP_KEYWORD_SLOT_NUM = 6;      // keywords per header
constexpr uint32_t SCP_KEYWORD_SLOT_LEN = 20;     // 19 characters and the NUL

using SCP_KEYWORD_ARRAY = char[SCP_KEYWORD_SLOT_NUM][SCP_KEYWORD_SLOT_LEN];

// Bytes 1 to 9 and 11 to 32: every control character and space except the
// line feed, which ends a program message.
inline bool DrvScpi_IsBlank(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u != 0 && u != '\n' && u <= ' ';
}

// What DrvScpi_GetKeyword returns for a header with a piece longer than 19
// characters: no row bears so long a name, so the header is an undefined one.
constexpr uint32_t SCP_KEYWORD_TOO_LONG = UINT32_MAX;

// Splits a header into keywords: upper-cases a to z in place, drops spaces and
// copies the pieces between ':' into the slots. One leading ':' is skipped.
// Returns 0 when a piece is empty (the header is then ignored),
// SCP_KEYWORD_TOO_LONG when one is longer than 19 characters, otherwise the
// number of pieces up to u8TreeDepth. Only the first SCP_KEYWORD_SLOT_NUM
// pieces are stored; a larger count tells the caller that the header has too
// many keywords.
uint32_t DrvScpi_GetKeyword(char* header, SCP_KEYWORD_ARRAY& keywords, uint8_t u8TreeDepth);

// Kind of a plain element (no quote, parenthesis or '#' in front): a decimal
// number, a number with a unit, character data or unknown.
SCP_MSG_BLOCK_TYPE_EN DrvScpi_ClassifyPlainElement(const char* text, uint32_t length);
