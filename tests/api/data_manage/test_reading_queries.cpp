// Reading output and the handlers around it: number formatting, R?, reading
// memory, sample and trigger counts, the trigger record restored from a file,
// and the remote read racing the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <cmath>
#include <thread>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "DrvInterfaceManage.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "FunctionManage.h"
#include "ListWait.h"
#include "RangeInfoTables.h"
#include "engine_fakes.h"
#include "../../platform/eventually.h"
#include "proto_values.h"
#include "root_path.h"
#include "temp_root.h"

using namespace testing_support;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

class ReadingQueries : public ::testing::Test {
protected:
    void SetUp() override {
        FunctionManage::instance();
        e->setClock(&clock);
        e->setPushSink([](service_id, ValueMap) {});
        e->mDataPointThreshold = 100;
        e->TrigSampleCountSet(1);
        e->TrigSingleCountSet(1);
        e->m_singleCountDown = 0;
        e->m_triggerChange = false;  // no loop here stores what a change owes
        e->BufferClean();
    }
    void TearDown() override {
        e->BufferClean();
        e->setPushSink(nullptr);
        e->setClock(&EngineClock::steady());
        e->mDataPointThreshold = 500000;
    }
    // Readings of the 1 V DCV row (value in V, factor to V, over-limit 1.2).
    void store(std::initializer_list<double> values) {
        for (double v : values) e->m_buffer.push_back({v, 1.0, 1.2f});
    }
    int call(int (CDataManage::*h)(unsigned, const ValueMap&, ValueMap*), const ValueMap& in, ValueMap* out = nullptr,
             unsigned source = 2) {
        ValueMap scratch;
        return (e->*h)(source, in, out ? out : &scratch);
    }

    bool armed() {
        std::lock_guard<std::mutex> lock(e->m_acqMtx);
        return e->m_acqPending;
    }
    uint64_t armedNumber() {
        std::lock_guard<std::mutex> lock(e->m_acqMtx);
        return e->m_acqNumber;
    }
    // A read holds the one reader's place and its acquisition is armed: a
    // reading counted from now on is its own.
    void awaitReader() {
        ASSERT_TRUE(eventually([&] { return e->m_zScpiReadDataRunning && armed(); }));
    }

    CDataManage* e = CDataManage::instance();
    VirtualClock clock;
};

TEST_F(ReadingQueries, FormatsDigitsGroupsMarksAndOverloads) {
    structRangeInfo row = stRangeInfoDCV[4];  // "%+08.2lf", over 1100
    struct Case { double v; char sep; char dot; bool plus; const char* text; };
    for (Case c : {Case{123.456, ',', '.', false, " 0,123.46"}, Case{123.456, 0, ',', false, " 0123,46"},
                   Case{-1.5, ',', '.', false, "-0,001.50"}, Case{1.5, 0, '.', true, "+0001.50"},
                   Case{1101.0, ',', '.', false, "OVER LOAD"}, Case{NAN, ',', '.', false, "OVER LOAD"},
                   Case{INFINITY, ',', '.', false, "OVER LOAD"}}) {
        EXPECT_EQ(e->DM_FormatNumber(c.v, c.sep, row, E_Slow, c.dot, c.plus), c.text) << c.v;
    }
    row = stRangeInfoDCV[1];  // "%+08.5lf": fraction grouped from the mark
    EXPECT_EQ(e->DM_FormatNumber(1.03457, ',', row, E_Slow, '.', false), " 1.034,57");
}

TEST_F(ReadingQueries, BlockOfTheReadingMemory) {
    struct Case { std::vector<structReading> in; bool count; int n; int result; std::string block; size_t left; };
    const std::vector<structReading> two = {{1.5, 1.0, 12.0f}, {-0.25, 1.0, 12.0f}};
    // Overloads print ±9.9E37 whatever the row's factor.
    const std::vector<structReading> over = {{9.9e37, 1e-3, 120.0f}, {-9.9e37, 1e-3, 120.0f}, {50.0, 1e-3, 120.0f}};
    for (const Case& c : {Case{two, false, 0, 0, "#2301.50000000E+00,-2.50000000E-01", 0},
                          Case{two, true, 1, 0, "#2141.50000000E+00", 1}, Case{two, true, 3, 63, "", 2},
                          Case{two, true, -1, E231_DATA_QUESTIONABLE, "", 2},
                          Case{two, true, INT32_MIN, E231_DATA_QUESTIONABLE, "", 2}, Case{{}, false, 0, 0, "#10", 0},
                          Case{over, false, 0, 0, "#2299.9E37,-9.9E37,5.00000000E-02", 0}}) {
        e->BufferClean();
        e->m_buffer.assign(c.in.begin(), c.in.end());
        ValueMap out;
        EXPECT_EQ(call(&CDataManage::cbMeasDataR, c.count ? request(0x610, s32(c.n)) : ValueMap{}, &out), c.result);
        EXPECT_EQ(out.count(0x610) ? out.at(0x610).strval() : "", c.block);
        EXPECT_EQ(e->m_buffer.size(), c.left);
    }
}

