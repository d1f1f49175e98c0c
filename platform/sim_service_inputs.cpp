#include "sim_service_inputs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "bounded_file.h"
#include "root_path.h"
#include "sim_frontend.h"
#include "sim_gpio.h"
#include "sim_inputs.h"
#include "sim_registry.h"

namespace platform {

namespace {

constexpr const char* kInputFile = "/sim/input.conf";
constexpr const char* kTriggerFifo = "/sim/ext_trigger";
constexpr int kPollMs = 100;
constexpr std::chrono::seconds kDropNoteEvery{1};

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

SimFileStamp stampOf(const std::string& path) {
    struct stat st;
    SimFileStamp stamp;
    if (::stat(path.c_str(), &st) == 0) {
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime = st.st_mtim;
    }
    return stamp;
}

uint64_t steadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The FIFO with a write end of our own, so that a writer closing it never
// leaves the read end hanging up.
int openTriggerFifo(const std::string& path, int& keepOpen) {
    ::mkfifo(path.c_str(), 0666);
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) keepOpen = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

class ServiceInputs {
public:
    explicit ServiceInputs(std::function<void(bool, const std::string&)> log) : _log(std::move(log)) {
        std::string dir = hostPath("/sim");
        ::mkdir(dir.c_str(), 0755);
        _file = hostPath(kInputFile);
        const SimFileStamp stamp = stampOf(_file);
        _watch = std::make_unique<SimInputFileWatch>(stamp);
        if (stamp.inode != 0) apply();
        _fifo = openTriggerFifo(hostPath(kTriggerFifo), _fifoWriter);
        if (_fifo < 0) report("cannot create " + hostPath(kTriggerFifo));
    }

    [[noreturn]] void run() {
        for (;;) {
            pollfd pfd{_fifo, POLLIN, 0};
            if (_fifo >= 0 && ::poll(&pfd, 1, kPollMs) > 0 && (pfd.revents & POLLIN)) {
                uint8_t bytes[64];
                ssize_t n = ::read(_fifo, bytes, sizeof(bytes));
                for (ssize_t i = 0; i < n; ++i) simGpio().injectTrigger();
            } else if (_fifo < 0) {
                ::usleep(kPollMs * 1000);
            }
            noteDroppedEdges();
            if (_watch->take(stampOf(_file), steadyMs())) apply();
        }
    }

private:
    // `trouble` lines are warnings; the rest say what the simulation did.
    void report(const std::string& text, bool trouble = true) {
        if (_log) _log(trouble, text);
    }

    // Edges the trigger input dropped, told at most once a second while a
    // writer floods the FIFO, with the total so far.
    void noteDroppedEdges() {
        const unsigned long dropped = simGpio().droppedTriggers();
        const auto now = std::chrono::steady_clock::now();
        if (dropped == _droppedNoted || now - _droppedNotedAt < kDropNoteEvery) return;
        _droppedNoted = dropped;
        _droppedNotedAt = now;
        report("sim ext_trigger: " + std::to_string(dropped) + " edges dropped in all, at most " +
               std::to_string(SimGpio::kPendingTriggersMax) + " wait for the trigger input");
    }

    // A file that is refused (no regular file, or too large) counts as a
    // missing one: every input takes its default.
    void apply() {
        std::string text;
        std::string why;
        if (readBoundedFile(_file, kSimInputFileMax, text, &why) == FileRead::Refused) {
            report("sim input file " + _file + " refused: " + why);
        }
        simFrontEnd().setInputs(simParseInputText(text, [this](const std::string& name) {
            if (_unknown.insert(name).second) report("sim input: unknown name \"" + name + "\" ignored");
        }));
        // Numbered, so that no two notes repeat: a script can tell that its
        // change is in force.
        report("sim inputs read (" + std::to_string(++_reads) + ")", false);
    }

    std::function<void(bool, const std::string&)> _log;
    std::string _file;
    std::unique_ptr<SimInputFileWatch> _watch;
    int _fifo = -1;
    int _fifoWriter = -1;
    std::set<std::string> _unknown;
    unsigned long _reads = 0;
    unsigned long _droppedNoted = 0;
    std::chrono::steady_clock::time_point _droppedNotedAt;
};

} // namespace

bool SimInputFileWatch::take(const SimFileStamp& now, uint64_t nowMs) {
    if (now != m_seen) {
        m_seen = now;
        m_seenMs = nowMs;
        return false;
    }
    if (now == m_read || nowMs - m_seenMs < kSettleMs) return false;
    m_read = now;
    return true;
}

SimInputs simParseInputText(const std::string& text, const std::function<void(const std::string&)>& unknown) {
    SimInputs inputs;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = trim(line.substr(0, line.find('#')));
        size_t eq = line.find('=');
        if (line.empty() || eq == std::string::npos) continue;
        std::string name = trim(line.substr(0, eq));
        if (setSimInput(inputs, name, trim(line.substr(eq + 1))) == SimInputResult::UnknownName) unknown(name);
    }
    return inputs;
}

void simStartServiceInputs(std::function<void(bool, const std::string&)> log) {
    static std::once_flag once;
    std::call_once(once, [&log] {
        // Lives until the process ends, like the devices it feeds.
        auto* inputs = new ServiceInputs(std::move(log));
        std::thread([inputs] { inputs->run(); }).detach();
    });
}

} // namespace platform
