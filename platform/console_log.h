#pragma once

namespace platform {

// Priorities of the console log (the Android log's verbose .. error).
enum ConsolePriority { CONSOLE_VERBOSE = 2, CONSOLE_DEBUG = 3, CONSOLE_INFO = 4, CONSOLE_WARN = 5, CONSOLE_ERROR = 6 };

// Writes one line to the console log. On the instrument this is the Android log;
// on a host build the line goes to standard error as "<letter>/<tag>: <text>".
void consoleWrite(int priority, const char* tag, const char* text);

} // namespace platform