TEST_F(ReadingQueries, ReadingMemoryHandlers) {
    e->m_buffer = {{100, 1e-3, 120.0f}};  // 100 mV: answered in volts
    store({0.2});
    e->m_bufferOffset = 2;
    ValueMap out;
    // A negative count is beyond any memory, with WAIT too: no reading
    // could ever meet it, so it answers at once and takes nothing.
    for (int32_t n : {-1, INT32_MIN}) {
        for (const char* word : {"", "WAIT"}) {
            ValueMap in = request(0x2103, s32(n));
            if (*word != 0) in[0x2104] = str(word);
            const uint64_t start = clock.nowMs();
            EXPECT_EQ(call(&CDataManage::cbDataRemove, in), E231_DATA_QUESTIONABLE) << n << word;
            EXPECT_EQ(clock.nowMs(), start) << n << word;
            EXPECT_EQ(e->m_buffer.size(), 2u);
        }
    }
    EXPECT_EQ(call(&CDataManage::cbDataRemove, request(0x2103, s32(3))), E231_DATA_QUESTIONABLE);
    ValueMap wait = request(0x2103, s32(3));
    wait[0x2104] = str("WAIT");
    EXPECT_EQ(call(&CDataManage::cbDataRemove, wait), E365_TIME_OUT_ERROR);
    EXPECT_EQ(call(&CDataManage::cbDataRemove, request(0x2103, s32(1)), &out), 0);
    EXPECT_EQ(out.at(0x2103).strval(), "1.00000000E-01");
    EXPECT_EQ(e->m_bufferOffset, 1u) << "the unsent index follows the removal";
    EXPECT_EQ(call(&CDataManage::cbDataLastGet, {}, &out), 0);
    EXPECT_EQ(out.at(0x2100).strval().substr(0, 14), "2.00000000E-01");
    e->m_buffer.push_back({-2, 1.0, 1.2f});
    out.clear();
    EXPECT_EQ(call(&CDataManage::cbDataLastGet, {}, &out), 0);
    EXPECT_EQ(out.at(0x2100).strval().substr(0, 8), "-9.9E37 ");
    // A threshold beyond the model's reading memory would leave it unbounded.
    for (int bad : {0, -5, e->m_readingCapacity.load() + 1, 2147483647}) {
        EXPECT_EQ(call(&CDataManage::cbDataPointsEventThresholdSet, request(0x2102, s32(bad))),
                  E222_DATA_OUT_OF_RANGE);
    }
    EXPECT_EQ(e->mDataPointThreshold.load(), 100);
}

TEST_F(ReadingQueries, SampleAndTriggerCounts) {
    e->mDataPointThreshold = 5000;
    const auto sample = &CDataManage::cbSampleCountSet, trigger = &CDataManage::cbTrigSingleSet;
    // Count texts are read whole ("1e1" is 10, not 1); the trigger count's text
    // holds 19 characters. `count`: the trigger count afterwards, when not 0.
    const struct { decltype(sample) h; Value v; int result; unsigned count; } cases[] = {
        {sample, s32(0), E220_PARAMETER_ERROR, 0},    {sample, s32(-3), E220_PARAMETER_ERROR, 0},
        {sample, str("MAX"), 0, 0},                   {sample, str("abc"), E150_STRING_DATA_ERROR, 0},
        {sample, str(std::string(80, '1')), E150_STRING_DATA_ERROR, 0}, {sample, bval(true), E104_DATA_TYPE_ERROR, 0},
        {trigger, s32(0), E1003_BELOW_LOWER_LIMIT, 0}, {trigger, s32(-1), E1003_BELOW_LOWER_LIMIT, 0},
        // Rounded, and refused beyond 32 bits rather than wrapped into range.
        {trigger, str("2.5"), 0, 3},                  {trigger, str("4294967301"), E222_DATA_OUT_OF_RANGE, 0},
        {trigger, str("-1"), E1003_BELOW_LOWER_LIMIT, 1}, {sample, str("NaN"), E224_ILLEGAL_PARAMETER_VALUE, 0},
        {trigger, s32(5), 0, 5},                      {trigger, str("1e1"), 0, 10},
        {trigger, str(std::string(19, '0') + "7"), E150_STRING_DATA_ERROR, 10}, {trigger, str("5"), 0, 5},
    };
    for (const auto& c : cases) {
        e->TrigSampleCountSet(1);
        EXPECT_EQ(call(c.h, request(c.h == sample ? 0x2500 : 0x1104, c.v)), c.result) << c.v.DebugString();
        if (c.count) {
            EXPECT_EQ(e->trigInfo().u32Sample, c.count) << c.v.DebugString();
        }
    }
    // 5 per trigger x 1000 triggers is above a capacity of 4000.
    e->mDataPointThreshold = 4000;
    EXPECT_EQ(call(&CDataManage::cbSampleCountSet, request(0x2500, str("max"))), E221_SETTING_CONFLICT);
    e->mDataPointThreshold = 500000;
    e->TrigSampleCountSet(2147484);
    // In 64 bits: 2000 x 2147484 would wrap to 704 in 32.
    EXPECT_EQ(call(&CDataManage::cbTrigSingleSet, request(0x1104, s32(2000))), E221_SETTING_CONFLICT);
    e->TrigSampleCountSet(1);
}

TEST_F(ReadingQueries, StoredTriggerRecordPassesTheHandlersChecks) {
    ProtoTriggerFuncInfo good;
    e->ProtoTriggerFuncInfoDefault(good);
    good.set_ms32trigsrc(SRC_EXT);
    good.set_mu32sample(7);
    good.set_mu32extedge(2);
    ProtoTriggerFuncInfo bad = good;
    bad.set_ms32trigsrc(9);
    bad.set_mu32sample(0);
    bad.set_mu32extedge(40);
    bad.set_mu32interval(0);
    bad.set_mu32sensidx(9);
    bad.set_mu32vmcpulsewidth(100000);
    e->ProtoTriggerFuncInfoSet(good);
    structTriggerInfo t = e->trigInfo();
    EXPECT_EQ(t.eTrigSrc, SRC_EXT);
    EXPECT_EQ(t.u32Sample, 7u);
    EXPECT_EQ(t.u32ExtEdge, 2u);
    e->ProtoTriggerFuncInfoSet(bad);
    t = e->trigInfo();
    EXPECT_EQ(t.eTrigSrc, SRC_AUTO);
    EXPECT_EQ(t.u32Sample, 1u);
    EXPECT_EQ(t.u32ExtEdge, 0u);
    EXPECT_GE(t.u32Interval, e->m_u32IntervalMin);
    EXPECT_EQ(t.u32SensIdx, 0u);
    EXPECT_LT(t.u32VMCPulseWidth, t.u32Interval);
    ProtoTriggerFuncInfo def;
    e->ProtoTriggerFuncInfoDefault(def);
    e->ProtoTriggerFuncInfoSet(def);
}

