// CDataManage: the roads a reading leaves by: the display text and the UI
// notifications, and the answer texts of a waiting remote read.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>

#include "CDataManage.h"
#include "DrvScpiSM.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "CFEM.h"
#include "FunctionManage.h"
#include "ReadingText.h"
#include "Util/logger.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr uint64_t kSyncThrottleMs = 49;

// Inserts `sep` between groups of three digits, counted from `fromRight`
// (integer part) or from the left (fraction).
std::string grouped(const std::string& digits, char sep, bool fromRight) {
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t pos = fromRight ? n - i : i;
        if (i > 0 && pos % 3 == 0) out += sep;
        out += digits[i];
    }
    return out;
}

// The QUEStionable bit an overloaded reading of `func` sets: voltage,
// current, resistance, capacitance or period (a sensor reading sets none).
uint16_t overloadBit(uint32_t func) {
    switch (func) {
    case TYPE_DCV: case TYPE_ACV: case TYPE_DIODE: case TYPE_FREQ: return 1u << 0;
    case TYPE_DCI: case TYPE_ACI: return 1u << 1;
    case TYPE_OHM2: case TYPE_OHM4: case TYPE_CONT: return 1u << 9;
    case TYPE_CAP: return 1u << 10;
    case TYPE_PERIOD: return 1u << 5;
    default: return 0;
    }
}

} // namespace

void CDataManage::push(service_id id, ValueMap map) {
    if (m_pushSink) {
        m_pushSink(id, std::move(map));
    } else {
        CFEM::pushMessage(id, std::move(map));
    }
}

std::string CDataManage::DM_FormatNumber(double number, char sep, const structRangeInfo& info, int rate, char dot,
                                         bool plusSign) {
    if (!std::isfinite(number) || number > info.f32OverLimit || number < -info.f32OverLimit) return info.u8Over;
    MeasureTypeEnum func;
    int32_t range;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        func = m_eMainFunc;
        range = m_mainConfig.s32Range;
    }
    const bool bigOhm = (func == TYPE_OHM2 || func == TYPE_OHM4) && range >= 4 && !GetOHMShow5();
    const char* format = rate == E_Slow && !bigOhm ? info.u8Format : info.u8FastFmt;
    char text[64];
    const int n = std::snprintf(text, sizeof(text), format, number);
    if (n <= 0 || n >= static_cast<int>(sizeof(text))) return info.u8Over;
    std::string s(text);
    const size_t mark = s.rfind('.');
    if (mark == std::string::npos) return s;
    const size_t digits = s.find_first_of("0123456789");
    if (digits == std::string::npos || digits > mark) return s;
    const std::string sign = s.substr(0, digits);
    std::string whole = s.substr(digits, mark - digits);
    std::string fraction = s.substr(mark + 1);
    if (sep != 0) {
        whole = grouped(whole, sep, true);
        fraction = grouped(fraction, sep, false);
    }
    s = sign + whole + dot + fraction;
    if (number >= 0 && !plusSign && !s.empty() && s[0] == '+') s[0] = ' ';
    return s;
}

void CDataManage::overloadCondition(uint32_t func, bool over) {
    constexpr uint16_t kAll = (1u << 0) | (1u << 1) | (1u << 5) | (1u << 9) | (1u << 10);
    SCPI_STAT_QUES_ConditionSet(kAll, over ? overloadBit(func) : 0);
}

int CDataManage::DataCollectForSCPI(uint32_t /*func*/, const structReading& reading, bool counted,
                                    uint64_t countedFor) {
    bool opc = false;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        ++m_acqArrivals;
        if (counted && m_acqPending && (countedFor == kArmedNow || countedFor == m_acqNumber)) {
            ++m_acqCounted;
            if (!m_acqText.empty()) m_acqText += ',';
            m_acqText += readingText(reading);
            // Complete once no trigger is to come and the last one's
            // readings are all in.
            if (m_singleCountDown.load() == 0 && m_triggersLeft.load() == 0) {
                opc = endAcquisitionLocked();
                m_bWaitForTrigger = false;
                setScpiReadData(m_acqText);
            }
        }
    }
    m_acqCv.notify_all();
    if (opc) IEEE488_OPC_Excu();
    return 0;
}

