#pragma once
#include <cstddef>
#include <string>

// Runs shell commands for the service's own fixed tasks (system properties,
// version queries). Commands must never be built from text a user supplied:
// the shell would interpret it.
class Util {
public:
    // Commands of this many characters or more are refused, never run cut off.
    static constexpr size_t kMaxCommandLength = 1024;
    // Reading stops once this much output has gathered (lines of up to 1023
    // characters are read whole, so the result stays below 2 KiB).
    static constexpr size_t kOutputLimit = 1025;

    // The command's standard output; empty when it could not be started. The
    // exit status is not looked at.
    static std::string executeCMD(const char* command);
    // Appends the output to the zero-terminated text in `result`, a buffer of
    // `capacity` bytes; what does not fit is dropped, and the text stays
    // zero-terminated. The command runs even when nothing more fits.
    static void executeCMD(const char* command, char* result, size_t capacity);
};
