// Copy, move, delete and folder creation of FileCore, through system calls
// only: names are taken literally whatever characters they hold.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "AnchoredPath.h"
#include "FileCore.h"
#include "Util/logger.h"
#include "root_path.h"
#include "storage_host.h"

namespace {

using CancelCheck = FileCore::CancelCheck;

bool stopped(const CancelCheck& cancelled) { return cancelled && cancelled(); }

std::vector<std::string> childNames(const std::string& host, bool& ok) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(host.c_str()), ::closedir);
    ok = folder != nullptr;
    while (ok) {
        const dirent* entry = ::readdir(folder.get());
        if (entry == nullptr) {
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    return names;
}

// Mode 0777 on the entry and, for a folder, on all below it; links are
// neither changed nor followed.
bool chmodTree(const std::string& host) {
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        return true;
    }
    if (::chmod(host.c_str(), 0777) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        return true;
    }
    bool ok = true;
    for (const std::string& name : childNames(host, ok)) {
        ok = chmodTree(host + "/" + name) && ok;
    }
    return ok;
}

bool copyBytes(int in, int out, const CancelCheck& cancelled) {
    char buffer[65536];
    for (;;) {
        if (stopped(cancelled)) {
            return false;
        }
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR) {
                return false;
            }
            done += put > 0 ? put : 0;
        }
    }
}

bool copyFile(const std::string& from, const std::string& to, const CancelCheck& cancelled) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    // A link in the target's place is replaced, never written through.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        ::unlink(to.c_str());
    }
    // Ordinary modes, as the process's file mask makes them.
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool ok = out >= 0 && copyBytes(in, out, cancelled);
    ::close(in);
    return out >= 0 && ::close(out) == 0 && ok;
}

bool copyTree(const std::string& from, const std::string& to, const CancelCheck& cancelled) {
    if (stopped(cancelled)) {
        return false;
    }
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size) + 1);
        ssize_t len = ::readlink(from.c_str(), target.data(), target.size());
        if (len < 0) {
            return false;
        }
        ::unlink(to.c_str());
        return ::symlink(std::string(target.data(), static_cast<size_t>(len)).c_str(), to.c_str()) == 0;
    }
    if (S_ISDIR(st.st_mode)) {
        struct stat existing;
        if (::mkdir(to.c_str(), 0777) != 0 && !(errno == EEXIST && ::lstat(to.c_str(), &existing) == 0 &&
                                                  S_ISDIR(existing.st_mode))) {
            return false;
        }
        bool ok = true;
        for (const std::string& name : childNames(from, ok)) {
            ok = copyTree(from + "/" + name, to + "/" + name, cancelled) && ok;
        }
        return ok;
    }
    if (S_ISFIFO(st.st_mode)) {
        ::unlink(to.c_str());
        return ::mkfifo(to.c_str(), 0666) == 0;
    }
    return S_ISREG(st.st_mode) && copyFile(from, to, cancelled);
}

// Depth first; links are removed, never followed. A missing entry is gone already.
bool removeTree(const std::string& host, const CancelCheck& cancelled = {}) {
    if (stopped(cancelled)) {
        return false;
    }
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlink(host.c_str()) == 0 || errno == ENOENT;
    }
    bool ok = true;
    for (const std::string& name : childNames(host, ok)) {
        ok = removeTree(host + "/" + name, cancelled) && ok;
    }
    return ::rmdir(host.c_str()) == 0 && ok;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// An existing folder as destination receives the source (a path of the
