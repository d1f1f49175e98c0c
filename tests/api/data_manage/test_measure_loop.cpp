// The measurement loop pass by pass in virtual time: scripted frames, a
// calibration of one count per microunit, notifications collected in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <thread>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiSM.h"
#include "FunctionManage.h"
#include "ListWait.h"
#include "dev/gpio/CGpioCtl.h"
#include "../../platform/eventually.h"
#include "engine_fakes.h"
#include "proto_values.h"
#include "sim_gpio.h"
#include "sim_registry.h"

using namespace testing_support;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

constexpr uint8_t kDcReady = 0x04;
constexpr uint8_t kAcReady = 0x10;
constexpr uint8_t kCounterReady = 0x01;

// The custom sensor curve y = x / 100 over the readings of `curve`, in force.
void loadCustomCurve(CDataManage* e, MeasureTypeEnum curve) {
    ValueMap out;
    ASSERT_EQ(e->cbSensTempOrCustomSet(0, request(0x1707, bval(false)), &out), 0);
    ASSERT_EQ(e->cbSensCustomFuncSet(0, request(0x1705, s32(curve)), &out), 0);
    for (double x : {0, 10000}) {
        ValueMap point;
        point.insert({{0, s32(-1)}, {1, f64(x)}, {2, f64(x / 100)}, {3, bval(x == 0)}, {4, s32(0)}});
        ASSERT_EQ(e->cbSensRefDataAdd(0, point, &out), 0);
    }
    ASSERT_EQ(e->SensConfigLoad(), 0);
}

// Records the pulse: the output's state while the loop sleeps.
class PulseClock : public VirtualClock {
public:
    void sleepUs(uint64_t d) override {
        if (d > 1000) sleeps.push_back({d, platform::simGpio().vmcActive()});
        if (onPoll) onPoll();
        VirtualClock::sleepUs(d);
    }
    std::vector<std::pair<uint64_t, bool>> sleeps;
    std::function<void()> onPoll;  // e.g. an external edge during a pass
};

class MeasureLoop : public ::testing::Test {
protected:
    void SetUp() override {
        FunctionManage::instance();
        ASSERT_TRUE(CGpioCtl::instance()->GPIO_Connect());
        // Passes run on the test's thread; no loop task is started.
        e->m_zAcqRunning = true;
        e->setFrontEnd(&fe);
        fe.liveConfig = &e->m_mainConfig;
        e->setClock(&clock);
        e->setPushSink([this](service_id id, ValueMap map) { pushes.push_back({id, std::move(map)}); });
        e->mDataPointThreshold = 1000;
        e->TrigSampleCountSet(1);
        e->TrigSingleCountSet(1);
        e->m_singleCountDown = 0;
        e->TrigSourceSet(SRC_AUTO);
        // Raw counts are microunits of the row: 1 000 000 counts = 1 V, 1 kOhm, ...
        for (uint32_t key : {0u * 64 + 1, 0u * 64 + 3, 1u * 64 + 2, 4u * 64 + 1, 8u * 64}) {
            e->DM_LoadCaliData(key, {{key / 64, key % 64, -8e6, -8.0}, {key / 64, key % 64, 8e6, 8.0}});
        }
        // Continuity: one count per ohm.
        e->DM_LoadCaliData(7 * 64, {{7, 0, 0, 0}, {7, 0, 8e6, 8e6}});
    }
    void TearDown() override {
        e->m_zAcqRunning = false;
        e->setPushSink(nullptr);
        e->setFrontEnd(&AcqFrontEnd::converter());
        e->setClock(&EngineClock::steady());
        e->DM_RemoveCaliData({1, 3, 66, 257, 448, 512, 640});
        e->TrigSourceSet(SRC_AUTO);
        e->TrigSingleCountSet(1);
        e->m_triggerChange = false;
    }

    void select(MeasureTypeEnum f, int range, RateEnum rate = E_Slow, bool autoRange = false,
                MeasureTypeEnum real = TYPE_DCV) {
        if (autoRange) {
            // Auto-range steps are kept by the function settings: they must
            // hold the same configuration as the engine.
            ProtoBaseFuncInfo info;
            fm.ProtoBaseFuncInfoGet(info);
            info.set_ms32dmmfunc(f);
            info.set_mbfunc2enable(false);
            ProtoFuncConfig* stored = info.mutable_mprotofunccfgs(f);
            stored->set_mbautorange(true);
            stored->set_ms32range(range);
            stored->set_ms32rate(rate);
            fm.ProtoBaseFuncInfoSet(info);
        } else {
            const bool runsOnAnother = f == TYPE_PERIOD || f == TYPE_FREQ || f == TYPE_SENSOR;
            e->DM_UpdateMainFunc(f, mainConfig(runsOnAnother ? real : f, range, rate));
        }
        e->DM_FixIntervalByRate(rate, f);
        e->loopStart();
        e->m_confChange = false;
        e->m_triggerChange = false;
        fe.reportedFunc = f;
        pushes.clear();
    }
    // One DC frame per value (the last repeats).
    void feed(const std::vector<double>& values, uint8_t status = kDcReady) {
        fe.frames.clear();
        for (double v : values) fe.frames.push_back(frame(status, 0, le(std::llround(v * 1e6), 3)));
    }
    std::vector<double> readings() {
        std::vector<double> out;
        for (const structReading& r : e->m_buffer) out.push_back(r.f64Value);
        return out;
    }
    std::vector<ValueMap> pushed(service_id id) {
        std::vector<ValueMap> out;
        for (auto& p : pushes) if (p.first == id) out.push_back(p.second);
        return out;
    }

    CDataManage* e = CDataManage::instance();
    FunctionManage& fm = FunctionManage::instance();
    FakeFrontEnd fe;
    PulseClock clock;
    std::vector<std::pair<service_id, ValueMap>> pushes;
};

