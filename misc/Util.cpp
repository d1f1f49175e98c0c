#include "Util.h"

#include <fcntl.h>
#include <paths.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Util/logger.h"

extern char** environ;

namespace {

// Starts the shell on `command` with its standard output on a pipe, as popen
// does, but the child starts with no signal blocked and SIGINT, SIGTERM and
// SIGPIPE at their defaults: the service blocks SIGINT and SIGTERM in every
// thread (it takes them with sigwait) and ignores SIGPIPE, and a child must
// stay stoppable and end when its reader goes away.
FILE* openCommand(const char* command, pid_t* pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    int rc = posix_spawn(pid, _PATH_BSHELL, &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
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
