#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

#include "FolderAt.h"

namespace folder_at {

// The folders of a walk, from the one that holds its top entry down to the
// one it is in, of which only the deepest few are held open: however deep
// the tree, a walk holds at most kHeld descriptors. A folder let go is
// opened again on the way back up, through ".." of the one below it, and
// taken only when it is the very folder it was (device and inode), so a
// folder moved meanwhile ends the walk rather than lead it elsewhere.
class Trail {
public:
    static constexpr size_t kHeld = 8;

    // `top` stays the caller's and open throughout.
    explicit Trail(int top) : m_top(top) {}

    // The folder the walk is in; -1 once the way back up was lost.
    int current() const;
    // Into the folder `name` of the current one, never through a link;
    // false (errno set) when it cannot be opened.
    bool down(const std::string& name);
    // Back to the folder above; false (errno set) when it cannot be had
    // again or is no longer the one it was: the trail then leads nowhere.
    bool up();

private:
    bool lose();

    struct Level {
        Fd fd;
        struct stat id;
    };
    int m_top;
    std::vector<Level> m_levels;  // below the top folder, the deepest last
    size_t m_firstHeld = 0;       // the levels above it were let go
    bool m_lost = false;
};

} // namespace folder_at