TEST_F(MeasureLoop, SettlesTwentySamplesThenAveragesTheNewestWindowOfTheRate) {
    struct Case { RateEnum rate; size_t window; };
    for (Case c : {Case{E_Slow, 50}, Case{E_Medium, 20}, Case{E_Fast, 2}}) {
        select(TYPE_DCV, 1, c.rate);
        std::vector<double> ramp(2000);
        for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = 1e-4 * static_cast<double>(i);  // no step
        feed(ramp);
        e->runPass();
        if (c.rate == E_Fast) {
            EXPECT_TRUE(readings().empty()) << "a pass within the first 20 samples reports nothing";
            for (int p = 0; p < 3 && readings().empty(); ++p) e->runPass();
        }
        ASSERT_EQ(readings().size(), 1u) << c.rate;
        const size_t used = static_cast<size_t>(fe.reads);
        ASSERT_GT(used, 20 + c.window - 1);
        const double mean = std::accumulate(ramp.begin() + static_cast<long>(used - c.window),
                                            ramp.begin() + static_cast<long>(used), 0.0) / static_cast<double>(c.window);
        EXPECT_NEAR(readings()[0], mean, 1e-9) << c.rate;
        fe.reads = 0;
    }
}

TEST_F(MeasureLoop, OverloadAndSignRules) {
    struct Case { MeasureTypeEnum f; double in; double out; };
    for (Case c : {Case{TYPE_DCV, 1.3, 9.9e37}, Case{TYPE_DCV, -1.3, -9.9e37}, Case{TYPE_DCV, -0.5, -0.5},
                   Case{TYPE_OHM2, -0.5, 0.0}, Case{TYPE_OHM2, -1.3, 9.9e37}}) {
        select(c.f, 1);
        feed({c.in});
        e->runPass();

        ASSERT_EQ(readings().size(), 1u);
        EXPECT_DOUBLE_EQ(readings()[0], c.out) << c.f << " " << c.in;
    }
}

TEST_F(MeasureLoop, AutoRangeStepsAndEmptiesTheWindow) {
    struct Case { int from; double in; int to; bool edge = false; };
    // 50 mV on the 100 V row: two down; 1.2 V on the 1 V row: one up.
    // The input moves on to a value the new range keeps. Third: the front end
    // was configured by a handler meanwhile, so the decision is not applied.
    // Last two: an external edge took the pass that stepped, which made no
    // reading; the edge stays pending and the next pass reads the input on
    // the new range.
    for (Case c : {Case{3, 0.05, 1}, Case{1, 1.2, 2}, Case{-1, 1.2, 1}, Case{3, 0.5, 1, true}, Case{1, 1.2, 2, true}}) {
        SCOPED_TRACE(testing::Message() << c.from << " " << c.in << (c.edge ? " edge" : ""));
        fe.refuseRange = c.from < 0;
        select(TYPE_DCV, std::max(c.from, 1), E_Slow, true);
        if (!c.edge) {
            std::vector<double> in(21, c.in);
            in.push_back(0.5);
            feed(in);
            e->runPass();
            EXPECT_EQ(e->m_mainConfig.s32Range, c.to);
            EXPECT_EQ(readings().empty(), c.from >= 0) << "nothing of the old range is reported";
            continue;
        }
        e->DM_LoadCaliData(2, {{0, 2, -8e6, -8.0}, {0, 2, 8e6, 8.0}});  // 1.2 V stays on the 10 V row
        ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_EXT)), nullptr), 0);
        e->m_triggerChange = false;
        e->acqArm(1, 0);  // INIT of one trigger
        feed({c.in});
        int polls = 0;
        clock.onPoll = [&] {
            if (++polls == 1) e->externalEdge();
            if (polls > 5000) e->m_zAcqRunning = false;  // the edge was lost: no pass ends
        };
        e->runPass();
        EXPECT_EQ(e->m_mainConfig.s32Range, c.to);
        EXPECT_TRUE(readings().empty()) << "the pass that stepped";
        e->runPass();
        clock.onPoll = nullptr;
        EXPECT_TRUE(e->m_zAcqRunning.load()) << "still waiting for an edge";
        e->m_zAcqRunning = true;
        EXPECT_EQ(readings().size(), 1u);
        if (!readings().empty()) {
            EXPECT_NEAR(readings()[0], c.in, 1e-9);
        }
        EXPECT_FALSE(e->DM_AcquisitionPending());
        e->DM_AbortRead();
        e->TrigSourceSet(SRC_AUTO);
    }
    fe.refuseRange = false;
    e->DM_RemoveCaliData({2});
}

// A step changes the record of the function it was decided for, and only
// while that function still runs auto range on the range the sample had.
TEST_F(MeasureLoop, AutoRangeStepChangesOnlyTheRecordItWasDecidedFor) {
    struct Case {
        MeasureTypeEnum main;   // auto range from range 2
        MeasureTypeEnum frame;  // what the front end still reports
        Frame input;
        int mainTo, ohmRange, acvRange;  // function settings afterwards
    } cases[] = {
        // 50 mV rms on the 10 V row: frequency steps two down, not AC volts.
        {TYPE_FREQ, TYPE_FREQ, frame(kAcReady, 9, le(250000, 5)), 0, 1, 4},
        // A 2-wire sample of before the change of function: nothing moves.
        {TYPE_DCV, TYPE_OHM2, frame(kDcReady, 0, le(1000, 3)), 2, 1, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.main);
        ASSERT_EQ(fm.FM_SetRange(TYPE_OHM2, 1), 0);
        ASSERT_EQ(fm.FM_SetRange(TYPE_ACV, 4), 0);
        select(c.main, 2, E_Slow, true);
        structFuncConfig old = e->m_mainConfig;
        if (c.frame != c.main) {
            old.bAutoRange = false;
            old.s32Range = 1;
            old.eRealFunc = c.frame;
            fe.liveConfig = &old;
        }
        fe.reportedFunc = c.frame;
        fe.frames = {c.input};
        e->runPass();
        fe.liveConfig = &e->m_mainConfig;
        EXPECT_EQ(fm.FM_GetRealRange(c.main), c.mainTo);
        EXPECT_EQ(e->m_mainConfig.s32Range, c.mainTo);
        EXPECT_EQ(fm.FM_GetRange(TYPE_OHM2), c.ohmRange);
        EXPECT_EQ(fm.FM_GetRange(TYPE_ACV), c.acvRange);
    }
}

