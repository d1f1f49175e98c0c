// Parameters of the math handlers: bounds by main function, numbers and
// MIN/MAX/DEF words, and the unit conversion between remote control's base
// units, in which the math keeps its values, and the display unit of a range.
#include <algorithm>
#include <cstdint>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CDataManage.h"
#include "CommonSimpleFunc.h"
#include "DrvScpiErrDef.h"
#include "FunctionManage.h"
#include "ScpiNumber.h"
#include "Util/logger.h"
#include "inc_enum.h"

namespace {

// Display ranges 1 to 3 of PERIOD and FREQ show ms and kHz.
bool counterScaled(int displayRange) { return displayRange >= 1 && displayRange <= 3; }

} // namespace

void CDataManage::DataFormatForScpiCalcUnit(int func, double value, double& out, const structRangeInfo& row) {
    const double m = row.f32MinUnite;
    switch (func) {
    case TYPE_DCV:
    case TYPE_ACV: out = value / 1000 * m; break;
    case TYPE_DCI:
    case TYPE_ACI: out = value / 1e6 * m; break;
    case TYPE_OHM2:
    case TYPE_OHM4: out = m * value; break;
    case TYPE_CAP: out = value / 1e9 * m; break;
    case TYPE_PERIOD:
        out = counterScaled(FunctionManage::instance().FreqPeriRealRangeGet(TYPE_PERIOD)) ? value / 1000 : value / 1e6;
        break;
    case TYPE_FREQ:
        out = counterScaled(FunctionManage::instance().FreqPeriRealRangeGet(TYPE_FREQ)) ? value * 1000 : value;
        break;
    case TYPE_CONT:
    case TYPE_DIODE:
    case TYPE_SENSOR: out = value; break;
    default: break;
    }
}

double CDataManage::mathBaseFactor(int func, const structRangeInfo& row) {
    double factor = 1.0;
    DataFormatForScpiCalcUnit(func, 1.0, factor, row);
    return factor > 0 ? factor : 1.0;
}

double CDataManage::mathDisplayFactor(MeasureTypeEnum func) {
    const int real = FunctionManage::instance().FM_GetRealRange(func);
    return mathBaseFactor(func, DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(real, 0)), 0.0));
}

void CDataManage::mathNumberReply(ValueMap* out, int key, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%10.8E", value);
    insertF64(*out, key, value);
    insertStr(*out, static_cast<int>(0x40000000u + static_cast<unsigned>(key) - 1), text);
}

int CDataManage::mathClamp(double& v, double min, double max) {
    if (v > max) {
        v = max;
        return E1002_ABOVE_UPPER_LIMIT;
    }
    if (v < min) {
        v = min;
        return E1003_BELOW_LOWER_LIMIT;
    }
    return 0;
}

int CDataManage::mathBounds(MathBounds& b, MeasureTypeEnum& func, int32_t& range) {
    mathMainFunc(func, range);
    switch (func) {
    case TYPE_CONT:
    case TYPE_DIODE: PrintE("Setting Conflict main func = %d", func); return E221_SETTING_CONFLICT;
    case TYPE_PERIOD:
    case TYPE_FREQ: {
        const bool scaled = counterScaled(FunctionManage::instance().FreqPeriRealRangeGet(func));
        const double l = (func == TYPE_PERIOD ? (scaled ? 60 : 60000) : (scaled ? 120 : 120000)) *
                         mathBaseFactor(func, structRangeInfo{});
        b = {-l, l, 0};
        return 0;
    }
    case TYPE_SENSOR: {
        auto row = m_scpiF64MEASLimitMap.find(TYPE_SENSOR);
        if (row == m_scpiF64MEASLimitMap.end()) return E109_MISSING_PARAMETER;
        b = {row->second.at(MIN), row->second.at(MAX), row->second.at(DEF)};
        return 0;
    }
    default: {
        const structRangeInfo row = DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(range, 0)), 0.0);
        const double l = row.f32CalLimit * mathBaseFactor(func, row);
        b = {-l, l, 0};
        return 0;
    }
    }
}

bool CDataManage::mathAutoRange(MeasureTypeEnum func) { return FunctionManage::instance().FM_GetRange(func) == -1; }

int CDataManage::mathNumberParam(unsigned int source, const Value& v, const MathBounds& b, int convertFunc,
                                 const structRangeInfo& row, bool integer, const char* failLog, double& out) {
    const bool remote = source >= 1 && source <= 3;
    bool unit = false;
    double value;
    if (!integer && v.value_case() == Value::kF64Val) {
        value = v.f64val();
    } else if (integer && v.value_case() == Value::kS32Val) {
        value = v.s32val();
    } else if (integer && v.value_case() == Value::kU32Val) {
        value = v.u32val();
    } else if (v.value_case() == Value::kStrVal) {
        char text[64] = {};
        // A text that does not fit the buffer is no number of ours.
        if (v.strval().size() >= sizeof(text)) {
            PrintE("%s", failLog);
            return E150_STRING_DATA_ERROR;
        }
        std::memcpy(text, v.strval().data(), v.strval().size());
        RmtCap2Low(text);
        if (!std::strcmp(text, "min") || !std::strcmp(text, "minimum")) {
            out = b.min;
            return 0;
        }
        if (!std::strcmp(text, "max") || !std::strcmp(text, "maximum")) {
            out = b.max;
            return 0;
        }
        if (!std::strcmp(text, "def") || !std::strcmp(text, "default")) {
            out = b.def;
            return 0;
        }
        // An integer (the reference resistance) is rounded, never wrapped:
        // "-1" is no resistance of 4294967295 ohms.
        ScpiNumberStatus status = ScpiReadNumber(text, ScpiNumberForms{true, false}, value);
        if (status == ScpiNumberStatus::Ok && integer) {
            int64_t whole = 0;
            status = ScpiRoundToInteger(value, 0, UINT32_MAX, whole);
            value = static_cast<double>(whole);
        }
        if (status != ScpiNumberStatus::Ok) {
            PrintE("%s", failLog);
            return ScpiNumberErrorRow(status, E150_STRING_DATA_ERROR);
        }
        // "1.5mv" is 1.5 mV whoever sends it: a unit makes the number a base-unit one.
        const size_t n = std::strlen(text);
        unit = n > 0 && std::isalpha(static_cast<unsigned char>(text[n - 1]));
    } else {
        return E104_DATA_TYPE_ERROR;
    }
    if (convertFunc >= 0 && !remote && !unit) DataFormatForScpiCalcUnit(convertFunc, value, value, row);
    out = value;
    return 0;
}
