// The measurement loop on the simulated front end with real time, as in the
// service, with the hub delivering its notifications to a sink in place of
// the UI link: readings per second per rate and model, sample-to-notification
// latency, CPU of the loop thread and of the process, no loss on the UI link,
// and R? of a full reading memory. Each loop run lasts 10 s (60 s for loss).
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "CDataManage.h"
#include "CFEM.h"
#include "FunctionManage.h"
#include "dev/gpio/CGpioCtl.h"
#include "drv/vorna_adc/CVORNA_ADC.h"
#include "platform/sim_calibration_set.h"
#include "platform/sim_frontend.h"
#include "platform/sim_registry.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

double cpuSeconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The converter, noting when the loop last read a frame (the sample).
class TimedFrontEnd : public AcqFrontEnd {
public:
    bool acqData(uint32_t& func, structFuncConfig& config, uint8_t* buf, int32_t len) override {
        bool ok = AcqFrontEnd::converter().acqData(func, config, buf, len);
        lastSampleUs = nowUs();
        return ok;
    }
    void configRecover() override { AcqFrontEnd::converter().configRecover(); }
    void countReset(uint8_t s) override { AcqFrontEnd::converter().countReset(s); }
    void charge() override { AcqFrontEnd::converter().charge(); }
    void discharge() override { AcqFrontEnd::converter().discharge(); }
    void setAcc(uint32_t f, uint32_t r, uint32_t a) override { AcqFrontEnd::converter().setAcc(f, r, a); }
    bool changeRange(MeasureTypeEnum f, int32_t from, const structFuncConfig& c) override {
        return AcqFrontEnd::converter().changeRange(f, from, c);
    }
    std::atomic<int64_t> lastSampleUs{0};
};

struct RunStats {
    uint64_t readings = 0;        // sum of key 1030 lengths
    uint32_t first1031 = 0, last1031 = 0;
    uint64_t firstLen = 0;
    std::vector<int64_t> latencyUs;
    double loopCpu = 0, processCpu = 0, seconds = 0;
};

void setUpOnce() {
    static bool done = [] {
        const std::string root = (std::filesystem::temp_directory_path() / "dmm_bench_readings").string();
        std::filesystem::create_directories(root);
        setenv("DMM_ROOT", root.c_str(), 1);
        platform::simWriteCalibrationSet("/vorna/data");
        CGpioCtl::instance()->GPIO_Connect();
        CVORNA_ADC::instance().VORNA_ADC_Connect();
        CFEM::instance()->bindManager(&FunctionManage::instance());
        CFEM::instance()->bindManager(CDataManage::instance());
        return true;
    }();
    (void)done;
}

// Runs the loop for `seconds` on DCV 10 V at `rate` for `model`.
RunStats runLoop(const char* model, RateEnum rate, double seconds, bool vmc) {
    setUpOnce();
    CDataManage* e = CDataManage::instance();
    const bool mv412 = std::string(model) == "MV412";
    FunctionManage& fm = FunctionManage::instance();
    fm.FM_CapabilityInit(model);
    e->DM_CapabilityInit(model);
    CVORNA_ADC::instance().VORNA_ADC_SetMode412(mv412);
    e->DM_CalInit();
    platform::SimInputs in;
    in.dcVolts = 1.234;
    platform::simFrontEnd().setInputs(in);
    fm.FM_SetFunction(TYPE_DCV);
    fm.FM_SetRange(TYPE_DCV, 2);
    fm.FM_SetRate(TYPE_DCV, rate);
    e->TrigSourceSet(SRC_AUTO);
    google::protobuf::Map<int, Value> vmcOn;
    vmcOn[0x1107].set_bval(vmc);
    google::protobuf::Map<int, Value> reply;
    CFEM::handleMessage(0, 0x10001107, vmcOn, &reply);
    TimedFrontEnd frontEnd;
    e->setFrontEnd(&frontEnd);

    RunStats stats;
    std::mutex mtx;
    CFEM::setNotifySink([&](const DataPack& pack) {
        const int64_t at = nowUs();
        if (static_cast<uint32_t>(pack.code()) != (UPDATE_MEASURE_DATA | 0x80000000u) || !pack.data().count(0x406)) {
            return;
        }
        DataBuffer b;
        b.ParseFromString(pack.data().at(0x406).rawval());
        std::lock_guard<std::mutex> lock(mtx);
        if (stats.latencyUs.empty()) {
            stats.first1031 = pack.data().at(0x407).u32val();
            stats.firstLen = static_cast<uint64_t>(b.buffer_size());
        }
        stats.last1031 = pack.data().at(0x407).u32val();
        stats.readings += static_cast<uint64_t>(b.buffer_size());
        stats.latencyUs.push_back(at - frontEnd.lastSampleUs.load());
    });

    e->m_zAcqRunning = true;
    clockid_t loopClock{};
    std::atomic<bool> haveClock{false};
    std::thread loop([&] {
        pthread_getcpuclockid(pthread_self(), &loopClock);
        haveClock = true;
        e->DM_Run();
    });
    while (!haveClock) std::this_thread::yield();
    // Past the settling of the first pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    {
        std::lock_guard<std::mutex> lock(mtx);
        stats = RunStats{};
    }
    const double loop0 = cpuSeconds(loopClock);
    const double proc0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    RunStats out;
    {
        std::lock_guard<std::mutex> lock(mtx);
        out = stats;
    }
    out.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    out.loopCpu = cpuSeconds(loopClock) - loop0;
    out.processCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - proc0;
    e->stop(2000);
    loop.join();
    CFEM::setNotifySink(nullptr);
    e->setFrontEnd(&AcqFrontEnd::converter());
    vmcOn[0x1107].set_bval(false);
    CFEM::handleMessage(0, 0x10001107, vmcOn, &reply);
    return out;
}

