#pragma once
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "proto_data.pb.h"

// The file primitives of user storage and of the service's own data files:
// space, sizes, times, listings, whole-file save and load, copy, move, delete
// and folder creation. Paths are the system's own; every call into the OS maps
// them onto the host. Nothing here runs a shell: names come from SCPI, from
// the UI and from USB sticks and are handed to system calls as they are.
// Created on first use through Copperwren::Singleton<FileCore>; takes no lock.
class FileCore {
public:
    // Asked between chunks and between entries of a long copy, move or
    // delete; true stops the operation, which then fails.
    using CancelCheck = std::function<bool()>;

    FileCore();
    ~FileCore();

    // Free bytes of the file system holding `path`; 0 when it cannot be asked.
    static unsigned long long GetFreeDiskSize(const std::string& path);
    // Size of the entry; 0 when it cannot be asked.
    unsigned long long GetFileSize(const std::string& path);
    // Local modification time "%Y-%m-%d %H:%M:%S"; empty when it cannot be asked.
    std::string GetFileModifyTime(const std::string& path);

    // Listings describe each entry itself: a link is no folder and has its
    // own size, whatever it leads to. Paths in a storage root are pinned
    // (AnchoredPath).
    // One record per entry of the folder (names that are not valid UTF-8 are
    // left out: the record's text fields must be UTF-8).
    bool GetFileList(const std::string& path, FileInfos& out);
    // Entry name to size; folders as "name/" with the size of all they hold
    // (one bounded walk for the whole listing, see Check). False, listing
    // nothing, when `cancelled` ends its wait for a walk turn.
    bool GetFileList(const std::string& path, std::map<std::string, long long>& out,
                     const CancelCheck& cancelled = {});
    // Every entry name.
    bool GetFileList(const std::string& path, std::set<std::string>& out);

    bool IsFolderExists(const std::string& path);
    bool IsFileExists(const std::string& path);
    // The entry itself is there (a link counts, whatever it leads to); for a
    // path in a storage root, in its pinned folder.
    bool IsEntryExists(const std::string& path);

    // Writes `len` bytes to `path`: appended when `append` is set, otherwise
    // the file is replaced as a whole (a temporary file beside it is written,
    // flushed to disk and renamed over it, and the folder is flushed, so a
    // power cut leaves either the old or the new file). Refuses a null or
    // empty buffer and a medium the bytes do not fit on; a user's file (in a
    // storage root) also needs more than 16 MiB + 16 KiB free, a margin that
    // leaves the service room for its own files (the settings mirror).
    // Missing parent folders of the service's own files are made; a path in
    // a storage root is written through its pinned folder (AnchoredPath), and
    // a root itself is never written. True when every byte reached the file.
    // `logFailures` false keeps a caller that retries from logging each try.
    bool FileSave(const std::string& path, const char* data, int len, bool append, bool logFailures = true);

    // The largest whole file each kind may be, so that no read sizes its
    // buffer from whatever a user or a stick holds: settings, state,
    // preference and sensor files, identity and address files; data records
    // and CSV data (half a million readings as text).
    static constexpr long long kSettingsFileMax = 4LL << 20;
    static constexpr long long kDataFileMax = 64LL << 20;

    // Reads from `offset` up to `length` bytes (0: to the end; more than the
    // file holds: to the end) into `out`, sized to the bytes read. False for a
    // negative argument, an offset at or past the end, a missing, unreadable,
    // empty or non-regular file, more than `maxSize` bytes to read (refused
    // before reading: a whole-file reader thus refuses a larger file), a path
    // in a storage root that leads out of it, or a read that stops short.
    bool FileLoad(const std::string& path, std::vector<char>& out, int offset, int length,
                  long long maxSize = kSettingsFileMax);

