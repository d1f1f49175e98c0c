#include "StorageWildcard.h"

bool StorageWildcard::analysisRegex(const std::string& s, std::string& dir, std::string& pattern) {
    if (s.find('*') == std::string::npos) {
        dir = s;
        return false;
    }
    const size_t slash = s.rfind('/');
    if (slash != std::string::npos) {
        dir += s.substr(0, slash + 1);
        pattern += s.substr(slash + 1);
    }
    return true;
}

// Greedy with one backtrack point: linear in practice, never exponential.
bool StorageWildcard::match(const std::string& pattern, const std::string& name) {
    size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

int StorageWildcard::itemFilter(const std::string& pattern, std::map<std::string, long long>& entries) {
    for (auto it = entries.begin(); it != entries.end();) {
        std::string name = it->first;
        if (!name.empty() && name.back() == '/') {
            name.pop_back();
        }
        it = match(pattern, name) ? std::next(it) : entries.erase(it);
    }
    return 0;
}

std::string StorageWildcard::analysisSuffix(const std::string& name) {
    static const struct {
        const char* suffix;
        const char* type;
    } kTypes[] = {{".sta", "STAT"}, {".csv", "ASC"}, {".prf", "PREF"}};
    for (const auto& row : kTypes) {
        const std::string suffix = row.suffix;
        const size_t first = name.find(suffix);
        if (first != std::string::npos && first + suffix.size() == name.size()) {
            return row.type;
        }
    }
    return "";
}
