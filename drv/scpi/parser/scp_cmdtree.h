// The three SCPI command sets: keyword tables, keyword enumeration maps and
// the listed commands.  The tables are generated at build time from the data
// files in trees/ (see gen_trees.py).
#pragma once

#include <cstdint>

#include "ScpiEnumMap.h"
#include "ScpiListedCmd.h"
#include "ScpiTreeDataFormat.h"

// The instrument's own set (SCPI_CMD_VORNA).
extern const parseKeywordNodeStru astKeywordNodeVorna[];
extern const uint16_t u16KeywordNumVorna;
extern const uint16_t u16CmdNumVorna;
extern const ScpiListedCmd astListedCmdVorna[];
extern const uint16_t u16ListedCmdNumVorna;
extern const ScpiEnumMap scpiEnumMapVorna;

// SCPI_CMD_CORVANE.
extern const parseKeywordNodeStru astKeywordNodeCorvane[];
extern const uint16_t u16KeywordNumCorvane;
extern const uint16_t u16CmdNumCorvane;
extern const ScpiListedCmd astListedCmdCorvane[];
extern const uint16_t u16ListedCmdNumCorvane;
extern const ScpiEnumMap scpiEnumMapCorvane;

// SCPI_CMD_PELLO.
extern const parseKeywordNodeStru astKeywordNodePello[];
extern const uint16_t u16KeywordNumPello;
extern const uint16_t u16CmdNumPello;
extern const ScpiListedCmd astListedCmdPello[];
extern const uint16_t u16ListedCmdNumPello;
extern const ScpiEnumMap scpiEnumMapPello;
