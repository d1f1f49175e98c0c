// Test-side walk over a keyword table: finds the row a program header names.
// It follows only child and brother links, enters optional keywords that do
// not match, resolves a keyword row named last to its optional leaf, and
// tries the later rows of the same name when a match leads nowhere.  That is
// enough to show which commands the tables can reach and which they cannot.
#pragma once

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "ScpiTreeDataFormat.h"

namespace tree_walk {

inline std::string upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

inline std::vector<std::string> splitHeader(const std::string& header)
{
    std::vector<std::string> keys;
    std::string cur;
    for (size_t i = (header.rfind(':', 0) == 0 ? 1 : 0); i <= header.size(); ++i) {
        if (i == header.size() || header[i] == ':') {
            keys.push_back(upper(cur));
            cur.clear();
        } else {
            cur += header[i];
        }
    }
    return keys;
}

inline bool nameIs(const parseKeywordNodeStru& row, const std::string& key)
{
    return key == row.ps8ShortName || key == upper(row.ps8FullName);
}

inline bool matches(const parseKeywordNodeStru& row, const std::string& key)
{
    if (nameIs(row, key)) {
        return true;
    }
    // A query keyword names a keyword row whose optional query leaf answers it.
    return !row.u8Leaf && key.size() > 1 && key.back() == '?' &&
           nameIs(row, key.substr(0, key.size() - 1));
}

inline int optionalLeaf(const parseKeywordNodeStru* table, int row, bool query)
{
    for (int c = table[row].s16Child; c >= 0; c = table[c].s16Brother) {
        bool isQuery = std::strchr(table[c].ps8ShortName, '?') != nullptr;
        if (table[c].b4Omit && table[c].u8Leaf && isQuery == query) {
            return c;
        }
    }
    return -1;
}

inline int walkLevel(const parseKeywordNodeStru* table, int first,
                     const std::vector<std::string>& keys, size_t k, bool query)
{
    for (int n = first; n >= 0; n = table[n].s16Brother) {
        const parseKeywordNodeStru& row = table[n];
        int found = -1;
        if (matches(row, keys[k])) {
            if (k + 1 == keys.size()) {
                found = row.u8Leaf ? n : optionalLeaf(table, n, query);
            } else if (row.s16Child >= 0) {
                found = walkLevel(table, row.s16Child, keys, k + 1, query);
            }
        } else if (row.b4Omit && row.s16Child >= 0) {
            found = walkLevel(table, row.s16Child, keys, k, query);
        }
        if (found >= 0) {
            return found;
        }
    }
    return -1;
}

// Row index of the command the header names, or -1.
inline int resolve(const parseKeywordNodeStru* table, const std::string& header)
{
    std::vector<std::string> keys = splitHeader(header);
    for (const std::string& k : keys) {
        if (k.empty()) {
            return -1;
        }
    }
    bool query = keys.back().find('?') != std::string::npos;
    return walkLevel(table, 0, keys, 0, query);
}

}  // namespace tree_walk
