#include "DrvInterfaceManage.h"

#include <cstring>

#include "DrvScpiOsIntf.h"

namespace {

// Zeroed with the process; only entry 1 is ever set up.
SCP_INTERFACE_INFO m_astInterfaceInfo[SCP_INTERFACE_NUM];
MEM_FOR_CMDPARSE m_astForCmdParseBuf[SCP_INTERFACE_NUM];
const uint8_t m_u8Interfacetype = 1;
// One bit per interface number (wide enough for all of them).
uint32_t m_u8InterfaceIsUsed = 0;

bool exists(uint8_t interface) {
    return interface < SCP_INTERFACE_NUM;
}

// Sets up `queue` empty with `count` places and lends its nodes to the free list.
int registerQueue(SCP_QUEUE_S& queue, SCP_QUEUE_S& freeQueue, uint8_t count, SCP_NODE_S* nodes) {
    if (nodes == nullptr || count == 0) {
        return -1;
    }
    SCP_QueueInit(&queue, count);
    for (uint8_t i = 0; i < count; ++i) {
        std::memset(&nodes[i], 0, sizeof(SCP_NODE_S));
        SCP_QueuePushFront(&freeQueue, &nodes[i]);
    }
    freeQueue.u8TotalNodeCnt = static_cast<uint8_t>(freeQueue.u8TotalNodeCnt + count);
    return 0;
}

} // namespace

SCP_INTERFACE_INFO* SCP_InterfaceInfo(uint8_t interface) {
    return exists(interface) ? &m_astInterfaceInfo[interface] : nullptr;
}

uint8_t SCP_CurrentInterface() {
    return m_u8Interfacetype;
}