// A change of the main function or of the second display halfway through a
// pass starts the interval over: the pass ends a whole interval after it.
TEST_F(MeasureLoop, AChangeStartsTheIntervalOver) {
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"main", [this] { e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1)); }},
        {"second", [this] { e->DM_Update2ndFunc(false, TYPE_ACV, mainConfig(TYPE_ACV, 1)); }},
    };
    for (const auto& change : changes) {
        select(TYPE_DCV, 1);
        feed({0.5});
        const uint64_t interval = e->m_trigInfo.u32Interval;
        const uint64_t start = clock.nowMs();
        uint64_t changedAt = 0;
        clock.onPoll = [&] {
            if (changedAt == 0 && clock.nowMs() - start >= interval / 2) {
                changedAt = clock.nowMs();
                change.second();
            }
        };
        e->runPass();
        clock.onPoll = nullptr;
        ASSERT_NE(changedAt, 0u) << change.first;
        EXPECT_GE(clock.nowMs() - changedAt, interval) << change.first;
    }
}

TEST_F(MeasureLoop, FrequencyCountOfZeroStepsDownOnceAndLocks) {
    select(TYPE_FREQ, 2, E_Slow, true, TYPE_ACV);
    Frame f = frame(kAcReady | kCounterReady, 9, le(2500000000LL, 5));  // 5 V rms
    fe.frames = {f};
    e->runPass();
    EXPECT_EQ(e->m_mainConfig.s32Range, 1);
    EXPECT_EQ(fm.FM_GetRealRange(TYPE_FREQ), 1);
    EXPECT_TRUE(e->m_autoRangeLocked);
}

TEST_F(MeasureLoop, CounterReadings) {
    // b counts over a reference of 4194304 counts: 40000 are 2000 Hz, 1 is 0.05 Hz.
    e->DM_LoadCaliData(10 * 64, {{10, 0, 0, 0}, {10, 0, 85830688, 2000}});
    struct Case { MeasureTypeEnum f; int64_t counts; double out; };
    // Below 0.1 Hz reads 0; 1e6 / 2000 Hz = 500 us, shown on the ms row.
    for (Case c : {Case{TYPE_FREQ, 1, 0.0}, Case{TYPE_PERIOD, 40000, 0.5}}) {
        select(c.f, 0, E_Slow, false, TYPE_ACV);
        Frame fr = frame(kAcReady | kCounterReady, 9, le(10000, 5));
        const std::vector<uint8_t> b = le(c.counts, 3);
        std::copy(b.begin(), b.end(), fr.begin() + 24);
        fe.frames = {fr};
        e->runPass();
        ASSERT_EQ(readings().size(), 1u) << c.f;
        EXPECT_NEAR(readings()[0], c.out, 1e-4) << c.f;
    }
    e->DM_RemoveCaliData({10 * 64});
}

// A custom curve y = x / 100 (x in mV or Hz): the reading is the curve's
// value, the relative switched on takes it as its offset, and the second
// display shows what the curve read, in its own row.
TEST_F(MeasureLoop, SensorReadingFeedsTheRelativeAndTheSecondDisplay) {
    e->DM_LoadCaliData(10 * 64, {{10, 0, 0, 0}, {10, 0, 85830688, 2000}});  // 40000 counts: 2000 Hz
    Frame counter = frame(kAcReady | kCounterReady, 9, le(10000, 5));
    const std::vector<uint8_t> b = le(40000, 3);
    std::copy(b.begin(), b.end(), counter.begin() + 24);
    struct Case {
        MeasureTypeEnum curve, real;
        int range;
        Frame input;
        double reading;
        const char *text2, *unit2;
    } cases[] = {
        {TYPE_DCV, TYPE_DCV, 1, frame(kDcReady, 0, le(500000, 3)), 5.0, " 0.500,00", "V"},  // 0.5 V
        {TYPE_FREQ, TYPE_ACV, 2, counter, 20.0, " 02.000,0", "KHz"},  // 2 kHz
    };
    e->m_sepChar = ',';
    e->m_dotChar = '.';
    e->m_plusSign = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.curve);
        ASSERT_NO_FATAL_FAILURE(loadCustomCurve(e, c.curve));
        ValueMap out;
        select(TYPE_SENSOR, c.range, E_Slow, false, c.real);
        fe.frames = {c.input};
        e->runPass();
        ASSERT_EQ(readings().size(), 1u);
        EXPECT_NEAR(readings()[0], c.reading, 1e-6);
        const std::vector<ValueMap> second = pushed(UPDATE_MEASURE2_DATA);
        ASSERT_EQ(second.size(), 1u);
        EXPECT_EQ(second[0].at(0x400).strval(), c.text2);
        EXPECT_EQ(second[0].at(0x401).strval(), c.unit2);
        EXPECT_EQ(second[0].at(0x402).s32val(), c.range);

        ASSERT_EQ(e->cbCalculateRelStateSet(0, request(0x80E, bval(true)), &out), 0);
        out.clear();
        ASSERT_EQ(e->cbCalculateRelOffsetGet(0, {}, &out), 0);
        EXPECT_NEAR(out.at(0x80D).f64val(), c.reading, 1e-6);
        e->runPass();
        ASSERT_EQ(readings().size(), 2u);
        EXPECT_NEAR(readings()[1], 0.0, 1e-6) << "the relative takes the sensor's reading off";
    }
    e->SEN_Init();
    fm.FM_SetFunction(TYPE_DCV);
    e->DM_RemoveCaliData({10 * 64});
}