void CDataManage::passOwedAgain(bool edge) {
    std::lock_guard<std::mutex> lock(m_acqMtx);
    if (m_passCounted) {
        // An arm since has counted its own readings from its start.
        if (m_acqNumber == m_passAcq) m_singleCountDown.fetch_add(1);
    } else if (edge && !m_triggered) {
        // It triggered no acquisition, nor does it now; an edge pending
        // since is read with it.
        m_edgeAcq = 0;
        m_triggered = true;
    }
}

void CDataManage::noteArrival() {
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        ++m_acqArrivals;
    }
    m_acqCv.notify_all();
}

void CDataManage::operationProgress() {
    bool opc;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        opc = opcDueLocked();
    }
    m_acqCv.notify_all();
    if (opc) IEEE488_OPC_Excu();
}

bool CDataManage::changeReadingOwed() {
    if (m_triggerChange) return true;
    // Under the bus trigger the loop stores the readings a count change or
    // a function update counted down without any trigger; with an
    // acquisition armed the count is the acquisition's.
    return !m_acqPending && m_singleCountDown.load() != 0 && m_trigSrcNow.load() == SRC_SINGLE;
}

bool CDataManage::operationPendingLocked() { return m_acqPending || changeReadingOwed(); }

bool CDataManage::opcDueLocked() {
    if (!m_opcPending || operationPendingLocked()) return false;
    m_opcPending = false;
    return true;
}

bool CDataManage::endAcquisitionLocked() {
    m_acqPending = false;
    return opcDueLocked();
}

uint64_t CDataManage::acqArm(uint32_t triggers, uint32_t now) {
    bool opc;
    uint64_t number;
    // Taken before m_acqMtx, which is never held with _mtx.
    const uint32_t samples = trigInfo().u32Sample;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        // The client that arms owns the new acquisition; a read of the one it
        // replaces, waiting or about to wait, answers that one's readings, cut
        // short unless it completed.
        m_acqReplaced = {m_acqNumber, std::move(m_acqText), m_acqCutShort || m_acqPending};
        number = ++m_acqNumber;
        m_acqClears = m_changeClears.load();
        noteArmerLocked(number);
        // A new acquisition ends the one armed before, with what it still owed.
        m_triggersLeft = 0;
        m_singleCountDown = 0;
        opc = endAcquisitionLocked();
        m_acqPending = true;
        m_acqCutShort = false;
        m_acqText.clear();
        m_triggersLeft = triggers;
        m_acqSamples = samples;
        m_singleCountDown = now;
        m_bWaitForTrigger = true;
    }
    m_acqCv.notify_all();
    if (opc) IEEE488_OPC_Excu();
    setScpiReadData(std::string());
    noteArmingMessage();
    return number;
}

void CDataManage::DM_AbortRead() { endAcquisition(false, 0); }

void CDataManage::DM_AbortBy(const void* client) {
    DM_AbortRead();
    armsStaleExcept(client, client == nullptr);
}

void CDataManage::endArmed(uint64_t acq) { endAcquisition(true, acq); }

void CDataManage::endAcquisition(bool armedOnly, uint64_t acq) {
    bool opc;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        // Nothing armed, or another arm's acquisition: a reading a change
        // owes is kept, and the other client's acquisition goes on.
        if (armedOnly && (!m_acqPending || (acq != 0 && acq != m_acqNumber))) return;
        m_triggersLeft = 0;
        m_singleCountDown = 0;
        m_bWaitForTrigger = false;
        if (m_acqPending) m_acqCutShort = true;
        opc = endAcquisitionLocked();
    }
    m_acqCv.notify_all();
    if (opc) IEEE488_OPC_Excu();
}

void CDataManage::DM_WakeWaits() {
    // Taken once: a wait that looked at its list before the change is
    // asleep by the time the lock is had, and hears the notification.
    { std::lock_guard<std::mutex> lock(m_acqMtx); }
    m_acqCv.notify_all();
}

bool CDataManage::DM_AcquisitionPending() {
    std::lock_guard<std::mutex> lock(m_acqMtx);
    return operationPendingLocked();
}

bool CDataManage::DM_OpcWhenDone() {
    std::lock_guard<std::mutex> lock(m_acqMtx);
    m_opcPending = operationPendingLocked();
    return !m_opcPending;
}

void CDataManage::DM_OpcCancel() {
    std::lock_guard<std::mutex> lock(m_acqMtx);
    m_opcPending = false;
}

