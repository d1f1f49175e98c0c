#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FuncBackend.h"
#include "FuncKeywordTables.h"
#include "FuncRangeTables.h"
#include "Manager.h"
#include "inc_type.h"
#include "proto_data.pb.h"

class FunctionManage;
struct FuncMessage;
using FuncHandler = int (FunctionManage::*)(const FuncMessage& row, unsigned int source,
                                            const google::protobuf::Map<int, Value>& in,
                                            google::protobuf::Map<int, Value>* out);

// One binding of the message table: the id, the handler's name for its log
// lines, the handler, and what a family member stands for (function, request
// and reply key, keyword table of the second display).
struct FuncMessage {
    unsigned int id;
    const char* name;
    FuncHandler handler;
    int32_t func;
    int32_t key;
    const KeywordFuncTable* keywords;
};

// The function-settings manager: the single owner of the measurement
// configuration (primary function, second display, per-function range, auto
// range, rate and auto-zero, DC-voltage input impedance, continuity
// threshold). Every change is normalised, then pushed to the engine, the
// converter driver and the UI, and mirrored into the ProtoBaseFuncInfo record
// that the settings mirror stores.
//
// Thread safety: UI sessions on several pollers, SCPI on the first poller, the
// storage timer and the measurement loop all call in. One recursive mutex
// guards records, flags and the mirror and is held across the pushes, so a
// push always carries a consistent state; lock order is this manager, then
// the driver, then the engine. The range and keyword conversions read
// immutable tables and take no lock; the FREQ/PERIOD display ranges are atomic.
class FunctionManage : public Manager {
public:
    static constexpr unsigned int kMessageCount = 110;
    static const FuncMessage kMessages[kMessageCount];

    // The service's manager, bound to the live backend. Built in two steps:
    // construction, then the first push once instance() already answers, as
    // the engine asks this manager back while it takes a configuration.
    static FunctionManage& instance();

    // A manager on any backend (tests); call FM_InitialPush() afterwards.
    explicit FunctionManage(FuncBackend& backend);

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    void onClientConnect() override;

    void FM_CapabilityInit(const std::string& model);
    void FunctionManageInit();
    void FM_InitialPush();
    void FM_UpdateConfig(bool update);
    int FM_UpdateConfig2();

    int FM_SetFunction(MeasureTypeEnum func);
    int FM_SetFunction2(int func2);
    MeasureTypeEnum FM_GetFunction();
    int FM_GetRange(int func);
    int FM_GetRealRange(int func);
    int FM_GetRate();
    int FM_GetRate(int func);
    int FM_SetRate(MeasureTypeEnum func, RateEnum rate);
    int FM_SetRange(MeasureTypeEnum func, int range);
    // The measurement loop's auto-range step of `func` from range `from` to
    // `to`: taken only while `func` is the primary function, runs auto range
    // and is still on `from` (for SENSOR, whose record keeps no range, only
    // the first two). `apply` (front end and engine) runs under this
    // manager's lock, so no configuration change can come between the
    // decision and the record; the record keeps `to` when it succeeds.
    int AutoRangeRealRangeUpdate(int func, int from, int to, const std::function<bool()>& apply);
    void FreqPeriRealRangeSet(int func, double value);
    int FreqPeriRealRangeGet(int func);
    int ContResiConfig(int ohms);

    void postUIFuncConfig();
    void postUIFuncConfig2();

    void ProtoBaseFuncInfoDefault(ProtoBaseFuncInfo& out);
    void ProtoBaseFuncInfoSet(const ProtoBaseFuncInfo& in);
    // A stored record the owner does not apply at all (not one entry per
    // function): 44, logged; else 0. Invalid fields of an applied record
    // take their factory values.
    static int ProtoBaseFuncInfoCheck(const ProtoBaseFuncInfo& in);
    void ProtoBaseFuncInfoGet(ProtoBaseFuncInfo& out);
    bool ProtoSensorFuncStateGet();

    double FM_RangeTransToValue(int func, int range) const;
    std::string FM_RangeTransToStr(int func, int range) const;
    int FM_RangeTransToRealValue(int func, int range) const;
    std::string FM_FuncTransToStrForCorvane(int func) const;
    std::string FM_FuncTransToStrForVorna(int func) const;