TEST_F(MeasureLoop, ContinuityToneAndDiodeBeep) {
    select(TYPE_CONT, 0);
    feed({5e-6});  // 5 ohm: inside {0, 10}
    e->runPass();
    EXPECT_EQ(platform::simGpio().lastWritten(8), 1);
    feed({50e-6});
    e->runPass();
    EXPECT_EQ(platform::simGpio().lastWritten(8), 0);

    select(TYPE_DIODE, 0);
    feed({0.6});
    const unsigned long before = platform::simGpio().beeps();
    std::vector<unsigned long> beeps;
    for (int i = 0; i < 7; ++i) {
        e->runPass();
        beeps.push_back(platform::simGpio().beeps() - before);
    }
    EXPECT_EQ(beeps, (std::vector<unsigned long>{0, 0, 0, 0, 1, 1, 1}));
}

TEST_F(MeasureLoop, SingleTriggerEpisodeStatesThenSilence) {
    select(TYPE_DCV, 1, E_Medium);
    feed({0.5});
    ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_SINGLE)), nullptr), 0);
    e->m_triggerChange = false;
    e->TrigSingleCountSet(3);
    e->m_singleCountDown = 0;
    e->TrigSampleCountSet(2);
    e->TrigSingleTriggered();
    EXPECT_EQ(e->TrigCountTotalGet(), 6u);
    std::vector<int> states;
    for (int i = 0; i < 9; ++i) {
        pushes.clear();
        e->runPass();
        for (auto& m : pushed(UPDATE_MEASURE_DATA)) states.push_back(m.at(0x405).s32val());
    }
    EXPECT_EQ(states, (std::vector<int>{2, 2, 2, 2, 2, 3}));
    EXPECT_EQ(readings().size(), 6u);
}

// Under the bus trigger a change stores readings no trigger asked for: until
// they are stored they are the operation pending, and *OPC is set once they
// are in. Nothing more follows untriggered.
TEST_F(MeasureLoop, ReadingsAChangeStoresArePendingUntilStored) {
    const struct {
        const char* name;
        std::function<void()> change;
        size_t readings;
    } cases[] = {
        {"TRIG:SOUR BUS", [this] { e->cbTrigSourceSet(0, request(0x1106, s32(SRC_SINGLE)), nullptr); }, 1},
        {"SAMP:COUN", [this] { e->cbTrigSingleSet(0, request(0x1104, s32(3)), nullptr); }, 1},
        {"an NPLC change counting down three", [this] {
             e->TrigSingleCountSet(3);
             e->m_singleCountDown = 0;
             e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1, E_Fast));
         }, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        select(TYPE_DCV, 1, E_Medium);
        feed({0.5});
        e->TrigSourceSet(SRC_SINGLE);
        e->m_triggerChange = false;
        e->m_singleCountDown = 0;
        e->BufferClean();
        IEEE488_CLS_Excu();
        c.change();
        EXPECT_TRUE(e->DM_AcquisitionPending());
        EXPECT_FALSE(e->DM_OpcWhenDone());
        for (int pass = 0; pass < 10 && readings().size() < c.readings; ++pass) e->runPass();
        EXPECT_EQ(readings().size(), c.readings);
        EXPECT_FALSE(e->DM_AcquisitionPending());
        EXPECT_EQ(IEEE488_ESR_ReadClear() & 1, 1) << "operation complete once they are in";
        e->runPass();
        EXPECT_EQ(readings().size(), c.readings);
    }
    e->TrigSingleCountSet(1);
}

// A pass waiting for an edge ends when the source changes by any road, not
// only TRIG:SOUR: the free run goes on after a reset or a CONFigure.
TEST_F(MeasureLoop, APassWaitingForAnEdgeEndsWhenTheSourceChanges) {
    const struct {
        const char* name;
        std::function<void()> change;
    } cases[] = {
        {"*RST", [this] {
             ProtoTriggerFuncInfo defaults;
             e->ProtoTriggerFuncInfoDefault(defaults);
             e->ProtoTriggerFuncInfoSet(defaults);
         }},
        {"CONF", [this] { e->TrigSourceSet(SRC_AUTO); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        select(TYPE_DCV, 1, E_Medium);
        feed({0.5});
        ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_EXT)), nullptr), 0);
        e->m_triggerChange = false;
        // 100 ms into the pass's wait for an edge the source changes; two
        // seconds without a reading stop the loop.
        const uint64_t start = clock.nowMs();
        bool changed = false;
        clock.onPoll = [&] {
            if (!changed && clock.nowMs() - start >= 100) {
                changed = true;
                c.change();
            }
            if (clock.nowMs() - start >= 2000) e->m_zAcqRunning = false;
        };
        e->runPass();
        clock.onPoll = nullptr;
        EXPECT_TRUE(e->m_zAcqRunning.load()) << "still waiting for an edge";
        EXPECT_EQ(readings().size(), 1u);
        e->m_zAcqRunning = true;
    }
}

// An edge with nothing armed whose reading a clean dropped after the trigger
// took it (during the voltmeter-complete pulse) is read by the next pass.
TEST_F(MeasureLoop, AnEdgeWhoseReadingAClearDroppedIsReadByTheNextPass) {
    select(TYPE_DCV, 1, E_Medium);
    feed({0.5});
    ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_EXT)), nullptr), 0);
    e->m_triggerChange = false;
    ASSERT_EQ(e->cbTrigVMCStateSet(0, request(0x1107, bval(true)), nullptr), 0);
    int polls = 0;
    bool cleaned = false;
    clock.onPoll = [&] {
        if (++polls == 1) e->externalEdge();
        if (!cleaned && platform::simGpio().vmcActive()) cleaned = (e->BufferClean(), true);
        if (polls > 5000) e->m_zAcqRunning = false;  // the edge was lost: no pass ends
    };
    e->runPass();
    EXPECT_TRUE(cleaned);
    EXPECT_TRUE(readings().empty());
    e->runPass();
    clock.onPoll = nullptr;
    EXPECT_TRUE(e->m_zAcqRunning.load()) << "still waiting for an edge";
    e->m_zAcqRunning = true;
    EXPECT_EQ(readings().size(), 1u);
    e->cbTrigVMCStateSet(0, request(0x1107, bval(false)), nullptr);
}