// With nothing armed FETCh? repeats the stored text at once: empty after a
// clean, the readings of the acquisition that completed last.
TEST_F(ReadingQueries, FetchWithNothingArmedAnswersTheStoredText) {
    const auto fetch = [&] {
        ValueMap out;
        EXPECT_EQ(call(&CDataManage::cbMeasDataFetch, {}, &out), 0);
        return out.count(0x60d) ? out.at(0x60d).strval() : "no answer";
    };
    EXPECT_EQ(fetch(), "");
    e->acqArm(0, 1);
    e->m_singleCountDown = 0;
    e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
    EXPECT_EQ(fetch(), "5.00000000E-01");
    EXPECT_EQ(fetch(), "5.00000000E-01");
}

// A client's FETCh? after its own arming (INITiate, READ?) answers that
// acquisition. Once another client has armed since, or has sent a setting that
// ends or empties the readings, it answers at once what the service keeps of
// it (the readings it took; "" once a second arm took them too), the same at
// every FETCh?, and never waits on the other's acquisition: with -230 when
// that is less than it completed with, with none when it is whole. A change
// of how readings are computed (null, calibration) ends it as a range change
// does, and so does another's abort. A client's own setting is no other's:
// its own null or calibration change leaves its acquisition going. A client that armed nothing, or
// a new one at the address of one that left, gets what is there.
TEST_F(ReadingQueries, AFetchAfterItsInitAnswersItsOwnAcquisition) {
    int a = 0, b = 0;  // two clients; the others' arms are the UI link's READ?
    using Change = void (*)(CDataManage*);
    const Change none = nullptr;
    const Change function = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_OHM2, mainConfig(TYPE_OHM2, 3)); };
    const Change current = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_DCI, mainConfig(TYPE_DCI, 2)); };
    const Change range = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 3)); };
    const Change source = [](CDataManage* d) { d->cbTrigSourceSet(2, request(0x1106, s32(SRC_AUTO)), nullptr); };
    const Change reset = [](CDataManage* d) {  // what *RST does to the engine
        ProtoTriggerFuncInfo defaults;
        d->ProtoTriggerFuncInfoDefault(defaults);
        d->ProtoTriggerFuncInfoSet(defaults);
        d->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
    };
    const Change clean = [](CDataManage* d) { d->cbBufferClean(2, {}, nullptr); };
    const Change capacity = [](CDataManage* d) {
        d->cbDataPointsEventThresholdSet(2, request(0x2102, s32(100)), nullptr);
    };
    const Change statistics = [](CDataManage* d) {  // the math's clear, with math on
        g_stMathPara.bMathSwitch = true;
        d->cbCalculateClear(2, {}, nullptr);
        g_stMathPara.bMathSwitch = false;
    };
    const Change null = [](CDataManage* d) {  // VOLT:DC:NULL:VAL 1;:VOLT:DC:NULL ON
        d->cbCalculateRel<7, CDataManage::REL_OFFSET_SET>(2, request(0x262d, f64(1.0)), nullptr);
        d->cbCalculateRel<7, CDataManage::REL_STATE_SET>(2, request(0x262c, bval(true)), nullptr);
    };
    const Change calibration = [](CDataManage* d) {  // CAL:DELETE CURR of a table in force
        d->DM_LoadCaliData(TYPE_DCV * 64 + 1, {{TYPE_DCV, 1, 0, 0}, {TYPE_DCV, 1, 1000, 1}});
        d->cbCaliDataDelete(2, {}, nullptr);
    };
    const Change calibrationSaved = [](CDataManage* d) {  // the points taken put in force
        d->DM_CacheCaliPoint(TYPE_DCV, 1, 0, 0);
        d->DM_CacheCaliPoint(TYPE_DCV, 1, 1000, 1);
        d->cbCaliDataSave(2, {}, nullptr);
    };
    const Change calibrationResaved = [](CDataManage* d) {  // CAL:SAVE CURR of the table in force, as it is
        d->DM_LoadCaliData(TYPE_DCV * 64 + 1, {{TYPE_DCV, 1, 0, 0}, {TYPE_DCV, 1, 1000, 1}});
        d->DM_CacheCaliPoint(TYPE_DCV, 1, 0, 0);
        d->DM_CacheCaliPoint(TYPE_DCV, 1, 1000, 1);
        d->cbCaliDataSave(2, {}, nullptr);
    };
    const Change calibrationBack = [](CDataManage* d) {  // CAL:DELETE ALL, with no table in force
        std::filesystem::remove_all(platform::hostPath("/vorna/data"));
        d->DM_CalInit();
        writeFile(platform::hostPath("/vorna/data/cali.cal"),
                  pointRecord(TYPE_DCV, 1, 0, 0) + pointRecord(TYPE_DCV, 1, 1000, 1));
        d->cbCaliDataDelete(2, request(0xc03, s32(1)), nullptr);  // cali.cal brings one back
        std::filesystem::remove_all(platform::hostPath("/vorna/data"));
    };
    const Change abort = [](CDataManage* d) { d->DM_AbortBy(ListWait::clientHere()); };  // ABOR, *DCL
    const TempRoot root;  // where a calibration is saved
    const char* const mine = "5.00000000E-01";
    const char* const others = "2.50000000E-01";
    struct Case {
        const char* name;
        bool read;          // armed by READ? (complete), else by INIT under the bus trigger
        bool complete;
        Change change;      // then a setting, by `changer`
        const void* changer;
        int arms;           // then arms of others, the last one left going with `going`
        bool going;
        const void* fetcher;
        bool left;          // its client left before the fetch
        const char* answer;
        bool stale;         // -230 at each fetch
        bool rest = false;  // after the change, its last reading completes it
    };
    const char* const both = "5.00000000E-01,5.00000000E-01";
    const Case cases[] = {
        {"cut short by another's arm", false, false, none, &b, 1, false, &a, false, mine, true},
        {"re-armed by another", false, true, none, &b, 1, false, &a, false, mine, false},
        {"re-armed twice", false, true, none, &b, 2, false, &a, false, "", true},
        {"another's acquisition going on", false, true, none, &b, 1, true, &a, false, mine, false},
        {"READ?, re-armed by another", true, true, none, &b, 1, false, &a, false, mine, false},
        {"another's setting, then its arm", false, true, function, &b, 1, false, &a, false, mine, false},
        {"another's function", false, true, function, &b, 0, false, &a, false, mine, false},
        {"another's current function", false, true, current, &b, 0, false, &a, false, mine, false},
        {"another's range", false, true, range, &b, 0, false, &a, false, mine, false},
        {"another's range before the end", false, false, range, &b, 0, false, &a, false, mine, true},
        {"another's null before the end", false, false, null, &b, 0, false, &a, false, mine, true},
        {"another's calibration before the end", false, false, calibration, &b, 0, false, &a, false, mine, true},
        {"another's calibration saved before the end", false, false, calibrationSaved, &b, 0, false, &a, false, mine,
         true},
        {"another's calibration saved as it was, before the end", false, false, calibrationResaved, &b, 0, false, &a,
         false, both, false, true},
        {"another's delete of all bringing a table back, before the end", false, false, calibrationBack, &b, 0, false,
         &a, false, mine, true, true},
        {"another's reset", false, true, reset, &b, 0, false, &a, false, mine, false},
        {"another's source", false, true, source, &b, 0, false, &a, false, mine, false},
        {"another's source before the end", false, false, source, &b, 0, false, &a, false, mine, true},
        {"another's clean", false, true, clean, &b, 0, false, &a, false, mine, false},
        {"another's capacity", false, true, capacity, &b, 0, false, &a, false, mine, false},
        {"another's clear of the statistics", false, true, statistics, &b, 0, false, &a, false, mine, false},
        {"its own function", false, true, function, &a, 0, false, &a, false, "", false},
        {"its own null before the end", false, false, null, &a, 0, false, &a, false, both, false, true},
        {"its own calibration before the end", false, false, calibration, &a, 0, false, &a, false, both, false, true},
        {"another's abort before the end", false, false, abort, &b, 0, false, &a, false, mine, true},
        {"another's abort after the end", false, true, abort, &b, 0, false, &a, false, mine, false},
        {"its own abort before the end", false, false, abort, &a, 0, false, &a, false, "", false},
        {"armed nothing", false, false, none, &b, 1, false, &b, false, others, false},
        {"left", false, false, none, &b, 1, false, &a, true, others, false},
    };
    ASSERT_EQ(Interface_SCPManage(1), 1);
    SCP_SetInterfaceIsUsed(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
        e->TrigSourceSet(SRC_SINGLE);
        e->m_triggerChange = false;
        SCP_ClearErrQueue(1);
        ListWait armer(nullptr, &a), changer(nullptr, c.changer), fetcher(nullptr, c.fetcher);
        if (c.read) {
            std::thread reader([&] {
                ListWait::Scope scope(armer);
                ValueMap out;
                EXPECT_EQ(call(&CDataManage::cbMeasDataRead, {}, &out), 0);
                EXPECT_EQ(out.at(0x60f).strval(), mine);
            });
            awaitReader();
            e->m_singleCountDown = 0;  // the bus trigger its READ? is took the reading
            e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
            reader.join();
        } else {
            ListWait::Scope scope(armer);
            EXPECT_EQ(call(&CDataManage::cbMeasDataInitiate, {}), 0);  // under the bus trigger
            if (c.complete) e->m_triggersLeft = 0;
            e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
        }
        if (c.change) {
            ListWait::Scope scope(changer);
            c.change(e);
        }
        if (c.rest) {
            e->m_triggersLeft = 0;
            e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
        }
        for (int i = 0; i < c.arms; ++i) {  // READ? of the UI under the automatic trigger
            e->acqArm(0, 1);
            if (c.going && i + 1 == c.arms) break;
            e->m_singleCountDown = 0;
            e->DataCollectForSCPI(TYPE_DCV, {0.25, 1.0, 1.2f}, true);
        }
        if (c.left) e->DM_ClientGone(&a);
        ListWait::Scope scope(fetcher);
        for (int fetch = 0; fetch < 2; ++fetch) {
            ValueMap out;
            EXPECT_EQ(call(&CDataManage::cbMeasDataFetch, {}, &out), 0) << "fetch " << fetch;
            EXPECT_EQ(out.count(0x60d) ? out.at(0x60d).strval() : "no answer", c.answer) << "fetch " << fetch;
            EXPECT_STREQ(SCP_ReadErrQueue(1), c.stale ? "-230,\"Data corrupt or stale\"" : nullptr)
                << "fetch " << fetch;
            EXPECT_EQ(SCP_ReadErrQueue(1), nullptr) << "one entry";
        }
    }
    e->DM_AbortRead();
    SCP_ClearErrQueue(1);
    e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
    e->cbCaliDataDelete(2, {}, nullptr);  // the saved table out of force
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
}

