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

// ------------------------------------------------------------- records

bool CDataManage::GetOHMShow5() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_ohmShow5;
}

void CDataManage::SetOHMShow5(bool on) {
    std::lock_guard<std::mutex> lock(_mtx);
    m_ohmShow5 = on;
}

// ------------------------------------------------------------- handlers

