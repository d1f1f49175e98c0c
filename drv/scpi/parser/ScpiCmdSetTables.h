// Everything one command set consists of, so that selecting a set swaps the
// keyword tree and the enumeration map together.
#pragma once

#include <cstdint>

#include "scp_cmdtree.h"

// Keyword levels a header may have in every set.
constexpr uint8_t SCP_CMD_TREE_DEPTH = 7;

struct ScpiCmdSetTables {
    const parseKeywordNodeStru* pastKeywordTree;
    uint16_t u16TotalKeywordNum;   // rows
    uint16_t u16TotalCmdNum;       // leaves, reachable or not
    uint8_t u8CmdTreeDepth;
    const ScpiEnumMap* pEnumMap;
    const ScpiListedCmd* pastListedCmd;
    uint16_t u16ListedCmdNum;
};

// Command sets are numbered as ScpiCmdSet: 0 own set, 1 Corvane, 2 Pello.
constexpr int32_t SCP_CMD_SET_NUM = 3;

// The tables of set s32CmdSet, or nullptr for a number that names no set.
// The enumeration maps are complete once main runs.
const ScpiCmdSetTables* ScpiCmdSetTablesGet(int32_t s32CmdSet);
