#include "Network/sockutil.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include "Util/logger.h"

namespace toolkit {

int SockUtil::setCloExec(int fd, bool on) {
    int flags = fcntl(fd, F_GETFD);
    if (flags == -1) {
        TraceL << "fcntl F_GETFD failed";
        return -1;
    }
    if (on) {
        flags |= FD_CLOEXEC;
    } else {
        flags &= ~FD_CLOEXEC;
    }
    int ret = fcntl(fd, F_SETFD, flags);
    if (ret == -1) {
        TraceL << "fcntl F_SETFD failed";
    }
    return ret;
}

int SockUtil::setNoBlocked(int fd, bool noblock) {
    int value = noblock ? 1 : 0;
    int ret = ioctl(fd, FIONBIO, &value);
    if (ret == -1) {
        TraceL << "ioctl FIONBIO failed";
    }
    return ret;
}

} // namespace toolkit
