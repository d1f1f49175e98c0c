#include "console_log.h"

#ifdef __ANDROID__
#include <android/log.h>
#else
#include <cstdio>
#endif

namespace platform {

void consoleWrite(int priority, const char* tag, const char* text) {
#ifdef __ANDROID__
    __android_log_write(priority, tag, text);
#else
    static const char kLetters[] = "??VDIWEF";
    char letter = (priority >= 0 && priority < 8) ? kLetters[priority] : '?';
    // One fprintf call per line: stdio locks the stream, so lines never interleave.
    std::fprintf(stderr, "%c/%s: %s\n", letter, tag, text);
#endif
}

} // namespace platform
