#include "ScpiRefusal.h"

#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"

ScpiRefusal ScpiRefusalOfCode(uint32_t code) {
    return ScpiRefusal{SCP_ESR_CME, SCP_ErrCodeRow(code)};
}

void ScpiReportRefusals(const ScpiRefusals& refusals) {
    for (const ScpiRefusal& refusal : refusals) {
        if (refusal.u8Event == SCP_ESR_EXE) {
            SCP_ExecuteErrNotify();
        } else if (refusal.u8Event == SCP_ESR_CME) {
            SCP_CommandErrNotify();
        }
        if (refusal.s32Row >= 0 && refusal.s32Row < SCP_ERR_DEF_BUTT) {
            SCP_WriteErrorQueue(g_asErrInfo[refusal.s32Row]);
        }
    }
}
