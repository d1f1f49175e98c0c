#pragma once
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "Network/Buffer.h"
#include "Network/BufferList.h"
#include "Network/BufferSock.h"
#include "Network/SockException.h"
#include "Network/SockInfo.h"
#include "Network/sockutil.h"
#include "Poller/EventPoller.h"
#include "Poller/Timer.h"
#include "Util/ObjectStatistic.h"
#include "Util/TimeTicker.h"
#include "Util/util.h"

namespace toolkit {

typedef enum {
    Sock_Invalid = -1,
    Sock_TCP = 0,
    Sock_UDP = 1,
} SockType;

// An owned descriptor: shut down and closed when the last holder lets go.
class SockNum {
public:
    using Ptr = std::shared_ptr<SockNum>;

    SockNum(int fd, SockType type) : _fd(fd), _type(type) {}
    ~SockNum();

    SockNum(const SockNum&) = delete;
    SockNum& operator=(const SockNum&) = delete;

    int rawFd() const { return _fd; }
    SockType type() const { return _type; }

private:
    int _fd;
    SockType _type;
};

// A descriptor bound to one poller. Destruction takes the descriptor off the
// poller; the removal callback keeps the SockNum, so the descriptor is closed
// only once the poller can no longer report events for it. Clones of a
// listener share one SockNum, each bound to its own poller.
class SockFD : public noncopyable {
public:
    using Ptr = std::shared_ptr<SockFD>;

    SockFD(int fd, SockType type, const EventPoller::Ptr& poller);
    // Shares that's descriptor on another poller; throws std::invalid_argument
    // "Copy a SockFD with same poller" when `poller` is that's own.
    SockFD(const SockFD& that, const EventPoller::Ptr& poller);
    ~SockFD();

    int rawFd() const { return _num->rawFd(); }
    SockType type() const { return _num->type(); }
    const EventPoller::Ptr& getPoller() const { return _poller; }
    // Called before the descriptor is given to the poller: only a watched
    // descriptor's close has to wait for the poller (see the destructor).
    void markWatched() { _watched = true; }

private:
    SockNum::Ptr _num;
    EventPoller::Ptr _poller;
    std::atomic<bool> _watched{false};
};

// A lock that can be switched off for objects used on one thread only.
template <class Mtx = std::recursive_mutex>
class MutexWrapper {
public:
    explicit MutexWrapper(bool enable) : _enable(enable) {}

    void lock() {
        if (_enable) {
            _mtx.lock();
        }
    }
    void unlock() {
        if (_enable) {
            _mtx.unlock();
        }
    }

private:
    bool _enable;
    Mtx _mtx;
};

// A byte-rate meter, recomputed every MiB. Counted by one thread at a time;
// the rate may be read from any thread.
class BytesSpeed {
public:
    BytesSpeed& operator+=(size_t bytes);
    int getSpeed() const { return _speed.load(); }

private:
    std::atomic<int> _speed{0};
    uint32_t _bytes = 0;
    Ticker _ticker;
};

// The toolkit's non-blocking socket: one TCP listener, TCP connection or UDP
// socket on one poller, turning its events into callbacks (data received,
// connection accepted, send queue drained, error). Always owned by a shared
// pointer; the poller's handlers hold it weakly.
//
// With enable_mutex true, send, emitErr, the setters and the accessors may be
// called from any thread. With it false (the servers' sockets) every call must
// come from the socket's poller thread.
//
// Reading, errors and attaching live in Socket.cpp, sending in SocketSend.cpp,
// listening and accepting in SocketAccept.cpp, connecting in SocketConnect.cpp.
class Socket : public std::enable_shared_from_this<Socket>, public noncopyable, public SockInfo {
public:
    using Ptr = std::shared_ptr<Socket>;
    // Received data (valid only during the call: the buffer is the poller's
    // shared one), the sender's address and its length.
    using onReadCB = std::function<void(const Buffer::Ptr& buf, struct sockaddr* addr, int addr_len)>;
    using onErrCB = std::function<void(const SockException& err)>;
    // The peer has shut down its sending side: nothing more will be read.
    using onEofCB = std::function<void()>;
    // The accepted peer and the completion token: the peer receives its first
    // event once the last copy of the token is released.
    using onAcceptCB = std::function<void(Socket::Ptr& sock, std::shared_ptr<void>& complete)>;
    // Everything queued has been written; return false to be uninstalled.
    using onFlush = std::function<bool()>;
    // The socket object for an accepted connection; null asks for the default.
    using onCreateSocket = std::function<Ptr(const EventPoller::Ptr& poller)>;
    using onSendResult = BufferList::SendResult;

    // A null poller means one from the pool (the caller's own when it runs on one).
    static Ptr createSocket(const EventPoller::Ptr& poller = nullptr, bool enable_mutex = true);
    explicit Socket(EventPoller::Ptr poller = nullptr, bool enable_mutex = true);
    ~Socket() override;