int CDataManage::DM_WaitAcquisition() {
    // Nothing to wait for: the message keeps its turn, and no other client's
    // runs in the middle of it.
    if (!DM_AcquisitionPending()) return 0;
    using Clock = std::chrono::steady_clock;
    // Other clients' messages run meanwhile; made before the lock, which
    // taking the turn back must not hold.
    ListWait::Waiting waiting;
    std::unique_lock<std::mutex> lock(m_acqMtx);
    // What it waits for is fixed now. Other clients' arms and changes run
    // while it waits, each owing its own: waiting for those too, a stream
    // of resets would hold it for as long as the stream lasts.
    const bool armed = m_acqPending, owed = changeReadingOwed();
    const uint64_t acq = m_acqNumber, changes = m_changesOwing;
    const auto pending = [&] {
        return (armed && m_acqPending && m_acqNumber == acq) ||
               (owed && m_changesOwing == changes && changeReadingOwed());
    };
    ++m_operationWaits;
    // Any reading stored starts the time-out anew: the readings the
    // operation waits for, or those of the free run it waits behind.
    uint64_t seen = m_acqArrivals;
    auto since = Clock::now();
    int result = 0;
    while (pending() && !waitCancelled()) {
        if (m_acqArrivals != seen) {
            seen = m_acqArrivals;
            since = Clock::now();
        }
        const auto deadline = readDeadline(since);
        if (Clock::now() >= deadline) {
            result = E365_TIME_OUT_ERROR;
            break;
        }
        m_acqCv.wait_until(lock, deadline);
    }
    --m_operationWaits;
    return result;
}

int CDataManage::waitAcquisitionLocked(std::unique_lock<std::mutex>& lock, uint64_t acq) {
    using Clock = std::chrono::steady_clock;
    // A time-out of inactivity: a long acquisition goes on as long as its
    // readings keep coming.
    uint64_t seen = m_acqCounted;
    auto since = Clock::now();
    while (m_acqPending && !waitCancelled()) {
        if (m_acqCounted != seen) {
            seen = m_acqCounted;
            since = Clock::now();
        }
        // Another arm ended it: the readings of the new one are not its own.
        if (m_acqNumber != acq) break;
        const auto deadline = readDeadline(since);
        if (Clock::now() >= deadline) {
            return E365_TIME_OUT_ERROR;
        }
        m_acqCv.wait_until(lock, deadline);
    }
    return 0;
}

CDataManage::ReaderPlace::ReaderPlace(std::atomic<bool>& running) : m_running(running) {
    bool idle = false;
    m_held = m_running.compare_exchange_strong(idle, true);
    if (!m_held) PrintE("Function is already running");
}

CDataManage::ReaderPlace::~ReaderPlace() {
    if (m_held) m_running = false;
}

int CDataManage::DM_RunScpiReadFunction(std::string& out, uint64_t acq) {
    const ReaderPlace place(m_zScpiReadDataRunning);
    if (!place.held()) return E284_PROGRAM_CURRENTLY_RUNNING;
    return readAcquisition(out, acq);
}

int CDataManage::readAcquisition(std::string& out, uint64_t acq) {
    int result = 0;
    bool cutShort = false;
    {
        ListWait::Waiting waiting;  // before the lock, as in DM_WaitAcquisition
        std::unique_lock<std::mutex> lock(m_acqMtx);
        if (acq == 0) acq = m_acqNumber;
        result = waitAcquisitionLocked(lock, acq);
        // Complete, or ended early: the readings taken so far.
        if (result != 0) {
            out = "9.9E37";
        } else if (m_acqNumber != acq) {
            takeReplacedLocked(acq, out, cutShort);
        } else {
            out = m_acqText;
            cutShort = m_acqCutShort;
        }
    }
    if (cutShort) noteStale("remote read ended before its acquisition completed", out);
    return result;
}

// Ended or overtaken by another client, the answer is sent but is not the
// whole acquisition as it stands: the entry lets a script tell the two apart.
// A list that its own client's abort reached, or whose client has left, has
// its reply dropped, so it gets no entry either.
void CDataManage::noteStale(const char* why, const std::string& out) {
    if (waitCancelled()) return;
    PrintW("%s: %s", why, out.empty() ? "no readings" : out.c_str());
    SCP_ExecuteErrNotify();
    SCP_WriteErrorQueue(g_asErrInfo[E230_DATA_CORRUPT_OR_STALE]);
}

