#include "ScpiEnumMap.h"

ScpiEnumMap ScpiEnumMapBuild(const ScpiEnumList* pastList, uint32_t u32ListNum)
{
    ScpiEnumMap map;
    for (uint32_t i = 0; i < u32ListNum; ++i) {
        const ScpiEnumList& list = pastList[i];
        // emplace leaves an existing id untouched: the first list stands.
        auto [it, inserted] = map.emplace(list.u32ParamId, std::map<std::string, int32_t>());
        if (!inserted) {
            continue;
        }
        for (uint32_t k = 0; k < list.u32KeywordNum; ++k) {
            it->second.emplace(list.pastKeyword[k].ps8Keyword, list.pastKeyword[k].s32Value);
        }
    }
    return map;
}

bool ScpiEnumMapLookup(const ScpiEnumMap& map, uint32_t u32ParamId,
                       const std::string& text, int32_t& s32Value)
{
    auto param = map.find(u32ParamId);
    if (param == map.end()) {
        return false;
    }
    auto keyword = param->second.find(text);
    if (keyword == param->second.end()) {
        return false;
    }
    s32Value = keyword->second;
    return true;
}
