#include "vxi_svc.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Network/sockutil.h"
#include "Util/logger.h"
#include "vxi_conn.h"
#include "vxi_xdr.h"

namespace {

using Clock = std::chrono::steady_clock;

// Datagram buffers: a write of 8800 bytes and its call header fit.
constexpr u_int kUdpBufferSize = 16384;
// Accepting pauses this long when descriptors or memory run out.
constexpr std::chrono::milliseconds kAcceptPause{100};
// Connections accepted per round, so that a flood cannot starve the others.
constexpr int kAcceptsPerRound = 64;

// A call whose procedure waits: `attempt` answers it once it returns true.
struct ParkedCall {
    SVCXPRT* xprt;
    std::shared_ptr<VxiWait> wait;
    std::function<bool()> attempt;
};

// Everything of the server is touched only on its thread, except `stop` and
// the wake event.
struct Server {
    CVxiCore* core = nullptr;
    int wakeFd = -1;
    std::atomic<bool> stop{false};
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
    int listenFd = -1;
    // The TCP side's handle, under which the programs are registered; the
    // connections get handles of their own (CVxiConnection).
    SVCXPRT listener{};
    SVCXPRT* udp = nullptr;
    // The datagram socket has one call in flight at a time: the runtime
    // keeps its caller until the reply.
    bool udpParked = false;
    Clock::time_point acceptResume{};
    // When the next idle datagram link ends.
    Clock::time_point nextExpiry = Clock::time_point::max();
    std::map<int, std::unique_ptr<CVxiConnection>> conns;
    toolkit::AddressPlaces places;
    std::vector<ParkedCall> parked;
    // The port-mapper keeper sleeps on these until its next look or the stop.
    std::mutex keeperMutex;
    std::condition_variable keeperWake;
};

Server& g = *new Server;  // the transports live as long as the process

int boundSocket(int type, uint16_t port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    if (type == SOCK_STREAM) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        (type == SOCK_STREAM && listen(fd, SOMAXCONN) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// The three programs on one transport, in the order async, core, interrupt;
// `first` is the error code of the first registration.
int registerPrograms(SVCXPRT* xprt, int first) {
    if (!svc_register(xprt, DEVICE_ASYNC, DEVICE_VERSION, device_async_1, 0)) {
        return first;
    }
    if (!svc_register(xprt, DEVICE_CORE, DEVICE_VERSION, device_core_1, 0)) {
        return first - 1;
    }
    if (!svc_register(xprt, DEVICE_INTR, DEVICE_VERSION, device_intr_1, 0)) {
        return first - 2;
    }
    return 0;
}

// VISA clients look the core program up with the port mapper. An entry left
// by an earlier run of the service is replaced.
bool registerWithPortmap() {
    const int protocols[] = {IPPROTO_TCP, IPPROTO_UDP};
    const uint16_t ports[] = {g.tcpPort, g.udpPort};
    pmap_unset(DEVICE_CORE, DEVICE_VERSION);
    for (int i = 0; i < 2; ++i) {
        if (!pmap_set(DEVICE_CORE, DEVICE_VERSION, protocols[i], ports[i])) {
            PrintW("VXI-11 core program not registered with a port mapper (none runs?); "
                   "clients that look it up will not find it");
            return false;
        }
    }
    return true;
}

// Another server's entry (another port) is left alone: two servers that
// took each other's entry back every period would serve nobody reliably.
enum class PortmapEntry { Present, Missing, Other, Unreachable };

// Asks the local port mapper over TCP, which fails at once when none
// listens, with a short time-out for one that does not answer.
PortmapEntry lookUpPortmap() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PMAPPORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int sock = RPC_ANYSOCK;
    CLIENT* client = clnttcp_create(&addr, PMAPPROG, PMAPVERS, &sock, 0, 0);
    if (client == nullptr) {
        return PortmapEntry::Unreachable;
    }
    PortmapEntry entry = PortmapEntry::Present;
    const int protocols[] = {IPPROTO_TCP, IPPROTO_UDP};
    const uint16_t ports[] = {g.tcpPort, g.udpPort};
    for (int i = 0; i < 2 && entry == PortmapEntry::Present; ++i) {
        pmap query{DEVICE_CORE, DEVICE_VERSION, static_cast<u_long>(protocols[i]), 0};
        u_long port = 0;
        timeval timeout{1, 0};
        clnt_stat rc = clnt_call(client, PMAPPROC_GETPORT, reinterpret_cast<xdrproc_t>(xdr_pmap),
                                 reinterpret_cast<char*>(&query), reinterpret_cast<xdrproc_t>(xdr_u_long),
                                 reinterpret_cast<char*>(&port), timeout);
        if (rc != RPC_SUCCESS) {
            entry = PortmapEntry::Unreachable;
        } else if (port == 0) {
            entry = PortmapEntry::Missing;
        } else if (port != ports[i]) {
            entry = PortmapEntry::Other;
        }
    }
    clnt_destroy(client);
    return entry;
}

// On a thread of its own, so that a port mapper that hangs holds up no
// client: one look per period, a registration only when the entry is gone.
void keepPortmapEntry(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(g.keeperMutex);
    bool otherTold = false;
    while (!g.keeperWake.wait_for(lock, period, [] { return g.stop.load(); })) {
        lock.unlock();
        const PortmapEntry entry = lookUpPortmap();
        if (entry == PortmapEntry::Missing && registerWithPortmap()) {
            PrintI("VXI-11 core program registered again with the port mapper");
        } else if (entry == PortmapEntry::Other && !otherTold) {
            PrintW("VXI-11 core program is registered with the port mapper for another port; left as it is");
        }
        otherTold = entry == PortmapEntry::Other;
        lock.lock();
    }
}

const char* const kInitErrors[] = {
    "cannot create udp service.",
    "unable to register (ASYNC_PROGRAM, udp).",
    "unable to register (CORE_PROGRAM, udp).",
    "unable to register (INTR_PROGRAM, udp).",
    "cannot create tcp service.",
    "unable to register (ASYNC_PROGRAM, tcp).",
    "unable to register (CORE_PROGRAM, tcp).",
    "unable to register (INTR_PROGRAM, tcp).",
};

bool makeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int createTransports(uint16_t port) {
    int udpFd = boundSocket(SOCK_DGRAM, port);
    g.udp = udpFd < 0 || !makeNonBlocking(udpFd) ? nullptr : svcudp_bufcreate(udpFd, kUdpBufferSize, kUdpBufferSize);
    if (g.udp == nullptr) {
        return -1;
    }
    g.udpPort = boundPort(udpFd);
    int rc = registerPrograms(g.udp, -2);
    if (rc != 0) {
        return rc;
    }
    // Connections are accepted and read here, without blocking (vxi_conn).
    g.listenFd = boundSocket(SOCK_STREAM, port);
    if (g.listenFd < 0 || !makeNonBlocking(g.listenFd)) {
        return -5;
    }
    g.tcpPort = boundPort(g.listenFd);
    g.listener.xp_fd = g.listenFd;
    g.listener.xp_port = g.tcpPort;
    return registerPrograms(&g.listener, -6);
}

VxiCaller callerOf(SVCXPRT* xprt) {
    VxiCaller caller;
    caller.fd = xprt->xp_fd;
    int type = 0;
    socklen_t typeLen = sizeof(type);
    getsockopt(caller.fd, SOL_SOCKET, SO_TYPE, &type, &typeLen);
    caller.stream = type == SOCK_STREAM;
    caller.peerLen = sizeof(caller.peer);
    if (caller.stream) {
        if (getpeername(caller.fd, reinterpret_cast<sockaddr*>(&caller.peer), &caller.peerLen) != 0) {
            caller.peerLen = 0;
        }
    } else {
        const netbuf* from = svc_getrpccaller(xprt);
        caller.peerLen = static_cast<socklen_t>(std::min<size_t>(from->len, sizeof(caller.peer)));
        std::memcpy(&caller.peer, from->buf, caller.peerLen);
    }
    return caller;
}

void park(SVCXPRT* xprt, std::shared_ptr<VxiWait> wait, std::function<bool()> attempt) {
    if (xprt == g.udp) {
        g.udpParked = true;
    } else if (auto it = g.conns.find(xprt->xp_fd); it != g.conns.end()) {
        it->second->awaitReply();
    }
    g.parked.push_back(ParkedCall{xprt, std::move(wait), std::move(attempt)});
}

// Decodes the arguments, runs the procedure and answers with its result.
template <typename A, typename R>
void serveWith(SVCXPRT* xprt, bool_t (*xdrArgs)(XDR*, A*), bool_t (*xdrResult)(XDR*, R*),
               R (CVxiCore::*procedure)(const A&, const VxiCaller&)) {
    A args{};
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(&args))) {
        svcerr_decode(xprt);
    } else {
        R result = (g.core->*procedure)(args, callerOf(xprt));
        if (!svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdrResult), reinterpret_cast<char*>(&result))) {
            svcerr_systemerr(xprt);
        }
    }
    if (!svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(&args))) {
        std::fprintf(stderr, "unable to free arguments\n");
    }
}

