// Folder listings, emptiness and the size walk of FileCore.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "AnchoredPath.h"
#include "FolderAt.h"
#include "FileCore.h"
#include "Util/logger.h"
#include "root_path.h"

namespace {

using Folder = std::unique_ptr<DIR, int (*)(DIR*)>;

Folder openFolder(const std::string& host) {
    return Folder(::opendir(host.c_str()), ::closedir);
}

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

// Opens the folder `host` for a listing; logs why it cannot.
Folder openListing(const std::string& host) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PrintE("Dir not exist");
        return Folder(nullptr, ::closedir);
    }
    Folder folder = openFolder(host);
    if (!folder) {
        PrintE("Open dir error");
    }
    return folder;
}

// Calls `each` with every entry name of the folder but "." and "..".
template <typename Each>
bool forEachEntry(const std::string& host, Each each) {
    Folder folder = openListing(host);
    if (!folder) {
        return false;
    }
    while (const dirent* entry = ::readdir(folder.get())) {
        if (!isDotOrDotDot(entry->d_name)) {
            each(std::string(entry->d_name));
        }
    }
    return true;
}

// The entry itself: a link is listed as the link, never as what it leads to.
bool entryStat(const std::string& host, const std::string& path, struct stat& st) {
    if (::lstat(host.c_str(), &st) != 0) {
        PrintE("stat failed = %s", path.c_str());
        return false;
    }
    return true;
}

// Entries one listing may visit to sum folder sizes: a catalogue of a stick
// with millions of files still answers within a bounded time, the sizes of
// the folders then counted in part.
constexpr long kWalkBudget = 200000;

// Sums the sizes below the open folder depth first, each folder reached
// through its parent's descriptor; links are not followed.
long long walkSize(int folder, long& budget, int depth = 0) {
    std::vector<std::string> names;
    if (!folder_at::listNames(folder, names)) {
        PrintE("path do not exist");
        return 0;
    }
    long long total = 0;
    for (const std::string& name : names) {
        if (--budget < 0) {
            if (budget == -1) {
                PrintW("folder sizes counted in part: more than %ld entries", kWalkBudget);
            }
            return total;
        }
        struct stat st;
        if (!folder_at::entryStat(folder, name, st)) {
            continue;
        }
        total += static_cast<long long>(st.st_size);
        if (S_ISDIR(st.st_mode) && depth + 1 < FileCore::kMaxTreeDepth) {
            const folder_at::Fd below = folder_at::openFolder(folder, name);
            total += below.ok() ? walkSize(below.get(), budget, depth + 1) : 0;
        }
    }
    return total;
}

// The size of everything below the folder `host` names (its last step not
// followed when it is a link).
long long walkSize(const std::string& host, long& budget) {
    const folder_at::Fd folder(::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.ok()) {
        PrintE("path do not exist");
        return 0;
    }
    return walkSize(folder.get(), budget);
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
    return at.ok() && forEachEntry(at.host(), [&](const std::string& name) {
        if (!validUtf8(name)) {
            PrintE("FileInfos.Info.name contains invalid UTF-8");
            return;
        }
        struct stat st {};
        const bool known = entryStat(at.host() + "/" + name, path + "/" + name, st);
        FileInfos::Info* info = out.add_info();
        info->set_name(name);
        info->set_isdir(known && S_ISDIR(st.st_mode));
        info->set_size(known ? static_cast<long long>(st.st_size) : 0);
        info->set_modifytime(known ? modifyTime(st) : "");
    });
}

bool FileCore::GetFileList(const std::string& path, std::map<std::string, long long>& out) {
    const AnchoredPath at(path);
    long budget = kWalkBudget;
    return at.ok() && forEachEntry(at.host(), [&](const std::string& name) {
        const std::string child = at.host() + "/" + name;
        struct stat st {};
        if (!entryStat(child, path + "/" + name, st)) {
            out.emplace(name, 0);
        } else if (S_ISDIR(st.st_mode)) {
            out.emplace(name + "/", walkSize(child, budget));
        } else {
            out.emplace(name, static_cast<long long>(st.st_size));
        }
    });
}

bool FileCore::GetFileList(const std::string& path, std::set<std::string>& out) {
    const AnchoredPath at(path);
    return at.ok() && forEachEntry(at.host(), [&](const std::string& name) { out.insert(name); });
}

int FileCore::IsFolderEmpty(const std::string& path) {
    const AnchoredPath at(path);
    Folder folder = at.ok() ? openFolder(at.host()) : Folder(nullptr, ::closedir);
    if (!folder) {
        PrintE("folder path do not exist");
        return -1;
    }
    // "." and ".." may come anywhere in the listing.
    while (const dirent* entry = ::readdir(folder.get())) {
        if (!isDotOrDotDot(entry->d_name)) {
            return 1;
        }
    }
    return 0;
}

long long FileCore::Check(const std::string& path) {
    const AnchoredPath at(path);
    long budget = kWalkBudget;
    return at.ok() ? walkSize(at.host(), budget) : 0;
}
