#include "DrvScpiSM.h"

#include <cstdio>

#include "DrvInterfaceManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiOsIntf.h"
#include "DrvScpiQueue.h"
#include "DrvScpiRspFmt.h"

namespace {

uint8_t g_u8ScpSRE = 0;
uint16_t m_u16ScpOSR_C = 0;
uint16_t m_u16ScpOSR_EV = 0;
uint16_t g_u16ScpOSR_E = 0;
uint16_t m_u16ScpQSR_C = 0;
uint16_t m_u16ScpQSR_EV = 0;
uint16_t g_u16ScpQSR_E = 0;
bool g_bScpPsc = true;

// Operation-complete state. No command of this system runs overlapped, so the
// pending count stays 0 unless a future command raises it.
int32_t g_s32ScpNoOperPendingFlag = 0;
uint8_t g_u8ScpOpcEvFlag = 0;
uint8_t g_u8ScpOpcQryFlag = 0;
uint8_t m_u8ScpSM = SCP_SM_IDLE;

// The current interface's record; the caller holds the lock.
SCP_INTERFACE_INFO& current() {
    return *SCP_InterfaceInfo(SCP_CurrentInterface());
}

// Sets standard event bits; their summary shows in the status byte, which is
// computed whenever it is read.
void raiseEvent(uint8_t bits) {
    current().u8ScpESR |= bits;
}

// The status byte as IEEE 488.2 defines it, from the registers it summarises:
// a summary bit can never outlive the event that set it, and a service
// request follows from whatever enabled bit is on.
uint8_t computeStatusByte() {
    const SCP_INTERFACE_INFO& info = current();
    uint8_t stb = 0;
    if (info.ErrQueue.u8NodeCnt > 0) stb |= SCP_STB_ERR_QUEUE;
    if (m_u16ScpQSR_EV & g_u16ScpQSR_E) stb |= SCP_STB_QUES_SUMMARY;
    if (info.u8ScpESR & info.u8ScpESE) stb |= SCP_STB_ESB;
    if (stb & g_u8ScpSRE & static_cast<uint8_t>(~SCP_STB_MSS)) stb |= SCP_STB_MSS;
    return stb;
}

// The common refusal of an enable value: the register keeps its value.
int refuse() {
    raiseEvent(SCP_ESR_CME);
    return E222_DATA_OUT_OF_RANGE;
}

// Events and standard event register back to 0 (and with them the status
// byte's summaries); enables and conditions are kept.
void clearEvents() {
    m_u16ScpOSR_EV = 0;
    m_u16ScpQSR_EV = 0;
    current().u8ScpESR = 0;
}

void clearQueues(uint8_t interface) {
    SCP_ClearInQueue(interface);
    SCP_ClearErrQueue(interface);
    SCP_ClearTxState(interface);
}

} // namespace

void DrvScpi_SmInitial() {
    SCP_LockGuard lock(SCP_LibMutex());
    std::printf("DrvScpi_SmInitial start\n");
    m_u8ScpSM = SCP_SM_IDLE;
    if (g_bScpPsc) {
        g_u8ScpSRE = 0;
        g_u16ScpQSR_E = 0;
        g_u16ScpOSR_E = 0;
        current().u8ScpESE = 0;
    }
    g_s32ScpNoOperPendingFlag = 0;
    g_u8ScpOpcEvFlag = 0;
    g_u8ScpOpcQryFlag = 0;
    m_u16ScpQSR_C = 0;
    m_u16ScpQSR_EV = 0;
    m_u16ScpOSR_C = 0;
    m_u16ScpOSR_EV = 0;
    current().u8ScpESR = 0;
}

void SCP_ExecuteDoneNotify() {
    SCP_LockGuard lock(SCP_LibMutex());
    if (g_s32ScpNoOperPendingFlag < 1) {
        g_s32ScpNoOperPendingFlag = 0;
        return;
    }
    if (--g_s32ScpNoOperPendingFlag > 0) {
        return;
    }
    if (g_u8ScpOpcEvFlag) {
        g_u8ScpOpcEvFlag = 0;
        raiseEvent(SCP_ESR_OPC);
    }
    if (g_u8ScpOpcQryFlag) {
        g_u8ScpOpcQryFlag = 0;
        SCP_RspFormatter("1");
    }
}

void SCP_ExecuteErrNotify() {
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_ExecuteDoneNotify();
    raiseEvent(SCP_ESR_EXE);
}

void SCP_CommandErrNotify() {
    SCP_LockGuard lock(SCP_LibMutex());
    raiseEvent(SCP_ESR_CME);
}

int IEEE488_CLS_Excu() {
    SCP_LockGuard lock(SCP_LibMutex());
    std::printf("IEEE488_CLS_Excu start\n");
    clearEvents();
    uint8_t interface = SCP_CurrentInterface();
    if (SCP_InterfaceIsRegistered(interface)) {
        clearQueues(interface);
    }
    SCP_ExecuteDoneNotify();
    std::printf("IEEE488_CLS_Excu end\n");
    return 0;
}

int IEEE488_RST_Excu() {
    SCP_LockGuard lock(SCP_LibMutex());
    clearEvents();
    for (uint8_t interface = 0; interface < SCP_INTERFACE_NUM; ++interface) {
        if (SCP_InterfaceIsRegistered(interface)) {
            clearQueues(interface);
        }
    }
    SCP_ExecuteDoneNotify();
    return 0;
}

