// CDataManage: taking calibration points on the running instrument, reading
// single raw values, and the handlers that save, delete and report them and
// set the converter's acc values.
//
// A capture (a point or a raw read) sets m_zCaliRunning, on which the
// measurement loop offers one raw value per capture cycle in m_RawDataQueue.
// Every capture raises m_caliGeneration; a worker takes values only while its
// own generation is current, so a worker left behind by a raw read never
// takes the next point's values or files its old reference.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "CDataManage.h"
#include "CFEM.h"
#include "CThreadPool.h"
#include "DrvScpiErrDef.h"
#include "CaliFiles.h"
#include "DrvScpiSM.h"
#include "proto_insert.h"
#include "proto_extract.h"
#include "root_path.h"
#include "Util/logger.h"

using namespace cali;

namespace {

constexpr int kKeyCaliData = 0xc00;
constexpr unsigned int kCaliDataSetId = 0x10000c00;
constexpr int kKeyCaliSave = 0xc01;
constexpr int kKeyCaliDelete = 0xc03;
constexpr int kKeyCaliAcc = 0xc04;
// OPERation condition bit 0: a calibration point runs.
constexpr uint16_t kOperCalibrating = 0x0001;
// Reading interval of the loop during a capture, ms.
constexpr uint32_t kCaptureInterval = 400;
constexpr int kPointValues = 6;
// How often a waiting worker looks whether its capture was taken over, ms.
constexpr int kTakeSliceMs = 50;

bool isAll(const CDataManage::ValueMap& in, int key) {
    return s32Of(in, key) == 1;
}

} // namespace

bool CDataManage::caliCurrentKey(uint32_t& func, uint32_t& range) {
    int32_t s32Range;
    bool autoRange;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        func = m_eMainFunc;
        s32Range = m_mainConfig.s32Range;
        autoRange = m_mainConfig.bAutoRange;
    }
    // Frequency readings come from the counter's one table, whatever AC
    // range the input runs on: that is the table a point must go to. A
    // period's counter is calibrated in frequency, on FREQ.
    if (func == TYPE_FREQ) return range = 0, true;
    if (func == TYPE_PERIOD) {
        PrintE("the counter is calibrated in frequency: select FREQ");
        return false;
    }
    // Auto range reads on whatever range the input asks for: no range to file a point on.
    if (s32Range < 0 || autoRange) {
        PrintE("calibration needs a fixed range (func=%d, range=%d)", static_cast<int>(func), s32Range);
        return false;
    }
    range = static_cast<uint32_t>(s32Range);
    return true;
}

void CDataManage::caliCaptureInterval() {
    std::lock_guard<std::mutex> lock(_mtx);
    m_trigInfo.u32Interval = kCaptureInterval;
}

bool CDataManage::caliOwns(uint64_t generation) const {
    return m_zCaliRunning && (generation == 0 || m_caliGeneration == generation);
}

bool CDataManage::caliTake(long long& value, uint64_t generation) {
    const uint32_t timeoutMs = readTimeoutMs();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto owns = [this, generation] { return caliOwns(generation); };
    ListWait::Waiting waiting;  // other clients' messages run meanwhile
    while (owns()) {
        if (m_RawDataQueue.WaitForPopIf(value, kTakeSliceMs, owns)) return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            PrintE("no raw value within %u ms", timeoutMs);
            return false;
        }
    }
    return false;
}

void CDataManage::caliFinish(uint64_t generation) {
    std::lock_guard<std::mutex> lock(m_caliRunMtx);
    if (m_caliGeneration == generation) m_zCaliRunning = false;
    if (m_caliPointGen == generation) {
        m_caliPointGen = 0;
        SCPI_STAT_OPER_ConditionBitsSet(kOperCalibrating, false);
    }
}

int CDataManage::DM_RunCali(double target) {
    uint32_t func, range;
    if (!caliCurrentKey(func, range)) return 55;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(m_caliRunMtx);
        if (m_zCaliRunning) {
            PrintE("calibration is already running");
            return 0;
        }
        generation = ++m_caliGeneration;
        m_caliPointGen = generation;
        m_zCaliRunning = true;
        SCPI_STAT_OPER_ConditionBitsSet(kOperCalibrating, true);
    }
    // Never inline: a caller on a pool thread would block for the whole point.
    CThreadPool::instance()->async([this, generation, func, range, target] {
        caliWorker(generation, func, range, target);
    }, false);
    return 0;
}

