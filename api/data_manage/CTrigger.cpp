// CDataManage: the trigger. Decides per averaged reading whether it is
// reported, counts the readings owed to a trigger, runs the auto-hold test,
// drives the voltmeter-complete pulse, and owns the trigger settings with
// their handlers, notification and stored record.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "drv/beeper/CBeeper.h"
#include "CDataManage.h"
#include "drv/vmc/CVMC.h"
#include "CommonSimpleFunc.h"
#include "DrvScpiErrDef.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "proto_extract.h"
#include "drv/extTrig/CExtTrigger.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr int kHold = 0x1100;
constexpr int kSens = 0x1101;
constexpr int kInterval = 0x1102;
constexpr int kEdge = 0x1103;
constexpr int kSample = 0x1104;
constexpr int kSource = 0x1106;
constexpr int kVmc = 0x1107;
constexpr int kPolar = 0x1108;
constexpr int kWidth = 0x1109;
constexpr uint32_t kSampleMax = 2000;
constexpr uint32_t kIntervalMax = 2000;
constexpr float kSensitivity[4] = {0.0001f, 0.001f, 0.01f, 0.1f};

bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }
bool isCounter(int f) { return f == TYPE_PERIOD || f == TYPE_FREQ; }
bool isTwoWireOnly(int f) { return f == TYPE_CAP || f == TYPE_CONT || f == TYPE_DIODE; }

// Decrements the count unless it is 0; the value before.
uint32_t countDown(std::atomic<uint32_t>& count) {
    uint32_t c = count.load();
    while (c != 0 && !count.compare_exchange_weak(c, c - 1)) {
    }
    return c;
}

// The interval a rate asks for (0 for a rate outside the table: keep).
uint32_t intervalOfRate(int rate, int func, uint32_t fastest) {
    switch (rate) {
    case E_Slow: return isCounter(func) ? 1600 : 400;
    case E_Medium: return 50;
    case E_Fast: return fastest;
    default: return 0;
    }
}

// A requested interval within what the rate allows; row 130/131 when clamped.
uint32_t clampInterval(uint32_t v, int rate, int func, uint32_t fastest, int& row) {
    uint32_t lower = 0;
    switch (rate) {
    case E_Fast: lower = fastest; break;
    case E_Medium: lower = 50; break;
    case E_Slow: lower = isCounter(func) ? 1600 : 400; break;
    default: return v;
    }
    if (v < lower) {
        row = E1003_BELOW_LOWER_LIMIT;
        return lower;
    }
    if (v > kIntervalMax) {
        row = E1002_ABOVE_UPPER_LIMIT;
        return kIntervalMax;
    }
    return v;
}

// A pulse width shorter than the rate's interval, at least 1 ms.
uint32_t clampPulse(uint32_t v, int rate, int func, uint32_t fastest, int& row) {
    if (rate < E_Slow || rate > E_Fast) return v;
    if (v == 0) {
        row = E1003_BELOW_LOWER_LIMIT;
        return 1;
    }
    const uint32_t upper = rate == E_Slow ? (isCounter(func) ? 1599 : 399) : rate == E_Medium ? 49 : fastest - 1;
    if (v > upper) {
        row = E1002_ABOVE_UPPER_LIMIT;
        return upper;
    }
    return v;
}

void record(const structTriggerInfo& t, ProtoTriggerFuncInfo& p) {
    p.set_ms32trigsrc(t.eTrigSrc);
    p.set_mbhold(t.bHold);
    p.set_mu32sensidx(t.u32SensIdx);
    p.set_mf32sensitivity(t.f32Sensitivity);
    p.set_mu32sample(t.u32Sample);
    p.set_mu32extedge(t.u32ExtEdge);
    p.set_mu32interval(t.u32Interval);
    p.set_mbvmc(t.bVMC);
    p.set_mu32vmcpolar(t.u32VMCPolar);
    p.set_mu32vmcpulsewidth(t.u32VMCPulseWidth);
}

