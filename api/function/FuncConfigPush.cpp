// Normalising and pushing the configuration, and the setters that change it.
#include <cstdio>

#include "FuncChecks.h"
#include "FunctionManage.h"
#include "Util/logger.h"

int FunctionManage::startRange(int func, const structFuncConfig& cfg) const {
    return startsAtRangeZero(func) ? 0 : cfg.s32RangeMax / 2;
}

int FunctionManage::sensorBase() {
    const int base = m_backend.sensorBaseFunction();
    if (!isFunction(base) || base == TYPE_SENSOR) {
        PrintE("sensor base function %d invalid, measuring DCV", base);
        return TYPE_DCV;
    }
    return base == TYPE_FREQ ? TYPE_ACV : base;
}

void FunctionManage::normalisePrimary() {
    const MeasureTypeEnum f = m_eDMMFunc;
    structFuncConfig& cfg = m_vFuncCfgs[f];
    ProtoFuncConfig& p = mirrorOf(f);
    if (cfg.s32Range == -1 || f == TYPE_SENSOR) {
        cfg.bAutoRange = true;
        cfg.s32Range = startRange(f, cfg);
        p.set_ms32range(cfg.s32Range);
        p.set_mbautorange(true);
    }
    if (isFreqOrPeriod(f)) {
        cfg.eRealFunc = TYPE_ACV;
        cfg.s32RangeMax = m_vFuncCfgs[TYPE_ACV].s32RangeMax;
    } else if (f == TYPE_SENSOR) {
        const int base = sensorBase();
        cfg.eRealFunc = static_cast<MeasureTypeEnum>(base);
        cfg.s32RangeMax = m_vFuncCfgs[base].s32RangeMax;
        cfg.s32Range = cfg.s32RangeMax / 2;
    } else {
        cfg.eRealFunc = f;
    }
    cfg.bMainConfig = true;
    p.set_mbmainconfig(true);
    p.set_ms32realfunc(cfg.eRealFunc);
    if (f == TYPE_DCV && cfg.s32Range >= 2) {
        m_u32DcvImpe = 0;
    }
}

void FunctionManage::logIfChanged(MeasureTypeEnum f, const structFuncConfig& cfg) {
    structFuncConfig& last = m_vFuncCfgsLast[f];
    if (f == m_eDMMFuncLast && cfg.s32Range == last.s32Range && cfg.eRate == last.eRate &&
        cfg.bAutoRange == last.bAutoRange) {
        return;
    }
    PrintI("m_eDMMFunc = %d range = %d rate = %d realfunc = %d bmaincfg = %d autorange = %d", f, cfg.s32Range,
           cfg.eRate, cfg.eRealFunc, cfg.bMainConfig, cfg.bAutoRange);
    m_eDMMFuncLast = f;
    last.s32Range = cfg.s32Range;
    last.eRate = cfg.eRate;
    last.bAutoRange = cfg.bAutoRange;
}

bool FunctionManage::Measured::operator==(const Measured& o) const {
    return func == o.func && range == o.range && autoRange == o.autoRange && rate == o.rate &&
           autoZero == o.autoZero && dcFilter == o.dcFilter && realFunc == o.realFunc && impedance == o.impedance;
}

FunctionManage::Measured FunctionManage::measured() const {
    const structFuncConfig& cfg = m_vFuncCfgs[m_eDMMFunc];
    return {m_eDMMFunc, cfg.s32Range, cfg.bAutoRange, cfg.eRate, cfg.s32AutoZ, cfg.bDcFilter, cfg.eRealFunc,
            m_u32DcvImpe};
}

void FunctionManage::pushChange(const Measured& before) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    normalisePrimary();
    if (measured() == before) {
        postUIFuncConfig();
        return;
    }
    FM_UpdateConfig(false);
}

void FunctionManage::pushThreshold() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_backend.updateContResi(m_contResi);
    postUIFuncConfig();
}

void FunctionManage::FM_UpdateConfig(bool update) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    normalisePrimary();
    const MeasureTypeEnum f = m_eDMMFunc;
    const structFuncConfig cfg = m_vFuncCfgs[f];
    logIfChanged(f, cfg);
    m_backend.updateMainFunc(f, cfg);
    m_backend.updateContResi(m_contResi);
    m_backend.adcSetDcvImpe(m_u32DcvImpe);
    m_backend.adcUpdateConfig(f, cfg, update);
    postUIFuncConfig();
    // A configured continuity threshold selects CONT without turning the
    // beeper on; only the threshold handler ends that.
    if ((f == TYPE_CONT || f == TYPE_DIODE) && !m_contchange && !m_backend.beeperOn()) {
        m_backend.beeperSet(true);
        m_backend.systemInfoSync();
    }
}