void CDataManage::caliWorker(uint64_t generation, uint32_t func, uint32_t range, double target) {
    caliCaptureInterval();
    // Values of another function or range would file a false point.
    auto stillCurrent = [&] {
        uint32_t nowFunc = 0, nowRange = 0;
        if (caliCurrentKey(nowFunc, nowRange) && nowFunc == func && nowRange == range) return true;
        PrintE("calibration point abandoned: started on func=%d, range=%d, now func=%d, range=%d",
               static_cast<int>(func), static_cast<int>(range), static_cast<int>(nowFunc), static_cast<int>(nowRange));
        return false;
    };
    long long sum = 0, largest = LLONG_MIN, smallest = LLONG_MAX;
    bool taken = true;
    for (int i = 0; i < kPointValues; ++i) {
        long long value = 0;
        taken = caliTake(value, generation) && stillCurrent();
        if (!taken) break;
        sum += value;
        largest = std::max(largest, value);
        smallest = std::min(smallest, value);
    }
    if (taken && caliOwns(generation)) {
        const double avg = static_cast<double>((sum - largest - smallest) / (kPointValues - 2));
        PrintI("cali total=%lld, max=%lld, min=%lld, avgCount=%d, avg=%lf\n", sum, largest, smallest, kPointValues,
               avg);
        DM_CacheCaliPoint(func, range, avg, target);
    } else {
        // The command was accepted long ago: only the error queue can tell a
        // calibration script that this point was not taken.
        PrintI("calibration point of func=%d, range=%d ended without a point", static_cast<int>(func),
               static_cast<int>(range));
        CFEM::reportFailure(kCaliDataSetId, E200_EXECUTION_ERROR);
    }
    caliFinish(generation);
}

int CDataManage::cbCaliDataSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kKeyCaliData);
    if (it == in.end()) return 8;
    // A reference that is no number is no point: taken as 0 it would replace
    // the zero point's raw value.
    if (it->second.value_case() != Value::kF64Val || !std::isfinite(it->second.f64val())) return 54;
    return DM_RunCali(it->second.f64val());
}

int CDataManage::cbCaliDataGet(unsigned int, const ValueMap&, ValueMap* out) {
    // A raw value is read for a point: on the range the point would go to.
    uint32_t func, range;
    if (!caliCurrentKey(func, range)) return 55;
    caliCaptureInterval();
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(m_caliRunMtx);
        generation = ++m_caliGeneration;
        m_zCaliRunning = true;
    }
    long long value = 0;
    const bool got = caliTake(value, 0);
    caliFinish(generation);
    if (!got) return 118;
    std::printf("get Data func=%d, range=%d rawData=%lld\n", static_cast<int>(func), static_cast<int>(range), value);
    insertStr(*out, 0, std::to_string(value).c_str());
    return 0;
}

int CDataManage::cbCaliStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertStr(*out, 0, m_zCaliRunning ? "RUNNING" : "STOPED");
    return 0;
}

int CDataManage::cbCaliDataSave(unsigned int, const ValueMap& in, ValueMap*) {
    return DM_SaveCaliPoint(isAll(in, kKeyCaliSave));
}

// A table taken out of force, or one that cali.cal brings back, changes the
// readings computed from then on.
int CDataManage::cbCaliDataDelete(unsigned int, const ValueMap& in, ValueMap*) {
    if (isAll(in, kKeyCaliDelete)) {
        removeCaliFiles();
        if (DM_CalInit()) calibrationChanged();
        return 0;
    }
    uint32_t func, range;
    if (!caliCurrentKey(func, range)) return 55;
    const uint32_t key = caliKey(func, range);
    const bool changed = DM_RemoveCaliData({key});
    const std::string path = caliPointPath(key);
    ::unlink(platform::hostPath(path).c_str());
    PrintI("remove cached data and file: %s", path.c_str());
    if (changed) calibrationChanged();
    return 0;
}

int CDataManage::cbCaliAccSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(kKeyCaliAcc);
    if (it == in.end()) return 8;
    const int32_t acc = s32Of(it->second);
    if (static_cast<uint32_t>(acc) > kAccMax) return 56;
    uint32_t func = 0, range = 0;
    const bool fixed = caliCurrentKey(func, range);
    if (func != TYPE_ACV || !fixed) return 55;
    PrintI("cbCaliAccSet acc=%d", acc);
    m_frontEnd->setAcc(func, range, static_cast<uint32_t>(acc));
    return 0;
}

int CDataManage::cbCaliAccSave(unsigned int, const ValueMap&, ValueMap*) {
    return DM_SaveCaliAcc();
}
