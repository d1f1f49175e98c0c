#include "root_path.h"

#include <cstdlib>

namespace platform {

std::string dataRoot() {
    const char* root = std::getenv("DMM_ROOT");
    if (root == nullptr || *root == '\0') {
        return "/";
    }
    return root;
}

std::string hostPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string root = dataRoot();
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root + path;
}

} // namespace platform
