#include "StorageRemotePath.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "ScpiReplyText.h"
#include "TemporaryFile.h"
#include "Util/logger.h"
#include "root_path.h"

namespace {

std::string realHost(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(platform::hostPath(path).c_str(), buffer) != nullptr ? buffer : "";
}

// A name on the way (the last or a folder's) that only the service's
// temporaries may bear: reaching one would let a user's file be taken for a
// temporary, or a running save, copy or move be disturbed. A delete may reach
// a leftover, which nothing writes any more and no start may remove.
bool holdsReservedName(const std::string& path, StorageRemotePath::Temporaries temporaries) {
    const bool leftoversAllowed = temporaries == StorageRemotePath::Temporaries::Leftovers;
    for (size_t at = 0; at < path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string name = path.substr(at, end - at);
        if (temporary_file::isReserved(name) && !(leftoversAllowed && !temporary_file::inUse(name))) {
            PrintE("reserved for the service's temporary files: %s", path.c_str());
            return true;
        }
        at = end + 1;
    }
    return false;
}

} // namespace

bool StorageRemotePath::directoryFormat(std::string& s, const std::string& current, Temporaries temporaries) {
    std::string path = s;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (!path.empty() && path[0] == '/') {
        path = kIntRoot + path;
    } else if (path.compare(0, 5, "INT:/") == 0) {
        path = kIntRoot + path.substr(4);
    } else if (path.compare(0, 5, "USB:/") == 0) {
        path = kUsbRoot + path.substr(4);
    } else {
        path = current + "/" + path;
    }
    if (!confine(path, temporaries)) {
        return false;
    }
    s = path;
    return true;
}

bool StorageRemotePath::confine(std::string& s, Temporaries temporaries) {
    // The system reads a name up to its first NUL: "a.csv\0.sta" would be
    // checked as one name and opened as another.
    if (s.find('\0') != std::string::npos) {
        PrintE("path refused: it holds a NUL");
        return false;
    }
    const std::string path = normalise(s);
    if (!insideRoots(path) || holdsReservedName(path, temporaries) || !resolvesInsideRoots(path)) {
        return false;
    }
    s = path;
    return true;
}

std::string StorageRemotePath::normalise(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string& part : parts) {
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

bool StorageRemotePath::under(const std::string& path, const std::string& root) {
    return path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/');
}

bool StorageRemotePath::insideRoots(const std::string& path) {
    return under(path, kIntRoot) || under(path, kUsbRoot);
}

bool StorageRemotePath::resolvesInsideRoots(const std::string& path) {
    const std::string root = under(path, kIntRoot) ? kIntRoot : kUsbRoot;
    std::string existing = path;
    struct stat st;
    while (existing.size() > root.size() && ::lstat(platform::hostPath(existing).c_str(), &st) != 0) {
        existing = existing.substr(0, existing.rfind('/'));
    }
    const std::string real = realHost(existing), realRoot = realHost(root);
    return !real.empty() && !realRoot.empty() && under(real, realRoot);
}

bool StorageRemotePath::isRoot(const std::string& path) {
    const std::string p = normalise(path);
    return p == kIntRoot || p == kUsbRoot || p == kUsbAlias;
}

bool StorageRemotePath::remoteForm(const std::string& path, std::string& out) {
    const std::string p = normalise(path);
    bool known = true;
    if (under(p, kIntRoot)) {
        out = "INT:" + p.substr(std::string(kIntRoot).size());
    } else if (under(p, kUsbRoot)) {
        out = "USB:" + p.substr(std::string(kUsbRoot).size());
    } else {
        out = "INT:";
        known = false;
    }
    if (out.size() == 4) {
        out += "/";
    }
    std::replace(out.begin(), out.end(), '/', '\\');
    out = ScpiQuotedString(out);
    return known;
}
