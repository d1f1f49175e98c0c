#include "AnchoredPath.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "StorageRemotePath.h"
#include "Util/logger.h"
#include "root_path.h"

namespace {

// The path the kernel holds for an open descriptor.
std::string pathOf(int fd) {
    char buffer[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t len = ::readlink(link.c_str(), buffer, sizeof buffer);
    return len > 0 && static_cast<size_t>(len) < sizeof buffer ? std::string(buffer, static_cast<size_t>(len)) : "";
}

std::string realHost(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(platform::hostPath(path).c_str(), buffer) != nullptr ? buffer : "";
}

} // namespace

AnchoredPath::AnchoredPath(const std::string& path) {
    const std::string p = StorageRemotePath::normalise(path);
    const size_t slash = p.rfind('/');
    m_leaf = p == "/" ? "." : p.substr(slash + 1);
    if (!StorageRemotePath::insideRoots(p)) {
        m_host = platform::hostPath(path);
        m_parent = platform::hostPath(slash == 0 ? "/" : p.substr(0, slash));
        m_ok = true;
        return;
    }
    m_confined = true;
    const bool internal = StorageRemotePath::under(p, StorageRemotePath::kIntRoot);
    const std::string root = internal ? StorageRemotePath::kIntRoot : StorageRemotePath::kUsbRoot;
    m_realRoot = realHost(root);
    // The root itself is pinned as its own folder, anything below by its parent.
    m_root = p == root;
    if (m_root) {
        m_leaf = ".";
    }
    const std::string folder = m_root ? p : p.substr(0, p.rfind('/'));
    if (!m_realRoot.empty()) {
        m_folder = ::open(platform::hostPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (m_folder < 0) {
        // The system's reason (no descriptor left, no such folder, ...): a
        // failure to open is no attempt to leave the root.
        PrintE("cannot open the folder of %s: %s", path.c_str(), strerror(errno));
        return;
    }
    if (!holds(m_folder)) {
        PrintE("path leads out of its storage root: %s", path.c_str());
        return;
    }
    // "/." names the folder itself and, unlike the bare descriptor link,
    // is a folder to lstat.
    m_host = "/proc/self/fd/" + std::to_string(m_folder) + (m_root ? "/." : p.substr(p.rfind('/')));
    m_ok = true;
}

AnchoredPath::~AnchoredPath() {
    if (m_folder >= 0) {
        ::close(m_folder);
    }
}

bool AnchoredPath::holds(int fd) const {
    return !m_confined || (!m_realRoot.empty() && StorageRemotePath::under(pathOf(fd), m_realRoot));
}

int AnchoredPath::openFolder() const {
    if (m_confined) {
        if (!m_ok) {
            errno = EACCES;
            return -1;
        }
        return ::fcntl(m_folder, F_DUPFD_CLOEXEC, 0);
    }
    return ::open(m_parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}
