// CDataManage: the measurement loop. A pass polls the converter every 1 ms
// until the trigger interval ends, calibrating, settling, auto-ranging and
// collecting the window of newest samples; then it reports at most one
// reading. The loop and the trigger waiter are the engine's two pool tasks.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "CDataManage.h"
#include "CThreadPool.h"
#include "FunctionManage.h"
#include "RangeInfoTables.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "drv/extTrig/CExtTrigger.h"
#include "inc_enum.h"

namespace {

constexpr double kOverload = 9.9e37;
// A sample differing from the last by more than this share of the range's
// upper auto-range limit is a step in the input.
constexpr double kStepShare = 0.003;
// Samples are used once the settle counter is above 19.
constexpr int32_t kSettled = 20;
constexpr uint64_t kPollUs = 1000;
constexpr int32_t kFrameLen = 34;
// A failing trigger read waits this long per failure in a row, at most ten times.
constexpr uint64_t kWaitBackoffUs = 100000;
constexpr int kWaitBackoffMax = 10;

bool isOhm(uint32_t f) { return f == TYPE_OHM2 || f == TYPE_OHM4; }
bool isCounter(uint32_t f) { return f == TYPE_PERIOD || f == TYPE_FREQ; }

// Settle counter after a configuration change seen at the end of a pass.
int32_t settleAfterChange(uint32_t f) { return f == TYPE_CAP ? 20 : isOhm(f) ? 18 : 0; }
// Settle counter after a step in the input.
int32_t settleAfterStep(uint32_t f) { return f == TYPE_CAP ? 20 : isOhm(f) ? 18 : 10; }

// Samples averaged per reading; a rate outside the table counts as slow.
size_t windowSize(int rate) {
    return u32RateSampleCount[rate >= E_Slow && rate <= E_Fast ? rate : E_Slow];
}

// Raw samples summed per calibration point, as a power of two.
int caliShift(uint32_t f) { return f == TYPE_CAP ? 1 : isOhm(f) ? 2 : 4; }

} // namespace

void CDataManage::start() {
    m_zAcqRunning = true;
    DM_CalInit();
    SEN_Init();
    CalculateResetCalRel();
    CalculateInit();
    CThreadPool::instance()->async(
        [this] {
            while (m_zAcqRunning) waitTriggerOnce();
        },
        true);
    CThreadPool::instance()->async([this] { DM_Run(); }, true);
    PrintI("CAcquisition::start running");
}

