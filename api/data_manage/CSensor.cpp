// The sensor stage of the engine: the edited and the active sensor
// definition, their handlers, activation and the evaluation of a reading.
#include <cmath>
#include <cstdio>

#include "CCalculate.h"
#include "CDataManage.h"
#include "drv/tempDrv/CTempDrv.h"
#include "drv/tempSens/DrvTemperaturerSensor.h"
#include "FunctionManage.h"
#include "RangeInfoTables.h"
#include "SensorCurve.h"
#include "Util/logger.h"
#include "proto_insert.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

const char* const kFahrenheit = "\u2109";

} // namespace

void CDataManage::sensorDefaults(ProtoSensorFuncInfo& info) {
    info.Clear();
    structSensorProjLeast record;
    ProtoProjProperty* proj = info.mutable_mprotoprojproperty();
    proj->set_mstrname(record.stProjProperty.charName);
    proj->set_ms32type(record.stProjProperty.eType);
    proj->set_mstrunit(record.stProjProperty.charUnit);
    proj->set_mbcustomunitswitch(record.stProjProperty.bUnitSwitch);
    info.set_mbtempture(record.bTempture);
    ProtoTempProperty* temp = info.mutable_mprototempproperty();
    temp->set_mstrtempsensorname(record.stTemptureProperty.chTempSensorName);
    temp->set_mstrtempsensorunit(record.stTemptureProperty.chTempSensorUnit);
    temp->set_mf32rtdr0(record.stTemptureProperty.f32RtdR0);
    temp->set_mbtccodeterminalint(record.stTemptureProperty.bTcCodeTerminalInt);
    info.set_mbdisplayvalue(record.bDisplayValue);
}

void CDataManage::SEN_Init() {
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        *m_bufSensor = structSensorProjLeast{};
    }
    {
        std::lock_guard<std::mutex> lock(m_sensorActiveMtx);
        m_currSensor = std::make_shared<const structSensorProjLeast>();
    }
    std::lock_guard<std::mutex> lock(_mtx);
    sensorDefaults(m_protoSensorFuncCurrInfo);
}

std::shared_ptr<const structSensorProjLeast> CDataManage::SEN_Active() const {
    std::lock_guard<std::mutex> lock(m_sensorActiveMtx);
    return m_currSensor;
}

double CDataManage::SEN_Meas(double value) {
    const std::shared_ptr<const structSensorProjLeast> active = SEN_Active();
    return SEN_Meas(value, active.get());
}

double CDataManage::SEN_Meas(double value, const structSensorProjLeast* record) {
    if (!record) return kSensorOverload;
    if (record->bTempture) return SEN_TempMeas(value, *record);
    return SensRangeCheck(*record, SEN_CustomCurve(*record, value));
}

double CDataManage::SEN_TempMeas(double value, const structSensorProjLeast& record) {
    const structTemptureProperty& t = record.stTemptureProperty;
    double celsius = value;
    switch (t.u8TempSensorType) {
    case 0: {
        float cold = t.f32CodeTerminalUser;
        // An unread junction is no temperature: overload until it reads again.
        if (t.bTcCodeTerminalInt) {
            const bool read = m_coldJunctionRead ? m_coldJunctionRead(cold) : CTempDrv::instance().Temp_ReadColdTemp(cold);
            if (!read) return kTempOverload;
        }
        celsius = GetTemperature_ThermCouple(t.u8TcType, value, cold);
        break;
    }
    case 1: celsius = GetTemperature_RTD(t.f32RtdR0, t.u8RtdAf, value); break;
    case 2: celsius = GetTemperature_Thermistor(static_cast<uint8_t>(std::min<uint16_t>(t.u16ThermResValue, 255)), value); break;
    default: PrintE("!Temprature Sensor Type Error!\n"); break;
    }
    if (std::fabs(celsius) == kTempOverload) return celsius;
    if (std::string(t.chTempSensorUnit) == kFahrenheit) return 32 + 1.8 * celsius;
    if (std::string(t.chTempSensorUnit) == "K") return celsius + 273.15;
    return celsius;
}

// ------------------------------------------------------------- activation

