#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AcqFrontEnd.h"
#include "CCalculate.h"
#include "CSafeQueue.h"
#include "CaliPointCache.h"
#include "EngineKeyedTables.h"
#include "EngineTypes.h"
#include "ListWait.h"
#include "Manager.h"
#include "SensorTypes.h"
#include "ids/service_id.h"
#include "inc_type.h"
#include "proto_data.pb.h"

// The measurement engine: acquisition, calibration, auto range, trigger,
// sensors, math and the reading buffers. It owns the math, trigger and sensor
// records of the settings mirror and the reading-buffer record.
//
// Threads: the measurement loop and the trigger waiter run on CThreadPool; the
// handlers on the hub callers' threads. The loop takes a snapshot of the
// settings once per pass and calls out (driver, function settings, pushes)
// holding none of the engine's locks.
//
// Lock order: the function settings' lock may be held when the engine is
// called and is never taken under an engine lock. Of the engine's locks below,
// one is taken only while holding locks of its own chain above it. The
// converter driver's, the logger's, the hub delivery queue's and the SCPI
// status registers' locks are leaves: no engine lock is taken under them.
//   Readings chain, in this order:
//   m_notifyMtx      the display state of the notifications. Holding it:
//                    m_bufferMtx, _mtx (formatting a reading), the delivery
//                    queue.
//   m_bufferMtx      the reading buffers and their record, the math state and
//                    stCalcConfig. Holding it: _mtx (the math record).
//   _mtx             the settings (function configurations, trigger, number
//                    format, five-digit display) and the settings records.
//                    Holding it: no other engine lock.
//   m_acqMtx         the acquisition of the remote reads, with m_acqCv; taken
//                    holding none of the above. Holding it: m_readMtx.
//   m_readMtx        the last text handed to remote control. Holding it: nothing.
//   Calibration and sensors, each taken holding no other engine lock but
//   m_caliDataMtx, which may be taken under m_caliMtx:
//   m_caliRunMtx     which capture runs and which holds the calibrating bit.
//                    Holding it: the SCPI status registers' lock.
//   m_caliMtx        the calibration point lists and every rebuild of the
//                    tables. Holding it: m_caliDataMtx, the converter driver
//                    (DM_CalInit hands it the acc values).
//   m_caliDataMtx    the calibration tables in force (swapped whole). Holding
//                    it: nothing.
//   m_sensorMtx      the edited sensor definition. Holding it: nothing.
//   m_sensorActiveMtx the active sensor definition (swapped whole). Holding
//                    it: nothing.
class CDataManage : public Manager {
public:
    using ValueMap = google::protobuf::Map<int, Value>;
    using Handler = int (CDataManage::*)(unsigned int, const ValueMap&, ValueMap*);
    // Calibration segments by key function * 64 + range.
    using CaliDataMap = std::map<uint32_t, std::vector<structCaliData>>;

    // The one engine, created on first use and never destroyed: pool tasks
    // may still run in it while the process ends.
    static CDataManage* instance();

    // Loads the calibration, resets the math and posts the trigger waiter and
    // the measurement loop to CThreadPool.
    void start();
    // Ends the loop and the waiter: the loop leaves within one 1 ms poll; a
    // waiter blocked in its device read leaves at its next edge. Waits at most
    // `waitMs` for the loop to leave; true when it did.
    bool stop(uint64_t waitMs = 1000);

    // ---- measurement loop (CMeasureLoop.cpp)
    // The loop: passes until stopped.
    void DM_Run();
    // One pass: samples until the trigger interval ends, then reports at most
    // one reading. Over the clock and front-end seams, so tests run it in
    // virtual time on their own thread.
    void runPass();
    // The loop's state at its start (clock origin, settle counter, window).
    void loopStart();
    // One wait of the external-trigger waiter: an edge is an externalEdge; a
    // failed read backs off. The edge source is a seam for tests.
    void waitTriggerOnce();
    // An external edge came: pending until a pass makes its reading (or a
    // capture's value), and a trigger only of the acquisition armed as it
    // came, if any.
    void externalEdge();
    void setTriggerSource(std::function<bool()> waitEdge) { m_waitEdge = std::move(waitEdge); }
    // Decides on the configuration a sample was taken with (`mainFunc` and
    // `config` as the front end reported them) and applies the step only
    // while that configuration is still in force.
    bool DM_AutoRange(MeasureTypeEnum mainFunc, const structFuncConfig& config, double val,
                      const structRangeInfo& rangeInfo);
    void DM_Beep(uint32_t func, double val);
    void DM_BeepSwitch(bool on);
    int BufferClean();

    // ---- trigger (CTrigger.cpp)
    bool DM_Trigger(double value);
    void DM_VMCCtrl();
    void TrigWaitForTrigger(bool wait);
    int TrigSingleTriggered();
    int TrigSingleCountSet(uint32_t n);
    int TrigSourceSet(int src);
    int TrigAutoHoldSet(bool on);
    int TrigSampleCountSet(uint32_t n);
    uint32_t TrigCountTotalGet() const;
    uint64_t TrigCountGet();
    void DM_FixIntervalByRate(int rate, MeasureTypeEnum func);
    void DM_FixVMCPulseWidthByRate(int rate);
    structTriggerInfo trigInfo();