void CDataManage::takeReplacedLocked(uint64_t acq, std::string& out, bool& cutShort) {
    // Replaced twice before the read woke (its arm and its wait apart, or a
    // wake-up late): what it took is gone, the answer is only cut short.
    // Kept until the next arm: the read that waited on it and every FETCh?
    // of the same client after it answer it.
    const bool kept = m_acqReplaced.number == acq;
    out = kept ? m_acqReplaced.text : std::string();
    cutShort = !kept || m_acqReplaced.cutShort;
}

// A client that has left arms nothing more (its lists are cancelled before
// this): its record cannot come back.
void CDataManage::noteArmerLocked(uint64_t number) {
    const void* client = ListWait::clientHere();
    if (!waitCancelled()) {
        m_acqArmedBy[client] = ArmRecord{number, false};
    } else {
        m_acqArmedBy.erase(client);
    }
}

void CDataManage::othersArmsStale() {
    const void* setter = ListWait::clientHere();
    armsStaleExcept(setter, false);
    // Its store writes the memory as its own setting left it.
    dropKeptMemory(setter);
}

void CDataManage::armsStaleExcept(const void* setter, bool everyone) {
    std::lock_guard<std::mutex> lock(m_acqMtx);
    for (auto& [client, record] : m_acqArmedBy) {
        // An acquisition the setting left going (a clean of the memory) still
        // takes all its readings; a client's own setting is its business.
        const bool going = record.number == m_acqNumber && m_acqPending;
        if ((everyone || client != setter) && !going) record.stale = true;
    }
}

bool CDataManage::armerOfCurrentLocked(const void*& armer) const {
    // A record holds its client's latest arm: one at most holds this one.
    for (const auto& [client, record] : m_acqArmedBy) {
        if (record.number == m_acqNumber) {
            armer = client;
            return true;
        }
    }
    return false;
}

void CDataManage::readingsComputationChanged() {
    uint64_t acq = 0;
    bool own = false;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        acq = m_acqNumber;
        const void* armer = nullptr;
        own = armerOfCurrentLocked(armer) && armer == ListWait::clientHere();
    }
    // By number: an arm made since is not cut.
    if (!own && acq != 0) endArmed(acq);
    othersArmsStale();
}

void CDataManage::calibrationChanged() {
    // The loop's pass in flight drops its reading before its trigger takes a
    // count, or gives the count back; its next pass starts the window over.
    m_generation.fetch_add(1);
    readingsComputationChanged();
}

// Not erased when used: every FETCh? until the client's next arm answers the
// same. Answered at once, from what is kept: the acquisition armed now may be
// another client's, and is not waited for. Whole and kept, it is the client's
// good data whatever came after; only what ended before it was whole, or
// is gone, is flagged.
bool CDataManage::recordedAnswerLocked(std::string& out, bool& cutShort) {
    auto it = m_acqArmedBy.find(ListWait::clientHere());
    if (it == m_acqArmedBy.end()) return false;
    const ArmRecord& record = it->second;
    if (record.number == m_acqNumber) {
        if (!record.stale) return false;
        out = m_acqText;
        cutShort = m_acqCutShort;
        return true;
    }
    // Replaced: as a read that waited on it finds it.
    takeReplacedLocked(record.number, out, cutShort);
    return true;
}

void CDataManage::DM_ClientGone(const void* client) {
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        m_acqArmedBy.erase(client);
    }
    DM_ListEnded(client);
}

int CDataManage::latestReading(bool second, bool waitFirst, std::string& text) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const char* empty = second ? "m_buffer2 is empty" : "m_buffer is empty";
    ListWait::Waiting waiting;  // before the lock, as in DM_WaitAcquisition
    std::unique_lock<std::mutex> lock(m_acqMtx);
    for (;;) {
        const uint64_t seen = m_acqArrivals;
        lock.unlock();
        {
            std::lock_guard<std::mutex> buffers(m_bufferMtx);
            const std::deque<structReading>& buffer = second ? m_buffer2 : m_buffer;
            if (!buffer.empty()) {
                text = readingText(buffer.back());
                return 0;
            }
        }
        bool noneToCome = !waitFirst;
        if (second && !noneToCome) {
            // No second display: no reading will come to wait for.
            std::lock_guard<std::mutex> settings(_mtx);
            noneToCome = !m_b2ndEnable;
        }
        if (noneToCome) {
            PrintE("%s", empty);
            return E200_EXECUTION_ERROR;
        }
        lock.lock();
        const auto woken = [&] { return m_acqArrivals != seen || waitCancelled(); };
        auto deadline = readDeadline(start);
        while (!woken() && Clock::now() < deadline) {
            m_acqCv.wait_until(lock, deadline);
            deadline = readDeadline(start);
        }
        if (!woken() || waitCancelled()) {
            PrintE("%s", empty);
            return E365_TIME_OUT_ERROR;
        }
    }
}

