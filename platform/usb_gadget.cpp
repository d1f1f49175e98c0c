#include "usb_gadget.h"

#include <poll.h>

#include <atomic>
#include <cerrno>

#include "usb_gadget_kernel.h"

namespace platform {

namespace {
std::atomic<UsbGadgetPort*> g_installed{nullptr};
} // namespace

UsbGadgetPort& usbGadget() {
    if (UsbGadgetPort* port = g_installed.load()) {
        return *port;
    }
    static UsbGadgetKernel kernel;
    return kernel;
}

void usbGadgetInstall(UsbGadgetPort* port) { g_installed.store(port); }

int usbGadgetPollEvent(int fd, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (n == 0 || (wakeFd >= 0 && (fds[1].revents & POLLIN))) {
        return 0;
    }
    return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

} // namespace platform
