#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AcqFrontEnd.h"
#include "CSafeQueue.h"
#include "EngineKeyedTables.h"
#include "EngineTypes.h"
#include "Manager.h"
#include "inc_type.h"
#include "proto_data.pb.h"

// The measurement engine: acquisition, calibration, auto range, trigger,
// sensors, math and the reading buffers. It owns the math, trigger and sensor
// records of the settings mirror and the reading-buffer record.
//
// Present so far: construction per model with the model's tables, the range
// row lookup, the frame decode, the calibration tables, the message table (ids
// bind as their handlers exist), the three settings records with their UI
// pushes and the sensor reference-point query. The measurement loop comes with
// its own work; start() loads the calibration and posts nothing yet.
class CDataManage : public Manager {
public:
    using ValueMap = google::protobuf::Map<int, Value>;
    using Handler = int (CDataManage::*)(unsigned int, const ValueMap&, ValueMap*);
    // Calibration segments by key function * 64 + range.
    using CaliDataMap = std::map<uint32_t, std::vector<structCaliData>>;

    // The one engine, created on first use and never destroyed: pool tasks
    // may still run in it while the process ends.
    static CDataManage* instance();

    // Loads the calibration. The measurement loop and the trigger waiter are
    // not part of this build: nothing is posted, so no pool worker is taken.
    void start();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    // A UI notification client connected: push trigger, math and sensor settings.
    void onClientConnect() override;

    // ---- model and range rows
    // Model "MV412" selects the first model's tables, any other text the E model's.
    void DM_CapabilityInit(const std::string& model);
    // The row of (function, range); FREQ and PERIOD choose by `value` (Hz, us).
    // Out-of-table ranges are clamped, a function above 11 gives the DEF row.
    structRangeInfo DM_GetRangeInfo(uint32_t func, uint32_t range, double value);
    float lastMinUnite() const { return m_f32MinUnite.load(std::memory_order_relaxed); }

    // ---- acquisition decode (measurement-loop thread only)
    bool DM_AcqData(uint32_t& func, structFuncConfig& config, uint8_t* readBuf, int32_t len);
    bool DM_RawData(uint32_t func, const structFuncConfig& config, uint8_t* readBuf, int64_t& data);
    bool DM_FreqData(uint32_t func, int64_t& freqData);
    // n-byte little-endian signed value (n 1..8); false and `out` unchanged otherwise.
    static bool DM_DataConverter(const uint8_t* buf, uint32_t n, int64_t& out);

    // ---- calibration
    void DM_CalInit();
    void DM_CacheCaliPoint(uint32_t func, uint32_t range, double point, double target);
    void DM_LoadCaliData(uint32_t key, std::vector<structCaliPoint> points);
    // Removes the point lists and tables of the given keys.
    void DM_RemoveCaliData(const std::vector<uint32_t>& keys);
    bool DM_CalData(uint32_t func, uint32_t range, int64_t raw, double& out);
    // The table in force: a snapshot that stays valid while tables are rebuilt.
    std::shared_ptr<const CaliDataMap> caliData() const;
    std::map<uint32_t, std::vector<structCaliPoint>> caliPoints() const;

    // ---- test seams: the converter and the clock in use.
    void setFrontEnd(AcqFrontEnd* frontEnd) { m_frontEnd = frontEnd; }
    void setClock(EngineClock* clock) { m_clock = clock; }

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

    // ---- range conversions of remote parameters (CRangeConvert.cpp)
    int ScpiInputTransToMinMaxDef(int func, const Value& in, double& out);
    int ScpiInputRangeTransToRealRange(int func, double value, int& range);

    // ---- configuration hand-over from the function settings (CFuncHandover.cpp)
    void DM_UpdateMainFunc(MeasureTypeEnum func, const structFuncConfig& config);
    void DM_Update2ndFunc(bool enable, MeasureTypeEnum func, const structFuncConfig& config);
    void DM_UpdateContResi(float ohms);
    void DM_ClearFunc2Buffer();
    int GetFunctionData(std::string& text);
    int GetFunction2Data(std::string& text);

