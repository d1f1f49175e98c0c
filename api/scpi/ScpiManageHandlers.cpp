// The handlers of ScpiManage: IEEE 488.2 common commands, the STATus
// registers, the error queue and version, and the command-set selection.
#include <string>

#include "CDataManage.h"
#include "CFEM.h"
#include "DrvInterfaceManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "ScpiManage.h"
#include "Poller/EventPoller.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "proto_extract.h"
#include "proto_insert.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

// The item code: the key a query answers under and a setter reads from.
constexpr int itemOf(unsigned int id) {
    return static_cast<int>(id & 0xFFFFu);
}

// A setter's value: false when the request lacks it; another kind counts as 0.
bool setterValue(const ValueMap& in, unsigned int id, int& value) {
    auto it = in.find(itemOf(id));
    if (it == in.end()) {
        PrintE("param size not right");
        return false;
    }
    value = s32Of(it->second);
    return true;
}

void answerS32(ValueMap* out, unsigned int id, int value) {
    insertS32(*out, itemOf(id), static_cast<uint32_t>(value));
}

constexpr unsigned int kIdCls = 0x10001B00;
constexpr unsigned int kIdEse = 0x10001B01;
constexpr unsigned int kIdEseQ = 0x20001B01;
constexpr unsigned int kIdEsrQ = 0x20001B02;
constexpr unsigned int kIdIdnQ = 0x20001B03;
constexpr unsigned int kIdOpc = 0x10001B04;
constexpr unsigned int kIdOpcQ = 0x20001B04;
constexpr unsigned int kIdPsc = 0x10001B05;
constexpr unsigned int kIdPscQ = 0x20001B05;
constexpr unsigned int kIdRst = 0x10001B06;
constexpr unsigned int kIdSre = 0x10001B07;
constexpr unsigned int kIdSreQ = 0x20001B07;
constexpr unsigned int kIdStbQ = 0x20001B08;
constexpr unsigned int kIdTrg = 0x10001B09;
constexpr unsigned int kIdTstQ = 0x20001B0A;
constexpr unsigned int kIdWai = 0x10001B0B;
constexpr unsigned int kIdOperCondQ = 0x20001D00;
constexpr unsigned int kIdOperEnable = 0x10001D01;
constexpr unsigned int kIdOperEnableQ = 0x20001D01;
constexpr unsigned int kIdOperEventQ = 0x20001D02;
constexpr unsigned int kIdPreset = 0x10001D03;
constexpr unsigned int kIdQuesCondQ = 0x20001D04;
constexpr unsigned int kIdQuesEnable = 0x10001D05;
constexpr unsigned int kIdQuesEnableQ = 0x20001D05;
constexpr unsigned int kIdQuesEventQ = 0x20001D06;
constexpr unsigned int kIdErrorQ = 0x20001E00;
constexpr unsigned int kIdVersionQ = 0x20001E01;
constexpr unsigned int kIdCmdSet = 0x10001C00;
constexpr unsigned int kIdCmdSetQ = 0x20001C00;

}  // namespace

void ScpiManage::getCallbacks(std::map<unsigned int, cb_func>& entries) {
    entries[kIdCls] = cbIeeeClsSet;
    entries[kIdEse] = cbIeeeEseSet;
    entries[kIdEseQ] = cbIeeeEseGet;
    entries[kIdEsrQ] = cbIeeeEsrGet;
    entries[kIdIdnQ] = cbIeeeIdnGet;
    entries[kIdOpc] = cbIeeeOpcSet;
    entries[kIdOpcQ] = cbIeeeOpcGet;
    entries[kIdPsc] = cbIeeePscSet;
    entries[kIdPscQ] = cbIeeePscGet;
    entries[kIdRst] = cbIeeeRstSet;
    entries[kIdSre] = cbIeeeSreSet;
    entries[kIdSreQ] = cbIeeeSreGet;
    entries[kIdStbQ] = cbIeeeStbGet;
    entries[kIdTrg] = cbIeeeTrgSet;
    entries[kIdTstQ] = cbIeeeTstGet;
    entries[kIdWai] = cbIeeeWaiSet;
    entries[kIdOperCondQ] = cbStatOperCondGet;
    entries[kIdOperEnable] = cbStatOperEnableSet;
    entries[kIdOperEnableQ] = cbStatOperEnableGet;
    entries[kIdOperEventQ] = cbStatOperEventGet;
    entries[kIdPreset] = cbStatPresetSet;
    entries[kIdQuesCondQ] = cbStatQuesCondGet;
    entries[kIdQuesEnable] = cbStatQuesEnableSet;
    entries[kIdQuesEnableQ] = cbStatQuesEnableGet;
    entries[kIdQuesEventQ] = cbStatQuesEventGet;
    entries[kIdErrorQ] = cbSystemScpiErrorGet;
    entries[kIdVersionQ] = cbSystemScpiVersionGet;
    entries[kIdCmdSet] = [this](unsigned int source, const ValueMap& in, ValueMap* out) {
        return cbScpiCommandSet(source, in, out);
    };
    entries[kIdCmdSetQ] = [this](unsigned int source, const ValueMap& in, ValueMap* out) {
        return cbScpiCommandGet(source, in, out);
    };
}

