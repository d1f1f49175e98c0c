// Handlers of the edited sensor definition.
#include <cmath>

#include "CDataManage.h"
#include "RangeInfoTables.h"
#include "SensorCurve.h"
#include "Util/logger.h"
#include "proto_extract.h"
#include "proto_insert.h"

namespace {

// Clamps `v` into [low, high]: 131 below, 130 above, else 0.
int clamp(double& v, double low, double high) {
    if (v < low) { v = low; return 131; }
    if (v > high) { v = high; return 130; }
    return 0;
}

} // namespace

int CDataManage::cbSensConfigSave(unsigned int, const ValueMap&, ValueMap*) {
    PrintI("cbSensConfigSave");
    return 0;
}

int CDataManage::cbSensDataGet(unsigned int, const ValueMap&, ValueMap*) {
    PrintI("cbSensDataGet");
    return 0;
}

int CDataManage::cbSensRefDataAdd(unsigned int, const ValueMap& in, ValueMap*) {
    for (int key = 0; key <= 4; ++key) if (!hasValue(in, key)) return 8;
    const int index = s32Of(in.at(0));
    const Value& xv = in.at(1);
    const Value& yv = in.at(2);
    structPos p{xv.value_case() == Value::kF64Val ? xv.f64val() : 0.0, yv.value_case() == Value::kF64Val ? yv.f64val() : 0.0,
                static_cast<uint8_t>(s32Of(in.at(4)) == 1 ? 1 : 0), boolOf(in.at(3))};
    if (std::isnan(p.f64XValue) || std::isnan(p.f64YValue)) return 56;
    MeasureTypeEnum f;
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        f = m_bufSensor->stProjProperty.eType;
    }
    double low = -INFINITY, high = INFINITY;
    switch (f) {
    case TYPE_DCV: high = 10.0 * stRangeInfoDCV[4].f32AutoLower; low = -high; break;
    case TYPE_DCI: high = 10.0 * m_stRangeInfoDCI[5].f32AutoLower; low = -high; break;
    case TYPE_OHM2:
    case TYPE_OHM4: low = 0; high = 100.0 * stRangeInfo4WR[6].f32MinUnite; break;
    case TYPE_FREQ: low = 0; high = 100000; break;
    default: break;
    }
    if (p.f64XValue < low) return 131;
    if (p.f64XValue > high) return 130;
    PrintI("idx=%d, xVal=%lf, yVal=%lf, seg=%d, math=%d", index, p.f64XValue, p.f64YValue, p.bSegSign, p.u8MathSign);
    return SEN_EditSet([&](structSensorProjLeast& r) { return SEN_AddPoint(r, index, p); }, false);
}

int CDataManage::cbSensRefDataGet(unsigned int, const ValueMap&, ValueMap* out) {
    SensRefs refs;
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        for (uint32_t i = 0; i < m_bufSensor->u32TotalPoint; ++i) {
            const structPos& p = m_bufSensor->REFPoint[i];
            SensRefs::Item* item = refs.add_item();
            item->set_first(p.f64XValue);
            item->set_second(p.f64YValue);
            item->set_mathsign(p.u8MathSign);
            item->set_segsign(p.bSegSign);
        }
    }
    insertRaw(*out, 0, refs.SerializeAsString());
    return 0;
}

int CDataManage::cbSensRefDataDel(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0);
    if (!v) return 8;
    const int index = s32Of(*v, -1);
    return SEN_EditSet([&](structSensorProjLeast& r) { return SEN_DelPoint(r, index); }, false);
}

int CDataManage::cbSensTypeSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1703);
    if (!v) return 8;
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        if (!m_bufSensor->bTempture) return 55;
    }
    const int result = SensTypeSet(s32Of(*v));
    if (result == 0) postUISensorConfig();
    return result;
}

int CDataManage::cbSensTempFuncSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1704);
    if (!v) return 8;
    const int result = SensTempFuncSet(s32Of(*v));
    if (result == 0) postUISensorConfig();
    return result;
}

int CDataManage::cbSensCustomFuncSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1705);
    if (!v) return 8;
    const int f = s32Of(*v, TYPE_DCV);
    if (SEN_NoSensorFunction(f) || f < 0 || f > TYPE_SENSOR) return 55;
    PrintI(" type=%d", f);
    return SEN_EditSet([&](structSensorProjLeast& r) {
        r.u32TotalPoint = 0;
        r.u32TotalSegment = 0;
        std::fill(std::begin(r.SegPara), std::end(r.SegPara), 0.0);
        r.stProjProperty.eType = static_cast<MeasureTypeEnum>(f);
        return 0;
    }, true);
}

int CDataManage::cbSensNameSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1706);
    if (!v) return 8;
    return SEN_EditSet([&](structSensorProjLeast& r) {
        SEN_CopyText(r.stProjProperty.charName, textOf(*v));
        PrintI("cbSensNameSet charName=%s", r.stProjProperty.charName);
        return 0;
    }, true);
}

