#include "UsbtmcHeader.h"

#include <cstring>

#include "UsbtmcLog.h"

int halUsbtmcHeaderSet(halUsbtmcHeaderStru* header, uint8_t msgId, uint8_t tag, uint32_t size, uint8_t attr,
                       uint8_t termChar) {
    if (header == nullptr) {
        USBTMC_LOG_E("USBTMC Header buffer point is NULL!\n");
        return -1;
    }
    header->u8MsgID = msgId;
    header->u8bTag = tag;
    header->u8bTagInverse = static_cast<uint8_t>(~tag);
    header->u8Res0 = 0;
    header->u32Size = size;
    if (msgId == REQUEST_DEV_DEP_MSG_IN) {
        header->stReqMsgIn.u8bmTransferAttr = attr;
        header->stReqMsgIn.TermChar = termChar;
        header->stReqMsgIn.au8Res[0] = 0;
        header->stReqMsgIn.au8Res[1] = 0;
    } else if (msgId == DEV_DEP_MSG_OUT) {
        header->stMsgOut.u8Eom = attr;
        std::memset(header->stMsgOut.au8Res, 0, sizeof(header->stMsgOut.au8Res));
    }
    return 0;
}

void halUsbtmcHeaderPack(const halUsbtmcHeaderStru& header, uint8_t out[USBTMC_HEADER_LEN]) {
    std::memcpy(out, &header, USBTMC_HEADER_LEN);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<uint8_t>(header.u32Size >> (8 * i));
    }
}

int halUsbtmcHeaderParse(const uint8_t* in, size_t len, halUsbtmcHeaderStru* header) {
    if (in == nullptr || header == nullptr || len < USBTMC_HEADER_LEN) {
        return -1;
    }
    std::memcpy(header, in, USBTMC_HEADER_LEN);
    header->u32Size = static_cast<uint32_t>(in[4]) | static_cast<uint32_t>(in[5]) << 8 |
                      static_cast<uint32_t>(in[6]) << 16 | static_cast<uint32_t>(in[7]) << 24;
    return header->u8MsgID == DEV_DEP_MSG_OUT || header->u8MsgID == REQUEST_DEV_DEP_MSG_IN ? 0 : -2;
}