    // SockInfo: "" or 0 without a descriptor.
    std::string get_local_ip() override;
    uint16_t get_local_port() override;
    std::string get_peer_ip() override;
    uint16_t get_peer_port() override;
    // "Socket: " and the object's address.
    std::string getIdentifier() const override;

    // Opens an outgoing TCP connection without blocking and reports the
    // outcome once through con_cb (on the poller thread): success, refused,
    // timed out, unresolvable or another failure. May be called on any thread.
    virtual void connect(const std::string& url, uint16_t port, const onErrCB& con_cb, float timeout_sec = 5,
                         const std::string& local_ip = "::", uint16_t local_port = 0);
    // Listens on local_ip:port ("::" also accepts IPv4 peers). On failure the
    // socket keeps what it had and false is returned.
    virtual bool listen(uint16_t port, const std::string& local_ip = "::", int backlog = 1024);
    virtual bool bindUdpSock(uint16_t port, const std::string& local_ip = "::", bool enable_reuse = true);

    // An empty function object installs the default (which logs and drops).
    virtual void setOnRead(onReadCB cb);
    virtual void setOnErr(onErrCB cb);
    // Without one (the default) the end of a TCP peer's input ends the
    // connection as an error (Err_eof). With one, a peer that shuts down
    // only its sending side is still answered: reading stops, the callback
    // runs on the poller thread, and the socket stays open for sending until
    // its owner ends it (emitErr) or sending fails.
    virtual void setOnEof(onEofCB cb);
    // With a bound above 0, a TCP connection that fails (a reset, a failed
    // write, the owner's own emitErr) first hands over up to `maxBytes` of
    // what the peer sent and no one has read yet, through the read callback,
    // then reports the error: an owner that still runs what a departed peer
    // sent loses none of it within the bound, whether its reading was paused
    // or a write failed while it read. What lies beyond is dropped with the
    // descriptor, logged once with its size.
    void setReadToTheEnd(size_t maxBytes) { _read_to_the_end = maxBytes; }
    virtual void setOnAccept(onAcceptCB cb);
    virtual void setOnFlush(onFlush cb);
    virtual void setOnBeforeAccept(onCreateSocket cb);
    virtual void setOnSendResult(onSendResult cb);

    // Queues `buf` (to `addr` when given: UDP) and, with try_flush, writes what
    // the kernel takes now. Returns the size queued, 0 for a null or empty
    // buffer (nothing queued), -1 when the socket has failed or has no
    // descriptor. The size means queued, not written.
    virtual ssize_t send(Buffer::Ptr buf, struct sockaddr* addr = nullptr, socklen_t addr_len = 0,
                         bool try_flush = true);
    // Copies `size` bytes into a new buffer; size 0 sends nothing and returns 0.
    ssize_t send(const char* buf, size_t size, struct sockaddr* addr = nullptr, socklen_t addr_len = 0,
                 bool try_flush = true);
    ssize_t send(std::string buf, struct sockaddr* addr = nullptr, socklen_t addr_len = 0, bool try_flush = true);

    // Drops the descriptor and reports `err` once, on the poller thread.
    // False (and nothing reported) when the socket had no descriptor.
    virtual bool emitErr(const SockException& err) noexcept;
    virtual void enableRecv(bool enabled);
    // Bytes the kernel holds for this socket that have not been read yet (0
    // without a descriptor): while reading is paused, or before the poller
    // comes round to it, the peer's latest bytes wait there.
    size_t unreadBytes() const;
    // -1 without a descriptor.
    virtual int rawFD() const;
    virtual SockType sockType() const;
    virtual void setSendTimeOutSecond(uint32_t second);
    // Waiting for the writable event (part of the queue could not be written).
    virtual bool isSocketBusy() const;
    virtual const EventPoller::Ptr& getPoller() const;
    // Listens on other's listening descriptor from this socket's poller.
    virtual bool cloneFromListenSocket(const Socket& other);
    // Serves other's connected descriptor from this socket's poller.
    virtual bool cloneFromPeerSocket(const Socket& other);
    // UDP only: fixes the default destination (connect on the datagram socket).
    virtual bool bindPeerAddr(const struct sockaddr* dst_addr, socklen_t addr_len = 0);
    virtual void setSendFlags(int flags);
    // Drops the descriptor (and a connection attempt) without a report.
    virtual void closeSock();
    // Queued buffers plus the unsent buffers of batches in flight.
    virtual size_t getSendBufferCount();
    // Age in ms of the batch in flight (since a flush last found none).
    virtual uint64_t elapsedTimeAfterFlushed();

