// Handlers that select and report the primary and the second-display function.
#include <string>

#include "FuncChecks.h"
#include "FunctionManage.h"
#include "proto_extract.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

const std::string kQuotedOff = "\"OFF\"";

} // namespace

int FunctionManage::hFuncSet(const FuncMessage&, unsigned int source, const ValueMap& in, ValueMap*) {
    if (source == 0 || source == 9) {
        if (!hasValue(in, 0)) {
            return 8;
        }
        return FM_SetFunction(static_cast<MeasureTypeEnum>(in.at(0).s32val()));
    }
    if (!hasValue(in, 0x40C)) {
        return 8;
    }
    auto it = mapStringEnumToFuncForScpi.find(in.at(0x40C).strval());
    if (it == mapStringEnumToFuncForScpi.end()) {
        return 55;
    }
    return FM_SetFunction(static_cast<MeasureTypeEnum>(it->second));
}

int FunctionManage::hFuncGet(const FuncMessage&, unsigned int source, const ValueMap&, ValueMap* out) {
    const MeasureTypeEnum func = FM_GetFunction();
    if (isRemoteSource(source)) {
        insertStr(*out, 0x40C, ("\"" + FM_FuncTransToStrForCorvane(func) + "\"").c_str());
    } else {
        insertS32(*out, 0x40C, func);
    }
    return 0;
}

int FunctionManage::hFuncSelect(const FuncMessage& row, unsigned int, const ValueMap&, ValueMap*) {
    return FM_SetFunction(static_cast<MeasureTypeEnum>(row.func));
}

int FunctionManage::hFunc2Set(const FuncMessage&, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0)) {
        return 8;
    }
    return FM_SetFunction2(in.at(0).s32val());
}

int FunctionManage::hFunc2Get(const FuncMessage&, unsigned int source, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (!isRemoteSource(source)) {
        insertS32(*out, 0x635, m_bFunc2Enable ? m_eDMMFunc2 : -1);
        return 0;
    }
    std::string text = kQuotedOff;
    auto it = mapFuncEnumToStringForVorna.find(m_eDMMFunc2);
    if (m_bFunc2Enable && it != mapFuncEnumToStringForVorna.end()) {
        text = it->second;
    }
    insertStr(*out, 0x635, text.c_str());
    return 0;
}

int FunctionManage::hFunc2Clean(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*) {
    FM_SetFunction2(-1);
    return 0;
}

int FunctionManage::hFunc2Select(const FuncMessage& row, unsigned int, const ValueMap&, ValueMap*) {
    return FM_SetFunction2(row.func);
}

// row.func 0: the primary reading, otherwise the second display's. The UI
// shows what there is; a remote query right after a change of function
// waits for the first reading instead of failing.
int FunctionManage::hReadingGet(const FuncMessage& row, unsigned int source, const ValueMap&, ValueMap* out) {
    std::string text;
    const int result = m_backend.readingText(row.func != 0, isRemoteSource(source), text);
    if (result == 0) {
        insertStr(*out, row.key, text.c_str());
    }
    return result;
}

int FunctionManage::hFunc2OnGet(const FuncMessage&, unsigned int source, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (isRemoteSource(source)) {
        insertStr(*out, 0x642, m_bFunc2Enable ? "ON" : "OFF");
    } else {
        insertBval(*out, 0x642, m_bFunc2Enable);
    }
    return 0;
}

// The per-function second-display setter: makes row.func primary, then picks
// the second function by keyword.
int FunctionManage::hSecondSet(const FuncMessage& row, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, row.key)) {
        return 8;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (m_eDMMFunc != row.func) {
        FM_SetFunction(static_cast<MeasureTypeEnum>(row.func));
    }
    auto it = row.keywords->find(in.at(row.key).strval());
    if (it == row.keywords->end()) {
        return 1;
    }
    return FM_SetFunction2(it->second);
}

int FunctionManage::hSecondGet(const FuncMessage& row, unsigned int source, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (m_eDMMFunc != row.func) {
        return 55;
    }
    if (!isRemoteSource(source)) {
        insertS32(*out, row.key, m_bFunc2Enable ? m_eDMMFunc2 : -1);
        return 0;
    }
    std::string text = kQuotedOff;
    if (m_bFunc2Enable) {
        auto it = mapFuncEnumToStringForCorvane.find(m_eDMMFunc2);
        if (m_eDMMFunc2 == row.func) {
            text = "\"CALC:DATA\"";
        } else if (it != mapFuncEnumToStringForCorvane.end()) {
            text = it->second;
        }
    }
    insertStr(*out, row.key, text.c_str());
    return 0;
}