int CDataManage::SensConfigLoad() {
    auto next = std::make_shared<structSensorProjLeast>();
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        *next = *m_bufSensor;
    }
    const std::shared_ptr<const structSensorProjLeast> active = SEN_Active();
    // A new custom or temperature function starts the pass/fail limits over;
    // applied after the function push, whose math reset would undo it.
    const bool newLimits = next->stProjProperty.eType != active->stProjProperty.eType ||
                           next->stTemptureProperty.eType != active->stTemptureProperty.eType;
    const double high = next->stProjProperty.eType == TYPE_DCI ? 0.2 : 1.0;
    if (next->bTempture) {
        const structTemptureProperty& t = next->stTemptureProperty;
        if (std::isnan(t.f32RtdR0) || std::isnan(t.f32CodeTerminalUser)) return 56;
    } else {
        PrintI("Total point = %d\n", next->u32TotalPoint);
        if (GetSegPoint(*next) != 255 || !SEN_FitSegments(*next)) {
            PrintE("SegPoint check err");
            return 132;
        }
    }
    ProtoSensorFuncInfoUpdate(*next);
    {
        // Built aside and swapped whole: the loop keeps the snapshot it holds.
        std::lock_guard<std::mutex> lock(m_sensorActiveMtx);
        m_currSensor = std::move(next);
    }
    FunctionManage::instance().FM_SetFunction(TYPE_SENSOR);
    if (newLimits) {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        g_stMathPara.stLimit.f64Low = 0.0;
        g_stMathPara.stLimit.f64High = high;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.mutable_mprotolimit()->set_mf64low(0.0);
        m_protoMathFuncInfo.mutable_mprotolimit()->set_mf64high(high);
    }
    if (newLimits) {
        postUICalculateConfig();
    }
    return 0;
}

void CDataManage::ProtoSensorFuncInfoUpdate(const structSensorProjLeast& r) {
    std::lock_guard<std::mutex> lock(_mtx);
    ProtoSensorFuncInfo& info = m_protoSensorFuncCurrInfo;
    info.set_mbtempture(r.bTempture);
    info.set_mbdisplayvalue(r.bDisplayValue);
    info.clear_mprotorefpoints();
    info.clear_mf64segparas();
    info.clear_mprotosegproperties();
    if (!r.bTempture) {
        ProtoProjProperty* p = info.mutable_mprotoprojproperty();
        p->set_ms32type(r.stProjProperty.eType);
        p->set_mstrname(r.stProjProperty.charName);
        p->set_mbcustomunitswitch(r.stProjProperty.bUnitSwitch);
        p->set_mstrunit(r.stProjProperty.charUnit);
        p->set_mbthermocouple(r.stProjProperty.bThermocouple);
        info.set_mu32totalpoint(r.u32TotalPoint);
        info.set_mu32totalsegment(r.u32TotalSegment);
        for (uint32_t i = 0; i < r.u32TotalPoint; ++i) {
            ProtoRefPoint* q = info.add_mprotorefpoints();
            q->set_mf64xvalue(r.REFPoint[i].f64XValue);
            q->set_mf64yvalue(r.REFPoint[i].f64YValue);
            q->set_mu32mathsign(r.REFPoint[i].u8MathSign);
            q->set_mbsegsign(r.REFPoint[i].bSegSign);
        }
        uint32_t paras = 0;
        for (uint32_t k = 0; k < r.u32TotalSegment && k < kSensorMaxSegments; ++k) {
            const structSegProperty& s = r.stSegProperty[k];
            ProtoSegProperty* q = info.add_mprotosegproperties();
            q->set_mu32mathsign(s.u8MathSign);
            q->set_mu32beginpoi(s.u32BeginPoi);
            q->set_mu32endpoi(s.u32EndPoi);
            q->set_mu32littlesegnum(s.u32LittleSegNum);
            q->set_mu32parapos(s.u32ParaPos);
            if (s.u8MathSign == 1) paras = s.u32ParaPos + kSensorParaPerPiece * s.u32LittleSegNum;
        }
        for (uint32_t i = 0; i < paras && i < kSensorMaxParas; ++i) info.add_mf64segparas(r.SegPara[i]);
        return;
    }
    const structTemptureProperty& t = r.stTemptureProperty;
    ProtoTempProperty* p = info.mutable_mprototempproperty();
    p->set_mf32rtdr0(t.f32RtdR0);
    p->set_mstrtempsensorname(t.chTempSensorName);
    p->set_mstrtempsensorunit(t.chTempSensorUnit);
    p->set_mu32tctype(t.u8TcType);
    p->set_mbtccodeterminalint(t.bTcCodeTerminalInt);
    p->set_mu32tempsensortype(t.u8TempSensorType);
    p->set_mu32rtdaf(t.u8RtdAf);
    p->set_mu32thermresvalue(t.u16ThermResValue);
    p->set_mf32codeterminaluser(t.f32CodeTerminalUser);
    p->set_ms32type(t.eType);
}

