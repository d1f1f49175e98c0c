#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Network/Session.h"
#include "Poller/EventPoller.h"

namespace toolkit {

// Free-form server settings (text key to text value); a clone copies its
// main server's.
using mINI = std::map<std::string, std::string>;

// The base of the servers: the poller a server belongs to, and its settings.
class Server : public std::enable_shared_from_this<Server>, public mINI {
public:
    using Ptr = std::shared_ptr<Server>;

    // A null poller means one from the pool (the caller's own when it runs on one).
    explicit Server(EventPoller::Ptr poller = nullptr);
    virtual ~Server() = default;

protected:
    EventPoller::Ptr _poller;
};

class SessionHelper;

// The process-wide registry of live sessions by identifier. Every holder of
// a SessionHelper keeps it alive, so it outlasts static destruction as long
// as it is needed.
class SessionMap : public std::enable_shared_from_this<SessionMap> {
public:
    using Ptr = std::shared_ptr<SessionMap>;

    static SessionMap& Instance();

    // Removes the entry; true when there was one.
    bool del(const std::string& identifier);
    // The live session of that identifier, or null.
    Session::Ptr get(const std::string& identifier);

private:
    friend class SessionHelper;
    SessionMap() = default;
    // Keeps an existing entry of the same identifier; false then.
    bool add(const std::string& identifier, const Session::Ptr& session);

    std::mutex _mtx_session;
    std::unordered_map<std::string, std::weak_ptr<Session>> _map_session;
};

// How a server owns one session: registers it in the SessionMap for its
// lifetime and, when it outlives its server, ends the session with
// "Server shutdown".
class SessionHelper {
public:
    using Ptr = std::shared_ptr<SessionHelper>;

    SessionHelper(const std::weak_ptr<Server>& server, Session::Ptr session);
    ~SessionHelper();

    SessionHelper(const SessionHelper&) = delete;
    SessionHelper& operator=(const SessionHelper&) = delete;

    const Session::Ptr& session() const { return _session; }

private:
    // The server is gone: report once, then drop the connection so that the
    // session (should someone else keep it) gets no further callbacks.
    void endWithServer();

    std::string _identifier;
    Session::Ptr _session;
    SessionMap::Ptr _session_map;
    std::weak_ptr<Server> _server;
};

} // namespace toolkit
