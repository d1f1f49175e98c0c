#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "Network/Session.h"
#include "Network/Socket.h"
#include "Poller/EventPoller.h"
#include "Poller/Timer.h"

namespace toolkit {

// An outgoing TCP connection: the client-side counterpart of Session. It
// connects without blocking its poller and reports, on its poller thread, the
// outcome of the attempt (onConnect, once per attempt), then the received
// data, a 2-second tick and the end of the connection (onError, once).
// Always owned by a shared pointer.
class TcpClient : public std::enable_shared_from_this<TcpClient>, public SocketHelper {
public:
    using Ptr = std::shared_ptr<TcpClient>;

    // A null poller means one from the pool (the caller's own when it runs on one).
    explicit TcpClient(const EventPoller::Ptr& poller = nullptr);
    ~TcpClient() override;

    // Starts an attempt on a fresh socket, abandoning any previous connection or
    // attempt without a report. url: an address text or a host name. May be
    // called on any thread.
    virtual void startConnect(const std::string& url, uint16_t port, float timeout_sec = 5, uint16_t local_port = 0);
    // True while connected (poller thread).
    bool alive() const;

protected:
    // The outcome of an attempt: success (code Err_success), Err_refused,
    // Err_timeout "connection timed out", Err_dns or another failure.
    virtual void onConnect(const SockException& ex) = 0;
    // A received chunk; the buffer is valid only during the call.
    virtual void onRecv(const Buffer::Ptr& buf) = 0;
    // The established connection ended.
    virtual void onError(const SockException& ex) = 0;
    // Everything sent has been written.
    virtual void onFlush() {}
    // Every 2 seconds while connected.
    virtual void onManager() {}

private:
    void startConnect_l(const std::string& url, uint16_t port, float timeout_sec, uint16_t local_port);
    void onSockConnect(const SockException& ex);
    void wireSocket(const Socket::Ptr& sock);

    std::shared_ptr<Timer> _timer;
};

} // namespace toolkit