// system) under its own name; a link there is no folder to go into.
std::string targetOf(const std::string& src, const std::string& dstHost) {
    struct stat st;
    if (::lstat(dstHost.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return withoutTrailingSlashes(dstHost);
    }
    const std::string name = withoutTrailingSlashes(src);
    return withoutTrailingSlashes(dstHost) + "/" + name.substr(name.rfind('/') + 1);
}

std::string resolved(const std::string& host) {
    char buffer[PATH_MAX];
    return ::realpath(host.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// True when `target` is the source itself or lies inside the source folder.
bool insideSource(const std::string& srcHost, const std::string& target) {
    const std::string src = resolved(srcHost);
    std::string at = resolved(target);
    if (at.empty()) {
        at = resolved(target.substr(0, target.rfind('/')));
        if (at.empty()) {
            return false;
        }
        at += "/";
    }
    return !src.empty() && (at == src || at.compare(0, src.size() + 1, src + "/") == 0);
}

// Puts what was written onto the medium of `host`.
bool flushTo(const std::string& host) {
    int fd = ::open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fd = ::open(host.substr(0, host.rfind('/') + 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        return false;
    }
    bool ok = ::syncfs(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// A copy cut off by a cancel leaves no half-written target behind; a folder
// that was there before keeps what it held.
void dropPartial(const std::string& target, bool existedAsFolder) {
    if (!existedAsFolder) {
        removeTree(target);
    }
}

bool isFolder(const std::string& host) {
    struct stat st;
    return ::lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool FileCore::FileCopy(const std::string& src, const std::string& dst, const CancelCheck& cancelled) {
    const AnchoredPath from(src), to(dst);
    struct stat st;
    if (!from.ok() || !to.ok() || ::lstat(from.host().c_str(), &st) != 0) {
        return false;
    }
    // The source keeps its modes; what is made gets ordinary ones.
    const std::string srcHost = from.host();
    const std::string target = targetOf(src, to.host());
    if (insideSource(srcHost, target)) {
        PrintE("cp error");
        return false;
    }
    const bool wasFolder = isFolder(target);
    if (!copyTree(srcHost, target, cancelled)) {
        if (stopped(cancelled)) {
            dropPartial(target, wasFolder);
        }
        PrintE("cp error");
        return false;
    }
    if (!flushTo(target)) {
        PrintE("sync error");
        return false;
    }
    return true;
}

bool FileCore::FileMove(const std::string& src, const std::string& dst, const CancelCheck& cancelled) {
    const AnchoredPath from(src), to(dst);
    const std::string srcHost = from.host();
    struct stat st;
    if (!from.ok() || !to.ok() || from.root() || ::lstat(srcHost.c_str(), &st) != 0) {
        PrintE("File not exist");
        return false;
    }
    PrintI("form = %s, to = %s", src.c_str(), dst.c_str());
    if (!chmodTree(srcHost)) {
        PrintE("chmod failed");
        return false;
    }
    const std::string target = targetOf(src, to.host());
    int error = platform::storageHost().rename(srcHost, target);
    if (error == EXDEV) {
        // Another medium (a USB stick): copy, then delete the source.
        const bool wasFolder = isFolder(target);
        if (!copyTree(srcHost, target, cancelled)) {
            if (stopped(cancelled)) {
                dropPartial(target, wasFolder);
            }
            error = EIO;
        } else {
            error = removeTree(srcHost) ? 0 : EIO;
        }
    }
    if (error != 0) {
        PrintE("mv failed");
        return false;
    }
    flushTo(target);
    return true;
}

bool FileCore::FileDelete(const std::string& path, const CancelCheck& cancelled) {
    const AnchoredPath at(path);
    if (!at.ok() || at.root() || !removeTree(at.host(), cancelled)) {
        return false;
    }
    flushTo(at.host());
    return true;
}

bool FileCore::DirectoryDelete(const std::string& path) {
    const AnchoredPath at(path);
    if (!at.ok() || at.root() || ::rmdir(at.host().c_str()) != 0) {
        return false;
    }
    flushTo(at.host());
    return true;
}

bool FileCore::CreateDirectories(const std::string& path) {
    if (IsFolderExists(path)) {
        PrintE("File exists");
        return false;
    }
    const AnchoredPath at(path);
    // The umask would narrow the mode given to mkdir.
    if (!at.ok() || ::mkdir(at.host().c_str(), 0777) != 0 || ::chmod(at.host().c_str(), 0777) != 0) {
        return false;
    }
    flushTo(at.host());
    return true;
}
