// Copy, move, delete and folder creation of FileCore, and the start-up
// sweep of the temporaries they leave when cut off, through system calls
// only: names are taken literally whatever characters they hold. Trees are
// walked by descriptor (FolderWalk.h): each entry relative to its folder's
// descriptor, never by a path looked up again later, so a folder swapped for
// a link mid-walk is met as the link and the walk never leaves its tree.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "AnchoredPath.h"
#include "FileCore.h"
#include "FileCoreTaken.h"
#include "FolderAt.h"
#include "FolderTrail.h"
#include "FolderWalk.h"
#include "StorageRemotePath.h"
#include "TemporaryFile.h"
#include "Util/logger.h"
#include "WalkTurns.h"
#include "root_path.h"
#include "storage_host.h"

namespace {

using CancelCheck = FileCore::CancelCheck;
using file_core::Taken;
using folder_at::entryStat;
using folder_at::Fd;
using folder_at::openFolder;
using Entry = folder_at::Visitor::Entry;

bool stopped(const CancelCheck& cancelled) { return cancelled && cancelled(); }

void logTooDeep() {
    PrintE("folder tree deeper than %d levels", FileCore::kMaxTreeDepth);
}

// The walks refuse to go below the deepest folder allowed. A tree found too
// deep before the operation is refused whole (refusedUpFront); this keeps one
// that grew since from leading a walk further.
bool tooDeep(int depth) {
    if (depth < FileCore::kMaxTreeDepth) {
        return false;
    }
    logTooDeep();
    return true;
}

// Asked before an operation changes anything: a walk that stopped at the
// bound half-way would leave the tree half copied, moved or deleted behind
// its failure. True (with `what`, the operation's failure line, logged) for
// a tree too deep, and for a cancel that came during the look.
bool refusedUpFront(int dir, const std::string& name, const CancelCheck& cancelled, const char* what) {
    bool halted = false;
    const bool deeper = folder_at::deeperThan(dir, name, FileCore::kMaxTreeDepth,
                                              [&] { return halted = stopped(cancelled); });
    if (halted) {
        PrintE("%s: %s", what, strerror(ECANCELED));
        return true;
    }
    if (deeper) {
        logTooDeep();
        PrintE("%s", what);
    }
    return deeper;
}

// `what` failed, with the system's reason when there is one (no descriptor
// left, a medium gone, ...).
void logFailure(const char* what, int error) {
    if (error != 0) {
        PrintE("%s: %s", what, strerror(error));
    } else {
        PrintE("%s", what);
    }
}

// Mode 0777 on the entry and, for a folder, on all below it; links are
// neither changed nor followed.
class Chmod : public folder_at::Visitor {
public:
    bool visit(const Entry& entry, bool& descend) override {
        if (S_ISLNK(entry.st.st_mode)) {
            return true;
        }
        if (!S_ISDIR(entry.st.st_mode)) {
            // Not supported on a link: one swapped in since is left as it is.
            return ::fchmodat(entry.dir, entry.name.c_str(), 0777, AT_SYMLINK_NOFOLLOW) == 0 || errno == EOPNOTSUPP;
        }
        descend = !tooDeep(entry.depth);
        return descend;
    }
    bool enter(const Entry&, int folder) override { return ::fchmod(folder, 0777) == 0; }
};

bool copyBytes(int in, int out, std::vector<char>& buffer, const CancelCheck& cancelled) {
    for (;;) {
        if (stopped(cancelled)) {
            errno = ECANCELED;
            return false;
        }
        ssize_t got = ::read(in, buffer.data(), buffer.size());
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
            ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR) {
                return false;
            }
            done += put > 0 ? put : 0;
        }
    }
}