int ScpiManage::cbIeeeClsSet(unsigned int, const ValueMap&, ValueMap*) {
    // Operation complete idle: no *OPC waits for the armed acquisition. First,
    // so that an end in between sets a bit the clearing then removes.
    CDataManage::instance()->DM_OpcCancel();
    return IEEE488_CLS_Excu();
}

int ScpiManage::cbIeeeEseSet(unsigned int, const ValueMap& in, ValueMap*) {
    int value = 0;
    if (!setterValue(in, kIdEse, value)) {
        return E109_MISSING_PARAMETER;
    }
    PrintI("Set ESE : %d", value);
    return IEEE488_ESE_Excu(value);
}

int ScpiManage::cbIeeeEseGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdEseQ, DrvScpi_GetStatusRegs().u8ScpESE);
    return 0;
}

int ScpiManage::cbIeeeEsrGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdEsrQ, IEEE488_ESR_ReadClear());
    return 0;
}

int ScpiManage::cbIeeeIdnGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::string idn = "Vorna Technologies";
    if (SystemSetup* setup = SINGLETON_PTR(SystemSetup)) {
        idn += "," + setup->API_GetIdentity();
    }
    PrintI("strIdn: %s", idn.c_str());
    insertStr(*out, itemOf(kIdIdnQ), idn.c_str());
    return 0;
}

int ScpiManage::cbIeeeOpcSet(unsigned int, const ValueMap&, ValueMap*) {
    // An armed acquisition is the operation pending: its end sets the bit.
    if (!CDataManage::instance()->DM_OpcWhenDone()) {
        return 0;
    }
    return IEEE488_OPC_Excu();
}

int ScpiManage::waitOperation() {
    // Never on the first poller: such a list goes to its client's worker when
    // an operation is pending as it is handed over, or when commands before
    // it in the list may leave one pending. One that began after that (by a
    // list running on a worker) began after this command: nothing to wait.
    if (toolkit::EventPoller::Instance().isCurrentThread()) {
        return 0;
    }
    return CDataManage::instance()->DM_WaitAcquisition();
}

int ScpiManage::cbIeeeOpcGet(unsigned int, const ValueMap&, ValueMap* out) {
    const int result = waitOperation();
    if (result != 0) {
        return result;
    }
    answerS32(out, kIdOpcQ, 1);
    return 0;
}

int ScpiManage::cbIeeePscSet(unsigned int, const ValueMap& in, ValueMap*) {
    int value = 0;
    if (!setterValue(in, kIdPsc, value)) {
        return E109_MISSING_PARAMETER;
    }
    return IEEE488_PSC_Excu(value);
}

int ScpiManage::cbIeeePscGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertBval(*out, itemOf(kIdPscQ), DrvScpi_GetStatusRegs().bScpPsc);
    return 0;
}

int ScpiManage::cbIeeeRstSet(unsigned int, const ValueMap&, ValueMap*) {
    StorageCore* storage = SINGLETON_PTR(StorageCore);
    if (storage == nullptr) {
        PrintE("cbIeeeRstSet failed! SINGLETON_PTR(StorageCore) is nullptr");
        return E310_SYSTEM_ERROR;
    }
    // Operation complete idle, as after *CLS: what the reset leaves pending
    // (the reading its new trigger source stores) sets nothing later.
    CDataManage::instance()->DM_OpcCancel();
    storage->DefaultConfigLoad();
    storage->ConfigResetSyncToUI();
    return IEEE488_RST_Excu();
}

int ScpiManage::cbIeeeSreSet(unsigned int, const ValueMap& in, ValueMap*) {
    int value = 0;
    if (!setterValue(in, kIdSre, value)) {
        return E109_MISSING_PARAMETER;
    }
    return IEEE488_SRE_Excu(value);
}

