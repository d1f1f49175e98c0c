#include "ScpiInputBuffer.h"

#include <algorithm>

#include "DrvScpiMain.h"

bool ScpiInputBuffer::append(const char* data, size_t size, std::vector<std::string>& messages) {
    messages.clear();
    size_t from = 0;
    for (size_t i = 0; i < size; ++i) {
        if (m_scan == Scan::BlockData) {
            // Block bytes are taken whole, whatever they hold.
            size_t take = static_cast<size_t>(std::min<uint64_t>(m_u64BlockLeft, size - i));
            m_u64BlockLeft -= take;
            i += take - 1;
            if (m_u64BlockLeft == 0) {
                m_scan = Scan::AfterBlock;
            }
            continue;
        }
        bool ends = step(data[i]);
        if (m_bRefuseNow) {
            // The message so far goes to the parser at once, which refuses
            // the block; the rest of it up to its line feed is dropped.
            m_bRefuseNow = false;
            m_pending.append(data + from, i + 1 - from);
            messages.push_back(std::move(m_pending));
            m_pending.clear();
            m_bDiscarding = true;
            from = i + 1;
            continue;
        }
        if (!ends) {
            continue;
        }
        if (m_bDiscarding) {
            m_bDiscarding = false;  // the over-long message ends here, unparsed
        } else if (m_pending.empty()) {
            messages.emplace_back(data + from, i + 1 - from);
        } else {
            m_pending.append(data + from, i + 1 - from);
            messages.push_back(std::move(m_pending));
        }
        m_pending.clear();
        from = i + 1;
    }
    if (!m_bDiscarding) {
        m_pending.append(data + from, size - from);
    }
    if (m_pending.size() > kMaxPending) {
        // The scan goes on over the dropped bytes, so that the skip ends at
        // the real end of that message and not inside one of its blocks.
        m_pending.clear();
        m_pending.shrink_to_fit();
        m_bDiscarding = true;
        return false;
    }
    return true;
}

std::string ScpiInputBuffer::takePending() {
    m_bDiscarding = false;
    m_scan = Scan::CmdStart;
    std::string text;
    text.swap(m_pending);
    return text;
}

// The rules follow the parser's: a header runs to a blank or a command end;
// in the parameter text the first character of an element decides whether it
// is a string, an expression, a block or plain text. Only block data holds a
// line feed that ends nothing.
bool ScpiInputBuffer::step(char c) {
    switch (m_scan) {
    case Scan::CmdStart:
        if (c == ';' || DrvScpi_IsBlank(c)) {
            return false;
        }
        if (c == '\n' || c == '\0') {
            return endMessage(c);
        }
        m_scan = Scan::Header;
        return false;
    case Scan::Header:
        if (DrvScpi_IsBlank(c)) {
            m_scan = Scan::Element;
            return false;
        }
        return endMessage(c);
    case Scan::Element:
        return stepElementStart(c);
    case Scan::Plain:
        return stepPlain(c);
    case Scan::String:
        if (c == m_quote) {
            m_scan = Scan::StringQuote;
        } else if (c == '\n') {
            return endMessage(c);  // unclosed: the parser refuses it
        } else if (c == '\0') {
            m_scan = Scan::Skip;
        }
        return false;
    case Scan::StringQuote:
        // A separator, a blank or a command end after the quote closes the
        // string; a second quote stands for one; anything else is text.
        if (c == ',' || c == ';' || c == '\n' || c == '\0' || DrvScpi_IsBlank(c)) {
            m_scan = Scan::Plain;
            return stepPlain(c);
        }
        m_scan = Scan::String;
        return false;
    case Scan::Expression:
        if (c == '(') {
            ++m_u32Depth;
        } else if (c == ')' && --m_u32Depth == 0) {
            m_scan = Scan::Plain;
        } else if (c == '\n') {
            return endMessage(c);  // unclosed: the parser refuses it
        } else if (c == '\0') {
            m_scan = Scan::Skip;
        }
        return false;
    case Scan::Hash:
        if (c >= '1' && c <= '9') {
            m_u32DigitsLeft = static_cast<uint32_t>(c - '0');
            m_u64BlockLeft = 0;
            m_scan = Scan::BlockDigits;
            return false;
        }
        m_scan = Scan::Plain;  // a non-decimal number such as #H1F
        return stepPlain(c);
    case Scan::BlockDigits:
        if (c < '0' || c > '9') {
            m_scan = Scan::Skip;  // a malformed block: the parser refuses the rest
            return step(c);
        }
        m_u64BlockLeft = m_u64BlockLeft * 10 + static_cast<uint64_t>(c - '0');
        if (--m_u32DigitsLeft == 0) {
            // A block the buffer could never hold would swallow every message
            // after it while its bytes are awaited.
            m_bRefuseNow = m_u64BlockLeft > kMaxPending;
            m_scan = m_u64BlockLeft == 0 || m_bRefuseNow ? Scan::Skip : Scan::BlockData;
        }
        return false;
    case Scan::BlockData:
        return false;  // taken whole by scan()
    case Scan::AfterBlock:
        return stepAfterBlock(c);
    case Scan::Skip:
        if (c == '\n') {
            m_scan = Scan::CmdStart;
            return true;
        }
        return false;
    }
    return false;
}

bool ScpiInputBuffer::stepElementStart(char c) {
    if (c == ',' || DrvScpi_IsBlank(c)) {
        return false;
    }
    if (c == '"' || c == '\'') {
        m_quote = c;
        m_scan = Scan::String;
    } else if (c == '(') {
        m_u32Depth = 1;
        m_scan = Scan::Expression;
    } else if (c == '#') {
        m_scan = Scan::Hash;
    } else {
        m_scan = Scan::Plain;
        return stepPlain(c);
    }
    return false;
}

bool ScpiInputBuffer::stepPlain(char c) {
    if (c == ',') {
        m_scan = Scan::Element;
        return false;
    }
    return endMessage(c);
}

bool ScpiInputBuffer::stepAfterBlock(char c) {
    if (DrvScpi_IsBlank(c)) {
        return false;
    }
    if (c == ',') {
        m_scan = Scan::Element;
        return false;
    }
    if (c == ';' || c == '\n' || c == '\0') {
        return endMessage(c);
    }
    m_scan = Scan::Skip;  // text glued to the block bytes: refused by the parser
    return false;
}

// A line feed ends the message, ";" the command, NUL everything the parser
// reads of this message; other bytes leave the state as it is.
bool ScpiInputBuffer::endMessage(char c) {
    if (c == '\n') {
        m_scan = Scan::CmdStart;
        return true;
    }
    if (c == ';') {
        m_scan = Scan::CmdStart;
    } else if (c == '\0') {
        m_scan = Scan::Skip;
    }
    return false;
}
