// Range parameters of remote control: a full-scale value, a range word or a
// number with a unit, and the range index such a value selects. The tables
// are the model's copies, filled at construction and only read afterwards.
#include <cmath>
#include <cstdlib>
#include <string>

#include "CDataManage.h"
#include "CommonSimpleFunc.h"
#include "ScpiNumber.h"
#include "Util/logger.h"

namespace {

// The range value that selects auto range.
constexpr double kAutoRange = -1.0;

double limitOf(const F64KeyedTable& table, int func, int which) {
    auto row = table.find(func);
    if (row == table.end()) {
        return 0.0;
    }
    auto entry = row->second.find(which);
    return entry == row->second.end() ? 0.0 : entry->second;
}

// The highest index compared against its full scale; a larger value takes the
// index after it (for CAP the model's highest capacitance range).
int lastComparedIndex(int func) {
    switch (func) {
    case TYPE_DCI:
    case TYPE_ACI: return 4;
    case TYPE_OHM2:
    case TYPE_OHM4: return 5;
    case TYPE_CAP: return 6;
    default: return 3;
    }
}

} // namespace

int CDataManage::ScpiWordOrNumber(const Value& in, const ParamWords& words, double& out) {
    if (in.value_case() == Value::kF64Val) {
        out = in.f64val();
        return 0;
    }
    if (in.value_case() != Value::kStrVal) {
        return 54;
    }
    std::string text = in.strval();
    RmtCap2Low(&text[0]);
    if (text == "min" || text == "minimum") {
        out = words.min;
    } else if (text == "max" || text == "maximum") {
        out = words.max;
    } else if (text == "def" || text == "default") {
        out = words.def;
    } else if (words.autoWord && text == "auto") {
        out = *words.autoWord;
    } else {
        // "100mv" is 0.1 V: the unit's multiplier applies.
        const ScpiNumberStatus status = ScpiReadNumber(text, ScpiNumberForms{true, false}, out);
        if (status != ScpiNumberStatus::Ok) {
            PrintE("CmdStr Parse Num Failed");
            return ScpiNumberErrorRow(status, 31);
        }
    }
    return 0;
}

int CDataManage::ScpiInputTransToMinMaxDef(int func, const Value& in, double& out) {
    // A user who writes AUTO asks for auto range, whatever DEF stands for.
    const ParamWords words{limitOf(m_scpiF64RangeLimitMap, func, MIN), limitOf(m_scpiF64RangeLimitMap, func, MAX),
                           limitOf(m_scpiF64RangeLimitMap, func, DEF), kAutoRange};
    return ScpiWordOrNumber(in, words, out);
}

int CDataManage::ScpiInputRangeTransToRealRange(int func, double value, int& range) {
    auto row = m_scpiF64RealRangeMap.find(func);
    if (row == m_scpiF64RealRangeMap.end()) {
        return 54;
    }
    if (value == -1.0) {
        range = -1;
        return 0;
    }
    const int last = lastComparedIndex(func);
    for (int index = 0; index <= last; ++index) {
        auto scale = row->second.find(index);
        if (scale != row->second.end() && scale->second >= value) {
            range = index;
            return 0;
        }
    }
    range = func == TYPE_CAP ? static_cast<int>(m_u32CapRangeMax) : last + 1;
    return 0;
}

double CDataManage::RangeAndRateTransToResolution(int func, int range, int rate) {
    const ResolutionByRateTable* table = resolutionTable(func);
    if (!table || rate < E_Slow || rate > E_Fast) return 0.0;
    auto row = table->find(range);
    return row == table->end() ? 0.0 : row->second[static_cast<size_t>(rate)];
}

const ResolutionByRateTable* CDataManage::resolutionTable(int func) const {
    switch (func) {
    case TYPE_DCV:
    case TYPE_ACV: return &rangeResolutionToRateMapVoltage;
    case TYPE_DCI:
    case TYPE_ACI: return &m_rangeResolutionToRateMapCurrent;
    case TYPE_OHM2:
    case TYPE_OHM4: return &rangeResolutionToRateMapOhm;
    default: return nullptr;
    }
}

int CDataManage::ResolutionTransToRate(int func, int range, double resolution) const {
    const ResolutionByRateTable* table = resolutionTable(func);
    if (!table) return E_Slow;
    auto row = table->find(range);
    if (row == table->end() || resolution <= row->second[E_Slow]) return E_Slow;
    return resolution <= row->second[E_Medium] ? E_Medium : E_Fast;
}

int CDataManage::NplcTransToRate(double nplc) {
    if (nplc >= scpiF64NplcToRateMap.at(E_Slow)) return E_Slow;
    return nplc >= scpiF64NplcToRateMap.at(E_Medium) ? E_Medium : E_Fast;
}

int CDataManage::ScpiNplcInputTransToRealNplc(const Value& in, double& out) {
    const ParamWords words{scpiF64NplcLimitMap.at(MIN), scpiF64NplcLimitMap.at(MAX), scpiF64NplcLimitMap.at(DEF),
                           scpiF64NplcLimitMap.at(DEF)};
    return ScpiWordOrNumber(in, words, out);
}
