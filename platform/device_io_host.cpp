#include "device_io_host.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "root_path.h"

namespace platform {

int hostDevOpen(const std::string& path, int flags) {
    // Close-on-exec: the service runs shell commands, which must not inherit
    // the device descriptors.
    return ::open(hostPath(path).c_str(), flags | O_CLOEXEC);
}

ssize_t hostDevRead(int fd, void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t hostDevWrite(int fd, const void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

int hostDevIoctl(int fd, unsigned long request, unsigned long arg) { return ::ioctl(fd, request, arg); }

int hostDevClose(int fd) { return ::close(fd); }

} // namespace platform
