#pragma once

// The service's logging: the day's file in "/data/logs" (channel "log", all
// levels), the console, and the asynchronous writer ("async log" thread) that
// formats and writes every line.
namespace ServiceLog {

// Adds both channels and installs the writer.
void start();

// Removes the writer, waits until it has written every queued line (a line
// logged meanwhile is written on its caller's thread), then writes the
// logger's closing record. Safe to call without start().
void stop();

} // namespace ServiceLog
