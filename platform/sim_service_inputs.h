#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace platform {

// What identifies one state of a file; a missing file is all zero.
struct SimFileStamp {
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{0, 0};
    bool operator==(const SimFileStamp& o) const {
        return inode == o.inode && size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
    bool operator!=(const SimFileStamp& o) const { return !(*this == o); }
};

// When a change of the input file is read: once the file has kept its new
// state for `settleMs`. A writer truncates the file, then writes it; read in
// between, the file holds nothing and every input would read as its default
// (no capacitance, no volts) until the next poll, long enough for a
// measurement to start on it.
class SimInputFileWatch {
public:
    static constexpr uint64_t kSettleMs = 50;
    explicit SimInputFileWatch(const SimFileStamp& read) : m_read(read), m_seen(read) {}
    // The state one poll finds at `nowMs`: true when it is to be read now.
    bool take(const SimFileStamp& now, uint64_t nowMs);

private:
    SimFileStamp m_read;  // the state read last
    SimFileStamp m_seen;  // the state the polls found last, since m_seenMs
    uint64_t m_seenMs = 0;
};

// The inputs of the simulated instrument while the service runs, for people
// and whole-process tests:
// - "<root>/sim/input.conf": `name = value` lines (SimInputs names, SI units,
//   `#` comments), re-read within 200 ms of a change, once the file has kept
//   its new state for 50 ms (a write in progress is not read); names it does not know
//   are reported once through `log` (as trouble) and ignored, and every
//   read is noted there, numbered; a missing file or name reads
//   as the default (0, closed, 23.5 degrees).
// - "<root>/sim/ext_trigger": a FIFO created here; every byte written to it is
//   one edge of the external trigger input. Edges the input drops (too many
//   wait for a read) are reported through `log` as trouble, with their total,
//   at most once a second.
// Starts one thread on the first call; later calls do nothing.
void simStartServiceInputs(std::function<void(bool, const std::string&)> log);

// Applies settings text to the front end (the file's content); unknown names
// go to `unknown`, once each over the calls that share that set.
struct SimInputs;
SimInputs simParseInputText(const std::string& text, const std::function<void(const std::string&)>& unknown);

} // namespace platform
