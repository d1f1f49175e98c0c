// Relative offset of one fixed function, whatever function is on the main
// display: state, offset and auto switch with their queries, for the nine
// functions of kRelFamily. One body per operation serves all nine.
#include <algorithm>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "inc_enum.h"
#include "proto_extract.h"

const CDataManage::RelFamilyRow CDataManage::kRelFamily[9] = {
    {TYPE_CAP, 0x2600},  {TYPE_DCI, 0x2608},  {TYPE_ACI, 0x260b},  {TYPE_FREQ, 0x2610}, {TYPE_PERIOD, 0x2615},
    {TYPE_OHM4, 0x261b}, {TYPE_OHM2, 0x2622}, {TYPE_DCV, 0x262c},  {TYPE_ACV, 0x262f},
};

// The offset bound of `func` in base units, and the range row a number from
// the UI converts by.
double CDataManage::relLimit(MeasureTypeEnum func, structRangeInfo& row) {
    FunctionManage& fm = FunctionManage::instance();
    if (func == TYPE_FREQ || func == TYPE_PERIOD) {
        const int r = fm.FreqPeriRealRangeGet(func);
        row = DM_GetRangeInfo(func, static_cast<uint32_t>(r), 0.0);
        const bool scaled = r >= 1 && r <= 3;
        return (func == TYPE_FREQ ? (scaled ? 120 : 120000) : (scaled ? 60 : 60000)) * mathBaseFactor(func, row);
    }
    const int real = std::max(fm.FM_GetRealRange(func), 0);
    // On auto range the offset holds on every range the input moves to: the
    // top range bounds it, not the range the input happens to be read on now.
    const int bounding = fm.FM_GetRange(func) == -1 ? std::max(fm.modelRangeMax(func), 0) : real;
    const structRangeInfo bound = DM_GetRangeInfo(func, static_cast<uint32_t>(bounding), 0.0);
    row = DM_GetRangeInfo(func, static_cast<uint32_t>(real), 0.0);
    return bound.f32CalLimit * mathBaseFactor(func, bound);
}

int CDataManage::relOffsetSet(const RelFamilyRow& rel, unsigned int source, const Value& v) {
    structRangeInfo row;
    const double l = relLimit(rel.func, row);
    double value;
    int result = mathNumberParam(source, v, {-l, l, 0}, rel.func, row, false, "CmdStr Parse Num Failed!!", value);
    if (result != 0) return result;
    result = mathClamp(value, -l, l);
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        relGivenOffset(rel.func, value);
    }
    postUICalculateConfig();
    return result;
}

CDataManage::NullInForce CDataManage::nullInForce() {
    const MeasureTypeEnum measured = mathMain();
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    const structCalcConfig& c = stCalcConfig[measured];
    // Off, the offset and a pending take change no reading.
    return c.bRELEnable ? NullInForce{true, c.bTakeNext, c.f64RELValue} : NullInForce{false, false, 0.0};
}

int CDataManage::nullChange(const std::function<int()>& setter) {
    const NullInForce before = nullInForce();
    const int result = setter();
    if (!(nullInForce() == before)) readingsComputationChanged();
    return result;
}

int CDataManage::relHandler(const RelFamilyRow& rel, RelOp op, unsigned int source, const ValueMap& in,
                            ValueMap* out) {
    const bool setter = op == REL_STATE_SET || op == REL_OFFSET_SET || op == REL_AUTO_SET;
    if (!setter) return relOp(rel, op, source, in, out);
    return nullChange([&] { return relOp(rel, op, source, in, out); });
}

int CDataManage::relOp(const RelFamilyRow& rel, RelOp op, unsigned int source, const ValueMap& in, ValueMap* out) {
    const int state = rel.stateCode, offset = state + 1, autoCode = state + 2;
    const bool setter = op == REL_STATE_SET || op == REL_OFFSET_SET || op == REL_AUTO_SET;
    const bool stateOp = op == REL_STATE_SET || op == REL_STATE_GET;
    const int key = stateOp ? state : (op == REL_OFFSET_SET || op == REL_OFFSET_GET) ? offset : autoCode;
    auto it = in.find(key);
    if (setter && it == in.end()) {
        PrintE("Missing parameter!");
        return E109_MISSING_PARAMETER;
    }
    switch (op) {
    case REL_STATE_SET: {
        const int result = CalculateRelStateSet(rel.func, boolOf(it->second));
        if (result == 0) postUICalculateConfig();
        return result;
    }
    case REL_OFFSET_SET: return relOffsetSet(rel, source, it->second);
    case REL_AUTO_SET: {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        if (boolOf(it->second)) {
            relTakeReading(rel.func);
        } else {
            structCalcConfig& c = stCalcConfig[rel.func];
            c.bAutoEnable = c.bTakeNext = false;
            c.f64RELValue = 0.0;
        }
        mathRecordRel(rel.func);
        return 0;
    }
    case REL_OFFSET_GET: {
        double value;
        {
            std::lock_guard<std::mutex> lock(m_bufferMtx);
            value = stCalcConfig[rel.func].f64RELValue;
        }
        // Kept in base units: the UI shows it in the unit of the range in force.
        if (source < 1 || source > 3) value /= mathDisplayFactor(rel.func);
        // The text goes under the state code with bit 30 set.
        mathNumberReply(out, offset, value);
        return 0;
    }
    case REL_STATE_GET:
    case REL_AUTO_GET: {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        const structCalcConfig& c = stCalcConfig[rel.func];
        insertBval(*out, key, op == REL_STATE_GET ? c.bRELEnable : c.bAutoEnable);
        return 0;
    }
    }
    return 0;
}