bool CDataManage::stop(uint64_t waitMs) {
    m_zAcqRunning = false;
    for (uint64_t waited = 0; m_loopRunning && waited < waitMs; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return !m_loopRunning;
}

void CDataManage::DM_Run() {
    m_loopRunning = true;
    loopStart();
    while (m_zAcqRunning) runPass();
    m_loopRunning = false;
}

void CDataManage::loopStart() {
    m_lastDataTime = m_lastFreqTime = m_clock->nowMs();
    m_throwCount = 0;
    m_loopLastVal = 0;
    m_tempQueue.clear();
}

void CDataManage::waitTriggerOnce() {
    const bool edge = m_waitEdge ? m_waitEdge() : CExtTrigger::instance()->Trig_ExtIrq();
    if (edge) {
        m_waitFailures = 0;
        externalEdge();
        m_clock->sleepUs(kPollUs);
        return;
    }
    // Not connected yet or a device error: no edge. Wait before the next try
    // so that a failing device neither spins nor fakes triggers.
    const int failures = std::min(++m_waitFailures, kWaitBackoffMax);
    m_clock->sleepUs(kWaitBackoffUs * static_cast<uint64_t>(failures));
}

void CDataManage::externalEdge() {
    // Under the lock of the arm and of the trigger decision: an edge is of
    // the acquisition armed as it came, whatever is armed by its reading.
    std::lock_guard<std::mutex> lock(m_acqMtx);
    m_edgeAcq = m_acqPending ? m_acqNumber : 0;
    m_triggered = true;
}

CDataManage::PassSettings CDataManage::passSettings() {
    std::lock_guard<std::mutex> lock(_mtx);
    // Interval 0 (or any below the model's shortest) would never end a pass.
    const uint32_t interval = std::max(m_trigInfo.u32Interval, std::max<uint32_t>(m_u32IntervalMin, 2));
    return {m_eMainFunc, m_mainConfig, m_b2ndEnable, m_e2ndFunc, m_trigInfo.eTrigSrc, interval, m_generation.load()};
}

void CDataManage::runPass() {
    // An edge stays pending until a pass makes its reading (or a capture's
    // value): one that ends without (a range step, a clear, a calibration
    // change) leaves it to the next, which reads the input as it is now.
    if (m_passReported) m_triggered = false;
    m_passReported = false;
    m_rawVal = 0;
    m_caliTotal = 0;
    m_caliCount = 0;
    const PassSettings s = passSettings();
    if (s.generation != m_windowGeneration) {
        // The readings were cleared (new function or range): samples of
        // before must not be averaged into readings of after.
        m_windowGeneration = s.generation;
        m_tempQueue.clear();
        m_loopLastVal = 0;
        m_diodCount = 0;
    }
    uint32_t func = s.mainFunc;
    structFuncConfig config = s.mainConfig;
    double calVal = 0;
    if (!samplePass(s, func, config, calVal)) return;
    // The next pass starts where this one was due to end, so that passes
    // keep the interval's pace on the millisecond clock; after a late end
    // (a pulse, an external trigger, a charge cycle) it starts now.
    const uint64_t now = m_clock->nowMs();
    const uint64_t due = m_lastDataTime + s.interval;
    m_lastDataTime = now >= due && now - due < s.interval ? due : now;
    if (m_confChange.exchange(false)) {
        m_throwCount = settleAfterChange(config.eRealFunc);
        return;
    }
    // A capture's samples never pass the settle counter: a capture started
    // right after a change of function or range would wait for it forever.
    if (m_throwCount == 0 && !m_zCaliRunning) return;

    while (m_tempQueue.size() > windowSize(config.eRate)) m_tempQueue.pop_front();
    double avgVal = 0;
    for (double v : m_tempQueue) avgVal += v;
    if (!m_tempQueue.empty()) avgVal /= static_cast<double>(m_tempQueue.size());
    const structRangeInfo row = DM_GetRangeInfo(config.eRealFunc, static_cast<uint32_t>(config.s32Range), calVal);
    // An overload keeps its sign where the row has negatives: -9.9e37 is
    // the negative one.
    if (std::isnan(avgVal) || avgVal > row.f32OverLimit) avgVal = kOverload;
    else if (avgVal < -row.f32OverLimit) avgVal = row.zHasNegative ? -kOverload : kOverload;
    if (avgVal < 0 && !row.zHasNegative) avgVal = 0;

    m_isFreqReady = DM_FreqData(config.eRealFunc, m_freqRaw);
    if (m_isFreqReady) {
        if (config.bAutoRange && m_freqRaw == 0 && isCounter(func)) {
            counterRangeDown(static_cast<MeasureTypeEnum>(func), config);
        }
        // Without the counter's table a count reads 0, as every sample does.
        m_freqVal = 0;
        DM_CalData(TYPE_FREQ, 0, m_freqRaw, m_freqVal);
    }
    if (m_zCaliRunning) {
        // An edge gives a capture one value and nothing else: it goes with
        // the value, as with a reading.
        m_passReported = caliPass(func, config);
        return;
    }
    // An emptied window has nothing to report: 0.0 would be a false reading.
    if (m_tempQueue.empty()) return;
    reportPass(s, func, config, avgVal);
}

bool CDataManage::samplePass(const PassSettings& s, uint32_t& func, structFuncConfig& config, double& calVal) {
    const int64_t interval = s.interval;
    // The function the window's samples must be of: the engine's own.
    uint32_t windowFunc = s.mainFunc;
    uint32_t frameFunc = 0;
    structFuncConfig frameConfig = config;
    for (;;) {
        if (!m_zAcqRunning) return false;
        if (static_cast<int64_t>(m_clock->nowMs() - m_lastDataTime) >= interval) return true;
        m_clock->sleepUs(kPollUs);
        if (m_intervalRestart.exchange(false)) m_lastDataTime = m_clock->nowMs();
        if (m_windowReset.exchange(false)) {
            // A new configuration: its interval and charge timing start now,
            // and it settles anew. Left to the end of the interval, the first
            // auto-range decision would clear the change and the front end's
            // samples of the old function would be averaged as the new one's.
            // It settles as the configuration now in force asks, not as this
            // pass's snapshot taken before the change: the change flag may be
            // gone already (the pass before ended in between), and a
            // capacitance settled as a voltage would wait twenty charge
            // cycles, longer than a read waits.
            uint32_t real;
            {
                std::lock_guard<std::mutex> lock(_mtx);
                real = m_mainConfig.eRealFunc;
                windowFunc = m_eMainFunc;
            }
            m_tempQueue.clear();
            m_loopLastVal = 0;
            m_throwCount = settleAfterChange(real);
            m_lastDataTime = m_capDataTime = m_clock->nowMs();
        }
        if (s.src == SRC_EXT && !m_triggered && !m_triggerChange) {
            // The samples an edge owes an acquisition follow at the pace of
            // the interval; otherwise the pass waits for an edge.
            if (m_singleCountDown.load() == 0 || !m_bWaitForTrigger) {
                m_lastDataTime = m_clock->nowMs();
                continue;
            }
        } else if (s.src == SRC_EXT) {
            m_lastDataTime -= static_cast<uint64_t>(2 * interval);
            m_throwCount = kSettled;
        }
        if (!DM_AcqData(frameFunc, frameConfig, nullptr, kFrameLen)) continue;
        // The engine takes a new function before the front end runs it (or
        // after, by the road the change came): a frame of another function
        // than the engine's, right as it is decoded, would be reported in the
        // engine's function's unit (12 mA as 12 kOhm). Skipped, its
        // configuration is not the one the pass reports by either (12 mA
        // shown in the row of another function's range index, as 12 uA).
        if (frameFunc != windowFunc) continue;
        func = frameFunc;
        config = frameConfig;
        if (config.s32Range != m_windowRange && !m_tempQueue.empty()) {
            // A range the window's samples are not of (a handler's, reaching
            // the front end after the engine): they would be averaged with its
            // samples and shown in its unit (0.5 mV as 0.5 V). It starts over
            // and settles.
            m_tempQueue.clear();
            m_loopLastVal = 0;
            m_throwCount = std::min(m_throwCount, settleAfterChange(config.eRealFunc));
        }
        m_windowRange = config.s32Range;
        if (!DM_RawData(config.eRealFunc, config, nullptr, m_rawVal)) continue;
        if (m_zCaliRunning) {
            m_lastDataTime = m_clock->nowMs();
            m_caliTotal += m_rawVal;
            if (++m_caliCount >= (1 << caliShift(config.eRealFunc))) return true;
            continue;
        }
        if (!DM_CalData(config.eRealFunc, static_cast<uint32_t>(config.s32Range), m_rawVal, calVal)) continue;
        if (m_throwCount < kSettled) {
            ++m_throwCount;
            if (config.eRealFunc == TYPE_CONT) m_lastDataTime = m_clock->nowMs();
            continue;
        }
        takeSample(static_cast<MeasureTypeEnum>(func), config, calVal);
    }
}

void CDataManage::takeSample(MeasureTypeEnum mainFunc, const structFuncConfig& config, double calVal) {
    const uint32_t real = config.eRealFunc;
    if (real != TYPE_CONT && real != TYPE_DIODE) {
        const structRangeInfo row = DM_GetRangeInfo(real, static_cast<uint32_t>(config.s32Range), calVal);
        if (DM_AutoRange(mainFunc, config, calVal, row)) {
            // The window and last sample belong to the old range's unit.
            m_throwCount = real == TYPE_CAP ? 19 : 0;
            m_lastDataTime = m_clock->nowMs();
            m_loopLastVal = 0;
            m_tempQueue.clear();
            return;
        }
        const double step = std::fabs(static_cast<double>(row.f32AutoUpper) * kStepShare /
                                      static_cast<double>(row.f32MinUnite));
        if (std::fabs(calVal - m_loopLastVal) > step) {
            m_throwCount = settleAfterStep(real);
            m_tempQueue.assign(1, calVal);
            m_loopLastVal = calVal;
            return;
        }
    }
    m_loopLastVal = calVal;
    m_tempQueue.push_back(calVal);
    // No pass averages more than the slow window.
    if (m_tempQueue.size() > windowSize(E_Slow)) m_tempQueue.pop_front();
}

void CDataManage::counterRangeDown(MeasureTypeEnum mainFunc, const structFuncConfig& config) {
    if (config.s32Range < 1 || !rangeStep(mainFunc, config.s32Range, config.s32Range - 1)) return;
    m_autoRangeLocked = true;
    configurationChange();
}

bool CDataManage::caliPass(uint32_t func, const structFuncConfig& config) {
    m_RawDataQueue.PopOldest();
    int64_t value = 0;
    if (isCounter(func)) {
        if (!m_isFreqReady) return false;
        value = m_freqRaw;
    } else {
        const int shift = caliShift(config.eRealFunc);
        // Only a pass that ended by count, not by time, carries a point.
        if (m_caliCount != (1 << shift)) return false;
        value = m_caliTotal >> shift;
    }
    m_RawDataQueue.Push(value);
    PrintI("cali push func=%d, range=%d, data=%lld, raw=%lld", static_cast<int>(func), config.s32Range,
           static_cast<long long>(value), static_cast<long long>(m_rawVal));
    return true;
}

double CDataManage::baseFactor(uint32_t func, const structRangeInfo& row) {
    const double m = row.f32MinUnite;
    switch (func) {
    case TYPE_DCV:
    case TYPE_ACV: return m / 1e3;
    case TYPE_DCI:
    case TYPE_ACI:
    case TYPE_PERIOD: return m / 1e6;
    case TYPE_CAP: return m / 1e9;
    default: return func < MEASURE_TYPE_COUNT ? m : 1.0;
    }
}

// Period and frequency rows above the first show ms and kHz.
static double counterScaled(double value, const structRangeInfo& row) {
    const float lower = row.f32AutoLower;
    if (lower == 10000.0f || lower == 100.0f || lower == 1000.0f) return value / 1000.0;
    if (lower == 100000.0f) return value / 1e6;
    return value;
}

structRangeInfo CDataManage::displayValue(MeasureTypeEnum func, int32_t range, double& value) {
    const structRangeInfo row = DM_GetRangeInfo(func, static_cast<uint32_t>(range), value);
    if (isCounter(func)) {
        FunctionManage::instance().FreqPeriRealRangeSet(func, value);
        value = counterScaled(value, row);
        if (func == TYPE_FREQ && value < 0.1) value = 0;
    }
    // A period of a zero frequency, or any NaN: an overload, never a number.
    if (!std::isfinite(value)) value = kOverload;
    return row;
}

void CDataManage::reportPass(const PassSettings& s, uint32_t func, const structFuncConfig& config, double avgVal) {
    DM_Beep(func, avgVal);
    uint64_t readingTime = m_lastDataTime;
    double retVal = avgVal;
    if (isCounter(s.mainFunc)) {
        if (!m_isFreqReady) return;
        retVal = s.mainFunc == TYPE_FREQ ? m_freqVal : 1e6 / m_freqVal;
        readingTime = m_lastFreqTime;
    }
    // A reading of what a clear dropped must not take a count of the
    // acquisition that follows it.
    if (m_generation.load() != s.generation) return;
    if (!DM_Trigger(retVal) && !m_triggerChange) return;
    const bool edge = m_triggered.exchange(false);
    DM_VMCCtrl();
    if (s.mainFunc == TYPE_SENSOR) retVal = sensorReading(config, avgVal);

    const structRangeInfo row = displayValue(s.mainFunc, config.s32Range, retVal);
    const double factor = baseFactor(s.mainFunc, row);
    const double toBase = factor > 0 ? factor : 1.0;
    const bool over = !(std::fabs(retVal) <= row.f32OverLimit);
    if (over) retVal = retVal < 0 ? -kOverload : kOverload;
    structReading reading{};
    {
        std::unique_lock<std::mutex> lock(m_bufferMtx);
        // A clear since this pass began: the reading belongs to what was
        // cleared, and the acquisition is still owed it.
        if (m_generation.load() != s.generation) {
            lock.unlock();
            passOwedAgain(edge);
            return;
        }
        // The math works in base units, so that its offsets, limits and
        // statistics span range and band changes; the reading is kept in
        // the unit of its row.
        double base = over ? retVal : retVal * toBase;
        CalculateHandle(base);
        if (!over) retVal = base / toBase;
        if (m_buffer.empty()) m_bufferStartTime = readingTime;
        m_bufferCurrentTime = readingTime;
        reading = {retVal, toBase, row.f32OverLimit};
        appendBounded(m_buffer, reading, true);
        m_passReported = true;
    }
    // The overload condition is in force before the read that takes the reading returns.
    overloadCondition(s.mainFunc, over);
    DataCollectForSCPI(s.mainFunc, reading, m_passCounted, m_passAcq);
    DM_NotifyClient(true, retVal, row);
    m_triggerChange = false;
    // After the flag: a waiter woken here finds nothing owed any more.
    operationProgress();
    reportSecond(s, config, avgVal);
}

void CDataManage::reportSecond(const PassSettings& s, const structFuncConfig& config, double avgVal) {
    if (!s.b2ndEnable || s.func2 >= MEASURE_TYPE_COUNT || duaFuncMap[s.func2][s.mainFunc] != 2) return;
    double value = avgVal;
    if (isCounter(s.func2)) {
        if (!m_isFreqReady) return;
        value = s.func2 == TYPE_FREQ ? m_freqVal : 1e6 / m_freqVal;
    }
    const structRangeInfo row = displayValue(s.func2, config.s32Range, value);
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        if (m_generation.load() != s.generation) return;
        appendBounded(m_buffer2, {value, baseFactor(s.func2, row), row.f32OverLimit}, false);
    }
    noteArrival();
    DM_NotifyClient(false, value, row);
}

