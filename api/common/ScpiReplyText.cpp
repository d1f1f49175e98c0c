#include "ScpiReplyText.h"

namespace {

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

} // namespace

std::string ScpiReplySafeText(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (isControl(c)) {
            c = '?';
        }
    }
    return out;
}

std::string ScpiQuotedString(const std::string& text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (char c : text) {
        out += isControl(c) ? '?' : c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    return out;
}
