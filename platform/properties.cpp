#include "properties.h"

#include "bounded_file.h"
#include "orphan_files.h"
#include "root_path.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __ANDROID__
#include <sys/system_properties.h>
#endif

namespace platform {

bool propertyNameValid(const std::string& name) {
    if (name.empty() || name.size() > 255 || name.front() == '.' || name.back() == '.') {
        return false;
    }
    char prev = 0;
    for (char c : name) {
        bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        if (!ok || (c == '.' && prev == '.')) {
            return false;
        }
        prev = c;
    }
    return true;
}

#ifdef __ANDROID__

std::string propertyGet(const std::string& name, std::string* /*refusal*/) {
    if (!propertyNameValid(name)) {
        return "";
    }
    char value[PROP_VALUE_MAX] = {0};
    __system_property_get(name.c_str(), value);
    return value;
}

bool propertySet(const std::string& name, const std::string& value) {
    return propertyNameValid(name) && __system_property_set(name.c_str(), value.c_str()) == 0;
}

std::vector<std::string> propertyRemoveTemporaries() {
    return {};  // the platform's own store writes its properties
}

#else

// The folder of the store, under the data root.
constexpr const char* kStore = "/properties";

static std::string propertyFile(const std::string& name) {
    return hostPath(std::string(kStore) + "/" + name);
}

std::string propertyGet(const std::string& name, std::string* refusal) {
    if (!propertyNameValid(name)) {
        return "";
    }
    std::string value;
    std::string why;
    const FileRead read = readBoundedFile(propertyFile(name), kPropertyFileMax, value, &why);
    if (read == FileRead::Refused && refusal != nullptr) {
        *refusal = propertyFile(name) + ": " + why;
    }
    if (read != FileRead::Ok) {
        return "";
    }
    // setprop takes one line; a trailing newline from a hand-edited file is not part of it.
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
        value.pop_back();
    }
    return value;
}

bool propertySet(const std::string& name, const std::string& value) {
    if (!propertyNameValid(name)) {
        return false;
    }
    std::string dir = hostPath(kStore);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    // Write a sibling file of its own and rename it over the property, so that
    // a reader never sees a half-written value and two writers never share one
    // temporary file. Its name starts with '.', which no property name does.
    std::string path = propertyFile(name);
    std::string tmp = dir + "/." + name + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        return false;
    }
    bool written = ::fchmod(fd, 0644) == 0;
    written = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size()) && written;
    written = ::close(fd) == 0 && written;
    if (!written || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> propertyRemoveTemporaries() {
    // Only the temporaries begin with '.': no property name does.
    return removeFilesIf(kStore, [](const std::string& name) { return name.front() == '.'; });
}

#endif

} // namespace platform