int SCP_RegisterInterfaceInQueue(uint8_t* buffer, uint32_t length, uint8_t interface, SCP_MEM_OPTION_EN option) {
    if (!exists(interface) || buffer == nullptr || length == 0) {
        return -1;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO& info = m_astInterfaceInfo[interface];
    if (info.u16IsUsed == 0) {
        std::memset(&info, 0, sizeof(info));
        info.u16IsUsed = 1;
    }
    SCP_IN_BUF_S& in = info.inQueue;
    in.au8Buf = buffer;
    in.u32BufLen = length;
    in.opt = option;
    in.pu8ReadPtr = in.pu8PreReadPtr = in.pu8WritePtr = in.pu8LastPktPtr = buffer;
    in.u32LastPktLen = 0;
    in.ib_full = 0;
    in.ib_empty = 1;
    return 0;
}

int SCP_RegisterInterfaceFmtBuf(char* buffer, uint32_t length, uint8_t interface, SCP_MEM_OPTION_EN option) {
    if (!exists(interface) || buffer == nullptr || length == 0) {
        return -1;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO& info = m_astInterfaceInfo[interface];
    info.pscFormatBuf = buffer;
    info.pscFormatBufEnd = buffer + length - 1;
    info.pscFormatP = buffer;
    info.u32FormatBufLen = length;
    info.opt = option;
    return 0;
}

int SCP_RegisterInterfaceOutQueueNum(uint8_t count, uint8_t interface, SCP_NODE_S* nodes) {
    if (!exists(interface)) {
        return -1;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO& info = m_astInterfaceInfo[interface];
    return registerQueue(info.OutQueue, info.FreeQueue, count, nodes);
}

int SCP_RegisterInterfaceErrQueueNum(uint8_t count, uint8_t interface, SCP_NODE_S* nodes) {
    if (!exists(interface)) {
        return -1;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO& info = m_astInterfaceInfo[interface];
    return registerQueue(info.ErrQueue, info.FreeQueue, count, nodes);
}

int SCP_RegInfResDataBuf(uint8_t interface, uint32_t count, uint32_t size, uint8_t* buffer) {
    if (!exists(interface) || buffer == nullptr || count == 0 || size == 0 || count > SCP_RES_BUF_MAX_NUM) {
        return -1;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_RES_DATA_NODE_S& res = m_astInterfaceInfo[interface].ResDataList;
    res.u32TotNum = count;
    res.u16IdleNum = static_cast<uint16_t>(count);
    res.u16Index = 0;
    res.u32BufLen = size;
    for (uint32_t i = 0; i < SCP_RES_BUF_MAX_NUM; ++i) {
        res.pau8Buf[i] = i < count ? buffer + i * size : nullptr;
    }
    return 0;
}

uint8_t Interface_SCPManage(uint8_t interface) {
    if (!exists(interface)) {
        return SCP_INTERFACE_INVALID;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    MEM_FOR_CMDPARSE& mem = m_astForCmdParseBuf[interface];
    // Registering the nodes a second time would put them on the free list
    // twice and tie the queues into loops.
    if (mem.s8IsUsed) {
        return interface;
    }
    if (SCP_RegisterInterfaceInQueue(mem.as8InBuf, SCP_IN_BUF_LEN, interface, SCP_MEM_NOT_FREE) != 0 ||
        SCP_RegisterInterfaceFmtBuf(mem.as8FmtBuf, SCP_FMT_BUF_LEN, interface, SCP_MEM_NOT_FREE) != 0 ||
        SCP_RegisterInterfaceOutQueueNum(SCP_OUT_QUEUE_NODE_NUM, interface, mem.astOutNodes) != 0 ||
        SCP_RegisterInterfaceErrQueueNum(SCP_ERR_QUEUE_NODE_NUM, interface, mem.astErrNodes) != 0) {
        return SCP_INTERFACE_INVALID;
    }
    SCP_RegInfResDataBuf(interface, SCP_RES_BUF_NUM, SCP_RES_BUF_LEN, mem.as8ResBuf);
    mem.s8IsUsed = 1;
    mem.s8InterfaceNum = static_cast<char>(interface);
    return interface;
}

void SCP_SetInterfaceIsUsed(uint8_t interface) {
    if (!exists(interface)) {
        return;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    m_u8InterfaceIsUsed |= 1u << interface;
}

bool SCP_InterfaceIsRegistered(uint8_t interface) {
    if (!exists(interface)) {
        return false;
    }
    SCP_LockGuard lock(SCP_LibMutex());
    return m_astInterfaceInfo[interface].u16IsUsed != 0;
}

void SCP_ReleaseNodePayload(SCP_INTERFACE_INFO* info, SCP_NODE_S* node) {
    SCP_Q_ELEMENT_S& element = node->stElement;
    if (element.u8Status != SCP_Q_ELE_WAITING_FOR_FREE || element.pscPayload == nullptr) {
        return;
    }
    element.pscPayload = nullptr;
    element.u8Status = SCP_Q_ELE_FREE;
    SCP_RES_DATA_NODE_S& res = info->ResDataList;
    if (res.u16IdleNum < res.u32TotNum) {
        ++res.u16IdleNum;
    }
}

void SCP_ClearInQueue(uint8_t interface) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (!exists(interface) || m_astInterfaceInfo[interface].u16IsUsed == 0) {
        return;
    }
    SCP_INTERFACE_INFO& info = m_astInterfaceInfo[interface];
    SCP_IN_BUF_S& in = info.inQueue;
    in.pu8ReadPtr = in.pu8PreReadPtr = in.pu8WritePtr = in.pu8LastPktPtr = in.au8Buf;
    in.u32LastPktLen = 0;
    in.ib_full = 0;
    in.ib_empty = 1;
    for (SCP_NODE_S* node = info.FreeQueue.pHeader; node != nullptr; node = node->pstNext) {
        SCP_ReleaseNodePayload(&info, node);
    }
}

void SCP_ClearTxState(uint8_t interface) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (!exists(interface)) {
        return;
    }
    SCP_INTERFACE_INFO& info = m_astInterfaceInfo[interface];
    info.u8IsStartDataCopy = 0;
    info.u32TotalTxDataLen = 0;
    info.u32CurTxDataLen = 0;
    info.u32TxTmpBufDataLen = 0;
    info.u32HostFetchLen = 0;
    info.pu8StartPtr = nullptr;
    info.pu8TxTmpBufPtr = nullptr;
    info.pu8CurPtr = nullptr;
    info.pscDataPtr = nullptr;
}
