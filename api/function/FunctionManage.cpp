#include "FunctionManage.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "FuncChecks.h"
#include "Util/logger.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

// The record entry of one function's configuration (its ten scalar fields).
void fillProtoFuncConfig(const structFuncConfig& cfg, ProtoFuncConfig& out) {
    out.set_mbmainconfig(cfg.bMainConfig);
    out.set_ms32rangemax(cfg.s32RangeMax);
    out.set_mbsupportauto(cfg.bSupportAuto);
    out.set_mbsupportrate(cfg.bSupportRate);
    out.set_mbautorange(cfg.bAutoRange);
    out.set_mbdcfilter(cfg.bDcFilter);
    out.set_ms32range(cfg.s32Range);
    out.set_ms32autoz(cfg.s32AutoZ);
    out.set_ms32rate(cfg.eRate);
    out.set_ms32realfunc(cfg.eRealFunc);
}

// The range shown to the UI: -1 while auto range is on.
int32_t shownRange(const structFuncConfig& cfg) {
    return cfg.bAutoRange ? -1 : cfg.s32Range;
}

template <typename Table, typename Result>
Result lookup2(const Table& table, int func, int range, Result fallback) {
    auto row = table.find(func);
    if (row == table.end()) {
        return fallback;
    }
    auto entry = row->second.find(range);
    return entry == row->second.end() ? fallback : entry->second;
}

std::string funcText(const FuncTextTable& table, int func) {
    auto it = table.find(func);
    return it == table.end() ? "ERR" : it->second;
}

} // namespace

FunctionManage& FunctionManage::instance() {
    // Never destroyed: notification jobs may still read it while the process ends.
    static FunctionManage* manager = new FunctionManage(FuncBackend::live());
    // The first push runs once the pointer above is set: the engine calls
    // instance() back from inside it. The recursive lock lets that nested call
    // through on the same thread while other threads wait for the push.
    static std::recursive_mutex startMtx;
    static std::atomic<bool> started{false};
    static bool starting = false;
    if (!started.load(std::memory_order_acquire)) {
        std::lock_guard<std::recursive_mutex> lock(startMtx);
        if (!starting) {
            starting = true;
            manager->FM_InitialPush();
            started.store(true, std::memory_order_release);
        }
    }
    return *manager;
}

FunctionManage::FunctionManage(FuncBackend& backend) : Manager("function_manager"), m_backend(backend) {
    PrintI("FunctionManage ctor this:%p", static_cast<void*>(this));
    const std::string model = m_backend.model();
    FM_CapabilityInit(model);
    FunctionManageInit();
    m_backend.adcSetMode412(model == "MV412");
    m_backend.adcSetCfgVer(m_backend.cfgVer());
}

void FunctionManage::FM_InitialPush() {
    FM_UpdateConfig(true);
}

void FunctionManage::getCallbacks(std::map<unsigned int, cb_func>& entries) {
    for (const FuncMessage& row : kMessages) {
        const FuncMessage* entry = &row;
        entries.emplace(row.id, [this, entry](unsigned int source, const ValueMap& in, ValueMap* out) {
            return (this->*(entry->handler))(*entry, source, in, out);
        });
    }
}

void FunctionManage::onClientConnect() {
    std::printf("FunctionManage onClientConnect\n");
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    postUIFuncConfig();
    postUIFuncConfig2();
}

void FunctionManage::FM_CapabilityInit(const std::string& model) {
    const bool mv412 = model == "MV412";
    m_mapRangeEnumToValue = mv412 ? &mapRangeEnumToValue : &mapRangeEnumToValue_MV412E;
    m_mapRangeEnumToString = mv412 ? &mapRangeEnumToString : &mapRangeEnumToString_MV412E;
    m_mapRangeEnumToRealValue = mv412 ? &mapRangeEnumToRealValue : &mapRangeEnumToRealValue_MV412E;
}

