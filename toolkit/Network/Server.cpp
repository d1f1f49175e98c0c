#include "Network/Server.h"

#include "Poller/EventPollerPool.h"
#include "Util/logger.h"

namespace toolkit {

Server::Server(EventPoller::Ptr poller) {
    _poller = poller ? std::move(poller) : EventPollerPool::Instance().getPoller(true);
}

SessionMap& SessionMap::Instance() {
    // Never destroyed: sessions are made and ended on poller threads, which
    // keep running while static objects are torn down at exit.
    static auto* s_instance = new std::shared_ptr<SessionMap>(new SessionMap());
    return **s_instance;
}

bool SessionMap::add(const std::string& identifier, const Session::Ptr& session) {
    std::lock_guard<std::mutex> lck(_mtx_session);
    return _map_session.emplace(identifier, session).second;
}

bool SessionMap::del(const std::string& identifier) {
    std::lock_guard<std::mutex> lck(_mtx_session);
    return _map_session.erase(identifier) > 0;
}

Session::Ptr SessionMap::get(const std::string& identifier) {
    std::lock_guard<std::mutex> lck(_mtx_session);
    auto it = _map_session.find(identifier);
    return it == _map_session.end() ? nullptr : it->second.lock();
}

SessionHelper::SessionHelper(const std::weak_ptr<Server>& server, Session::Ptr session)
    : _session(std::move(session)), _server(server) {
    _session_map = SessionMap::Instance().shared_from_this();
    _identifier = _session->getIdentifier();
    _session_map->add(_identifier, _session);
}

SessionHelper::~SessionHelper() {
    if (!_server.lock()) {
        endWithServer();
    }
    _session_map->del(_identifier);
}

void SessionHelper::endWithServer() {
    auto task = [session = _session]() {
        try {
            session->onError(SockException(Err_other, "Server shutdown"));
        } catch (std::exception& ex) {
            WarnL << "Exception occurred when emit onError: " << ex.what();
        }
        if (auto& sock = session->getSock()) {
            sock->closeSock();
        }
    };
    // The session's callbacks belong on its poller thread; the task keeps the
    // session alive until it has run there.
    if (_session->getPoller()) {
        _session->async(std::move(task), true);
    } else {
        task();
    }
}

} // namespace toolkit