bool sameTrig(const structTriggerInfo& a, const structTriggerInfo& b) {
    return a.eTrigSrc == b.eTrigSrc && a.bHold == b.bHold && a.u32SensIdx == b.u32SensIdx &&
           a.u32Sample == b.u32Sample && a.u32ExtEdge == b.u32ExtEdge && a.u32Interval == b.u32Interval &&
           a.bVMC == b.bVMC && a.u32VMCPolar == b.u32VMCPolar && a.u32VMCPulseWidth == b.u32VMCPulseWidth;
}

} // namespace

structTriggerInfo CDataManage::trigInfo() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_trigInfo;
}

// Changes the trigger record and its stored copy together, then pushes.
void CDataManage::pushTrigSettings(const std::function<void(structTriggerInfo&)>& change) {
    bool sourceChanged;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        change(m_trigInfo);
        record(m_trigInfo, m_protoTriggerFuncInfo);
        sourceChanged = m_trigSrcNow.exchange(m_trigInfo.eTrigSrc) != m_trigInfo.eTrigSrc;
    }
    if (sourceChanged) triggerSourceChanged();
    postUITrigConfig();
}

void CDataManage::samplesPerTriggerChanged() {
    // An armed acquisition keeps the counts it was armed with: a new count
    // applies from the next arming, as a setting made during a measurement
    // does. Its countdown is left alone, or a waiting read would answer
    // fewer readings than it was armed for, silently.
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        if (m_acqPending) return;
        m_singleCountDown = 1;
        oweReadingsLocked();
    }
    m_acqCv.notify_all();
}

void CDataManage::triggerSourceChanged() {
    // An edge that came under the source before is no trigger of this one:
    // left pending, it would trigger an acquisition armed under `EXT` at once.
    m_triggered = false;
    // Raised before the acquisition ends: from then on a stored reading is owed.
    oweChangeReading();
    DM_AbortRead();
    othersArmsStale();
}

void CDataManage::oweChangeReading() {
    m_triggerChange = true;
    replaceOwedReadings();
}

void CDataManage::replaceOwedReadings() {
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        oweReadingsLocked();
    }
    m_acqCv.notify_all();
}

// ------------------------------------------------------------- per reading

bool CDataManage::DM_Trigger(double value) {
    structTriggerInfo t;
    MeasureTypeEnum func;
    structFuncConfig cfg;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        t = m_trigInfo;
        func = m_eMainFunc;
        cfg = m_mainConfig;
    }
    m_passCounted = false;
    // The count is taken with the number of the acquisition it is taken for:
    // one armed before the reading reaches it must get neither the reading
    // nor, should a clear drop it, the count back.
    std::unique_lock<std::mutex> acq(m_acqMtx);
    m_passAcq = m_acqNumber;
    switch (t.eTrigSrc) {
    case SRC_EXT:
        m_measState = 4;
        // An edge that came while this acquisition was armed is one of its
        // trigger events: it takes the samples of one trigger, this reading
        // the first of them. An edge of before makes a reading of no one's.
        if (m_triggered && m_edgeAcq != 0 && m_edgeAcq == m_acqNumber && m_singleCountDown.load() == 0 &&
            takeTrigger()) {
            m_singleCountDown = m_acqSamples.load();
        }
        m_passCounted = countDown(m_singleCountDown) != 0 && m_bWaitForTrigger;
        return m_passCounted || m_triggered;
    case SRC_SINGLE: {
        const uint32_t before = countDown(m_singleCountDown);
        if (before == 0) return false;
        m_passCounted = true;
        m_measState = before > 1 ? 2 : 3;
        return true;
    }
    case SRC_AUTO:
        m_measState = t.bHold ? 1 : 0;
        m_passCounted = countDown(m_singleCountDown) != 0;
        acq.unlock();  // the hold test reads the settings, never under m_acqMtx
        if (!autoHoldInside(value, cfg, func) && t.bHold) CBeeper::instance()->Beeper_Test();
        return true;
    default: return false;
    }
}

