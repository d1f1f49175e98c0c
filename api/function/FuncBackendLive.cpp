// The function settings' backend in the running service: the converter
// driver, the engine, the system settings and the hub.
#include <utility>

#include "CDataManage.h"
#include "CFEM.h"
#include "drv/vorna_adc/CVORNA_ADC.h"
#include "FuncBackend.h"
#include "RangeInfoTables.h"
#include "Singelton.h"
#include "SystemSetup.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

CVORNA_ADC& adc() {
    return CVORNA_ADC::instance();
}

CDataManage& engine() {
    return *CDataManage::instance();
}

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

    void adcSetMode412(bool mv412) override { adc().VORNA_ADC_SetMode412(mv412); }
    void adcSetCfgVer(unsigned int version) override { adc().VORNA_ADC_SetCfgVer(version); }
    void adcSetDcvImpe(unsigned int impe) override { adc().VORNA_ADC_SetDcvImpe(impe); }
    void adcUpdateConfig(MeasureTypeEnum func, const structFuncConfig& cfg, bool update) override {
        adc().VORNA_ADC_UpdateConfig(func, cfg, update);
    }

    void updateMainFunc(MeasureTypeEnum func, const structFuncConfig& cfg) override {
        engine().DM_UpdateMainFunc(func, cfg);
    }
    void updateContResi(float ohms) override { engine().DM_UpdateContResi(ohms); }
    void update2ndFunc(bool enable, MeasureTypeEnum func, const structFuncConfig& cfg) override {
        engine().DM_Update2ndFunc(enable, func, cfg);
    }
    void clearFunc2Buffer() override { engine().DM_ClearFunc2Buffer(); }
    bool ohmShow5() override { return engine().GetOHMShow5(); }
    void setOhmShow5(bool on) override { engine().SetOHMShow5(on); }
    int readingText(bool secondary, bool waitFirst, std::string& text) override {
        if (waitFirst) return engine().awaitFunctionData(secondary, text);
        return secondary ? engine().GetFunction2Data(text) : engine().GetFunctionData(text);
    }
    int rangeNumber(int func, const Value& value, double& number) override {
        return engine().ScpiInputTransToMinMaxDef(func, value, number);
    }
    int rangeIndex(int func, double number, int& range) override {
        return engine().ScpiInputRangeTransToRealRange(func, number, range);
    }
    bool dualAllowed(int second, int primary) override {
        return second >= 0 && second < MEASURE_TYPE_COUNT && primary >= 0 && primary < MEASURE_TYPE_COUNT &&
               duaFuncMap[second][primary] == 2;
    }

    int sensorBaseFunction() override {
        ProtoSensorFuncInfo sensor;
        engine().ProtoSensorFuncInfoGet(sensor);
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