// An edge counts for an acquisition only if it came while that acquisition
// was armed. One that came before the arm (at the first poll of a pass, with
// nothing armed) makes the one reading it would have made with nothing
// armed, or gives a capture its value, whatever the arm found its
// measurement doing; the acquisition answers none of it and waits for an
// edge of its own, which then triggers it.
TEST_F(MeasureLoop, AnEdgeBeforeTheArmIsReadOnceAndTriggersNothingOfTheAcquisition) {
    ProtoBaseFuncInfo settings;  // the range step's row changes them
    fm.ProtoBaseFuncInfoGet(settings);
    int polls = 0, edgeAt = 1;
    std::function<void()> atPoll;  // the row's event, at every poll of the edge's pass
    const auto external = [this] {
        ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_EXT)), nullptr), 0);
        e->m_triggerChange = false;
    };
    const auto capture = [&](int armAt) {
        external();
        e->m_RawDataQueue.Clear();
        e->m_zCaliRunning = true;
        atPoll = [&, armAt] {
            if (polls == armAt) e->acqArm(1, 0);
        };
    };
    const auto captured = [this] {
        EXPECT_EQ(e->m_RawDataQueue.Size(), 1u) << "the edge gave the capture its value";
        e->m_zCaliRunning = false;  // the capture's last value
        e->m_RawDataQueue.Clear();
    };
    const struct {
        const char* name;
        std::function<void()> before;  // the setting the edge comes under
        std::function<void()> after;   // what follows the edge's pass, up to the arm
        size_t freeRun;                // readings the edge makes
    } cases[] = {
        {"it came under the bus source",
         [&] {
             ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_SINGLE)), nullptr), 0);
             e->m_triggerChange = false;
         },
         [&] {
             external();  // drops it: nor is it a trigger of the free run
             e->acqArm(1, 0);
         },
         0},
        {"the arm as its measurement began",
         [&] {
             external();
             atPoll = [&] {
                 if (polls == 1) e->acqArm(1, 0);
             };
         },
         [] {}, 1},
        {"a clean and the arm during its pulse",
         [&] {
             external();
             ASSERT_EQ(e->cbTrigVMCStateSet(0, request(0x1107, bval(true)), nullptr), 0);
             atPoll = [&] {
                 if (!platform::simGpio().vmcActive() || e->DM_AcquisitionPending()) return;
                 e->BufferClean();
                 e->acqArm(1, 0);
             };
         },
         [] {}, 1},
        {"its pass stepped the range",
         [&] {
             select(TYPE_DCV, 3, E_Slow, true);
             external();
         },
         [&] {
             EXPECT_EQ(e->m_mainConfig.s32Range, 1);
             e->acqArm(1, 0);
         },
         1},
        {"a capture took it, armed before the capture's first sample", [&] { capture(1); }, captured, 0},
        {"a capture took it, armed while the capture ran", [&] { capture(5); }, captured, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        select(TYPE_DCV, 1, E_Medium);
        feed({0.5});
        atPoll = nullptr;
        c.before();
        polls = 0;
        edgeAt = 1;
        clock.onPoll = [&] {
            if (++polls == edgeAt) e->externalEdge();
            if (atPoll) atPoll();
            if (polls > 2000) e->m_zAcqRunning = false;
        };
        e->runPass();
        ASSERT_TRUE(e->m_zAcqRunning.load()) << "the edge's pass ended";
        c.after();
        ASSERT_TRUE(e->DM_AcquisitionPending());
        polls = edgeAt = 0;
        atPoll = nullptr;
        for (int pass = 0; pass < 3 && e->m_zAcqRunning; ++pass) e->runPass();
        EXPECT_FALSE(e->m_zAcqRunning.load()) << "it waits for an edge of its own";
        e->m_zAcqRunning = true;
        EXPECT_EQ(readings().size(), c.freeRun) << "the edge's own readings";
        EXPECT_TRUE(e->DM_AcquisitionPending());
        EXPECT_EQ(e->m_acqText, "") << "the acquisition took the edge of before";
        // An edge after the arm is its trigger.
        polls = 0;
        edgeAt = 1;
        for (int pass = 0; pass < 3 && e->DM_AcquisitionPending() && e->m_zAcqRunning; ++pass) e->runPass();
        clock.onPoll = nullptr;
        EXPECT_TRUE(e->m_zAcqRunning.load()) << "the edge after the arm was lost";
        e->m_zAcqRunning = true;
        EXPECT_FALSE(e->DM_AcquisitionPending());
        EXPECT_EQ(e->m_acqText, "5.00000000E-01");
        EXPECT_EQ(readings().size(), c.freeRun + 1);
        e->DM_AbortRead();
        e->cbTrigVMCStateSet(0, request(0x1107, bval(false)), nullptr);
        e->TrigSourceSet(SRC_AUTO);
    }
    fm.ProtoBaseFuncInfoSet(settings);
}