int64_t percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

const char* modelName(int64_t i) { return i == 0 ? "MV412" : "MV412E"; }

void BM_ReadingsPerSecond(benchmark::State& state) {
    const RateEnum rate = static_cast<RateEnum>(state.range(1));
    for (auto _ : state) {
        RunStats s = runLoop(modelName(state.range(0)), rate, 10.0, false);
        const double interval = static_cast<double>(CDataManage::instance()->trigInfo().u32Interval);
        const double perSecond = static_cast<double>(s.latencyUs.size()) / s.seconds;
        state.counters["readings_per_s"] = perSecond;
        state.counters["goal_per_s"] = 1000.0 / interval;
        state.counters["deviation_pct"] = (perSecond * interval / 1000.0 - 1.0) * 100.0;
        state.counters["loop_cpu_pct"] = s.loopCpu / s.seconds * 100.0;
        state.counters["process_cpu_pct"] = s.processCpu / s.seconds * 100.0;
    }
}

void BM_NotifyLatencyFast(benchmark::State& state) {
    for (auto _ : state) {
        RunStats s = runLoop("MV412", E_Fast, 10.0, state.range(0) != 0);
        state.counters["p50_us"] = static_cast<double>(percentile(s.latencyUs, 0.5));
        state.counters["p99_us"] = static_cast<double>(percentile(s.latencyUs, 0.99));
        state.counters["notifications"] = static_cast<double>(s.latencyUs.size());
    }
}

void BM_UiLinkNoLoss(benchmark::State& state) {
    for (auto _ : state) {
        RunStats s = runLoop("MV412", E_Fast, 60.0, false);
        // The first notification's own readings are counted in its key 1031.
        const double carried = static_cast<double>(s.readings - s.firstLen);
        const double growth = static_cast<double>(s.last1031) - static_cast<double>(s.first1031);
        state.counters["sum_1030"] = carried;
        state.counters["growth_1031"] = growth;
        state.counters["lost_or_duplicated"] = carried - growth;
    }
}

void BM_RFullBuffer(benchmark::State& state) {
    setUpOnce();
    CDataManage* e = CDataManage::instance();
    google::protobuf::Map<int, Value> in;
    google::protobuf::Map<int, Value> out;
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        e->m_buffer.clear();
        for (int i = 0; i < 500000; ++i) e->m_buffer.push_back({1.234 + i * 1e-6, 1.0, 12.0f});
        out.clear();
        state.ResumeTiming();
        CFEM::handleMessage(2, 0x20000610, in, &out);
        bytes = out.at(0x610).strval().size();
    }
    state.counters["block_bytes"] = static_cast<double>(bytes);
}

} // namespace

BENCHMARK(BM_ReadingsPerSecond)
    ->ArgsProduct({{0, 1}, {E_Slow, E_Medium, E_Fast}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_NotifyLatencyFast)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_UiLinkNoLoss)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_RFullBuffer)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
