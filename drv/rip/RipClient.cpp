#include "RipClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Util/logger.h"

namespace {

constexpr size_t kRecordSize = sizeof(RIP_MSG_INFO);

// Copies a text field of the record, which the service may fill to the last
// byte without a terminator; `out` always ends terminated.
template <size_t N, size_t M>
void copyText(char (&out)[N], const char (&in)[M]) {
    static_assert(N >= 1, "room for the terminator");
    std::memset(out, 0, N);
    constexpr size_t most = (M < N - 1) ? M : N - 1;
    for (size_t i = 0; i < most && in[i] != '\0'; ++i) {
        out[i] = in[i];
    }
}

bool retryable(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK; }

} // namespace

RipClient::RipClient(RipClientSettings settings, Callback callback)
    : m_settings(std::move(settings)), m_callback(std::move(callback)) {}

RipClient::~RipClient() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_wakePipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(m_wakePipe[1], &byte, 1);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (int fd : m_wakePipe) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void RipClient::start() {
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        PrintE("rip client: no wake pipe: %s", std::strerror(errno));
    }
    m_thread = std::thread([this] { run(); });
    std::unique_lock<std::mutex> lock(m_mtx);
    if (!m_cv.wait_for(lock, m_settings.firstRecordWait, [this] { return m_firstDone; })) {
        PrintW("rip client: no record from the network-status service yet");
    }
}

RipNetSnapshot RipClient::snapshot() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_snapshot;
}

bool RipClient::stopping() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_stop;
}

void RipClient::update_net_info(const RIP_MSG_INFO& record, bool notify) {
    NET_CONFIG_PARA config;
    NET_STATUS status;
    bool report;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        RipNetSnapshot& s = m_snapshot;
        s.info.dhcp_en = record.dhcp;
        s.info.autoip_en = record.autoip;
        s.info.manual_en = record.staticip;
        s.info.ip = record.ip;
        s.info.gate = record.gate;
        s.info.mask = record.mask;
        s.info.dns[0] = record.dns[0];
        s.info.dns[1] = record.dns[1];
        s.mode = record.mode;
        s.speed = record.speed;
        s.duplex = record.duplex;
        s.status = static_cast<NET_STATUS>(record.option);
        copyText(s.domain, record.domain);
        copyText(s.mac, record.mac);
        status = s.status;
        config = s.info;
        report = notify && status != m_lastReported;
        m_lastReported = status;
    }
    if (report && m_callback) {
        m_callback(status, config);
    }
}

void RipClient::firstAttemptDone() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_firstDone = true;
    }
    m_cv.notify_all();
}

void RipClient::run() {
    pthread_setname_np(pthread_self(), "rip_client");
    while (!stopping()) {
        int fd = connectOnce();
        if (fd < 0) {
            firstAttemptDone();
            std::unique_lock<std::mutex> lock(m_mtx);
            m_cv.wait_for(lock, m_settings.retryDelay, [this] { return m_stop; });
            continue;
        }
        serve(fd);
        ::close(fd);
    }
    firstAttemptDone();
}

int RipClient::connectOnce() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_settings.port);
    if (::inet_pton(AF_INET, m_settings.address.c_str(), &addr.sin_addr) != 1) {
        PrintE("rip client: bad service address %s", m_settings.address.c_str());
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (rc != 0 && errno == EINPROGRESS && waitFor(fd, POLLOUT, -1) == Wait::Ready) {
        int err = 0;
        socklen_t len = sizeof(err);
        rc = (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) ? 0 : -1;
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void RipClient::serve(int fd) {
    RIP_MSG_INFO record;
    if (!sendRequest(fd)) {
        firstAttemptDone();
        return;
    }
    // The first record of a connection is kept without a report: a
    // reconnection is no change of the link.
    Read got = readRecord(fd, record);
    if (got == Read::Record) {
        update_net_info(record, false);
    }
    firstAttemptDone();
    while (got == Read::Record) {
        got = readRecord(fd, record);
        if (got == Read::Record) {
            update_net_info(record, true);
        }
    }
}

bool RipClient::sendRequest(int fd) {
    RIP_MSG_INFO request;
    std::memset(&request, 0, sizeof(request));
    request.option = 1;
    const char* data = reinterpret_cast<const char*>(&request);
    size_t sent = 0;
    while (sent < kRecordSize) {
        ssize_t n = ::send(fd, data + sent, kRecordSize - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && retryable(errno)) {
            if (waitFor(fd, POLLOUT, -1) != Wait::Ready) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

RipClient::Read RipClient::readRecord(int fd, RIP_MSG_INFO& record) {
    unsigned char buf[kRecordSize] = {};
    size_t have = 0;
    while (have < kRecordSize) {
        const int timeout = have == 0 ? -1 : static_cast<int>(m_settings.shortRecordWait.count());
        Wait w = waitFor(fd, POLLIN, timeout);
        if (w == Wait::Stopped) {
            return Read::Stopped;
        }
        if (w == Wait::Timeout) {
            break;  // the service sent a short record: the rest stays zero
        }
        ssize_t n = ::recv(fd, buf + have, kRecordSize - have, 0);
        if (n > 0) {
            have += static_cast<size_t>(n);
        } else if (n < 0 && retryable(errno)) {
            continue;
        } else if (n == 0 && have > 0) {
            break;  // a short last record; the close is seen by the next read
        } else {
            return Read::Closed;  // closed, or an error that ends the connection
        }
    }
    std::memcpy(&record, buf, kRecordSize);
    return Read::Record;
}

RipClient::Wait RipClient::waitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {m_wakePipe[0], POLLIN, 0}};
    for (;;) {
        if (stopping()) {
            return Wait::Stopped;
        }
        int n = ::poll(fds, m_wakePipe[0] >= 0 ? 2 : 1, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            return Wait::Timeout;
        }
        // A failed poll gives the connection up as a stop does; run() then
        // reconnects unless the client is being destroyed.
        if (n < 0 || fds[1].revents != 0) {
            return Wait::Stopped;
        }
        return Wait::Ready;
    }
}
