#include "FileCore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "AnchoredPath.h"
#include "TemporaryFile.h"
#include "Util/File.h"
#include "Util/logger.h"
#include "bounded_file.h"
#include "root_path.h"
#include "storage_host.h"

namespace {

// A write of the user's files must leave more than this much free on the
// medium; the service's own files need only fit.
constexpr unsigned long long kReserve = 0x1004000ULL;

std::string parentFolder(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return path;
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Appends to the file (created when missing) and flushes it to disk.
bool appendFile(const AnchoredPath& at, const char* data, size_t len) {
    int fd = ::open(at.host().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    bool ok = at.holds(fd) && writeAll(fd, data, len) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// Writes a temporary file beside the target, flushes it and renames it over
// the target, then flushes the folder so that the rename itself is durable.
bool replaceFile(const std::string& host, const char* data, size_t len) {
    std::string tmp;
    int fd = temporary_file::create(AT_FDCWD, host, tmp);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, data, len) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), host.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    int dir = ::open(parentFolder(host).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return false;
    }
    ok = ::fsync(dir) == 0;
    return ::close(dir) == 0 && ok;
}

} // namespace

FileCore::FileCore() {
    PrintI("FileCore::FileCore ctor :%p", static_cast<void*>(this));
}

FileCore::~FileCore() {
    PrintI("FileCore::FileCore dtor :%p", static_cast<void*>(this));
}

unsigned long long FileCore::GetFreeDiskSize(const std::string& path) {
    platform::SpaceInfo info;
    if (!platform::storageHost().space(platform::hostPath(path), info)) {
        PrintE("statfs failed = %s", path.c_str());
        return 0;
    }
    return info.free;
}

bool FileCore::UsedAndAvailableMemoryStorageGet(const std::string& path, unsigned long long* used,
                                                unsigned long long* available) {
    platform::SpaceInfo info;
    if (!platform::storageHost().space(platform::hostPath(path), info)) {
        PrintE("path do not exist");
        return false;
    }
    *used = info.total - info.available;
    *available = info.available;
    return true;
}

unsigned long long FileCore::GetFileSize(const std::string& path) {
    struct stat st;
    if (::stat(platform::hostPath(path).c_str(), &st) != 0) {
        PrintE("stat failed = %s", path.c_str());
        return 0;
    }
    return static_cast<unsigned long long>(st.st_size);
}

std::string FileCore::GetFileModifyTime(const std::string& path) {
    struct stat st;
    if (::stat(platform::hostPath(path).c_str(), &st) != 0) {
        return "";
    }
    struct tm local;
    char text[64];
    if (::localtime_r(&st.st_mtime, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return "";
    }
    return text;
}

bool FileCore::IsFolderExists(const std::string& path) {
    struct stat st;
    return ::stat(platform::hostPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileCore::IsFileExists(const std::string& path) {
    struct stat st;
    return ::stat(platform::hostPath(path).c_str(), &st) == 0;
}

bool FileCore::IsEntryExists(const std::string& path) {
    const AnchoredPath at(path);
    struct stat st;
    return at.ok() && ::lstat(at.host().c_str(), &st) == 0;
}

bool FileCore::FileSave(const std::string& path, const char* data, int len, bool append, bool logFailures) {
    if (data == nullptr || len < 1) {
        PrintE("Param error!");
        return false;
    }
    std::string folder = parentFolder(path);
    const AnchoredPath at(path);
    if (!at.confined()) {
        // On a fresh data root the service's own folders may not exist yet;
        // a user's folders are made only by the user.
        toolkit::File::create_path((folder + "/").c_str(), 0777);
    }
    // A nearly full medium must not lose the settings: the margin keeps room
    // for them and is the user's files' limit only. The service's own file
    // is tried also where the medium cannot be asked.
    platform::SpaceInfo info;
    const bool known = platform::storageHost().space(platform::hostPath(folder), info);
    if (!known) {
        PrintE("statfs failed = %s", folder.c_str());
    }
    const unsigned long long margin = at.confined() ? kReserve : 0;
    if (known ? info.free <= margin || info.free < static_cast<unsigned long long>(len) : at.confined()) {
        if (logFailures) {
            PrintE("Space not enough");
        }
        return false;
    }
    bool ok = at.ok() && !at.root() &&
              (append ? appendFile(at, data, static_cast<size_t>(len))
                      : replaceFile(at.host(), data, static_cast<size_t>(len)));
    if (!ok && logFailures) {
        PrintE("file not good! %s: %s", path.c_str(), std::strerror(errno));
    }
    return ok;
}

bool FileCore::FileLoad(const std::string& path, std::vector<char>& out, int offset, int length,
                        long long maxSize) {
    const AnchoredPath at(path);
    struct stat st;
    if (offset < 0 || length < 0 || !at.ok() || ::stat(at.host().c_str(), &st) != 0) {
        PrintE("Param error!");
        return false;
    }
    // Not blocking: a FIFO planted under a file's name must not hold the caller.
    const platform::BoundedFile file(at.host());
    if (!file.ok() || !at.holds(file.fd())) {
        PrintE("file not good");
        return false;
    }
    const long long size = file.size();
    PrintI("get file %s size %lld", path.c_str(), size);
    long long end = (length != 0 && size >= length) ? length : size;
    if (size <= 0) {
        PrintE("file size error!");
        return false;
    }
    if (offset >= end) {
        PrintE("Param error!");
        return false;
    }
    if (end - offset > maxSize) {
        // Refused before anything is read: the buffer would be sized from it.
        PrintE("%lld bytes of %s asked, more than the %lld its kind may have", end - offset, path.c_str(), maxSize);
        return false;
    }
    out.resize(static_cast<size_t>(end - offset));
    // A file that shrank under us: what was read is not what was asked for.
    const size_t got = file.readAt(offset, out.data(), out.size());
    if (got != out.size()) {
        PrintE("file not good");
        out.resize(got);
        return false;
    }
    return true;
}
