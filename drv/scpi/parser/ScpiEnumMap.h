// Keyword enumeration maps: the keywords a PT_ENUM parameter accepts.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Parameter id -> (keyword text -> value).  Keywords compare byte for byte.
using ScpiEnumMap = std::map<uint32_t, std::map<std::string, int32_t>>;

struct ScpiEnumKeyword {
    const char* ps8Keyword;
    int32_t s32Value;
};

// The keywords of one parameter id, as a constant list.
struct ScpiEnumList {
    uint32_t u32ParamId;
    const ScpiEnumKeyword* pastKeyword;
    uint32_t u32KeywordNum;
};

// Builds a map from constant lists.  When a parameter id is listed again the
// first list stands and every later list for that id is ignored whole; a
// keyword listed twice in one list keeps its first value.
ScpiEnumMap ScpiEnumMapBuild(const ScpiEnumList* pastList, uint32_t u32ListNum);

// Looks up the whole text among the keywords of the parameter id.  Writes the
// value and returns true on a hit; returns false and writes nothing otherwise.
bool ScpiEnumMapLookup(const ScpiEnumMap& map, uint32_t u32ParamId,
                       const std::string& text, int32_t& s32Value);
