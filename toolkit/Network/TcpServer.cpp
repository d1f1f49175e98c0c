#include "Network/TcpServer.h"

#include <algorithm>
#include <stdexcept>

#include "Network/sockutil.h"
#include "Poller/EventPollerPool.h"
#include "Util/logger.h"
#include "Util/onceToken.h"
#include "Util/uv_errno.h"

namespace toolkit {

namespace {
// Pause between attempts to listen again after a listener failed.
constexpr uint64_t kRelistenDelayMs = 200;
// Period of the session-management tick.
constexpr float kManagerSecond = 2.0f;
} // namespace

TcpServer::TcpServer(const EventPoller::Ptr& poller) : Server(poller) {
    setOnCreateSocket(nullptr);
}

TcpServer::~TcpServer() {
    if (!_parent && _socket && _socket->rawFD() != -1) {
        InfoL << "Close tcp server [" << _socket->get_local_ip() << "]: " << _socket->get_local_port();
    }
    // The listener, the timer and the sessions belong to this instance's
    // poller thread, which may be running their callbacks right now; end them
    // there (at once when that is this thread). Listening stops first, then
    // each SessionHelper finds the server gone and reports "Server shutdown".
    _poller->async([timer = std::move(_timer), socket = std::move(_socket),
                    sessions = std::move(_session_map)]() mutable {
        timer.reset();
        socket.reset();
        sessions.clear();
    }, true);
    // Each clone ends its own part the same way on its own poller.
    std::unordered_map<const EventPoller*, Ptr> clones;
    {
        std::lock_guard<std::mutex> lck(_mtx_cloned_server);
        clones.swap(_cloned_server);
    }
}

TcpServer::Ptr TcpServer::self() {
    return std::static_pointer_cast<TcpServer>(shared_from_this());
}

void TcpServer::setOnCreateSocket(Socket::onCreateSocket cb) {
    if (cb) {
        _on_create_socket = std::move(cb);
    } else {
        _on_create_socket = [](const EventPoller::Ptr& poller) { return Socket::createSocket(poller, false); };
    }
    std::lock_guard<std::mutex> lck(_mtx_cloned_server);
    for (auto& pr : _cloned_server) {
        pr.second->setOnCreateSocket(_on_create_socket);
    }
}

uint16_t TcpServer::getPort() const {
    return _socket ? _socket->get_local_port() : 0;
}

void TcpServer::setMaxConnections(size_t count, bool perAddress) {
    _places->setLimits(count, perAddress);
}

size_t TcpServer::maxConnections() const {
    return _places->cap();
}

size_t TcpServer::addressShare() const {
    return _places->share();
}

size_t TcpServer::connectionCount() const {
    return _places->used();
}

std::shared_ptr<void> TcpServer::takePlace(const Socket::Ptr& sock) {
    // The address accept gave: a connection reset while it waited in the
    // queue has no peer to ask any more, yet its data is still to be read and
    // run. It holds its place until its first read error, as any other.
    sockaddr_storage peer = sock->acceptedPeer();
    AddressPlaces::Refusal why = AddressPlaces::Refusal::None;
    auto place = _places->take(peer, &why);
    if (why == AddressPlaces::Refusal::Listener) {
        WarnL << "Connection refused: " << _places->cap() << " connections on port " << getPort() << " already";
    } else if (why == AddressPlaces::Refusal::Address) {
        WarnL << "Connection from " << SockUtil::inet_ntoa(reinterpret_cast<sockaddr*>(&peer)) << " refused: "
              << _places->share() << " connections of that address on port " << getPort() << " already";
    }
    return place;
}

std::shared_ptr<const TcpServer> TcpServer::mainServer() const {
    if (_parent) {
        return std::static_pointer_cast<const TcpServer>(_parent_weak.lock());
    }
    return std::static_pointer_cast<const TcpServer>(shared_from_this());
}

TcpServer::Ptr TcpServer::getServer(const EventPoller* poller) const {
    auto main = mainServer();
    if (!main) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lck(main->_mtx_cloned_server);
        auto it = main->_cloned_server.find(poller);
        if (it != main->_cloned_server.end()) {
            return it->second;
        }
    }
    return std::const_pointer_cast<TcpServer>(main);
}

