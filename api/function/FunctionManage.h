#pragma once
#include <map>
#include <mutex>
#include <vector>

#include "Manager.h"
#include "inc_type.h"
#include "proto_data.pb.h"

// The function-settings manager: which measurement function is the primary
// one, the secondary display, and for every function its range, auto range,
// rate and auto-zero. It owns the ProtoBaseFuncInfo record that the settings
// mirror stores.
//
// Present so far: the working configuration, its record (default, get, set)
// and the UI pushes of both function configurations. The message handlers and
// the normalisation that hands a configuration to the engine and the converter
// come with the function-settings work.
class FunctionManage : public Manager {
public:
    // The one manager, created on first use and kept until exit.
    static FunctionManage& instance();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    // A UI notification client connected: push both function configurations.
    void onClientConnect() override;

    // Factory settings for every function; the record follows them.
    void FunctionManageInit();

    // UPDATE_FUNCTION_CONFIG (primary) and UPDATE_FUNCTION2_CONFIG (secondary).
    void postUIFuncConfig();
    void postUIFuncConfig2();

    // The settings record: factory defaults (the working settings return to
    // them too), a copy of the current record, and applying a stored record.
    // A record whose function list does not hold exactly one entry per
    // function is refused and changes nothing.
    void ProtoBaseFuncInfoDefault(ProtoBaseFuncInfo& out);
    void ProtoBaseFuncInfoGet(ProtoBaseFuncInfo& out);
    void ProtoBaseFuncInfoSet(const ProtoBaseFuncInfo& in);

private:
    FunctionManage();

    void initLocked();
    // Called with _mtx held: the notification maps.
    google::protobuf::Map<int, Value> funcConfigMap() const;
    google::protobuf::Map<int, Value> funcConfig2Map() const;

    // Handlers of the UI link, the SCPI poller, the storage timer and the
    // notification jobs reach the settings from different threads.
    mutable std::mutex _mtx;
    std::vector<structFuncConfig> m_vFuncCfgs;  // indexed by MeasureTypeEnum
    MeasureTypeEnum m_eDMMFunc = TYPE_DCV;
    MeasureTypeEnum m_eDMMFunc2 = TYPE_DCV;
    bool m_bFunc2Enable = false;
    bool m_bAutoRange = false;
    unsigned int m_u32DcvImpe = 0;
    float m_contResi = 10.0f;
    ProtoBaseFuncInfo m_protoBaseFuncInfo;
};