    // Highest range index of the model's tables (-1 for a function without
    // ranges).
    int modelRangeMax(int func) const;
    // The range a range index of remote control selects (the Corvane set
    // sends its range words and values so, -1 for auto range): 0, or 56 for
    // an index the model lacks.
    int FM_RangeOfIndex(int func, int index, int& range) const;

private:
    using ValueMap = google::protobuf::Map<int, Value>;

    // Normalises the primary record as a push does (start range, the AC path
    // of PERIOD/FREQ, the sensor's base function, impedance) so that no
    // record reaches the driver before it is in its tables.
    void normalisePrimary();
    int startRange(int func, const structFuncConfig& cfg) const;
    int sensorBase();
    bool rangeAllowed(int func, int range) const;
    void logIfChanged(MeasureTypeEnum func, const structFuncConfig& cfg);
    // What the engine and the converter measure by, as a whole update hands
    // it over: the primary function, its range, auto range, rate, auto-zero,
    // filter and path, and the DC input impedance.
    struct Measured {
        MeasureTypeEnum func;
        int32_t range;
        bool autoRange;
        RateEnum rate;
        int32_t autoZero;
        bool dcFilter;
        MeasureTypeEnum realFunc;
        unsigned int impedance;
        bool operator==(const Measured& other) const;
    };
    Measured measured() const;
    // After a setter changed the records (`before`: what was measured): the
    // whole update when what is measured changed. Otherwise only the UI hears
    // of the setting: a whole update restarts the acquisition and empties the
    // reading memory, which a setting that changes no reading must not do.
    void pushChange(const Measured& before);
    // The continuity threshold to the engine's beep window and to the UI.
    void pushThreshold();
    ValueMap funcConfigMap();
    ValueMap funcConfig2Map() const;
    ProtoFuncConfig& mirrorOf(int func);
    // A stored record with every invalid field replaced by its factory value.
    ProtoBaseFuncInfo sanitised(const ProtoBaseFuncInfo& in);

    // Message handlers (the table in FuncMessageTable.cpp binds them).
    int hFuncSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFuncGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFuncSelect(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFunc2Set(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFunc2Get(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFunc2Clean(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFunc2Select(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hReadingGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hFunc2OnGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hSecondSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hSecondGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hRateSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hRateGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hAutoZeroSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hAutoZeroGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hDcvImpeSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hDcvImpeGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hDcvImpeAutoSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hDcvImpeAutoGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hContResiSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hContResiGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hMeasRangSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hMeasRangGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hRangeSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hRangeGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hAutoSet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hAutoGet(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hOhmShow5Set(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    int hOhmShow5Get(const FuncMessage&, unsigned int, const ValueMap&, ValueMap*);
    // The range a range request stands for, or an error row.
    int requestedRange(const FuncMessage& row, unsigned int source, const Value& value, int& range);

    FuncBackend& m_backend;
    std::recursive_mutex m_mtx;

    std::vector<structFuncConfig> m_vFuncCfgs;
    MeasureTypeEnum m_eDMMFunc = TYPE_DCV;
    MeasureTypeEnum m_eDMMFunc2 = TYPE_DCV;
    bool m_bFunc2Enable = false;
    bool m_bAutoRange = false;
    unsigned int m_u32DcvImpe = 0;
    bool m_DcvImpeAuto = false;
    float m_contResi = 10.0f;
    bool m_contchange = false;
    ProtoBaseFuncInfo m_protoBaseFuncInfo;
    // The model's tables, chosen once at construction.
    const RangeValueTable* m_mapRangeEnumToValue = &mapRangeEnumToValue;
    const RangeTextTable* m_mapRangeEnumToString = &mapRangeEnumToString;
    const RangeRealValueTable* m_mapRangeEnumToRealValue = &mapRangeEnumToRealValue;
    std::atomic<int> m_s32FreqRange{0};
    std::atomic<int> m_s32PeriRange{0};
    MeasureTypeEnum m_eDMMFuncLast = TYPE_DCV;
    std::vector<structFuncConfig> m_vFuncCfgsLast;
};
