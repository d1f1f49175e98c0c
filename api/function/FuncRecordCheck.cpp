// Checks of a stored settings record before it is applied: a settings file
// from another build, a damaged mirror or a hand-edited state file must not
// put an index beyond the tables into the driver or the engine.
#include <algorithm>

#include "FuncChecks.h"
#include "FunctionManage.h"
#include "Util/logger.h"

namespace {

// Replaces `value` by `factory` (with a log line) when `valid` is false.
template <typename T>
void correct(bool valid, const char* field, int func, T& value, T factory) {
    if (!valid) {
        PrintE("ProtoBaseFuncInfoSet: %s of function %d invalid (%d), set to %d", field, func,
               static_cast<int>(value), static_cast<int>(factory));
        value = factory;
    }
}

bool inRange(int value, int low, int high) {
    return value >= low && value <= high;
}

// The largest start range of any function: half its highest range.
int highestStartRange() {
    int highest = 0;
    for (const structFuncConfig& cfg : g_FuncCfg) {
        highest = std::max(highest, cfg.s32RangeMax / 2);
    }
    return highest;
}

} // namespace

ProtoBaseFuncInfo FunctionManage::sanitised(const ProtoBaseFuncInfo& in) {
    ProtoBaseFuncInfo out(in);
    int32_t func = out.ms32dmmfunc();
    correct(func == -1 || isFunction(func), "function", -1, func, static_cast<int32_t>(TYPE_DCV));
    out.set_ms32dmmfunc(func);
    int32_t func2 = out.ms32dmmfunc2();
    correct(func2 == -1 || isFunction(func2), "second function", -1, func2, static_cast<int32_t>(TYPE_DCV));
    out.set_ms32dmmfunc2(func2);
    uint32_t impe = out.mu32dcvimpe();
    correct(impe <= 1, "impedance", TYPE_DCV, impe, 0u);
    out.set_mu32dcvimpe(impe);
    int32_t resi = out.mcontresi();
    correct(inRange(resi, 1, 1000), "continuity threshold", TYPE_CONT, resi, std::clamp(resi, 1, 1000));
    out.set_mcontresi(resi);

    for (int i = 0; i < MEASURE_TYPE_COUNT; ++i) {
        ProtoFuncConfig& e = *out.mutable_mprotofunccfgs(i);
        const structFuncConfig& f = g_FuncCfg[i];
        int32_t max = e.ms32rangemax();
        correct(max == f.s32RangeMax, "highest range", i, max, f.s32RangeMax);
        e.set_ms32rangemax(max);
        bool autoCap = e.mbsupportauto();
        correct(autoCap == f.bSupportAuto, "auto-range support", i, autoCap, f.bSupportAuto);
        e.set_mbsupportauto(autoCap);
        bool rateCap = e.mbsupportrate();
        correct(rateCap == f.bSupportRate, "rate support", i, rateCap, f.bSupportRate);
        e.set_mbsupportrate(rateCap);
        int32_t range = e.ms32range();
        // SENSOR's range follows its base function and is worked out anew on
        // every push; a running instrument stores that function's start range.
        const bool rangeOk = i == TYPE_SENSOR ? inRange(range, -1, highestStartRange()) : rangeAllowed(i, range);
        correct(rangeOk, "range", i, range, f.s32Range);
        e.set_ms32range(range);
        int32_t rate = e.ms32rate();
        correct(inRange(rate, E_Slow, E_Fast), "rate", i, rate, static_cast<int32_t>(f.eRate));
        e.set_ms32rate(rate);
        int32_t autoZero = e.ms32autoz();
        correct(inRange(autoZero, 0, 1), "auto-zero", i, autoZero, f.s32AutoZ);
        e.set_ms32autoz(autoZero);
    }

    const int primary = func == -1 ? TYPE_DCV : func;
    const int second = func2 == -1 ? TYPE_DCV : func2;
    if (out.mbfunc2enable() && !m_backend.dualAllowed(second, primary)) {
        PrintE("ProtoBaseFuncInfoSet: second function %d not allowed with %d, switched off", second, primary);
        out.set_mbfunc2enable(false);
    }
    return out;
}
