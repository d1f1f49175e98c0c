#pragma once

// How the service is stopped: SIGINT (Ctrl-C) or SIGTERM. Both are blocked in
// every thread and taken synchronously with sigwait, so nothing runs in signal
// context. Stopping logs, drains and stops the asynchronous log writer, and
// ends the process without running static destructors: pollers and pool
// workers still run, and the shared pool's destructor would wait for the
// engine's endless tasks.
namespace StopSignal {

// Restores the default action of SIGINT and SIGTERM and blocks both in the
// calling thread; ignores SIGPIPE, so that a write to a peer that reset its
// connection fails with EPIPE instead of ending the service (libraries that
// write to sockets with plain write cannot ask for MSG_NOSIGNAL). Called
// first in main, before any thread exists, so that every thread inherits the
// mask. Children started through Util::executeCMD get the defaults back.
void block();

// Takes the stop signals on a thread of its own from now on, so that they
// work while start-up runs, however long a step of it is held: a signal that
// comes before wait() is called ends the process (status 0); wait() then
// takes over. Called once in main, after block() and the log's start.
void watchStartUp();

// Waits for a stop signal and returns its number (the watcher's, once it runs).
int wait();

// Waits at most `seconds` for a stop signal; 0 when none came.
int waitFor(int seconds);

// Pauses for `seconds`; a stop signal meanwhile ends the process (status 0).
void pauseOrStop(int seconds);

// Logs the reason, drains the log writer and ends the process with `status`.
[[noreturn]] void endProcess(int status);

} // namespace StopSignal
