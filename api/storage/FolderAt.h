#pragma once
#include <sys/stat.h>

#include <string>
#include <vector>

// Descriptors for walking a folder tree one level at a time: every entry is
// reached relative to the descriptor of the folder that holds it, and a
// folder is opened only when it is one, never through a link. A folder
// swapped for a link while a walk is under way thus leads nowhere but to the
// link itself, and the folders already open stay the ones that were checked.
namespace folder_at {

// An open descriptor, closed with its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    bool ok() const { return m_fd >= 0; }
    int release();
    // Closes it; false when the close reports an error.
    bool close();

private:
    int m_fd = -1;
};

// The entry `name` of the folder `dir` opened as a folder; not ok (errno
// set) for a link, anything else that is no folder, or a missing entry.
Fd openFolder(int dir, const std::string& name);
// The entry itself, links not followed; false (errno set) when missing.
bool entryStat(int dir, const std::string& name, struct stat& st);
// The entry names of the open folder but "." and ".."; false when it cannot
// be read. The folder's own descriptor is left open and unmoved.
bool listNames(int folder, std::vector<std::string>& names);
// Whether two entries are one object.
bool sameObject(const struct stat& a, const struct stat& b);
// A path through the open folder ("/proc/self/fd/<dir>/<name>") for the few
// calls that take paths: only `name` is looked up, in that folder.
std::string through(int dir, const std::string& name);

} // namespace folder_at