std::vector<TcpServer::Ptr> TcpServer::family() const {
    std::vector<Ptr> ret;
    auto main = mainServer();
    if (!main) {
        return ret;
    }
    ret.push_back(std::const_pointer_cast<TcpServer>(main));
    std::lock_guard<std::mutex> lck(main->_mtx_cloned_server);
    for (auto& pr : main->_cloned_server) {
        ret.push_back(pr.second);
    }
    return ret;
}

TcpServer::Ptr TcpServer::onCreatServer(const EventPoller::Ptr& poller) {
    return std::make_shared<TcpServer>(poller);
}

Socket::Ptr TcpServer::onBeforeAcceptConnection(const EventPoller::Ptr&) {
    auto poller = EventPollerPool::Instance().getPoller(false);
    // While start-up is still making the clones, a poller may have no instance
    // yet; the connection then stays on the listener's own poller, which is
    // always served.
    auto server = getServer(poller.get());
    if (!server || server->_poller != poller) {
        poller = _poller;
    }
    return _on_create_socket(poller);
}

void TcpServer::setupEvent() {
    // The listener is shared by the family's threads (cloning, re-listening,
    // getPort), so it keeps its internal locks; the peers do not need them.
    _socket = Socket::createSocket(_poller, true);
    std::weak_ptr<TcpServer> weak_self = self();
    _socket->setOnBeforeAccept([weak_self](const EventPoller::Ptr& poller) -> Socket::Ptr {
        if (auto strong_self = weak_self.lock()) {
            return strong_self->onBeforeAcceptConnection(poller);
        }
        return nullptr;
    });
    _socket->setOnAccept([weak_self](Socket::Ptr& sock, std::shared_ptr<void>& complete) {
        auto strong_self = weak_self.lock();
        std::shared_ptr<void> place = strong_self ? strong_self->takePlace(sock) : nullptr;
        if (strong_self && !place) {
            // Closed before it is attached: the client sees its connection end
            // at once, and the descriptor is free again.
            sock->closeSock();
            return;
        }
        EventPoller::Ptr poller = sock->getPoller();
        auto server = strong_self ? strong_self->getServer(poller.get()) : nullptr;
        // The token travels into the task: the peer starts to read only once its
        // session exists, and it is attached on its own poller thread.
        poller->async([server, sock, token = std::move(complete), place = std::move(place)]() mutable {
            onceToken release(nullptr, [&]() {
                token.reset();
                sock.reset();
            });
            if (server) {
                server->onAcceptConnection(sock, std::move(place));
            }
        }, true);
    });
    // Without this the first hard accept failure would leave this poller
    // deaf to the port until restart.
    _socket->setOnErr([weak_self](const SockException& ex) {
        if (auto strong_self = weak_self.lock()) {
            strong_self->onListenError(ex);
        }
    });
}

void TcpServer::start_l(uint16_t port, const std::string& host, uint32_t backlog) {
    setupEvent();
    _host = host;
    _backlog = backlog;
    if (!_socket->listen(port, host, static_cast<int>(backlog))) {
        throw std::runtime_error("Listen on " + host + " " + std::to_string(port) +
                                 " failed: " + get_uv_errmsg(true));
    }
    _port = _socket->get_local_port();
    startTimer();
    createClones();
    InfoL << "TCP server listening on [" << host << "]: " << _port;
}

void TcpServer::startTimer() {
    std::weak_ptr<TcpServer> weak_self = self();
    _timer = std::make_shared<Timer>(kManagerSecond, [weak_self]() {
        auto strong_self = weak_self.lock();
        if (!strong_self) {
            return false;
        }
        strong_self->onManagerSession();
        return true;
    }, _poller);
}

void TcpServer::createClones() {
    std::vector<EventPoller::Ptr> pollers;
    EventPollerPool::Instance().for_each([&](const TaskExecutor::Ptr& executor) {
        auto poller = std::dynamic_pointer_cast<EventPoller>(executor);
        if (poller && poller != _poller) {
            pollers.push_back(poller);
        }
    });
    for (auto& poller : pollers) {
        Ptr clone;
        {
            std::lock_guard<std::mutex> lck(_mtx_cloned_server);
            auto it = _cloned_server.find(poller.get());
            if (it != _cloned_server.end()) {
                clone = it->second;
            }
        }
        bool fresh = !clone;
        if (fresh) {
            clone = onCreatServer(poller);
        }
        clone->cloneFrom(*this);
        // Published only once started: the accept paths of the other pollers
        // hand connections to the instances they find here.
        if (fresh) {
            std::lock_guard<std::mutex> lck(_mtx_cloned_server);
            _cloned_server.emplace(poller.get(), std::move(clone));
        }
    }
}