// A calibration point under the external source: each of its six values
// waits for an edge of its own, and an edge the capture takes makes no
// reading; the edges after the point make one each.
TEST_F(MeasureLoop, EachCaptureValueTakesAnEdgeOfItsOwnAndMakesNoReading) {
    struct Case { int edges; bool filed; size_t readings; };
    for (Case c : {Case{1, false, 0}, Case{6, true, 0}, Case{8, true, 2}}) {
        SCOPED_TRACE(c.edges);
        select(TYPE_DCV, 1, E_Medium);
        feed({0.5});
        ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_EXT)), nullptr), 0);
        e->m_triggerChange = false;
        e->m_RawDataQueue.Clear();
        ASSERT_EQ(e->cbCaliDataSet(0, request(0xc00, f64(0.5)), nullptr), 0);
        int polls = 0, edgeAt = 1;
        clock.onPoll = [&] {
            if (++polls == edgeAt) e->externalEdge();
            if (polls > 2000) e->m_zAcqRunning = false;  // no edge comes
        };
        for (int i = 1; i <= c.edges + 1 && e->m_zAcqRunning; ++i) {
            polls = 0;
            edgeAt = i <= c.edges ? 1 : 0;
            e->runPass();
            // The worker takes each value (and files the point at the sixth)
            // before the next pass may offer another.
            ASSERT_TRUE(eventually([&] { return e->m_RawDataQueue.Size() == 0 && !(i == 6 && e->m_zCaliRunning); }));
        }
        clock.onPoll = nullptr;
        EXPECT_FALSE(e->m_zAcqRunning.load()) << "an edge was taken twice";
        e->m_zAcqRunning = true;
        EXPECT_EQ(!e->m_zCaliRunning, c.filed);
        EXPECT_EQ(e->caliPoints().count(1) != 0, c.filed);
        EXPECT_EQ(readings().size(), c.readings);
        // A point still waiting is given up; its worker lets go (and drops
        // the calibrating bit) before the next row.
        e->m_zCaliRunning = false;
        ASSERT_TRUE(eventually([] { return (DrvScpi_GetStatusRegs().u16ScpOSR_C & 1) == 0; }));
        e->DM_CalInit();  // drops the point
        e->DM_LoadCaliData(1, {{0, 1, -8e6, -8.0}, {0, 1, 8e6, 8.0}});
        e->TrigSourceSet(SRC_AUTO);
    }
}

// A change into capacitance while a pass of the function before runs, the
// change flag already taken by the end of the pass before: the pass settles
// as capacitance asks (at once), not as its snapshot of the old function
// would (twenty charge cycles, longer than a read waits).
TEST_F(MeasureLoop, AChangeIntoCapacitanceMidPassSettlesAsCapacitance) {
    select(TYPE_DCV, 1, E_Slow);
    feed({0.5});
    e->DM_LoadCaliData(6 * 64 + 3, {{6, 3, 0, 0}, {6, 3, 1e6, 1.0}});
    Frame counted = frame(kCounterReady, 21, le(500, 3));
    const std::vector<uint8_t> reference = le(1000, 3);
    std::copy(reference.begin(), reference.end(), counted.begin() + 24);
    bool changed = false;
    clock.onPoll = [&] {
        if (changed) return;
        changed = true;
        fe.frames = {counted};
        fe.reportedFunc = TYPE_CAP;
        e->DM_UpdateMainFunc(TYPE_CAP, mainConfig(TYPE_CAP, 3, E_Slow, 7));
        e->m_confChange = false;  // taken by the end of the pass before
    };
    const uint64_t start = clock.nowMs();
    for (int pass = 0; pass < 40 && readings().empty(); ++pass) e->runPass();
    clock.onPoll = nullptr;
    EXPECT_FALSE(readings().empty());
    EXPECT_LT(clock.nowMs() - start, 2000u) << "virtual ms until the first capacitance reading";
    e->DM_RemoveCaliData({6 * 64 + 3});
}

// The engine runs resistance while the front end still sends frames of the
// current function before it (a change that reached the engine first): no
// reading is made of them, and the front end's first resistance frames count.
TEST_F(MeasureLoop, FramesOfAnotherFunctionThanTheEnginesMakeNoReading) {
    e->DM_LoadCaliData(2 * 64 + 1, {{2, 1, 0, 0}, {2, 1, 1e6, 1.0}});
    select(TYPE_OHM2, 1);
    const structFuncConfig current = mainConfig(TYPE_DCI, 1);
    fe.reportedFunc = TYPE_DCI;
    fe.liveConfig = &current;
    feed({0.012});
    for (int pass = 0; pass < 5; ++pass) e->runPass();
    EXPECT_TRUE(readings().empty()) << "a current reported as a resistance";
    fe.reportedFunc = TYPE_OHM2;
    fe.liveConfig = &e->m_mainConfig;
    feed({0.47});
    for (int pass = 0; pass < 5 && readings().empty(); ++pass) e->runPass();
    ASSERT_FALSE(readings().empty());
    EXPECT_NEAR(readings()[0], 0.47, 1e-9);
    e->DM_RemoveCaliData({2 * 64 + 1});
}

// The front end takes a handler's new range 5 ms before a pass ends: the
// pass makes no reading of 0.5 mV and 0.501 V samples averaged as volts.
TEST_F(MeasureLoop, NoReadingAveragesSamplesOfTwoRanges) {
    e->DM_LoadCaliData(0, {{0, 0, -8e6, -8.0}, {0, 0, 8e6, 8.0}});
    select(TYPE_DCV, 1, E_Medium);
    const structFuncConfig before = mainConfig(TYPE_DCV, 0, E_Medium);
    fe.liveConfig = &before;
    feed({0.5});
    e->runPass();
    e->runPass();
    const int switchAt = static_cast<int>(e->m_trigInfo.u32Interval) - 5;
    int polls = 0;
    clock.onPoll = [&] {
        if (++polls != switchAt) return;
        fe.liveConfig = &e->m_mainConfig;
        feed({0.501});
    };
    for (int pass = 0; pass < 3; ++pass) e->runPass();
    clock.onPoll = nullptr;
    for (const structReading& r : e->m_buffer) {
        EXPECT_TRUE(std::fabs(r.f64Value - 0.5) < 1e-9 || std::fabs(r.f64Value - 0.501) < 1e-9) << r.f64Value;
    }
    EXPECT_NEAR(e->m_buffer.back().f64Value, 0.501, 1e-9);
    e->DM_RemoveCaliData({0});
}

TEST_F(MeasureLoop, VoltmeterCompletePulseRunsOnTheLoopWithItsWidth) {
    select(TYPE_DCV, 1, E_Slow);
    feed({0.5});
    ASSERT_EQ(e->cbTrigVMCPulseWidthSet(0, request(0x1109, s32(30)), nullptr), 0);
    ASSERT_EQ(e->cbTrigVMCPolarSet(0, request(0x1108, s32(1)), nullptr), 0);
    ASSERT_EQ(e->cbTrigVMCStateSet(0, request(0x1107, bval(true)), nullptr), 0);
    e->runPass();
    ASSERT_EQ(clock.sleeps.size(), 1u);
    EXPECT_EQ(clock.sleeps[0], std::make_pair(uint64_t{30000}, true));
    EXPECT_FALSE(platform::simGpio().vmcActive());
    e->cbTrigVMCStateSet(0, request(0x1107, bval(false)), nullptr);
}