int IEEE488_ESE_Excu(int value) {
    SCP_LockGuard lock(SCP_LibMutex());
    std::printf("IEEE488_ESE_Excu start\n");
    if (value & ~static_cast<int>(SCP_ESE_MASK)) {
        return refuse();
    }
    current().u8ScpESE = static_cast<uint8_t>(value);
    SCP_ExecuteDoneNotify();
    std::printf("IEEE488_ESE_Excu end\n");
    return 0;
}

int IEEE488_SRE_Excu(int value) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (value & ~static_cast<int>(SCP_SRE_MASK)) {
        return refuse();
    }
    g_u8ScpSRE = static_cast<uint8_t>(value);
    SCP_ExecuteDoneNotify();
    return 0;
}

int IEEE488_PSC_Excu(int value) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (value != 0 && value != 1) {
        return refuse();
    }
    g_bScpPsc = value != 0;
    SCP_ExecuteDoneNotify();
    return 0;
}

int IEEE488_OPC_Excu() {
    SCP_LockGuard lock(SCP_LibMutex());
    g_u8ScpOpcEvFlag = 1;
    raiseEvent(SCP_ESR_OPC);
    SCP_ExecuteDoneNotify();
    return 0;
}

int IEEE488_WAI_Excu() {
    SCP_ExecuteDoneNotify();
    return 0;
}

int SCPI_STAT_OPER_ENAB_Excu(int value) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (value & ~static_cast<int>(SCP_OPER_ENABLE_MASK)) {
        return refuse();
    }
    g_u16ScpOSR_E = static_cast<uint16_t>(value);
    SCP_ExecuteDoneNotify();
    return 0;
}

int SCPI_STAT_QUES_ENAB_Excu(int value) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (value & ~static_cast<int>(SCP_QUES_ENABLE_MASK)) {
        return refuse();
    }
    g_u16ScpQSR_E = static_cast<uint16_t>(value);
    SCP_ExecuteDoneNotify();
    return 0;
}

int SCPI_STAT_PRES_Excu() {
    SCP_LockGuard lock(SCP_LibMutex());
    g_u16ScpOSR_E = 0;
    g_u16ScpQSR_E = 0;
    uint8_t interface = SCP_CurrentInterface();
    while (SCP_ReadErrQueue(interface) != nullptr) {
    }
    SCP_ExecuteDoneNotify();
    return 0;
}

SCP_STATUS_REGS_S DrvScpi_GetStatusRegs() {
    SCP_LockGuard lock(SCP_LibMutex());
    const SCP_INTERFACE_INFO& info = current();
    SCP_STATUS_REGS_S regs{};
    regs.u8ScpESR = info.u8ScpESR;
    regs.u8ScpESE = info.u8ScpESE;
    regs.u8ScpSTB = computeStatusByte();
    regs.u8ScpSRE = g_u8ScpSRE;
    regs.bScpPsc = g_bScpPsc;
    regs.u16ScpOSR_C = m_u16ScpOSR_C;
    regs.u16ScpOSR_EV = m_u16ScpOSR_EV;
    regs.u16ScpOSR_E = g_u16ScpOSR_E;
    regs.u16ScpQSR_C = m_u16ScpQSR_C;
    regs.u16ScpQSR_EV = m_u16ScpQSR_EV;
    regs.u16ScpQSR_E = g_u16ScpQSR_E;
    return regs;
}

uint8_t IEEE488_ESR_ReadClear() {
    SCP_LockGuard lock(SCP_LibMutex());
    uint8_t value = current().u8ScpESR;
    current().u8ScpESR = 0;
    return value;
}

uint16_t SCPI_STAT_OPER_EVENT_ReadClear() {
    SCP_LockGuard lock(SCP_LibMutex());
    uint16_t value = m_u16ScpOSR_EV;
    m_u16ScpOSR_EV = 0;
    return value;
}

uint16_t SCPI_STAT_QUES_EVENT_ReadClear() {
    SCP_LockGuard lock(SCP_LibMutex());
    uint16_t value = m_u16ScpQSR_EV;
    m_u16ScpQSR_EV = 0;
    return value;
}

uint8_t DrvScpi_StatusByte() {
    SCP_LockGuard lock(SCP_LibMutex());
    return computeStatusByte();
}

void SCPI_STAT_QUES_ConditionSet(uint16_t mask, uint16_t bits) {
    SCP_LockGuard lock(SCP_LibMutex());
    bits &= mask;
    // A condition that comes true is latched in the event register.
    m_u16ScpQSR_EV |= static_cast<uint16_t>(bits & ~m_u16ScpQSR_C);
    m_u16ScpQSR_C = static_cast<uint16_t>((m_u16ScpQSR_C & ~mask) | bits);
}

void SCPI_STAT_OPER_ConditionBitsSet(uint16_t bits, bool on) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (on) {
        // A condition that comes true is latched in the event register.
        m_u16ScpOSR_EV |= static_cast<uint16_t>(bits & ~m_u16ScpOSR_C);
        m_u16ScpOSR_C |= bits;
    } else {
        m_u16ScpOSR_C &= static_cast<uint16_t>(~bits);
    }
}

uint8_t DrvScpi_GetSmState() {
    SCP_LockGuard lock(SCP_LibMutex());
    return m_u8ScpSM;
}

void DrvScpi_SetSmState(uint8_t state) {
    SCP_LockGuard lock(SCP_LibMutex());
    m_u8ScpSM = state;
}
