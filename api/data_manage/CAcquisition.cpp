// CDataManage: the converter frame decoded into raw counts.
#include <cmath>
#include <cstring>

#include "CDataManage.h"
#include "Util/logger.h"

namespace {

constexpr int32_t kFrameLen = 34;
// Frame layout (byte k holds register k).
constexpr int kDcResult = 0;      // s24
constexpr int kAcResult = 9;      // s40
constexpr int kCounterA = 21;     // s24
constexpr int kCounterB = 24;     // s24
constexpr int kCounterC = 27;     // s24, preset to -4194304 by each counter reset
constexpr int kStatus = 30;
constexpr int kControl = 32;
constexpr uint8_t kCounterReady = 0x01;
constexpr uint8_t kDcReady = 0x04;
constexpr uint8_t kAcReady = 0x10;
constexpr int64_t kCounterPreset = 4194304;

// Capacitance: what an input that never lets the counters finish reads (open).
constexpr int64_t kCapOpen = 99999999999LL;
constexpr int kCapCounterPasses = 8;
constexpr uint64_t kCapCounterPassUs = 200000;
constexpr uint64_t kChargeSettleUs = 100000;
constexpr int kChargeReadBudget = 200;
// The DC result of a charge that ran into the converter's limit (open input).
constexpr int64_t kChargeOpen = 0x7FFFFE;
constexpr int64_t kChargeScale = 10000000000LL;
// A counter result is due at least this often, ready bit or not.
constexpr uint64_t kFreqMaxWaitMs = 1201;
constexpr int32_t kFreqRecoverCalls = 6;
constexpr int64_t kFreqScale = 9000000000LL;

int64_t field(const uint8_t* frame, int offset, uint32_t n) {
    int64_t v = 0;
    CDataManage::DM_DataConverter(frame + offset, n, v);
    return v;
}

} // namespace

bool CDataManage::DM_DataConverter(const uint8_t* buf, uint32_t n, int64_t& out) {
    if (n < 1 || n > 8) return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(buf[i]) << (8 * i);
    if (n < 8 && (buf[n - 1] & 0x80)) v |= ~uint64_t{0} << (8 * n);
    out = static_cast<int64_t>(v);
    return true;
}

bool CDataManage::DM_AcqData(uint32_t& func, structFuncConfig& config, uint8_t* /*readBuf*/, int32_t len) {
    if (len < 0 || len > kFrameLen) len = kFrameLen;
    // A failed read leaves the last frame in place: report it, so that the
    // loop does not decode that frame again as new samples.
    return m_frontEnd->acqData(func, config, m_u8ReadBuf, len);
}

bool CDataManage::DM_RawData(uint32_t func, const structFuncConfig& config, uint8_t* /*readBuf*/, int64_t& data) {
    const uint8_t status = m_u8ReadBuf[kStatus];
    switch (func) {
    case TYPE_DCV:
    case TYPE_DCI:
    case TYPE_OHM2:
    case TYPE_OHM4:
    case TYPE_CONT:
    case TYPE_DIODE:
        if (!(status & kDcReady)) return false;
        data = field(m_u8ReadBuf, kDcResult, 3);
        return true;
    case TYPE_ACV:
    case TYPE_ACI: {
        if (!(status & kAcReady)) return false;
        int64_t v = field(m_u8ReadBuf, kAcResult, 5);
        // The accumulator holds a square; a non-positive one is no signal.
        data = v > 0 ? static_cast<int64_t>(std::sqrt(static_cast<double>(v)) * 100) : 0;
        return true;
    }
    case TYPE_CAP:
        return config.s32Range < 6 ? capCounter(data) : capChargeSlope(config, data);
    default:
        // PERIOD, FREQ and SENSOR: nothing to decode here.
        return true;
    }
}

bool CDataManage::capCounter(int64_t& data) {
    uint32_t func = 0;
    structFuncConfig config;
    int passes = 0;
    while (passes < kCapCounterPasses) {
        m_clock->sleepUs(kCapCounterPassUs);
        m_frontEnd->acqData(func, config, m_u8ReadBuf, kFrameLen);
        int64_t a = field(m_u8ReadBuf, kCounterA, 3);
        int64_t b = field(m_u8ReadBuf, kCounterB, 3);
        // No reference counts: nothing charged, as with an open input.
        data = b != 0 ? a * 1000 / b : kCapOpen;
        ++passes;
        if (m_u8ReadBuf[kStatus] & kCounterReady) {
            if (passes == 1) m_frontEnd->configRecover();
            break;
        }
    }
    // Eight passes, even one that ended ready on the eighth: no reading.
    if (passes >= kCapCounterPasses) {
        m_frontEnd->configRecover();
        data = kCapOpen;
    }
    m_frontEnd->countReset(m_u8ReadBuf[kControl]);
    return true;
}

