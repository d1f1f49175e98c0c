#pragma once
#include <cstdint>
#include <ctime>
#include <fstream>
#include <ostream>
#include <set>
#include <streambuf>
#include <string>

#include "Util/LogChannel.h"

namespace toolkit {

// Writes formatted lines to one file. The path is the system's own; only the
// calls into the OS map it onto the host.
class FileChannelBase : public LogChannel {
public:
    FileChannelBase(const std::string& name = "FileChannelBase", const std::string& path = "",
                    LogLevel level = LTrace);
    ~FileChannelBase() override;

    void write(const Logger& logger, const LogContextPtr& ctx) override;
    // Sets the file and opens it; false when it does not open.
    bool setPath(const std::string& path);
    const std::string& path() const;

protected:
    // Creates the directory chain and opens the file for appending. Throws
    // std::runtime_error when no path is set.
    virtual bool open();
    virtual void close();
    // Bytes in the file; the largest value when the stream has failed.
    virtual size_t size();
    // Bytes written by this channel since the file was opened or the count
    // was last reset: known without asking the file system.
    size_t written() const { return _counter.count(); }
    void resetWritten() { _counter.reset(); }

protected:
    std::string _path;
    std::ofstream _fstream;

private:
    // Passes the lines on to the file and counts their bytes.
    class CountingBuf : public std::streambuf {
    public:
        explicit CountingBuf(std::streambuf* sink) : _sink(sink) {}
        size_t count() const { return _count; }
        void reset() { _count = 0; }

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        std::streambuf* _sink;
        size_t _count = 0;
    };

    CountingBuf _counter{_fstream.rdbuf()};
    std::ostream _out{&_counter};
};

// The service's log files: one per local day in `dir`, named
// "%d-%02d-%02d_%02d.log", a new one above 30 MiB, files 30 or more days old
// and beyond the newest 20 (by date and number) deleted. The file's size is
// looked at once a minute, and sooner when the bytes written since the last
// look take it past 30 MiB.
class FileChannel : public FileChannelBase {
public:
    FileChannel(const std::string& name = "FileChannel", const std::string& dir = "/data/logs",
                LogLevel level = LTrace);
    ~FileChannel() override = default;

    void write(const Logger& logger, const LogContextPtr& ctx) override;

protected:
    void changeFile(time_t second);
    void clean();

private:
    void reportOpenFailure(const std::string& path);
    // Starts a new file when the current one is above the size limit.
    void checkSize(time_t second);
    // Takes the current file's size as the base the bytes written count from.
    void baseSize(size_t size);
    bool pastLimitSinceCheck() const;

    bool _can_write = false;
    size_t _log_max_day = 30;
    size_t _log_max_size = 30;
    size_t _log_max_count = 20;
    size_t _index = 0;
    int64_t _last_day = -1;
    time_t _last_check_time = 0;
    // The file's size at the last look, at most the limit.
    size_t _checked_size = 0;
    // Paths in the order their files were made: by the date the name starts
    // with, then by the number after it (file 100 comes after file 99, though
    // as text it sorts before it); names without a date first.
    struct MadeOrder {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    std::string _dir;
    std::set<std::string, MadeOrder> _log_file_map;
    // Set while this channel switches files: a record logged meanwhile (the
    // failure report, a mkdir warning) must not re-enter the switch.
    bool _switching = false;
};

} // namespace toolkit
