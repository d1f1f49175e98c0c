#include "FolderTrail.h"

#include <fcntl.h>

#include <cerrno>

namespace folder_at {

int Trail::current() const {
    if (m_lost) {
        return -1;
    }
    return m_levels.empty() ? m_top : m_levels.back().fd.get();
}

bool Trail::down(const std::string& name) {
    Level level{openFolder(current(), name), {}};
    if (!level.fd.ok() || ::fstat(level.fd.get(), &level.id) != 0) {
        return false;
    }
    m_levels.push_back(std::move(level));
    if (m_levels.size() - m_firstHeld > kHeld) {
        m_levels[m_firstHeld++].fd.close();
    }
    return true;
}

bool Trail::up() {
    if (m_lost || m_levels.empty()) {
        errno = EBADF;
        return false;
    }
    const size_t above = m_levels.size() - 1;  // levels left once this one is gone
    if (above > 0 && above - 1 < m_firstHeld) {
        Level& parent = m_levels[above - 1];
        Fd again(::openat(m_levels.back().fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (!again.ok() || ::fstat(again.get(), &st) != 0) {
            return lose();
        }
        if (!sameObject(st, parent.id)) {
            errno = ESTALE;  // moved since the walk went down
            return lose();
        }
        parent.fd = std::move(again);
        m_firstHeld = above - 1;
    }
    m_levels.pop_back();
    return true;
}

bool Trail::lose() {
    m_lost = true;
    m_levels.clear();
    return false;
}

} // namespace folder_at
