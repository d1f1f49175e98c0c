#include "usb_gadget_attach.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "root_path.h"
#include "usb_gadget_host.h"

namespace platform {

UsbGadgetAttach::UsbGadgetAttach(UsbGadgetHost& host, const std::string& path)
    : m_host(host), m_hostPath(hostPath(path)) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (m_hostPath.size() >= sizeof(addr.sun_path)) {
        return;
    }
    std::memcpy(addr.sun_path, m_hostPath.c_str(), m_hostPath.size() + 1);
    // A host data root may not have the node's folder yet.
    size_t slash = m_hostPath.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        ::mkdir(m_hostPath.substr(0, slash).c_str(), 0755);
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(m_hostPath.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    m_listenFd = fd;
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { serve(); });
}

UsbGadgetAttach::~UsbGadgetAttach() {
    if (m_thread.joinable()) {
        uint64_t one = 1;
        ssize_t n = ::write(m_wakeFd, &one, sizeof(one));
        (void)n;
        m_thread.join();
    }
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        ::unlink(m_hostPath.c_str());
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
    }
}

void UsbGadgetAttach::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;  // EINTR
        }
        if (fds[1].revents & POLLIN) {
            return;
        }
        int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            handOver(client);
            ::close(client);
        }
    }
}

void UsbGadgetAttach::handOver(int client) {
    // Whoever had the ends before is gone: the new host starts afresh, on
    // ends of its own. Without them it gets none (its connection just ends).
    if (!m_host.newHost()) {
        return;
    }
    int fds[2] = {m_host.hostBulkFd(), m_host.hostControlFd()};
    char byte = 'U';
    iovec iov = {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(fds))] = {};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(fds));
    std::memcpy(CMSG_DATA(cm), fds, sizeof(fds));
    ::sendmsg(client, &msg, MSG_NOSIGNAL);
}

} // namespace platform
