// The node queues of a SCPI interface and its error queue.
#pragma once

#include <cstdint>

// What a queue element's payload is and who releases it.
enum SCP_Q_ELE_STATUS_EN : uint8_t {
    SCP_Q_ELE_FREE = 0,
    SCP_Q_ELE_USED = 1,
    SCP_Q_ELE_WAITING_FOR_FREE = 2,  // a result-data buffer still to be given back
    SCP_Q_ELE_DONOT_NEED_FREE = 3,   // a constant text (every error entry)
};

struct SCP_Q_ELEMENT_S {
    uint32_t u32Length;      // payload length in bytes
    uint8_t u8Status;        // SCP_Q_ELE_STATUS_EN
    uint8_t u8FmtFlag;
    uint8_t u8ByteRevFlag;
    uint8_t u8Rsvd;
    const char* pscPayload;
};

struct SCP_NODE_S {
    SCP_NODE_S* pstNext;
    SCP_Q_ELEMENT_S stElement;
};

// A singly linked queue of nodes, oldest at pHeader.
struct SCP_QUEUE_S {
    uint8_t u8NodeCnt;       // entries held
    uint8_t u8TotalNodeCnt;  // capacity
    uint16_t u16Rsvd;
    uint32_t u32Length;
    SCP_NODE_S* pHeader;
    SCP_NODE_S* pRear;
};

// Capacity of every interface's error queue; its last place is kept for the
// overflow entry.
constexpr uint8_t SCP_ERR_QUEUE_NODE_NUM = 20;

// Hook called after an error is stored and when the last one is read.
using SCP_NotifyNewErr_Callback = void (*)();

// Stores one error text of the form number, comma, quoted message in the
// current interface's error queue. The text is kept by pointer and must live
// as long as the process (a row of g_asErrInfo). When the entry would take
// the queue's last place, the overflow row (-350) is stored instead and later
// errors are dropped until entries are read. Sets status byte bit 2.
// Returns 0 when stored or for an empty text, 1 for a null text (nothing
// stored), SCP_QUEUE_FULL or SCP_NO_FREE_NODE.
uint32_t SCP_WriteErrorQueue(const char* text);

// Removes and returns the oldest error text of `interface`, or null when none
// is held. Clears status byte bit 2 when the queue becomes empty.
const char* SCP_ReadErrQueue(uint8_t interface);

// Removes every error of `interface` (status byte bit 2 ends cleared) and
// gives back the result-data buffers its free nodes still hold. Ignores an
// interface that does not exist or is not registered.
void SCP_ClearErrQueue(uint8_t interface);

// Number of errors `interface` holds.
uint8_t SCP_GetErrQueueCount(uint8_t interface);

// Installs (or with null removes) the new-error hook. It runs under the
// library's lock.
void SCP_SetNotifyNewErrCB(SCP_NotifyNewErr_Callback callback);

// Node primitives; the caller holds the library's lock.
void SCP_QueueInit(SCP_QUEUE_S* queue, uint8_t capacity);
SCP_NODE_S* SCP_QueueTakeHead(SCP_QUEUE_S* queue);
void SCP_QueueAppend(SCP_QUEUE_S* queue, SCP_NODE_S* node);
void SCP_QueuePushFront(SCP_QUEUE_S* queue, SCP_NODE_S* node);
