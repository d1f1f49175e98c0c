#pragma once
#include <cstddef>
#include <string>

// Gathers the bytes of one SCPI socket connection into program messages.
//
// TCP keeps no message boundaries: a message may arrive in several pieces and
// several messages may arrive in one. Everything up to the last line feed
// received is handed on as one text (the parser splits it at its terminators);
// the bytes after it wait for more. What still waits when the connection has
// been quiet for a while is taken by the caller as a message of its own, so
// clients that never send a terminator are served too.
//
// A client that sends more than kMaxPending bytes without a line feed would
// make the buffer grow without bound: those bytes are dropped, and so is the
// rest of that over-long message up to its line feed (or up to the next quiet
// time), so that its tail is not parsed as commands.
class ScpiInputBuffer {
public:
    static constexpr size_t kMaxPending = 1024 * 1024;

    // Appends `size` bytes. `message` receives every byte up to and including
    // the last line feed (empty when no message is complete). Returns false
    // when the bytes waiting without a line feed went above kMaxPending and
    // were dropped.
    bool append(const char* data, size_t size, std::string& message);

    // The bytes that wait for a line feed, as a message of their own; the
    // buffer is empty afterwards and an over-long message counts as ended.
    std::string takePending();

    // True while bytes wait for a line feed or an over-long message is being
    // skipped: the caller then watches for the quiet time.
    bool hasPending() const { return !m_pending.empty() || m_bDiscarding; }
    size_t pendingSize() const { return m_pending.size(); }

private:
    std::string m_pending;
    bool m_bDiscarding = false;  // inside an over-long message
};
