#include "usb_gadget_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
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

void closeAll(std::vector<int>& fds) {
    for (int& fd : fds) closeFd(fd);
    fds.clear();
}

// One host's ends: {stand-in's, host's} of the bulk stream and of the control
// packets. False (and nothing open) when a pair could not be made.
bool makeEnds(int bulk[2], int control[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bulk) != 0) {
        return false;
    }
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) {
        ::close(bulk[0]);
        ::close(bulk[1]);
        return false;
    }
    return true;
}

// Shuts the earlier host's channel: what either side left unread goes, its
// end reads end of file, its sends fail.
void retire(int& fd, int& peer, std::vector<int>& to) {
    dropUnread(fd);
    dropUnread(peer);
    ::shutdown(fd, SHUT_RDWR);
    to.push_back(fd);
    to.push_back(peer);
    fd = peer = -1;
}

} // namespace

UsbGadgetHost::UsbGadgetHost() {
    int node[2];
    int bulk[2];
    int control[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, node) != 0) {
        return;
    }
    if (!makeEnds(bulk, control)) {
        ::close(node[0]);
        ::close(node[1]);
        return;
    }
    // The smallest send buffer: filling it (to make the node unwritable while
    // the host's channel is full) then takes a few KiB.
    int smallest = 0;
    ::setsockopt(node[0], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof(smallest));
    m_deviceBulk = node[0];
    m_innerBulk = node[1];
    m_relayBulk = bulk[0];
    m_hostBulk = bulk[1];
    m_deviceControl = control[0];
    m_hostControl = control[1];
    m_mirrorWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_mirrorWake >= 0) {
        m_mirror = std::thread([this] { mirror(); });
    }
}

UsbGadgetHost::~UsbGadgetHost() {
    if (m_mirror.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_bulkMtx);
            m_stop = true;
        }
        wakeMirror();
        m_mirror.join();
    }
    closeAll(m_retiredBulk);
    closeAll(m_retiredControl);
    for (int* fd : {&m_hostBulk, &m_relayBulk, &m_deviceBulk, &m_innerBulk, &m_hostControl, &m_deviceControl,
                    &m_mirrorWake}) {
        closeFd(*fd);
    }
}

bool UsbGadgetHost::ok() const {
    std::lock_guard<std::mutex> lock(m_bulkMtx);
    return m_deviceBulk >= 0 && m_relayBulk >= 0 && m_mirrorWake >= 0;
}

int UsbGadgetHost::hostBulkFd() const {
    std::lock_guard<std::mutex> lock(m_bulkMtx);
    return m_hostBulk;
}

int UsbGadgetHost::hostControlFd() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_hostControl;
}

void UsbGadgetHost::hangUpControl() {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_hostControl >= 0) {
        ::shutdown(m_hostControl, SHUT_RDWR);
    }
}

void UsbGadgetHost::wakeMirror() {
    uint64_t one = 1;
    ssize_t n = ::write(m_mirrorWake, &one, sizeof(one));
    (void)n;
}

