// CDataManage: the measurement queries of remote control. MEASure? selects the
// function, range and rate and waits for one fresh reading; READ? and
// INITiate arm the trigger; FETCh? repeats the last text; R? hands over the
// reading memory as one definite-length block.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "CDataManage.h"
#include "ReadingText.h"
#include "ScpiReplyBudget.h"
#include "DrvScpiErrDef.h"
#include "CommonSimpleFunc.h"
#include "FunctionManage.h"
#include "Util/logger.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr int kFetch = 0x60d;
constexpr int kRead = 0x60f;
constexpr int kBlock = 0x610;

enum RateMapKind { kNoRates, kVoltageRates, kCurrentRates, kOhmRates };

} // namespace

// One member of the MEASure? family; rows in the order of their ids.
struct CDataManage::MeasQuery {
    MeasureTypeEnum func;
    int rangeKey;  // 0: no range parameter
    int resKey;    // 0: no resolution parameter
    int rates;     // RateMapKind
    double resMin, resMax, resDef;
    int answerKey;
};

namespace {

const CDataManage::MeasQuery kMeasQueries[CDataManage::kMeasQueryCount] = {
    {TYPE_DCV, 0x652, 0x61e, kVoltageRates, 0.0001, 0.01, 0.0001, 0x600},
    {TYPE_ACV, 0x653, 0x61f, kVoltageRates, 0.0001, 0.01, 0.0001, 0x601},
    {TYPE_DCI, 0x654, 0x620, kCurrentRates, 0.000001, 0.0001, 0.000001, 0x602},
    {TYPE_ACI, 0x656, 0x621, kCurrentRates, 0.000001, 0.0001, 0.000001, 0x603},
    {TYPE_OHM2, 0x658, 0x622, kOhmRates, 1, 100, 1, 0x604},
    {TYPE_OHM4, 0x659, 0x623, kOhmRates, 1, 100, 1, 0x605},
    {TYPE_CAP, 0x65a, 0, kNoRates, 0, 0, 0, 0x606},
    {TYPE_CONT, 0, 0, kNoRates, 0, 0, 0, 0x607},
    {TYPE_DIODE, 0, 0, kNoRates, 0, 0, 0, 0x608},
    {TYPE_PERIOD, 0, 0, kNoRates, 0, 0, 0, 0x609},
    {TYPE_FREQ, 0, 0, kNoRates, 0, 0, 0, 0x60a},
};

} // namespace

int CDataManage::measQueryRow(int row, unsigned int source, const ValueMap& in, ValueMap* out) {
    return measQuery(kMeasQueries[row], source, in, out);
}

int CDataManage::measResolution(const MeasQuery& q, int range, const Value& v, double& res) {
    double bound[4] = {0, q.resMin, q.resMax, q.resDef};
    auto table = scpiF64ResolutionMap.find(static_cast<uint32_t>(q.resKey));
    if (table != scpiF64ResolutionMap.end()) {
        auto row = table->second.find(range);
        if (row != table->second.end()) {
            for (int which = MIN; which <= DEF; ++which) {
                auto it = row->second.find(which);
                if (it != row->second.end()) bound[which] = it->second;
            }
        }
    }
    if (v.value_case() == Value::kF64Val) {
        res = v.f64val();
        return 0;
    }
    if (v.value_case() != Value::kStrVal) {
        res = q.resMin;
        return 0;
    }
    if (v.strval().size() >= 64) {
        return E150_STRING_DATA_ERROR;
    }
    return ScpiWordOrNumber(v, ParamWords{bound[MIN], bound[MAX], bound[DEF], std::nullopt}, res);
}