void FunctionManage::FunctionManageInit() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_u32DcvImpe = 0;
    m_eDMMFunc = TYPE_DCV;
    m_eDMMFunc2 = TYPE_DCV;
    m_bFunc2Enable = false;
    m_bAutoRange = false;
    m_protoBaseFuncInfo.set_mu32dcvimpe(m_u32DcvImpe);
    m_protoBaseFuncInfo.set_ms32dmmfunc(m_eDMMFunc);
    m_protoBaseFuncInfo.set_ms32dmmfunc2(m_eDMMFunc2);
    m_protoBaseFuncInfo.set_mbfunc2enable(m_bFunc2Enable);
    m_protoBaseFuncInfo.set_mbautorange(m_bAutoRange);
    m_protoBaseFuncInfo.set_mcontresi(static_cast<int32_t>(m_contResi));

    m_vFuncCfgs.assign(g_FuncCfg, g_FuncCfg + MEASURE_TYPE_COUNT);
    m_vFuncCfgsLast = m_vFuncCfgs;
    auto* cfgs = m_protoBaseFuncInfo.mutable_mprotofunccfgs();
    for (int i = 0; i < MEASURE_TYPE_COUNT; ++i) {
        ProtoFuncConfig* entry = i < cfgs->size() ? cfgs->Mutable(i) : cfgs->Add();
        fillProtoFuncConfig(m_vFuncCfgs[i], *entry);
    }
    while (cfgs->size() > MEASURE_TYPE_COUNT) {
        cfgs->RemoveLast();
    }
}

ProtoFuncConfig& FunctionManage::mirrorOf(int func) {
    return *m_protoBaseFuncInfo.mutable_mprotofunccfgs(func);
}

void FunctionManage::ProtoBaseFuncInfoDefault(ProtoBaseFuncInfo& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    FunctionManageInit();
    out.CopyFrom(m_protoBaseFuncInfo);
}

void FunctionManage::ProtoBaseFuncInfoGet(ProtoBaseFuncInfo& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    out.CopyFrom(m_protoBaseFuncInfo);
}

bool FunctionManage::ProtoSensorFuncStateGet() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    return m_protoBaseFuncInfo.ms32dmmfunc() == TYPE_SENSOR;
}

int FunctionManage::ProtoBaseFuncInfoCheck(const ProtoBaseFuncInfo& in) {
    if (in.mprotofunccfgs_size() != MEASURE_TYPE_COUNT) {
        PrintE("ProtoBaseFuncInfoSet (mprotofunccfgs size = %d) != (FUNC_TYPE_COUNT = %d)", in.mprotofunccfgs_size(),
               MEASURE_TYPE_COUNT);
        return 44;  // -200
    }
    return 0;
}

void FunctionManage::ProtoBaseFuncInfoSet(const ProtoBaseFuncInfo& stored) {
    if (ProtoBaseFuncInfoCheck(stored) != 0) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const ProtoBaseFuncInfo in = sanitised(stored);
    m_protoBaseFuncInfo.CopyFrom(in);
    for (int i = 0; i < MEASURE_TYPE_COUNT; ++i) {
        const ProtoFuncConfig& entry = in.mprotofunccfgs(i);
        structFuncConfig& cfg = m_vFuncCfgs[i];
        cfg.bMainConfig = entry.mbmainconfig();
        cfg.s32RangeMax = entry.ms32rangemax();
        cfg.bSupportAuto = entry.mbsupportauto();
        cfg.bSupportRate = entry.mbsupportrate();
        cfg.bAutoRange = entry.mbautorange();
        cfg.s32Range = entry.ms32range();
        cfg.s32AutoZ = entry.ms32autoz();
        cfg.eRate = static_cast<RateEnum>(entry.ms32rate());
    }
    m_bFunc2Enable = in.mbfunc2enable();
    m_bAutoRange = in.mbautorange();
    m_u32DcvImpe = in.mu32dcvimpe();
    // -1 is how a record says "no function": it restores as DCV.
    m_eDMMFunc = in.ms32dmmfunc() == -1 ? TYPE_DCV : static_cast<MeasureTypeEnum>(in.ms32dmmfunc());
    m_eDMMFunc2 = in.ms32dmmfunc2() == -1 ? TYPE_DCV : static_cast<MeasureTypeEnum>(in.ms32dmmfunc2());
    m_contResi = static_cast<float>(in.mcontresi());
    PrintI("m_eDMMFunc = %d m_eDMMFunc2 = %d m_bFunc2Enable = %d", m_eDMMFunc, m_eDMMFunc2, m_bFunc2Enable);
    FM_UpdateConfig(false);
    FM_UpdateConfig2();
}