// The node turns readable: one byte from its inner end.
void UsbGadgetHost::ringLocked() {
    const char bell = 0;
    m_bellRung = ::send(m_innerBulk, &bell, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
}

// The node turns unwritable: its send buffer filled with bytes nobody reads.
void UsbGadgetHost::plugLocked() {
    if (m_plugged) return;
    char fill[1024] = {};
    while (::send(m_deviceBulk, fill, sizeof(fill), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
    }
    m_plugged = true;
    wakeMirror();
}

void UsbGadgetHost::unplugLocked() {
    dropUnread(m_innerBulk);
    m_plugged = false;
}

// Watches the current host's channel for what the node shows: input (the
// bell) and, while plugged, room. Runs until the stand-in goes.
void UsbGadgetHost::mirror() {
    std::unique_lock<std::mutex> lock(m_bulkMtx);
    while (!m_stop) {
        closeAll(m_retiredBulk);
        short events = (m_bellRung ? 0 : POLLIN | POLLRDHUP) | (m_plugged ? POLLOUT : 0);
        pollfd fds[2] = {{m_mirrorWake, POLLIN, 0}, {events ? m_relayBulk : -1, events, 0}};
        const unsigned gen = m_bulkGen;
        lock.unlock();
        int n = ::poll(fds, 2, -1);
        lock.lock();
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t got = ::read(m_mirrorWake, &count, sizeof(count));
            (void)got;
            continue;  // something changed: look again
        }
        if (gen != m_bulkGen) continue;
        const short seen = fds[1].revents;
        if ((seen & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) && !m_bellRung) ringLocked();
        if ((seen & (POLLOUT | POLLHUP | POLLERR)) && m_plugged) unplugLocked();
    }
}

bool UsbGadgetHost::newHost() {
    int bulk[2];
    int control[2];
    if (!makeEnds(bulk, control)) {
        return false;
    }
    std::unique_lock<std::mutex> lock(m_bulkMtx);
    {
        std::lock_guard<std::mutex> ctl(m_mtx);
        retire(m_deviceControl, m_hostControl, m_retiredControl);
        m_deviceControl = control[0];
        m_hostControl = control[1];
        ++m_controlGen;
        if (!m_controlPolling) closeAll(m_retiredControl);
    }
    retire(m_relayBulk, m_hostBulk, m_retiredBulk);
    m_relayBulk = bulk[0];
    m_hostBulk = bulk[1];
    ++m_bulkGen;
    unplugLocked();
    m_change = Change::Announced;
    wakeMirror();
    if (m_openNodes == 0) {
        return true;  // a device that opens later learns it at its first read
    }
    // The device reads the change, deals with it and comes back for its next
    // read before the new host can send or ask anything: the bell wakes it.
    if (!m_bellRung) ringLocked();
    m_bulkCv.wait_for(lock, kDeviceWait, [this] { return m_change == Change::None || m_openNodes == 0; });
    return true;
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

int UsbGadgetHost::open(const std::string& /*node*/, int /*flags*/) {
    if (!ok()) {
        errno = ENODEV;
        return -1;
    }
    // The node reads and writes without blocking, whatever the flags.
    int fd = ::fcntl(m_deviceBulk, F_DUPFD_CLOEXEC, 0);
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

// The host's input, read from its channel; once it is empty the bell goes.
ssize_t UsbGadgetHost::recvLocked(void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::recv(m_relayBulk, buf, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK) && m_bellRung) {
        dropUnread(m_deviceBulk);
        m_bellRung = false;
        wakeMirror();
    }
    errno = error;
    return n;
}

ssize_t UsbGadgetHost::read(int /*fd*/, void* buf, size_t len) {
    // Under the lock, so that no read spans a change of host.
    std::lock_guard<std::mutex> lock(m_bulkMtx);
    if (m_change == Change::Announced) {
        m_change = Change::Reported;
        errno = ESHUTDOWN;
        return -1;
    }
    if (m_change == Change::Reported) {
        // Back after the change: the device has taken it in.
        m_change = Change::None;
        m_bulkCv.notify_all();
    }
    return recvLocked(buf, len);
}

ssize_t UsbGadgetHost::write(int /*fd*/, const void* buf, size_t len) {
    std::lock_guard<std::mutex> lock(m_bulkMtx);
    if (m_change == Change::Announced) {
        // Written for the host that has gone.
        errno = ESHUTDOWN;
        return -1;
    }
    // MSG_NOSIGNAL: a fake host that has gone is an error, not a SIGPIPE.
    ssize_t n;
    do {
        n = ::send(m_relayBulk, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The transport polls the node for room next.
        plugLocked();
        errno = EAGAIN;
    }
    return n;
}

int UsbGadgetHost::controlAnswer(int /*fd*/, const uint8_t* data, uint8_t len) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_answerFd < 0) {
        errno = EBADF;
        return -1;
    }
    if (m_eventGen != m_controlGen) {
        return 0;  // the host that asked has gone: the answer is for nobody
    }
    return ::send(m_deviceControl, data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len) ? 0 : -1;
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
    std::lock_guard<std::mutex> lock(m_mtx);
    // A handle of its own; the events are read from the current host's end.
    int fd = m_deviceControl >= 0 && !m_failEventOpen.load() ? ::fcntl(m_deviceControl, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd >= 0) {
        m_answerFd = fd;
    }
    return fd;
}

int UsbGadgetHost::eventBind(int /*eventFd*/) { return m_failEventBind.load() ? -1 : 0; }

int UsbGadgetHost::eventWait(int /*eventFd*/, int wakeFd, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mtx);
    const int fd = m_deviceControl;
    const unsigned gen = m_controlGen;
    m_controlPolling = true;
    lock.unlock();
    int ready = usbGadgetPollEvent(fd, wakeFd, timeoutMs);
    lock.lock();
    m_controlPolling = false;
    closeAll(m_retiredControl);
    if (ready <= 0 || gen != m_controlGen) {
        return ready < 0 && gen == m_controlGen ? -1 : 0;  // another host: its channel is new
    }
    uint8_t packet[kEventLen] = {};
    // MSG_TRUNC: the packet's own length, however long it was.
    ssize_t n = ::recv(fd, packet, sizeof(packet), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    if (n == 0 && hungUp(fd)) {
        return -1;  // the end of the channel reads as an empty packet too
    }
    if (n != static_cast<ssize_t>(kEventLen)) {
        // Not one event: refused as a stalled request is, and the channel
        // goes on with the next packet.
        ::send(fd, "", 0, MSG_NOSIGNAL);
        return 0;
    }
    m_u32Signal = static_cast<uint32_t>(packet[0]) | static_cast<uint32_t>(packet[1]) << 8 |
                  static_cast<uint32_t>(packet[2]) << 16 | static_cast<uint32_t>(packet[3]) << 24;
    std::memcpy(m_au8Setup, packet + 4, sizeof(m_au8Setup));
    m_eventGen = gen;
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
