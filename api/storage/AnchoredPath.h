#pragma once
#include <string>

// A path of the system pinned for the system calls of one file operation.
// For a path inside a storage root the folder that holds it is opened, and
// the folder actually opened (links and all) must lie inside that root; every
// later call goes through the open folder, so a folder on the way that is
// swapped for a link after the check cannot lead the operation elsewhere.
// Paths outside the roots (the service's own files) pass as they are.
class AnchoredPath {
public:
    explicit AnchoredPath(const std::string& path);
    ~AnchoredPath();
    AnchoredPath(const AnchoredPath&) = delete;
    AnchoredPath& operator=(const AnchoredPath&) = delete;

    // False when the path is inside a root but its folder leads out of it or
    // cannot be opened; host() is then empty.
    bool ok() const { return m_ok; }
    // The path to hand to system calls (through the open folder when pinned).
    const std::string& host() const { return m_host; }
    // Whether the path lies inside a storage root; whether it is the root.
    bool confined() const { return m_confined; }
    bool root() const { return m_root; }
    // For a confined path: `fd`, opened through host(), is an object inside
    // the root (a link at the last step may have been followed). True otherwise.
    bool holds(int fd) const;
    // A new descriptor of the folder that holds the entry (the pinned one for
    // a confined path), for walks that go on relative to it; the caller
    // closes it. -1 with errno set when it cannot be had.
    int openFolder() const;
    // The entry's name in that folder: "." for a root, pinned as its own folder.
    const std::string& leaf() const { return m_leaf; }

private:
    bool m_ok = false;
    bool m_confined = false;
    bool m_root = false;
    int m_folder = -1;
    std::string m_host;
    std::string m_realRoot;
    std::string m_parent;  // unconfined: the host path of the folder
    std::string m_leaf;
};
