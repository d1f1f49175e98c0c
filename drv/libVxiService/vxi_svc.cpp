#include "vxi_svc.h"

#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Util/logger.h"
#include "vxi_xdr.h"

namespace {

// Datagram buffers: a write of 8800 bytes and its call header fit.
constexpr u_int kUdpBufferSize = 16384;

CVxiCore* g_core = nullptr;
int g_wakeFd = -1;
uint16_t g_tcpPort = 0;
uint16_t g_udpPort = 0;

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
void registerWithPortmap() {
    const int protocols[] = {IPPROTO_TCP, IPPROTO_UDP};
    const uint16_t ports[] = {g_tcpPort, g_udpPort};
    pmap_unset(DEVICE_CORE, DEVICE_VERSION);
    for (int i = 0; i < 2; ++i) {
        if (!pmap_set(DEVICE_CORE, DEVICE_VERSION, protocols[i], ports[i])) {
            PrintW("VXI-11 core program not registered with a port mapper (none runs?); "
                   "clients that look it up will not find it");
            return;
        }
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

int createTransports(uint16_t port) {
    int udpFd = boundSocket(SOCK_DGRAM, port);
    SVCXPRT* udp = udpFd < 0 ? nullptr : svcudp_bufcreate(udpFd, kUdpBufferSize, kUdpBufferSize);
    if (udp == nullptr) {
        return -1;
    }
    g_udpPort = boundPort(udpFd);
    int rc = registerPrograms(udp, -2);
    if (rc != 0) {
        return rc;
    }
    // Connections read their call records blocking: the runtime's
    // non-blocking record mode loses calls that come in several fragments,
    // as large writes of standard clients do.
    int tcpFd = boundSocket(SOCK_STREAM, port);
    SVCXPRT* tcp = tcpFd < 0 ? nullptr : svctcp_create(tcpFd, 0, 0);
    if (tcp == nullptr) {
        return -5;
    }
    g_tcpPort = boundPort(tcpFd);
    return registerPrograms(tcp, -6);
}

std::vector<int> liveFds() {
    std::vector<int> fds;
    for (int i = 0; i < svc_max_pollfd; ++i) {
        if (svc_pollfd[i].fd >= 0) {
            fds.push_back(svc_pollfd[i].fd);
        }
    }
    return fds;
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

// Decodes the arguments, runs the procedure and answers with its result.
template <typename A, typename R>
void serveWith(SVCXPRT* xprt, bool_t (*xdrArgs)(XDR*, A*), bool_t (*xdrResult)(XDR*, R*),
               R (CVxiCore::*procedure)(const A&, const VxiCaller&)) {
    A args{};
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(&args))) {
        svcerr_decode(xprt);
    } else {
        R result = (g_core->*procedure)(args, callerOf(xprt));
        if (!svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdrResult), reinterpret_cast<char*>(&result))) {
            svcerr_systemerr(xprt);
        }
    }
    if (!svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(&args))) {
        std::fprintf(stderr, "unable to free arguments\n");
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

void serveCreateLink(SVCXPRT* xprt) {
    // A connection that left in the batch where its descriptor was reused
    // still holds its links (and maybe the lock): let them go first.
    g_core->sweepDeparted(liveFds());
    serve<xdr_Create_LinkParms, xdr_Create_LinkResp, &CVxiCore::createLink>(xprt);
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
    {vxi_proc::create_link, serveCreateLink},
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

int vxiServiceInit(const _vxi_io_& io, uint16_t port, bool portmap) {
    int rc = createTransports(port);
    if (rc != 0) {
        std::fprintf(stderr, "%s\n", kInitErrors[-rc - 1]);
        return rc;
    }
    g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_core = new CVxiCore(io, g_tcpPort);  // lives as long as the transports
    if (portmap) {
        registerWithPortmap();
    }
    PrintI("VXI-11 server on TCP %u and UDP %u", g_tcpPort, g_udpPort);
    return 0;
}

void vxiServiceRun() {
    // A client that leaves before its reply must cost an error, not the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{g_wakeFd, POLLIN, 0});
        for (int i = 0; i < svc_max_pollfd; ++i) {
            fds.push_back(pollfd{svc_pollfd[i].fd, svc_pollfd[i].events, 0});
        }
        int ready = poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            std::fprintf(stderr, "svc_run returned\n");
            return;
        }
        if (fds[0].revents != 0) {
            return;  // stopped
        }
        svc_getreq_poll(fds.data() + 1, ready);
        g_core->sweepDeparted(liveFds());
    }
}

void vxiServiceStop() {
    uint64_t one = 1;
    if (write(g_wakeFd, &one, sizeof(one)) < 0) {
        PrintW("cannot wake the VXI-11 server: %s", std::strerror(errno));
    }
}

uint16_t vxiServicePort(bool stream) {
    return stream ? g_tcpPort : g_udpPort;
}
