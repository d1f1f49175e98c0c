#include "FunctionManage.h"

#include <cstdio>
#include <utility>

#include "CDataManage.h"
#include "CFEM.h"
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

// A function number of a stored record; anything outside the table reads as DCV.
MeasureTypeEnum storedFunction(int32_t value) {
    return (value >= 0 && value < MEASURE_TYPE_COUNT) ? static_cast<MeasureTypeEnum>(value) : TYPE_DCV;
}

// The range shown to the UI: -1 while auto range is on.
int32_t shownRange(const structFuncConfig& cfg) {
    return cfg.bAutoRange ? -1 : cfg.s32Range;
}

} // namespace

FunctionManage& FunctionManage::instance() {
    // Never destroyed: notification jobs may still read it while the process ends.
    static FunctionManage* manager = new FunctionManage();
    return *manager;
}

FunctionManage::FunctionManage() : Manager("function_manager") {
    PrintI("FunctionManage ctor this:%p", static_cast<void*>(this));
    std::lock_guard<std::mutex> lock(_mtx);
    initLocked();
}

void FunctionManage::getCallbacks(std::map<unsigned int, cb_func>& /*entries*/) {
    // The function-settings handlers (groups 0x04, 0x06 and 0x26) are not
    // bound yet: their ids answer the hub's unbound-id error.
}

void FunctionManage::onClientConnect() {
    std::printf("FunctionManage onClientConnect\n");
    postUIFuncConfig();
    postUIFuncConfig2();
}

void FunctionManage::FunctionManageInit() {
    std::lock_guard<std::mutex> lock(_mtx);
    initLocked();
}

void FunctionManage::initLocked() {
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
    auto* cfgs = m_protoBaseFuncInfo.mutable_mprotofunccfgs();
    for (int i = 0; i < MEASURE_TYPE_COUNT; ++i) {
        ProtoFuncConfig* entry = i < cfgs->size() ? cfgs->Mutable(i) : cfgs->Add();
        fillProtoFuncConfig(m_vFuncCfgs[i], *entry);
    }
    // A record applied earlier may have held more entries than functions.
    while (cfgs->size() > MEASURE_TYPE_COUNT) {
        cfgs->RemoveLast();
    }
}

void FunctionManage::ProtoBaseFuncInfoDefault(ProtoBaseFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    initLocked();
    out.CopyFrom(m_protoBaseFuncInfo);
}

void FunctionManage::ProtoBaseFuncInfoGet(ProtoBaseFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_protoBaseFuncInfo);
}

void FunctionManage::ProtoBaseFuncInfoSet(const ProtoBaseFuncInfo& in) {
    if (in.mprotofunccfgs_size() != MEASURE_TYPE_COUNT) {
        PrintE("ProtoBaseFuncInfoSet (mprotofunccfgs size = %d) != (FUNC_TYPE_COUNT = %d)", in.mprotofunccfgs_size(),
               MEASURE_TYPE_COUNT);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
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
        m_eDMMFunc = storedFunction(in.ms32dmmfunc());
        m_eDMMFunc2 = storedFunction(in.ms32dmmfunc2());
        m_contResi = static_cast<float>(in.mcontresi());
        PrintI("m_eDMMFunc = %d m_eDMMFunc2 = %d m_bFunc2Enable = %d", m_eDMMFunc, m_eDMMFunc2, m_bFunc2Enable);
    }
    // Applying a configuration ends with its pushes to the UI.
    postUIFuncConfig();
    postUIFuncConfig2();
}

ValueMap FunctionManage::funcConfigMap() const {
    const structFuncConfig& cfg = m_vFuncCfgs[m_eDMMFunc];
    ValueMap map;
    insertS32(map, 0x40C, m_eDMMFunc);
    insertS32(map, 0x648, shownRange(cfg));
    insertS32(map, 0x65E, cfg.eRate);
    insertS32(map, 0x66E, m_u32DcvImpe);
    insertBval(map, 0x66A, cfg.bDcFilter);
    insertS32(map, 0x643, static_cast<unsigned int>(m_contResi));
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
    ValueMap map;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        map = funcConfigMap();
    }
    insertBval(map, 0x66F, CDataManage::instance()->GetOHMShow5());
    CFEM::pushMessage(UPDATE_FUNCTION_CONFIG, std::move(map));
}

void FunctionManage::postUIFuncConfig2() {
    ValueMap map;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        map = funcConfig2Map();
    }
    CFEM::pushMessage(UPDATE_FUNCTION2_CONFIG, std::move(map));
}