bool CDataManage::autoHoldInside(double value, const structFuncConfig& cfg, MeasureTypeEnum func) {
    double x;
    if (isCounter(func) || func == TYPE_SENSOR) {
        x = value * 1000.0;
    } else {
        const structRangeInfo row = DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(cfg.s32Range, 0)), value);
        x = value * row.u32Round;
        if (cfg.eRate != E_Slow) x /= 10.0;
    }
    // In double: 9.9E37 scaled does not fit any integer.
    x = std::round(x);
    const float sensitivity = trigInfo().f32Sensitivity;
    if (std::fabs(x - m_holdMeasValueNew) <= std::fabs(m_holdMeasValueNew) * sensitivity * 0.5) {
        m_holdmidstat = true;
        m_holdNum = m_holdNum >= 2 ? 3 : m_holdNum.load() + 1;
        return true;
    }
    m_holdMeasValueNew = x;
    m_holdNum = 0;
    m_holdmidstat = false;
    return false;
}

void CDataManage::DM_VMCCtrl() {
    const structTriggerInfo t = trigInfo();
    if (!t.bVMC || m_vmcOn.exchange(true)) return;
    // On the loop's own thread: the loop goes on after the pulse, which is
    // why every rate bounds the width below its interval.
    CVMC::instance()->VMC_StateSet(t.u32VMCPolar == 1);
    m_clock->sleepUs(static_cast<uint64_t>(t.u32VMCPulseWidth) * 1000);
    CVMC::instance()->VMC_StateSet(t.u32VMCPolar != 1);
    m_vmcOn = false;
}

// ------------------------------------------------------------- operations

void CDataManage::TrigWaitForTrigger(bool wait) { m_bWaitForTrigger = wait; }

int CDataManage::TrigSingleTriggered() {
    uint32_t idle = 0;
    const uint64_t total = std::min<uint64_t>(TrigCountGet(), UINT32_MAX);
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        // A running episode is not restarted.
        if (m_singleCountDown.compare_exchange_strong(idle, static_cast<uint32_t>(total))) oweReadingsLocked();
    }
    m_acqCv.notify_all();
    return 0;
}

int CDataManage::TrigSingleCountSet(uint32_t n) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_trigInfo.u32Sample = n;
        record(m_trigInfo, m_protoTriggerFuncInfo);
    }
    samplesPerTriggerChanged();
    return 0;
}

int CDataManage::TrigSourceSet(int src) {
    pushTrigSettings([src](structTriggerInfo& t) { t.eTrigSrc = static_cast<TrigSrcEnum>(src); });
    return 0;
}

int CDataManage::TrigAutoHoldSet(bool on) {
    if (on) CalculateInit();
    pushTrigSettings([on](structTriggerInfo& t) { t.bHold = on; });
    return 0;
}

int CDataManage::TrigSampleCountSet(uint32_t n) {
    // Read by the next arming; an armed acquisition counts its own triggers.
    m_sampleCount = n;
    return 0;
}

uint32_t CDataManage::TrigCountTotalGet() const { return m_singleCountDown.load(); }

uint64_t CDataManage::TrigCountGet() {
    return static_cast<uint64_t>(trigInfo().u32Sample) * m_sampleCount.load();
}

void CDataManage::DM_FixIntervalByRate(int rate, MeasureTypeEnum func) {
    const uint32_t interval = intervalOfRate(rate, func, m_u32IntervalMin);
    pushTrigSettings([interval](structTriggerInfo& t) {
        if (interval != 0) t.u32Interval = interval;
    });
}

void CDataManage::DM_FixVMCPulseWidthByRate(int rate) {
    static constexpr uint32_t kWidth[3] = {100, 10, 2};
    pushTrigSettings([rate](structTriggerInfo& t) {
        if (rate >= E_Slow && rate <= E_Fast) t.u32VMCPulseWidth = kWidth[rate];
    });
}