// ------------------------------------------------------------- storage hooks

void CDataManage::ProtoSensorFuncInfoDefault(ProtoSensorFuncInfo& out) {
    SEN_Init();
    ProtoSensorFuncInfoGet(out);
}

void CDataManage::ProtoSensorFuncInfoGet(ProtoSensorFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_protoSensorFuncCurrInfo);
}

void CDataManage::ProtoSensorFuncInfoSet(const ProtoSensorFuncInfo& in) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_protoSensorFuncCurrInfo.CopyFrom(in);
    }
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        structSensorProjLeast& r = *m_bufSensor;
        r.bDisplayValue = in.mbdisplayvalue();
        r.bTempture = in.mbtempture();
        const ProtoProjProperty& p = in.mprotoprojproperty();
        r.stProjProperty.eType = SEN_NoSensorFunction(p.ms32type()) || p.ms32type() < 0 || p.ms32type() > TYPE_SENSOR
                                     ? TYPE_DCV
                                     : static_cast<MeasureTypeEnum>(p.ms32type());
        const ProtoTempProperty& t = in.mprototempproperty();
        structTemptureProperty& rt = r.stTemptureProperty;
        SEN_CopyText(rt.chTempSensorName, t.mstrtempsensorname());
        SEN_CopyText(rt.chTempSensorUnit, t.mstrtempsensorunit());
        rt.u8TempSensorType = static_cast<uint8_t>(std::min<uint32_t>(t.mu32tempsensortype(), 255));
        rt.u8RtdAf = static_cast<uint8_t>(std::min<uint32_t>(t.mu32rtdaf(), 255));
        rt.u16ThermResValue = static_cast<uint16_t>(std::min<uint32_t>(t.mu32thermresvalue(), 65535));
        rt.u8TcType = static_cast<uint8_t>(std::min<uint32_t>(t.mu32tctype(), 255));
        rt.bTcCodeTerminalInt = t.mbtccodeterminalint();
        rt.f32RtdR0 = t.mf32rtdr0();
        rt.f32CodeTerminalUser = t.mf32codeterminaluser();
        rt.eType = t.ms32type() == TYPE_OHM2 || t.ms32type() == TYPE_OHM4 ? static_cast<MeasureTypeEnum>(t.ms32type())
                                                                           : TYPE_DCV;
        // A stored custom table is bounded by the stores, whatever its counts say.
        const uint32_t points = std::min<uint32_t>(in.mprotorefpoints_size(), kSensorMaxPoints);
        for (uint32_t i = 0; i < points; ++i) {
            const ProtoRefPoint& q = in.mprotorefpoints(static_cast<int>(i));
            r.REFPoint[i] = {q.mf64xvalue(), q.mf64yvalue(), static_cast<uint8_t>(q.mu32mathsign() == 1 ? 1 : 0),
                             q.mbsegsign()};
        }
        r.u32TotalPoint = points;
        SEN_CopyText(r.stProjProperty.charName, p.mstrname());
        SEN_CopyText(r.stProjProperty.charUnit, p.mstrunit());
        r.stProjProperty.bThermocouple = p.mbthermocouple();
        r.stProjProperty.bUnitSwitch = p.mbcustomunitswitch();
        r.u32TotalSegment = std::min<uint32_t>(in.mu32totalsegment(), kSensorMaxSegments);
    }
    if (FunctionManage::instance().ProtoSensorFuncStateGet()) SensConfigLoad();
    postUISensorConfig();
}