void CDataManage::appendBounded(std::deque<structReading>& buffer, const structReading& r, bool main) {
    const size_t capacity = static_cast<size_t>(std::max<int32_t>(mDataPointThreshold.load(), 1));
    while (buffer.size() >= capacity) {
        buffer.pop_front();
        // The oldest unsent reading moved down by one; never below the front.
        if (main && m_bufferOffset > 0) --m_bufferOffset;
    }
    buffer.push_back(r);
}

void CDataManage::configurationChange() {
    m_confChange = true;
    m_lastDataTime = m_clock->nowMs();
    clearReadings(true, nullptr, ClearBy::RangeStep);
}

int CDataManage::BufferClean() {
    clearReadings(true);
    return 0;
}

void CDataManage::clearReadings(bool second, KeptMemory* keep, ClearBy by) {
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        // Taken with the clear: no reading comes or goes in between. Only the
        // first change since the arm finds the acquisition's readings (the
        // auto-range steps it measured through leave them to it), and only
        // while the message that armed it runs: its store is still to come.
        if (keep != nullptr && m_changeClears.load() == keep->armedAt && m_armingMessages.count(keep->client) != 0) {
            addReadingsLocked(keep->record);
            m_keptMemory = std::move(*keep);
        }
        m_generation.fetch_add(1);
        if (by == ClearBy::Change) m_changeClears.fetch_add(1);
        m_bufferOffset = 0;
        m_buffer.clear();
        if (second) m_buffer2.clear();
        m_protoDataInfo.Clear();
    }
    setScpiReadData(std::string());
}