// The same for a procedure that may wait: it is parked, with its arguments,
// until it answers; the server thread goes on meanwhile.
template <typename A, typename R>
void serveWith(SVCXPRT* xprt, bool_t (*xdrArgs)(XDR*, A*), bool_t (*xdrResult)(XDR*, R*),
               bool (CVxiCore::*procedure)(const A&, const VxiCaller&, VxiWait&, R&)) {
    std::shared_ptr<A> args(new A{}, [xprt, xdrArgs](A* decoded) {
        if (!svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(decoded))) {
            std::fprintf(stderr, "unable to free arguments\n");
        }
        delete decoded;
    });
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(args.get()))) {
        svcerr_decode(xprt);
        return;
    }
    auto wait = std::make_shared<VxiWait>();
    auto attempt = [xprt, xdrResult, procedure, args, wait, caller = callerOf(xprt)]() {
        R result{};
        if (!(g.core->*procedure)(*args, caller, *wait, result)) {
            return false;
        }
        if (!svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdrResult), reinterpret_cast<char*>(&result))) {
            svcerr_systemerr(xprt);
        }
        return true;
    };
    if (!attempt()) {
        park(xprt, std::move(wait), std::move(attempt));
    }
}

template <auto XDR_ARGS, auto XDR_RESULT, auto PROCEDURE>
void serve(SVCXPRT* xprt) {
    serveWith(xprt, XDR_ARGS, XDR_RESULT, PROCEDURE);
}

