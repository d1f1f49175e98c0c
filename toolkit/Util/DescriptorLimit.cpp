#include "Util/DescriptorLimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "Util/logger.h"

namespace toolkit {

namespace {

size_t asSize(rlim_t value) {
    if (value == RLIM_INFINITY || value > std::numeric_limits<size_t>::max()) {
        return std::numeric_limits<size_t>::max();
    }
    return static_cast<size_t>(value);
}

} // namespace

size_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::numeric_limits<size_t>::max();
    }
    return asSize(limit.rlim_cur);
}

size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        WarnL << "Descriptor limit unknown: " << strerror(errno);
        return descriptorLimit();
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            WarnL << "Descriptor limit stays at " << limit.rlim_cur << ": " << strerror(errno);
        }
    }
    size_t now = descriptorLimit();
    InfoL << "Descriptor limit " << now;
    return now;
}

} // namespace toolkit
