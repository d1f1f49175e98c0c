#include "device_io.h"

#if defined(DMM_SIM_DEVICES) && DMM_SIM_DEVICES
#include "sim_registry.h"
#define DMM_DEV_SIDE 1
#else
#include "device_io_host.h"
#define DMM_DEV_SIDE 0
#endif

namespace platform {

#if DMM_DEV_SIDE

int devOpen(const std::string& path, int flags) { return simOpen(path, flags); }
ssize_t devRead(int fd, void* buf, size_t len) { return simRead(fd, buf, len); }
ssize_t devWrite(int fd, const void* buf, size_t len) { return simWrite(fd, buf, len); }
int devClose(int fd) { return simClose(fd); }
int devIoctl(int fd, unsigned long request, unsigned long arg) { return simIoctl(fd, request, arg); }
bool devSimulated() { return true; }

#else

int devOpen(const std::string& path, int flags) { return hostDevOpen(path, flags); }
ssize_t devRead(int fd, void* buf, size_t len) { return hostDevRead(fd, buf, len); }
ssize_t devWrite(int fd, const void* buf, size_t len) { return hostDevWrite(fd, buf, len); }
int devClose(int fd) { return hostDevClose(fd); }
int devIoctl(int fd, unsigned long request, unsigned long arg) { return hostDevIoctl(fd, request, arg); }
bool devSimulated() { return false; }

#endif

} // namespace platform
