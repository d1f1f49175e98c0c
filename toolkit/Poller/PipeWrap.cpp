#include "Poller/PipeWrap.h"

#include <cerrno>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "Network/sockutil.h"
#include "Util/uv_errno.h"

namespace toolkit {

PipeWrap::PipeWrap() {
    if (pipe(_pipe_fd) == -1) {
        throw std::runtime_error(std::string("Create posix pipe failed: ") + get_uv_errmsg());
    }
    SockUtil::setNoBlocked(_pipe_fd[0], true);
    SockUtil::setNoBlocked(_pipe_fd[1], false);
    SockUtil::setCloExec(_pipe_fd[0]);
    SockUtil::setCloExec(_pipe_fd[1]);
}

PipeWrap::~PipeWrap() {
    clearFD();
}

void PipeWrap::clearFD() {
    for (int& fd : _pipe_fd) {
        if (fd != -1) {
            close(fd);
            fd = -1;
        }
    }
}

int PipeWrap::write(const void* buf, int n) {
    int ret;
    do {
        ret = static_cast<int>(::write(_pipe_fd[1], buf, n));
    } while (ret == -1 && errno == EINTR);
    return ret;
}

int PipeWrap::read(void* buf, int n) {
    int ret;
    do {
        ret = static_cast<int>(::read(_pipe_fd[0], buf, n));
    } while (ret == -1 && errno == EINTR);
    return ret;
}

} // namespace toolkit