int ScpiManage::cbIeeeSreGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdSreQ, DrvScpi_GetStatusRegs().u8ScpSRE);
    return 0;
}

int ScpiManage::cbIeeeStbGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdStbQ, DrvScpi_StatusByte());
    return 0;
}

int ScpiManage::cbIeeeTrgSet(unsigned int, const ValueMap&, ValueMap*) {
    return CDataManage::instance()->ScpiTrigSingleTriggered();
}

int ScpiManage::cbIeeeTstGet(unsigned int, const ValueMap&, ValueMap* out) {
    // No self-test exists to fail; answering keeps the client from waiting out
    // its time-out.
    answerS32(out, kIdTstQ, 0);
    return 0;
}

int ScpiManage::cbIeeeWaiSet(unsigned int, const ValueMap&, ValueMap*) {
    const int result = waitOperation();
    if (result != 0) {
        return result;
    }
    return IEEE488_WAI_Excu();
}

int ScpiManage::cbStatOperCondGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdOperCondQ, DrvScpi_GetStatusRegs().u16ScpOSR_C);
    return 0;
}

int ScpiManage::cbStatOperEnableSet(unsigned int, const ValueMap& in, ValueMap*) {
    int value = 0;
    if (!setterValue(in, kIdOperEnable, value)) {
        return E109_MISSING_PARAMETER;
    }
    PrintI("Set oper enable : %d", value);
    return SCPI_STAT_OPER_ENAB_Excu(value);
}

int ScpiManage::cbStatOperEnableGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdOperEnableQ, DrvScpi_GetStatusRegs().u16ScpOSR_E);
    return 0;
}

int ScpiManage::cbStatOperEventGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdOperEventQ, SCPI_STAT_OPER_EVENT_ReadClear());
    return 0;
}

int ScpiManage::cbStatPresetSet(unsigned int, const ValueMap&, ValueMap*) {
    return SCPI_STAT_PRES_Excu();
}

int ScpiManage::cbStatQuesCondGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdQuesCondQ, DrvScpi_GetStatusRegs().u16ScpQSR_C);
    return 0;
}

int ScpiManage::cbStatQuesEnableSet(unsigned int, const ValueMap& in, ValueMap*) {
    int value = 0;
    if (!setterValue(in, kIdQuesEnable, value)) {
        return E109_MISSING_PARAMETER;
    }
    PrintI("Set ques enable : %d", value);
    return SCPI_STAT_QUES_ENAB_Excu(value);
}

int ScpiManage::cbStatQuesEnableGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdQuesEnableQ, DrvScpi_GetStatusRegs().u16ScpQSR_E);
    return 0;
}

int ScpiManage::cbStatQuesEventGet(unsigned int, const ValueMap&, ValueMap* out) {
    answerS32(out, kIdQuesEventQ, SCPI_STAT_QUES_EVENT_ReadClear());
    return 0;
}

int ScpiManage::cbSystemScpiErrorGet(unsigned int, const ValueMap&, ValueMap* out) {
    const char* entry = SCP_ReadErrQueue(SCP_CurrentInterface());
    insertStr(*out, itemOf(kIdErrorQ), entry != nullptr ? entry : g_asErrInfo[E0_NO_ERROR]);
    return 0;
}

int ScpiManage::cbSystemScpiVersionGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertStr(*out, itemOf(kIdVersionQ), "1999.0");
    return 0;
}

int ScpiManage::cbScpiCommandSet(unsigned int, const ValueMap& in, ValueMap*) {
    int set = 0;
    if (!setterValue(in, kIdCmdSet, set)) {
        return E109_MISSING_PARAMETER;
    }
    int result = mParser.ApiScpi_SelectCmdTree(set);
    ValueMap notice;
    insertS32(notice, ON_SCPI_CMD_SET_CHANGED, static_cast<uint32_t>(set));
    CFEM::pushMessage(ON_SCPI_CMD_SET_CHANGED, std::move(notice));
    PrintI("Command set : %d", set);
    return result;
}

int ScpiManage::cbScpiCommandGet(unsigned int, const ValueMap&, ValueMap* out) {
    static const char* const names[] = {"VORN", "CORV", "PELL"};
    int set = mParser.ApiScpi_CmdTreeGet();
    if (set >= 0 && set < 3) {
        insertStr(*out, itemOf(kIdCmdSetQ), names[set]);
    }
    return 0;
}
