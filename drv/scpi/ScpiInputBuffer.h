#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Gathers the bytes of one SCPI socket connection into program messages.
//
// TCP keeps no message boundaries: a message may arrive in several pieces and
// several messages may arrive in one. Each complete program message (up to and
// including the line feed that ends it) is handed on by itself, so that every
// message gets its own response whatever way the network cut the bytes; the
// bytes after the last one wait for more. A line feed inside a definite-length
// block (#<n><length><bytes>) is data, so the bytes are scanned with the
// parser's rules and a block whose bytes have not all arrived keeps waiting.
// Any other line feed ends the message, even inside an unclosed string or
// expression: a typo costs that one message, never the ones after it. What
// still waits when the connection has been quiet for a while is taken by the
// caller as a message of its own, so clients that never send a terminator are
// served too.
//
// A client that sends more than kMaxPending bytes without a terminating line
// feed would make the buffer grow without bound: those bytes are dropped, and
// so is the rest of that over-long message up to its terminator (or up to the
// next quiet time), so that its tail is not parsed as commands. A block that
// announces more than kMaxPending bytes is handed on as soon as its length is
// known, for the parser to refuse, and the rest of its message is dropped in
// the same way.
class ScpiInputBuffer {
public:
    static constexpr size_t kMaxPending = 1024 * 1024;

    // Appends `size` bytes. `messages` receives each program message that they
    // complete, in order, each with its terminating line feed (none when no
    // message is complete). Returns false when the bytes waiting without a
    // terminator went above kMaxPending and were dropped.
    bool append(const char* data, size_t size, std::vector<std::string>& messages);

    // The bytes that wait for a line feed, as a message of their own; the
    // buffer is empty afterwards and an over-long message counts as ended.
    std::string takePending();

    // True while bytes wait for a line feed or an over-long message is being
    // skipped: the caller then watches for the quiet time.
    bool hasPending() const { return !m_pending.empty() || m_bDiscarding; }
    size_t pendingSize() const { return m_pending.size(); }

private:
    // Where the scan stands in the text after the last terminator.
    enum class Scan : uint8_t {
        CmdStart,     // before a command header
        Header,       // in the header
        Element,      // before a parameter element
        Plain,        // in a plain element (or after a closed string)
        String,       // in a quoted string
        StringQuote,  // a quote in a string: closing or doubled
        Expression,   // in a parenthesised expression
        Hash,         // after '#' at the start of an element
        BlockDigits,  // in the length digits of a block
        BlockData,    // in the bytes of a block
        AfterBlock,   // after the bytes of a block
        Skip,         // the parser drops the rest of this message
    };

    // One byte; true when it is a terminating line feed.
    bool step(char c);
    bool stepElementStart(char c);
    bool stepPlain(char c);
    bool stepAfterBlock(char c);
    bool endMessage(char c);

    std::string m_pending;
    bool m_bDiscarding = false;  // inside an over-long message
    bool m_bRefuseNow = false;   // a block's length above the bound was just read
    Scan m_scan = Scan::CmdStart;
    char m_quote = '"';
    uint32_t m_u32Depth = 0;        // open parentheses
    uint32_t m_u32DigitsLeft = 0;   // length digits still to come
    uint64_t m_u64BlockLeft = 0;    // block length, then bytes still to come
};
