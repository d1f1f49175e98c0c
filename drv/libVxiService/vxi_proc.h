#pragma once
// The procedures of the core and asynchronous programs over the link table,
// with the application's callbacks (_vxi_io_) underneath. Independent of the
// RPC runtime: the dispatchers decode, call one of these and send the result.
// Used only on the server thread.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "vxi11.h"
#include "vxi_link.h"

// What the client of a link did with its last reply when it writes again,
// as far as the server saw it (the application knows what it still holds or
// makes).
enum class VxiReplyLeft {
    Nothing,   // nothing of it fetched yet, or read whole
    PartRead,  // read in part: the rest is dropped unread
    TimedOut,  // a read gave up waiting for it: the client was told its query failed
};

// What the application hands to the server. Results as the procedures map them.
struct _vxi_io_ {
    // A new link: the most reply data one read of it fetches; 0, or -1 when
    // it cannot be made.
    int (*alloc)(int32_t lid, uint32_t* most);
    // Data of a write with its END flag, and what the client did with its
    // last reply: the length taken, -1 I/O error, -2 abort, 0 time-out.
    int (*write)(int32_t lid, const char* data, uint32_t length, uint32_t ioTimeoutMs, bool end, VxiReplyLeft left);
    // Moves up to `most` bytes of the reply data queued now into the empty
    // `data`: their count (0 while there is none); `eom` tells whether they
    // end a reply. Never waits: the server asks again, up to ioTimeoutMs,
    // whenever woken (vxiServiceWake).
    int (*read)(int32_t lid, std::string& data, uint32_t most, uint32_t ioTimeoutMs, bool* eom);
    // The link is gone.
    void (*free)(int32_t lid);
    int (*readStb)(int32_t lid, uint32_t ioTimeoutMs);
    int (*trigger)(int32_t lid, uint32_t ioTimeoutMs);
    int (*clear)(int32_t lid, uint32_t ioTimeoutMs);
    int (*enterRemote)(int32_t lid, uint32_t ioTimeoutMs);
    int (*enterLocal)(int32_t lid, uint32_t ioTimeoutMs);
    void (*abort)();
};

// Where a procedure that waits (for the device lock or for reply data)
// stands. Such a procedure returns false while it waits; the server calls it
// again with the same VxiWait whenever something may have changed, and at
// the deadline, until it returns true with its result. It never blocks, so
// one link's wait holds up no other link.
struct VxiWait {
    int phase = 0;
    std::chrono::steady_clock::time_point deadline{};
};

class CVxiCore {
public:
    using Clock = std::chrono::steady_clock;

    // Longest wait for a reply or the lock, in ms: a client's "forever"
    // (0xFFFFFFFF) must not hold the server thread, nor the engine's reading
    // wait, for weeks.
    static constexpr uint32_t kMaxWaitMs = 60000;
    static uint32_t clampWait(uint32_t ms) { return ms < kMaxWaitMs ? ms : kMaxWaitMs; }

    // Largest write per transport.
    static constexpr uint32_t kMaxRecvStream = 65536;
    static constexpr uint32_t kMaxRecvDatagram = 8800;

    // A link made over UDP has no connection whose end would end it: it ends
    // after this long without a call, and its lock with it.
    static constexpr std::chrono::seconds kDatagramLinkIdle{60};

    // `now` is the clock of every wait and idle time (a test puts its own).
    CVxiCore(const _vxi_io_& io, uint16_t abortPort, std::function<Clock::time_point()> now = Clock::now)
        : m_stVxiIoCom(io), m_u16AbortPort(abortPort), m_now(std::move(now)) {}

    // Procedures that may wait: true once `resp` is their answer.
    bool createLink(const Create_LinkParms& p, const VxiCaller& caller, VxiWait& wait, Create_LinkResp& resp);
    bool write(const Device_WriteParms& p, const VxiCaller& caller, VxiWait& wait, Device_WriteResp& resp);
    bool read(const Device_ReadParms& p, const VxiCaller& caller, VxiWait& wait, Device_ReadResp& resp);
    bool readStb(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_ReadStbResp& resp);
    bool trigger(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp);
    bool clear(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp);
    bool remote(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp);
    bool local(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp);
    bool lock(const Device_LockParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp);

    Device_Error unlock(const Device_Link& lid, const VxiCaller& caller);
    Device_Error enableSrq(const Device_EnableSrqParms& p, const VxiCaller& caller);
    Device_DocmdResp docmd(const Device_DocmdParms& p, const VxiCaller& caller);
    Device_Error destroyLink(const Device_Link& lid, const VxiCaller& caller);
    Device_Error createIntrChan(const Device_RemoteFunc& p, const VxiCaller& caller);
    Device_Error destroyIntrChan(const int32_t& unused, const VxiCaller& caller);
    Device_Error abort(const Device_Link& lid, const VxiCaller& caller);

    // Destroys the links made on a stream connection that has gone.
    void dropConnection(int fd);
    // Destroys the datagram links idle for kDatagramLinkIdle; returns when
    // the next one falls due (max when none can).
    Clock::time_point expireIdle();

private:
    // The longest a call of `caller` may wait: a datagram call never waits,
    // since the UDP socket serves one call at a time.
    static uint32_t waitMs(const VxiCaller& caller, uint32_t ms) { return caller.stream ? clampWait(ms) : 0; }
    // The caller's link of an operation, its abort flag cleared for this
    // operation and its idle time started afresh.
    _vxi_handle* begin(int32_t lid, const VxiCaller& caller);
    // The caller's link of an operation that needs the device, once the lock
    // allows; null with `error` 4 without such a link, 11 or 23 from the lock
    // wait, or kWaiting while it waits.
    _vxi_handle* enter(int32_t lid, const VxiCaller& caller, int32_t flags, uint32_t lockTimeout, VxiWait& wait,
                       int32_t& error);
    // One look at a lock wait of `lockMs` ms (started at the first look): 11
    // at its end, 23 once `link`'s abort flag is set, else kWaiting.
    int32_t lockWait(const _vxi_handle* link, uint32_t lockMs, VxiWait& wait);
    bool generic(const Device_GenericParms& p, const VxiCaller& caller, int (*callback)(int32_t, uint32_t),
                 VxiWait& wait, Device_Error& resp);
    void destroy(int32_t lid);
    void fillReply(_vxi_handle& link, const Device_ReadParms& p, Device_ReadResp& resp);
    // Drops the reply data the link fetched and has not returned, and what
    // it knew of the client giving up on it.
    static void dropReply(_vxi_handle& link);

    CVxiLinks m_links;
    _vxi_io_ m_stVxiIoCom;
    uint16_t m_u16AbortPort;
    std::function<Clock::time_point()> m_now;
};