void CDataManage::postUISensorConfig() {
    ValueMap map;
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        const structSensorProjLeast& r = *m_bufSensor;
        const structTemptureProperty& t = r.stTemptureProperty;
        insertBval(map, 0x1707, r.bTempture);
        insertBval(map, 0x170D, r.bDisplayValue);
        insertS32(map, 0x170E, t.u8TempSensorType);
        insertS32(map, 0x1705, r.stProjProperty.eType);
        insertS32(map, 0x1704, t.eType);
        insertStr(map, 0x1706, r.stProjProperty.charName);
        switch (t.u8TempSensorType) {
        case 0: insertS32(map, 0x1703, t.u8TcType); break;
        case 1: insertS32(map, 0x1703, t.u8RtdAf); break;
        case 2: insertS32(map, 0x1703, t.u16ThermResValue); break;
        default: break;
        }
        insertStr(map, 0x1711, t.chTempSensorUnit);
        insertBval(map, 0x170C, r.stProjProperty.bUnitSwitch);
        insertStr(map, 0x1712, r.stProjProperty.charUnit);
        insertF32(map, 0x170B, t.f32RtdR0);
        insertF32(map, 0x170A, t.f32CodeTerminalUser);
    }
    push(UPDATE_SENSOR_CONFIG, std::move(map));
}

// ------------------------------------------------------------- edits

int CDataManage::SEN_EditSet(const std::function<int(structSensorProjLeast&)>& change, bool notify) {
    int result;
    {
        std::lock_guard<std::mutex> lock(m_sensorMtx);
        result = change(*m_bufSensor);
    }
    if (notify && (result == 0 || result == 130 || result == 131)) postUISensorConfig();
    return result;
}

int CDataManage::SensTempOrCustomSet(bool temperature) {
    return SEN_EditSet([&](structSensorProjLeast& r) { r.bTempture = temperature; return 0; }, false);
}

int CDataManage::SensNewId(int type) {
    if (type < 0 || type > 2) return 55;
    PrintI("cbSensNewId type=%d", type);
    return SEN_EditSet([&](structSensorProjLeast& r) {
        structTemptureProperty& t = r.stTemptureProperty;
        t.u8TempSensorType = static_cast<uint8_t>(type);
        // The kind brings a measuring function it can use: a thermocouple is
        // measured in DC volts only, a resistive probe keeps its 2- or 4-wire
        // choice or is measured 4-wire. Whatever kind came before, the probe
        // is never measured on the previous kind's path.
        const bool resistive = t.eType == TYPE_OHM2 || t.eType == TYPE_OHM4;
        if (type == 0) {
            t.eType = TYPE_DCV;
        } else if (!resistive) {
            t.eType = TYPE_OHM4;
        }
        return 0;
    }, false);
}

void CDataManage::SEN_ActiveUnitSet(const std::string& unit) {
    std::shared_ptr<const structSensorProjLeast> active;
    {
        // Copied and swapped whole: the loop keeps the snapshot it holds.
        std::lock_guard<std::mutex> lock(m_sensorActiveMtx);
        auto next = std::make_shared<structSensorProjLeast>(*m_currSensor);
        SEN_CopyText(next->stTemptureProperty.chTempSensorUnit, unit);
        m_currSensor = next;
        active = std::move(next);
    }
    ProtoSensorFuncInfoUpdate(*active);
}

int CDataManage::SensTempFuncSet(int f) {
    return SEN_EditSet([&](structSensorProjLeast& r) {
        if (SEN_NoSensorFunction(f) || !r.bTempture) return 55;
        const bool tc = r.stTemptureProperty.u8TempSensorType == 0;
        if (tc ? f != TYPE_DCV : (f != TYPE_OHM2 && f != TYPE_OHM4)) return 55;
        PrintI(" type=%d", f);
        r.stTemptureProperty.eType = static_cast<MeasureTypeEnum>(f);
        return 0;
    }, false);
}

int CDataManage::SensTypeSet(int type) {
    return SEN_EditSet([&](structSensorProjLeast& r) {
        structTemptureProperty& t = r.stTemptureProperty;
        const unsigned u = static_cast<unsigned>(type);
        switch (t.u8TempSensorType) {
        case 0: if (u > 7) return 56; t.u8TcType = static_cast<uint8_t>(u); break;
        case 1: if (u > 3) return 56; t.u8RtdAf = static_cast<uint8_t>(u); break;
        case 2: if (u > 4) return 56; t.u16ThermResValue = static_cast<uint16_t>(u); break;
        default: return 58;
        }
        PrintI(" type=%d, subtype=%d", t.u8TempSensorType, type);
        return 0;
    }, false);
}
