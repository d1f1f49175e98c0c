#pragma once
// A scripted front end and a virtual clock for the engine's decode: frames are
// handed out in order (the last one repeats), and sleeping only moves time on.
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "AcqFrontEnd.h"
#include "CDataManage.h"

namespace testing_support {

using Frame = std::vector<uint8_t>;  // 34 bytes

// A frame with `bytes` written at `offset` and the status byte.
inline Frame frame(uint8_t status, int offset = 0, std::vector<uint8_t> bytes = {}) {
    Frame f(34, 0);
    if (!bytes.empty()) std::memcpy(f.data() + offset, bytes.data(), bytes.size());
    f[30] = status;
    f[32] = 0x72;  // control register as the rows leave it
    return f;
}

// Little-endian bytes of the low `n` bytes of v.
inline std::vector<uint8_t> le(int64_t v, int n) {
    std::vector<uint8_t> out;
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    return out;
}

// One record of a calibration point file.
inline std::string pointRecord(uint32_t func, uint32_t range, double point, double target) {
    std::string r(24, '\0');
    std::memcpy(&r[0], &func, 4);
    std::memcpy(&r[4], &range, 4);
    std::memcpy(&r[8], &point, 8);
    std::memcpy(&r[16], &target, 8);
    return r;
}

class VirtualClock : public EngineClock {
public:
    uint64_t nowMs() override { return us / 1000; }
    void sleepUs(uint64_t d) override { us += d; }
    uint64_t us = 1000000;
};

class FakeFrontEnd : public AcqFrontEnd {
public:
    bool acqData(uint32_t& func, structFuncConfig& config, uint8_t* buf, int32_t len) override {
        // As the driver: each frame comes with the configuration in force.
        if (liveConfig) config = *liveConfig;
        ++reads;
        if (frames.size() > 1) {
            last = frames.front();
            frames.pop_front();
        } else if (!frames.empty()) {
            last = frames.front();
        }
        std::memcpy(buf, last.data(), static_cast<size_t>(len));
        func = reportedFunc;
        return true;
    }
    void configRecover() override { ++recovers; }
    void countReset(uint8_t status) override { resets.push_back(status); }
    void charge() override { ++charges; }
    void discharge() override { ++discharges; }
    void setAcc(uint32_t func, uint32_t range, uint32_t acc) override { accs.push_back({func, range, acc}); }
    void getAcc(std::map<uint32_t, uint32_t>& out) override {
        for (const structCaliAccPoint& a : accs) out[a.u32Func * 64 + a.u32Range] = a.u32Acc;
    }
    bool changeRange(MeasureTypeEnum, int32_t, const structFuncConfig& config) override {
        ranges.push_back(config.s32Range);
        return !refuseRange;
    }
    bool refuseRange = false;  // a handler configured the front end meanwhile
    std::vector<int32_t> ranges;

    std::deque<Frame> frames;
    Frame last = Frame(34, 0);
    uint32_t reportedFunc = 0;
    const structFuncConfig* liveConfig = nullptr;
    int reads = 0, recovers = 0, charges = 0, discharges = 0;
    std::vector<uint8_t> resets;
    std::vector<structCaliAccPoint> accs;
};

// A main configuration as the function settings hand it to the engine.
inline structFuncConfig mainConfig(MeasureTypeEnum real, int32_t range, RateEnum rate = E_Slow, int32_t rangeMax = 4) {
    structFuncConfig c;
    c.bMainConfig = true;
    c.s32RangeMax = rangeMax;
    c.s32Range = range;
    c.eRate = rate;
    c.eRealFunc = real;
    return c;
}

// Puts the fakes into the one engine for a test's life.
struct EngineFakes {
    EngineFakes() {
        CDataManage::instance()->setFrontEnd(&frontEnd);
        CDataManage::instance()->setClock(&clock);
    }
    ~EngineFakes() {
        CDataManage::instance()->setFrontEnd(&AcqFrontEnd::converter());
        CDataManage::instance()->setClock(&EngineClock::steady());
    }
    FakeFrontEnd frontEnd;
    VirtualClock clock;
};

// The loop on a thread of its own in real time at the fast rate, on a fake
// front end that gives DC `counts` as frames of `func`; `rows` maps DCV
// ranges to the volts of 1 000 000 counts. Stopped, and the engine handed
// back, on leaving.
class LoopThread {
public:
    LoopThread(int64_t counts, std::map<uint32_t, double> rows, uint32_t func = TYPE_DCV) : rows_(std::move(rows)) {
        CDataManage& e = *CDataManage::instance();
        frontEnd.frames = {frame(0x04, 0, le(counts, 3))};
        frontEnd.reportedFunc = func;
        e.setFrontEnd(&frontEnd);
        for (auto [range, volts] : rows_) e.DM_LoadCaliData(range, {{0, range, 0, 0}, {0, range, 1e6, volts}});
        e.TrigSourceSet(SRC_AUTO);
        e.DM_FixIntervalByRate(E_Fast, TYPE_DCV);
        e.m_zAcqRunning = true;
        loop_ = std::thread([&e] { e.DM_Run(); });
    }
    ~LoopThread() {
        stop();
        CDataManage::instance()->setFrontEnd(&AcqFrontEnd::converter());
        for (const auto& row : rows_) CDataManage::instance()->DM_RemoveCaliData({row.first});
    }
    // True when the loop ended within two seconds.
    bool stop() {
        if (!loop_.joinable()) return true;
        const bool stopped = CDataManage::instance()->stop(2000);
        loop_.join();
        return stopped;
    }
    FakeFrontEnd frontEnd;

private:
    std::map<uint32_t, double> rows_;
    std::thread loop_;
};

} // namespace testing_support