void CDataManage::waitSince(uint64_t start, uint64_t waitMs) {
    for (;;) {
        uint64_t elapsed = m_clock->nowMs() - start;
        if (elapsed >= waitMs) return;
        m_clock->sleepUs((waitMs - elapsed) * 1000);
    }
}

bool CDataManage::capSample(int64_t& sample) {
    uint32_t func = 0;
    structFuncConfig config;
    for (int read = 1; read <= kChargeReadBudget; ++read) {
        // Each read under the driver's lock: a handler may be writing a row.
        bool ok = m_frontEnd->acqData(func, config, m_u8ReadBuf, kFrameLen);
        if (read < kChargeReadBudget && ok && (m_u8ReadBuf[kStatus] & kDcReady)) {
            sample = field(m_u8ReadBuf, kDcResult, 3);
            return true;
        }
    }
    return false;
}

bool CDataManage::capChargeSlope(const structFuncConfig& config, int64_t& data) {
    const uint64_t waitMs = config.s32Range == 6 ? 300 : 400;
    waitSince(m_capDataTime, waitMs);
    m_frontEnd->charge();
    m_capDataTime = m_clock->nowMs();
    m_clock->sleepUs(kChargeSettleUs);
    int64_t data1 = 0;
    int64_t data2 = 0;
    if (!capSample(data1)) return false;
    waitSince(m_capDataTime, waitMs);
    if (!capSample(data2)) return false;
    m_frontEnd->discharge();
    m_capDataTime = m_clock->nowMs();
    // A charge only rises: a second plateau below the first means the input
    // changed during the charge (a first plateau at the open value, an input
    // re-read in between). Its slope would be a capacitance of no input, and
    // auto range would walk away after it: no sample.
    if (data2 < data1) return false;
    if (data2 == kChargeOpen || data2 == data1) {
        data = 0;
        capHistoryReset();
        return true;
    }
    data = capHistoryFilter(kChargeScale / (data2 - data1));
    return true;
}

// Smooths the charge-slope result against the mean of the accepted ones: a
// jump over 20 % is taken as a new value, one of 1 % to 20 % is held back once.
int64_t CDataManage::capHistoryFilter(int64_t t) {
    const int32_t n = historyCapCount;
    int64_t avg = t;
    if (n > 1) {
        int64_t sum = 0;
        for (int32_t i = 0; i < n - 1; ++i) sum += historyCapData[i];
        avg = sum / (n - 1);
    }
    const double a = static_cast<double>(avg);
    const double x = static_cast<double>(t);
    if (a * 1.2 < x || a * 0.8 > x) {
        capHistoryReset();
        return t;
    }
    if (a * 1.01 < x || a * 0.99 > x) {
        if (historyOffsetCapCount == 0) {
            historyOffsetCapCount = 1;
            return avg;
        }
        capHistoryReset();
        return t;
    }
    historyOffsetCapCount = 0;
    if (historyCapIndex >= 10) historyCapIndex = 0;
    historyCapData[historyCapIndex++] = t;
    if (n <= 9) historyCapCount = n + 1;
    return t;
}

void CDataManage::capHistoryReset() {
    historyCapIndex = 0;
    historyOffsetCapCount = 0;
    historyCapCount = 1;
}

bool CDataManage::DM_FreqData(uint32_t func, int64_t& freqData) {
    if (func != TYPE_ACV && func != TYPE_ACI && func != TYPE_PERIOD && func != TYPE_FREQ) return false;
    ++m_freqCallCount;
    const uint64_t now = m_clock->nowMs();
    if (!(m_u8ReadBuf[kStatus] & kCounterReady) && now - m_lastFreqTime < kFreqMaxWaitMs) return false;
    const int64_t b = field(m_u8ReadBuf, kCounterB, 3);
    const int64_t ref = field(m_u8ReadBuf, kCounterC, 3) + kCounterPreset;
    if (m_freqCallCount >= kFreqRecoverCalls) m_frontEnd->configRecover();
    m_freqCallCount = 0;
    m_frontEnd->countReset(m_u8ReadBuf[kControl]);
    m_lastFreqTime = now;
    // No reference counts since the reset: no result, but the counters and
    // the time stamp start over as after any evaluation.
    if (ref == 0) return false;
    freqData = b * kFreqScale / ref;
    return true;
}
