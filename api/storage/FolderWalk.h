#pragma once
#include <sys/stat.h>

#include <functional>
#include <string>

// A depth-first walk of a folder tree that holds the same few descriptors
// (FolderTrail.h) and the same stack whatever the tree's depth: the folders
// still to finish are kept on the heap, not in nested calls. Every entry is
// reached relative to the descriptor of its folder and never through a link.
namespace folder_at {

// What a walk does with the entries it meets.
class Visitor {
public:
    struct Entry {
        int dir;                 // the open folder that holds it
        const std::string& name;
        const struct stat& st;   // the entry itself, links not followed
        int depth;               // 0 for the top entry
    };

    virtual ~Visitor() = default;
    // Each entry, the top one first; false when it failed. Setting `descend`
    // walks a folder's entries next.
    virtual bool visit(const Entry& entry, bool& descend) = 0;
    // An entry that cannot be looked at (errno says why; ENOENT: gone since
    // it was listed); true when that is no failure.
    virtual bool missing(int dir, const std::string& name);
    // The entry's folder is open as `folder`, its entries not yet read;
    // false leaves them out, as a failure.
    virtual bool enter(const Entry& entry, int folder);
    // All below the folder `name` of `dir` was walked, `ok` when nothing
    // failed; the folder's own result.
    virtual bool leave(int dir, const std::string& name, bool ok);
};

// Walks the entry `name` of the open folder `dir` and what lies below the
// folders the visitor descends into; `stopped` (when given) is asked before
// each entry and ends the walk. True when nothing failed; otherwise
// `error` (when given) holds the errno of the first failure that set one
// (ECANCELED when stopped), or 0.
bool walk(int dir, const std::string& name, Visitor& visitor, const std::function<bool()>& stopped = {},
          int* error = nullptr);

// Whether a folder lies `levels` folders below the entry `name` of `dir`
// (the top entry is at level 0), found by a walk that only looks: an
// operation that refuses such a tree asks first and changes nothing. A
// folder that cannot be opened is passed over (the operation meets it for
// itself); false when `stopped` ends the look first.
bool deeperThan(int dir, const std::string& name, int levels, const std::function<bool()>& stopped = {});

} // namespace folder_at
