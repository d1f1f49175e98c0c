#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The reply waiting for the host's Bulk-IN requests: any size, handed out in
// pieces. Each command message gets a number; a reply is kept only when it
// belongs to the newest command, so a late reply of a command the host has
// already moved past never reaches it.
class UsbtmcTxBuffer {
public:
    // A new command message begins, or a clear: an unread reply, and any
    // reply still to come from an earlier command, are dropped; a request
    // waiting for one ends.
    void discard();
    // The command message goes to the engine; its number. Until endCommand a
    // Bulk-IN request waits for its reply.
    uint64_t beginCommand();
    // The reply of command `cmd` (replaces what is there).
    void store(uint64_t cmd, std::string reply);
    // Command `cmd` has run (or was dropped): no reply is coming any more.
    void endCommand(uint64_t cmd);

    // Waits up to `timeout` while a command is running and no reply is there.
    // True when reply bytes wait to be sent.
    bool waitReply(std::chrono::milliseconds timeout);
    // Takes up to `max` bytes of the reply; `eom` when they end it. Returns
    // the command number the piece belongs to (for putBack).
    uint64_t takePiece(size_t max, std::string& piece, bool& eom);
    // A piece of `n` bytes could not be sent: it is offered again, unless
    // another command came since.
    void putBack(uint64_t cmd, size_t n);

    // Ends every wait at once while set (the transport stops).
    void setInterrupted(bool on);
    size_t pendingBytes() const;

private:
    mutable std::mutex mutex;
    std::condition_variable m_cv;
    std::string m_data;
    size_t m_offset = 0;
    uint64_t m_cmd = 0;
    bool m_bRunning = false;  // a command's reply may still come
    bool m_bInterrupted = false;
    uint8_t u8TxDataEom = 1;
};
