// A stored math record (settings mirror, setup file) applied as the math
// setters would take its values: a record they would refuse changes nothing,
// numbers they clamp are clamped. A file is user data: it may come from a
// stick or be edited by hand, and no value of it may reach the per-reading
// processing that no command could have set.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "Util/logger.h"

namespace {

bool inMathFuncSet(int32_t func) {
    switch (func) {
    case MATH_NONE:
    case MATH_RELATIVE:
    case MATH_DB:
    case MATH_DBM:
    case MATH_MIN_MAX:
    case MATH_LIMIT: return true;
    default: return false;
    }
}

bool offsetsFinite(const ProtoMathFuncInfo& in) {
    for (const ProtoCalcConfig& c : in.mprotocalccfgs()) {
        if (!std::isfinite(c.mf64relvalue())) return false;
    }
    return true;
}

// What a setter refuses: the row it answers. Numbers that are none (NaN,
// infinities) are refused as the command parser refuses them.
struct Refusal {
    const char* what;
    int row;
    bool (*refused)(const ProtoMathFuncInfo& in);
};

const Refusal kRefusals[] = {
    {"ms32MathFunc outside the math functions", E224_ILLEGAL_PARAMETER_VALUE,
     [](const ProtoMathFuncInfo& in) { return !inMathFuncSet(in.ms32mathfunc()); }},
    {"mCurMathTotalize outside the statistics", E224_ILLEGAL_PARAMETER_VALUE,
     [](const ProtoMathFuncInfo& in) {
         return in.mcurmathtotalize() < MATH_TOTAL_MAX || in.mcurmathtotalize() > MATH_TOTAL_ALL;
     }},
    {"mf64Db not a number", E224_ILLEGAL_PARAMETER_VALUE,
     [](const ProtoMathFuncInfo& in) { return !std::isfinite(in.mf64db()); }},
    {"mProtoLimit not a number", E224_ILLEGAL_PARAMETER_VALUE,
     [](const ProtoMathFuncInfo& in) {
         return !std::isfinite(in.mprotolimit().mf64low()) || !std::isfinite(in.mprotolimit().mf64high());
     }},
    // Equal limits stay: a record without limits holds 0 and 0.
    {"mProtoLimit low above high", E221_SETTING_CONFLICT,
     [](const ProtoMathFuncInfo& in) { return in.mprotolimit().mf64low() > in.mprotolimit().mf64high(); }},
    {"mf64RELValue not a number", E224_ILLEGAL_PARAMETER_VALUE,
     [](const ProtoMathFuncInfo& in) { return !offsetsFinite(in); }},
};

} // namespace

int CDataManage::ProtoMathFuncInfoCheck(const ProtoMathFuncInfo& in) {
    for (const Refusal& r : kRefusals) {
        if (r.refused(in)) {
            PrintE("Stored math record refused: %s", r.what);
            return r.row;
        }
    }
    return 0;
}

void CDataManage::mathRecordClamp(ProtoMathFuncInfo& info, MeasureTypeEnum func) {
    double db = info.mf64db();
    mathClamp(db, kDbRef.min, kDbRef.max);
    info.set_mf64db(db);
    double ohms = info.mu32refr();
    mathClamp(ohms, kDbmRef.min, kDbmRef.max);
    info.set_mu32refr(static_cast<uint32_t>(ohms));
    // Only the main function's offset is applied; continuity and diode take none.
    if (info.mprotocalccfgs_size() <= func || func == TYPE_CONT || func == TYPE_DIODE) return;
    double low, high;
    if (func == TYPE_SENSOR) {
        MathBounds b;
        MeasureTypeEnum main;
        int32_t range;
        if (mathBounds(b, main, range) != 0) return;
        low = b.min;
        high = b.max;
    } else {
        // The per-function offset command's bound: on auto range the top range's.
        structRangeInfo row;
        high = relLimit(func, row);
        low = -high;
    }
    ProtoCalcConfig& entry = *info.mutable_mprotocalccfgs(func);
    double offset = entry.mf64relvalue();
    mathClamp(offset, low, high);
    entry.set_mf64relvalue(offset);
}

void CDataManage::ProtoMathFuncInfoSet(const ProtoMathFuncInfo& stored) {
    if (ProtoMathFuncInfoCheck(stored) != 0) return;
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    ProtoMathFuncInfo in(stored);
    mathRecordClamp(in, func);
    ProtoCalcConfig mainEntry;
    bool hasMain = false;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.CopyFrom(in);
        // The handlers index the entries by function: exactly twelve.
        auto* cfgs = m_protoMathFuncInfo.mutable_mprotocalccfgs();
        hasMain = in.mprotocalccfgs_size() > func;
        if (hasMain) mainEntry = in.mprotocalccfgs(func);
        while (cfgs->size() > MEASURE_TYPE_COUNT) cfgs->RemoveLast();
        while (cfgs->size() < MEASURE_TYPE_COUNT) cfgs->Add();
        g_stMathPara.bMathSwitch = in.mbmathswitch();
        g_stMathPara.euMathFunc = static_cast<enumMathFunc>(in.ms32mathfunc());
        g_stMathPara.u32RefR = in.mu32refr();
        g_stMathPara.f64Db = in.mf64db();
        g_stMathPara.stLimit.f64Low = in.has_mprotolimit() ? in.mprotolimit().mf64low() : 0;
        g_stMathPara.stLimit.f64High = in.has_mprotolimit() ? in.mprotolimit().mf64high() : 0;
    }
    if (hasMain) {
        CalculateRelStateSet(func, mainEntry.mbrelenable());
        if (!mainEntry.mbautoenable()) {
            std::lock_guard<std::mutex> lock(m_bufferMtx);
            relGivenOffset(func, mainEntry.mf64relvalue());
        }
    }
    postUICalculateConfig();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    DM_NotifyClient(true, 0.0, DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(range, 0)), 0.0));
}
