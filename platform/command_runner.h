#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// One external program run by the service: an argument vector (argv[0] is
// the program's host path; no shell sees the arguments), an optional time-out
// and an optional capture of its standard output.
struct CommandRequest {
    std::vector<std::string> argv;
    // Zero: wait as long as the program runs.
    std::chrono::milliseconds timeout{0};
    // Zero: standard output goes to /dev/null; else at most this many bytes
    // are kept (the program is not stopped by the limit).
    size_t outputLimit = 0;
};

struct CommandResult {
    bool started = false;
    bool timedOut = false;
    // The exit status; -1 when it did not start, was killed or timed out.
    int status = -1;
    std::string output;

    bool succeeded() const { return started && !timedOut && status == 0; }
};

using CommandRunner = std::function<CommandResult(const CommandRequest&)>;

// Runs a program through the installed runner (the real one unless a test
// replaced it) and records its argument vector in the history.
CommandResult runCommand(const CommandRequest& request);

// Replaces the runner; an empty one restores the real one.
void setCommandRunner(CommandRunner runner);

// The argument vectors run so far (the latest 64), oldest first.
std::vector<std::vector<std::string>> commandHistory();
void clearCommandHistory();

// The real runner: posix_spawn in a process group of its own, the child with
// no signal blocked and SIGINT, SIGTERM and SIGPIPE at their defaults (the
// service blocks or ignores them); on time-out the group is killed.
CommandResult spawnCommand(const CommandRequest& request);

// Starts `argv` with its standard output on `stdoutFd` (-1: /dev/null) under
// the same signal rules; the child's pid, or -1. For callers that read the
// output as a stream themselves.
pid_t spawnProcess(const std::vector<std::string>& argv, int stdoutFd);

} // namespace platform
