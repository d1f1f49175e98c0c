// The function settings' backend in the running service: the converter
// driver, the engine, the system settings and the hub.
#include <utility>

#include "CDataManage.h"
#include "CFEM.h"
#include "drv/vorna_adc/CVORNA_ADC.h"
#include "FuncBackend.h"
#include "Singelton.h"
#include "SystemSetup.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

SystemSetup& system() {
    return *Copperwren::Singleton<SystemSetup>::Instance();
}

class LiveBackend : public FuncBackend {
public:
    std::string model() override { return system().API_GetModel(); }
    unsigned int cfgVer() override { return system().API_GetCfgVer(); }
    bool beeperOn() override { return system().API_Beeper_StateGet(); }
    void beeperSet(bool on) override { system().API_Beeper_StateSet(on); }
    void systemInfoSync() override { system().SystemInfoSyncToUI(); }

    void adcSetMode412(bool) override {}
    void adcSetCfgVer(unsigned int) override {}
    void adcSetDcvImpe(unsigned int) override {}
    void adcUpdateConfig(MeasureTypeEnum, const structFuncConfig&, bool) override {}

    void updateMainFunc(MeasureTypeEnum, const structFuncConfig&) override {}
    void updateContResi(float) override {}
    void update2ndFunc(bool, MeasureTypeEnum, const structFuncConfig&) override {}
    void clearFunc2Buffer() override {}
    bool ohmShow5() override { return CDataManage::instance()->GetOHMShow5(); }
    void setOhmShow5(bool on) override { CDataManage::instance()->SetOHMShow5(on); }
    int readingText(bool, std::string&) override { return 44; }
    int rangeNumber(int, const Value&, double&) override { return 54; }
    int rangeIndex(int, double, int&) override { return 54; }
    bool dualAllowed(int, int) override { return false; }

    int sensorBaseFunction() override {
        ProtoSensorFuncInfo sensor;
        CDataManage::instance()->ProtoSensorFuncInfoGet(sensor);
        if (sensor.mbtempture()) {
            return sensor.mprototempproperty().ms32type();
        }
        const int base = sensor.mprotoprojproperty().ms32type();
        return base == TYPE_FREQ ? TYPE_ACV : base;
    }

    void push(service_id id, ValueMap payload) override { CFEM::pushMessage(id, std::move(payload)); }
};

} // namespace

FuncBackend& FuncBackend::live() {
    static LiveBackend* backend = new LiveBackend();
    return *backend;
}
