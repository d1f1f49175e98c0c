#pragma once
#include <string>

// Lower-cases the ASCII capitals "A" to "Z" of a zero-terminated text in
// place; every other byte stays.
void RmtCap2Low(char* text);

// Checks the unit suffix behind the number at the start of `text` (optional
// leading white space, sign, digits, decimal point, exponent; without a
// number the whole text is the suffix) and stores its multiplier ("mv"
// 0.001, "khz" 1000, ...; 1 for an empty suffix). Returns 1 for a known or
// empty suffix; 0, with the multiplier 1, for an unknown one. Only plain
// decimals count as numbers, so "inf", "nan" and hex forms are unknown
// suffixes. The match is case-sensitive: callers lower-case the text first.
int RmtStr2f64NumFlag(const char* text, double* multiplier);

namespace Copperwren {

// Local time of `t` as "YYYY-MM-DD hh:mm:ss".
void GetCSTTimeFormat(long t, std::string& out);
// Local time of `t` as "MMDDhhmmYYYY.ss", the form the date command takes.
void GetCSTTimeFormatForAndroid(long t, std::string& out);
// Reads "YYYY-MM-DD hh:mm:ss" as local time (daylight saving off). Fields the
// text does not supply stay zero; no failure is reported.
void TimeFormat2Timestamp(const char* text, long& out);

} // namespace Copperwren
