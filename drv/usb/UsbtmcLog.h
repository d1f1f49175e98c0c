#pragma once
#include <cstdio>
#include <cstring>

#include "console_log.h"

// The transport's error lines go to the console log at error priority, tagged
// "[VORNA.AFG]" and prefixed with the source file's name, function and line.
// The console ends each line itself: a trailing line feed of the text goes.
#define USBTMC_LOG_E(fmt, ...)                                                                       \
    do {                                                                                             \
        char usbtmcLine_[512];                                                                       \
        const char* usbtmcFile_ = std::strrchr(__FILE__, '/');                                      \
        int usbtmcLen_ = std::snprintf(usbtmcLine_, sizeof(usbtmcLine_), "[%s][%s][%d]:" fmt,      \
                                       usbtmcFile_ ? usbtmcFile_ + 1 : __FILE__, __func__, __LINE__, \
                                       ##__VA_ARGS__);                                               \
        if (usbtmcLen_ > 0 && static_cast<size_t>(usbtmcLen_) < sizeof(usbtmcLine_) &&              \
            usbtmcLine_[usbtmcLen_ - 1] == '\n') {                                                   \
            usbtmcLine_[usbtmcLen_ - 1] = '\0';                                                      \
        }                                                                                            \
        ::platform::consoleWrite(::platform::CONSOLE_ERROR, "[VORNA.AFG]", usbtmcLine_);            \
    } while (0)
