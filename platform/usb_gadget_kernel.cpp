#include "usb_gadget_kernel.h"

#include <linux/netlink.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device_io.h"
#include "device_io_host.h"

extern char** environ;

namespace platform {

namespace {

// Requests of the gadget driver.
constexpr unsigned long kIoctlControlAnswer = 15;
constexpr unsigned long kIoctlReadSetup = 17;
constexpr unsigned long kIoctlReadSignal = 18;
constexpr unsigned long kIoctlHaltBulkOut = 19;
constexpr unsigned long kIoctlHaltBulkIn = 20;

// The driver's netlink family and the port it sends its events to.
constexpr int kNetlinkProtocol = 30;
constexpr uint32_t kNetlinkPort = 100;
constexpr size_t kEventMax = 144;

bool noGadget() {
    if (devSimulated()) {
        errno = ENODEV;
        return true;
    }
    return false;
}

} // namespace

int UsbGadgetKernel::runModuleCommand(const std::vector<std::string>& argv) {
    if (noGadget() || argv.empty()) {
        return -1;
    }
    // su runs the command as root by itself (su 0 COMMAND...), not through sh.
    std::vector<char*> args = {const_cast<char*>("su"), const_cast<char*>("0")};
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "su", nullptr, nullptr, args.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

int UsbGadgetKernel::open(const std::string& node, int flags) {
    return noGadget() ? -1 : hostDevOpen(node, flags);
}

int UsbGadgetKernel::close(int fd) { return hostDevClose(fd); }

ssize_t UsbGadgetKernel::read(int fd, void* buf, size_t len) { return hostDevRead(fd, buf, len); }

ssize_t UsbGadgetKernel::write(int fd, const void* buf, size_t len) { return hostDevWrite(fd, buf, len); }

int UsbGadgetKernel::controlAnswer(int fd, const uint8_t* data, uint8_t len) {
    uint8_t record[64] = {};
    len = len > 63 ? 63 : len;
    record[0] = len;
    std::memcpy(record + 1, data, len);
    return ::ioctl(fd, kIoctlControlAnswer, record);
}

int UsbGadgetKernel::readSetup(int fd, uint8_t setup[8]) { return ::ioctl(fd, kIoctlReadSetup, setup); }

int UsbGadgetKernel::readSignal(int fd, uint32_t& type) { return ::ioctl(fd, kIoctlReadSignal, &type); }

int UsbGadgetKernel::haltBulkOut(int fd) { return ::ioctl(fd, kIoctlHaltBulkOut, 0); }

int UsbGadgetKernel::haltBulkIn(int fd) { return ::ioctl(fd, kIoctlHaltBulkIn, 0); }

int UsbGadgetKernel::eventOpen() {
    if (noGadget()) {
        return -1;
    }
    return ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, kNetlinkProtocol);
}

int UsbGadgetKernel::eventBind(int eventFd) {
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = kNetlinkPort;
    return ::bind(eventFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 ? -1 : 0;
}

int UsbGadgetKernel::eventWait(int eventFd, int wakeFd, int timeoutMs) {
    int ready = usbGadgetPollEvent(eventFd, wakeFd, timeoutMs);
    if (ready <= 0) {
        return ready;
    }
    // The message only says that an event waits; its content is not needed.
    char buf[kEventMax];
    ssize_t n = ::recv(eventFd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    // A datagram socket has no end of stream: even an empty message says
    // that an event waits.
    return 1;
}

void UsbGadgetKernel::eventClose(int eventFd) { ::close(eventFd); }

} // namespace platform
