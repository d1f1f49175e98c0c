#pragma once
// The one reading of a numeric parameter of remote control, before each
// command applies its own rule (clamp or refuse) to the value.
//
// A number is read whole or not at all: "1e2" is 100, never 1; NaN and the
// infinities are no value to set; a number beyond what the setting's type
// holds is refused, never wrapped or cut.

#include <cstdint>
#include <string>

enum class ScpiNumberStatus {
    Ok,
    NotANumber,  // the text is no number of the accepted forms
    NotFinite,   // NaN or an infinity, in any spelling
    OutOfRange,  // beyond double, or beyond the integer range asked for
};

struct ScpiNumberForms {
    bool unitSuffix = false;  // a unit may follow ("10 mv"): its multiplier applies
    bool nonDecimal = false;  // the IEEE 488.2 forms #H1F, #Q17 and #B101 count
};

// Reads the whole of `text` (blanks around it allowed) as one decimal number:
// sign, digits with an optional point, optional exponent ("-1.5E+3", ".5",
// "3."). With `forms.unitSuffix` a unit of RmtStr2f64NumFlag may follow,
// after optional blanks, and must be lower case. `out` is set on Ok only.
ScpiNumberStatus ScpiReadNumber(const std::string& text, const ScpiNumberForms& forms, double& out);

// `value` rounded to the nearest integer, halves away from zero (IEEE 488.2:
// "1.5" sets 2), and refused outside [min, max]. `out` is set on Ok only.
ScpiNumberStatus ScpiRoundToInteger(double value, int64_t min, int64_t max, int64_t& out);

// Both steps for an integer parameter.
ScpiNumberStatus ScpiReadInteger(const std::string& text, const ScpiNumberForms& forms, int64_t min, int64_t max,
                                 int64_t& out);

// The error-table row that refuses a number: -224 for NaN and infinities,
// -222 beyond the range, `notANumberRow` (the command's own) for other text.
int ScpiNumberErrorRow(ScpiNumberStatus status, int notANumberRow);