// A finer resolution asks for a slower rate.
RateEnum CDataManage::rateOfResolution(int rates, int range, double res) {
    const ResolutionByRateTable* map = rates == kVoltageRates   ? &rangeResolutionToRateMapVoltage
                                       : rates == kCurrentRates ? &m_rangeResolutionToRateMapCurrent
                                       : rates == kOhmRates     ? &rangeResolutionToRateMapOhm
                                                                : nullptr;
    if (!map) return E_Slow;
    auto it = map->find(range);
    if (it == map->end() || it->second.size() < 2) return E_Slow;
    if (res <= it->second[0]) return E_Slow;
    return res <= it->second[1] ? E_Medium : E_Fast;
}

int CDataManage::measQuery(const MeasQuery& q, unsigned int source, const ValueMap& in, ValueMap* out) {
    int range = -1;
    if (q.rangeKey != 0) {
        auto it = in.find(q.rangeKey);
        if (it != in.end()) {
            const int result = rangeParam(q.func, source, it->second, range);
            if (result != 0) return result;
        }
    }
    RateEnum rate = E_Slow;
    if (q.resKey != 0) {
        auto it = in.find(q.resKey);
        if (it != in.end()) {
            double res = 0;
            const int result = measResolution(q, range, it->second, res);
            if (result != 0) return result;
            rate = rateOfResolution(q.rates, range, res);
        }
    }
    if (q.rangeKey != 0) {
        selectWith(q.func, range, q.resKey != 0, rate);
    } else if (FunctionManage::instance().FM_GetFunction() != q.func) {
        FunctionManage::instance().FM_SetFunction(q.func);
    }
    return readOnce(q.answerKey, out);
}

int CDataManage::readOnce(int answerKey, ValueMap* out) {
    std::string text;
    const int result = armAndRead(
        [this] {
            TrigSingleCountSet(1);
            TrigSampleCountSet(1);
            TrigSourceSet(SRC_AUTO);
            return acqArm(0, 1);
        },
        text);
    insertStr(*out, answerKey, text.c_str());
    return result;
}

// MEASure:TEMPerature?: the sensor set up as CONFigure:TEMPerature does, then
// one reading. A time-out or a reader already waiting still answers 0 (the
// text is "9.9E37" or the other reader's).
int CDataManage::cbMeasSensorData(unsigned int, const ValueMap& in, ValueMap* out) {
    const int result = sensorSetup(in);
    if (result != 0) return result;
    readOnce(0x60b, out);
    return 0;
}

// The one reader's place is taken before anything is armed: a read refused
// because another waits changes nothing and answers that one's stored text.
// The answer is the wait's own text: a change that ended the wait may clean
// the stored one at any moment after.
int CDataManage::armAndRead(const std::function<uint64_t()>& arm, std::string& text) {
    const ReaderPlace place(m_zScpiReadDataRunning);
    if (!place.held()) {
        text = scpiReadData();
        return E284_PROGRAM_CURRENTLY_RUNNING;
    }
    const uint64_t acq = arm();
    const int result = readAcquisition(text, acq);
    // A reply its client no longer wants is handed to no one: a later
    // FETCh? of another client does not answer it either.
    const bool dropped = waitCancelled();
    if (!dropped) setScpiReadData(text);
    if (m_readStoredHook) m_readStoredHook();
    // A read that gives up, or whose client has gone, disarms its
    // acquisition: a trigger sent after is refused rather than taken, and
    // no other client waits on it or receives its readings.
    if (result != 0 || dropped) endArmed(acq);
    return result;
}

// The readings of the last acquisition; while one is armed, they are awaited
// (its trigger may come from another client or the trigger input). With
// nothing armed the stored text answers at once, the empty text after a clean
// or a fresh start: a script reading the answer gets a line, not a time-out.
// A client whose last arming another client's arm or setting has overtaken
// since gets what is kept of its own acquisition, never the readings of the
// other's settings: flagged when it ended before it was whole or is gone.
int CDataManage::cbMeasDataFetch(unsigned int, const ValueMap&, ValueMap* out) {
    bool pending;
    uint64_t acq;  // the one seen pending, not one another client arms next
    bool recorded;
    bool cutShort = false;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        pending = m_acqPending;
        acq = m_acqNumber;
        recorded = recordedAnswerLocked(text, cutShort);
    }
    if (recorded) {
        if (cutShort) noteStale("fetch of an acquisition ended or replaced before it completed", text);
    } else if (pending) {
        // Waited for, the answer is the wait's own text: the stored one is
        // only filled when the acquisition completes, and a change that
        // ended the wait may clean it meanwhile.
        const int result = DM_RunScpiReadFunction(text, acq);
        if (result != 0) return result;
    } else {
        text = scpiReadData();
    }
    insertStr(*out, kFetch, text.c_str());
    return 0;
}

