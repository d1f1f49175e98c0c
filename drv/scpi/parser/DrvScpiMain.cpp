#include "DrvScpiMain.h"

#include <cctype>
#include <cstring>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isAlpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// Length of a decimal number at the start of text ([+-] mantissa [E[+-]digits]),
// 0 when there is none. An exponent mark without digits makes the number
// malformed: -1.
int32_t decimalLength(const char* text, uint32_t length) {
    uint32_t i = 0;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    uint32_t digits = 0;
    while (i < length && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < length && text[i] == '.') {
        ++i;
        while (i < length && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return 0;
    }
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        uint32_t e = i + 1;
        if (e < length && (text[e] == '+' || text[e] == '-')) {
            ++e;
        }
        if (e >= length || !isDigit(text[e])) {
            return -1;
        }
        while (e < length && isDigit(text[e])) {
            ++e;
        }
        i = e;
    }
    return static_cast<int32_t>(i);
}

// A unit: letters, then letters, digits or '/' (V, mV, KHZ, M/S2).
bool isSuffix(const char* text, uint32_t length) {
    if (length == 0 || !(isAlpha(text[0]) || text[0] == '/')) {
        return false;
    }
    for (uint32_t i = 1; i < length; ++i) {
        if (!isAlpha(text[i]) && !isDigit(text[i]) && text[i] != '/') {
            return false;
        }
    }
    return true;
}

}  // namespace

uint32_t DrvScpi_GetKeyword(char* header, SCP_KEYWORD_ARRAY& keywords, uint8_t u8TreeDepth) {
    // Upper-case and drop spaces in place.
    char* out = header;
    for (char* in = header; *in != '\0'; ++in) {
        if (*in == ' ') {
            continue;
        }
        *out++ = static_cast<char>(std::toupper(static_cast<unsigned char>(*in)));
    }
    *out = '\0';

    const char* piece = header[0] == ':' ? header + 1 : header;
    uint32_t count = 0;
    while (count < u8TreeDepth) {
        const char* end = std::strchr(piece, ':');
        size_t len = end != nullptr ? static_cast<size_t>(end - piece) : std::strlen(piece);
        if (len == 0) {
            return 0;
        }
        if (len >= SCP_KEYWORD_SLOT_LEN) {
            return SCP_KEYWORD_TOO_LONG;
        }
        if (count < SCP_KEYWORD_SLOT_NUM) {
            std::memcpy(keywords[count], piece, len);
            keywords[count][len] = '\0';
        }
        ++count;
        if (end == nullptr) {
            break;
        }
        piece = end + 1;
    }
    return count;
}

SCP_MSG_BLOCK_TYPE_EN DrvScpi_ClassifyPlainElement(const char* text, uint32_t length) {
    if (length == 0) {
        return SCP_BT_UNKNOWN;
    }
    if (isAlpha(text[0])) {
        for (uint32_t i = 1; i < length; ++i) {
            if (!isAlpha(text[i]) && !isDigit(text[i]) && text[i] != '_') {
                return SCP_BT_UNKNOWN;
            }
        }
        return SCP_BT_CHAR;
    }
    int32_t number = decimalLength(text, length);
    if (number <= 0) {
        return SCP_BT_UNKNOWN;
    }
    uint32_t i = static_cast<uint32_t>(number);
    if (i == length) {
        return SCP_BT_DECIMAL;
    }
    while (i < length && DrvScpi_IsBlank(text[i])) {
        ++i;
    }
    return isSuffix(text + i, length - i) ? SCP_BT_SUFFIX : SCP_BT_UNKNOWN;
}
