// The SCPI interface records: per interface its buffers, queues, transmit
// state and the IEEE 488.2 status bytes. Only interface 1 is ever set up and
// it is the fixed current interface, so every transport and every caller of
// the hub share one error queue and one set of registers.
#pragma once

#include <cstdint>

#include "DrvScpiQueue.h"

constexpr uint8_t SCP_INTERFACE_NUM = 20;
constexpr uint8_t SCP_INTERFACE_INVALID = 255;

constexpr uint32_t SCP_IN_BUF_LEN = 1024;
constexpr uint32_t SCP_FMT_BUF_LEN = 30736;
constexpr uint8_t SCP_OUT_QUEUE_NODE_NUM = 10;
constexpr uint32_t SCP_RES_BUF_NUM = 10;
constexpr uint32_t SCP_RES_BUF_LEN = 1024;
constexpr uint32_t SCP_RES_BUF_MAX_NUM = 30;

enum SCP_MEM_OPTION_EN : uint8_t {
    SCP_MEM_NOT_FREE = 0,
    SCP_MEM_IS_FREE = 1,
};

// The input buffer.
struct SCP_IN_BUF_S {
    uint8_t* pu8ReadPtr;
    uint8_t* pu8PreReadPtr;
    uint8_t* pu8WritePtr;
    uint8_t* pu8LastPktPtr;
    uint32_t u32LastPktLen;
    uint8_t ib_full;
    uint8_t ib_empty;
    uint16_t RsvBit;
    uint32_t u32BufLen;
    uint8_t* au8Buf;
    uint8_t opt;  // SCP_MEM_OPTION_EN
};

// The result-data buffers.
struct SCP_RES_DATA_NODE_S {
    uint32_t u32TotNum;
    uint16_t u16IdleNum;
    uint16_t u16Index;
    uint32_t u32BufLen;
    uint8_t* pau8Buf[SCP_RES_BUF_MAX_NUM];
};

struct SCP_INTERFACE_INFO {
    SCP_IN_BUF_S inQueue;
    SCP_QUEUE_S OutQueue;
    SCP_RES_DATA_NODE_S ResDataList;
    SCP_QUEUE_S ErrQueue;
    SCP_QUEUE_S FreeQueue;  // the nodes both queues take from
    SCP_Q_ELEMENT_S stCurNodeCopy;
    char* pscFormatBuf;
    char* pscFormatBufEnd;  // last byte of the format buffer
    char* pscFormatP;       // write position
    uint32_t u32FormatBufLen;
    uint8_t opt;            // SCP_MEM_OPTION_EN
    // Transmit state.
    uint8_t u8IsStartDataCopy;
    uint8_t u8IsReadyData;
    uint32_t u32HostFetchLen;
    uint32_t u32TotalTxDataLen;
    uint32_t u32CurTxDataLen;
    uint32_t u32TxTmpBufDataLen;
    uint8_t* pu8StartPtr;
    uint8_t* pu8TxTmpBufPtr;
    uint8_t* pu8CurPtr;
    char* pscDataPtr;
    uint8_t au8TxTmpBuf[516];
    uint8_t au8TxL1Buf[512];
    // IEEE 488.2 registers.
    uint8_t u8ScpESR;  // standard event status register
    uint8_t u8ScpESE;  // its enable
    uint8_t u8LanTxFlag;
    uint16_t u16IsUsed;  // 1 once registered
};

// The storage one interface is set up with.
struct MEM_FOR_CMDPARSE {
    uint8_t as8InBuf[SCP_IN_BUF_LEN];
    char as8FmtBuf[SCP_FMT_BUF_LEN];
    SCP_NODE_S astOutNodes[SCP_OUT_QUEUE_NODE_NUM];
    SCP_NODE_S astErrNodes[SCP_ERR_QUEUE_NODE_NUM];
    uint8_t as8ResBuf[SCP_RES_BUF_NUM * SCP_RES_BUF_LEN];
    char s8InterfaceNum;
    char s8IsUsed;
};

// Sets up `interface` with its own storage: input buffer, format buffer,
// output queue, error queue and result-data buffers. Returns `interface`, or
// SCP_INTERFACE_INVALID when it does not exist or a registration fails. An
// interface already set up is left as it is.
uint8_t Interface_SCPManage(uint8_t interface);

// The registrations Interface_SCPManage makes; each 0, or -1 for a null
// buffer, a zero length or count, or an interface that does not exist. The
// first input-buffer registration zeroes the interface's record.
int SCP_RegisterInterfaceInQueue(uint8_t* buffer, uint32_t length, uint8_t interface, SCP_MEM_OPTION_EN option);
int SCP_RegisterInterfaceFmtBuf(char* buffer, uint32_t length, uint8_t interface, SCP_MEM_OPTION_EN option);
int SCP_RegisterInterfaceOutQueueNum(uint8_t count, uint8_t interface, SCP_NODE_S* nodes);
int SCP_RegisterInterfaceErrQueueNum(uint8_t count, uint8_t interface, SCP_NODE_S* nodes);
int SCP_RegInfResDataBuf(uint8_t interface, uint32_t count, uint32_t size, uint8_t* buffer);

// Marks `interface` as in use.
void SCP_SetInterfaceIsUsed(uint8_t interface);

// True when `interface` exists and its record is registered.
bool SCP_InterfaceIsRegistered(uint8_t interface);

// Empties the input buffer and gives back every result-data buffer that a
// free node still holds. Ignores an interface that does not exist or is not
// registered.
void SCP_ClearInQueue(uint8_t interface);

// Clears the transmit state of a registered interface.
void SCP_ClearTxState(uint8_t interface);

// The interface every register operation acts on (always 1).
uint8_t SCP_CurrentInterface();

// The record of `interface`, or null when it does not exist. The caller holds
// the library's lock for as long as it uses the record.
SCP_INTERFACE_INFO* SCP_InterfaceInfo(uint8_t interface);

// Gives back the result-data buffer a node still holds; the caller holds the
// library's lock.
void SCP_ReleaseNodePayload(SCP_INTERFACE_INFO* info, SCP_NODE_S* node);
