// Folder listings, emptiness and the size walk of FileCore.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "AnchoredPath.h"
#include "FileCore.h"
#include "FolderAt.h"
#include "FolderWalk.h"
#include "Util/logger.h"
#include "WalkTurns.h"
#include "root_path.h"

namespace {

using Folder = std::unique_ptr<DIR, int (*)(DIR*)>;

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// UTF-8 as the UI's records need it: no stray continuation byte, no cut
// sequence, no encoded surrogate.
bool validUtf8(const std::string& name) {
    const size_t size = name.size();
    for (size_t i = 0; i < size;) {
        const auto lead = static_cast<unsigned char>(name[i]);
        size_t follow = 0;
        if (lead < 0x80) {
            follow = 0;
        } else if (lead >= 0xC0 && lead <= 0xDF) {
            follow = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            follow = 3;
        } else {
            return false;
        }
        if (i + follow >= size) {
            return false;  // the sequence runs past the end of the name
        }
        for (size_t k = 1; k <= follow; ++k) {
            if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        if (lead == 0xED && (static_cast<unsigned char>(name[i + 1]) & 0xA0) == 0xA0) {
            return false;
        }
        i += follow + 1;
    }
    return true;
}

// The folder `at` names, opened through the folder that holds it; a link at
// its last step is followed only to a folder inside the same root (checked on
// what was opened, so a link swapped in after the path was checked lists
// nothing outside), and everything after goes through this descriptor.
folder_at::Fd openNamed(const AnchoredPath& at) {
    const folder_at::Fd parent(at.ok() ? at.openFolder() : -1);
    if (!parent.ok()) {
        return folder_at::Fd();
    }
    folder_at::Fd folder(::openat(parent.get(), at.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.ok() && !at.holds(folder.get())) {
        PrintE("path leads out of its storage root");
        errno = EACCES;
        return folder_at::Fd();
    }
    return folder;
}

// Opens the folder `at` names for a listing; logs why it cannot.
folder_at::Fd openListing(const AnchoredPath& at) {
    folder_at::Fd folder = openNamed(at);
    if (!folder.ok() && at.ok()) {  // a path leading out was logged as such
        const bool missing = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        PrintE(missing ? "Dir not exist" : "Open dir error");
    }
    return folder;
}

// Calls `each` with the open folder and every entry name of it but "." and "..".
template <typename Each>
bool forEachEntry(const AnchoredPath& at, Each each) {
    const folder_at::Fd folder = openListing(at);
    std::vector<std::string> names;
    if (!folder.ok() || !folder_at::listNames(folder.get(), names)) {
        return false;
    }
    for (const std::string& name : names) {
        each(folder.get(), name);
    }
    return true;
}

// The entry itself: a link is listed as the link, never as what it leads to.
bool entryStat(int folder, const std::string& name, const std::string& path, struct stat& st) {
    if (!folder_at::entryStat(folder, name, st)) {
        PrintE("stat failed = %s", path.c_str());
        return false;
    }
    return true;
}

// Entries one listing may visit to sum folder sizes: a catalogue of a stick
// with millions of files still answers within a bounded time, the sizes of
// the folders then counted in part.
constexpr long kWalkBudget = 200000;

// Sums the sizes of everything below the top folder (links not followed,
// the top's own entry not counted).
class Sizes : public folder_at::Visitor {
public:
    bool visit(const Entry& entry, bool& descend) override {
        descend = S_ISDIR(entry.st.st_mode) && entry.depth < FileCore::kMaxTreeDepth;
        if (entry.depth == 0) {
            return descend;
        }
        total += static_cast<long long>(entry.st.st_size);
        return true;
    }
    bool missing(int, const std::string&) override { return true; }

    long long total = 0;
};

// The size of everything below the entry `name` of the open folder `dir`
// (not followed when it is a link); `budget` counts the entries visited.
long long walkSize(int dir, const std::string& name, long& budget) {
    Sizes sizes;
    const auto spent = [&budget] {
        if (--budget >= 0) {
            return false;
        }
        if (budget == -1) {
            PrintW("folder sizes counted in part: more than %ld entries", kWalkBudget);
        }
        return true;
    };
    if (!folder_at::walk(dir, name, sizes, spent) && budget >= 0) {
        PrintE("path do not exist");
    }
    return sizes.total;
}

std::string modifyTime(const struct stat& st) {
    struct tm local;
    char text[64];
    if (::localtime_r(&st.st_mtime, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return "";
    }
    return text;
}

} // namespace

bool FileCore::GetFileList(const std::string& path, FileInfos& out) {
    const AnchoredPath at("/" + path);
    return forEachEntry(at, [&](int folder, const std::string& name) {
        if (!validUtf8(name)) {
            PrintE("FileInfos.Info.name contains invalid UTF-8");
            return;
        }
        struct stat st {};
        const bool known = entryStat(folder, name, path + "/" + name, st);
        FileInfos::Info* info = out.add_info();
        info->set_name(name);
        info->set_isdir(known && S_ISDIR(st.st_mode));
        info->set_size(known ? static_cast<long long>(st.st_size) : 0);
        info->set_modifytime(known ? modifyTime(st) : "");
    });
}

bool FileCore::GetFileList(const std::string& path, std::map<std::string, long long>& out,
                           const CancelCheck& cancelled) {
    const walk_turns::Turn turn(cancelled);
    if (cancelled && cancelled()) {
        return false;  // no turn taken: no walk
    }
    const AnchoredPath at(path);
    long budget = kWalkBudget;
    return forEachEntry(at, [&](int folder, const std::string& name) {
        struct stat st {};
        if (!entryStat(folder, name, path + "/" + name, st)) {
            out.emplace(name, 0);
        } else if (S_ISDIR(st.st_mode)) {
            out.emplace(name + "/", walkSize(folder, name, budget));
        } else {
            out.emplace(name, static_cast<long long>(st.st_size));
        }
    });
}

bool FileCore::GetFileList(const std::string& path, std::set<std::string>& out) {
    const AnchoredPath at(path);
    return forEachEntry(at, [&](int, const std::string& name) { out.insert(name); });
}

int FileCore::IsFolderEmpty(const std::string& path) {
    const AnchoredPath at(path);
    folder_at::Fd named = openNamed(at);
    Folder folder(named.ok() ? ::fdopendir(named.get()) : nullptr, ::closedir);
    if (!folder) {
        PrintE("folder path do not exist");
        return -1;
    }
    named.release();  // closed with the listing
    // "." and ".." may come anywhere in the listing.
    while (const dirent* entry = ::readdir(folder.get())) {
        if (!isDotOrDotDot(entry->d_name)) {
            return 1;
        }
    }
    return 0;
}

long long FileCore::Check(const std::string& path, const CancelCheck& cancelled) {
    const walk_turns::Turn turn(cancelled);
    if (cancelled && cancelled()) {
        return 0;  // no turn taken: no walk
    }
    const AnchoredPath at(path);
    const folder_at::Fd parent(at.ok() ? at.openFolder() : -1);
    long budget = kWalkBudget;
    return parent.ok() ? walkSize(parent.get(), at.leaf(), budget) : 0;
}
