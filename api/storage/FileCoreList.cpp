// Folder listings, emptiness and the size walk of FileCore.
#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>

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

long long entrySize(const std::string& host, const std::string& path) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) {
        PrintE("stat failed = %s", path.c_str());
        return 0;
    }
    return static_cast<long long>(st.st_size);
}

long long walkSize(const std::string& host) {
    Folder folder = openFolder(host);
    if (!folder) {
        PrintE("path do not exist");
        return 0;
    }
    long long total = 0;
    while (const dirent* entry = ::readdir(folder.get())) {
        if (isDotOrDotDot(entry->d_name)) {
            continue;
        }
        const std::string child = host + "/" + entry->d_name;
        struct stat st;
        if (::lstat(child.c_str(), &st) != 0) {
            continue;
        }
        total += static_cast<long long>(st.st_size);
        if (S_ISDIR(st.st_mode)) {
            total += walkSize(child);
        }
    }
    return total;
}

} // namespace

bool FileCore::GetFileList(const std::string& path, FileInfos& out) {
    const std::string folderPath = "/" + path;
    return forEachEntry(platform::hostPath(folderPath), [&](const std::string& name) {
        if (!validUtf8(name)) {
            PrintE("FileInfos.Info.name contains invalid UTF-8");
            return;
        }
        const std::string full = folderPath + "/" + name;
        FileInfos::Info* info = out.add_info();
        info->set_name(name);
        info->set_isdir(IsFolderExists(full));
        info->set_size(entrySize(platform::hostPath(full), full));
        info->set_modifytime(GetFileModifyTime(full));
    });
}

bool FileCore::GetFileList(const std::string& path, std::map<std::string, long long>& out) {
    return forEachEntry(platform::hostPath(path), [&](const std::string& name) {
        const std::string full = path + "/" + name;
        if (IsFolderExists(full)) {
            out.emplace(name + "/", Check(full));
        } else {
            out.emplace(name, entrySize(platform::hostPath(full), full));
        }
    });
}

bool FileCore::GetFileList(const std::string& path, std::set<std::string>& out) {
    return forEachEntry(platform::hostPath(path), [&](const std::string& name) { out.insert(name); });
}

int FileCore::IsFolderEmpty(const std::string& path) {
    Folder folder = openFolder(platform::hostPath(path));
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
    return walkSize(platform::hostPath(path));
}