// Fills a temporary beside the target, flushes it and renames it over the
// target (a link in the target's place is replaced, never written through).
bool copyFileAt(int fromDir, const std::string& from, int toDir, const std::string& to, std::vector<char>& buffer,
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
    bool ok = copyBytes(in.get(), out.get(), buffer, cancelled) && ::fsync(out.get()) == 0;
    ok = out.close() && ok;
    if (!ok || ::renameat(toDir, tmp.c_str(), toDir, to.c_str()) != 0) {
        const int why = errno;
        ::unlinkat(toDir, tmp.c_str(), 0);
        errno = why;
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

// Copies what the walk meets into the target, a folder's entries into the
// folder made for it (the target's side is a trail of its own); `taken`
// (when given) records what is copied.
class Copy : public folder_at::Visitor {
public:
    Copy(int toDir, const std::string& to, const CancelCheck& cancelled, Taken* taken)
        : m_target(toDir), m_top(to), m_cancelled(cancelled), m_taken(taken) {}

    bool visit(const Entry& entry, bool& descend) override {
        if (m_taken != nullptr) {
            m_taken->add(entry.name, entry.st);
        }
        const int toDir = m_target.current();
        const std::string& to = targetName(entry);
        const mode_t mode = entry.st.st_mode;
        if (S_ISLNK(mode)) {
            return copyLinkAt(entry.dir, entry.name, toDir, to);
        }
        if (S_ISFIFO(mode)) {
            ::unlinkat(toDir, to.c_str(), 0);
            return ::mkfifoat(toDir, to.c_str(), 0666) == 0;
        }
        if (!S_ISDIR(mode)) {
            return S_ISREG(mode) && copyFileAt(entry.dir, entry.name, toDir, to, buffer(), m_cancelled);
        }
        descend = !tooDeep(entry.depth);
        return descend;
    }

    bool enter(const Entry& entry, int) override {
        const std::string& to = targetName(entry);
        if (::mkdirat(m_target.current(), to.c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
        // A link in the target folder's place is no folder to copy into.
        if (!m_target.down(to)) {
            return false;
        }
        if (m_taken != nullptr) {
            m_taken->enter();
        }
        return true;
    }

    bool leave(int, const std::string&, bool ok) override {
        if (m_taken != nullptr) {
            m_taken->leave();
        }
        return m_target.up() && ok;
    }

private:
    const std::string& targetName(const Entry& entry) const { return entry.depth == 0 ? m_top : entry.name; }
    // On the heap, and only once a file is met.
    std::vector<char>& buffer() {
        if (m_buffer.empty()) {
            m_buffer.resize(65536);
        }
        return m_buffer;
    }

    folder_at::Trail m_target;
    const std::string& m_top;
    const CancelCheck& m_cancelled;
    Taken* m_taken;
    std::vector<char> m_buffer;
};

bool copyAt(int fromDir, const std::string& from, int toDir, const std::string& to, const CancelCheck& cancelled,
            int* error, Taken* taken = nullptr) {
    Copy copy(toDir, to, cancelled, taken);
    return folder_at::walk(fromDir, from, copy, cancelled, error);
}

// Depth first; links are removed, never followed. A missing entry is gone already.
class Remove : public folder_at::Visitor {
public:
    bool visit(const Entry& entry, bool& descend) override {
        if (!S_ISDIR(entry.st.st_mode)) {
            return ::unlinkat(entry.dir, entry.name.c_str(), 0) == 0 || errno == ENOENT;
        }
        descend = !tooDeep(entry.depth);
        return descend;
    }
    bool missing(int, const std::string&) override { return errno == ENOENT; }
    // Whatever now bears the name is removed only as an empty folder.
    bool leave(int dir, const std::string& name, bool ok) override {
        return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && ok;
    }
};

bool removeAt(int dir, const std::string& name, const CancelCheck& cancelled, int* error = nullptr) {
    Remove remove;
    return folder_at::walk(dir, name, remove, cancelled, error);
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

// Copies a folder into a new temporary tree beside the target and renames
// it into place only when whole; a copy that fails for any reason (a
// cancel, a full medium, an entry it cannot copy) removes the temporary, and
// the target is left as it was. `taken` (when given) records what is copied.
bool copyTree(const Source& from, const Target& to, const CancelCheck& cancelled, int* error, Taken* taken) {
    std::string tmp;
    if (!temporary_file::createFolder(to.folder.get(), tmp)) {
        *error = errno;
        return false;
    }
    // An existing folder in the target's place is replaced only when empty,
    // as a rename on one medium does.
    bool placed = copyAt(from.folder.get(), from.name, to.folder.get(), tmp, cancelled, error, taken);
    if (placed && ::renameat(to.folder.get(), tmp.c_str(), to.folder.get(), to.name.c_str()) != 0) {
        *error = errno;
        placed = false;
    }
    if (!placed) {
        removeAt(to.folder.get(), tmp, {});
    }
    return placed;
}

// Copies the source into the target. A new folder is made whole before it
// takes the target's name; a file is copied whole too (copyFileAt), a link
// or a FIFO in one call. A folder that exists already receives the source's
// entries, each file whole, as a copy onto a folder always did.
bool copyInto(const Source& from, const Target& to, const CancelCheck& cancelled, int* error) {
    struct stat st;
    if (!entryStat(from.folder.get(), from.name, st)) {
        *error = errno;
        return false;
    }
    if (S_ISDIR(st.st_mode) && !exists(to.folder.get(), to.name)) {
        return copyTree(from, to, cancelled, error, nullptr);
    }
    return copyAt(from.folder.get(), from.name, to.folder.get(), to.name, cancelled, error);
}

// The last step of a move to another medium, once the target is whole and
// flushed: the source loses what was copied. Whatever was saved into it
// meanwhile is kept there, and the move reports that it did not move all.
bool removeSource(const Source& from, const Taken& taken, const std::function<void()>& beforeRemoval) {
    if (beforeRemoval) {
        beforeRemoval();
    }
    if (file_core::removeTaken(from.folder.get(), from.name, taken)) {
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
// leaves at least one whole copy. `error`: the system's reason of a failure.
bool moveAcross(const Source& from, const Target& to, const CancelCheck& cancelled,
                const std::function<void()>& beforeRemoval, int* error) {
    struct stat st;
    if (!entryStat(from.folder.get(), from.name, st)) {
        *error = errno;
        return false;
    }
    Taken taken;
    if (!S_ISDIR(st.st_mode)) {
        return copyAt(from.folder.get(), from.name, to.folder.get(), to.name, cancelled, error, &taken) &&
               flushTo(to.folder.get()) && removeSource(from, taken, beforeRemoval);
    }
    if (!copyTree(from, to, cancelled, error, &taken)) {
        return false;
    }
    if (!flushTo(to.folder.get())) {
        PrintE("sync error");
        return false;
    }
    return removeSource(from, taken, beforeRemoval);
}

// Removes the temporaries of the walk's top folder and of the folders below
// it down to `levels` (links not followed). `legacy`: see RemoveTemporaries.
class Sweep : public folder_at::Visitor {
public:
    Sweep(const std::string& folder, const FileCore::TargetFilter& legacy, const FileCore::TargetFilter& ours,
          int levels, std::vector<std::string>& removed)
        : m_legacy(legacy), m_ours(ours), m_levels(levels), m_removed(removed), m_next(folder) {}

    bool visit(const Entry& entry, bool& descend) override {
        if (entry.depth == 0) {
            descend = true;  // the top folder itself
            return true;
        }
        const std::string path = m_paths.back() + "/" + entry.name;
        if (orphaned(entry.name, entry.st)) {
            if (removeAt(entry.dir, entry.name, {})) {
                m_removed.push_back(path);
            }
        } else if (S_ISDIR(entry.st.st_mode) && entry.depth < m_levels) {
            descend = true;
            m_next = path;
        }
        return true;
    }
    bool missing(int, const std::string&) override { return true; }
    bool enter(const Entry&, int) override {
        m_paths.push_back(m_next);
        return true;
    }
    bool leave(int, const std::string&, bool ok) override {
        m_paths.pop_back();
        return ok;
    }

private:
    // A temporary file of this version that `ours` accepts, or a file an
    // earlier version named after its target where `legacy` accepts that
    // target. A folder is kept whatever its name, with what it holds but the
    // temporaries in it: one of a temporary's name may be a user's, from a PC.
    bool orphaned(const std::string& name, const struct stat& st) const {
        if (temporary_file::isTemporary(name)) {
            return S_ISREG(st.st_mode) && (!m_ours || m_ours(name));
        }
        if (!m_legacy || !S_ISREG(st.st_mode)) {
            return false;
        }
        const std::string target = temporary_file::legacyTargetOf(name);
        return !target.empty() && m_legacy(target);
    }

    const FileCore::TargetFilter& m_legacy;
    const FileCore::TargetFilter& m_ours;
    const int m_levels;
    std::vector<std::string>& m_removed;
    std::vector<std::string> m_paths;  // of the folders the walk is in
    std::string m_next;
};

} // namespace

bool FileCore::FileCopy(const std::string& src, const std::string& dst, const CancelCheck& cancelled) {
    const walk_turns::Turn turn(cancelled);
    const AnchoredPath from(src), to(dst);
    const Source source(from);
    Target target;
    if (!source.folder.ok() || !exists(source.folder.get(), source.name) || !targetOf(to, src, target)) {
        return false;
    }
    // The source keeps its modes; what is made gets ordinary ones.
    if (intoItself(source.folder.get(), source.name, target)) {
        PrintE("cp error: a folder is not copied into itself");
        return false;
    }
    if (refusedUpFront(source.folder.get(), source.name, cancelled, "cp error")) {
        return false;
    }
    int error = 0;
    if (!copyInto(source, target, cancelled, &error)) {
        logFailure("cp error", error);
        return false;
    }
    if (!flushTo(target.folder.get())) {
        PrintE("sync error");
        return false;
    }
    return true;
}

bool FileCore::FileMove(const std::string& src, const std::string& dst, const CancelCheck& cancelled) {
    const walk_turns::Turn turn(cancelled);
    const AnchoredPath from(src), to(dst);
    const Source source(from);
    Target target;
    if (from.root() || !source.folder.ok() || !exists(source.folder.get(), source.name) ||
        !targetOf(to, src, target)) {
        PrintE("File not exist");
        return false;
    }
    PrintI("form = %s, to = %s", src.c_str(), dst.c_str());
    if (refusedUpFront(source.folder.get(), source.name, cancelled, "mv failed")) {
        return false;
    }
    Chmod chmod;
    int error = 0;
    if (!folder_at::walk(source.folder.get(), source.name, chmod, cancelled, &error)) {
        logFailure("chmod failed", error);
        return false;
    }
    // The names are looked up only in the open folders.
    error = platform::storageHost().rename(folder_at::through(source.folder.get(), source.name),
                                           folder_at::through(target.folder.get(), target.name));
    if (error == EXDEV) {
        // Another medium (a USB stick): copy, then delete the source.
        if (intoItself(source.folder.get(), source.name, target)) {
            PrintE("mv failed: a folder is not moved into itself");
            return false;
        }
        error = 0;
        if (!moveAcross(source, target, cancelled, m_beforeSourceRemoval, &error)) {
            logFailure("mv failed", error);
            return false;
        }
    } else if (error != 0) {
        logFailure("mv failed", error);
        return false;
    }
    flushTo(target.folder.get());
    return true;
}

bool FileCore::FileDelete(const std::string& path, const CancelCheck& cancelled) {
    const walk_turns::Turn turn(cancelled);
    const AnchoredPath at(path);
    const Source entry(at);
    if (!entry.folder.ok()) {
        // No folder to hold it: the service's own path is gone already.
        return at.ok() && !at.confined() && entry.error == ENOENT;
    }
    if (at.root() || refusedUpFront(entry.folder.get(), entry.name, cancelled, "rm error")) {
        return false;
    }
    // An entry that cannot be removed fails the delete, which still removes
    // all else it can, as "rm -r" does.
    int error = 0;
    if (!removeAt(entry.folder.get(), entry.name, cancelled, &error)) {
        logFailure("rm error", error);
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
                                                     const TargetFilter& legacy, const TargetFilter& ours) {
    std::vector<std::string> removed;
    // A stick with millions of entries must not hold start-up for long.
    long budget = 200000;
    const Fd top(::open(platform::hostPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.ok()) {
        Sweep sweep(folder, legacy, ours, recursive ? kMaxTreeDepth : 1, removed);
        folder_at::walk(top.get(), ".", sweep, [&budget] { return --budget < 0; });
    }
    return removed;
}
