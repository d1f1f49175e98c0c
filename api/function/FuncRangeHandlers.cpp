// Range, auto-range and 5-digit display handlers.
#include <cstdio>

#include "FuncChecks.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "proto_extract.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

bool autoRangeOn(const structFuncConfig& cfg) {
    return cfg.bAutoRange || cfg.s32Range == -1;
}

} // namespace

int FunctionManage::requestedRange(const FuncMessage& row, unsigned int source, const Value& value, int& range) {
    // The Corvane set sends its range words and values as range indexes.
    if (isRemoteSource(source) && value.value_case() == Value::kS32Val) {
        return FM_RangeOfIndex(row.func, value.s32val(), range);
    }
    double number = 0.0;
    const int result = m_backend.rangeNumber(row.func, value, number);
    if (result != 0) {
        PrintE("%s: Trans to min max def failed!", row.name);
        return result;
    }
    range = -1;
    m_backend.rangeIndex(row.func, number, range);
    return 0;
}

int FunctionManage::hRangeSet(const FuncMessage& row, unsigned int source, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, row.key)) {
        return 8;
    }
    int range = -1;
    const int result = requestedRange(row, source, in.at(row.key), range);
    if (result != 0) {
        return result;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const structFuncConfig& cfg = m_vFuncCfgs[row.func];
    if (m_eDMMFunc == row.func && range == (cfg.bAutoRange ? -1 : cfg.s32Range)) {
        return 0;
    }
    const int selected = FM_SetFunction(static_cast<MeasureTypeEnum>(row.func));
    if (selected != 0) {
        return selected;
    }
    return FM_SetRange(static_cast<MeasureTypeEnum>(row.func), range);
}

int FunctionManage::hRangeGet(const FuncMessage& row, unsigned int, const ValueMap&, ValueMap* out) {
    int range;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mtx);
        range = m_vFuncCfgs[row.func].s32Range;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%10.8E", FM_RangeTransToValue(row.func, range));
    insertStr(*out, row.key, text);
    return 0;
}

int FunctionManage::hAutoSet(const FuncMessage& row, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, row.key)) {
        return 8;
    }
    const Value& value = in.at(row.key);
    const bool on = boolOf(value);
    const MeasureTypeEnum func = static_cast<MeasureTypeEnum>(row.func);
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (m_eDMMFunc == func && autoRangeOn(m_vFuncCfgs[func]) == on) {
        return 0;
    }
    const int selected = FM_SetFunction(func);
    if (selected != 0) {
        return selected;
    }
    // Off keeps the range auto range was using as the fixed range.
    return FM_SetRange(func, on ? -1 : m_vFuncCfgs[func].s32Range);
}

int FunctionManage::hAutoGet(const FuncMessage& row, unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    insertBval(*out, row.key, autoRangeOn(m_vFuncCfgs[row.func]));
    return 0;
}

int FunctionManage::hMeasRangSet(const FuncMessage&, unsigned int source, const ValueMap& in, ValueMap*) {
    std::printf("cbMeasRangSet\n");
    if (!hasValue(in, 0x648)) {
        return 8;
    }
    int range = in.at(0x648).s32val();
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (isRemoteSource(source)) {
        // Remote control: 0 asks for auto range, 1 keeps the range in use.
        if (range == 0) {
            range = -1;
        } else if (range == 1) {
            range = m_vFuncCfgs[m_eDMMFunc].s32Range;
        }
    }
    return FM_SetRange(m_eDMMFunc, range);
}

int FunctionManage::hMeasRangGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, 0x648, FM_GetRealRange(FM_GetFunction()));
    return 0;
}

int FunctionManage::hOhmShow5Set(const FuncMessage&, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0x66F)) {
        return 8;
    }
    const Value& value = in.at(0x66F);
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_backend.setOhmShow5(boolOf(value));
    postUIFuncConfig();
    return 0;
}

int FunctionManage::hOhmShow5Get(const FuncMessage&, unsigned int, const ValueMap&, ValueMap* out) {
    insertBval(*out, 0x66F, m_backend.ohmShow5());
    return 0;
}
