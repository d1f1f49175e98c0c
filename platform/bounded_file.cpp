#include "bounded_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

BoundedFile::BoundedFile(const std::string& path, int at) {
    const int fd = ::openat(at, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        _missing = errno == ENOENT || errno == ENOTDIR;
        _refusal = std::strerror(errno);
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        _refusal = "not a regular file";
        ::close(fd);
        return;
    }
    _fd = fd;
    _size = static_cast<long long>(st.st_size);
}

BoundedFile::~BoundedFile() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

size_t BoundedFile::readAt(long long offset, char* out, size_t len) const {
    size_t got = 0;
    while (ok() && got < len) {
        const ssize_t n = ::pread(_fd, out + got, len - got, static_cast<off_t>(offset + static_cast<long long>(got)));
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return got;
}

bool BoundedFile::readAll(long long maxSize, std::string& out) {
    out.clear();
    if (!ok()) {
        return false;
    }
    const std::string tooLarge = "larger than " + std::to_string(maxSize) + " bytes";
    if (_size > maxSize) {
        _refusal = tooLarge;
        return false;
    }
    // A file that grows past the bound while it is read is refused as well.
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::pread(_fd, chunk, sizeof(chunk), static_cast<off_t>(out.size()));
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            _refusal = std::strerror(errno);
            return false;
        }
        if (static_cast<long long>(out.size()) + n > maxSize) {
            _refusal = tooLarge;
            out.clear();
            return false;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

FileRead readBoundedFile(const std::string& path, long long maxSize, std::string& out, std::string* why) {
    BoundedFile file(path);
    const bool read = file.readAll(maxSize, out);
    if (!read && why != nullptr) {
        *why = file.refusal();
    }
    return read ? FileRead::Ok : file.missing() ? FileRead::Missing : FileRead::Refused;
}

} // namespace platform
