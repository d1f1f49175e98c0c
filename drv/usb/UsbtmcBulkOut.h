#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "UsbtmcHeader.h"

// Turns the bytes of the Bulk-OUT endpoint into its messages: headers,
// REQUEST_DEV_DEP_MSG_IN requests, and the command text of DEV_DEP_MSG_OUT
// transfers joined up to the one that carries EOM. Alignment bytes are read
// and dropped. A command message above kMessageMax bytes is dropped whole;
// the transfers that belong to it are still read, so the next header is found.
// No I/O: the caller reads wanted() bytes and hands them to consume().
class UsbtmcBulkOut {
public:
    static constexpr size_t kPieceMax = 2048;
    static constexpr size_t kMessageMax = 1024 * 1024;

    // What one consume() found; several flags may be set at once.
    struct Result {
        bool bBadHeader = false;     // a header with an id that is not served
        bool bCommandStart = false;  // the first transfer of a command message
        bool bRequest = false;       // a REQUEST_DEV_DEP_MSG_IN, in `header`
        bool bMessageDone = false;   // message() holds a whole command message
        bool bOverflow = false;      // the message outgrew kMessageMax and is dropped
        halUsbtmcHeaderStru header{};
    };

    // Bytes to read next: the rest of a header, or of the current transfer's
    // data and alignment, at most kPieceMax.
    size_t wanted() const;
    // `n` must not exceed wanted().
    Result consume(const uint8_t* data, size_t n);

    const std::string& message() const { return m_message; }
    // Bytes of the current DEV_DEP_MSG_OUT transfer received so far.
    uint32_t transferReceived() const { return m_u32TransferRecv; }
    // True while a command message is being received.
    bool inMessage() const { return m_bInMessage; }
    // Forgets every partial header, transfer and message.
    void reset();

private:
    void startTransfer(Result& r);
    void endTransfer(Result& r);

    uint8_t m_au8Header[USBTMC_HEADER_LEN] = {};
    size_t m_headerFill = 0;
    bool m_bInTransfer = false;  // reading a transfer's data and alignment
    uint64_t m_u64DataLeft = 0;
    uint64_t m_u64AlignLeft = 0;
    uint32_t m_u32TransferRecv = 0;
    bool m_bEom = false;
    bool m_bInMessage = false;
    bool m_bDropping = false;  // the message went above kMessageMax
    std::string m_message;
};
