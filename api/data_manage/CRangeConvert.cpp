// Range parameters of remote control: a full-scale value, a range word or a
// number with a unit, and the range index such a value selects. The tables
// are the model's copies, filled at construction and only read afterwards.
#include <cstdlib>
#include <cstring>

#include "CDataManage.h"
#include "CommonSimpleFunc.h"
#include "Util/logger.h"

namespace {

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

int CDataManage::ScpiInputTransToMinMaxDef(int func, const Value& in, double& out) {
    if (in.value_case() == Value::kF64Val) {
        out = in.f64val();
        return 0;
    }
    if (in.value_case() != Value::kStrVal) {
        return 54;
    }
    char text[64];
    if (in.strval().size() >= sizeof(text)) {
        PrintE("CmdStr Parse Num Failed");
        return 31;
    }
    std::memcpy(text, in.strval().c_str(), in.strval().size() + 1);
    RmtCap2Low(text);
    if (!std::strcmp(text, "min") || !std::strcmp(text, "minimum")) {
        out = limitOf(m_scpiF64RangeLimitMap, func, MIN);
    } else if (!std::strcmp(text, "max") || !std::strcmp(text, "maximum")) {
        out = limitOf(m_scpiF64RangeLimitMap, func, MAX);
    } else if (!std::strcmp(text, "def") || !std::strcmp(text, "default") || !std::strcmp(text, "auto")) {
        out = limitOf(m_scpiF64RangeLimitMap, func, DEF);
    } else {
        double multiplier = 1.0;
        if (!RmtStr2f64NumFlag(text, &multiplier)) {
            PrintE("CmdStr Parse Num Failed");
            return 31;
        }
        // "100mv" is 0.1 V: the unit's multiplier applies.
        out = std::atof(text) * multiplier;
    }
    return 0;
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
