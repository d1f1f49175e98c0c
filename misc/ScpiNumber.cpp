#include "ScpiNumber.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "CommonSimpleFunc.h"
#include "DrvScpiErrDef.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

size_t skipDigits(const std::string& t, size_t i) {
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
        ++i;
    }
    return i;
}

// The end of the decimal number starting at `i`, or `i` when none starts
// there. An exponent counts only with a digit: "1e" is no number.
size_t endOfDecimal(const std::string& t, size_t i) {
    const size_t start = i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        ++i;
    }
    size_t end = skipDigits(t, i);
    bool digits = end != i;
    if (end < t.size() && t[end] == '.') {
        const size_t frac = skipDigits(t, end + 1);
        digits = digits || frac != end + 1;
        end = frac;
    }
    if (!digits) {
        return start;
    }
    if (end < t.size() && (t[end] == 'e' || t[end] == 'E')) {
        size_t e = end + 1;
        if (e < t.size() && (t[e] == '+' || t[e] == '-')) {
            ++e;
        }
        const size_t exp = skipDigits(t, e);
        if (exp == e) {
            return start;
        }
        end = exp;
    }
    return end;
}

// NaN and the infinities as C and SCPI spell them.
bool namesNonFinite(std::string word) {
    for (char& c : word) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
        word.erase(0, 1);
    }
    return word == "nan" || word == "inf" || word == "infinity" || word == "ninf";
}

// #H, #Q or #B and its digits, upper or lower case.
ScpiNumberStatus readNonDecimal(const std::string& t, double& out) {
    int base = 0;
    switch (std::toupper(static_cast<unsigned char>(t[1]))) {
    case 'H': base = 16; break;
    case 'Q': base = 8; break;
    case 'B': base = 2; break;
    default: return ScpiNumberStatus::NotANumber;
    }
    if (t.size() == 2) {
        return ScpiNumberStatus::NotANumber;
    }
    uint64_t value = 0;
    for (size_t i = 2; i < t.size(); ++i) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(t[i])));
        int digit = 99;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit >= base) {
            return ScpiNumberStatus::NotANumber;
        }
        if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
            return ScpiNumberStatus::OutOfRange;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    out = static_cast<double>(value);
    return ScpiNumberStatus::Ok;
}

} // namespace

ScpiNumberStatus ScpiReadNumber(const std::string& text, const ScpiNumberForms& forms, double& out) {
    size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    const std::string t = text.substr(begin, end - begin);
    if (forms.nonDecimal && t.size() >= 2 && t[0] == '#') {
        return readNonDecimal(t, out);
    }
    const size_t numberEnd = endOfDecimal(t, 0);
    if (numberEnd == 0) {
        return namesNonFinite(t) ? ScpiNumberStatus::NotFinite : ScpiNumberStatus::NotANumber;
    }
    double multiplier = 1.0;
    size_t unit = numberEnd;
    while (unit < t.size() && isBlank(t[unit])) {
        ++unit;
    }
    if (unit < t.size()) {
        // A unit is letters only: "1 5" is not 1 with the unit "5".
        const std::string suffix = t.substr(unit);
        if (!forms.unitSuffix || !std::isalpha(static_cast<unsigned char>(suffix[0])) ||
            !RmtStr2f64NumFlag(suffix.c_str(), &multiplier)) {
            return ScpiNumberStatus::NotANumber;
        }
    }
    errno = 0;
    const double number = std::strtod(t.substr(0, numberEnd).c_str(), nullptr);
    const double value = number * multiplier;
    if (errno == ERANGE && std::isinf(number)) {
        return ScpiNumberStatus::OutOfRange;
    }
    if (!std::isfinite(value)) {
        return ScpiNumberStatus::OutOfRange;
    }
    out = value;
    return ScpiNumberStatus::Ok;
}

ScpiNumberStatus ScpiRoundToInteger(double value, int64_t min, int64_t max, int64_t& out) {
    if (!std::isfinite(value)) {
        return ScpiNumberStatus::NotFinite;
    }
    const double rounded = std::round(value);
    // A value beyond int64 must not be converted at all.
    if (!(rounded >= -0x1p63 && rounded < 0x1p63)) {
        return ScpiNumberStatus::OutOfRange;
    }
    const int64_t n = static_cast<int64_t>(rounded);
    if (n < min || n > max) {
        return ScpiNumberStatus::OutOfRange;
    }
    out = n;
    return ScpiNumberStatus::Ok;
}

ScpiNumberStatus ScpiReadInteger(const std::string& text, const ScpiNumberForms& forms, int64_t min, int64_t max,
                                 int64_t& out) {
    double value = 0;
    const ScpiNumberStatus read = ScpiReadNumber(text, forms, value);
    return read != ScpiNumberStatus::Ok ? read : ScpiRoundToInteger(value, min, max, out);
}

int ScpiNumberErrorRow(ScpiNumberStatus status, int notANumberRow) {
    switch (status) {
    case ScpiNumberStatus::Ok: return 0;
    case ScpiNumberStatus::NotFinite: return E224_ILLEGAL_PARAMETER_VALUE;
    case ScpiNumberStatus::OutOfRange: return E222_DATA_OUT_OF_RANGE;
    default: return notANumberRow;
    }
}
