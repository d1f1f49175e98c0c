// The commands of a command set as its data file lists them, kept beside the
// tables so that tests can walk every listed path to the row it must reach.
#pragma once

#include <cstdint>

#include "ScpiTreeDataFormat.h"

struct ScpiListedCmd {
    const char* ps8Path;       // long form, optional keywords in brackets
    int16_t s16Row;            // the leaf row the command ends on
    uint32_t u32FuncId;
    uint16_t u16ParamNum;
    uint32_t u32ParamId[3];
    PType type[3];
    bool bReachable;           // false: a row no link reaches; no header may name it
};