std::string CDataManage::scpiReadData() {
    std::lock_guard<std::mutex> lock(m_readMtx);
    return m_strScpiReadData;
}

void CDataManage::setScpiReadData(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_readMtx);
    m_strScpiReadData = text;
}

void CDataManage::DM_NotifyClient(bool mainFunc, double val, const structRangeInfo& info) {
    MeasureTypeEnum func;
    structFuncConfig cfg;
    bool secondOn;
    bool hold;
    TrigSrcEnum src;
    char sep, dot;
    bool plus;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        func = mainFunc ? m_eMainFunc : m_e2ndFunc;
        cfg = m_mainConfig;
        secondOn = m_b2ndEnable;
        hold = m_trigInfo.bHold;
        src = m_trigInfo.eTrigSrc;
        sep = m_sepChar;
        dot = m_dotChar;
        plus = m_plusSign;
    }
    if (!mainFunc && !secondOn) return;
    // Handler threads and the loop both notify: one at a time, so the hold
    // state, the display copies and the unsent readings stay consistent.
    std::lock_guard<std::mutex> notifyLock(m_notifyMtx);
    const uint64_t now = m_clock->nowMs();
    uint64_t& syncTime = mainFunc ? m_mainSyncTime : m_2ndSyncTime;
    if (now - syncTime <= kSyncThrottleMs && !m_triggerChange && src == SRC_EXT) return;
    if (mainFunc && m_holdmidstat && hold) {
        if (m_holdNum < 3) return;
        if (!m_holdState) m_holdTemp = val;
        m_holdState = true;
        val = m_holdTemp;
        ++m_holdCount;
    } else {
        m_holdState = false;
        m_holdCount = 0;
    }
    const std::string text = DM_FormatNumber(val, sep, info, cfg.eRate, dot, plus);
    m_tempnum = text;
    m_tempunit = info.u8Unit;
    ValueMap map;
    insertStr(map, 0x400, text.c_str());
    insertStr(map, 0x401, info.u8Unit);
    insertS32(map, 0x402, cfg.s32Range);
    insertBval(map, 0x40B, m_holdState);
    if (!mainFunc) {
        m_2ndSyncTime = now;
        push(UPDATE_MEASURE2_DATA, map);
        insertBval(map, 0x642, true);
        insertS32(map, 0x635, func);
        insertS32(map, 0x648, cfg.s32Range);
        insertS32(map, 0x65E, 0);
        push(UPDATE_FUNCTION2_CONFIG, std::move(map));
        return;
    }
    insertS32(map, 0x405, m_measState.load());
    CalculateNotifyEntries(map, func, info, [&](double v, const structRangeInfo& row) {
        return DM_FormatNumber(v, sep, row, cfg.eRate, dot, plus);
    });
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        DataBuffer readings;
        const size_t size = m_buffer.size();
        const size_t from = std::min<size_t>(m_bufferOffset, size);
        // Capped per notification: the rest go with the next ones.
        const size_t to = std::min<size_t>(size, from + kNotifyMaxReadings);
        for (size_t i = from; i < to; ++i) readings.add_buffer(m_buffer[i].f64Value);
        m_bufferOffset = static_cast<uint32_t>(to);
        insertRaw(map, 0x406, readings.SerializeAsString());
        insertU32(map, 0x407, static_cast<uint32_t>(to));
        insertU64(map, 0x408, m_bufferStartTime);
        insertU64(map, 0x409, m_bufferCurrentTime);
    }
    insertS32(map, 0x403, FunctionManage::instance().FM_RangeTransToRealValue(func, cfg.s32Range));
    m_mainSyncTime = now;
    push(UPDATE_MEASURE_DATA, std::move(map));
}