bool CDataManage::takeTrigger() {
    if (!m_bWaitForTrigger) return false;
    uint32_t left = m_triggersLeft.load();
    while (left != 0 && !m_triggersLeft.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

// *TRG: one trigger event of the acquisition armed under the bus source; it
// owes the samples of one trigger and returns at once (FETCh? collects).
int CDataManage::ScpiTrigSingleTriggered() {
    if (!m_bWaitForTrigger) return E200_EXECUTION_ERROR;
    const structTriggerInfo t = trigInfo();
    if (t.eTrigSrc != SRC_SINGLE) return E211_TRIGGER_IGNORED;
    // One step for the acquisition's completion test: the last trigger and
    // the samples it owes arrive together.
    std::lock_guard<std::mutex> lock(m_acqMtx);
    if (!takeTrigger()) return E200_EXECUTION_ERROR;
    m_singleCountDown.fetch_add(m_acqSamples.load());
    return 0;
}

void CDataManage::postUITrigConfig() {
    ValueMap map;
    structTriggerInfo t;
    bool second;
    int32_t secondType;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        t = m_trigInfo;
        second = m_b2ndEnable;
        secondType = m_2ndtriggertype;
        if (!sameTrig(m_trigInfo, m_trigInfoLast)) {
            PrintI("Trig src = %d bHold = %d sample = %d bVmc = %d VmpPolar = %d VmcPW = %d", t.eTrigSrc, t.bHold,
                   t.u32Sample, t.bVMC, t.u32VMCPolar, t.u32VMCPulseWidth);
            m_trigInfoLast = m_trigInfo;
        }
    }
    insertS32(map, kSource, t.eTrigSrc);
    insertBval(map, kHold, t.bHold);
    insertS32(map, kSens, static_cast<int32_t>(t.u32SensIdx));
    // The second display measures at the slow pace of its main function.
    if (!second) {
        insertS32(map, kInterval, static_cast<int32_t>(t.u32Interval));
    } else if (secondType == 1 || secondType == 2) {
        insertS32(map, kInterval, secondType == 1 ? 400 : 1600);
    }
    insertS32(map, kEdge, static_cast<int32_t>(t.u32ExtEdge));
    insertS32(map, kSample, static_cast<int32_t>(t.u32Sample));
    insertBval(map, kVmc, t.bVMC);
    insertS32(map, kPolar, static_cast<int32_t>(t.u32VMCPolar));
    insertS32(map, kWidth, static_cast<int32_t>(t.u32VMCPulseWidth));
    push(UPDATE_TRIGGER_CONFIG, std::move(map));
}

// ------------------------------------------------------------- stored record

void CDataManage::ProtoTriggerFuncInfoDefault(ProtoTriggerFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    triggerDefaults(m_protoTriggerFuncInfo);
    out.CopyFrom(m_protoTriggerFuncInfo);
}

void CDataManage::ProtoTriggerFuncInfoGet(ProtoTriggerFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_protoTriggerFuncInfo);
}

