#pragma once
// Keywords of the measurement functions in the three remote-control command
// sets, in both directions.
//
// Function -> text: keys are MeasureTypeEnum values 0..11. The Corvane table
// holds the texts of mapFuncEnumToString with a double quote at both ends.
//
// Text -> function: every key is a keyword together with its enclosing double
// quotes (the quoted string parameter exactly as a command carries it) and is
// matched byte for byte, case included; -1 means "no function" (display off).
// The secondary tables, one per primary function, also map "CALC:DATA" and
// "CALCulate:DATA" to the primary function itself.
//
// All tables are complete before main() runs and read-only afterwards.

#include <cstdint>
#include <map>
#include <string>

using FuncTextTable = std::map<int32_t, std::string>;
using KeywordFuncTable = std::map<std::string, int32_t>;

extern const FuncTextTable mapFuncEnumToStringForVorna;
extern const FuncTextTable mapFuncEnumToStringForCorvane;
extern const FuncTextTable mapFuncEnumToString;
extern const FuncTextTable mapFuncEnumToStringForPello;

// Primary function selection.
extern const KeywordFuncTable mapStringEnumToFuncForScpi;

// Secondary (second display) function selection, per primary function.
extern const KeywordFuncTable mapStringEnumToFuncForScpiDcvSec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiAcvSec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiDciSec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiAciSec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiCapSec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiOhm2Sec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiOhm4Sec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiFreqSec;
extern const KeywordFuncTable mapStringEnumToFuncForScpiPeriodSec;
