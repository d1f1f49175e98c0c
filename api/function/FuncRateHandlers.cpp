// Rate, auto-zero, input-impedance and continuity-threshold handlers.
#include <algorithm>

#include "FuncChecks.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "proto_extract.h"

using ValueMap = google::protobuf::Map<int, Value>;

// row.func -1 is the primary function (key 0).
int FunctionManage::hRateSet(const FuncMessage& row, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, row.key)) {
        return 8;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const int func = row.func == -1 ? m_eDMMFunc : row.func;
    return FM_SetRate(static_cast<MeasureTypeEnum>(func), static_cast<RateEnum>(in.at(row.key).s32val()));
}

int FunctionManage::hRateGet(const FuncMessage& row, unsigned int source, const ValueMap&, ValueMap* out) {
    if (row.func == -1) {
        insertS32(*out, row.key, FM_GetRate());
        return 0;
    }
    const int rate = FM_GetRate(row.func);
    if (!isRemoteSource(source)) {
        insertS32(*out, row.key, rate);
        return 0;
    }
    auto it = mapRateEnumToString.find(rate);
    if (it == mapRateEnumToString.end()) {
        return 2;
    }
    insertStr(*out, row.key, it->second.c_str());
    return 0;
}

int FunctionManage::hAutoZeroSet(const FuncMessage&, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0)) {
        return 8;
    }
    const int32_t value = in.at(0).s32val();
    if (value < 0 || value > 1) {
        return 56;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const Measured before = measured();
    m_vFuncCfgs[m_eDMMFunc].s32AutoZ = value;
    mirrorOf(m_eDMMFunc).set_ms32autoz(value);
    if (m_eDMMFunc == TYPE_SENSOR) {
        pushChange(before);
    }
    return 0;
}

int FunctionManage::hAutoZeroGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    insertS32(*out, 0, m_vFuncCfgs[m_eDMMFunc].s32AutoZ);
    return 0;
}

int FunctionManage::hDcvImpeSet(const FuncMessage&, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0)) {
        return 8;
    }
    const int32_t value = in.at(0).s32val();
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (m_vFuncCfgs[TYPE_DCV].s32Range > 1) {
        return 55;
    }
    if (value < 0 || value > 1) {
        return 56;
    }
    const Measured before = measured();
    m_u32DcvImpe = static_cast<unsigned int>(value);
    m_protoBaseFuncInfo.set_mu32dcvimpe(m_u32DcvImpe);
    if (m_eDMMFunc == TYPE_DCV) {
        pushChange(before);
    }
    return 0;
}

int FunctionManage::hDcvImpeGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    insertS32(*out, 0, m_u32DcvImpe);
    return 0;
}

int FunctionManage::hDcvImpeAutoSet(const FuncMessage& row, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, row.key)) {
        return 8;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    const bool on = boolOf(in.at(row.key));
    // The setting in force: auto range is not sent back to its first range.
    if (m_eDMMFunc == TYPE_DCV && on == m_DcvImpeAuto) {
        postUIFuncConfig();
        return 0;
    }
    if (m_eDMMFunc != TYPE_DCV) {
        FM_SetFunction(TYPE_DCV);
    }
    const Measured before = measured();
    m_DcvImpeAuto = on;
    // The range is sent again as set: -1 turns back into auto range on push.
    structFuncConfig& dcv = m_vFuncCfgs[TYPE_DCV];
    const int range = dcv.bAutoRange ? -1 : dcv.s32Range;
    dcv.s32Range = range;
    dcv.bAutoRange = false;
    mirrorOf(TYPE_DCV).set_ms32range(range);
    mirrorOf(TYPE_DCV).set_mbautorange(false);
    m_u32DcvImpe = (m_DcvImpeAuto && (range == 0 || range == 1)) ? 1 : 0;
    m_protoBaseFuncInfo.set_mu32dcvimpe(m_u32DcvImpe);
    pushChange(before);
    return 0;
}

int FunctionManage::hDcvImpeAutoGet(const FuncMessage& row, unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    if (m_eDMMFunc != TYPE_DCV) {
        return 55;
    }
    insertBval(*out, row.key, m_DcvImpeAuto);
    return 0;
}

int FunctionManage::hContResiSet(const FuncMessage&, unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0x643)) {
        return 8;
    }
    const int32_t requested = in.at(0x643).s32val();
    const int32_t ohms = std::clamp(requested, 1, 1000);
    PrintI("cbContResiSet resi=%d\n", ohms);
    {
        std::lock_guard<std::recursive_mutex> lock(m_mtx);
        m_contResi = static_cast<float>(ohms);
        m_protoBaseFuncInfo.set_mcontresi(ohms);
        PrintI("ContResiConfig resi=%d\n", ohms);
        // Pushed whatever the primary function, to the beep window and the UI
        // only: the threshold changes no reading, and a whole update of the
        // function would restart the acquisition and empty the reading memory.
        pushThreshold();
        // A threshold configured with CONFigure kept the beeper as it was;
        // this handler ends that.
        m_contchange = false;
    }
    return requested > 1000 ? 130 : requested < 1 ? 131 : 0;
}

int FunctionManage::hContResiGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::recursive_mutex> lock(m_mtx);
    insertS32(*out, 0x643, static_cast<unsigned int>(m_contResi));
    return 0;
}