    // Five-digit resistance display.
    bool GetOHMShow5() const;
    void SetOHMShow5(bool on);

    // ---- calibration procedure (CCalibrationProc.cpp)
    int cbCaliDataSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCaliDataGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCaliDataSave(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCaliStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCaliDataDelete(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCaliAccSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCaliAccSave(unsigned int source, const ValueMap& in, ValueMap* out);
    // Starts one calibration point of the current function and range with
    // `target` as its reference, unless a capture already runs (logged, 0).
    // 55 on the automatic range, which names no calibration key.
    int DM_RunCali(double target);
    // Writes the point lists of the current key (or of every key) to their
    // files and puts the current key's new table in force. 55 as above.
    int DM_SaveCaliPoint(bool all);
    // Writes the converter's acc values to "cali.acc"; 44 when it cannot.
    int DM_SaveCaliAcc();

private:
    // Removes every per-key point file, keeping "cali.cal".
    void removeCaliFiles();
    // The calibration worker: takes the point's raw values from
    // m_RawDataQueue and files the point under the key it started on.
    void caliWorker(uint64_t generation, uint32_t func, uint32_t range, double target);
    // Takes one raw value while `generation` (0: any) owns the capture,
    // waiting at most m_u32BufferTimeOut ms.
    bool caliTake(long long& value, uint64_t generation);
    bool caliOwns(uint64_t generation) const;
    // Ends the capture of `generation`: the running flag and the calibrating
    // status bit go unless a later capture holds them.
    void caliFinish(uint64_t generation);
    // The current function and range; false on the automatic range.
    bool caliCurrentKey(uint32_t& func, uint32_t& range);
    void caliCaptureInterval();
    // Each capture (a point or a raw read) raises the generation; the point
    // holding the calibrating status bit is m_caliPointGen (0: none).
    std::mutex m_caliRunMtx;
    std::atomic<uint64_t> m_caliGeneration{0};
    uint64_t m_caliPointGen = 0;

public:

    // 0x20001701: one SensRefs under key 0, an item per reference point of
    // the current sensor project.
    int cbSensRefDataGet(unsigned int source, const ValueMap& in, ValueMap* out);

    // ---- model-dependent state, set by DM_CapabilityInit
    int32_t mDataPointThreshold = 500000;
    const structRangeInfo* m_stRangeInfoDCI;
    const structRangeInfo* m_stRangeInfoACI;
    F64KeyedTable m_scpiF64RangeLimitMap;
    F64KeyedTable m_scpiF64RealRangeMap;
    F64KeyedTable m_F64LimitMap;
    F64KeyedTable m_scpiF64MEASLimitMap;
    ResolutionByRateTable m_rangeResolutionToRateMapCurrent;
    uint32_t m_u32IntervalMin = 8;
    uint32_t m_u32CapRangeMax = 7;

    // ---- loop state (used by the measurement loop)
    bool m_zAcqRunning = false;
    std::atomic<bool> m_zCaliRunning{false};
    bool m_zTempRunning = false;
    CSafeQueue<long long> m_RawDataQueue;
    std::atomic<bool> m_zScpiReadDataRunning{false};
    CSafeQueue<std::string> m_scpiReadDataQueue;
    std::string m_strScpiReadData;
    uint8_t m_u8ReadBuf[34] = {};
    bool m_confChange = false;
    bool m_capScaning = false;
    bool m_BeepSwitch = false;
    double m_lastVal = 0;
    int32_t m_invalidCount = 0;
    std::deque<double> m_tempQueue;
    std::deque<double> m_buffer;
    std::vector<double> m_buffer2;
    uint32_t m_bufferOffset = 0;
    structBeeperRange m_stContRange{0.0f, 10.0f};
    structBeeperRange m_stDiodRange{0.1f, 2.1f};
    char m_sepChar = ',';
    char m_dotChar = '.';
    bool m_plusSign = false;
    bool m_b2ndEnable = false;
    bool m_bFunSwitch = false;
    MeasureTypeEnum m_e2ndFunc = TYPE_DCV;
    structFuncConfig m_2ndConfig = defaultConfig();
    int32_t m_2ndtriggertype = 1;
    MeasureTypeEnum m_eMainFunc = TYPE_DCV;
    structFuncConfig m_mainConfig = defaultConfig();
    structTriggerInfo m_trigInfo;
    bool m_bWaitForTrigger = false;
    std::atomic<uint32_t> m_singleCountDown{0};
    uint32_t m_sampleCount = 1;
    bool m_triggered = false;
    bool m_triggerChange = false;
    bool m_holdState = false;
    int32_t m_holdNum = 0;
    int32_t m_holdCount = 0;
    double m_holdMeasValueNew = 0;
    double m_holdTemp = 0;
    bool m_holdmidstat = false;
    int32_t m_measState = 0;
    double m_temprel = 0;
    int32_t m_senType = 0;
    MeasureTypeEnum m_SeneType = TYPE_DCV;
    uint64_t m_bufferStartTime = 0;
    uint64_t m_bufferCurrentTime = 0;
    uint64_t m_lastDataTime = 0;
    uint64_t m_lastFreqTime = 0;
    uint64_t m_capDataTime = 0;
    uint64_t m_mainSyncTime = 0;
    uint64_t m_2ndSyncTime = 0;
    std::string m_tempnum;
    std::string m_tempunit;
    bool PFhightag = false;
    bool PFlowtag = false;
    bool m_autoRangeLocked = false;
    structTriggerInfo m_trigInfoLast;

private:
    CDataManage();
    ~CDataManage() override = default;

    static structFuncConfig defaultConfig();
    static void mathDefaults(ProtoMathFuncInfo& info);
    static void triggerDefaults(ProtoTriggerFuncInfo& info);
    static void sensorDefaults(ProtoSensorFuncInfo& info);

    // Decode helpers of DM_RawData.
    bool capCounter(int64_t& data);
    bool capChargeSlope(const structFuncConfig& config, int64_t& data);
    bool capSample(int64_t& sample);
    void waitSince(uint64_t start, uint64_t waitMs);
    int64_t capHistoryFilter(int64_t t);
    void capHistoryReset();

    // Calibration helpers.
    void readCaliFile(const std::string& path, std::map<uint32_t, std::vector<structCaliPoint>>& points);
    void readAccFile(const std::string& path);
    static void cachePoint(std::map<uint32_t, std::vector<structCaliPoint>>& points, const structCaliPoint& p);
    static std::vector<structCaliData> buildSegments(std::vector<structCaliPoint> points);
    void swapCaliData(std::shared_ptr<const CaliDataMap> next);

    // The unit of the active sensor for the SENSOR row, cut at a character
    // boundary to fit the row's unit text.
    void sensorUnit(char (&unit)[4]);

    AcqFrontEnd* m_frontEnd;
    EngineClock* m_clock;
    // f32MinUnite of the row last returned by DM_GetRangeInfo.
    std::atomic<float> m_f32MinUnite{1.0f};

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

    // Calibration: the point lists (and every rebuild of the tables) under
    // m_caliMtx; the tables in force are swapped in whole under
    // m_caliDataMtx, so the loop never sees one half built.
    mutable std::mutex m_caliMtx;
    std::map<uint32_t, std::vector<structCaliPoint>> m_CaliPointMap;
    mutable std::mutex m_caliDataMtx;
    std::shared_ptr<const CaliDataMap> m_caliDataMap;

    // Capacitance charge-slope history: accepted counts, next slot, stored
    // entries plus one, and a moderate deviation being held back.
    int64_t historyCapData[10] = {};
    int32_t historyCapIndex = 0;
    int32_t historyCapCount = 1;
    int32_t historyOffsetCapCount = 0;
    // Calls of DM_FreqData since its last evaluation.
    int32_t m_freqCallCount = 0;
};
