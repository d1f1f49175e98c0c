#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Network/AddressPlaces.h"
#include "Network/Server.h"
#include "Network/Session.h"
#include "Network/Socket.h"
#include "Poller/EventPoller.h"
#include "Poller/Timer.h"
#include "Util/ObjectStatistic.h"

namespace toolkit {

// A listening TCP server that makes one SessionType object per connection.
//
// The listening descriptor is opened on the server's own poller and shared
// with one clone per other poller of the pool, so every poller thread
// accepts. Each connection is placed on the least loaded poller and served by
// the instance living there: all callbacks of a session, and each instance's
// session list, stay on one thread.
//
// Dropping the main server ends the whole family: listening stops and every
// session still served receives onError "Server shutdown" on its own thread.
class TcpServer : public Server {
public:
    using Ptr = std::shared_ptr<TcpServer>;

    explicit TcpServer(const EventPoller::Ptr& poller = nullptr);
    ~TcpServer() override;

    // Listens on host:port (host "::" also accepts IPv4 clients; port 0 picks a
    // free one, see getPort) and starts serving. Call once, on a server owned
    // by a shared pointer. Throws std::runtime_error when it cannot listen.
    template <typename SessionType>
    void start(uint16_t port, const std::string& host = "::", uint32_t backlog = 1024) {
        static_assert(std::is_base_of<Session, SessionType>::value, "SessionType must derive from Session");
        _session_alloc = [](const TcpServer::Ptr& server, const Socket::Ptr& sock) {
            auto session = std::make_shared<SessionType>(sock);
            session->setOnCreateSocket(server->_on_create_socket);
            return std::make_shared<SessionHelper>(server, session);
        };
        start_l(port, host, backlog);
    }

    // The listening port (0 when not listening).
    uint16_t getPort() const;
    // At most `count` connections at once across the family (0: no count of
    // its own), and never more than 1/kDescriptorShare of the descriptor limit, so that
    // the servers together leave most descriptors to files; with `perAddress`,
    // one source address holds at most its share of them (AddressPlaces), so
    // that another address is always served. A connection beyond either is
    // accepted and closed at once: its client learns at once, instead of
    // waiting in the queue for a place. Call before start.
    void setMaxConnections(size_t count, bool perAddress = false);
    static constexpr size_t kDescriptorShare = AddressPlaces::kDescriptorShare;
    // The cap in force (0: none was set), one address's share of it (0: none),
    // and the connections of the family that hold a place now.
    size_t maxConnections() const;
    size_t addressShare() const;
    size_t connectionCount() const;
    // The factory for peer sockets; empty means Socket::createSocket(poller, false).
    void setOnCreateSocket(Socket::onCreateSocket cb);
    // The instance serving connections placed on `poller` (null once the
    // main server is gone).
    Ptr getServer(const EventPoller* poller) const;

protected:
    virtual void cloneFrom(const TcpServer& that);
    virtual Ptr onCreatServer(const EventPoller::Ptr& poller);
    // `place` is the connection's place under the cap, held while its session
    // is served.
    virtual Session::Ptr onAcceptConnection(const Socket::Ptr& sock, std::shared_ptr<void> place = nullptr);
    virtual Socket::Ptr onBeforeAcceptConnection(const EventPoller::Ptr& poller);

    // This instance's listening socket (its descriptor is shared by the family).
    const Socket::Ptr& getListenSocket() const { return _socket; }

private:
    using SessionAlloc = std::function<SessionHelper::Ptr(const TcpServer::Ptr& server, const Socket::Ptr& sock)>;
    struct SessionEntry {
        SessionHelper::Ptr helper;
        std::shared_ptr<void> place;
    };

    void start_l(uint16_t port, const std::string& host, uint32_t backlog);
    void setupEvent();
    void startTimer();
    void createClones();
    void onManagerSession();
    void removeSession(SessionHelper* helper);
    // A place for the accepted `sock` (released with the returned token), or
    // null, logged, when its address's share or the cap is reached.
    std::shared_ptr<void> takePlace(const Socket::Ptr& sock);
    // The listener failed: take up listening again after a pause.
    void onListenError(const SockException& ex);
    // One attempt at listening again; true when listening (or nothing to do).
    bool relisten();
    // The main server (this one, or the one it was cloned from; null once gone).
    std::shared_ptr<const TcpServer> mainServer() const;
    // The main server and all its clones (this one included).
    std::vector<Ptr> family() const;
    Ptr self();

    bool _is_on_manager = false;
    const TcpServer* _parent = nullptr;
    // The main server, for a clone; never makes a clone keep it alive.
    std::weak_ptr<const Server> _parent_weak;
    Socket::Ptr _socket;
    std::shared_ptr<Timer> _timer;
    Socket::onCreateSocket _on_create_socket;
    std::unordered_map<SessionHelper*, SessionEntry> _session_map;
    // The family's places; shared by the clones.
    std::shared_ptr<AddressPlaces> _places = std::make_shared<AddressPlaces>();
    SessionAlloc _session_alloc;
    // Filled by start_l while the main listener may already accept, and read
    // by every poller's accept path: guarded by _mtx_cloned_server.
    std::unordered_map<const EventPoller*, Ptr> _cloned_server;
    mutable std::mutex _mtx_cloned_server;
    // Where the main server listens, to listen afresh after a listener failure.
    uint16_t _port = 0;
    std::string _host;
    uint32_t _backlog = 0;
    ObjectStatistic<TcpServer> _statistic;
};

} // namespace toolkit
