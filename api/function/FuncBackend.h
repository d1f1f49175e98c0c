#pragma once
#include <string>

#include "inc_type.h"
#include "ids/service_id.h"
#include "proto_data.pb.h"

// Everything the function settings drive or ask outside themselves: the
// converter driver, the measurement engine, the system settings and the UI
// link. The service binds the real objects (FuncBackend::live()); tests bind
// recording fakes and so watch every push in order.
class FuncBackend {
public:
    virtual ~FuncBackend() = default;

    // The backend of the running service.
    static FuncBackend& live();

    // System settings.
    virtual std::string model() = 0;
    virtual unsigned int cfgVer() = 0;
    virtual bool beeperOn() = 0;
    virtual void beeperSet(bool on) = 0;
    virtual void systemInfoSync() = 0;

    // Converter driver.
    virtual void adcSetMode412(bool mv412) = 0;
    virtual void adcSetCfgVer(unsigned int version) = 0;
    virtual void adcSetDcvImpe(unsigned int impe) = 0;
    virtual void adcUpdateConfig(MeasureTypeEnum func, const structFuncConfig& cfg, bool update) = 0;

    // Measurement engine.
    virtual void updateMainFunc(MeasureTypeEnum func, const structFuncConfig& cfg) = 0;
    virtual void updateContResi(float ohms) = 0;
    virtual void update2ndFunc(bool enable, MeasureTypeEnum func, const structFuncConfig& cfg) = 0;
    virtual void clearFunc2Buffer() = 0;
    virtual bool ohmShow5() = 0;
    virtual void setOhmShow5(bool on) = 0;
    // Latest reading text of the primary (secondary false) or second display:
    // 0, or the engine's error row with `text` untouched. With `waitFirst`
    // an empty display is waited on for its first reading.
    virtual int readingText(bool secondary, bool waitFirst, std::string& text) = 0;
    // A remote range parameter as a full-scale number, then as a range index.
    virtual int rangeNumber(int func, const Value& value, double& number) = 0;
    virtual int rangeIndex(int func, double number, int& range) = 0;
    // The dual-display matrix: may `second` show beside `primary`?
    virtual bool dualAllowed(int second, int primary) = 0;
    // Base function of the active sensor definition (FREQ curves already
    // mapped to ACV); the caller checks it.
    virtual int sensorBaseFunction() = 0;

    // UI link.
    virtual void push(service_id id, google::protobuf::Map<int, Value> payload) = 0;
};
