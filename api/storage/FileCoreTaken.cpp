#include "FileCoreTaken.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "FolderAt.h"
#include "FolderWalk.h"
#include "TemporaryFile.h"

namespace file_core {

void Taken::add(const std::string& name, const struct stat& st) {
    m_entries.push_back(st);
    m_index[{m_folders.empty() ? kTop : m_folders.back(), name}] = m_entries.size() - 1;
}

void Taken::enter() {
    m_folders.push_back(m_entries.size() - 1);
}

void Taken::leave() {
    m_folders.pop_back();
}

const struct stat* Taken::find(size_t folder, const std::string& name, size_t& at) const {
    const auto found = m_index.find({folder, name});
    if (found == m_index.end()) {
        return nullptr;
    }
    at = found->second;
    return &m_entries[at];
}

namespace {

using Entry = folder_at::Visitor::Entry;

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
    const folder_at::Fd made(temporary_file::create(dir, name, aside));
    if (!made.ok()) {
        return false;
    }
    if (::renameat(dir, name.c_str(), dir, aside.c_str()) != 0) {
        const bool gone = errno == ENOENT;
        ::unlinkat(dir, aside.c_str(), 0);
        return gone;
    }
    struct stat st;
    if (folder_at::entryStat(dir, aside, st) && unchanged(st, taken)) {
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

// Walks the source as it is now and removes each entry that is one taken;
// a folder goes once all it holds is gone. What was taken and is gone since
// is never met, and counts as removed.
class RemoveTaken : public folder_at::Visitor {
public:
    explicit RemoveTaken(const Taken& taken) : m_taken(taken) {}

    bool visit(const Entry& entry, bool& descend) override {
        size_t at = 0;
        const struct stat* was = m_taken.find(m_folders.empty() ? Taken::kTop : m_folders.back(), entry.name, at);
        if (was == nullptr) {
            return false;  // added since
        }
        if (!S_ISDIR(was->st_mode)) {
            return removeFileTaken(entry.dir, entry.name, *was);
        }
        descend = folder_at::sameObject(entry.st, *was);
        m_next = at;
        return descend;
    }
    bool missing(int, const std::string&) override { return errno == ENOENT; }
    bool enter(const Entry&, int folder) override {
        struct stat st;
        if (::fstat(folder, &st) != 0 || !folder_at::sameObject(st, m_taken.entry(m_next))) {
            return false;
        }
        m_folders.push_back(m_next);
        return true;
    }
    bool leave(int dir, const std::string& name, bool ok) override {
        m_folders.pop_back();
        return ok && ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
    }

private:
    const Taken& m_taken;
    std::vector<size_t> m_folders;  // numbers of the folders the walk is in
    size_t m_next = 0;              // of the folder about to be entered
};

} // namespace

bool removeTaken(int dir, const std::string& name, const Taken& taken) {
    RemoveTaken remove(taken);
    return folder_at::walk(dir, name, remove);
}

} // namespace file_core
