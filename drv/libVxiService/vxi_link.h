#pragma once
// The links of the server: one record per create_link, under ids of their own,
// the single device lock and its holder, and the connections the links were
// made on, so that a client that leaves without destroy_link loses its links.
// Used only on the server thread.
#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "vxi11.h"

// Where a request came from.
struct VxiCaller {
    int fd = -1;               // the transport's socket
    bool stream = true;        // a TCP connection (else the shared UDP socket)
    sockaddr_storage peer{};   // the client's address
    socklen_t peerLen = 0;
};

// One link.
struct _vxi_handle {
    int32_t s32TranId = 0;  // the link id
    VxiCaller stClient;     // connection and client it was made by
    bool bIsAbort = false;  // device_abort came during the link's operation
    bool bSrqEnable = false;
    char as8SrqHandle[VXI_SRQ_HANDLE_SIZE] = {};
    char* ps8BaseAddr = nullptr;  // reply buffer, from the application
    uint32_t u32BuffSize = 0;
    char* ps8ReadAddr = nullptr;  // next byte to return
    uint32_t u32ValidDataBytes = 0;
    bool bIsEom = false;          // the buffered data ends a reply
    uint32_t u32MaxRecvSize = 0;
};

class CVxiLinks {
public:
    // More links than this answer out of resources: each holds a reply buffer.
    static constexpr size_t kMaxLinks = 1024;
    // Links one client may hold (one connection, or one address over UDP),
    // so that no single client can take them all from the others.
    static constexpr size_t kMaxLinksPerClient = 16;

    _vxi_handle* find(int32_t lid);
    // No link for `caller`: the table, or its share of it, is taken.
    bool full(const VxiCaller& caller) const;
    // Stores the record under a new id, never one in use; returns the id.
    int32_t add(std::unique_ptr<_vxi_handle> link);
    std::unique_ptr<_vxi_handle> remove(int32_t lid);

    // The device lock.
    bool locked() const { return m_bDevIsLock; }
    bool lockedByOther(int32_t lid) const { return m_bDevIsLock && m_s32DevLockHandleId != lid; }
    void setLock(bool locked, int32_t holder);
    // Releases the lock when `lid` holds it.
    void releaseBy(int32_t lid);

    // The links made on stream connection `fd`.
    std::vector<int32_t> madeOn(int fd) const;

private:
    std::map<int32_t, std::unique_ptr<_vxi_handle>> m_links;
    int32_t m_s32NextId = 1;
    bool m_bDevIsLock = false;
    int32_t m_s32DevLockHandleId = -1;
};
