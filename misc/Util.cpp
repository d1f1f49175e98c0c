#include "Util.h"

#include <cstdio>
#include <cstring>

#include "Util/logger.h"

std::string Util::executeCMD(const char* command) {
    std::string output;
    if (command == nullptr) {
        return output;
    }
    if (std::strlen(command) >= kMaxCommandLength) {
        PrintE("command of %zu characters refused", std::strlen(command));
        return output;
    }
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) {
        std::printf("popen %s error\n", command);
        return output;
    }
    char line[1024];
    while (output.size() < kOutputLimit && std::fgets(line, sizeof(line), pipe) != nullptr) {
        output += line;
    }
    pclose(pipe);
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