// Readings per trigger event times trigger events.
int CDataManage::cbMeasDataInitiate(unsigned int, const ValueMap&, ValueMap*) {
    const structTriggerInfo t = trigInfo();
    // Under the bus or the external trigger the readings come with the triggers.
    if (t.eTrigSrc != SRC_AUTO) {
        acqArm(m_sampleCount.load(), 0);
        return 0;
    }
    const uint32_t owed = static_cast<uint32_t>(std::min<uint64_t>(TrigCountGet(), UINT32_MAX));
    std::string text;
    return armAndRead([this, owed] { return acqArm(0, owed); }, text);
}

// INITiate and FETCh? in one; under the bus trigger the read is its own
// trigger, under the external one it waits for the edges.
int CDataManage::cbMeasDataRead(unsigned int, const ValueMap&, ValueMap* out) {
    const bool external = trigInfo().eTrigSrc == SRC_EXT;
    const uint32_t owed = static_cast<uint32_t>(std::min<uint64_t>(TrigCountGet(), UINT32_MAX));
    std::string text;
    const int result = armAndRead(
        [this, external, owed] { return external ? acqArm(m_sampleCount.load(), 0) : acqArm(0, owed); }, text);
    insertStr(*out, kRead, text.c_str());
    return result;
}

int CDataManage::cbMeasDataR(unsigned int, const ValueMap& in, ValueMap* out) {
    std::deque<structReading> taken;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        auto it = in.find(kBlock);
        // Refused before anything is taken: an answer that is not sent must
        // not cost the readings.
        if (it == in.end()) {
            if (!ScpiReplyBudget::fits(in, readingsTextMax(m_buffer.size()))) return E223_TOO_MUCH_DATA;
            taken.swap(m_buffer);
        } else if (it->second.value_case() == Value::kS32Val) {
            // Taken as unsigned, a negative count exceeds any memory; refused
            // before anything is taken or ended, the store keeps its readings.
            if (it->second.s32val() < 0) return E231_DATA_QUESTIONABLE;
            const uint32_t n = static_cast<uint32_t>(it->second.s32val());
            if (n > m_buffer.size()) {
                dropKeptLocked(ListWait::clientHere());  // found absent
                return E231_DATA_QUESTIONABLE;
            }
            if (!ScpiReplyBudget::fits(in, readingsTextMax(n))) return E223_TOO_MUCH_DATA;
            taken.assign(m_buffer.begin(), m_buffer.begin() + n);
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + n);
        }
        dropKeptLocked(ListWait::clientHere());  // taken, or none: "#10"
        const uint32_t n = static_cast<uint32_t>(taken.size());
        m_bufferOffset = m_bufferOffset > n ? m_bufferOffset - n : 0;
    }
    if (taken.empty()) {
        // An empty definite-length block: a client reads its header and is done.
        insertStr(*out, kBlock, "#10");
        return 0;
    }
    // Formatted on the private copy, the loop goes on meanwhile.
    std::string text;
    text.reserve(taken.size() * 16);
    for (const structReading& r : taken) {
        text += readingText(r);
        text += ',';
    }
    text.pop_back();
    const std::string length = std::to_string(text.size());
    const std::string block = "#" + std::to_string(length.size()) + length + text;
    insertStr(*out, kBlock, block.c_str());
    return 0;
}