// A client's store of the reading memory after its READ? writes what its
// acquisition left there, under the header of the configuration it was
// measured with, also once another client's change of configuration (or the
// UI's) has emptied the memory while the read lent its turn, and also when
// auto range stepped after the arm. Its own change, its next arm, the end of
// its message, its leaving or its own R? or DATA:REM? give the store the
// memory as it stands, and so do the stores of a client that armed nothing
// and of the UI link.
TEST_F(ReadingQueries, AStoreAfterItsReadWritesWhatItsAcquisitionLeft) {
    int a = 0, b = 0, c = 0;  // three clients; null is the UI link
    using Action = void (*)(CDataManage*);
    const Action acv = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_ACV, mainConfig(TYPE_ACV, 1)); };
    const Action ohms = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_OHM2, mainConfig(TYPE_OHM2, 3)); };
    const Action arm = [](CDataManage* d) { d->acqArm(1, 0); };  // INIT under the bus trigger
    const Action leave = [](CDataManage* d) { d->DM_ClientGone(ListWait::clientHere()); };
    const Action ended = [](CDataManage* d) { d->DM_ListEnded(ListWait::clientHere()); };  // its READ?'s message
    const Action take = [](CDataManage* d) {  // R?
        ValueMap out;
        EXPECT_EQ(d->cbMeasDataR(2, {}, &out), 0);
        EXPECT_EQ(out.at(0x610).strval(), "#10");
    };
    const Action refused = [](CDataManage* d) {  // R? -1: takes nothing, ends nothing
        ValueMap out;
        EXPECT_EQ(d->cbMeasDataR(2, request(0x610, s32(-1)), &out), E231_DATA_QUESTIONABLE);
    };
    const Action removeRefused = [](CDataManage* d) {  // DATA:REM? -1,WAIT: takes nothing, ends nothing
        ValueMap out;
        ValueMap in = request(0x2103, s32(-1));
        in[0x2104] = str("WAIT");
        EXPECT_EQ(d->cbDataRemove(2, in, &out), E231_DATA_QUESTIONABLE);
    };
    const Action remove = [](CDataManage* d) {  // DATA:REM? 1 of an empty memory
        ValueMap out;
        EXPECT_EQ(d->cbDataRemove(2, request(0x2103, s32(1)), &out), E231_DATA_QUESTIONABLE);
    };
    struct Step {
        Action action;
        const void* by;
    };
    const struct {
        const char* name;
        const void* reader;
        std::vector<Step> then;
        const void* storer;
        bool kept;  // the memory as the first change found it, else as it stands
        bool stepped = false;  // on auto range, which stepped after the arm
    } cases[] = {
        {"another's change", &a, {{acv, &b}}, &a, true},
        {"the UI's change", &a, {{acv, nullptr}}, &a, true},
        {"auto range stepped, another's change", &a, {{acv, &b}}, &a, true, true},
        {"auto range stepped, the UI's change", &a, {{acv, nullptr}}, &a, true, true},
        {"two changes", &a, {{acv, &b}, {ohms, &c}}, &a, true},
        {"another's change, then another's arm", &a, {{acv, &b}, {arm, &b}}, &a, true},
        {"its own change", &a, {{acv, &a}}, &a, false},
        {"another's change, then its own", &a, {{acv, &b}, {ohms, &a}}, &a, false},
        {"its own change, then another's", &a, {{acv, &a}, {ohms, &b}}, &a, false},
        {"another's change, then its next arm", &a, {{acv, &b}, {arm, &a}}, &a, false},
        {"another's change, then it left", &a, {{acv, &b}, {leave, &a}}, &a, false},
        {"another's change, then its message ended", &a, {{acv, &b}, {ended, &a}}, &a, false},
        {"its message ended, then another's change", &a, {{ended, &a}, {acv, &b}}, &a, false},
        {"another's change, then its R?", &a, {{acv, &b}, {take, &a}}, &a, false},
        {"another's change, then its DATA:REM?", &a, {{acv, &b}, {remove, &a}}, &a, false},
        {"another's change, then its R? -1", &a, {{acv, &b}, {refused, &a}}, &a, true},
        {"another's change, then its DATA:REM? -1,WAIT", &a, {{acv, &b}, {removeRefused, &a}}, &a, true},
        {"armed nothing", &a, {{acv, &b}}, &c, false},
        {"the UI's read", nullptr, {{acv, &b}}, nullptr, false},
    };
    FunctionManage& fm = FunctionManage::instance();
    // The engine measures what the function settings hold: the header the
    // store writes names it.
    const structFuncConfig dcv =
        mainConfig(TYPE_DCV, fm.FM_GetRealRange(TYPE_DCV), static_cast<RateEnum>(fm.FM_GetRate(TYPE_DCV)));
    const auto record = [&](const void* client) {
        ListWait list(nullptr, client);
        ListWait::Scope scope(list);
        ProtoDataInfo info;
        e->ProtoDataInfoGet(info);
        return info.DebugString();
    };
    ProtoBaseFuncInfo settings;
    fm.ProtoBaseFuncInfoGet(settings);
    ProtoBaseFuncInfo autoRange = settings;  // as CONF:VOLT:DC without a range leaves them, on the 1 V row
    autoRange.set_ms32dmmfunc(TYPE_DCV);
    autoRange.mutable_mprotofunccfgs(TYPE_DCV)->set_mbautorange(true);
    autoRange.mutable_mprotofunccfgs(TYPE_DCV)->set_ms32range(1);
    FakeFrontEnd frontEnd;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        if (row.stepped) {
            fm.ProtoBaseFuncInfoSet(autoRange);
        } else {
            fm.ProtoBaseFuncInfoSet(settings);
            e->DM_UpdateMainFunc(TYPE_DCV, dcv);
        }
        e->TrigSourceSet(SRC_SINGLE);
        e->m_triggerChange = false;
        std::thread reader([&] {
            ListWait list(nullptr, row.reader);
            ListWait::Scope scope(list);
            ValueMap out;
            EXPECT_EQ(call(&CDataManage::cbMeasDataRead, {}, &out), 0);
        });
        awaitReader();
        if (row.stepped) {  // 1.2 V on the 1 V row: the loop steps up
            e->setFrontEnd(&frontEnd);
            const structFuncConfig config = e->m_mainConfig;
            EXPECT_TRUE(e->DM_AutoRange(TYPE_DCV, config, 1.2, e->DM_GetRangeInfo(TYPE_DCV, 1, 1.2)));
            e->setFrontEnd(&AcqFrontEnd::converter());
        }
        store({0.5, 0.25});  // as the loop stores the acquisition's readings
        e->m_singleCountDown = 0;
        e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
        reader.join();
        const std::string left = record(nullptr);
        ASSERT_NE(left.find("mDataBuffer: 0.25"), std::string::npos) << left;
        for (const Step& step : row.then) {
            ListWait list(nullptr, step.by);
            ListWait::Scope scope(list);
            step.action(e);
        }
        EXPECT_EQ(record(row.storer), row.kept ? left : record(nullptr));
    }
    e->DM_AbortRead();
    for (const void* client : {&a, &b, &c}) e->DM_ClientGone(client);
    fm.ProtoBaseFuncInfoSet(settings);
    e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
}

