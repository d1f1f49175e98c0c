#include "DrvScpiQueue.h"

#include <cstdio>
#include <cstring>

#include "DrvInterfaceManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiOsIntf.h"

namespace {

// Errors held over all interfaces.
uint8_t m_u8ErrElementNum = 0;
SCP_NotifyNewErr_Callback m_pfNotifyNewErrCB = nullptr;

void notifyNewErr() {
    if (m_pfNotifyNewErrCB != nullptr) {
        m_pfNotifyNewErrCB();
    }
}

// Takes a node from the free list and appends it to the error queue holding
// `text`; SCP_NO_FREE_NODE when the free list is empty.
uint32_t queueIn(SCP_INTERFACE_INFO& info, const char* text, bool overflow) {
    SCP_NODE_S* node = SCP_QueueTakeHead(&info.FreeQueue);
    if (node == nullptr) {
        std::printf(overflow ? "SCP_QueueIn 1 error u32Ret = %d\n" : "SCP_QueueIn 2 error u32Ret = %d\n",
                    static_cast<int>(SCP_NO_FREE_NODE));
        return SCP_NO_FREE_NODE;
    }
    SCP_ReleaseNodePayload(&info, node);
    SCP_Q_ELEMENT_S& element = node->stElement;
    element.u32Length = static_cast<uint32_t>(std::strlen(text));
    element.u8Status = SCP_Q_ELE_DONOT_NEED_FREE;
    element.pscPayload = text;
    SCP_QueueAppend(&info.ErrQueue, node);
    ++m_u8ErrElementNum;
    notifyNewErr();
    return 0;
}

} // namespace

void SCP_QueueInit(SCP_QUEUE_S* queue, uint8_t capacity) {
    queue->u8NodeCnt = 0;
    queue->u8TotalNodeCnt = capacity;
    queue->u32Length = 0;
    queue->pHeader = nullptr;
    queue->pRear = nullptr;
}

SCP_NODE_S* SCP_QueueTakeHead(SCP_QUEUE_S* queue) {
    SCP_NODE_S* node = queue->pHeader;
    if (node == nullptr) {
        return nullptr;
    }
    queue->pHeader = node->pstNext;
    if (queue->pHeader == nullptr) {
        queue->pRear = nullptr;
    }
    node->pstNext = nullptr;
    --queue->u8NodeCnt;
    return node;
}

void SCP_QueueAppend(SCP_QUEUE_S* queue, SCP_NODE_S* node) {
    node->pstNext = nullptr;
    if (queue->pRear == nullptr) {
        queue->pHeader = node;
    } else {
        queue->pRear->pstNext = node;
    }
    queue->pRear = node;
    ++queue->u8NodeCnt;
}

void SCP_QueuePushFront(SCP_QUEUE_S* queue, SCP_NODE_S* node) {
    node->pstNext = queue->pHeader;
    queue->pHeader = node;
    if (queue->pRear == nullptr) {
        queue->pRear = node;
    }
    ++queue->u8NodeCnt;
}

uint32_t SCP_WriteErrorQueue(const char* text) {
    SCP_LockGuard lock(SCP_LibMutex());
    std::printf("SCP_WriteErrorQueue pBuf = %s\n", text != nullptr ? text : "(null)");
    SCP_INTERFACE_INFO& info = *SCP_InterfaceInfo(SCP_CurrentInterface());
    SCP_QUEUE_S& queue = info.ErrQueue;
    // An interface not yet set up has no places: everything is dropped.
    if (queue.u8NodeCnt >= queue.u8TotalNodeCnt) {
        std::printf("SCP_Q_IS_FULL(pstErrQueue)\n");
        return SCP_QUEUE_FULL;
    }
    if (queue.u8NodeCnt + 1 == queue.u8TotalNodeCnt) {
        // The last place tells the reader that errors were lost.
        return queueIn(info, g_asErrInfo[E350_QUEUE_OVERFLOW], true);
    }
    if (text == nullptr) {
        std::printf("NULL == pBuf\n");
        return UIP_NULL_PTR;
    }
    if (text[0] == '\0') {
        std::printf("0 == u32Length\n");
        return 0;
    }
    uint32_t result = queueIn(info, text, false);
    if (result == 0) {
        std::printf("SCP_WriteErrorQueue end\n");
    }
    return result;
}

const char* SCP_ReadErrQueue(uint8_t interface) {
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO* info = SCP_InterfaceInfo(interface);
    if (info == nullptr || m_u8ErrElementNum == 0) {
        return nullptr;
    }
    if (info->ErrQueue.u8NodeCnt == 0) {
        return nullptr;
    }
    SCP_NODE_S* node = SCP_QueueTakeHead(&info->ErrQueue);
    SCP_QueuePushFront(&info->FreeQueue, node);
    --m_u8ErrElementNum;
    if (m_u8ErrElementNum == 0) {
        notifyNewErr();
    }
    const char* text = node->stElement.pscPayload;
    node->stElement.pscPayload = nullptr;
    return text;
}

void SCP_ClearErrQueue(uint8_t interface) {
    SCP_LockGuard lock(SCP_LibMutex());
    if (!SCP_InterfaceIsRegistered(interface)) {
        return;
    }
    SCP_INTERFACE_INFO& info = *SCP_InterfaceInfo(interface);
    for (uint8_t n = info.ErrQueue.u8NodeCnt; n > 0; --n) {
        SCP_ReadErrQueue(interface);
    }
    for (SCP_NODE_S* node = info.FreeQueue.pHeader; node != nullptr; node = node->pstNext) {
        SCP_ReleaseNodePayload(&info, node);
    }
}

uint8_t SCP_GetErrQueueCount(uint8_t interface) {
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO* info = SCP_InterfaceInfo(interface);
    return info != nullptr ? info->ErrQueue.u8NodeCnt : 0;
}

void SCP_SetNotifyNewErrCB(SCP_NotifyNewErr_Callback callback) {
    SCP_LockGuard lock(SCP_LibMutex());
    m_pfNotifyNewErrCB = callback;
}