// A reading counted for what was owed before an arm (here the free run's
// reading after a count change) that reaches the acquisition only after the
// arm, during the pulse of the voltmeter-complete output: neither the reading
// nor its count when a clean drops it belongs to the new acquisition, which
// answers the one reading it was armed for.
TEST_F(MeasureLoop, AReadingCountedBeforeAnArmIsNotTheNewAcquisitions) {
    const struct {
        const char* name;
        std::function<void()> meanwhile;
    } cases[] = {
        {"READ? arms", [this] { e->acqArm(0, 1); }},
        {"a new rate, then READ? arms", [this] {
             e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1, E_Fast));
             e->acqArm(0, 1);
         }},
    };
    ASSERT_EQ(e->cbTrigVMCStateSet(0, request(0x1107, bval(true)), nullptr), 0);
    ASSERT_EQ(e->cbTrigVMCPolarSet(0, request(0x1108, s32(1)), nullptr), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        select(TYPE_DCV, 1, E_Medium);
        feed({0.5});
        e->DM_AbortRead();
        ASSERT_EQ(e->cbTrigSingleSet(0, request(0x1104, s32(1)), nullptr), 0);  // owes the free run one reading
        bool done = false;
        clock.onPoll = [&] {
            if (done || !platform::simGpio().vmcActive()) return;
            done = true;
            c.meanwhile();
        };
        for (int pass = 0; pass < 10 && (!done || e->DM_AcquisitionPending()); ++pass) e->runPass();
        clock.onPoll = nullptr;
        ASSERT_TRUE(done);
        EXPECT_FALSE(e->DM_AcquisitionPending());
        ValueMap out;
        ASSERT_EQ(e->cbMeasDataFetch(2, {}, &out), 0);
        EXPECT_EQ(out.at(0x60d).strval(), "5.00000000E-01");
    }
    e->cbTrigVMCStateSet(0, request(0x1107, bval(false)), nullptr);
}

TEST_F(MeasureLoop, ExternalTriggerWaiterCountsOnlyReadEdges) {
    std::vector<bool> edges = {false, false, true};
    size_t next = 0;
    e->setTriggerSource([&] { return edges[next++]; });
    std::vector<bool> seen;
    for (size_t i = 0; i < edges.size(); ++i) {
        e->m_triggered = false;
        const uint64_t t0 = clock.nowMs();
        e->waitTriggerOnce();
        seen.push_back(e->m_triggered);
        EXPECT_GE(clock.nowMs() - t0, edges[i] ? 1u : 100u) << "a failed read backs off";
    }
    EXPECT_EQ(seen, edges);
    e->setTriggerSource(nullptr);
}

// A client's own change of the calibration table in force while its
// acquisition goes on: the reading of a trigger after it is computed with the
// table then in force alone, never with samples of the old one, whether the
// change came between passes or late in the pass that takes the reading. An
// external edge whose pass the change (or a clean of the memory) dropped
// stays pending: the pass after it takes the edge's reading.
TEST_F(MeasureLoop, AReadingTriggeredAfterACalibrationChangeIsOfTheTableInForce) {
    const auto removed = [this] { e->cbCaliDataDelete(0, {}, nullptr); };  // CAL:DELETE CURR
    const auto saved = [this] {  // a table of 1.001 uV a count put in force
        e->DM_CacheCaliPoint(TYPE_DCV, 1, 0, 0);
        e->DM_CacheCaliPoint(TYPE_DCV, 1, 1e6, 1.001);
        e->cbCaliDataSave(0, {}, nullptr);
    };
    const auto cleaned = [this] { e->cbDataPointsEventThresholdSet(0, request(0x2102, s32(1000)), nullptr); };
    const struct {
        const char* name;
        std::function<void()> change;
        bool midPass;  // under an external source: while the pass waits for its edge
        double after;  // the reading of 0.5 V the table in force gives
        TrigSrcEnum src = SRC_SINGLE;
    } cases[] = {
        {"deleted between passes", removed, false, 0.0},
        {"deleted late in the pass", removed, true, 0.0},
        {"saved between passes", saved, false, 0.5005},
        {"saved late in the pass", saved, true, 0.5005},
        {"deleted while waiting for the edge", removed, true, 0.0, SRC_EXT},
        {"saved while waiting for the edge", saved, true, 0.5005, SRC_EXT},
        {"cleaned while waiting for the edge", cleaned, true, 0.5, SRC_EXT},
    };
    int client = 0;
    ListWait list(nullptr, &client);
    ListWait::Scope scope(list);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e->DM_LoadCaliData(1, {{0, 1, -8e6, -8.0}, {0, 1, 8e6, 8.0}});
        select(TYPE_DCV, 1, E_Medium);
        feed({0.5});
        ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(c.src)), nullptr), 0);
        e->m_triggerChange = false;
        e->m_singleCountDown = 0;
        e->BufferClean();
        e->acqArm(2, 0);  // INIT of two triggers
        // A trigger: *TRG before the pass, or an edge `edgeAt` polls into it.
        int polls = 0, changeAt = 0, edgeAt = 0;
        clock.onPoll = [&] {
            ++polls;
            if (polls == changeAt) c.change();
            if (polls == edgeAt) e->externalEdge();
            if (polls > 5000) e->m_zAcqRunning = false;  // an edge was lost: no pass ends
        };
        const auto trigger = [&] {
            polls = 0;
            if (c.src == SRC_EXT) {
                edgeAt = 40;
            } else {
                ASSERT_EQ(e->ScpiTrigSingleTriggered(), 0);
            }
        };
        trigger();
        for (int pass = 0; pass < 10 && readings().empty(); ++pass) e->runPass();
        ASSERT_EQ(readings(), std::vector<double>{0.5});
        if (!c.midPass) c.change();
        trigger();
        // Late in the pass: its last samples only would be of the table in force.
        if (c.midPass) changeAt = c.src == SRC_EXT ? 20 : static_cast<int>(e->m_trigInfo.u32Interval) - 5;
        for (int pass = 0; pass < 10 && e->DM_AcquisitionPending(); ++pass) e->runPass();
        clock.onPoll = nullptr;
        EXPECT_TRUE(e->m_zAcqRunning.load()) << "still waiting for an edge";
        e->m_zAcqRunning = true;
        EXPECT_FALSE(e->DM_AcquisitionPending());
        const std::string text = e->m_acqText;
        if (text.find(',') == std::string::npos) {
            ADD_FAILURE() << "one reading: " << text;
            continue;
        }
        EXPECT_EQ(text.substr(0, text.find(',')), "5.00000000E-01");
        EXPECT_NEAR(std::stod(text.substr(text.find(',') + 1)), c.after, 1e-9);
        EXPECT_FALSE(e->m_acqCutShort) << "its own change left it going to its end";
    }
    e->TrigSourceSet(SRC_AUTO);
}