ValueMap FunctionManage::funcConfigMap() {
    const structFuncConfig& cfg = m_vFuncCfgs[m_eDMMFunc];
    ValueMap map;
    insertS32(map, 0x40C, m_eDMMFunc);
    insertS32(map, 0x648, shownRange(cfg));
    insertS32(map, 0x65E, cfg.eRate);
    insertS32(map, 0x66E, m_u32DcvImpe);
    insertBval(map, 0x66A, cfg.bDcFilter);
    insertS32(map, 0x643, static_cast<unsigned int>(m_contResi));
    insertBval(map, 0x66F, m_backend.ohmShow5());
    return map;
}

ValueMap FunctionManage::funcConfig2Map() const {
    const structFuncConfig& cfg = m_vFuncCfgs[m_eDMMFunc2];
    ValueMap map;
    insertBval(map, 0x642, m_bFunc2Enable);
    insertS32(map, 0x635, m_eDMMFunc2);
    insertS32(map, 0x648, shownRange(cfg));
    insertS32(map, 0x65E, cfg.eRate);
    return map;
}

void FunctionManage::postUIFuncConfig() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_backend.push(UPDATE_FUNCTION_CONFIG, funcConfigMap());
}

void FunctionManage::postUIFuncConfig2() {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    m_backend.push(UPDATE_FUNCTION2_CONFIG, funcConfig2Map());
}

double FunctionManage::FM_RangeTransToValue(int func, int range) const {
    return lookup2(*m_mapRangeEnumToValue, func, range, 0.0);
}

std::string FunctionManage::FM_RangeTransToStr(int func, int range) const {
    return lookup2(*m_mapRangeEnumToString, func, range, std::string());
}

int FunctionManage::FM_RangeTransToRealValue(int func, int range) const {
    return lookup2(*m_mapRangeEnumToRealValue, func, range, 0);
}

std::string FunctionManage::FM_FuncTransToStrForCorvane(int func) const {
    return funcText(mapFuncEnumToString, func);
}

std::string FunctionManage::FM_FuncTransToStrForVorna(int func) const {
    return funcText(mapFuncEnumToStringForVorna, func);
}

int FunctionManage::modelRangeMax(int func) const {
    auto row = m_mapRangeEnumToValue->find(func);
    if (row == m_mapRangeEnumToValue->end() || row->second.empty()) {
        return isFunction(func) ? g_FuncCfg[func].s32RangeMax : -1;
    }
    return row->second.rbegin()->first;
}

int FunctionManage::FM_RangeOfIndex(int func, int index, int& range) const {
    if (!isFunction(func)) return 56;
    range = index;
    // An index the factory's ranges know but this model lacks (the top
    // capacitance range of the E model) is its top range, as a number above
    // the top full scale is.
    if (range > modelRangeMax(func) && range <= g_FuncCfg[func].s32RangeMax) range = modelRangeMax(func);
    return (range == -1 || (range >= 0 && range <= modelRangeMax(func))) ? 0 : 56;
}

bool FunctionManage::rangeAllowed(int func, int range) const {
    if (!isFunction(func) || range < -1 || range > g_FuncCfg[func].s32RangeMax) {
        return false;
    }
    // The E model lacks some indexes of the factory range (its CAP stops at 6).
    return range == -1 || range <= modelRangeMax(func);
}