void CDataManage::ProtoTriggerFuncInfoSet(const ProtoTriggerFuncInfo& in) {
    uint32_t edge;
    bool sourceChanged;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        // A stored record passes the checks of the handlers: a hand-edited or
        // damaged file must not stop the readings or stall the loop.
        structTriggerInfo t;
        const int src = in.ms32trigsrc();
        t.eTrigSrc = src >= SRC_AUTO && src <= SRC_EXT && !(src != SRC_AUTO && isTwoWireOnly(m_eMainFunc))
                         ? static_cast<TrigSrcEnum>(src)
                         : SRC_AUTO;
        t.bHold = in.mbhold();
        t.u32SensIdx = in.mu32sensidx() <= 3 ? in.mu32sensidx() : 0;
        t.f32Sensitivity = kSensitivity[t.u32SensIdx];
        t.u32Sample = std::min(std::max<uint32_t>(in.mu32sample(), 1), kSampleMax);
        t.u32ExtEdge = in.mu32extedge() <= 3 ? in.mu32extedge() : 0;
        int row = 0;
        t.u32Interval = clampInterval(in.mu32interval(), m_mainConfig.eRate, m_eMainFunc, m_u32IntervalMin, row);
        t.bVMC = in.mbvmc();
        t.u32VMCPolar = in.mu32vmcpolar() <= 1 ? in.mu32vmcpolar() : 1;
        t.u32VMCPulseWidth =
            clampPulse(in.mu32vmcpulsewidth(), m_mainConfig.eRate, m_eMainFunc, m_u32IntervalMin, row);
        m_trigInfo = t;
        sourceChanged = m_trigSrcNow.exchange(t.eTrigSrc) != t.eTrigSrc;
        // The trigger count is no part of the record: a whole new trigger
        // configuration (reset, recall) starts it at one again.
        m_sampleCount = 1;
        m_protoTriggerFuncInfo.CopyFrom(in);
        record(t, m_protoTriggerFuncInfo);
        edge = t.u32ExtEdge;
    }
    // A reset or a recall ends the acquisition whatever it restores.
    if (sourceChanged) {
        triggerSourceChanged();
    } else {
        DM_AbortRead();
        othersArmsStale();
    }
    CExtTrigger::instance()->Trig_EdgeSet(static_cast<int32_t>(edge));
    postUITrigConfig();
}

// ------------------------------------------------------------- handlers

int CDataManage::cbTrigAutoHoldSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kHold);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    return TrigAutoHoldSet(boolOf(it->second));
}

int CDataManage::cbTrigAutoHoldSensSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kSens);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const int32_t idx = s32Of(it->second);
    if (idx < 0 || idx > 3) return E224_ILLEGAL_PARAMETER_VALUE;
    pushTrigSettings([idx](structTriggerInfo& t) {
        t.u32SensIdx = static_cast<uint32_t>(idx);
        t.f32Sensitivity = kSensitivity[idx];
    });
    return 0;
}

int CDataManage::cbTrigAutoIntervalSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kInterval);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    int row = 0;
    uint32_t v = static_cast<uint32_t>(s32Of(it->second));
    {
        std::lock_guard<std::mutex> lock(_mtx);
        v = clampInterval(v, m_mainConfig.eRate, m_eMainFunc, m_u32IntervalMin, row);
    }
    PrintI("Interval=%d", static_cast<int>(v));
    pushTrigSettings([v](structTriggerInfo& t) { t.u32Interval = v; });
    return row;
}

int CDataManage::cbTrigExtSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kEdge);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const int32_t edge = s32Of(it->second);
    if (edge < 0 || edge > 3) return E222_DATA_OUT_OF_RANGE;
    CExtTrigger::instance()->Trig_EdgeSet(edge);
    pushTrigSettings([edge](structTriggerInfo& t) { t.u32ExtEdge = static_cast<uint32_t>(edge); });
    PrintI("Ext Edge=%d", edge);
    return 0;
}

int CDataManage::cbTrigSingleSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kSample);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    int64_t n = 0;
    // The trigger count's text has room for 19 characters.
    const int parsed = countParam(it->second, 1, kSampleMax, 1, 20, n);
    if (parsed != 0) return parsed;
    PrintI(" sample = %d", static_cast<int>(n));
    // Compared as the signed number given: -1 is below the least count, not
    // a count above the most.
    uint32_t count = static_cast<uint32_t>(std::clamp<int64_t>(n, 1, kSampleMax));
    int row = 0;
    if (n > kSampleMax) {
        row = E1002_ABOVE_UPPER_LIMIT;
    } else if (n < 1) {
        row = E1003_BELOW_LOWER_LIMIT;
    }
    if (static_cast<uint64_t>(count) * m_sampleCount.load() > static_cast<uint64_t>(mDataPointThreshold.load())) {
        return E221_SETTING_CONFLICT;
    }
    samplesPerTriggerChanged();
    pushTrigSettings([count](structTriggerInfo& t) { t.u32Sample = count; });
    return row;
}

