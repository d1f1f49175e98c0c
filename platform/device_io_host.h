#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

// The kernel side of the device seam: thin wrappers of the system calls. The
// path of a device node reaches the OS only through hostPath(), so that a host
// run under $DMM_ROOT never touches the machine's own /dev.
int hostDevOpen(const std::string& path, int flags);
ssize_t hostDevRead(int fd, void* buf, size_t len);
ssize_t hostDevWrite(int fd, const void* buf, size_t len);
int hostDevIoctl(int fd, unsigned long request, unsigned long arg);
int hostDevClose(int fd);

} // namespace platform
