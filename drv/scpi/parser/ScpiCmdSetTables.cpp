#include "ScpiCmdSetTables.h"

const ScpiCmdSetTables* ScpiCmdSetTablesGet(int32_t s32CmdSet)
{
    // Filled on first use from the generated tables.
    static const ScpiCmdSetTables s_astSets[SCP_CMD_SET_NUM] = {
        {astKeywordNodeVorna, u16KeywordNumVorna, u16CmdNumVorna, SCP_CMD_TREE_DEPTH,
         &scpiEnumMapVorna, astListedCmdVorna, u16ListedCmdNumVorna},
        {astKeywordNodeCorvane, u16KeywordNumCorvane, u16CmdNumCorvane, SCP_CMD_TREE_DEPTH,
         &scpiEnumMapCorvane, astListedCmdCorvane, u16ListedCmdNumCorvane},
        {astKeywordNodePello, u16KeywordNumPello, u16CmdNumPello, SCP_CMD_TREE_DEPTH,
         &scpiEnumMapPello, astListedCmdPello, u16ListedCmdNumPello},
    };
    if (s32CmdSet < 0 || s32CmdSet >= SCP_CMD_SET_NUM) {
        return nullptr;
    }
    return &s_astSets[s32CmdSet];
}
