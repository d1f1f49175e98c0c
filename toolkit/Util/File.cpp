#include "Util/File.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Util/logger.h"
#include "Util/uv_errno.h"
#include "root_path.h"

namespace toolkit {

namespace {

bool isRealDirectory(const std::string& host_path) {
    // lstat: a symbolic link is never a directory here, so nothing walks
    // through a link into a tree it does not own.
    struct stat st;
    return lstat(host_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isDotEntry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::string joinPath(const std::string& dir, const char* name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

// A directory that someone else created between our check and our mkdir is as
// good as one we created.
bool mkdirOrExisting(const std::string& host_path, unsigned int mode) {
    if (mkdir(host_path.c_str(), mode) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    struct stat st;
    if (stat(host_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return true;
    }
    // Something that is not a directory is in the way: say so in the warning.
    errno = ENOTDIR;
    return false;
}

int deleteHostPath(const std::string& host_path) {
    if (isRealDirectory(host_path)) {
        if (DIR* dir = opendir(host_path.c_str())) {
            while (struct dirent* entry = readdir(dir)) {
                if (!isDotEntry(entry->d_name)) {
                    deleteHostPath(joinPath(host_path, entry->d_name));
                }
            }
            closedir(dir);
        }
        return rmdir(host_path.c_str());
    }
    // Files and symbolic links alike: the link itself goes, never its target.
    if (std::remove(host_path.c_str()) == 0) {
        return 0;
    }
    return unlink(host_path.c_str());
}

// Scans one directory; false when the callback asked to stop the whole scan.
bool scanDirectory(const std::string& path, const std::function<bool(const std::string&, bool)>& cb,
                   bool enter_subdirectory) {
    // An empty path stands for the root, whose entries read "/<name>".
    DIR* dir = opendir(platform::hostPath(path.empty() ? std::string("/") : path).c_str());
    if (dir == nullptr) {
        return true;
    }
    bool go_on = true;
    while (go_on) {
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string entry_path = path + "/" + entry->d_name;
        bool is_dir = isRealDirectory(platform::hostPath(entry_path));
        go_on = cb(entry_path, is_dir);
        if (go_on && is_dir && enter_subdirectory) {
            go_on = scanDirectory(entry_path, cb, enter_subdirectory);
        }
    }
    closedir(dir);
    return go_on;
}

} // namespace

bool File::create_path(const char* path, unsigned int mode) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    const std::string full(path);
    // From the second character on, so "/" alone is never a prefix to create.
    for (size_t pos = full.find('/', 1); pos != std::string::npos; pos = full.find('/', pos + 1)) {
        std::string prefix = full.substr(0, pos + 1);
        std::string host = platform::hostPath(prefix);
        if (access(host.c_str(), F_OK) == 0) {
            continue;
        }
        if (!mkdirOrExisting(host, mode)) {
            WarnL << "mkdir " << prefix << " failed: " << get_uv_errmsg(true);
            return false;
        }
    }
    return true;
}

bool File::fileExist(const char* path) {
    if (path == nullptr) {
        return false;
    }
    FILE* fp = std::fopen(platform::hostPath(path).c_str(), "rb");
    if (fp == nullptr) {
        return false;
    }
    std::fclose(fp);
    return true;
}

int File::delete_file(const char* path) {
    if (path == nullptr || *path == '\0') {
        return -1;
    }
    return deleteHostPath(platform::hostPath(path));
}

void File::scanDir(const std::string& path, const std::function<bool(const std::string& path, bool is_dir)>& cb,
                   bool enter_subdirectory) {
    std::string dir = path;
    // One trailing '/' goes, so entries read "<dir>/<name>".
    if (!dir.empty() && dir.back() == '/') {
        dir.pop_back();
    }
    if (dir.empty() && path.empty()) {
        return;
    }
    scanDirectory(dir, cb, enter_subdirectory);
}

} // namespace toolkit
