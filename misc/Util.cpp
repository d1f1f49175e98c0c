#include "Util.h"

#include <fcntl.h>
#include <paths.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Util/logger.h"
#include "command_runner.h"

namespace {

// Starts the shell on `command` with its standard output on a pipe, as popen
// does, through the platform's one spawn helper (the child starts with no
// signal blocked and SIGINT, SIGTERM and SIGPIPE at their defaults).
FILE* openCommand(const char* command, pid_t* pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    *pid = platform::spawnProcess({_PATH_BSHELL, "-c", command}, fds[1]);
    close(fds[1]);
    if (*pid < 0) {
        close(fds[0]);
        return nullptr;
    }
    FILE* out = fdopen(fds[0], "r");
    if (out == nullptr) {
        close(fds[0]);
        waitpid(*pid, nullptr, 0);
    }
    return out;
}

void closeCommand(FILE* out, pid_t pid) {
    std::fclose(out);
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}

} // namespace

std::string Util::executeCMD(const char* command) {
    std::string output;
    if (command == nullptr) {
        return output;
    }
    if (std::strlen(command) >= kMaxCommandLength) {
        PrintE("command of %zu characters refused", std::strlen(command));
        return output;
    }
    pid_t pid = 0;
    FILE* pipe = openCommand(command, &pid);
    if (pipe == nullptr) {
        std::printf("popen %s error\n", command);
        return output;
    }
    char line[1024];
    while (output.size() < kOutputLimit && std::fgets(line, sizeof(line), pipe) != nullptr) {
        output += line;
    }
    closeCommand(pipe, pid);
    return output;
}

void Util::executeCMD(const char* command, char* result, size_t capacity) {
    const std::string output = executeCMD(command);
    if (result == nullptr || capacity == 0) {
        return;
    }
    const size_t used = strnlen(result, capacity);
    if (used >= capacity) {
        // Not zero-terminated within its buffer: nothing can be appended safely.
        return;
    }
    const size_t room = capacity - 1 - used;
    const size_t copied = output.size() < room ? output.size() : room;
    std::memcpy(result + used, output.data(), copied);
    result[used + copied] = '\0';
}
