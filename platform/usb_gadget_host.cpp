#include "usb_gadget_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace platform {

namespace {

constexpr size_t kEventLen = 12;
// Longer than the device's own longest waits (5 s for a reply).
constexpr auto kDeviceWait = std::chrono::seconds(8);

bool hungUp(int fd) {
    pollfd p = {fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
}

// Reads and drops what waits on fd, without blocking.
void dropUnread(int fd) {
    char buf[4096];
    while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

UsbGadgetHost::UsbGadgetHost() {
    int bulk[2];
    int control[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bulk) != 0) {
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) {
        ::close(bulk[0]);
        ::close(bulk[1]);
        return;
    }
    m_deviceBulk = bulk[0];
    m_hostBulk = bulk[1];
    m_deviceControl = control[0];
    m_hostControl = control[1];
}

UsbGadgetHost::~UsbGadgetHost() {
    closeFd(m_hostBulk);
    closeFd(m_deviceBulk);
    closeFd(m_hostControl);
    closeFd(m_deviceControl);
}

void UsbGadgetHost::hangUpControl() {
    if (m_hostControl >= 0) {
        ::shutdown(m_hostControl, SHUT_RDWR);
    }
}

void UsbGadgetHost::newHost() {
    std::unique_lock<std::mutex> lock(m_bulkMtx);
    dropUnread(m_deviceBulk);
    dropUnread(m_hostBulk);
    m_bHostChanged = true;
    // With the node open, one byte wakes the device to read: that read
    // reports the change, and the device comes back for the byte once it has
    // dealt with it, before the new host can send or ask anything.
    const char wake = 0;
    if (m_openNodes == 0 || ::send(m_hostBulk, &wake, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        return;
    }
    m_bWakePending = true;
    m_bulkCv.wait_for(lock, kDeviceWait, [this] { return !m_bWakePending || m_openNodes == 0; });
    if (m_bWakePending) {
        // It did not come in time: it learns at its next read, after the new
        // host's first bytes.
        dropUnread(m_deviceBulk);
        m_bWakePending = false;
    }
}

std::vector<std::vector<std::string>> UsbGadgetHost::moduleCommands() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_moduleCommands;
}

int UsbGadgetHost::runModuleCommand(const std::vector<std::string>& argv) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_moduleCommands.push_back(argv);
    }
    if (!argv.empty() && argv[0] == "insmod" && m_failLoads.load()) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int UsbGadgetHost::open(const std::string& /*node*/, int flags) {
    if (!ok()) {
        errno = ENODEV;
        return -1;
    }
    int fd = ::fcntl(m_deviceBulk, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0 && (flags & O_NONBLOCK)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(m_bulkMtx);
        ++m_openNodes;
    }
    return fd;
}

int UsbGadgetHost::close(int fd) {
    {
        std::lock_guard<std::mutex> lock(m_bulkMtx);
        m_openNodes -= m_openNodes > 0 ? 1 : 0;
    }
    m_bulkCv.notify_all();
    return ::close(fd);
}

ssize_t UsbGadgetHost::read(int fd, void* buf, size_t len) {
    // Under the lock, so that no read spans a change of host: the transport
    // reads its node without blocking.
    std::lock_guard<std::mutex> lock(m_bulkMtx);
    if (std::exchange(m_bHostChanged, false)) {
        errno = ESHUTDOWN;
        return -1;
    }
    if (std::exchange(m_bWakePending, false)) {
        // Back for the waking byte: the device has taken in the change. The
        // byte is alone in the channel, the new host has not got the ends yet.
        dropUnread(fd);
        m_bulkCv.notify_all();
        errno = EAGAIN;
        return -1;
    }
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t UsbGadgetHost::write(int fd, const void* buf, size_t len) {
    std::lock_guard<std::mutex> lock(m_bulkMtx);
    if (m_bHostChanged) {
        // Written for the host that has gone.
        errno = ESHUTDOWN;
        return -1;
    }
    // MSG_NOSIGNAL: a fake host that has gone is an error, not a SIGPIPE.
    ssize_t n;
    do {
        n = ::send(fd, buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

int UsbGadgetHost::controlAnswer(int /*fd*/, const uint8_t* data, uint8_t len) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_answerFd < 0) {
        errno = EBADF;
        return -1;
    }
    return ::send(m_answerFd, data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len) ? 0 : -1;
}

int UsbGadgetHost::readSetup(int /*fd*/, uint8_t setup[8]) {
    std::lock_guard<std::mutex> lock(m_mtx);
    std::memcpy(setup, m_au8Setup, sizeof(m_au8Setup));
    return 0;
}

int UsbGadgetHost::readSignal(int /*fd*/, uint32_t& type) {
    std::lock_guard<std::mutex> lock(m_mtx);
    type = m_u32Signal;
    return 0;
}

int UsbGadgetHost::haltBulkOut(int /*fd*/) {
    ++m_bulkOutHalts;
    return 0;
}

int UsbGadgetHost::haltBulkIn(int /*fd*/) {
    ++m_bulkInHalts;
    return 0;
}

int UsbGadgetHost::eventOpen() {
    int fd = ok() && !m_failEventOpen.load() ? ::fcntl(m_deviceControl, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_answerFd = fd;
    }
    return fd;
}

int UsbGadgetHost::eventBind(int /*eventFd*/) { return m_failEventBind.load() ? -1 : 0; }

int UsbGadgetHost::eventWait(int eventFd, int wakeFd, int timeoutMs) {
    int ready = usbGadgetPollEvent(eventFd, wakeFd, timeoutMs);
    if (ready <= 0) {
        return ready;
    }
    uint8_t packet[kEventLen] = {};
    // MSG_TRUNC: the packet's own length, however long it was.
    ssize_t n = ::recv(eventFd, packet, sizeof(packet), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    if (n == 0 && hungUp(eventFd)) {
        return -1;  // the end of the channel reads as an empty packet too
    }
    if (n != static_cast<ssize_t>(kEventLen)) {
        // Not one event: refused as a stalled request is, and the channel
        // goes on with the next packet.
        ::send(eventFd, "", 0, MSG_NOSIGNAL);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    m_u32Signal = static_cast<uint32_t>(packet[0]) | static_cast<uint32_t>(packet[1]) << 8 |
                  static_cast<uint32_t>(packet[2]) << 16 | static_cast<uint32_t>(packet[3]) << 24;
    std::memcpy(m_au8Setup, packet + 4, sizeof(m_au8Setup));
    return 1;
}

void UsbGadgetHost::eventClose(int eventFd) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_answerFd == eventFd) {
            m_answerFd = -1;
        }
    }
    ::close(eventFd);
}

} // namespace platform