    // ---- reading output (CReadingOutput.cpp)
    std::string DM_FormatNumber(double number, char sep, const structRangeInfo& info, int rate, char dot,
                                bool plusSign);
    // Hands a main reading to the acquisition a remote read waits for;
    // `counted` when the trigger took it for acquisition `countedFor` (the
    // one armed now by default): another one armed since does not take it.
    static constexpr uint64_t kArmedNow = UINT64_MAX;
    int DataCollectForSCPI(uint32_t func, const structReading& reading, bool counted,
                           uint64_t countedFor = kArmedNow);
    void DM_NotifyClient(bool mainFunc, double val, const structRangeInfo& info);
    // Waits for the armed acquisition to complete: 0 with its readings, 92
    // when another read waits, 118 when no reading of it came for
    // m_u32BufferTimeOut ms (each reading starts the time anew). Ended before
    // it completed (an abort, a device clear, a change of function, range or
    // another setting of what is measured, or of trigger source): 0 with the
    // readings taken so far, and, unless the abort was this list's own (its
    // reply is dropped), one -230 in the error queue. A count change does not
    // end it: it applies from the next arming.
    // `acq` is the number acqArm gave (0: the acquisition armed now); another
    // arm ends it too, and the answer is still the readings it took.
    int DM_RunScpiReadFunction(std::string& out, uint64_t acq = 0);
    std::string scpiReadData();
    // Arms an acquisition: `triggers` trigger events still to come, `now`
    // readings owed at once (the triggers of the automatic source); each
    // trigger event owes the samples per trigger in force now. Its number.
    // The client on this thread armed it: its FETCh? in a later message
    // answers this acquisition, also after other clients' arms or settings.
    uint64_t acqArm(uint32_t triggers, uint32_t now);
    // The client has left: what it armed is fetched by no one as its own, not
    // even by a new client at the same address.
    void DM_ClientGone(const void* client);
    // A message of `client` that reads (the only kind that arms) has ended: a
    // memory kept for its store (see ProtoDataInfoGet) goes with it, and a
    // change from now on keeps none.
    void DM_ListEnded(const void* client);
    // Ends the armed acquisition (abort, device clear, reset): a waiting read
    // returns at once, a later trigger finds nothing armed.
    void DM_AbortRead();
    // DM_AbortRead for an abort or device clear of `client` (null: of no
    // one client): as another client's setting does, it leaves every other
    // client's arming to be answered from what is kept of it, with -230 when
    // it ended before it completed.
    void DM_AbortBy(const void* client);
    // Wakes every wait on the acquisition to look again at whether its list
    // still wants an answer (ListWait); the acquisition goes on.
    void DM_WakeWaits();
    // The operation pending for *OPC, *OPC? and *WAI: the armed acquisition
    // until it ends, and a reading a change owes the memory (the one a change
    // of trigger source or function stores at once, those a count change or
    // a function update counts down under the bus trigger) until it is
    // stored or a later change drops it. Whether there is one.
    bool DM_AcquisitionPending();
    // Waits until what was pending as it began is over (the acquisition
    // armed then has ended, and the readings changes owed then are stored or
    // a later change owes its own instead), each reading stored starting the
    // time of inactivity of DM_RunScpiReadFunction anew: 0 or 118. Several
    // may wait; another client's arm or change meanwhile is not waited for.
    int DM_WaitAcquisition();
    // How long a wait on this thread waits for a reading: its list's
    // client's time-out, else the engine's.
    uint32_t DM_ReadTimeoutMs() const { return readTimeoutMs(); }
    // *OPC: true when nothing is pending (complete now); otherwise the end of
    // the acquisition sets operation complete, and false.
    bool DM_OpcWhenDone();
    // *CLS: no *OPC waits any more; the acquisition goes on.
    void DM_OpcCancel();
    // Readings per UI notification at most; the rest follow in the next ones.
    static constexpr uint32_t kNotifyMaxReadings = 8192;
    // How long a remote read waits for its next reading, unless its client
    // waits for a time of its own (ListWait).
    static constexpr uint32_t kReadTimeoutMs = 5000;

    // Test seam: where the engine's notifications go (empty: the hub).
    void setPushSink(std::function<void(service_id, ValueMap)> sink) { m_pushSink = std::move(sink); }
    void push(service_id id, ValueMap map);
    // Test seam: runs once a remote read stored its text, before it answers.
    void setReadStoredHook(std::function<void()> hook) { m_readStoredHook = std::move(hook); }

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
    // These three put tables in force; each tells whether a table in force changed.
    bool DM_CalInit();
    void DM_CacheCaliPoint(uint32_t func, uint32_t range, double point, double target);
    bool DM_LoadCaliData(uint32_t key, std::vector<structCaliPoint> points);
    // Removes the point lists and tables of the given keys.
    bool DM_RemoveCaliData(const std::vector<uint32_t>& keys);
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
    // What the math setters would refuse in a stored record (a function or
    // statistic outside its set, a number that is none, limits crossed): 0,
    // or the row the setter answers, logged. A refused record changes nothing.
    static int ProtoMathFuncInfoCheck(const ProtoMathFuncInfo& in);
    void ProtoTriggerFuncInfoDefault(ProtoTriggerFuncInfo& out);
    void ProtoTriggerFuncInfoGet(ProtoTriggerFuncInfo& out);
    void ProtoTriggerFuncInfoSet(const ProtoTriggerFuncInfo& in);
    void ProtoSensorFuncInfoDefault(ProtoSensorFuncInfo& out);
    void ProtoSensorFuncInfoGet(ProtoSensorFuncInfo& out);
    void ProtoSensorFuncInfoSet(const ProtoSensorFuncInfo& in);

    // The reading-buffer record (function, range, rate, unit, readings). A
    // remote client whose acquisition's memory another client's change of
    // configuration emptied while the message that armed it still ran gets
    // the memory as that change found it, for the rest of that message.
    void ProtoDataInfoGet(ProtoDataInfo& out);

    // Triggers one reading for a waiting SCPI read (READ?, INITiate, *TRG).
    int ScpiTrigSingleTriggered();