// The empty arguments or result of a procedure.
bool_t xdrNothing(XDR*, int32_t*) {
    return TRUE;
}

void serveIntrSrq(SVCXPRT* xprt) {
    Device_SrqParms args{};
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_SrqParms), reinterpret_cast<char*>(&args))) {
        svcerr_decode(xprt);
    } else if (!svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdrNothing), nullptr)) {
        svcerr_systemerr(xprt);
    }
    svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_SrqParms), reinterpret_cast<char*>(&args));
}

struct Procedure {
    uint32_t number;
    void (*serve)(SVCXPRT*);
};

const Procedure kCoreProcedures[] = {
    {vxi_proc::create_link, serve<xdr_Create_LinkParms, xdr_Create_LinkResp, &CVxiCore::createLink>},
    {vxi_proc::device_write, serve<xdr_Device_WriteParms, xdr_Device_WriteResp, &CVxiCore::write>},
    {vxi_proc::device_read, serve<xdr_Device_ReadParms, xdr_Device_ReadResp, &CVxiCore::read>},
    {vxi_proc::device_readstb, serve<xdr_Device_GenericParms, xdr_Device_ReadStbResp, &CVxiCore::readStb>},
    {vxi_proc::device_trigger, serve<xdr_Device_GenericParms, xdr_Device_Error, &CVxiCore::trigger>},
    {vxi_proc::device_clear, serve<xdr_Device_GenericParms, xdr_Device_Error, &CVxiCore::clear>},
    {vxi_proc::device_remote, serve<xdr_Device_GenericParms, xdr_Device_Error, &CVxiCore::remote>},
    {vxi_proc::device_local, serve<xdr_Device_GenericParms, xdr_Device_Error, &CVxiCore::local>},
    {vxi_proc::device_lock, serve<xdr_Device_LockParms, xdr_Device_Error, &CVxiCore::lock>},
    {vxi_proc::device_unlock, serve<xdr_Device_Link, xdr_Device_Error, &CVxiCore::unlock>},
    {vxi_proc::device_enable_srq, serve<xdr_Device_EnableSrqParms, xdr_Device_Error, &CVxiCore::enableSrq>},
    {vxi_proc::device_docmd, serve<xdr_Device_DocmdParms, xdr_Device_DocmdResp, &CVxiCore::docmd>},
    {vxi_proc::destroy_link, serve<xdr_Device_Link, xdr_Device_Error, &CVxiCore::destroyLink>},
    {vxi_proc::create_intr_chan, serve<xdr_Device_RemoteFunc, xdr_Device_Error, &CVxiCore::createIntrChan>},
    {vxi_proc::destroy_intr_chan, serve<xdrNothing, xdr_Device_Error, &CVxiCore::destroyIntrChan>},
};
const Procedure kAsyncProcedures[] = {
    {vxi_proc::device_abort, serve<xdr_Device_Link, xdr_Device_Error, &CVxiCore::abort>},
};
const Procedure kIntrProcedures[] = {
    {vxi_proc::device_intr_srq, serveIntrSrq},
};

