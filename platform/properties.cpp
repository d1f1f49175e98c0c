#include "properties.h"

#include "root_path.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

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

std::string propertyGet(const std::string& name) {
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

#else

static std::string propertyFile(const std::string& name) {
    return hostPath("/properties/" + name);
}

std::string propertyGet(const std::string& name) {
    if (!propertyNameValid(name)) {
        return "";
    }
    std::ifstream in(propertyFile(name));
    if (!in) {
        return "";
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string value = text.str();
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
    std::string dir = hostPath("/properties");
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    // Write a sibling file and rename it over the property, so that a reader
    // never sees a half-written value.
    std::string path = propertyFile(name);
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) {
            return false;
        }
        out << value;
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

#endif

} // namespace platform