int FunctionManage::FM_UpdateConfig2() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const MeasureTypeEnum f2 = m_eDMMFunc2;
    const MeasureTypeEnum f = m_eDMMFunc;
    if (!isFunction(f2)) {
        return 1;
    }
    structFuncConfig& cfg2 = m_vFuncCfgs[f2];
    if (m_bFunc2Enable) {
        if (!m_backend.dualAllowed(f2, f)) {
            return 1;
        }
        cfg2.bMainConfig = true;
        if (f2 != f) {
            cfg2.bAutoRange = true;
            cfg2.s32Range = f2 < TYPE_OHM2 ? 0 : cfg2.s32RangeMax / 2;
        }
        ProtoFuncConfig& p2 = mirrorOf(f2);
        p2.set_mbautorange(cfg2.bAutoRange);
        p2.set_ms32range(cfg2.s32Range);
        p2.set_mbmainconfig(true);
    } else {
        m_vFuncCfgs[f].bMainConfig = true;
    }
    cfg2.eRealFunc = isFreqOrPeriod(f2) ? f : f2;
    std::printf("m_bFunc2Enable=%d, m_eDMMFunc2=%d\n", m_bFunc2Enable, f2);
    m_backend.update2ndFunc(m_bFunc2Enable, f2, cfg2);
    postUIFuncConfig2();
    return 0;
}

int FunctionManage::FM_SetFunction(MeasureTypeEnum func) {
    if (!isFunction(func)) {
        return 55;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_eDMMFunc = func;
    m_protoBaseFuncInfo.set_ms32dmmfunc(func);
    m_eDMMFunc2 = func;
    m_bFunc2Enable = false;
    m_protoBaseFuncInfo.set_mbfunc2enable(false);
    m_backend.clearFunc2Buffer();
    // The driver gets the record only once it is normalised: a function not
    // pushed since start-up may still hold a range of another function's size.
    normalisePrimary();
    m_backend.adcUpdateConfig(func, m_vFuncCfgs[func], true);
    FM_UpdateConfig2();
    FM_UpdateConfig(false);
    return 0;
}

int FunctionManage::FM_SetFunction2(int func2) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (func2 == -1) {
        m_bFunc2Enable = false;
        m_protoBaseFuncInfo.set_mbfunc2enable(false);
        m_backend.clearFunc2Buffer();
    } else {
        if (!isFunction(func2) || !m_backend.dualAllowed(func2, m_eDMMFunc)) {
            return 55;
        }
        structFuncConfig& primary = m_vFuncCfgs[m_eDMMFunc];
        const bool slowOnly = m_eDMMFunc <= TYPE_OHM4 || m_eDMMFunc == TYPE_SENSOR;
        if (slowOnly && primary.eRate != E_Slow) {
            primary.eRate = E_Slow;
            mirrorOf(m_eDMMFunc).set_ms32rate(E_Slow);
            FM_UpdateConfig(false);
        }
        m_eDMMFunc2 = static_cast<MeasureTypeEnum>(func2);
        m_bFunc2Enable = true;
        m_protoBaseFuncInfo.set_ms32dmmfunc2(func2);
        m_protoBaseFuncInfo.set_mbfunc2enable(true);
    }
    normalisePrimary();
    m_backend.adcUpdateConfig(m_eDMMFunc, m_vFuncCfgs[m_eDMMFunc], true);
    FM_UpdateConfig2();
    return 0;
}