// ------------------------------------------------------------- auto range

// A range change of the loop reaches the front end, then the engine, only
// while both still run what the loop decided on: the function settings
// write the front end first and the engine after, and a handler's new
// configuration must not be undone by a decision taken on the old one.
bool CDataManage::applyRange(MeasureTypeEnum mainFunc, int32_t from, int32_t to) {
    structFuncConfig cfg;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (m_eMainFunc != mainFunc || m_mainConfig.s32Range != from) return false;
        cfg = m_mainConfig;
    }
    cfg.s32Range = to;
    if (!m_frontEnd->changeRange(mainFunc, from, cfg)) return false;
    std::lock_guard<std::mutex> lock(_mtx);
    if (m_eMainFunc != mainFunc || m_mainConfig.s32Range != from) return false;
    m_mainConfig.s32Range = to;
    return true;
}

bool CDataManage::rangeStep(MeasureTypeEnum mainFunc, int32_t from, int32_t to) {
    return FunctionManage::instance().AutoRangeRealRangeUpdate(
               mainFunc, from, to, [&] { return applyRange(mainFunc, from, to); }) == 0;
}

bool CDataManage::DM_AutoRange(MeasureTypeEnum mainFunc, const structFuncConfig& config, double val,
                               const structRangeInfo& rangeInfo) {
    // A sample of a fixed range (also one left over from the function
    // before) decides nothing, whatever runs by now.
    if (!config.bAutoRange) {
        m_confChange = false;
        m_capScaning = false;
        return false;
    }
    if (m_autoRangeLocked) return false;
    const uint32_t func = config.eRealFunc;
    const double x = std::fabs(val * rangeInfo.f32MinUnite);
    const int32_t range = config.s32Range;
    int32_t next = range;
    bool up = false;
    if (x < rangeInfo.f32AutoLower && range >= 1) {
        next = (range != 1 && x < 0.1 * rangeInfo.f32AutoLower) ? range - 2 : range - 1;
    } else if (x > rangeInfo.f32AutoUpper && range < config.s32RangeMax) {
        up = true;
        // The capacitance scan jumps to 10 uF first, but only upwards.
        if (func == TYPE_CAP && !m_confChange && !m_capScaning && range < CAMP_10UF) {
            m_capScaning = true;
            next = CAMP_10UF;
        } else {
            next = range + 1;
        }
    }
    if (next == range) {
        m_confChange = false;
        m_capScaning = false;
        return false;
    }
    if (!rangeStep(mainFunc, range, next)) return false;
    configurationChange();
    if (up && func == TYPE_CAP && next <= CAMP_10UF) m_confChange = false;
    return true;
}

// ------------------------------------------------------------- beeper

void CDataManage::DM_Beep(uint32_t func, double val) {
    SystemSetup* system = Copperwren::Singleton<SystemSetup>::Instance();
    if (func != TYPE_CONT && func != TYPE_DIODE) {
        if (m_BeepSwitch.exchange(false) && system) system->API_Beeper_Switch(false);
        return;
    }
    structBeeperRange window;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        window = func == TYPE_CONT ? m_stContRange : m_stDiodRange;
    }
    const bool out = val < window.f32Lower || val > window.f32Upper;
    if (m_BeepSwitch != out) {
        m_diodCount = 0;
        return;
    }
    // A diode must stay in its window for five readings in a row.
    if (++m_diodCount < 5 && func == TYPE_DIODE) return;
    const bool on = !m_BeepSwitch;
    m_BeepSwitch = on;
    if (!system) return;
    if (func == TYPE_CONT) {
        system->API_Beeper_Switch(on);
    } else if (on) {
        system->API_Beeper_Test();
    }
}

void CDataManage::DM_BeepSwitch(bool on) {
    m_BeepSwitch = !on;
}
