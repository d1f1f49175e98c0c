#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "Manager.h"
#include "proto_data.pb.h"

// The measurement engine: acquisition loop, calibration, auto range, trigger,
// sensors, math and the reading buffers. It owns the math, trigger and sensor
// records of the settings mirror and the reading-buffer record.
//
// Present so far: the three records with their default, get and set
// operations, the reading-buffer record, the UI pushes of the trigger, math
// and sensor settings and the sensor reference-point query. The measurement
// loop and the remaining handlers come with the engine work; start() posts
// nothing yet.
class CDataManage : public Manager {
public:
    // The one engine, created on first use and kept until exit.
    static CDataManage* instance();

    // Starts the measurement loop and the external-trigger waiter on the
    // shared pool. Nothing runs yet: the loop comes with the engine.
    void start();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    // A UI notification client connected: push trigger, math and sensor settings.
    void onClientConnect() override;

    void postUITrigConfig();
    void postUICalculateConfig();
    void postUISensorConfig();

    // Settings records of the mirror: factory defaults (the engine's record
    // returns to them), a copy of the current record, and applying a stored one.
    void ProtoMathFuncInfoDefault(ProtoMathFuncInfo& out);
    void ProtoMathFuncInfoGet(ProtoMathFuncInfo& out);
    void ProtoMathFuncInfoSet(const ProtoMathFuncInfo& in);
    void ProtoTriggerFuncInfoDefault(ProtoTriggerFuncInfo& out);
    void ProtoTriggerFuncInfoGet(ProtoTriggerFuncInfo& out);
    void ProtoTriggerFuncInfoSet(const ProtoTriggerFuncInfo& in);
    void ProtoSensorFuncInfoDefault(ProtoSensorFuncInfo& out);
    void ProtoSensorFuncInfoGet(ProtoSensorFuncInfo& out);
    void ProtoSensorFuncInfoSet(const ProtoSensorFuncInfo& in);
    // Rebuilds the sensor record from the current sensor project.
    void ProtoSensorFuncInfoUpdate();

    // The reading-buffer record (function, range, rate, unit, readings).
    void ProtoDataInfoGet(ProtoDataInfo& out);

    // Triggers one reading for a waiting SCPI read.
    int ScpiTrigSingleTriggered();

    // How long a SCPI reading query waits for its reading, in ms; a VXI-11
    // client's read sets its own time-out here.
    std::atomic<uint32_t> m_u32BufferTimeOut{5000};

    // Five-digit resistance display.
    bool GetOHMShow5() const;
    void SetOHMShow5(bool on);

    // 0x20001701: one SensRefs under key 0, an item per reference point of
    // the current sensor project.
    int cbSensRefDataGet(unsigned int source, const google::protobuf::Map<int, Value>& in,
                         google::protobuf::Map<int, Value>* out);

private:
    CDataManage();

    static void mathDefaults(ProtoMathFuncInfo& info);
    static void triggerDefaults(ProtoTriggerFuncInfo& info);
    static void sensorDefaults(ProtoSensorFuncInfo& info);

    // The records are read by the storage timer's poller, the notification
    // jobs on the pool and the handlers on the UI and SCPI pollers.
    mutable std::mutex _mtx;
    ProtoMathFuncInfo m_protoMathFuncInfo;
    ProtoTriggerFuncInfo m_protoTriggerFuncInfo;
    ProtoSensorFuncInfo m_protoSensorFuncCurrInfo;
    bool m_ohmShow5 = false;

    // Guards the reading buffer and its record.
    std::mutex m_bufferMtx;
    ProtoDataInfo m_protoDataInfo;
};
