// CDataManage: the reading memory for remote control and data files: the last
// reading, the count, the capacity, removal, the sample count and the record
// the data-file writers take.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "CommonSimpleFunc.h"
#include "FunctionManage.h"
#include "RangeInfoTables.h"
#include "ScpiNumber.h"
#include "ScpiReplyBudget.h"
#include "ReadingText.h"
#include "Util/logger.h"
#include "proto_extract.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr int kDataLast = 0x2100;
constexpr int kDataPoints = 0x2101;
constexpr int kThreshold = 0x2102;
constexpr int kRemoveCount = 0x2103;
constexpr int kRemoveWait = 0x2104;
constexpr int kSampleCount = 0x2500;
constexpr int32_t kSampleCountMax = 1000;
constexpr uint64_t kRemovePollUs = 5000;

} // namespace

int CDataManage::countParam(const Value& v, int32_t min, int32_t max, int32_t def, size_t maxText, int64_t& out) {
    switch (v.value_case()) {
    case Value::kS32Val: out = v.s32val(); return 0;
    case Value::kU32Val: out = v.u32val(); return 0;
    case Value::kStrVal: break;
    default: PrintE("cbTrigSingleSet param error!!"); return E104_DATA_TYPE_ERROR;
    }
    std::string text = v.strval();
    if (text.size() >= maxText) {
        PrintE("cbTrigSingleSet CmdStr Parse Num Failed!!");
        return E150_STRING_DATA_ERROR;
    }
    RmtCap2Low(&text[0]);
    if (text == "min" || text == "minimum") {
        out = min;
        return 0;
    }
    if (text == "max" || text == "maximum") {
        out = max;
        return 0;
    }
    if (text == "def" || text == "default") {
        out = def;
        return 0;
    }
    // Read whole and rounded ("1e3" is 1000, "1.5" is 2); a count beyond 32
    // bits is refused, never wrapped, so that only the command's own limits
    // adjust it.
    const ScpiNumberStatus status = ScpiReadInteger(text, ScpiNumberForms{}, INT32_MIN, INT32_MAX, out);
    if (status != ScpiNumberStatus::Ok) {
        PrintE("cbTrigSingleSet CmdStr Parse Num Failed!!");
        return ScpiNumberErrorRow(status, E150_STRING_DATA_ERROR);
    }
    return 0;
}

int CDataManage::cbDataLastGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::string value = "9.9E37";
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        if (!m_buffer.empty()) value = readingText(m_buffer.back());
    }
    MeasureTypeEnum func;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        func = m_eMainFunc;
    }
    auto unit = mapDataUnit.find(func);
    const std::string text = value + " " + (unit == mapDataUnit.end() ? "" : unit->second);
    insertStr(*out, kDataLast, text.c_str());
    return 0;
}

int CDataManage::cbDataPointsGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    insertU32(*out, kDataPoints, static_cast<uint32_t>(m_buffer.size()));
    return 0;
}

int CDataManage::cbDataPointsEventThresholdSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kThreshold);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const int32_t n = s32Of(it->second);
    // A capacity below one reading would leave nothing to notify or read;
    // one beyond the model's reading memory would have no bound at all.
    if (n < 1 || n > m_readingCapacity.load()) return E222_DATA_OUT_OF_RANGE;
    mDataPointThreshold = n;
    BufferClean();
    othersArmsStale();
    return 0;
}

int CDataManage::cbDataPointsEventThresholdGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, kThreshold, mDataPointThreshold.load());
    return 0;
}

size_t CDataManage::bufferSize() {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    return m_buffer.size();
}

int CDataManage::cbDataRemove(unsigned int, const ValueMap& in, ValueMap* out) {
    auto it = in.find(kRemoveCount);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    const int32_t count = s32Of(it->second);
    // Beyond any memory, as any count above the readings stored; with WAIT
    // too, since no reading could ever meet it.
    if (count < 0) return E231_DATA_QUESTIONABLE;
    // Refused before it waits or takes anything: an answer that is not sent
    // must not cost the readings.
    if (!ScpiReplyBudget::fits(in, readingsTextMax(static_cast<uint64_t>(count)))) return E223_TOO_MUCH_DATA;
    auto word = in.find(kRemoveWait);
    const bool wait = word != in.end() && (word->second.strval() == "wait" || word->second.strval() == "WAIT");
    const size_t n = static_cast<size_t>(count);
    // Whatever it answers from here on, readings or their absence, comes
    // from the memory: what a change kept for its store, even while it
    // waited, goes as it ends.
    struct Consulted {
        CDataManage* e;
        ~Consulted() {
            std::lock_guard<std::mutex> lock(e->m_bufferMtx);
            e->dropKeptLocked(ListWait::clientHere());
        }
    } consulted{this};
    if (!wait && n > bufferSize()) return E231_DATA_QUESTIONABLE;
    const uint64_t start = m_clock->nowMs();
    std::optional<ListWait::Waiting> waiting;  // other clients' messages run meanwhile
    if (wait) waiting.emplace();
    while (bufferSize() < n) {
        if (m_clock->nowMs() - start > readTimeoutMs()) return E365_TIME_OUT_ERROR;
        if (waitCancelled()) return 0;
        m_clock->sleepUs(kRemovePollUs);
    }
    std::string text;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        // R? or the capacity may have taken readings since the look above.
        if (m_buffer.size() < n) return E231_DATA_QUESTIONABLE;
        for (size_t i = 0; i < n; ++i) {
            if (i > 0) text += ';';
            text += readingText(m_buffer[i]);
        }
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(n));
        m_bufferOffset = m_bufferOffset > n ? m_bufferOffset - static_cast<uint32_t>(n) : 0;
    }
    insertStr(*out, kRemoveCount, text.c_str());
    return 0;
}

