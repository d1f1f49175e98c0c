#pragma once
#include <map>
#include <string>

// The wildcard patterns of the storage catalogue ("INT:\*.sta") and the
// catalogue's file types. A pattern matches a whole name; "*" stands for any
// run of characters and every other character only for itself.
class StorageWildcard {
public:
    // Splits `s` at its last "/" into folder (with the "/") and pattern when
    // it holds a "*": true. Without "*" the folder is `s` and the result false.
    static bool analysisRegex(const std::string& s, std::string& dir, std::string& pattern);
    // Removes every entry whose name (a folder's without its final "/") the
    // pattern does not match. 0.
    static int itemFilter(const std::string& pattern, std::map<std::string, long long>& entries);
    static bool match(const std::string& pattern, const std::string& name);
    // "STAT" for ".sta", "ASC" for ".csv", "PREF" for ".prf", else empty.
    static std::string analysisSuffix(const std::string& name);
};
