#pragma once
#include <cstddef>
#include <cstdint>

// Message ids of the bulk header.
enum halUsbtmcMsgEu : uint8_t {
    DEV_DEP_MSG_OUT = 1,
    REQUEST_DEV_DEP_MSG_IN = 2,
    DEV_DEP_MSG_IN = 2,
    VENDOR_SPECIFIC_OUT = 126,
    REQUEST_VENDOR_SPECIFIC_IN = 127,
    VENDOR_SPECIFIC_IN = 127,
};

constexpr size_t USBTMC_HEADER_LEN = 12;

// The 12-byte header in front of every bulk message. On the wire every
// multi-byte field is little-endian; here u32Size is in host order (see
// halUsbtmcHeaderPack and halUsbtmcHeaderParse).
#pragma pack(push, 1)
struct halUsbtmcHeaderStru {
    uint8_t u8MsgID;
    uint8_t u8bTag;
    uint8_t u8bTagInverse;
    uint8_t u8Res0;
    uint32_t u32Size;  // TransferSize: message bytes that follow, alignment not counted
    union {
        struct {
            uint8_t u8Eom;
            uint8_t au8Res[3];
        } stMsgOut;
        struct {
            uint8_t u8bmTransferAttr;
            uint8_t TermChar;
            uint8_t au8Res[2];
        } stReqMsgIn;
        struct {
            uint8_t u8bmTransferAttr;
            uint8_t au8Res[3];
        } stMsgIn;
    };
};
#pragma pack(pop)
static_assert(sizeof(halUsbtmcHeaderStru) == USBTMC_HEADER_LEN, "the bulk header is 12 bytes");

// Fills a header: id, tag, inverted tag, size; for id 2 the transfer
// attribute, the term character and zeros, for id 1 the attribute and zeros;
// other ids leave bytes 8-11 as they are. 0, or -1 for a missing header.
int halUsbtmcHeaderSet(halUsbtmcHeaderStru* header, uint8_t msgId, uint8_t tag, uint32_t size, uint8_t attr,
                       uint8_t termChar);

// The header's wire bytes.
void halUsbtmcHeaderPack(const halUsbtmcHeaderStru& header, uint8_t out[USBTMC_HEADER_LEN]);

// Reads a header from `len` received bytes. 0 for DEV_DEP_MSG_OUT and
// REQUEST_DEV_DEP_MSG_IN, -1 when the bytes are missing or too few, -2 for any
// other message id (the vendor-specific ones are not served). The tag and its
// inverse are not compared.
int halUsbtmcHeaderParse(const uint8_t* in, size_t len, halUsbtmcHeaderStru* header);

// `size` rounded up to a multiple of 4, without wrapping for any u32.
inline uint64_t halUsbtmcAlign4(uint64_t size) { return (size + 3) & ~static_cast<uint64_t>(3); }
