#pragma once
// The links of the server: one record per create_link, under ids of their own,
// the single device lock and its holder, and the connections the links were
// made on, so that a client that leaves without destroy_link loses its links.
// Used only on the server thread.
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "HeldText.h"
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
    // Reply data a read fetched and the client has not taken yet. It is
    // held only while it has bytes to return, and counts in the service-wide
    // budget meanwhile: a client that read a large reply once must not keep
    // its memory for the life of the link.
    HeldText reply;
    uint32_t u32ReadPos = 0;   // next byte of `reply` to return
    uint32_t u32BuffSize = 0;  // the most one fetch takes, from the application
    bool bIsEom = false;       // the fetched data ends a reply
    // Its last read over a connection ended in time-out: the client was told
    // its query failed. Until a read fetches or a write or clear comes.
    bool bReadTimedOut = false;
    uint32_t u32MaxRecvSize = 0;
    // Its maker's last call on it (datagram links end when idle too long).
    std::chrono::steady_clock::time_point lastUse{};
};

class CVxiLinks {
public:
    // More links than this answer out of resources: each holds a reply buffer.
    static constexpr size_t kMaxLinks = 1024;
    // Links one client may hold (one connection, or one address over UDP),
    // so that no single client can take them all from the others.
    static constexpr size_t kMaxLinksPerClient = 16;
    // Links of one source address, however many connections it opens: all
    // but an eighth of the table, as with the connections themselves, so a
    // rack PC running dozens of clients is served and another host always
    // finds links.
    static constexpr size_t kMaxLinksPerAddress = kMaxLinks - kMaxLinks / 8;
    // Links made over UDP, all sources together: a source address costs a
    // datagram sender nothing, so they never take what connections need.
    static constexpr size_t kMaxDatagramLinks = 256;

    _vxi_handle* find(int32_t lid);
    // The link only when `caller` made it: over TCP the same connection,
    // over UDP the same address and port. Ids are small numbers anyone can
    // guess; another client's link is no link to the caller.
    _vxi_handle* findOwned(int32_t lid, const VxiCaller& caller);
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
    // The links made over UDP.
    std::vector<int32_t> datagramLinks() const;

private:
    std::map<int32_t, std::unique_ptr<_vxi_handle>> m_links;
    int32_t m_s32NextId = 1;
    bool m_bDevIsLock = false;
    int32_t m_s32DevLockHandleId = -1;
};
