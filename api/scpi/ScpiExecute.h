#pragma once
#include <cstdint>

#include "DrvScpiMain.h"
#include "ScpiEnumMap.h"
#include "ScpiExecuteIntf.h"
#include "ScpiRefusal.h"
#include "ScpiTreeDataFormat.h"
#include "proto_data.pb.h"

// The parameter converter of the SCPI engine: turns the program data elements
// of one parsed command into the request map of its handler, by the parameter
// types and ids of the command's row. It keeps a working copy of the active
// command set's keyword enumeration map; the parser switches it under its own
// lock, and every conversion runs under that same lock.
class ScpiExecute : public ScpiExecuteIntf {
public:
    ScpiExecute() = default;
    ScpiExecute(const ScpiExecute&) = delete;
    ScpiExecute& operator=(const ScpiExecute&) = delete;

    // Copies the enumeration map of set 0, 1 or 2; any other value is logged
    // and refused with 1.
    int ApiScpi_SelectEnumMap(int set) override;

    // True, with `value` set, when the working map holds `paramId` and that
    // id's keywords hold `text` exactly.
    bool parseEnumFromu8Param(const char* text, uint32_t paramId, int& value) const;

    // Converts the elements of one command into `out`: element i by the row's
    // type i under the row's parameter id i, for at most the row's five slots.
    // Refused elements are left out and their errors (-220 with the command
    // error event, or -222 and -224 with the execution error for numbers
    // beyond their type) added to `refusals`, for the command's turn. Returns the number of refused elements.
    int ApiScpi_ExcuteCmd(uint16_t cmdSN, const parseKeywordNodeStru* node, const SCP_PARSE_PARA_INFO_S* params,
                          google::protobuf::Map<int, Value>& out, ScpiRefusals& refusals);

private:
    // False: the element was refused and its error added to `refusals`.
    bool convertElement(PType type, uint32_t paramId, const SCP_PARA_ELEMENT_S& element,
                        google::protobuf::Map<int, Value>& out, ScpiRefusals& refusals) const;
    bool convertInteger(uint32_t paramId, const std::string& text, google::protobuf::Map<int, Value>& out,
                        ScpiRefusals& refusals) const;
    bool convertBool(uint32_t paramId, std::string text, google::protobuf::Map<int, Value>& out,
                     ScpiRefusals& refusals) const;
    bool convertEnum(uint32_t paramId, const std::string& text, google::protobuf::Map<int, Value>& out,
                     ScpiRefusals& refusals) const;
    bool convertReal(uint32_t paramId, const std::string& text, google::protobuf::Map<int, Value>& out,
                     ScpiRefusals& refusals) const;

    const ScpiEnumMap* m_pActiveMap = nullptr;  // which table the copy was made from
    ScpiEnumMap m_scpiEnumMap;
};
