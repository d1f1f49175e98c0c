// CDataManage: per-model set-up and the range-row lookup.
#include <cmath>
#include <algorithm>
#include <cstring>
#include <string>

#include "CDataManage.h"
#include "SensorTypes.h"
#include "RangeInfoTables.h"
#include "Util/logger.h"

namespace {

// Row `range` of a table of `count` rows, clamped into the table: callers
// pass -1 (automatic, not yet resolved) or a range of another function.
const structRangeInfo& clampedRow(const structRangeInfo* rows, int count, uint32_t range) {
    int32_t index = static_cast<int32_t>(range);
    if (index < 0) index = 0;
    if (index >= count) index = count - 1;
    return rows[index];
}

int freqRow(double hz) {
    if (hz <= 1.0) return 0;
    if (hz > 110000) return 3;
    if (hz <= 110) return 0;
    if (hz <= 1100) return 1;
    if (hz <= 11000) return 2;
    return 3;
}

int periodRow(double us) {
    if (us <= -1.0) return 0;
    if (us > 100000) return 3;
    if (us <= 110) return 0;
    if (us <= 1100) return 1;
    if (us <= 10000) return 2;
    return 3;
}

} // namespace

void CDataManage::DM_CapabilityInit(const std::string& model) {
    const bool first = model == "MV412";
    m_readingCapacity = first ? 500000 : 20000;
    mDataPointThreshold = m_readingCapacity.load();
    m_stRangeInfoDCI = first ? stRangeInfoDCI : stRangeInfoDCI_MV412E;
    m_stRangeInfoACI = first ? stRangeInfoACI : stRangeInfoACI_MV412E;
    m_scpiF64RangeLimitMap = first ? scpiF64RangeLimitMap : scpiF64RangeLimitMap_MV412E;
    m_scpiF64RealRangeMap = first ? scpiF64RealRangeMap : scpiF64RealRangeMap_MV412E;
    m_F64LimitMap = first ? F64LimitMap : F64LimitMap_MV412E;
    m_scpiF64MEASLimitMap = first ? scpiF64MEASLimitMap : scpiF64MEASLimitMap_MV412E;
    m_rangeResolutionToRateMapCurrent = first ? rangeResolutionToRateMapCurrent : rangeResolutionToRateMapCurrent_MV412E;
    m_u32IntervalMin = first ? 8 : 12;
    m_u32CapRangeMax = first ? 7 : 6;
}

structRangeInfo CDataManage::DM_GetRangeInfo(uint32_t func, uint32_t range, double value) {
    structRangeInfo row;
    switch (func) {
    case TYPE_DCV: row = clampedRow(stRangeInfoDCV, kRangeRowsDCV, range); break;
    case TYPE_ACV: row = clampedRow(stRangeInfoACV, kRangeRowsACV, range); break;
    case TYPE_DCI: row = clampedRow(m_stRangeInfoDCI, kRangeRowsCurrent, range); break;
    case TYPE_ACI: row = clampedRow(m_stRangeInfoACI, kRangeRowsCurrent, range); break;
    case TYPE_OHM2:
    case TYPE_OHM4: row = clampedRow(stRangeInfo4WR, kRangeRowsOhm, range); break;
    case TYPE_CAP: row = clampedRow(stRangeInfoCAP, static_cast<int>(m_u32CapRangeMax) + 1, range); break;
    case TYPE_CONT: row = stRangeInfoCONT; break;
    case TYPE_DIODE: row = stRangeInfoDIOD; break;
    // A value that is not a number matches no band: the lowest row.
    case TYPE_PERIOD: row = stRangeInfoPERI[std::isnan(value) ? 0 : periodRow(value)]; break;
    case TYPE_FREQ: row = stRangeInfoFREQ[std::isnan(value) ? 0 : freqRow(value)]; break;
    case TYPE_SENSOR:
        row = stRangeInfoDEF;
        sensorUnit(row.u8Unit);
        break;
    default: row = stRangeInfoDEF; break;
    }
    m_f32MinUnite.store(row.f32MinUnite, std::memory_order_relaxed);
    return row;
}

void CDataManage::sensorUnit(char (&unit)[4]) {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        const ProtoSensorFuncInfo& sensor = m_protoSensorFuncCurrInfo;
        text = sensor.mbtempture() ? sensor.mprototempproperty().mstrtempsensorunit()
                                   : sensor.mprotoprojproperty().mstrunit();
    }
    size_t n = Utf8Prefix(text, sizeof(unit) - 1);
    std::memcpy(unit, text.data(), n);
    unit[n] = '\0';
}
