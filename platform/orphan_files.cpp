#include "orphan_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "root_path.h"

namespace platform {

std::vector<std::string> removeFilesIf(const std::string& dir,
                                       const std::function<bool(const std::string& name)>& orphan) {
    std::vector<std::string> removed;
    const std::string hostDir = hostPath(dir);
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(hostDir.c_str()), ::closedir);
    if (!folder) {
        return removed;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder.get())) {
        names.emplace_back(entry->d_name);
    }
    for (const std::string& name : names) {
        if (name == "." || name == ".." || !orphan(name)) {
            continue;
        }
        const std::string path = hostDir + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) {
            removed.push_back(name);
        }
    }
    return removed;
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace platform
