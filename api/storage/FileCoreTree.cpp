// Copy, move, delete and folder creation of FileCore, and the start-up
// sweep of the temporaries they leave when cut off, through system calls
// only: names are taken literally whatever characters they hold. Trees are
// walked by descriptor (FolderAt.h): each entry relative to its folder's
// descriptor, never by a path looked up again later, so a folder swapped for
// a link mid-walk is met as the link and the walk never leaves its tree.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AnchoredPath.h"
#include "FileCore.h"
#include "FolderAt.h"
#include "StorageRemotePath.h"
#include "TemporaryFile.h"
#include "Util/logger.h"
#include "root_path.h"
#include "storage_host.h"

namespace {

using CancelCheck = FileCore::CancelCheck;
using folder_at::entryStat;
using folder_at::Fd;
using folder_at::listNames;
using folder_at::openFolder;

bool stopped(const CancelCheck& cancelled) { return cancelled && cancelled(); }

// Each level of a walk holds its folder open while it is below it.
bool tooDeep(int depth) {
    if (depth < FileCore::kMaxTreeDepth) {
        return false;
    }
    PrintE("folder tree deeper than %d levels", FileCore::kMaxTreeDepth);
    return true;
}

// Mode 0777 on the entry and, for a folder, on all below it; links are
// neither changed nor followed.
bool chmodAt(int dir, const std::string& name, const CancelCheck& cancelled, int depth = 0) {
    struct stat st;
    if (stopped(cancelled) || !entryStat(dir, name, st)) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        return true;
    }
    if (!S_ISDIR(st.st_mode)) {
        // Not supported on a link: one swapped in since is left as it is.
        return ::fchmodat(dir, name.c_str(), 0777, AT_SYMLINK_NOFOLLOW) == 0 || errno == EOPNOTSUPP;
    }
    std::vector<std::string> names;
    const Fd folder = tooDeep(depth) ? Fd() : openFolder(dir, name);
    if (!folder.ok() || ::fchmod(folder.get(), 0777) != 0 || !listNames(folder.get(), names)) {
        return false;
    }
    bool ok = true;
    for (const std::string& child : names) {
        ok = chmodAt(folder.get(), child, cancelled, depth + 1) && ok;
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

// Fills a temporary beside the target, flushes it and renames it over the
// target (a link in the target's place is replaced, never written through).
bool copyFileAt(int fromDir, const std::string& from, int toDir, const std::string& to,
                const CancelCheck& cancelled) {
    // Not blocking: a FIFO swapped in for the file must not hold the job.
    Fd in(::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!in.ok() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    std::string tmp;
    // Ordinary modes, as the process's file mask makes them.
    Fd out(temporary_file::create(toDir, to, tmp));
    if (!out.ok()) {
        return false;
    }
    bool ok = copyBytes(in.get(), out.get(), cancelled) && ::fsync(out.get()) == 0;
    ok = out.close() && ok;
    if (!ok || ::renameat(toDir, tmp.c_str(), toDir, to.c_str()) != 0) {
        ::unlinkat(toDir, tmp.c_str(), 0);
        return false;
    }
    return true;
}

bool copyLinkAt(int fromDir, const std::string& from, int toDir, const std::string& to) {
    char target[PATH_MAX];
    const ssize_t len = ::readlinkat(fromDir, from.c_str(), target, sizeof target);
    if (len < 0 || static_cast<size_t>(len) >= sizeof target) {
        return false;
    }
    ::unlinkat(toDir, to.c_str(), 0);
    return ::symlinkat(std::string(target, static_cast<size_t>(len)).c_str(), toDir, to.c_str()) == 0;
}

// What a copy took from its source, each entry as it was when taken: a move
// removes from the source that and nothing else.
struct Taken {
    struct stat st {};
    std::map<std::string, Taken> below;  // a folder's entries
};

// `taken` (when given) records what is copied.
bool copyAt(int fromDir, const std::string& from, int toDir, const std::string& to, const CancelCheck& cancelled,
            int depth = 0, Taken* taken = nullptr) {
    struct stat st;
    if (stopped(cancelled) || !entryStat(fromDir, from, st)) {
        return false;
    }
    if (taken != nullptr) {
        taken->st = st;
    }
    if (S_ISLNK(st.st_mode)) {
        return copyLinkAt(fromDir, from, toDir, to);
    }
    if (S_ISFIFO(st.st_mode)) {
        ::unlinkat(toDir, to.c_str(), 0);
        return ::mkfifoat(toDir, to.c_str(), 0666) == 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        return S_ISREG(st.st_mode) && copyFileAt(fromDir, from, toDir, to, cancelled);
    }
    const Fd source = tooDeep(depth) ? Fd() : openFolder(fromDir, from);
    if (!source.ok() || (::mkdirat(toDir, to.c_str(), 0777) != 0 && errno != EEXIST)) {
        return false;
    }
    // A link in the target folder's place is no folder to copy into.
    const Fd target = openFolder(toDir, to);
    std::vector<std::string> names;
    if (!target.ok() || !listNames(source.get(), names)) {
        return false;
    }
    bool ok = true;
    for (const std::string& name : names) {
        Taken* child = taken != nullptr ? &taken->below[name] : nullptr;
        ok = copyAt(source.get(), name, target.get(), name, cancelled, depth + 1, child) && ok;
    }
    return ok;
}

// Depth first; links are removed, never followed. A missing entry is gone already.
bool removeAt(int dir, const std::string& name, const CancelCheck& cancelled, int depth = 0) {
    if (stopped(cancelled)) {
        return false;
    }
    struct stat st;
    if (!entryStat(dir, name, st)) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    std::vector<std::string> names;
    const Fd folder = tooDeep(depth) ? Fd() : openFolder(dir, name);
    if (!folder.ok() || !listNames(folder.get(), names)) {
        return false;
    }
    bool ok = true;
    for (const std::string& child : names) {
        ok = removeAt(folder.get(), child, cancelled, depth + 1) && ok;
    }
    // Whatever now bears the name is removed only as an empty folder.
    return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && ok;
}

// The last name of a path of the system, a root's included.
std::string baseName(const std::string& path) {
    const std::string p = StorageRemotePath::normalise(path);
    return p.substr(p.rfind('/') + 1);
}

// Where a copy or move puts its source: an existing folder as destination
// receives it under the source's own name; a link there is no folder to go into.
struct Target {
    Fd folder;
    std::string name;
};

bool targetOf(const AnchoredPath& to, const std::string& src, Target& out) {
    const Fd parent(to.ok() ? to.openFolder() : -1);
    struct stat st;
    if (parent.ok() && entryStat(parent.get(), to.leaf(), st) && S_ISDIR(st.st_mode)) {
        out.folder = openFolder(parent.get(), to.leaf());
        out.name = baseName(src);
    } else {
        out.folder = Fd(parent.ok() ? ::fcntl(parent.get(), F_DUPFD_CLOEXEC, 0) : -1);
        out.name = to.leaf();
    }
    return out.folder.ok() && !out.name.empty() && out.name != "." && out.name != "..";
}

// True when the target is the source itself, or the target's folder is the
// source folder or lies inside it (its folders up to "/" are looked at).
bool intoItself(int fromDir, const std::string& from, const Target& target) {
    struct stat source, st;
    if (!entryStat(fromDir, from, source)) {
        return false;
    }
    if (entryStat(target.folder.get(), target.name, st) && folder_at::sameObject(st, source)) {
        return true;
    }
    if (!S_ISDIR(source.st_mode)) {
        return false;
    }
    Fd at(::fcntl(target.folder.get(), F_DUPFD_CLOEXEC, 0));
    for (int up = 0; at.ok() && ::fstat(at.get(), &st) == 0 && up < PATH_MAX; ++up) {
        if (folder_at::sameObject(st, source)) {
            return true;
        }
        Fd parent(::openat(at.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat above;
        if (!parent.ok() || ::fstat(parent.get(), &above) != 0 || folder_at::sameObject(above, st)) {
            return false;  // "/" reached
        }
        at = std::move(parent);
    }
    return false;
}

// Puts what was written onto the medium of the open folder.
bool flushTo(int folder) {
    return ::syncfs(folder) == 0;
}

bool exists(int dir, const std::string& name) {
    struct stat st;
    return entryStat(dir, name, st);
}

// The open folder of a path and its name in it.
struct Source {
    explicit Source(const AnchoredPath& at)
        : folder(at.ok() ? at.openFolder() : -1), error(folder.ok() ? 0 : errno), name(at.leaf()) {}
    Fd folder;
    int error;  // why the folder could not be opened
    std::string name;
};

// Copies the source into the target; a copy cut off by a cancel leaves no
// target that was not there before.
bool copyInto(const Source& from, const Target& to, const CancelCheck& cancelled) {
    const bool existed = exists(to.folder.get(), to.name);
    if (copyAt(from.folder.get(), from.name, to.folder.get(), to.name, cancelled)) {
        return true;
    }
    if (stopped(cancelled) && !existed) {
        removeAt(to.folder.get(), to.name, {});
    }
    return false;
}

// The entry is the one the copy took, unchanged since.
bool unchanged(const struct stat& st, const struct stat& taken) {
    return folder_at::sameObject(st, taken) && st.st_size == taken.st_size &&
           st.st_mtim.tv_sec == taken.st_mtim.tv_sec && st.st_mtim.tv_nsec == taken.st_mtim.tv_nsec;
}

// Removes a file (a link, a FIFO) only while it is the one taken. It is
// first renamed aside in its folder, so that what is looked at is what is
// removed: a save renaming a new file over the name lands either before
// (that file is renamed back) or after (it keeps the name). Aside, it bears
// a temporary's name: a kill in that instant leaves it to the start-up sweep.
bool removeFileTaken(int dir, const std::string& name, const struct stat& taken) {
    std::string aside;
    const Fd made(temporary_file::create(dir, name, aside));
    if (!made.ok()) {
        return false;
    }
    if (::renameat(dir, name.c_str(), dir, aside.c_str()) != 0) {
        const bool gone = errno == ENOENT;
        ::unlinkat(dir, aside.c_str(), 0);
        return gone;
    }
    struct stat st;
    if (entryStat(dir, aside, st) && unchanged(st, taken)) {
        return ::unlinkat(dir, aside.c_str(), 0) == 0;
    }
    // Saved since the copy took it. A save yet later that holds the name by
    // now has replaced this one, as it would have anyway.
    if (::renameat2(dir, aside.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) {
            ::unlinkat(dir, aside.c_str(), 0);
        } else {
            ::renameat(dir, aside.c_str(), dir, name.c_str());
        }
    }
    return false;
}

// Removes from the source what the copy took: an entry added since, or a
// file saved over since, stays, and so do the folders that hold it. True
// when all of it is gone.
bool removeTaken(int dir, const std::string& name, const Taken& taken) {
    if (!S_ISDIR(taken.st.st_mode)) {
        return removeFileTaken(dir, name, taken.st);
    }
    const Fd folder = openFolder(dir, name);
    struct stat st;
    if (!folder.ok()) {
        return errno == ENOENT;
    }
    if (::fstat(folder.get(), &st) != 0 || !folder_at::sameObject(st, taken.st)) {
        return false;
    }
    bool ok = true;
    for (const auto& entry : taken.below) {
        ok = removeTaken(folder.get(), entry.first, entry.second) && ok;
    }
    return ok && ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

// The last step of a move to another medium, once the target is whole and
// flushed: the source loses what was copied. Whatever was saved into it
// meanwhile is kept there, and the move reports that it did not move all.
bool removeSource(const Source& from, const Taken& taken, const std::function<void()>& beforeRemoval) {
    if (beforeRemoval) {
        beforeRemoval();
    }
    if (removeTaken(from.folder.get(), from.name, taken)) {
        return true;
    }
    PrintE("the source keeps what was written to it during the move: %s", from.name.c_str());
    return false;
}

// Moves the source to another medium. A folder is copied into a temporary
// tree beside the target and renamed into place only when whole, so a copy
// that fails or is cancelled part-way leaves the target as it was (a file
// is copied that way by copyFileAt already; a link or a FIFO is one call).
// The target is flushed before the source is removed: a power cut then
// leaves at least one whole copy.
bool moveAcross(const Source& from, const Target& to, const CancelCheck& cancelled,
                const std::function<void()>& beforeRemoval) {
    struct stat st;
    if (!entryStat(from.folder.get(), from.name, st)) {
        return false;
    }
    Taken taken;
    if (!S_ISDIR(st.st_mode)) {
        return copyAt(from.folder.get(), from.name, to.folder.get(), to.name, cancelled, 0, &taken) &&
               flushTo(to.folder.get()) && removeSource(from, taken, beforeRemoval);
    }
    std::string tmp;
    if (!temporary_file::createFolder(to.folder.get(), tmp)) {
        return false;
    }
    // An existing folder in the target's place is replaced only when empty,
    // as a rename on one medium does.
    const bool placed = copyAt(from.folder.get(), from.name, to.folder.get(), tmp, cancelled, 0, &taken) &&
                        ::renameat(to.folder.get(), tmp.c_str(), to.folder.get(), to.name.c_str()) == 0;
    if (!placed) {
        removeAt(to.folder.get(), tmp, {});
        return false;
    }
    if (!flushTo(to.folder.get())) {
        PrintE("sync error");
        return false;
    }
    return removeSource(from, taken, beforeRemoval);
}

// A temporary file or tree of this version, or a file an earlier version
// named after its target where `legacy` accepts that target.
bool orphaned(const std::string& name, const struct stat& st, const FileCore::TargetFilter& legacy) {
    if (temporary_file::isTemporary(name)) {
        return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
    }
    if (!legacy || !S_ISREG(st.st_mode)) {
        return false;
    }
    const std::string target = temporary_file::legacyTargetOf(name);
    return !target.empty() && legacy(target);
}

// Removes the temporaries (files and trees) of the open folder and, `levels`
// deep, of the folders below it: each reached through its parent's
// descriptor and never through a link. `legacy`: see RemoveTemporaries.
void sweepTemporaries(int dir, const std::string& path, const FileCore::TargetFilter& legacy, int levels,
                      long& budget, std::vector<std::string>& removed) {
    std::vector<std::string> names;
    if (levels <= 0 || !listNames(dir, names)) {
        return;
    }
    for (const std::string& name : names) {
        struct stat st;
        if (--budget < 0 || !entryStat(dir, name, st)) {
            continue;
        }
        if (orphaned(name, st, legacy)) {
            if (removeAt(dir, name, {})) {
                removed.push_back(path + "/" + name);
            }
        } else if (S_ISDIR(st.st_mode) && levels > 1) {
            const Fd below = openFolder(dir, name);
            if (below.ok()) {
                sweepTemporaries(below.get(), path + "/" + name, legacy, levels - 1, budget, removed);
            }
        }
    }
}

} // namespace

bool FileCore::FileCopy(const std::string& src, const std::string& dst, const CancelCheck& cancelled) {
    const AnchoredPath from(src), to(dst);
    const Source source(from);
    Target target;
    if (!source.folder.ok() || !exists(source.folder.get(), source.name) || !targetOf(to, src, target)) {
        return false;
    }
    // The source keeps its modes; what is made gets ordinary ones.
    if (intoItself(source.folder.get(), source.name, target) || !copyInto(source, target, cancelled)) {
        PrintE("cp error");
        return false;
    }
    if (!flushTo(target.folder.get())) {
        PrintE("sync error");
        return false;
    }
    return true;
}

bool FileCore::FileMove(const std::string& src, const std::string& dst, const CancelCheck& cancelled) {
    const AnchoredPath from(src), to(dst);
    const Source source(from);
    Target target;
    if (from.root() || !source.folder.ok() || !exists(source.folder.get(), source.name) ||
        !targetOf(to, src, target)) {
        PrintE("File not exist");
        return false;
    }
    PrintI("form = %s, to = %s", src.c_str(), dst.c_str());
    if (!chmodAt(source.folder.get(), source.name, cancelled)) {
        PrintE("chmod failed");
        return false;
    }
    // The names are looked up only in the open folders.
    int error = platform::storageHost().rename(folder_at::through(source.folder.get(), source.name),
                                               folder_at::through(target.folder.get(), target.name));
    if (error == EXDEV) {
        // Another medium (a USB stick): copy, then delete the source.
        error = intoItself(source.folder.get(), source.name, target) ||
                        !moveAcross(source, target, cancelled, m_beforeSourceRemoval)
                    ? EIO
                    : 0;
    }
    if (error != 0) {
        PrintE("mv failed");
        return false;
    }
    flushTo(target.folder.get());
    return true;
}

bool FileCore::FileDelete(const std::string& path, const CancelCheck& cancelled) {
    const AnchoredPath at(path);
    const Source entry(at);
    if (!entry.folder.ok()) {
        // No folder to hold it: the service's own path is gone already.
        return at.ok() && !at.confined() && entry.error == ENOENT;
    }
    if (at.root() || !removeAt(entry.folder.get(), entry.name, cancelled)) {
        return false;
    }
    flushTo(entry.folder.get());
    return true;
}

bool FileCore::DirectoryDelete(const std::string& path) {
    const AnchoredPath at(path);
    const Source entry(at);
    if (!entry.folder.ok() || at.root() || ::unlinkat(entry.folder.get(), entry.name.c_str(), AT_REMOVEDIR) != 0) {
        return false;
    }
    flushTo(entry.folder.get());
    return true;
}

bool FileCore::CreateDirectories(const std::string& path) {
    if (IsFolderExists(path)) {
        PrintE("File exists");
        return false;
    }
    const AnchoredPath at(path);
    const Source entry(at);
    if (!entry.folder.ok() || ::mkdirat(entry.folder.get(), entry.name.c_str(), 0777) != 0) {
        return false;
    }
    // The file mask narrowed the mode given to mkdir.
    const Fd made = openFolder(entry.folder.get(), entry.name);
    if (!made.ok() || ::fchmod(made.get(), 0777) != 0) {
        return false;
    }
    flushTo(entry.folder.get());
    return true;
}

std::vector<std::string> FileCore::RemoveTemporaries(const std::string& folder, bool recursive,
                                                     const TargetFilter& legacy) {
    std::vector<std::string> removed;
    // A stick with millions of entries must not hold start-up for long.
    long budget = 200000;
    const Fd top(::open(platform::hostPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.ok()) {
        sweepTemporaries(top.get(), folder, legacy, recursive ? kMaxTreeDepth : 1, budget, removed);
    }
    return removed;
}