int CDataManage::cbSensTempOrCustomSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1707);
    if (!v) return 8;
    SensTempOrCustomSet(boolOf(*v));
    postUISensorConfig();
    return 0;
}

int CDataManage::cbSensConfigLoad(unsigned int, const ValueMap&, ValueMap*) { return SensConfigLoad(); }

int CDataManage::cbSensColdSaveSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0);
    if (!v) return 8;
    return SEN_EditSet([&](structSensorProjLeast& r) { r.stTemptureProperty.bTcCodeTerminalInt = boolOf(*v); return 0; },
                       false);
}

int CDataManage::cbSensColdSaveGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_sensorMtx);
    insertBval(*out, 0, m_bufSensor->stTemptureProperty.bTcCodeTerminalInt);
    return 0;
}

// The user's cold junction and the RTD's R0: clamped floats of the
// temperature properties.
struct ClampedFloat {
    int key;
    const char* log;
    double low, high;
    float structTemptureProperty::*field;
};
const ClampedFloat kUserCold{0x170A, "temp = %f", -273.0, 999.0, &structTemptureProperty::f32CodeTerminalUser};
const ClampedFloat kRtdR0{0x170B, "R0 = %f", 49.0, 2100.0, &structTemptureProperty::f32RtdR0};

int CDataManage::sensFloatSet(const ValueMap& in, const ClampedFloat& item) {
    const Value* v = findValue(in, item.key);
    if (!v) return 8;
    double value = numberOf(*v);
    PrintI(item.log, value);
    if (std::isnan(value)) return 56;
    const int row = clamp(value, item.low, item.high);
    SEN_EditSet([&](structSensorProjLeast& r) { r.stTemptureProperty.*item.field = static_cast<float>(value); return 0; },
                true);
    return row;
}

int CDataManage::sensFloatGet(ValueMap* out, const ClampedFloat& item) {
    std::lock_guard<std::mutex> lock(m_sensorMtx);
    insertF32(*out, item.key, m_bufSensor->stTemptureProperty.*item.field);
    return 0;
}

int CDataManage::cbSensUserColdSet(unsigned int, const ValueMap& in, ValueMap*) { return sensFloatSet(in, kUserCold); }
int CDataManage::cbSensUserColdGet(unsigned int, const ValueMap&, ValueMap* out) { return sensFloatGet(out, kUserCold); }
int CDataManage::cbSensRtdR0Set(unsigned int, const ValueMap& in, ValueMap*) { return sensFloatSet(in, kRtdR0); }
int CDataManage::cbSensRtdR0Get(unsigned int, const ValueMap&, ValueMap* out) { return sensFloatGet(out, kRtdR0); }

int CDataManage::cbSensCustomUnitSwitch(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x170C);
    if (!v) return 8;
    PrintI("cbSensCustomUnitSwitch bOn=%d ", boolOf(*v));
    return SEN_EditSet([&](structSensorProjLeast& r) { r.stProjProperty.bUnitSwitch = boolOf(*v); return 0; }, true);
}

int CDataManage::cbSensDisplayValueSwitch(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x170D);
    if (!v) return 8;
    return SEN_EditSet([&](structSensorProjLeast& r) { r.bDisplayValue = boolOf(*v); return 0; }, true);
}

int CDataManage::cbSensNewId(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x170E);
    if (!v) return 8;
    const int result = SensNewId(s32Of(*v));
    if (result == 0) postUISensorConfig();
    return result;
}

int CDataManage::cbSensTempUnitSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1711);
    if (!v) return 8;
    const int code = s32Of(*v);
    std::string unit = textOf(*v);
    if (source >= 1 && source <= 3) unit = code == 1 ? "\u2109" : code == 2 ? "K" : "\u2103";
    PrintI("cbSensTempUnitSet tmp=%d, %s", code, unit.c_str());
    SEN_EditSet([&](structSensorProjLeast& r) { SEN_CopyText(r.stTemptureProperty.chTempSensorUnit, unit); return 0; },
                true);
    // A unit is no new definition: the next reading already shows it.
    SEN_ActiveUnitSet(unit);
    return 0;
}

int CDataManage::cbSensTempUnitGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::string unit;
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        unit = m_bufSensor->stTemptureProperty.chTempSensorUnit;
    }
    insertStr(*out, 0x1711, unit == "\u2109" ? "F" : unit == "K" ? "K" : "C");
    return 0;
}

int CDataManage::cbSensCustomUnitSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findValue(in, 0x1712);
    if (!v) return 8;
    const std::string unit = textOf(*v);
    PrintI("cbSensCustomUnitSet tmp=%d, %s", static_cast<int>(unit.size()), unit.c_str());
    return SEN_EditSet([&](structSensorProjLeast& r) { SEN_CopyText(r.stProjProperty.charUnit, unit); return 0; }, true);
}

int CDataManage::cbSensCustomUnitGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_sensorMtx);
    insertStr(*out, 0x1712, m_bufSensor->stProjProperty.charUnit);
    return 0;
}
