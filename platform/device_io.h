#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

// The one road from the drivers to their device nodes ("/dev/spidev3.0",
// "/dev/ord_gpio_ctl", ...). A host build with simulated devices answers every
// call in-process (see sim_registry.h); otherwise the calls go to the kernel,
// the path mapped through hostPath(). Failures return -1 and set errno, as the
// system calls do.
int devOpen(const std::string& path, int flags);
ssize_t devRead(int fd, void* buf, size_t len);
ssize_t devWrite(int fd, const void* buf, size_t len);
int devClose(int fd);

// An ioctl whose argument is a plain value (or none).
int devIoctl(int fd, unsigned long request, unsigned long arg = 0);

// An ioctl whose argument points at the data it exchanges.
template <typename T>
int devIoctl(int fd, unsigned long request, T* arg) {
    return devIoctl(fd, request, reinterpret_cast<unsigned long>(arg));
}

// True when the devices are simulated in this build.
bool devSimulated();

} // namespace platform