int FunctionManage::FM_SetRate(MeasureTypeEnum func, RateEnum rate) {
    if (!isFunction(func) || func == TYPE_CAP || func == TYPE_CONT || func == TYPE_DIODE || isFreqOrPeriod(func)) {
        return 55;
    }
    if (rate < E_Slow || rate > E_Fast) {
        return 56;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const Measured before = measured();
    const RateEnum stored = m_bFunc2Enable ? E_Slow : rate;
    m_vFuncCfgs[func].eRate = stored;
    mirrorOf(func).set_ms32rate(stored);
    if (func == m_eDMMFunc) {
        pushChange(before);
    }
    return 0;
}

int FunctionManage::FM_SetRange(MeasureTypeEnum func, int range) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (isRangeless(m_eDMMFunc) || !rangeAllowed(func, range)) {
        return 55;
    }
    structFuncConfig& cfg = m_vFuncCfgs[func];
    // The setting in force changes nothing: on auto range the range it has
    // stepped to is kept, not started again from its first.
    if (range == (cfg.bAutoRange ? -1 : cfg.s32Range)) {
        if (func == m_eDMMFunc) {
            postUIFuncConfig();
        }
        return 0;
    }
    const Measured before = measured();
    cfg.s32Range = range;
    cfg.bAutoRange = false;
    ProtoFuncConfig& p = mirrorOf(func);
    p.set_ms32range(range);
    p.set_mbautorange(false);
    if (func == TYPE_DCV) {
        m_u32DcvImpe = (m_DcvImpeAuto && (range == 0 || range == 1)) ? 1 : 0;
        m_protoBaseFuncInfo.set_mu32dcvimpe(m_u32DcvImpe);
    }
    if (func == m_eDMMFunc) {
        pushChange(before);
    }
    return 0;
}

int FunctionManage::AutoRangeRealRangeUpdate(int func, int from, int to, const std::function<bool()>& apply) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (!isFunction(func) || func != m_eDMMFunc || !m_vFuncCfgs[func].bAutoRange) {
        return 55;
    }
    structFuncConfig& cfg = m_vFuncCfgs[func];
    const bool sensor = func == TYPE_SENSOR;
    if (!sensor && (isRangeless(func) || cfg.s32Range != from || !rangeAllowed(func, to))) {
        return 55;
    }
    if (!apply()) {
        return 55;
    }
    if (!sensor) {
        cfg.s32Range = to;
    }
    return 0;
}

int FunctionManage::ContResiConfig(int ohms) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_contchange = true;
    m_contResi = static_cast<float>(ohms);
    m_protoBaseFuncInfo.set_mcontresi(ohms);
    PrintI("ContResiConfig resi=%d\n", ohms);
    // With CONT already primary no selection follows that would push it, and
    // the engine's beep window and the UI would keep the old threshold. Only
    // they take it: a whole update would empty the reading memory and start
    // the math over, which a configuration of the function measured never does.
    if (m_eDMMFunc == TYPE_CONT) {
        pushThreshold();
    }
    return 0;
}

MeasureTypeEnum FunctionManage::FM_GetFunction() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    return m_eDMMFunc;
}

int FunctionManage::FM_GetRealRange(int func) {
    if (!isFunction(func)) {
        PrintE("FM_GetRealRange: function %d invalid", func);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const structFuncConfig& cfg = m_vFuncCfgs[func];
    // Not pushed since auto range was asked for: the range a push starts on.
    return cfg.s32Range == -1 ? startRange(func, cfg) : cfg.s32Range;
}

int FunctionManage::FM_GetRange(int func) {
    if (!isFunction(func)) {
        PrintE("FM_GetRange: function %d invalid", func);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    return m_vFuncCfgs[func].bAutoRange ? -1 : FM_GetRealRange(func);
}

int FunctionManage::FM_GetRate() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    return m_vFuncCfgs[m_eDMMFunc].eRate;
}

int FunctionManage::FM_GetRate(int func) {
    if (!isFunction(func)) {
        PrintE("FM_GetRate: function %d invalid", func);
        return E_Slow;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    return m_vFuncCfgs[func].eRate;
}

void FunctionManage::FreqPeriRealRangeSet(int func, double value) {
    if (func == TYPE_FREQ) {
        m_s32FreqRange = value <= 110 ? 0 : value <= 1100 ? 1 : value <= 11000 ? 2 : 3;
    } else if (func == TYPE_PERIOD) {
        m_s32PeriRange = value <= 110 ? 0 : value <= 1100 ? 1 : value <= 10000 ? 2 : 3;
    } else {
        PrintE("real range set error! func = %d, val = %f", func, value);
    }
}

int FunctionManage::FreqPeriRealRangeGet(int func) {
    if (func == TYPE_PERIOD) {
        return m_s32PeriRange;
    }
    if (func == TYPE_FREQ) {
        return m_s32FreqRange;
    }
    PrintE("real range get error! func = %d", func);
    return -1;
}