void TcpServer::cloneFrom(const TcpServer& that) {
    if (!that._socket) {
        throw std::invalid_argument("TcpServer::cloneFrom other with null socket");
    }
    setupEvent();
    _on_create_socket = that._on_create_socket;
    _session_alloc = that._session_alloc;
    _places = that._places;
    if (this != &that) {
        static_cast<mINI&>(*this) = that;
    }
    // Set before the clone starts to accept: its accept path reads them.
    _parent = &that;
    _parent_weak = that.weak_from_this();
    if (!_socket->cloneFromListenSocket(*that._socket)) {
        WarnL << "Clone of the tcp listener on " << _poller->getName() << " failed";
    }
    startTimer();
}

Session::Ptr TcpServer::onAcceptConnection(const Socket::Ptr& sock, std::shared_ptr<void> place) {
    auto strong_self = self();
    std::weak_ptr<TcpServer> weak_self = strong_self;
    auto helper = _session_alloc(strong_self, sock);
    auto session = helper->session();
    session->attachServer(*this);
    SessionHelper* helper_ptr = helper.get();
    _session_map.emplace(helper_ptr, SessionEntry{std::move(helper), std::move(place)});

    std::weak_ptr<Session> weak_session = session;
    sock->setOnRead([weak_session](const Buffer::Ptr& buf, struct sockaddr*, int) {
        auto strong_session = weak_session.lock();
        if (!strong_session) {
            return;
        }
        try {
            strong_session->onRecv(buf);
        } catch (SockException& ex) {
            strong_session->shutdown(ex);
        } catch (std::exception& ex) {
            strong_session->shutdown(SockException(Err_shutdown, ex.what()));
        }
    });
    sock->setOnErr([weak_self, weak_session, helper_ptr](const SockException& err) {
        // The session leaves the list even when its onError throws.
        onceToken remove(nullptr, [&]() {
            if (auto strong_self = weak_self.lock()) {
                strong_self->removeSession(helper_ptr);
            }
        });
        if (auto strong_session = weak_session.lock()) {
            strong_session->onError(err);
        }
    });
    return session;
}

void TcpServer::removeSession(SessionHelper* helper) {
    if (!_is_on_manager) {
        _session_map.erase(helper);
        return;
    }
    // Inside the management walk: erase after it, not under its feet.
    std::weak_ptr<TcpServer> weak_self = self();
    _poller->async([weak_self, helper]() {
        if (auto strong_self = weak_self.lock()) {
            strong_self->_session_map.erase(helper);
        }
    }, false);
}

void TcpServer::onManagerSession() {
    _is_on_manager = true;
    onceToken done(nullptr, [this]() { _is_on_manager = false; });
    for (auto& pr : _session_map) {
        try {
            pr.second.helper->session()->onManager();
        } catch (std::exception& ex) {
            WarnL << ex.what();
        }
    }
}

void TcpServer::onListenError(const SockException& ex) {
    WarnL << "TCP listener on " << _poller->getName() << " stopped: " << ex.what() << ", listening again";
    std::weak_ptr<TcpServer> weak_self = self();
    _poller->doDelayTask(kRelistenDelayMs, [weak_self]() -> uint64_t {
        auto strong_self = weak_self.lock();
        if (!strong_self || strong_self->relisten()) {
            return 0;
        }
        return kRelistenDelayMs;
    });
}

bool TcpServer::relisten() {
    if (!_socket || _socket->rawFD() != -1) {
        return true;
    }
    // Share the descriptor of any instance still listening...
    for (auto& server : family()) {
        auto& sock = server->_socket;
        if (server.get() == this || !sock || server->_poller == _poller || sock->rawFD() == -1) {
            continue;
        }
        if (_socket->cloneFromListenSocket(*sock)) {
            InfoL << "TCP listener on " << _poller->getName() << " listening again";
            return true;
        }
    }
    // ...or, when none is left, open the port afresh (the main server only, so
    // that the family ends up sharing one descriptor again).
    if (!_parent && _socket->listen(_port, _host, static_cast<int>(_backlog))) {
        InfoL << "TCP server listening again on [" << _host << "]: " << _port;
        return true;
    }
    return false;
}

} // namespace toolkit
