#include "vxi_conn.h"

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

namespace {

constexpr size_t kReadChunk = 65536;
// Output buffers above this are given back once sent: a read reply may be
// megabytes, most are a few bytes.
constexpr size_t kKeptOutput = 65536;

}  // namespace

CVxiConnection::CVxiConnection(int fd, uint16_t localPort, std::shared_ptr<void> place)
    : m_lastProgress(Clock::now()), m_place(std::move(place)) {
    // The operation tables are types nested in SVCXPRT (const already).
    static std::remove_pointer_t<decltype(SVCXPRT::xp_ops)> kOps = {recv, stat, getArgs, reply, freeArgs,
                                                                   [](SVCXPRT*) {}};
    static std::remove_pointer_t<decltype(SVCXPRT::xp_ops2)> kOps2 = {
        [](SVCXPRT*, const u_int, void*) -> bool_t { return FALSE; }};
    socklen_t peerLen = sizeof(m_peer);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&m_peer), &peerLen) != 0) {
        peerLen = 0;
    }
    m_xprt.xp_fd = fd;
    m_xprt.xp_port = localPort;
    m_xprt.xp_ops = &kOps;
    m_xprt.xp_ops2 = &kOps2;
    m_xprt.xp_rtaddr.maxlen = sizeof(m_peer);
    m_xprt.xp_rtaddr.len = peerLen;
    m_xprt.xp_rtaddr.buf = &m_peer;
    m_xprt.xp_p1 = this;
    m_xprt.xp_p3 = &m_ext;
}

CVxiConnection::~CVxiConnection() {
    if (m_bAttached) {
        xprt_unregister(&m_xprt);
    }
    close(m_xprt.xp_fd);
}

bool CVxiConnection::attach() {
    xprt_register(&m_xprt);
    m_bAttached = true;  // unregistered with the object, even if only partly taken
    for (int i = 0; i < svc_max_pollfd; ++i) {
        if (svc_pollfd[i].fd == m_xprt.xp_fd) {
            return true;
        }
    }
    return false;
}

short CVxiConnection::events() const {
    // A peer that hangs up is noticed whatever the connection waits for.
    short events = POLLRDHUP;
    if (m_state == State::Reading && !m_reader.whole()) {
        events |= POLLIN;
    } else if (m_state == State::Replying) {
        events |= POLLOUT;
    }
    return events;
}

bool CVxiConnection::onReadable(Clock::time_point now) {
    if (m_state != State::Reading || m_reader.whole()) {
        return true;
    }
    char chunk[kReadChunk];
    ssize_t n = ::recv(m_xprt.xp_fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (n == 0) {
        return false;
    }
    m_lastProgress = now;
    size_t used = take(chunk, static_cast<size_t>(n), now);
    m_input.assign(chunk + used, static_cast<size_t>(n) - used);
    return !m_reader.broken();
}

size_t CVxiConnection::take(const char* data, size_t size, Clock::time_point now) {
    bool between = !m_reader.midRecord() && !m_reader.whole();
    size_t used = m_reader.take(data, size);
    if (between && used > 0) {
        m_recordStart = now;
    }
    return used;
}

void CVxiConnection::feed(Clock::time_point now) {
    size_t used = take(m_input.data(), m_input.size(), now);
    m_input.erase(0, used);
}

bool CVxiConnection::flush(Clock::time_point now) {
    while (m_state == State::Replying && m_outputSent < m_output.size()) {
        ssize_t n = ::send(m_xprt.xp_fd, m_output.data() + m_outputSent, m_output.size() - m_outputSent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        m_outputSent += static_cast<size_t>(n);
        m_lastProgress = now;
    }
    if (m_state == State::Replying) {
        m_output.clear();
        if (m_output.capacity() > kKeptOutput) {
            std::string().swap(m_output);
        }
        m_outputSent = 0;
        m_state = State::Reading;
        m_lastProgress = now;
        feed(now);
    }
    return !m_reader.broken();
}

bool CVxiConnection::dispatch(Clock::time_point now) {
    m_state = State::InCall;
    m_bLateReply = false;
    m_call = std::make_unique<RecordXdr>(m_reader);
    svc_getreq_common(m_xprt.xp_fd);
    m_call.reset();
    m_reader.next();
    if (m_bDead) {
        return false;
    }
    if (m_state == State::InCall && !m_bLateReply) {
        // Nothing to answer (the runtime dropped the call): on to the next.
        m_state = State::Reading;
        m_lastProgress = now;
        feed(now);
    }
    return !m_reader.broken();
}

CVxiConnection::Clock::time_point CVxiConnection::stallDeadline() const {
    if (m_state == State::Reading && m_reader.midRecord()) {
        return std::min(m_lastProgress + kStallTimeout, m_recordStart + kRecordTimeout);
    }
    return m_state == State::Replying ? m_lastProgress + kStallTimeout : Clock::time_point::max();
}

bool_t CVxiConnection::recv(SVCXPRT* xprt, rpc_msg* msg) {
    CVxiConnection& self = of(xprt);
    if (!self.m_call || !xdr_callmsg(self.m_call->xdr(), msg)) {
        self.m_bDead = true;
        return FALSE;
    }
    self.m_u32Xid = msg->rm_xid;
    return TRUE;
}

enum xprt_stat CVxiConnection::stat(SVCXPRT*) {
    // One call per dispatch; the connection's end is the server's business.
    return XPRT_IDLE;
}

bool_t CVxiConnection::getArgs(SVCXPRT* xprt, xdrproc_t decode, void* args) {
    CVxiConnection& self = of(xprt);
    return self.m_call ? (*decode)(self.m_call->xdr(), args) : FALSE;
}

bool_t CVxiConnection::reply(SVCXPRT* xprt, rpc_msg* msg) {
    CVxiConnection& self = of(xprt);
    if (self.m_state != State::InCall) {
        return FALSE;
    }
    msg->rm_xid = self.m_u32Xid;
    u_long size = xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_replymsg), msg);
    if (size == 0 || size > CVxiRecordReader::kMaxLength) {
        return FALSE;
    }
    self.m_output.resize(sizeof(uint32_t) + size);
    XDR out;
    xdrmem_create(&out, &self.m_output[sizeof(uint32_t)], static_cast<u_int>(size), XDR_ENCODE);
    bool_t ok = xdr_replymsg(&out, msg);
    u_int length = XDR_GETPOS(&out);
    xdr_destroy(&out);
    if (!ok) {
        self.m_output.clear();
        return FALSE;
    }
    // One fragment, the last.
    uint32_t mark = htonl(0x80000000u | length);
    std::memcpy(&self.m_output[0], &mark, sizeof(mark));
    self.m_output.resize(sizeof(uint32_t) + length);
    self.m_outputSent = 0;
    self.m_state = State::Replying;
    self.m_bLateReply = false;
    return TRUE;
}

bool_t CVxiConnection::freeArgs(SVCXPRT*, xdrproc_t decode, void* args) {
    xdr_free(decode, static_cast<char*>(args));
    return TRUE;
}
