#include "temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

TempRoot::TempRoot() {
    std::string pattern = (fs::temp_directory_path() / "dmmroot-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = pattern;
    if (const char* prev = std::getenv("DMM_ROOT")) {
        _previous = prev;
        _had_previous = true;
    }
    ::setenv("DMM_ROOT", _path.c_str(), 1);
}

TempRoot::~TempRoot() {
    if (_had_previous) {
        ::setenv("DMM_ROOT", _previous.c_str(), 1);
    } else {
        ::unsetenv("DMM_ROOT");
    }
    std::error_code ec;
    fs::remove_all(_path, ec);
}

void writeFile(const std::string& host_path, const std::string& text) {
    fs::create_directories(fs::path(host_path).parent_path());
    std::ofstream out(host_path, std::ios::trunc | std::ios::binary);
    out << text;
}

std::string readFile(const std::string& host_path) {
    std::ifstream in(host_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace testing_support
