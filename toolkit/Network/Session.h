#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Network/Buffer.h"
#include "Network/SockException.h"
#include "Network/SockInfo.h"
#include "Network/Socket.h"
#include "Poller/EventPoller.h"
#include "Thread/TaskExecutor.h"
#include "Util/ObjectStatistic.h"

namespace toolkit {

class Server;
// Tags of the live-session counts (ObjectStatistic), by transport.
class TcpSession;
class UdpSession;

// Something that can send bytes and be shut down.
class SockSender {
public:
    SockSender() = default;
    virtual ~SockSender() = default;

    // The bytes queued (not necessarily written yet), 0 for an empty buffer,
    // -1 when there is no connection or it has failed.
    virtual ssize_t send(Buffer::Ptr buf) = 0;
    // Ends the connection, reporting `ex` through the owner's error path.
    virtual void shutdown(const SockException& ex = SockException(Err_shutdown, "self shutdown")) = 0;

    // Copies exactly `size` bytes (binary data may hold zeros) into a new
    // buffer and sends it. An empty send queues nothing and returns 0.
    ssize_t send(const char* data, size_t size);
};

// Holds one socket and its poller: sends through the socket, shuts it down,
// caches its addresses and runs work on the socket's poller thread.
//
// The servers' sockets have their internal locks off and must only be touched
// on their poller's thread. send and shutdown may nevertheless be called from
// any thread: off the poller thread they are posted to it, in call order.
class SocketHelper : public SockSender, public SockInfo, public TaskExecutorInterface {
public:
    using onCreateSocket = Socket::onCreateSocket;

    explicit SocketHelper(const Socket::Ptr& sock);
    ~SocketHelper() override = default;

    using SockSender::send;
    // -1 without a socket; otherwise what the socket's send returns, or the
    // buffer's size when the send was posted to the poller thread.
    ssize_t send(Buffer::Ptr buf) override;
    void shutdown(const SockException& ex = SockException(Err_shutdown, "self shutdown")) override;

    // Cached after the first non-empty answer of the socket.
    std::string get_local_ip() override;
    uint16_t get_local_port() override;
    std::string get_peer_ip() override;
    uint16_t get_peer_port() override;

    // Run work on the socket's poller thread (at once when already there and
    // may_sync is true).
    Task::Ptr async(TaskIn task, bool may_sync = true) override;
    Task::Ptr async_first(TaskIn task, bool may_sync = true) override;

    // Replaces the socket; the cached addresses are forgotten.
    void setSock(const Socket::Ptr& sock);
    const Socket::Ptr& getSock() const { return _sock; }
    const EventPoller::Ptr& getPoller() const { return _poller; }
    // The factory for sockets made on behalf of this object; empty means
    // Socket::createSocket(poller, false).
    void setOnCreateSocket(onCreateSocket cb);

private:
    bool _try_flush = true;
    uint16_t _peer_port = 0;
    uint16_t _local_port = 0;
    std::string _peer_ip;
    std::string _local_ip;
    Socket::Ptr _sock;
    EventPoller::Ptr _poller;
    onCreateSocket _on_create_socket;
};

// The base of every protocol session of a server: one per connection, always
// owned by a shared pointer. All of its callbacks run on its socket's poller.
class Session : public std::enable_shared_from_this<Session>, public SocketHelper {
public:
    using Ptr = std::shared_ptr<Session>;

    explicit Session(const Socket::Ptr& sock);
    ~Session() override = default;

    // A received chunk; the buffer is valid only during the call.
    virtual void onRecv(const Buffer::Ptr& buf) = 0;
    // The connection ended (called once).
    virtual void onError(const SockException& err) = 0;
    // Called every 2 seconds by the owning server.
    virtual void onManager() = 0;
    // Called once, just after creation, by the owning server.
    virtual void attachServer(const Server& server);
    // Process-unique: "<sequence>-<descriptor>", fixed at the first call.
    std::string getIdentifier() const override;

private:
    mutable std::string _id;
    std::unique_ptr<ObjectStatistic<TcpSession>> _statistic_tcp;
    std::unique_ptr<ObjectStatistic<UdpSession>> _statistic_udp;
};

} // namespace toolkit
