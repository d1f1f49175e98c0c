// Record of one row of a SCPI command-set keyword table, and the enums it uses.
#pragma once

#include <cstdint>

// Direction of a command: a query answers, everything else sets or acts.
enum Direction : uint8_t {
    D_OUT = 0,
    D_IN = 1,
};

// How the text of a parameter is converted before it reaches the handler.
enum PType : int32_t {
    PT_NONE = -1,
    PT_NR1 = 0,
    PT_NR1_FL = 1,
    PT_NR2 = 2,
    PT_NR3 = 3,
    PT_BOOL = 4,
    PT_STRING = 5,
    PT_BIN = 6,
    PT_ENUM = 7,
    PT_ENUM_PT_NR3_EP1 = 8,
    PT_ENUM_PT_NR1 = 9,
    PT_NR1_LL = 10,
    PT_NR3_REAL = 11,
    PT_NR3_EN18 = 12,
    PT_NR3_EN15 = 13,
    PT_NR3_EN12 = 14,
    PT_NR3_EN9 = 15,
    PT_NR3_EN6 = 16,
    PT_NR3_EN3 = 17,
    PT_NR3_EN2 = 18,
    PT_NR3_EN1 = 19,
    PT_NR3_E0 = 20,
    PT_NR3_EP1 = 21,
    PT_NR3_EP2 = 22,
    PT_NR3_EP3 = 23,
    PT_NR3_EP6 = 24,
    PT_NR3_EP9 = 25,
    PT_NR3_EP12 = 26,
    PT_NR3_EP15 = 27,
    PT_NR3_EP18 = 28,
    PT_CURSOR = 29,
    PT_MATH = 30,
    PT_IMAGE = 31,
    PT_MEASURE = 32,
    PT_WFM_DATA = 33,
    PT_HEX = 34,
    PT_ALL = 35,
};

// Parameter slots per row; a command declares at most three.
constexpr int SCP_PARAM_SLOT_NUM = 5;

// One keyword of a command-set tree.  The tables are flat arrays in
// depth-first order: a child link always names the next row, a brother link
// a later row, and leaves are numbered in row order by u16CmdSN.
struct parseKeywordNodeStru {
    const char* ps8FullName;   // long form, mixed case; ends in "?" for a query
    const char* ps8ShortName;  // the leading upper-case run of the long form (+ "?")
    int16_t s16Child;          // first child row, or -1
    int16_t s16Brother;        // next sibling row, or -1
    uint16_t u16CmdSN;         // leaf: its command number; else that of the next leaf below
    uint32_t u32FuncId;        // message id of the command; 0 on keyword rows
    uint8_t b4Omit : 4;        // 1: optional keyword ([SENSe:], [:STATe])
    uint8_t b4IsSuffix : 4;    // numeric-suffix keyword; unused by the tables
    uint8_t u8Leaf;            // 1: a command ends here
    Direction direction;
    uint16_t u32ParamNum;      // declared parameters, 0 to 3
    uint32_t u32ParamId[SCP_PARAM_SLOT_NUM];  // request-map key per parameter
    PType type[SCP_PARAM_SLOT_NUM];           // conversion per parameter
    const char* ps8Unit[SCP_PARAM_SLOT_NUM];  // unit text; null throughout
};

// Whether a parameter of this type reaches the handler: the converter stores
// booleans, integers, texts, keywords and reals; a slot of any other type
// (PT_NONE, and the answer's own kind that some query rows declare) is
// dropped.
inline bool PTypeIsHandedOver(PType type) {
    switch (type) {
    case PT_NR1:
    case PT_BOOL:
    case PT_STRING:
    case PT_ENUM:
    case PT_ENUM_PT_NR3_EP1:
    case PT_ENUM_PT_NR1:
    case PT_NR3_REAL:
        return true;
    default:
        return false;
    }
}

// A command takes parameters when its row declares at least one that reaches
// the handler; any other command refuses a parameter rather than answer as if
// it had been given none.
inline bool ScpiRowTakesParameters(const parseKeywordNodeStru& row) {
    for (uint16_t i = 0; i < row.u32ParamNum && i < SCP_PARAM_SLOT_NUM; ++i) {
        if (PTypeIsHandedOver(row.type[i])) {
            return true;
        }
    }
    return false;
}

// The most elements a command takes: the slots its row declares. An element
// beyond them would land in an unused slot (key 0) and the command would run
// as if the client had written what it meant.
inline uint32_t ScpiRowParameterMax(const parseKeywordNodeStru& row) {
    return ScpiRowTakesParameters(row) ? row.u32ParamNum : 0;
}
