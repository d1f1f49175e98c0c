#include "running_copy.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

namespace {

// The file name of the program behind the link "/proc/<pid>/exe": the
// kernel's view of a process, not data of the instrument, so read directly.
// A program file replaced while it runs (an upgrade) is shown " (deleted)".
bool programOf(const std::string& link, std::string& name, int& error) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        error = errno;
        return false;
    }
    std::string path(buffer, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    name = path.substr(path.rfind('/') + 1);
    return true;
}

} // namespace

bool isRunningCopy(long pid) {
    if (pid <= 0 || pid == static_cast<long>(::getpid())) {
        return false;
    }
    std::string theirs, ours;
    int error = 0;
    if (!programOf("/proc/" + std::to_string(pid) + "/exe", theirs, error)) {
        return error != ENOENT && error != ESRCH;
    }
    return programOf("/proc/self/exe", ours, error) && theirs == ours;
}

} // namespace platform