    // Listens on an existing descriptor (the form clones use).
    bool listen(const SockFD::Ptr& sock);
    // Holds an accepted descriptor without registering it with the poller;
    // `peer` is the address accept gave for it.
    SockFD::Ptr setPeerSock(int fd, const sockaddr_storage& peer);
    // The peer's address as accept gave it (family AF_UNSPEC on a socket
    // that was not accepted): still known once the peer has reset the
    // connection. Set before the socket is handed to its owner.
    const sockaddr_storage& acceptedPeer() const { return _accepted_peer; }
    // Writes what can be written now: 0, or -1 when there is no descriptor,
    // the send failed or timed out.
    int flushAll();

    // Byte rates; asking switches the counting on.
    int getRecvSpeed();
    int getSendSpeed();

    // The listener's event handler (drains the accept queue). Returns 0, or -1
    // when the listener failed. Transient accept failures keep it listening;
    // running out of descriptors or memory pauses accepting for a short while.
    int onAccept(const SockFD::Ptr& sock, int event) noexcept;

protected:
    SockFD::Ptr makeSock(int fd, SockType type);
    bool attachEvent(const SockFD::Ptr& sock);
    // Makes `sock` this socket's descriptor and registers it; on failure the
    // descriptor is taken back. Stored before the registration, so that no
    // event of it finds the socket without its descriptor.
    bool adoptAndAttach(const SockFD::Ptr& sock);
    // The end of an outgoing connection attempt: attaches the descriptor or
    // reports its pending error.
    void onConnected(const SockFD::Ptr& sock, const onErrCB& cb);

private:
    // Connection-attempt steps (on the poller thread).
    void connect_l(const std::string& url, uint16_t port, const onErrCB& con_cb_in, float timeout_sec,
                   const std::string& local_ip, uint16_t local_port);
    void startConnectWatch(int fd, const onErrCB& con_cb);
    ssize_t onRead(const SockFD::Ptr& sock, bool is_udp) noexcept;
    // The end of a TCP peer's input: told, or reported as an error.
    void onEof();
    void onError(const SockFD::Ptr& sock);
    void onWriteAble(const SockFD::Ptr& sock);
    void onFlushed(const SockFD::Ptr& sock);
    // True while `sock` is still this socket's descriptor (not closed or failed).
    bool isCurrentSock(const SockFD::Ptr& sock) const;
    ssize_t send_l(Buffer::Ptr buf, bool is_buf_sock, bool try_flush);
    bool flushData(const SockFD::Ptr& sock, bool poller_thread);
    bool makeBatch(const SockFD::Ptr& sock, List<BufferList::Ptr>& batches);
    bool sendBatches(const SockFD::Ptr& sock, List<BufferList::Ptr>& batches, bool& cut_short);
    void startWriteAbleEvent(const SockFD::Ptr& sock);
    void stopWriteAbleEvent(const SockFD::Ptr& sock);
    SockFD::Ptr cloneSockFD(const Socket& other);
    // Accept-loop steps.
    int acceptFailed(const SockFD::Ptr& sock, int error_no);
    void pauseAccept(const SockFD::Ptr& sock);
    void handleAccepted(int fd, const sockaddr_storage& peer);

    int _sock_flags = MSG_NOSIGNAL | MSG_DONTWAIT;
    uint32_t _max_send_buffer_ms = 10 * 1000;
    std::atomic<bool> _enable_recv{true};
    std::atomic<bool> _sendable{true};
    std::shared_ptr<Timer> _con_timer;
    // The descriptor step of a connection attempt: the descriptor, or -1 and
    // the negative error code of the failure.
    std::shared_ptr<std::function<void(int fd, int err)>> _async_con_cb;
    Ticker _send_flush_ticker;
    BufferRaw::Ptr _read_buffer;
    SockFD::Ptr _sock_fd;
    EventPoller::Ptr _poller;
    mutable MutexWrapper<std::recursive_mutex> _mtx_sock_fd;

    onErrCB _on_err;
    onEofCB _on_eof;
    onReadCB _on_read;
    onFlush _on_flush;
    onAcceptCB _on_accept;
    onCreateSocket _on_before_accept;
    MutexWrapper<std::recursive_mutex> _mtx_event;

    List<std::pair<Buffer::Ptr, bool>> _send_buf_waiting;
    MutexWrapper<std::recursive_mutex> _mtx_send_buf_waiting;
    List<BufferList::Ptr> _send_buf_sending;
    MutexWrapper<std::recursive_mutex> _mtx_send_buf_sending;
    // Guarded by _mtx_send_buf_waiting (read when a batch is made).
    BufferList::SendResult _send_result;
    ObjectStatistic<Socket> _statistic;

    std::atomic<bool> _enable_speed{false};
    std::atomic<size_t> _read_to_the_end{0};
    BytesSpeed _recv_speed;
    BytesSpeed _send_speed;

    // Accepting paused after running out of descriptors or memory, and the
    // delayed retry (guarded by _mtx_sock_fd).
    std::atomic<bool> _accept_paused{false};
    EventPoller::DelayTask::Ptr _accept_retry;
    // See acceptedPeer.
    sockaddr_storage _accepted_peer{};
};

} // namespace toolkit