    // Copy, move and delete walk a tree one folder at a time, each opened
    // relative to the one above and never through a link: a folder swapped
    // for a link while the walk is under way is met as the link, so nothing
    // outside the tree is read, changed or removed. Trees deeper than
    // kMaxTreeDepth folders are refused before anything is changed (a walk
    // that only looks goes first). Neither the descriptors a walk
    // holds nor its stack grow with the depth (FolderWalk.h), and the walks
    // that run side by side take turns beyond a share of the descriptor
    // limit (WalkTurns.h). A walk that fails logs the system's reason
    // ("cp error: Too many open files").
    static constexpr int kMaxTreeDepth = 256;

    // Copies a file or a folder tree (links are copied as links, never
    // followed); an existing folder as `dst` receives src under its own name.
    // A folder is not copied into itself. The source's modes stay as they
    // are; what the copy makes gets ordinary modes (the file mask's). Each
    // file is written to a temporary beside its target (named as a save
    // names its own) and renamed when whole, so a copy cut off leaves no part
    // of a file under a target's name. A folder copied to a new name is
    // filled as a temporary tree beside it and renamed when whole, so a copy
    // that fails or is cancelled leaves nothing under that name; one copied
    // onto an existing folder adds to it file by file, and a failure leaves
    // the files copied so far, each whole.

    bool FileCopy(const std::string& src, const std::string& dst, const CancelCheck& cancelled = {});
    // Sets mode 0777 on the tree, then renames it, or copies and deletes
    // across file systems; same target rule. Across file systems a folder is
    // copied into a temporary tree beside the target, renamed into place
    // only when whole and flushed before the source is deleted: a move that
    // fails or is cancelled keeps the source and leaves the target as it was.
    // Once the copy is whole, the source loses only what the copy took, as
    // it was taken: what is saved into the tree, or over a file of it, after
    // the copy passed stays in the source (with its folders), and the move
    // fails, the target holding what was taken.
    bool FileMove(const std::string& src, const std::string& dst, const CancelCheck& cancelled = {});
    // Tests only: runs when a move to another medium has put its copy in
    // place, before it removes the source.
    void setBeforeSourceRemoval(std::function<void()> seam) { m_beforeSourceRemoval = std::move(seam); }
    // Deletes a file or a whole tree without following links; a missing path
    // counts as deleted. Cancelled, what was removed stays removed. An entry
    // that cannot be removed fails the delete, which still removes the rest. Neither
    // this nor the other operations below ever remove or move a storage root.
    bool FileDelete(const std::string& path, const CancelCheck& cancelled = {});
    // Removes an empty folder.
    bool DirectoryDelete(const std::string& path);
    // Makes the folder (its parent must exist) with mode 0777.
    bool CreateDirectories(const std::string& path);

    // Used and available bytes of the file system holding `path`.
    bool UsedAndAvailableMemoryStorageGet(const std::string& path, unsigned long long* used,
                                          unsigned long long* available);
    // 1 when the folder holds any entry, 0 when empty, -1 when it cannot be opened.
    int IsFolderEmpty(const std::string& path);
    // Bytes of everything below the folder (links not followed, the folder's
    // own entry not counted). The walk visits at most a fixed number of
    // entries; beyond it the sum is partial. 0 when `cancelled` ends its
    // wait for a walk turn.
    long long Check(const std::string& path, const CancelCheck& cancelled = {});

    // Removes what writes cut off before their rename (a power cut, a kill)
    // left behind, in `folder` and, with `recursive`, in every folder below
    // it (links not followed): the temporary files of saves and copies
    // (TemporaryFile.h), nothing of any other name and never a folder, not
    // even the tree of a move cut off; with `ours`, only the temporaries
    // whose name it accepts. With `legacy`, also the files an earlier
    // version named "<target>.tmp.<pid>.<serial>" whose target it accepts:
    // for the service's own folders only, where no user names a file.
    // Returns their paths. For start-up, before anything reads or saves there.
    using TargetFilter = std::function<bool(const std::string& target)>;
    static std::vector<std::string> RemoveTemporaries(const std::string& folder, bool recursive,
                                                      const TargetFilter& legacy = {},
                                                      const TargetFilter& ours = {});

private:
    std::function<void()> m_beforeSourceRemoval;
};
