#include "CDataManage.h"

#include <cstdio>
#include <utility>

#include "CFEM.h"
#include "RangeInfoTables.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "inc_enum.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

// Math function selected at start: minimum/maximum statistics.
constexpr int32_t kMathMinMax = 7;
// dBm reference resistance in ohms.
constexpr uint32_t kDefaultRefR = 600;
// "℃", the unit of the default temperature sensor.
constexpr const char* kCelsius = "\u2103";

} // namespace

CDataManage* CDataManage::instance() {
    // Never destroyed: pool tasks may still use it while the process ends.
    static CDataManage* engine = new CDataManage();
    return engine;
}

CDataManage::CDataManage()
    : Manager("dataAcq_manager"),
      // The first model's rows until a model is known, so that a current
      // lookup never meets a null row set.
      m_stRangeInfoDCI(stRangeInfoDCI),
      m_stRangeInfoACI(stRangeInfoACI),
      m_frontEnd(&AcqFrontEnd::converter()),
      m_clock(&EngineClock::steady()),
      m_caliDataMap(std::make_shared<const CaliDataMap>()) {
    mathDefaults(m_protoMathFuncInfo);
    triggerDefaults(m_protoTriggerFuncInfo);
    sensorDefaults(m_protoSensorFuncCurrInfo);
    PrintI("CDataManage ctor this:%p", static_cast<void*>(this));
    DM_CapabilityInit(Copperwren::Singleton<SystemSetup>::Instance()->API_GetModel());
}

structFuncConfig CDataManage::defaultConfig() {
    structFuncConfig config;
    config.bMainConfig = true;
    config.s32RangeMax = 1;
    config.s32Range = 0;
    config.s32AutoZ = 1;
    config.eRate = E_Slow;
    config.eRealFunc = TYPE_DCV;
    return config;
}

void CDataManage::onClientConnect() {
    std::printf("CDataManage onClientConnect\n");
    postUITrigConfig();
    postUICalculateConfig();
    postUISensorConfig();
}

// ------------------------------------------------------------- defaults

void CDataManage::mathDefaults(ProtoMathFuncInfo& info) {
    info.Clear();
    info.set_ms32mathfunc(kMathMinMax);
    info.set_mbmathswitch(false);
    info.set_mf64db(0.0);
    info.set_mu32refr(kDefaultRefR);
    info.mutable_mprotolimit()->set_mf64low(0.0);
    info.mutable_mprotolimit()->set_mf64high(0.0);
    for (int i = 0; i < MEASURE_TYPE_COUNT; ++i) {
        info.add_mprotocalccfgs();
    }
}

void CDataManage::triggerDefaults(ProtoTriggerFuncInfo& info) {
    info.Clear();
    info.set_ms32trigsrc(0);  // automatic trigger
    info.set_mbhold(false);
    info.set_mu32sensidx(0);
    info.set_mf32sensitivity(0.0001f);
    info.set_mu32sample(1);
    info.set_mu32extedge(0);
    info.set_mu32interval(400);
    info.set_mbvmc(false);
    info.set_mu32vmcpolar(1);
    info.set_mu32vmcpulsewidth(100);
}

void CDataManage::sensorDefaults(ProtoSensorFuncInfo& info) {
    info.Clear();
    ProtoProjProperty* proj = info.mutable_mprotoprojproperty();
    proj->set_mstrname("Sensor");
    proj->set_ms32type(TYPE_DCV);
    proj->set_mstrunit(kCelsius);
    proj->set_mbcustomunitswitch(true);
    info.set_mbtempture(true);
    ProtoTempProperty* temp = info.mutable_mprototempproperty();
    temp->set_mstrtempsensorname("Temperature");
    temp->set_mstrtempsensorunit(kCelsius);
    temp->set_mu32tempsensortype(0);  // thermocouple
    temp->set_mf32rtdr0(100.0f);
    temp->set_mbtccodeterminalint(true);
    info.set_mbdisplayvalue(false);
}

// ------------------------------------------------------------- records

void CDataManage::ProtoSensorFuncInfoDefault(ProtoSensorFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    sensorDefaults(m_protoSensorFuncCurrInfo);
    out.CopyFrom(m_protoSensorFuncCurrInfo);
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
    postUISensorConfig();
}

void CDataManage::ProtoSensorFuncInfoUpdate() {
    // No sensor project is active beyond the record itself: the record
    // already is the current project.
}

bool CDataManage::GetOHMShow5() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_ohmShow5;
}

void CDataManage::SetOHMShow5(bool on) {
    std::lock_guard<std::mutex> lock(_mtx);
    m_ohmShow5 = on;
}

// ------------------------------------------------------------- pushes

void CDataManage::postUISensorConfig() {
    ValueMap map;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        const ProtoSensorFuncInfo& sensor = m_protoSensorFuncCurrInfo;
        const ProtoTempProperty& temp = sensor.mprototempproperty();
        const ProtoProjProperty& proj = sensor.mprotoprojproperty();
        insertBval(map, 0x1707, sensor.mbtempture());
        insertBval(map, 0x170D, sensor.mbdisplayvalue());
        insertS32(map, 0x170E, temp.mu32tempsensortype());
        insertS32(map, 0x1705, proj.ms32type());
        insertS32(map, 0x1704, temp.ms32type());
        insertStr(map, 0x1706, proj.mstrname().c_str());
        switch (temp.mu32tempsensortype()) {
        case 0: insertS32(map, 0x1703, temp.mu32tctype()); break;
        case 1: insertS32(map, 0x1703, temp.mu32rtdaf()); break;
        case 2: insertS32(map, 0x1703, temp.mu32thermresvalue()); break;
        default: break;
        }
        insertStr(map, 0x1711, temp.mstrtempsensorunit().c_str());
        insertBval(map, 0x170C, proj.mbcustomunitswitch());
        insertStr(map, 0x1712, proj.mstrunit().c_str());
        insertF32(map, 0x170B, temp.mf32rtdr0());
        insertF32(map, 0x170A, temp.mf32codeterminaluser());
    }
    push(UPDATE_SENSOR_CONFIG, std::move(map));
}

// ------------------------------------------------------------- handlers

int CDataManage::cbSensRefDataGet(unsigned int /*source*/, const ValueMap& /*in*/, ValueMap* out) {
    SensRefs refs;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        for (const ProtoRefPoint& point : m_protoSensorFuncCurrInfo.mprotorefpoints()) {
            SensRefs::Item* item = refs.add_item();
            item->set_first(point.mf64xvalue());
            item->set_second(point.mf64yvalue());
            item->set_mathsign(point.mu32mathsign());
            item->set_segsign(point.mbsegsign());
        }
    }
    insertRaw(*out, 0, refs.SerializeAsString());
    return 0;
}
