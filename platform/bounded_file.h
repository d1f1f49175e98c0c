#pragma once
#include <fcntl.h>

#include <cstddef>
#include <string>

namespace platform {

// The largest file of each kind the service reads whole. Any of them may be
// replaced by a link to a device, a FIFO or a huge file (a stick, a careless
// copy); none of that may hold the service or fill its memory.
constexpr long long kIniFileMax = 1LL << 20;          // ini files (product identity)
constexpr long long kPropertyFileMax = 4LL << 10;     // one system property value
constexpr long long kCalibrationFileMax = 4LL << 20;  // one ".cal" or ".acc" file
constexpr long long kSimInputFileMax = 64LL << 10;    // the simulation's input files

// A file opened for reading without blocking (a FIFO or a device under the
// name cannot hold the caller), kept only when it is a regular file.
class BoundedFile {
public:
    // `path` is a host path, relative to the folder descriptor `at` when given.
    explicit BoundedFile(const std::string& path, int at = AT_FDCWD);
    ~BoundedFile();
    BoundedFile(const BoundedFile&) = delete;
    BoundedFile& operator=(const BoundedFile&) = delete;

    // Opened, and a regular file.
    bool ok() const { return _fd >= 0; }
    // The name did not lead to anything (as opposed to something refused).
    bool missing() const { return _missing; }
    // Why the file is not ok.
    const std::string& refusal() const { return _refusal; }
    int fd() const { return _fd; }
    // The size when it was opened.
    long long size() const { return _size; }
    // Reads `len` bytes from `offset`; the bytes read, fewer at the end.
    size_t readAt(long long offset, char* out, size_t len) const;
    // Reads the rest from the start into `out`: false, with the reason in
    // refusal(), when there are more than `maxSize` bytes or a read fails.
    // Sizes are not trusted: a file may grow, and some report none at all.
    bool readAll(long long maxSize, std::string& out);

private:
    int _fd = -1;
    bool _missing = false;
    long long _size = 0;
    std::string _refusal;
};

enum class FileRead { Ok, Missing, Refused };

// Reads the whole regular file `path` (a host path) of at most `maxSize`
// bytes into `out`. Missing: nothing of that name. Refused: something that
// is no regular file, too large, or unreadable; `why` then says what.
FileRead readBoundedFile(const std::string& path, long long maxSize, std::string& out, std::string* why = nullptr);

} // namespace platform