// The newest reading of each display: the UI's query answers 44 on an empty
// memory at once; remote control's waits for a first reading of the display
// it reads (none comes here: the time-out).
TEST_F(ReadingQueries, NewestReadingOfEachDisplay) {
    e->m_u32BufferTimeOut = 1;
    e->DM_Update2ndFunc(true, TYPE_ACV, mainConfig(TYPE_ACV, 1));
    std::string text = "untouched";
    EXPECT_EQ(e->GetFunctionData(text), E200_EXECUTION_ERROR);
    EXPECT_EQ(e->GetFunction2Data(text), E200_EXECUTION_ERROR);
    EXPECT_EQ(e->awaitFunctionData(false, text), E365_TIME_OUT_ERROR);
    EXPECT_EQ(e->awaitFunctionData(true, text), E365_TIME_OUT_ERROR);
    EXPECT_EQ(text, "untouched");
    store({0.25});
    e->m_buffer2.push_back({0.75, 1.0, 1.2f});
    for (bool second : {false, true}) {
        const char* expected = second ? "7.50000000E-01" : "2.50000000E-01";
        EXPECT_EQ(second ? e->GetFunction2Data(text) : e->GetFunctionData(text), 0);
        EXPECT_EQ(text, expected);
        text.clear();
        EXPECT_EQ(e->awaitFunctionData(second, text), 0);
        EXPECT_EQ(text, expected);
    }
    e->DM_Update2ndFunc(false, TYPE_ACV, mainConfig(TYPE_ACV, 1));
    e->m_u32BufferTimeOut = 5000;
}