TEST_F(MeasureLoop, NotificationsCarryEveryReadingOnceDropsAtCapacityAndThrottle) {
    select(TYPE_DCV, 1, E_Medium);
    ASSERT_EQ(e->cbTrigSourceSet(0, request(0x1106, s32(SRC_EXT)), nullptr), 0);
    e->mDataPointThreshold = 4;
    // An edge at every poll: each pass ends at its first sample, far
    // sooner than 49 ms.
    clock.onPoll = [this] { e->externalEdge(); };
    std::vector<double> produced;
    for (int i = 0; i < 8; ++i) {
        produced.push_back(0.1 + 0.01 * i);
        feed({produced.back()});
        e->runPass();
    }
    const size_t throttled = 8 - pushed(UPDATE_MEASURE_DATA).size();
    clock.us += 100000;
    produced.push_back(0.5);
    feed({0.5});
    e->runPass();
    clock.onPoll = nullptr;
    std::vector<double> sent;
    for (auto& m : pushed(UPDATE_MEASURE_DATA)) {
        DataBuffer b;
        ASSERT_TRUE(b.ParseFromString(m.at(0x406).rawval()));
        for (double v : b.buffer()) sent.push_back(v);
    }
    EXPECT_EQ(pushed(UPDATE_MEASURE_DATA).back().at(0x407).u32val(), readings().size());
    EXPECT_GT(throttled, 0u);
    EXPECT_EQ(e->m_bufferOffset, readings().size()) << "all sent once the throttle lets go";
    EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()) &&
                std::adjacent_find(sent.begin(), sent.end()) == sent.end()) << "each once, in order";
    for (double v : readings()) EXPECT_NE(std::find(sent.begin(), sent.end(), v), sent.end());
    EXPECT_LT(sent.size(), produced.size()) << "unsent readings beyond the capacity were dropped";
}

} // namespace

namespace {

// The loop on a thread of its own in real time while a handler thread
// switches ranges and takes the readings: none of the other range's readings
// appear after a switch (and the sanitizer build sees no race).
TEST(MeasureLoopThreads, NoReadingOfTheOldRangeAfterASwitch) {
    FunctionManage::instance();  // made before the loop runs, not by it
    CDataManage* e = CDataManage::instance();
    e->setPushSink([](service_id, ValueMap) {});
    e->mDataPointThreshold = 100000;
    LoopThread loop(500000, {{1, 1.0}, {3, 10.0}});  // 0.5 V on the 1 V row, 5 V on the 100 V row
    int checked = 0;
    for (int i = 0; i < 12; ++i) {
        const structFuncConfig c = mainConfig(TYPE_DCV, i % 2 ? 3 : 1, E_Fast);
        e->DM_UpdateMainFunc(TYPE_DCV, c);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ValueMap out;
        ASSERT_EQ(e->cbMeasDataR(2, {}, &out), 0);
        const std::string block = out.at(0x610).strval();
        const std::string want = c.s32Range == 1 ? "5.00000000E-01" : "5.00000000E+00";
        for (size_t at = block.find('E'); at != std::string::npos; at = block.find('E', at + 1)) {
            ASSERT_EQ(block.substr(at - 10, 14), want) << block;
            ++checked;
        }
    }
    EXPECT_TRUE(loop.stop());
    EXPECT_GT(checked, 12);
    e->setPushSink(nullptr);
}

// The relative switch of the sensor function takes the sensor value the
// loop keeps, while the loop goes on measuring on its own thread.
TEST(MeasureLoopThreads, RelativeTakesTheSensorValueOfTheRunningLoop) {
    FunctionManage::instance();
    CDataManage* e = CDataManage::instance();
    e->setPushSink([](service_id, ValueMap) {});
    ASSERT_NO_FATAL_FAILURE(loadCustomCurve(e, TYPE_DCV));
    ValueMap out;
    LoopThread loop(500000, {{1, 1.0}}, TYPE_SENSOR);  // 0.5 V: the curve reads 5
    e->DM_UpdateMainFunc(TYPE_SENSOR, mainConfig(TYPE_DCV, 1, E_Fast));
    std::string first;
    ASSERT_EQ(e->awaitFunctionData(false, first), 0);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(e->cbCalculateRelStateSet(0, request(0x80E, bval(true)), &out), 0);
        out.clear();
        ASSERT_EQ(e->cbCalculateRelOffsetGet(0, {}, &out), 0);
        EXPECT_NEAR(out.at(0x80D).f64val(), 5.0, 1e-6);
        ASSERT_EQ(e->cbCalculateRelStateSet(0, request(0x80E, bval(false)), &out), 0);
    }
    EXPECT_TRUE(loop.stop());
    e->SEN_Init();
    FunctionManage::instance().FM_SetFunction(TYPE_DCV);
    e->setPushSink(nullptr);
}

} // namespace
