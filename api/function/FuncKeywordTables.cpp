#include "FuncKeywordTables.h"

#include <initializer_list>
#include <vector>

#include "inc_enum.h"

namespace {

// The keywords of one function in every command set.
struct FuncKeywordRow {
    int32_t func;
    const char* vorna;   // the instrument's own set
    const char* scpi;    // the Corvane set, unquoted
    const char* pello;   // the Pello set; the same as the engine's unit texts
};

const std::vector<FuncKeywordRow> kFuncKeywordRows = {
    {TYPE_DCV, "DCV", "VOLT", "VDC"},
    {TYPE_ACV, "ACV", "VOLT:AC", "VAC"},
    {TYPE_DCI, "DCI", "CURR", "ADC"},
    {TYPE_ACI, "ACI", "CURR:AC", "AAC"},
    {TYPE_OHM2, "2WR", "RES", "OHMS"},
    {TYPE_OHM4, "4WR", "FRES", "OHM4"},
    {TYPE_CAP, "CAP", "CAP", "CAP"},
    {TYPE_CONT, "CONT", "CONT", "CONT"},
    {TYPE_DIODE, "DIOD", "DIOD", "DIOD"},
    {TYPE_PERIOD, "PER", "PER", "PER"},
    {TYPE_FREQ, "FREQ", "FREQ", "FREQ"},
    {TYPE_SENSOR, "SENS", "TEMP", "SENS"},
};

std::string quoted(const char* keyword) {
    return std::string("\"") + keyword + "\"";
}

FuncTextTable buildFuncTextTable(const char* FuncKeywordRow::*column, bool quote) {
    FuncTextTable table;
    for (const FuncKeywordRow& row : kFuncKeywordRows) {
        table.emplace(row.func, quote ? quoted(row.*column) : std::string(row.*column));
    }
    return table;
}

// The keywords that all select one function (or -1, no function).
struct KeywordGroup {
    std::vector<const char*> keywords;
    int32_t func;
};

const KeywordGroup kOff{{"OFF"}, -1};
const KeywordGroup kDcVoltage{{"DCV", "VOLTage", "VOLT", "VOLTage:DC", "VOLT:DC"}, TYPE_DCV};
const KeywordGroup kAcVoltage{{"ACV", "VOLTage:AC", "VOLT:AC"}, TYPE_ACV};
const KeywordGroup kDcCurrent{{"DCI", "CURRent", "CURR", "CURRent:DC", "CURR:DC"}, TYPE_DCI};
const KeywordGroup kAcCurrent{{"ACI", "CURRent:AC", "CURR:AC"}, TYPE_ACI};
const KeywordGroup kCapacitance{{"CAP", "CAPacitance"}, TYPE_CAP};
const KeywordGroup kResistance2{{"OHM2", "RESistance", "RES"}, TYPE_OHM2};
const KeywordGroup kResistance4{{"OHM4", "FRESistance", "FRES"}, TYPE_OHM4};
const KeywordGroup kContinuity{{"CONT", "CONTinuity"}, TYPE_CONT};
const KeywordGroup kDiode{{"DIODE", "DIOD", "DIODe"}, TYPE_DIODE};
const KeywordGroup kPeriod{{"PERIOD", "PERiod", "PER"}, TYPE_PERIOD};
const KeywordGroup kFrequency{{"FREQ", "FREQuency"}, TYPE_FREQ};
const KeywordGroup kTemperature{{"TEMP", "TEMPerature"}, TYPE_SENSOR};

// On a secondary table: the primary function's own reading.
KeywordGroup ownReading(int32_t primary) {
    return {{"CALC:DATA", "CALCulate:DATA"}, primary};
}

KeywordFuncTable buildKeywordTable(std::initializer_list<KeywordGroup> groups) {
    KeywordFuncTable table;
    for (const KeywordGroup& group : groups) {
        for (const char* keyword : group.keywords) {
            table.emplace(quoted(keyword), group.func);
        }
    }
    return table;
}

} // namespace

const FuncTextTable mapFuncEnumToStringForVorna = buildFuncTextTable(&FuncKeywordRow::vorna, false);
const FuncTextTable mapFuncEnumToStringForCorvane = buildFuncTextTable(&FuncKeywordRow::scpi, true);
const FuncTextTable mapFuncEnumToString = buildFuncTextTable(&FuncKeywordRow::scpi, false);
const FuncTextTable mapFuncEnumToStringForPello = buildFuncTextTable(&FuncKeywordRow::pello, false);

const KeywordFuncTable mapStringEnumToFuncForScpi = buildKeywordTable({
    kOff, kDcVoltage, kAcVoltage, kDcCurrent, kAcCurrent, kCapacitance, kResistance2,
    kResistance4, kContinuity, kDiode, kPeriod, kFrequency, kTemperature});

const KeywordFuncTable mapStringEnumToFuncForScpiDcvSec = buildKeywordTable({
    kOff, ownReading(TYPE_DCV), kDcVoltage, kAcVoltage, kDcCurrent, kAcCurrent});
const KeywordFuncTable mapStringEnumToFuncForScpiAcvSec = buildKeywordTable({
    kOff, ownReading(TYPE_ACV), kDcVoltage, kAcVoltage, kDcCurrent, kAcCurrent, kPeriod,
    kFrequency});
const KeywordFuncTable mapStringEnumToFuncForScpiDciSec = buildKeywordTable({
    kOff, ownReading(TYPE_DCI), kDcVoltage, kAcVoltage, kDcCurrent, kAcCurrent});
const KeywordFuncTable mapStringEnumToFuncForScpiAciSec = buildKeywordTable({
    kOff, ownReading(TYPE_ACI), kDcVoltage, kAcVoltage, kDcCurrent, kAcCurrent, kPeriod,
    kFrequency});
const KeywordFuncTable mapStringEnumToFuncForScpiCapSec = buildKeywordTable({
    kOff, ownReading(TYPE_CAP), kCapacitance});
const KeywordFuncTable mapStringEnumToFuncForScpiOhm2Sec = buildKeywordTable({
    kOff, ownReading(TYPE_OHM2), kResistance2});
const KeywordFuncTable mapStringEnumToFuncForScpiOhm4Sec = buildKeywordTable({
    kOff, ownReading(TYPE_OHM4), kResistance4});
const KeywordFuncTable mapStringEnumToFuncForScpiFreqSec = buildKeywordTable({
    kOff, ownReading(TYPE_FREQ), kAcVoltage, kFrequency});
const KeywordFuncTable mapStringEnumToFuncForScpiPeriodSec = buildKeywordTable({
    kOff, ownReading(TYPE_PERIOD), kAcVoltage, kPeriod});