// The client's read of the reply, asking for longer than its write did,
// comes as the wait lends its turn: once the wait has begun.
constexpr uint32_t kWriteMs = 50, kReadMs = 600;
struct ReadComes : ListWait::Turn {
    std::shared_ptr<std::atomic<uint32_t>> ms = std::make_shared<std::atomic<uint32_t>>(kWriteMs);
    void lend() override { ms->store(kReadMs); }
    bool takeBack() override { return true; }
};

// A wait reads its client's time-out as it goes: a VXI-11 read that asks for
// longer lengthens a wait already begun. DATA:REM?'s wait runs on the
// engine's clock, the others on the steady one.
TEST_F(ReadingQueries, AWaitAlreadyBegunHearsALongerTimeOut) {
    const struct {
        const char* name;
        std::function<int(CDataManage*)> wait;
    } cases[] = {
        {"*OPC? on an armed acquisition", [](CDataManage* d) { d->acqArm(0, 1); return d->DM_WaitAcquisition(); }},
        {"the newest reading", [](CDataManage* d) { std::string t; return d->awaitFunctionData(false, t); }},
        {"DATA:REM? n,WAIT", [this](CDataManage*) {
             ValueMap wait = request(0x2103, s32(1));
             wait[0x2104] = str("WAIT");
             return call(&CDataManage::cbDataRemove, wait);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReadComes read;
        ListWait list(read.ms);
        list.holdTurn(&read);
        const uint64_t engineStart = clock.nowMs();
        const auto start = std::chrono::steady_clock::now();
        int result = 0;
        {
            ListWait::Scope scope(list);
            result = c.wait(e);
        }
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start).count() +
                            static_cast<int64_t>(clock.nowMs() - engineStart);
        EXPECT_EQ(result, E365_TIME_OUT_ERROR);
        EXPECT_GE(waited, kReadMs);
        e->DM_AbortRead();
    }
}

// One read waits at a time. A read that finds another waiting is refused
// before it arms anything: the waiting one still gets its own reading.
TEST_F(ReadingQueries, OneWaitingReadAtATime) {
    const struct {
        const char* name;
        std::function<int(CDataManage*)> read;
    } refused[] = {
        {"another wait", [](CDataManage* d) { std::string t; return d->DM_RunScpiReadFunction(t); }},
        {"READ? of the UI", [](CDataManage* d) { ValueMap out; return d->cbMeasDataRead(0, {}, &out); }},
        {"INIT of the UI", [](CDataManage* d) { ValueMap out; return d->cbMeasDataInitiate(0, {}, &out); }},
    };
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
    e->m_u32BufferTimeOut = 2000;
    e->acqArm(0, 1);
    const uint64_t acq = armedNumber();
    std::string text;
    std::thread reader([&] { EXPECT_EQ(e->DM_RunScpiReadFunction(text), 0); });
    while (!e->m_zScpiReadDataRunning) std::this_thread::yield();
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.read(e), E284_PROGRAM_CURRENTLY_RUNNING);
        EXPECT_EQ(armedNumber(), acq) << "armed one of its own";
        EXPECT_EQ(e->m_singleCountDown.load(), 1u) << "restarted the episode";
    }
    e->m_singleCountDown = 0;  // the loop's trigger took the reading
    e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
    reader.join();
    EXPECT_EQ(text, "5.00000000E-01");

    // An abort ends a read waiting for a trigger at once and disarms it.
    e->m_u32BufferTimeOut = 60000;
    e->acqArm(1, 0);
    // Ended by the abort, not by its 60 s time-out (-365): the wait answers 0.
    std::thread waiting([&] { EXPECT_EQ(e->DM_RunScpiReadFunction(text), 0); });
    while (!e->m_zScpiReadDataRunning) std::this_thread::yield();
    e->DM_AbortRead();
    waiting.join();
    EXPECT_EQ(e->ScpiTrigSingleTriggered(), E200_EXECUTION_ERROR);
    e->m_u32BufferTimeOut = 5000;
}

// A change of trigger source or of function while an acquisition is armed
// ends it as an abort does: a read waiting for its trigger returns at once.
TEST_F(ReadingQueries, AChangeOfSourceOrFunctionEndsTheArmedAcquisition) {
    const struct {
        const char* name;
        std::function<void(CDataManage*)> change;
    } cases[] = {
        {"TRIG:SOUR IMM", [](CDataManage* d) { d->cbTrigSourceSet(2, request(0x1106, s32(SRC_AUTO)), nullptr); }},
        {"FUNC", [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_ACV, mainConfig(TYPE_ACV, 1)); }},
    };
    e->m_u32BufferTimeOut = 3000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
        e->TrigSourceSet(SRC_SINGLE);
        e->acqArm(1, 0);  // INIT under the bus trigger
        int result = -1;
        std::string text;
        std::thread reader([&] { result = e->DM_RunScpiReadFunction(text); });
        while (!e->m_zScpiReadDataRunning) std::this_thread::yield();
        c.change(e);
        reader.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(e->ScpiTrigSingleTriggered(), E200_EXECUTION_ERROR) << "nothing armed any more";
    }
    e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
    e->m_u32BufferTimeOut = 5000;
}