int CDataManage::cbTrigSingleTriggered(unsigned int, const ValueMap&, ValueMap*) {
    return TrigSingleTriggered();
}

int CDataManage::cbTrigSourceSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kSource);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const int32_t src = s32Of(it->second);
    if (src < SRC_AUTO || src > SRC_EXT) return E221_SETTING_CONFLICT;
    MeasureTypeEnum func;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        func = m_eMainFunc;
    }
    if (src != SRC_AUTO && isTwoWireOnly(func)) return E221_SETTING_CONFLICT;
    DM_FixIntervalByRate(FunctionManage::instance().FM_GetRate(), func);
    TrigSourceSet(src);
    CalculateResetCalAver();
    CalculateLimitClear();
    postUICalculateConfig();
    oweChangeReading();
    return 0;
}

int CDataManage::cbTrigVMCStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kVmc);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const bool on = boolOf(it->second);
    pushTrigSettings([on](structTriggerInfo& t) { t.bVMC = on; });
    PrintI("VMC State=%d", on);
    return 0;
}

int CDataManage::cbTrigVMCPolarSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kPolar);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const int32_t polar = s32Of(it->second);
    pushTrigSettings([polar](structTriggerInfo& t) { t.u32VMCPolar = static_cast<uint32_t>(polar); });
    PrintI("VMC Polar=%d", polar);
    return 0;
}

int CDataManage::cbTrigVMCPulseWidthSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kWidth);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    int row = 0;
    uint32_t v = static_cast<uint32_t>(s32Of(it->second));
    {
        std::lock_guard<std::mutex> lock(_mtx);
        v = clampPulse(v, m_mainConfig.eRate, m_eMainFunc, m_u32IntervalMin, row);
    }
    pushTrigSettings([v](structTriggerInfo& t) { t.u32VMCPulseWidth = v; });
    PrintI("VMC Pulse Width = %d", static_cast<int>(v));
    return row;
}

// Queries: the UI gets numbers, remote control keywords where the set has them.
int CDataManage::cbTrigAutoHoldGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertBval(*out, kHold, trigInfo().bHold);
    return 0;
}

int CDataManage::cbTrigAutoHoldSensGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, kSens, static_cast<int32_t>(trigInfo().u32SensIdx));
    return 0;
}

int CDataManage::cbTrigAutoIntervalGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, kInterval, static_cast<int32_t>(trigInfo().u32Interval));
    return 0;
}

int CDataManage::cbTrigSingleGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, kSample, static_cast<int32_t>(trigInfo().u32Sample));
    return 0;
}

int CDataManage::cbTrigVMCStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertBval(*out, kVmc, trigInfo().bVMC);
    return 0;
}

int CDataManage::cbTrigVMCPulseWidthGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, kWidth, static_cast<int32_t>(trigInfo().u32VMCPulseWidth));
    return 0;
}

namespace {

void answerWord(unsigned int source, ValueMap* out, int key, uint32_t value, std::initializer_list<const char*> words) {
    if (!isRemote(source)) {
        insertS32(*out, key, static_cast<int32_t>(value));
        return;
    }
    insertStr(*out, key, value < words.size() ? *(words.begin() + value) : "");
}

} // namespace

int CDataManage::cbTrigExtGet(unsigned int source, const ValueMap&, ValueMap* out) {
    answerWord(source, out, kEdge, trigInfo().u32ExtEdge, {"RISE", "FALL", "HIGH", "LOW"});
    return 0;
}

int CDataManage::cbTrigSourceGet(unsigned int source, const ValueMap&, ValueMap* out) {
    answerWord(source, out, kSource, static_cast<uint32_t>(trigInfo().eTrigSrc), {"IMM", "BUS", "EXT"});
    return 0;
}

int CDataManage::cbTrigVMCPolarGet(unsigned int source, const ValueMap&, ValueMap* out) {
    answerWord(source, out, kPolar, trigInfo().u32VMCPolar, {"NEG", "POS"});
    return 0;
}
