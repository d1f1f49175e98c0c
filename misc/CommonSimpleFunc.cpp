#include "CommonSimpleFunc.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

struct UnitSuffix {
    const char* text;
    double multiplier;
};

// "m" is always milli: there is no mega prefix, so "mhz" is millihertz.
const UnitSuffix kUnitSuffixes[] = {
    {"kv", 1e3},   {"ka", 1e3},   {"kf", 1e3},   {"ks", 1e3},   {"khz", 1e3},
    {"v", 1.0},    {"a", 1.0},    {"f", 1.0},    {"s", 1.0},    {"hz", 1.0},
    {"mv", 1e-3},  {"ma", 1e-3},  {"mf", 1e-3},  {"ms", 1e-3},  {"mhz", 1e-3},
    {"uv", 1e-6},  {"ua", 1e-6},  {"uf", 1e-6},  {"us", 1e-6},  {"uhz", 1e-6},
    {"nv", 1e-9},  {"na", 1e-9},  {"nf", 1e-9},  {"ns", 1e-9},  {"nhz", 1e-9},
    {"pv", 1e-12}, {"pa", 1e-12}, {"pf", 1e-12}, {"ps", 1e-12}, {"phz", 1e-12},
};

const char* skipDigits(const char* p) {
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

// The end of the decimal number at the start of `text` (white space, sign,
// digits with an optional point, optional exponent), or null when the text
// does not begin with one. Only plain decimals count: "inf", "nan" and hex
// forms would slip past the callers' range checks.
const char* endOfNumber(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    if (*p == '+' || *p == '-') {
        ++p;
    }
    const char* int_end = skipDigits(p);
    bool has_digits = int_end != p;
    p = int_end;
    if (*p == '.') {
        const char* frac_end = skipDigits(p + 1);
        has_digits = has_digits || frac_end != p + 1;
        p = frac_end;
    }
    if (!has_digits) {
        return nullptr;
    }
    // An exponent counts only with at least one digit: "1e" is 1 and "e".
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') {
            ++q;
        }
        const char* exp_end = skipDigits(q);
        if (exp_end != q) {
            p = exp_end;
        }
    }
    return p;
}

const UnitSuffix* findSuffix(const char* suffix) {
    for (const UnitSuffix& unit : kUnitSuffixes) {
        if (std::strcmp(suffix, unit.text) == 0) {
            return &unit;
        }
    }
    return nullptr;
}

bool localTime(long t, struct tm& out) {
    const time_t stamp = static_cast<time_t>(t);
    return localtime_r(&stamp, &out) != nullptr;
}

} // namespace

void RmtCap2Low(char* text) {
    if (text == nullptr) {
        return;
    }
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') {
            *text = static_cast<char>(*text - 'A' + 'a');
        }
    }
}

int RmtStr2f64NumFlag(const char* text, double* multiplier) {
    double factor = 1.0;
    int known = 0;
    if (text != nullptr) {
        // Without a number the whole text is the suffix: "kv" alone is known.
        const char* number_end = endOfNumber(text);
        const char* suffix = number_end != nullptr ? number_end : text;
        if (*suffix == '\0') {
            known = 1;
        } else if (const UnitSuffix* unit = findSuffix(suffix)) {
            factor = unit->multiplier;
            known = 1;
        }
    }
    if (multiplier != nullptr) {
        *multiplier = factor;
    }
    return known;
}

namespace Copperwren {

void GetCSTTimeFormat(long t, std::string& out) {
    struct tm local;
    out.clear();
    if (!localTime(t, local)) {
        return;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    out = text;
}

void GetCSTTimeFormatForAndroid(long t, std::string& out) {
    struct tm local;
    out.clear();
    if (!localTime(t, local)) {
        return;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%02d%02d%02d%02d%04d.%02d", local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_year + 1900, local.tm_sec);
    out = text;
}

void TimeFormat2Timestamp(const char* text, long& out) {
    struct tm fields;
    std::memset(&fields, 0, sizeof(fields));
    // A text that stops matching leaves the fields read so far and zeros.
    strptime(text == nullptr ? "" : text, "%Y-%m-%d %H:%M:%S", &fields);
    fields.tm_isdst = 0;
    out = static_cast<long>(mktime(&fields));
}

} // namespace Copperwren