// A read or fetch whose acquisition another client ends answers the readings
// taken so far (empty when none) and queues one -230, so that a script can tell
// the cut-short answer from a whole one. When its own client ended it (its
// list is cancelled) the reply is dropped: nothing is queued.
// Another client arming an acquisition of its own ends the awaited one too, as
// does a new range or rate. A count change does not: the acquisition keeps the
// counts it was armed with, and the wait gets all its readings, no entry.
TEST_F(ReadingQueries, AWaitCutShortAnswersTheReadingsTakenAndQueuesOneError) {
    const auto abort = [](CDataManage* d) { d->DM_AbortRead(); };
    const auto source = [](CDataManage* d) { d->cbTrigSourceSet(2, request(0x1106, s32(SRC_AUTO)), nullptr); };
    const auto function = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_OHM2, mainConfig(TYPE_OHM2, 1)); };
    // Another client's READ? arms its own acquisition, whose reading comes.
    const auto rearm = [](CDataManage* d) {
        d->acqArm(0, 1);
        d->m_singleCountDown = 0;
        d->DataCollectForSCPI(TYPE_DCV, {0.25, 1.0, 1.2f}, true);
    };
    const auto range = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 2)); };
    const auto rate = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1, E_Fast)); };
    // A count changed, then what the acquisition was armed for: the loop's
    // passes under the bus trigger while they are owed, and a bus trigger
    // after them while one is still taken.
    using Setter = int (CDataManage::*)(unsigned int, const ValueMap&, ValueMap*);
    const auto count = [](Setter set, int key, int32_t n) {
        return [set, key, n](CDataManage* d) {
            ValueMap out;
            EXPECT_EQ((d->*set)(2, request(key, s32(n)), &out), 0);
            do {
                while (d->DM_Trigger(0.25)) d->DataCollectForSCPI(TYPE_DCV, {0.25, 1.0, 1.2f}, true);
            } while (d->ScpiTrigSingleTriggered() == 0);
        };
    };
    const auto samples = &CDataManage::cbTrigSingleSet, triggers = &CDataManage::cbSampleCountSet;
    const auto fetch = &CDataManage::cbMeasDataFetch, read = &CDataManage::cbMeasDataRead;
    const struct {
        const char* name;
        decltype(fetch) query;
        bool taken;  // one reading arrives before the end
        std::function<void(CDataManage*)> end;
        bool own;  // its own client's abort: no entry
        int whole = 0;  // not cut short: readings of 0.25 the end lets come, all of the answer
    } cases[] = {
        {"FETC? abort by another", fetch, true, abort, false},
        {"FETC? source change", fetch, true, source, false},
        {"FETC? function change", fetch, false, function, false},
        {"READ? abort by another", read, true, abort, false},
        {"READ? function change", read, false, function, false},
        {"READ? function change, a reading taken", read, true, function, false},
        {"READ? re-armed by another", read, true, rearm, false},
        {"FETC? re-armed by another", fetch, true, rearm, false},
        {"FETC? re-armed by another, none taken", fetch, false, rearm, false},
        {"FETC? its own abort", fetch, true, abort, true},
        {"READ? its own abort", read, true, abort, true},
        {"READ? range change", read, true, range, false},
        {"FETC? rate change", fetch, true, rate, false},
        // READ? under the bus trigger owes 3 x 1 at once; INIT armed 3 triggers of 3.
        {"READ? samples per trigger changed", read, false, count(samples, 0x1104, 1), false, 3},
        {"READ? samples per trigger set as they are", read, false, count(samples, 0x1104, 3), false, 3},
        {"READ? trigger count changed", read, false, count(triggers, 0x2500, 2), false, 3},
        {"FETC? samples per trigger changed", fetch, false, count(samples, 0x1104, 1), false, 9},
        {"FETC? trigger count changed", fetch, false, count(triggers, 0x2500, 5), false, 9},
        {"FETC? trigger count set as it is", fetch, false, count(triggers, 0x2500, 1), false, 9},
    };
    ASSERT_EQ(Interface_SCPManage(1), 1);  // the error queue of remote control
    SCP_SetInterfaceIsUsed(1);
    e->m_u32BufferTimeOut = 60000;
    // A read's answer is taken only once the end has run in full, the
    // clean-up of a function change included.
    std::atomic<bool> ended{false};
    e->setReadStoredHook([&] {
        while (!ended) std::this_thread::yield();
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
        e->TrigSourceSet(SRC_SINGLE);
        e->TrigSingleCountSet(3);
        e->TrigSampleCountSet(1);
        e->m_triggerChange = false;
        if (c.query == fetch) e->acqArm(3, 0);  // INIT under the bus trigger, three to come
        SCP_ClearErrQueue(1);
        ended = false;
        ValueMap out;
        int result = -1;
        ListWait list;  // the remote list the query runs in
        std::thread waiter([&] {
            ListWait::Scope scope(list);
            result = call(c.query, {}, &out);
        });
        // Past its check of the armed acquisition: ended before or during its
        // wait, it answers the same.
        awaitReader();
        if (c.taken) e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
        if (c.own) list.cancel();
        c.end(e);
        ended = true;
        waiter.join();
        EXPECT_EQ(result, 0);
        const int key = c.query == fetch ? 0x60d : 0x60f;
        std::string whole;
        for (int i = 0; i < c.whole; ++i) whole += i ? ",2.50000000E-01" : "2.50000000E-01";
        EXPECT_EQ(out.count(key) ? out.at(key).strval() : "no answer",
                  c.whole ? whole : c.taken ? "5.00000000E-01" : "");
        EXPECT_STREQ(SCP_ReadErrQueue(1), c.own || c.whole ? nullptr : "-230,\"Data corrupt or stale\"");
        EXPECT_EQ(SCP_ReadErrQueue(1), nullptr) << "one entry";
    }
    e->setReadStoredHook(nullptr);
    SCP_ClearErrQueue(1);
    e->TrigSampleCountSet(1);
    e->TrigSingleCountSet(1);
    e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
    e->m_u32BufferTimeOut = 5000;
}