    // ---- handlers of the trigger, reading-memory and measurement queries
    int cbTrigAutoHoldSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigAutoHoldGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigAutoHoldSensSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigAutoHoldSensGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigAutoIntervalSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigAutoIntervalGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigExtSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigExtGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigSingleSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigSingleGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigSingleTriggered(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigSourceSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigSourceGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigVMCStateSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigVMCStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigVMCPolarSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigVMCPolarGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigVMCPulseWidthSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbTrigVMCPulseWidthGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDataLastGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDataPointsGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDataPointsEventThresholdSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDataPointsEventThresholdGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDataRemove(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSampleCountSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSampleCountGet(unsigned int source, const ValueMap& in, ValueMap* out);
    // MEASure? of the function in row `Row` of the family (CMeasQuery.cpp).
    template <int Row>
    int cbMeas(unsigned int source, const ValueMap& in, ValueMap* out) {
        return measQueryRow(Row, source, in, out);
    }
    static constexpr int kMeasQueryCount = 11;
    struct MeasQuery;
    int cbMeasDataFetch(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDataInitiate(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDataRead(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDataR(unsigned int source, const ValueMap& in, ValueMap* out);

    // ---- range conversions of remote parameters (CRangeConvert.cpp)
    int ScpiInputTransToMinMaxDef(int func, const Value& in, double& out);
    int ScpiInputRangeTransToRealRange(int func, double value, int& range);

    // ---- configuration hand-over from the function settings (CFuncHandover.cpp)
    void DM_UpdateMainFunc(MeasureTypeEnum func, const structFuncConfig& config);
    void DM_Update2ndFunc(bool enable, MeasureTypeEnum func, const structFuncConfig& config);
    void DM_UpdateContResi(float ohms);
    void DM_ClearFunc2Buffer();
    // The newest reading of the main or the second display as remote text:
    // 0, or 44 when there is none. The await form (remote control's queries)
    // waits up to the reading time-out for a first one after a change: 118.
    int GetFunctionData(std::string& text);
    int GetFunction2Data(std::string& text);
    int awaitFunctionData(bool second, std::string& text);

    // Five-digit resistance display.
    bool GetOHMShow5() const;
    void SetOHMShow5(bool on);

    // ---- calibration procedure (CCalibrationProc.cpp, CCalibrationSave.cpp)
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
    // A wait's reading time-out and its end come from the command list it
    // runs in (ListWait): a client's own time-out, else m_u32BufferTimeOut.
    // Waits read it at every look, not once: a VXI-11 read of the reply that
    // asks for longer than the write did lengthens a wait already begun.
    uint32_t readTimeoutMs() const { return ListWait::readTimeoutMsHere(m_u32BufferTimeOut.load()); }
    // When a wait that last saw a reading at `since` times out, as it stands now.
    std::chrono::steady_clock::time_point readDeadline(std::chrono::steady_clock::time_point since) const {
        return since + std::chrono::milliseconds(readTimeoutMs());
    }
    static bool waitCancelled() { return ListWait::cancelledHere(); }
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
    // ---- sensors and measurement configuration (CSensor.cpp, CConfigure.cpp)
    // Both sensor definitions to their defaults, and the record from them.
    void SEN_Init();
    // A sensor reading of `record` from an input in the engine's base unit
    // (mV, uA, ohm, Hz); the one-argument form evaluates the active definition.
    double SEN_Meas(double value, const structSensorProjLeast* record);
    double SEN_Meas(double value);
    // The active definition: a snapshot that activation never changes.
    std::shared_ptr<const structSensorProjLeast> SEN_Active() const;
    // Checks, fits and activates the edited definition: 0 or an error row.
    int SensConfigLoad();
    int SensTempOrCustomSet(bool temperature);
    int SensNewId(int type);
    int SensTempFuncSet(int func);
    int SensTypeSet(int type);
    // Writes `record` into the persisted sensor record.
    void ProtoSensorFuncInfoUpdate(const structSensorProjLeast& record);
    // Reads the internal cold junction in degC; false when it cannot be read.
    std::function<bool(float&)> m_coldJunctionRead;

    int cbSensConfigSave(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensDataGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensRefDataAdd(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensRefDataGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensRefDataDel(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensTypeSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensTempFuncSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensCustomFuncSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensNameSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensTempOrCustomSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensConfigLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensColdSaveSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensColdSaveGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensUserColdSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensUserColdGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensRtdR0Set(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensRtdR0Get(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensCustomUnitSwitch(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensDisplayValueSwitch(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensNewId(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensTempUnitSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensTempUnitGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensCustomUnitSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSensCustomUnitGet(unsigned int source, const ValueMap& in, ValueMap* out);

    // Range, resolution and NPLC conversions (CRangeConvert.cpp).
    // The numbers that MIN, MAX and DEF (and AUTO, where it counts) stand for.
    struct ParamWords {
        double min, max, def;
        std::optional<double> autoWord;  // none: AUTO is no word of the parameter
    };
    // A parameter as a number: f64Val as it is, a word, or a number text with
    // an optional unit suffix; 0, 31 for a text that is neither, 54 for another kind.
    static int ScpiWordOrNumber(const Value& in, const ParamWords& words, double& out);
    double RangeAndRateTransToResolution(int func, int range, int rate);
    // The rate whose resolution row of `range` a resolution asks for.
    int ResolutionTransToRate(int func, int range, double resolution) const;
    const ResolutionByRateTable* resolutionTable(int func) const;
    int NplcTransToRate(double nplc);
    int ScpiNplcInputTransToRealNplc(const Value& in, double& out);
    // CONFigure, CONFigure?, resolution and NPLC per function (CConfigure.cpp).
    int cbMeasDcvConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasAcvConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDciConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasAciConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeas2WRConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeas4WRConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasCapConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasContConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDiodeConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasPeriConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasFreqConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasSensorConfig(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasSensorData(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasConfigGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDcvResolutionSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDcvResolutionGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDciResolutionSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasDciResolutionGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasOhm2ResolutionSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasOhm2ResolutionGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasOhm4ResolutionSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbMeasOhm4ResolutionGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseDcvNplcSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseDcvNplcGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseDciNplcSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseDciNplcGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseOhm2NplcSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseOhm2NplcGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseOhm4NplcSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSenseOhm4NplcGet(unsigned int source, const ValueMap& in, ValueMap* out);

private:
    // The edited definition (handlers) and the active one (swapped whole at
    // activation, read by the measurement loop).
    double SEN_TempMeas(double value, const structSensorProjLeast& record);
    int SEN_EditSet(const std::function<int(structSensorProjLeast&)>& change, bool push);
    // The temperature unit of the active definition, for the next reading.
    void SEN_ActiveUnitSet(const std::string& unit);
    int sensFloatSet(const ValueMap& in, const struct ClampedFloat& item);
    int sensFloatGet(ValueMap* out, const struct ClampedFloat& item);
    // The families of CConfigure.cpp.
    void configTrigger();
    int measConfig(MeasureTypeEnum func, unsigned int source, const ValueMap& in);
    // The range index a CONFigure or MEASure? range parameter asks for.
    int rangeParam(MeasureTypeEnum func, unsigned int source, const Value& v, int& range);
    // Selects `func` on `range` (and `rate` where it has rates), as CONFigure
    // and MEASure? ask, from whatever function was selected before.
    void selectWith(MeasureTypeEnum func, int range, bool hasRate, int rate);
    int selectOnly(MeasureTypeEnum func);
    std::string sensorConfigText();
    int resolutionSet(MeasureTypeEnum func, const ValueMap& in);
    int resolutionGet(MeasureTypeEnum func, ValueMap* out);
    int nplcSet(MeasureTypeEnum func, const ValueMap& in);
    int nplcGet(MeasureTypeEnum func, ValueMap* out);
    int applyRate(MeasureTypeEnum func, int rate);
    std::mutex m_sensorMtx;
    std::unique_ptr<structSensorProjLeast> m_bufSensor = std::make_unique<structSensorProjLeast>();
    mutable std::mutex m_sensorActiveMtx;
    std::shared_ptr<const structSensorProjLeast> m_currSensor = std::make_shared<const structSensorProjLeast>();

public:
    // ---- end of sensors and measurement configuration

    // ---- model-dependent state, set by DM_CapabilityInit
    const structRangeInfo* m_stRangeInfoDCI;
    const structRangeInfo* m_stRangeInfoACI;
    F64KeyedTable m_scpiF64RangeLimitMap;
    F64KeyedTable m_scpiF64RealRangeMap;
    F64KeyedTable m_F64LimitMap;
    F64KeyedTable m_scpiF64MEASLimitMap;
    ResolutionByRateTable m_rangeResolutionToRateMapCurrent;
    uint32_t m_u32IntervalMin = 8;
    uint32_t m_u32CapRangeMax = 7;

    // ---- flags shared between the loop, the waiter and the handlers
    std::atomic<bool> m_zAcqRunning{false};
    std::atomic<bool> m_zCaliRunning{false};
    std::atomic<bool> m_zTempRunning{false};
    std::atomic<bool> m_confChange{false};
    std::atomic<bool> m_capScaning{false};
    std::atomic<bool> m_BeepSwitch{false};
    std::atomic<bool> m_autoRangeLocked{false};
    std::atomic<bool> m_triggered{false};
    std::atomic<bool> m_triggerChange{false};
    std::atomic<bool> m_bWaitForTrigger{false};
    std::atomic<bool> m_zScpiReadDataRunning{false};
    std::atomic<uint32_t> m_singleCountDown{0};
    // m_trigInfo.eTrigSrc as last written, for the tests under m_acqMtx.
    std::atomic<int> m_trigSrcNow{SRC_AUTO};
    std::atomic<uint32_t> m_sampleCount{1};
    std::atomic<int32_t> mDataPointThreshold{500000};
    std::atomic<int32_t> m_readingCapacity{500000};  // the model's reading memory, bound of the threshold
    std::atomic<uint32_t> m_u32BufferTimeOut{kReadTimeoutMs};
    std::atomic<int32_t> m_measState{0};
    // Function or range changed: the loop empties its window before the next
    // sample (set by the handlers, consumed on the loop thread).
    std::atomic<bool> m_windowReset{false};
    // The trigger interval starts anew at the loop's next poll (set by the
    // handlers, consumed on the loop thread, which alone moves m_lastDataTime).
    std::atomic<bool> m_intervalRestart{false};
    // Raised by every clear of the readings and every change of the
    // calibration table in force; a reading of an older generation is
    // dropped instead of appended.
    std::atomic<uint64_t> m_generation{0};
    // Raised by every clear of the readings but the loop's own auto-range
    // steps, which belong to the acquisition they measure for.
    std::atomic<uint64_t> m_changeClears{0};

    CSafeQueue<long long> m_RawDataQueue;
    // The acquisition of the remote reads, under m_acqMtx: armed and not
    // complete, the texts of its readings so far, readings counted for it and
    // main or second readings of any kind (each wakes the waiters of m_acqCv).
    std::atomic<uint32_t> m_triggersLeft{0};
    // Samples per trigger event of the armed acquisition, as it was armed
    // (written under m_acqMtx, read by the loop's trigger without it).
    std::atomic<uint32_t> m_acqSamples{1};
    std::mutex m_acqMtx;
    std::condition_variable m_acqCv;
    bool m_acqPending = false;
    bool m_opcPending = false;  // an *OPC waits for the end of this acquisition
    std::string m_acqText;
    bool m_acqCutShort = false;  // it ended before it completed
    uint64_t m_acqCounted = 0;
    uint64_t m_acqNumber = 0;   // counts the arms
    // The acquisition armed as the pending edge came (0: none), written with
    // m_triggered. An edge of before an arm is left pending by it: it makes
    // the reading it would make with nothing armed, never one of that
    // acquisition's.
    uint64_t m_edgeAcq = 0;
    uint64_t m_acqClears = 0;  // m_changeClears as it was armed
    // The acquisition before the last arm, as that arm found it: a read of it
    // answers it, not the readings of the acquisition that replaced it.
    struct ReplacedAcq {
        uint64_t number = 0;
        std::string text;
        bool cutShort = false;
    } m_acqReplaced;
    uint64_t m_acqArrivals = 0;
    // Counts the changes that owe readings (see oweReadingsLocked).
    uint64_t m_changesOwing = 0;
    // Test seam: waits of DM_WaitAcquisition past their look at what is pending.
    std::atomic<int> m_operationWaits{0};
    // The acquisition each client armed last (keyed by its list's client;
    // null for the UI link), and whether another client's setting ended or
    // emptied it since. One entry a client: it goes when the client goes.
    struct ArmRecord {
        uint64_t number = 0;
        bool stale = false;
    };
    std::map<const void*, ArmRecord> m_acqArmedBy;
    // The memory as another client's change of configuration emptied it,
    // kept for the store of the remote client that armed the acquisition
    // (at m_changeClears `armedAt`; see ProtoDataInfoGet); under
    // m_bufferMtx, one at a time.
    struct KeptMemory {
        const void* client = nullptr;
        uint64_t armedAt = 0;
        ProtoDataInfo record;
    } m_keptMemory;
    // The remote clients whose message that armed the acquisition they
    // armed last still runs; under m_bufferMtx. One entry a client at most,
    // gone as that message ends.
    std::set<const void*> m_armingMessages;

    // ---- settings (under _mtx)
    MeasureTypeEnum m_eMainFunc = TYPE_DCV;
    structFuncConfig m_mainConfig = defaultConfig();
    bool m_b2ndEnable = false;
    MeasureTypeEnum m_e2ndFunc = TYPE_DCV;
    structFuncConfig m_2ndConfig = defaultConfig();
    int32_t m_2ndtriggertype = 1;
    structTriggerInfo m_trigInfo;
    structTriggerInfo m_trigInfoLast;
    structBeeperRange m_stContRange{0.0f, 10.0f};
    structBeeperRange m_stDiodRange{0.1f, 2.1f};
    char m_sepChar = ',';
    char m_dotChar = '.';
    bool m_plusSign = false;

    // ---- reading buffers (under m_bufferMtx)
    std::deque<structReading> m_buffer;
    std::deque<structReading> m_buffer2;
    uint32_t m_bufferOffset = 0;
    uint64_t m_bufferStartTime = 0;
    uint64_t m_bufferCurrentTime = 0;

    // ---- display state of the notifications (under m_notifyMtx)
    bool m_holdState = false;
    int32_t m_holdCount = 0;
    double m_holdTemp = 0;
    uint64_t m_mainSyncTime = 0;
    uint64_t m_2ndSyncTime = 0;
    std::string m_tempnum;
    std::string m_tempunit;

    // ---- measurement-loop thread only
    uint8_t m_u8ReadBuf[34] = {};
    std::deque<double> m_tempQueue;
    // The latest sensor value, under m_bufferMtx: the relative switch of the
    // sensor function takes it as its offset.
    double m_temprel = 0;
    uint64_t m_lastDataTime = 0;
    uint64_t m_lastFreqTime = 0;
    uint64_t m_capDataTime = 0;
    // Auto-hold state of DM_Trigger (read by the notification on the same thread).
    std::atomic<int32_t> m_holdNum{0};
    double m_holdMeasValueNew = 0;
    std::atomic<bool> m_holdmidstat{false};

    // ---- math on readings (CCalculate*.cpp, CNumberFormat.cpp)
    // The math state (CCalculate.h) and stCalcConfig are guarded by
    // m_bufferMtx; the record m_protoMathFuncInfo by _mtx (taken after it).
    // The loop calls CalculateHandle holding m_bufferMtx, with the reading in
    // the base unit of remote control (±9.9e37 for an overload): offsets,
    // limits and statistics are kept in base units so that they keep their
    // meaning when the range or the frequency band changes.
    int CalculateHandle(double& reading);
    double CalculateMathExtrem(double x);
    double CalculateMathLimitFunc(double x);
    int CalculateInit();
    int CalculateResetCalAver();
    int CalculateLimitClear();
    int CalculateResetCalLmt();
    int CalculateResetCalRel();
    int CalculateReset();
    int CalculateRelStateSet(int func, bool on);
    int CalculateDbStateSet(bool on);
    int CalculateScalStateSet(bool on);
    int CalculatePFLowerSet(unsigned int source, const Value& v);
    int CalculatePFUpperSet(unsigned int source, const Value& v);
    // The math results a reading notification carries, texts made by `format`
    // with the row given; statistics shown in the display unit of `row`.
    void CalculateNotifyEntries(ValueMap& map, MeasureTypeEnum func, const structRangeInfo& row,
                                const std::function<std::string(double, const structRangeInfo&)>& format);
    // Display unit of the range row (the band in force for the counters) to
    // the base unit of remote control.
    void DataFormatForScpiCalcUnit(int func, double value, double& out, const structRangeInfo& row);
    // The factor from the display unit of `row` (the band in force for the
    // counters) to the base unit, and the same for the main function's range
    // in force.
    double mathBaseFactor(int func, const structRangeInfo& row);
    double mathDisplayFactor(MeasureTypeEnum func);

    int cbCalculateFuncSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateStatisticSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateStatisticGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateAverageAllGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateAverageClear(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateScaleStateSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateScaleStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateScaleFunctionSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateScaleFunctionGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFStateSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateLimitClear(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateClear(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBREFESet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBREFEGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBStateSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBMGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBMREFESet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBMREFEGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBMStateSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateDBMStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFLowerSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFLowerGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFUpperSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePFUpperGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateRelOffsetSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateRelOffsetGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateRelStateSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateRelStateGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateAverageGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateCountGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateMaxGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateMinGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculateSdeviationGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbCalculatePeakGet(unsigned int source, const ValueMap& in, ValueMap* out);

    // Relative offset of one fixed function: row of kRelFamily, operation.
    enum RelOp { REL_STATE_SET, REL_STATE_GET, REL_OFFSET_SET, REL_OFFSET_GET, REL_AUTO_SET, REL_AUTO_GET };
    struct RelFamilyRow {
        MeasureTypeEnum func;
        int stateCode;  // offset code + 1, auto code + 2
    };
    static const RelFamilyRow kRelFamily[9];
    template <int Row, RelOp Op>
    int cbCalculateRel(unsigned int source, const ValueMap& in, ValueMap* out) {
        return relHandler(kRelFamily[Row], Op, source, in, out);
    }

    int cbFormatNumberSepSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFormatNumberSepGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFormatNumberDotSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFormatNumberDotGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFormatNumberPlusSign(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbBufferClean(unsigned int source, const ValueMap& in, ValueMap* out);

    structCalcConfig stCalcConfig[MEASURE_TYPE_COUNT] = {};
    // A limit beep of that direction is pending on the event poller.
    std::atomic<bool> PFhightag{false};
    std::atomic<bool> PFlowtag{false};
    // Helpers of the math handlers.
    struct MathBounds {
        double min, max, def;
    };
    // dB reference (dBm) and dBm reference resistance (ohms).
    static const MathBounds kDbRef;
    static const MathBounds kDbmRef;
    // Main function and its range as the function settings last handed them.
    void mathMainFunc(MeasureTypeEnum& func, int32_t& range);
    MeasureTypeEnum mathMain();
    // Bounds of limits and offset for the main function; 55 for CONT/DIODE.
    int mathBounds(MathBounds& b, MeasureTypeEnum& func, int32_t& range);
    // A switch of a math function may not run on an automatic range.
    bool mathAutoRange(MeasureTypeEnum func);
    // A number or MIN/MAX/DEF word, in base units: with `convertFunc` >= 0 a
    // number from the UI without a unit is in the display unit of `row` and
    // converted; `b` is in base units.
    int mathNumberParam(unsigned int source, const Value& v, const MathBounds& b, int convertFunc,
                        const structRangeInfo& row, bool integer, const char* failLog, double& out);
    // The offset of `func` taken from the newest reading as the input gave
    // it, or from the next reading when there is none yet; m_bufferMtx held.
    void relTakeReading(int func);
    // A given offset of `func`, in place of any taken one; m_bufferMtx held.
    void relGivenOffset(int func, double value);
    void mathRecordRel(int func);
    void mathSwitchOnPush();
    void mathSwitch(bool on, enumMathFunc func, int totalize);
    int mathReferenceSet(unsigned int source, const ValueMap& in, bool ohms);
    int mathLimitSet(unsigned int source, const Value& v, bool upper);
    void mathReadingRefresh();
    // A number under `key` and its "%10.8E" text under 0x40000000 + key - 1.
    static void mathNumberReply(ValueMap* out, int key, double value);
    // Clamps into [min, max]; 130 above, 131 below, else 0.
    static int mathClamp(double& v, double min, double max);
    int relHandler(const RelFamilyRow& row, RelOp op, unsigned int source, const ValueMap& in, ValueMap* out);
    int relOp(const RelFamilyRow& row, RelOp op, unsigned int source, const ValueMap& in, ValueMap* out);
    int relOffsetSet(const RelFamilyRow& row, unsigned int source, const Value& v);
    double relLimit(MeasureTypeEnum func, structRangeInfo& row);
    // A stored record's numbers clamped as their setters clamp them, for
    // the main function `func` in force.
    void mathRecordClamp(ProtoMathFuncInfo& info, MeasureTypeEnum func);

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
    void readCaliFile(const std::string& path, CaliPointCache<>& points);
    void readAccFile(const std::string& path);
    static void cachePoint(CaliPointCache<>& points, const structCaliPoint& p);
    static std::vector<structCaliData> buildSegments(std::vector<structCaliPoint> points);
    bool swapCaliData(std::shared_ptr<const CaliDataMap> next);

    // The unit of the active sensor for the SENSOR row, cut at a character
    // boundary to fit the row's unit text.
    void sensorUnit(char (&unit)[4]);

    // What one pass works from, taken under _mtx at its start.
    struct PassSettings {
        MeasureTypeEnum mainFunc;
        structFuncConfig mainConfig;
        bool b2ndEnable;
        MeasureTypeEnum func2;
        TrigSrcEnum src;
        uint32_t interval;
        uint64_t generation;
    };
    PassSettings passSettings();
    // Sampling part of a pass; false when the loop was stopped meanwhile.
    bool samplePass(const PassSettings& s, uint32_t& func, structFuncConfig& config, double& calVal);
    // One settled sample: auto range, step detection, the window.
    void takeSample(MeasureTypeEnum mainFunc, const structFuncConfig& config, double calVal);
    // One auto-range step of `mainFunc` from `from` to `to`, kept by the
    // function settings and applied to the front end and the engine as one.
    bool rangeStep(MeasureTypeEnum mainFunc, int32_t from, int32_t to);
    bool applyRange(MeasureTypeEnum mainFunc, int32_t from, int32_t to);
    // A counter that saw nothing with auto range on: one range down, locked.
    void counterRangeDown(MeasureTypeEnum mainFunc, const structFuncConfig& config);
    // Reporting part of a pass (after the window is averaged).
    void reportPass(const PassSettings& s, uint32_t func, const structFuncConfig& config, double avgVal);
    void reportSecond(const PassSettings& s, const structFuncConfig& config, double avgVal);
    // The sensor step of a report (CSensorReading.cpp): the sensor's value,
    // kept in m_temprel, and its input pushed to the second display.
    double sensorReading(const structFuncConfig& config, double avgVal);
    // The row of a reading to show; period and frequency scaled to it.
    structRangeInfo displayValue(MeasureTypeEnum func, int32_t range, double& value);
    // Offers the capture's value of the pass; false when the pass has none.
    bool caliPass(uint32_t func, const structFuncConfig& config);
    // Range changed by the loop: settle again, clear the readings (a clear
    // of the acquisition's own, which keeps a store's claim on the memory).
    void configurationChange();
    // Appends under m_bufferMtx, dropping the oldest at the capacity.
    void appendBounded(std::deque<structReading>& buffer, const structReading& r, bool main);
    // Empties the readings (and the second display's with `second`), the
    // data record and the remote-control texts; raises the generation, and
    // m_changeClears unless `by` is the loop's range step. With `keep` (its
    // client, arm and header filled), the readings are kept for that client
    // first, unless a clear by a change since its arm already emptied them.
    enum class ClearBy { Change, RangeStep };
    void clearReadings(bool second, KeptMemory* keep = nullptr, ClearBy by = ClearBy::Change);
    // The header of the data record of `func` measured on `range` at `rate`,
    // and the readings of the memory added to a record; m_bufferMtx held.
    void dataHeader(MeasureTypeEnum func, int range, int rate, ProtoDataInfo& out);
    void addReadingsLocked(ProtoDataInfo& record);
    // `client`'s kept memory goes (the Locked form with m_bufferMtx held).
    // So also when the client's R? or DATA:REM? takes readings or finds them
    // absent: its store then does not write them.
    void dropKeptMemory(const void* client);
    void dropKeptLocked(const void* client);
    // The client on this thread armed in the message that runs now.
    void noteArmingMessage();
    static double baseFactor(uint32_t func, const structRangeInfo& row);
    // The overload bit of QUEStionable follows the latest reading of `func`.
    void overloadCondition(uint32_t func, bool over);
    bool autoHoldInside(double value, const structFuncConfig& cfg, MeasureTypeEnum func);
    void pushTrigSettings(const std::function<void(structTriggerInfo&)>& change);
    // The one read that waits on the acquisition at a time: remote clients
    // take turns, a UI-link read meets theirs here. Held for the scope's life.
    class ReaderPlace {
    public:
        explicit ReaderPlace(std::atomic<bool>& running);
        ~ReaderPlace();
        ReaderPlace(const ReaderPlace&) = delete;
        ReaderPlace& operator=(const ReaderPlace&) = delete;
        bool held() const { return m_held; }

    private:
        std::atomic<bool>& m_running;
        bool m_held;
    };
    // A read that arms: takes the reader's place, arms with `arm` (which
    // gives the acquisition's number) and waits for that acquisition into
    // `text` and the text FETCh? answers; the wait's result.
    int armAndRead(const std::function<uint64_t()>& arm, std::string& text);
    // DM_RunScpiReadFunction with the reader's place held.
    int readAcquisition(std::string& out, uint64_t acq);
    // Ends acquisition `acq` (0: whichever is armed) as an abort does, if it
    // is still armed; unlike DM_AbortRead, with nothing armed it keeps a
    // reading a change owes. `armedOnly` false: DM_AbortRead.
    void endArmed(uint64_t acq);
    void endAcquisition(bool armedOnly, uint64_t acq);
    // A trigger event of the armed acquisition, if one is still accepted.
    bool takeTrigger();
    // Wakes the waiters of m_acqCv after any reading.
    void noteArrival();
    // A clear dropped the reading of the pass: the acquisition it was
    // counted for is owed it again, unless another acquisition was armed
    // since; or the edge that took it uncounted is pending again, as an edge
    // of no acquisition.
    void passOwedAgain(bool edge);
    // Under m_acqMtx: waits while the acquisition is pending and no abort
    // came, and acquisition `acq` is still the armed one; each reading taken
    // for it starts the time-out anew. 0 or 118.
    int waitAcquisitionLocked(std::unique_lock<std::mutex>& lock, uint64_t acq);
    // Under m_acqMtx, for a read whose acquisition `acq` another arm
    // replaced: its answer and whether it was cut short.
    void takeReplacedLocked(uint64_t acq, std::string& out, bool& cutShort);
    // Under m_acqMtx: the record of the client on this thread as acquisition
    // `number` is armed (see acqArm).
    void noteArmerLocked(uint64_t number);
    // A setting of the client on this thread ended or emptied the readings
    // (function, range, rate, trigger source, a reset or recall, a clean of
    // the memory or of the statistics, a new capacity, how the readings of
    // the measured function are computed: its null, a calibration table):
    // every other client's arming whose acquisition is not going on is
    // answered from now on from what is kept of it, with -230 when that
    // ended before it completed.
    void othersArmsStale();
    // As othersArmsStale, for the setting of `setter`; with `everyone`, the
    // setter's own arming too.
    void armsStaleExcept(const void* setter, bool everyone);
    // Under m_acqMtx: whether a client's record holds the acquisition armed
    // now, and whose it is into `armer` (null: the UI link's).
    bool armerOfCurrentLocked(const void*& armer) const;
    // A change of how readings of the measured function are computed (null
    // state or offset, a calibration table): an acquisition another client
    // armed ends cut short, as a range change ends it, rather than go on with
    // readings of two computations; and as othersArmsStale. The client's own
    // acquisition goes on (unlike at its own change of what is measured,
    // which ends it): what it took stays, the rest is computed the new way.
    void readingsComputationChanged();
    // A change of the calibration table in force (after the tables changed):
    // samples taken with the table before go into no reading, neither the
    // pass in flight's nor the window's; then readingsComputationChanged.
    void calibrationChanged();
    // The null of the measured function as the loop applies it.
    struct NullInForce {
        bool on;
        bool takeNext;
        double offset;
        bool operator==(const NullInForce& o) const {
            return on == o.on && takeNext == o.takeNext && offset == o.offset;
        }
    };
    NullInForce nullInForce();
    // Runs a null setter; readingsComputationChanged when it changed the
    // measured function's null.
    int nullChange(const std::function<int()>& setter);
    // Under m_acqMtx: when another client's arm or setting came after the
    // last arming of the client on this thread, what is kept of that
    // acquisition (its readings, or "" once a second arm took them) into
    // `out`, whether that is less than it completed with into `cutShort`, and
    // true; false when its FETCh? answers as anyone's.
    bool recordedAnswerLocked(std::string& out, bool& cutShort);
    // An answer that is not its whole acquisition as it stands (`why`): one
    // -230, unless its list's reply is dropped.
    void noteStale(const char* why, const std::string& out);
    // Under m_acqMtx, the acquisition ends: whether an *OPC waited for that
    // (the caller then sets operation complete, outside the lock).
    bool endAcquisitionLocked();
    // Under m_acqMtx: the pending operation of DM_AcquisitionPending, the
    // readings a change owes, and whether a waiting *OPC is now due.
    bool operationPendingLocked();
    bool changeReadingOwed();
    bool opcDueLocked();
    // A reading a change owed was stored (or dropped): a waiting *OPC may be
    // due, the waiters look again.
    void operationProgress();
    // A new trigger source, by any road: the loop leaves a wait for an edge
    // of the source before and stores one reading at once; an armed
    // acquisition, which the new source's triggers cannot complete, ends as
    // an abort ends it.
    void triggerSourceChanged();
    // A change (of trigger source, what is measured, a count under the bus
    // trigger) owes readings of its own instead of those owed before:
    // counted, so that a wait that began before it waits for what was owed
    // then no longer, rather than for each change of a stream of them.
    // Under m_acqMtx; the caller wakes the waits.
    void oweReadingsLocked() { ++m_changesOwing; }
    // The same, taking the lock and waking the waits.
    void replaceOwedReadings();
    // The same, raising the reading a change of trigger source owes.
    void oweChangeReading();
    // A new count of samples per trigger: with no acquisition armed it owes
    // one reading; an armed one keeps the counts it was armed with.
    void samplesPerTriggerChanged();
    // The newest reading of a display as text; with `waitFirst` waiting up to
    // the reading time-out for the first one after a change: 0, 44 or 118.
    int latestReading(bool second, bool waitFirst, std::string& text);
    void setScpiReadData(const std::string& text);
    // A count parameter: a number, or MIN/MAX/DEF, or a number text.
    // A count: an integer, MIN/MAX/DEF or a number text shorter than `maxText`
    // (E150 otherwise).
    static int countParam(const Value& v, int32_t min, int32_t max, int32_t def, size_t maxText, int64_t& out);
    size_t bufferSize();
    int measQueryRow(int row, unsigned int source, const ValueMap& in, ValueMap* out);
    int measQuery(const MeasQuery& q, unsigned int source, const ValueMap& in, ValueMap* out);
    // One reading under the automatic trigger, answered under `answerKey`.
    int readOnce(int answerKey, ValueMap* out);
    // The temperature sensor of CONFigure/MEASure:TEMPerature, activated.
    int sensorSetup(const ValueMap& in);
    int measResolution(const MeasQuery& q, int range, const Value& v, double& res);
    RateEnum rateOfResolution(int rates, int range, double res);

    AcqFrontEnd* m_frontEnd;
    EngineClock* m_clock;
    std::function<bool()> m_waitEdge;
    std::function<void(service_id, ValueMap)> m_pushSink;
    std::function<void()> m_readStoredHook;
    // Loop thread: settle counter, last sample, frequency result.
    int32_t m_throwCount = 0;
    int32_t m_diodCount = 0;
    // The readings generation the window's samples belong to.
    uint64_t m_windowGeneration = 0;
    // The range of the frames the window's samples come from.
    int32_t m_windowRange = -1;
    double m_loopLastVal = 0;
    int64_t m_freqRaw = 0;
    double m_freqVal = 0;
    int64_t m_caliTotal = 0;
    int32_t m_caliCount = 0;
    int64_t m_rawVal = 0;
    bool m_isFreqReady = false;
    std::atomic<bool> m_vmcOn{false};
    // DM_Trigger took this pass's reading for the armed acquisition, or for
    // what the free run owes; m_passAcq is the number of the acquisition
    // armed then (taken under m_acqMtx with the count).
    bool m_passCounted = false;
    uint64_t m_passAcq = 0;
    // The last pass made its reading or a capture's value: the edges that
    // came while it did go with it. After a pass that made none, its edge
    // is still owed.
    bool m_passReported = false;
    std::atomic<bool> m_loopRunning{false};
    std::atomic<int> m_waitFailures{0};
    std::mutex m_notifyMtx;
    // m_strScpiReadData: the last text handed to remote control.
    std::mutex m_readMtx;
    std::string m_strScpiReadData;
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