template <size_t N>
void dispatch(const Procedure (&table)[N], svc_req* rqstp, SVCXPRT* xprt) {
    if (rqstp->rq_proc == 0) {
        if (!svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdrNothing), nullptr)) {
            svcerr_systemerr(xprt);
        }
        return;
    }
    for (const Procedure& procedure : table) {
        if (procedure.number == rqstp->rq_proc) {
            procedure.serve(xprt);
            return;
        }
    }
    svcerr_noproc(xprt);
}

}  // namespace

void device_core_1(svc_req* rqstp, SVCXPRT* transp) {
    dispatch(kCoreProcedures, rqstp, transp);
}

void device_async_1(svc_req* rqstp, SVCXPRT* transp) {
    dispatch(kAsyncProcedures, rqstp, transp);
}

void device_intr_1(svc_req* rqstp, SVCXPRT* transp) {
    dispatch(kIntrProcedures, rqstp, transp);
}

namespace {

// Answers the parked calls that can go on now. Answering never releases what
// another waits for (a waiter can only take the lock), so one round is enough.
void resumeParked() {
    for (size_t i = 0; i < g.parked.size();) {
        if (!g.parked[i].attempt()) {
            ++i;
            continue;
        }
        if (g.parked[i].xprt == g.udp) {
            g.udpParked = false;
        }
        g.parked.erase(g.parked.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// A connection that has gone takes its waiting call and its links with it.
void closeConnection(int fd) {
    auto it = g.conns.find(fd);
    if (it == g.conns.end()) {
        return;
    }
    SVCXPRT* xprt = it->second->xprt();
    g.parked.erase(std::remove_if(g.parked.begin(), g.parked.end(),
                                  [xprt](const ParkedCall& call) { return call.xprt == xprt; }),
                   g.parked.end());
    g.core->dropConnection(fd);
    g.conns.erase(it);
}

// A place for the connection from `peer`, or null, logged, when its
// address's share or the cap is reached.
toolkit::AddressPlaces::Place placeFor(const sockaddr_storage& peer) {
    toolkit::AddressPlaces::Refusal why = toolkit::AddressPlaces::Refusal::None;
    auto place = g.places.take(peer, &why);
    if (why == toolkit::AddressPlaces::Refusal::Listener) {
        PrintW("VXI-11 connection refused: %zu connections already", g.places.cap());
    } else if (why == toolkit::AddressPlaces::Refusal::Address) {
        PrintW("VXI-11 connection from %s refused: %zu connections of that address already",
               toolkit::SockUtil::inet_ntoa(reinterpret_cast<const sockaddr*>(&peer)).c_str(), g.places.share());
    }
    return place;
}

void acceptConnections(Clock::time_point now) {
    for (int i = 0; i < kAcceptsPerRound; ++i) {
        sockaddr_storage peer{};
        socklen_t peerLen = sizeof(peer);
        int fd = accept4(g.listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                PrintW("VXI-11 accept paused: %s", std::strerror(errno));
                g.acceptResume = now + kAcceptPause;
                return;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            continue;  // that peer failed; the next may not
        }
        auto place = placeFor(peer);
        if (!place) {
            close(fd);  // its client learns at once, and the descriptor is free again
            continue;
        }
        auto conn = std::make_unique<CVxiConnection>(fd, g.tcpPort, std::move(place));
        if (!conn->attach()) {
            PrintW("VXI-11 connection on descriptor %d refused: beyond the RPC runtime's table", fd);
            continue;
        }
        g.conns[fd] = std::move(conn);
    }
}

// Reads and writes what the poll found ready, then dispatches one whole call
// per connection.
void serveConnections(const std::vector<pollfd>& fds, size_t first, Clock::time_point now) {
    std::vector<int> gone;
    for (size_t i = first; i < fds.size(); ++i) {
        CVxiConnection& conn = *g.conns.at(fds[i].fd);
        short ev = fds[i].revents;
        bool alive = (ev & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
        alive = alive && ((ev & POLLIN) == 0 || conn.onReadable(now));
        alive = alive && ((ev & POLLOUT) == 0 || conn.flush(now));
        if (!alive) {
            gone.push_back(fds[i].fd);
        }
    }
    for (int fd : gone) {
        closeConnection(fd);
    }
    gone.clear();
    for (auto& entry : g.conns) {
        if (entry.second->callReady() && !entry.second->dispatch(now)) {
            gone.push_back(entry.first);
        }
    }
    for (int fd : gone) {
        closeConnection(fd);
    }
}

// Sends the replies made this round and closes the connections that went
// silent midway or whose call took too long to arrive.
void flushAndReap(Clock::time_point now) {
    std::vector<int> gone;
    for (auto& entry : g.conns) {
        if (!entry.second->flush(now)) {
            gone.push_back(entry.first);
        } else if (entry.second->stallDeadline() <= now) {
            PrintI("VXI-11 connection %d closed: a call or its reply stalled, or a call took too long to arrive",
                   entry.first);
            gone.push_back(entry.first);
        }
    }
    for (int fd : gone) {
        closeConnection(fd);
    }
}

// Until the next thing that is due: a wait's end, a stall, accepting again,
// an idle datagram link's end.
int pollTimeoutMs(Clock::time_point now) {
    Clock::time_point due = g.nextExpiry;
    for (const ParkedCall& call : g.parked) {
        due = std::min(due, call.wait->deadline);
    }
    for (const auto& entry : g.conns) {
        if (entry.second->callReady()) {
            return 0;
        }
        due = std::min(due, entry.second->stallDeadline());
    }
    if (g.acceptResume > now) {
        due = std::min(due, g.acceptResume);
    }
    if (due == Clock::time_point::max()) {
        return -1;
    }
    if (due <= now) {
        return 0;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

}  // namespace

int vxiServiceInit(const _vxi_io_& io, uint16_t port, bool portmap, std::chrono::milliseconds portmapCheck) {
    int rc = createTransports(port);
    if (rc != 0) {
        std::fprintf(stderr, "%s\n", kInitErrors[-rc - 1]);
        return rc;
    }
    g.places.setLimits(kVxiMaxConnections, true);
    g.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g.core = new CVxiCore(io, g.tcpPort);  // lives as long as the transports
    if (portmap) {
        registerWithPortmap();
        std::thread(keepPortmapEntry, portmapCheck).detach();  // ends with vxiServiceStop
    }
    PrintI("VXI-11 server on TCP %u and UDP %u", g.tcpPort, g.udpPort);
    return 0;
}

void vxiServiceRun() {
    // A client that leaves before its reply must cost an error, not the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    // Wake event, listener, datagram socket, then the connections.
    constexpr size_t kFirstConnection = 3;
    std::vector<pollfd> fds;
    while (!g.stop.load()) {
        Clock::time_point now = Clock::now();
        fds.assign({pollfd{g.wakeFd, POLLIN, 0}, pollfd{now >= g.acceptResume ? g.listenFd : -1, POLLIN, 0},
                    pollfd{g.udpParked ? -1 : g.udp->xp_fd, POLLIN, 0}});
        for (const auto& entry : g.conns) {
            fds.push_back(pollfd{entry.first, entry.second->events(), 0});
        }
        if (poll(fds.data(), fds.size(), pollTimeoutMs(now)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "svc_run returned\n");
            return;
        }
        now = Clock::now();
        if (fds[0].revents != 0) {
            uint64_t count;
            while (read(g.wakeFd, &count, sizeof(count)) > 0) {
            }
        }
        if (fds[1].revents != 0) {
            acceptConnections(now);
        }
        if (fds[2].revents != 0) {
            svc_getreq_common(g.udp->xp_fd);
        }
        serveConnections(fds, kFirstConnection, now);
        resumeParked();
        flushAndReap(now);
        g.nextExpiry = g.core->expireIdle();
    }
}

void vxiServiceWake() {
    uint64_t one = 1;
    if (write(g.wakeFd, &one, sizeof(one)) < 0 && errno != EAGAIN) {
        PrintW("cannot wake the VXI-11 server: %s", std::strerror(errno));
    }
}

void vxiServiceStop() {
    {
        std::lock_guard<std::mutex> lock(g.keeperMutex);
        g.stop.store(true);
    }
    g.keeperWake.notify_all();
    vxiServiceWake();
}

uint16_t vxiServicePort(bool stream) {
    return stream ? g.tcpPort : g.udpPort;
}

const toolkit::AddressPlaces& vxiServicePlaces() {
    return g.places;
}