// A reader whose client leaves ends its acquisition as a read that gives up
// does: nothing stays armed for other clients to wait on, and neither what
// it took before it left nor what a later trigger takes reaches another
// client's FETCh?.
TEST_F(ReadingQueries, AReaderThatLeavesEndsItsAcquisition) {
    const struct {
        const char* name;
        TrigSrcEnum source;
        int (CDataManage::*reader)(unsigned, const ValueMap&, ValueMap*);
    } cases[] = {
        {"READ? under EXT", SRC_EXT, &CDataManage::cbMeasDataRead},
        {"READ? under BUS", SRC_SINGLE, &CDataManage::cbMeasDataRead},
        {"INIT under IMM", SRC_AUTO, &CDataManage::cbMeasDataInitiate},
    };
    ASSERT_EQ(Interface_SCPManage(1), 1);
    SCP_SetInterfaceIsUsed(1);
    e->m_u32BufferTimeOut = 60000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e->TrigSourceSet(c.source);
        e->TrigSingleCountSet(3);
        e->m_triggerChange = false;
        SCP_ClearErrQueue(1);
        ListWait list;
        int result = -1;
        std::thread reader([&] {
            ListWait::Scope scope(list);
            result = call(c.reader, {});
        });
        awaitReader();
        e->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
        list.cancel();  // as its client leaves
        e->DM_WakeWaits();
        reader.join();
        EXPECT_EQ(result, 0);
        ASSERT_FALSE(armed());
        EXPECT_EQ(e->ScpiTrigSingleTriggered(), E200_EXECUTION_ERROR) << "a trigger still taken";
        e->DataCollectForSCPI(TYPE_DCV, {0.25, 1.0, 1.2f}, true);
        ValueMap out;
        EXPECT_EQ(call(&CDataManage::cbMeasDataFetch, {}, &out), 0);
        EXPECT_EQ(out.at(0x60d).strval(), "");
        EXPECT_EQ(SCP_ReadErrQueue(1), nullptr) << "its reply is dropped: no entry";
    }
    e->TrigSingleCountSet(1);
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
    e->m_u32BufferTimeOut = 5000;
}

// *OPC while an acquisition is armed: operation complete comes with the
// acquisition's end, whatever ends it, and only then.
TEST_F(ReadingQueries, OpcIsSetWhenTheArmedAcquisitionEnds) {
    const struct {
        const char* name;
        std::function<void(CDataManage*)> end;
        bool complete, pending;
    } cases[] = {
        {"a reading not counted for it",
         [](CDataManage* d) { d->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, false); }, false, true},
        {"its last reading", [](CDataManage* d) {
             d->m_singleCountDown = 0;
             d->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
         }, true, false},
        {"an abort", [](CDataManage* d) { d->DM_AbortRead(); }, true, false},
        {"a new acquisition", [](CDataManage* d) { d->acqArm(0, 1); }, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IEEE488_CLS_Excu();
        e->acqArm(0, 1);  // one reading owed
        EXPECT_FALSE(e->DM_OpcWhenDone());
        EXPECT_EQ(IEEE488_ESR_ReadClear() & 1, 0);
        c.end(e);
        EXPECT_EQ(IEEE488_ESR_ReadClear() & 1, c.complete ? 1 : 0);
        EXPECT_EQ(e->DM_AcquisitionPending(), c.pending);
        e->DM_AbortRead();
        // Set once: a later end sets nothing.
        EXPECT_EQ(IEEE488_ESR_ReadClear() & 1, c.complete ? 0 : 1);
    }
    EXPECT_TRUE(e->DM_OpcWhenDone());  // nothing armed: complete now
}

// *OPC? and *WAI wait for what was pending as they began: their acquisition
// and the reading a change owed then. Another client's arm or change after
// that ends or replaces it and does not make them wait for its own.
TEST_F(ReadingQueries, AnOperationWaitIsFixedAsItBegins) {
    const auto owe = [](CDataManage* d) { d->cbTrigSourceSet(2, request(0x1106, s32(SRC_AUTO)), nullptr); };
    const auto arm = [](CDataManage* d) { d->acqArm(0, 1); };
    const auto source = [](CDataManage* d) { d->cbTrigSourceSet(2, request(0x1106, s32(SRC_SINGLE)), nullptr); };
    const auto function = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_ACV, mainConfig(TYPE_ACV, 1)); };
    const auto range = [](CDataManage* d) { d->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 2)); };
    const auto last = [](CDataManage* d) {
        d->m_singleCountDown = 0;
        d->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, true);
    };
    const auto stored = [](CDataManage* d) {
        d->m_triggerChange = false;  // as the loop stores the reading owed
        d->DM_WakeWaits();
    };
    const auto notCounted = [](CDataManage* d) { d->DataCollectForSCPI(TYPE_DCV, {0.5, 1.0, 1.2f}, false); };
    const struct {
        const char* name;
        std::function<void(CDataManage*)> pending, later;
        int result;
    } cases[] = {
        {"its acquisition's last reading", arm, last, 0},
        {"its acquisition, another arms anew", arm, arm, 0},
        {"its acquisition, another changes the source", arm, source, 0},
        {"its acquisition, a reading not counted for it", arm, notCounted, E365_TIME_OUT_ERROR},
        {"a reading owed, stored", owe, stored, 0},
        {"a reading owed, another changes the function", owe, function, 0},
        {"a reading owed, another sets the range", owe, range, 0},
        {"a reading owed, another arms, then it is stored", owe,
         [=](CDataManage* d) {
             arm(d);
             stored(d);
         },
         0},
    };
    e->m_u32BufferTimeOut = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
        e->TrigSourceSet(SRC_AUTO);
        e->m_triggerChange = false;
        c.pending(e);
        int result = -1;
        std::thread waiter([&] { result = e->DM_WaitAcquisition(); });
        // Past the look at what is pending: the change comes during its wait.
        ASSERT_TRUE(eventually([&] { return e->m_operationWaits.load() == 1; }));
        c.later(e);
        waiter.join();
        EXPECT_EQ(result, c.result);
        e->DM_AbortRead();
    }
    e->DM_UpdateMainFunc(TYPE_DCV, mainConfig(TYPE_DCV, 1));
    e->TrigSourceSet(SRC_AUTO);
    e->m_triggerChange = false;
    e->m_u32BufferTimeOut = 5000;
}

} // namespace
