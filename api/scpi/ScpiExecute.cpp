#include "ScpiExecute.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "CommonSimpleFunc.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "ScpiCmdSetTables.h"
#include "ScpiNumber.h"
#include "Util/logger.h"
#include "proto_insert.h"

namespace {

// A refused element's -220: a command error, as every other refusal of the
// message's text, so that a client waiting for a service request hears of it.
ScpiRefusal conversionRefused() {
    return ScpiRefusalOfCode(SCP_PARA_CONVERT_ERR);
}

// Refuses a number element: text that is no number as every refused element
// (-220), NaN and infinities with -224, a value beyond its type with -222;
// these two mark an execution error, as a handler refusing the value would.
ScpiRefusal refuseNumber(ScpiNumberStatus status) {
    if (status == ScpiNumberStatus::NotANumber) {
        return conversionRefused();
    }
    return ScpiRefusal{SCP_ESR_EXE, ScpiNumberErrorRow(status, E220_PARAMETER_ERROR)};
}

bool allDecimalDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Keeps every byte of the element (insertStr would stop at a NUL); like the
// insert helpers it never overwrites a key already present.
void insertText(google::protobuf::Map<int, Value>& map, int key, const std::string& text) {
    if (map.find(key) == map.end()) {
        map[key].set_strval(text);
    }
}

const ScpiEnumMap* enumMapOfSet(int set) {
    switch (set) {
        case 0:
            return &scpiEnumMapVorna;
        case 1:
            return &scpiEnumMapCorvane;
        case 2:
            return &scpiEnumMapPello;
        default:
            return nullptr;
    }
}

}  // namespace

int ScpiExecute::ApiScpi_SelectEnumMap(int set) {
    const ScpiEnumMap* map = enumMapOfSet(set);
    if (map == nullptr) {
        PrintE("SCPI command set failed, cmd = %d", set);
        return 1;
    }
    if (map != m_pActiveMap) {
        m_scpiEnumMap = *map;
        m_pActiveMap = map;
    }
    return 0;
}

bool ScpiExecute::parseEnumFromu8Param(const char* text, uint32_t paramId, int& value) const {
    int32_t found = 0;
    if (text == nullptr || !ScpiEnumMapLookup(m_scpiEnumMap, paramId, text, found)) {
        return false;
    }
    value = found;
    return true;
}

int ScpiExecute::ApiScpi_ExcuteCmd(uint16_t /*cmdSN*/, const parseKeywordNodeStru* node,
                                   const SCP_PARSE_PARA_INFO_S* params, google::protobuf::Map<int, Value>& out,
                                   ScpiRefusals& refusals) {
    if (node == nullptr || params == nullptr) {
        return 0;
    }
    // The row has five parameter slots; elements beyond them have nowhere to go.
    size_t count = std::min<size_t>(params->u32ParaNum, params->stElement.size());
    count = std::min<size_t>(count, SCP_PARAM_SLOT_NUM);
    int refused = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!convertElement(node->type[i], node->u32ParamId[i], params->stElement[i], out, refusals)) {
            ++refused;
        }
    }
    return refused;
}

bool ScpiExecute::convertElement(PType type, uint32_t paramId, const SCP_PARA_ELEMENT_S& element,
                                 google::protobuf::Map<int, Value>& out, ScpiRefusals& refusals) const {
    // The whole element: paths and descriptions may be long, and the parser
    // already bounds the parameter text.
    std::string text = element.pscStart != nullptr ? std::string(element.pscStart, element.u32Length)
                                                   : std::string();
    int key = static_cast<int>(paramId);
    switch (type) {
        case PT_NR1:
            return convertInteger(paramId, text, out, refusals);
        case PT_BOOL:
            return convertBool(paramId, std::move(text), out, refusals);
        case PT_STRING:
        case PT_ENUM_PT_NR3_EP1:
        case PT_ENUM_PT_NR1:
            insertText(out, key, text);
            return true;
        case PT_ENUM:
            return convertEnum(paramId, text, out, refusals);
        case PT_NR3_REAL:
            return convertReal(paramId, text, out, refusals);
        default:
            // Numbers the handlers read as text elsewhere, and types outside
            // the converted range, are not stored.
            return true;
    }
}

bool ScpiExecute::convertInteger(uint32_t paramId, const std::string& text,
                                 google::protobuf::Map<int, Value>& out, ScpiRefusals& refusals) const {
    // Enable masks are often written as #H, #Q or #B numbers.
    int64_t value = 0;
    const ScpiNumberStatus status = ScpiReadInteger(text, ScpiNumberForms{false, true}, INT32_MIN, INT32_MAX, value);
    if (status != ScpiNumberStatus::Ok) {
        refusals.push_back(refuseNumber(status));
        return false;
    }
    insertS32(out, static_cast<int>(paramId), static_cast<uint32_t>(static_cast<int32_t>(value)));
    return true;
}

bool ScpiExecute::convertBool(uint32_t paramId, std::string text, google::protobuf::Map<int, Value>& out,
                              ScpiRefusals& refusals) const {
    RmtCap2Low(&text[0]);
    int key = static_cast<int>(paramId);
    if (text == "on" || text == "1" || text == "yes") {
        insertBval(out, key, true);
    } else if (text == "off" || text == "0" || text == "no") {
        insertBval(out, key, false);
    } else {
        refusals.push_back(conversionRefused());
        return false;
    }
    return true;
}

bool ScpiExecute::convertEnum(uint32_t paramId, const std::string& text,
                              google::protobuf::Map<int, Value>& out, ScpiRefusals& refusals) const {
    int value = 0;
    if (parseEnumFromu8Param(text.c_str(), paramId, value)) {
        insertS32(out, static_cast<int>(paramId), static_cast<uint32_t>(value));
    } else if (allDecimalDigits(text)) {
        int64_t number = 0;
        const ScpiNumberStatus status = ScpiReadInteger(text, ScpiNumberForms{}, 0, INT32_MAX, number);
        if (status != ScpiNumberStatus::Ok) {
            refusals.push_back(refuseNumber(status));
            return false;
        }
        insertS32(out, static_cast<int>(paramId), static_cast<uint32_t>(number));
    } else {
        refusals.push_back(conversionRefused());
        return false;
    }
    return true;
}

bool ScpiExecute::convertReal(uint32_t paramId, const std::string& text,
                              google::protobuf::Map<int, Value>& out, ScpiRefusals& refusals) const {
    // The whole text must be the number: read as a prefix, "abc" would be 0
    // and a calibration reference of 0 would replace the zero point.
    double value = 0;
    const ScpiNumberStatus status = ScpiReadNumber(text, ScpiNumberForms{}, value);
    if (status != ScpiNumberStatus::Ok) {
        refusals.push_back(refuseNumber(status));
        return false;
    }
    insertF64(out, static_cast<int>(paramId), value);
    return true;
}
