#pragma once
#include <string>
#include <vector>

// The file primitives of user storage and of the service's own data files.
// Paths are the system's own; the calls into the OS map them onto the host.
// Created on first use through Copperwren::Singleton<FileCore>.
//
// Present so far: whole-file save and load. Listings, sizes, copy, move and
// delete come with the storage work.
class FileCore {
public:
    FileCore();
    ~FileCore();

    // Writes `len` bytes to `path`: appended when `append` is set, otherwise
    // the file is replaced as a whole (a temporary file beside it is written,
    // flushed to disk and renamed over it, so a power cut leaves either the
    // old or the new file). Refuses a null or empty buffer and a medium with
    // no more than 16 MiB + 16 KiB free. Missing parent folders are made.
    // True when every byte reached the file.
    bool FileSave(const std::string& path, const char* data, int len, bool append);

    // Reads from `offset` up to `length` bytes (0: to the end; more than the
    // file holds: to the end) into `out`. False for a negative argument, a
    // missing, unreadable or empty file.
    bool FileLoad(const std::string& path, std::vector<char>& out, int offset, int length);

    // Free bytes of the file system holding `path`; 0 when it cannot be asked.
    static unsigned long long GetFreeDiskSize(const std::string& path);

    // Removes the temporary files that replacing saves of `path` left behind
    // when cut off before their rename (a power cut); returns their names.
    // For start-up, before the file is read.
    static std::vector<std::string> RemoveTemporaries(const std::string& path);
};