int CDataManage::cbSampleCountSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kSampleCount);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    int64_t n = 0;
    const int parsed = countParam(it->second, 1, kSampleCountMax, 1, 64, n);
    if (parsed != 0) return parsed;
    // Fewer than one reading per trigger would leave every read waiting.
    if (n < 1) return E220_PARAMETER_ERROR;
    if (static_cast<uint64_t>(n) * trigInfo().u32Sample > static_cast<uint64_t>(mDataPointThreshold.load())) {
        return E221_SETTING_CONFLICT;
    }
    return TrigSampleCountSet(static_cast<uint32_t>(n));
}

int CDataManage::cbSampleCountGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertS32(*out, kSampleCount, static_cast<int32_t>(m_sampleCount.load()));
    return 0;
}

void CDataManage::ProtoDataInfoGet(ProtoDataInfo& out) {
    MeasureTypeEnum func;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        func = m_eMainFunc;
    }
    // The function settings first: their lock comes before the engine's.
    FunctionManage& fm = FunctionManage::instance();
    ProtoDataInfo header;
    dataHeader(func, fm.FM_GetRealRange(func), fm.FM_GetRate(func), header);
    const void* client = ListWait::clientHere();
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (client != nullptr && m_keptMemory.client == client) {
        out.CopyFrom(m_keptMemory.record);
        return;
    }
    m_protoDataInfo = std::move(header);
    addReadingsLocked(m_protoDataInfo);
    out.CopyFrom(m_protoDataInfo);
}

void CDataManage::dataHeader(MeasureTypeEnum func, int range, int rate, ProtoDataInfo& out) {
    FunctionManage& fm = FunctionManage::instance();
    std::string unit;
    if (func == TYPE_PERIOD || func == TYPE_FREQ) {
        const int band = std::min(std::max(fm.FreqPeriRealRangeGet(func), 0), 3);
        unit = (func == TYPE_PERIOD ? stRangeInfoPERI : stRangeInfoFREQ)[band].u8Unit;
    } else {
        unit = DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(range, 0)), 0).u8Unit;
    }
    out.Clear();
    out.set_mstrfunctype(fm.FM_FuncTransToStrForVorna(func));
    out.set_mstrrange(fm.FM_RangeTransToStr(func, range));
    out.set_ms32rate(rate);
    out.set_mstrunit(unit);
}

void CDataManage::addReadingsLocked(ProtoDataInfo& record) {
    if (m_buffer.empty()) return;
    double lo = m_buffer.front().f64Value;
    double hi = lo;
    for (const structReading& r : m_buffer) {
        record.add_mdatabuffer(r.f64Value);
        lo = std::min(lo, r.f64Value);
        hi = std::max(hi, r.f64Value);
    }
    record.set_mf64datamin(lo);
    record.set_mf64datamax(hi);
}

void CDataManage::noteArmingMessage() {
    const void* client = ListWait::clientHere();
    if (client == nullptr) return;
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    // What it kept was of the acquisition this arm replaces.
    dropKeptLocked(client);
    // A client that has left stores nothing more.
    if (!waitCancelled()) m_armingMessages.insert(client);
}

void CDataManage::DM_ListEnded(const void* client) {
    if (client == nullptr) return;
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    m_armingMessages.erase(client);
    dropKeptLocked(client);
}

void CDataManage::dropKeptMemory(const void* client) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    dropKeptLocked(client);
}

void CDataManage::dropKeptLocked(const void* client) {
    // Only a remote client has memory kept: the UI link (null) drops nothing.
    if (client != nullptr && m_keptMemory.client == client) m_keptMemory = KeptMemory();
}
