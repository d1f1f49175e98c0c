#pragma once
#include <functional>
#include <string>

namespace toolkit {

// File and directory helpers. Paths are the system's own; each call into the OS
// maps them through platform::hostPath.
class File {
public:
    // Creates every missing directory of the chain of `path` (the last component
    // only when it ends in '/'); false, with a warning, when a mkdir fails.
    static bool create_path(const char* path, unsigned int mode);
    // True when the file opens for reading.
    static bool fileExist(const char* path);
    // Deletes a file, a symbolic link, or a whole directory tree (links inside it
    // are unlinked, never followed). 0 on success, else -1.
    static int delete_file(const char* path);
    // Visits the entries of a directory, skipping names that begin with '.'.
    // cb(path, is_dir) returning false stops the scan; links are not entered.
    static void scanDir(const std::string& path,
                        const std::function<bool(const std::string& path, bool is_dir)>& cb,
                        bool enter_subdirectory = false);
};

} // namespace toolkit
