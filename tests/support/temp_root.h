#pragma once
#include <string>

namespace testing_support {

// A fresh temporary folder that stands for the instrument's "/" while it lives:
// DMM_ROOT points at it, and it is removed with everything in it at the end.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return _path; }
    // The host path of a system path inside this root.
    std::string host(const std::string& system_path) const { return _path + system_path; }

private:
    std::string _path;
    std::string _previous;
    bool _had_previous = false;
};

// Writes `text` into the host file (creating parent folders); reads a whole file.
void writeFile(const std::string& host_path, const std::string& text);
std::string readFile(const std::string& host_path);

} // namespace testing_support
