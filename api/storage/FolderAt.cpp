#include "FolderAt.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace folder_at {

Fd::~Fd() {
    close();
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.release();
    }
    return *this;
}

int Fd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool Fd::close() {
    return m_fd < 0 || ::close(release()) == 0;
}

Fd openFolder(int dir, const std::string& name) {
    return Fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool entryStat(int dir, const std::string& name, struct stat& st) {
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool listNames(int folder, std::vector<std::string>& names) {
    // The listing reads through a descriptor of its own: closedir closes it,
    // and the caller's keeps its position for the calls relative to it.
    Fd own(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = own.ok() ? ::fdopendir(own.get()) : nullptr;
    if (listing == nullptr) {
        return false;
    }
    own.release();
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const bool ok = errno == 0;
    ::closedir(listing);
    return ok;
}

bool sameObject(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string through(int dir, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(dir) + "/" + name;
}

} // namespace folder_at
