#include "UsbtmcBulkOut.h"

#include <algorithm>

size_t UsbtmcBulkOut::wanted() const {
    if (!m_bInTransfer) {
        return USBTMC_HEADER_LEN - m_headerFill;
    }
    return static_cast<size_t>(std::min<uint64_t>(m_u64DataLeft + m_u64AlignLeft, kPieceMax));
}

void UsbtmcBulkOut::reset() {
    m_headerFill = 0;
    m_bInTransfer = false;
    m_u64DataLeft = 0;
    m_u64AlignLeft = 0;
    m_u32TransferRecv = 0;
    m_bInMessage = false;
    m_bDropping = false;
    m_message.clear();
}

UsbtmcBulkOut::Result UsbtmcBulkOut::consume(const uint8_t* data, size_t n) {
    Result r;
    if (!m_bInTransfer) {
        size_t take = std::min(n, USBTMC_HEADER_LEN - m_headerFill);
        std::copy(data, data + take, m_au8Header + m_headerFill);
        m_headerFill += take;
        if (m_headerFill < USBTMC_HEADER_LEN) {
            return r;
        }
        m_headerFill = 0;
        int parsed = halUsbtmcHeaderParse(m_au8Header, USBTMC_HEADER_LEN, &r.header);
        if (parsed != 0) {
            r.bBadHeader = true;
            reset();
        } else if (r.header.u8MsgID == REQUEST_DEV_DEP_MSG_IN) {
            r.bRequest = true;
        } else {
            startTransfer(r);
        }
        return r;
    }
    uint64_t data_take = std::min<uint64_t>(n, m_u64DataLeft);
    if (!m_bDropping) {
        m_message.append(reinterpret_cast<const char*>(data), static_cast<size_t>(data_take));
    }
    m_u64DataLeft -= data_take;
    m_u64AlignLeft -= std::min<uint64_t>(n - data_take, m_u64AlignLeft);
    m_u32TransferRecv += static_cast<uint32_t>(data_take);
    if (m_u64DataLeft == 0 && m_u64AlignLeft == 0) {
        endTransfer(r);
    }
    return r;
}

void UsbtmcBulkOut::startTransfer(Result& r) {
    uint64_t size = r.header.u32Size;
    if (!m_bInMessage) {
        r.bCommandStart = true;
        m_bInMessage = true;
        m_bDropping = false;
        m_message.clear();
    }
    if (!m_bDropping && m_message.size() + size > kMessageMax) {
        r.bOverflow = true;
        m_bDropping = true;
        std::string().swap(m_message);
    }
    m_bEom = (r.header.stMsgOut.u8Eom & 0x01) != 0;
    m_u64DataLeft = size;
    m_u64AlignLeft = halUsbtmcAlign4(size) - size;
    m_u32TransferRecv = 0;
    m_bInTransfer = true;
    if (size == 0) {
        endTransfer(r);
    }
}

void UsbtmcBulkOut::endTransfer(Result& r) {
    m_bInTransfer = false;
    if (!m_bEom) {
        return;
    }
    m_bInMessage = false;
    if (m_bDropping) {
        m_bDropping = false;
    } else {
        r.bMessageDone = true;
    }
}
