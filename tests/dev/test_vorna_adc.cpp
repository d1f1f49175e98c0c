#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include "drv/tempDrv/CTempDrv.h"
#include "frontend_test_support.h"
#include "sim_i2c.h"

namespace {

using testing_support::FrontEndTest;
using platform::SimTransaction;
using Bytes = std::vector<uint8_t>;

using VornaAdc = FrontEndTest;

// The pairs of `row` that no configuration patches.
bool samePairsUnpatched(const std::vector<AdcRegPair>& written, const AdcRow& row) {
    for (size_t i = 0; i < row.size(); ++i) {
        bool patched = i == vorna_adc_rows::kPair22 || i == vorna_adc_rows::kPair29 || i == vorna_adc_rows::kPair33;
        if (written[i].u8Addr != row[i].u8Addr || (!patched && written[i].u8Value != row[i].u8Value)) return false;
    }
    return true;
}

struct ConfigCase {
    const char* name;
    std::function<void(CVORNA_ADC&)> prepare;  // before the log is cleared
    std::function<void(CVORNA_ADC&)> act;
    const AdcRow* row;  // the row written, nullptr: no register write at all
    size_t times;
    Bytes relay;
    MeasureTypeEnum funcAfter;
    int32_t rangeAfter;
};

TEST_F(VornaAdc, ConfigurationsWriteTheirRowAndRelayByteOnlyWhenDue) {
    auto set = [](MeasureTypeEnum f, int32_t r, bool update, RateEnum rate = E_Slow) {
        return [=](CVORNA_ADC& a) { a.VORNA_ADC_UpdateConfig(f, config(f, r, rate), update); };
    };
    auto twice = [](std::function<void(CVORNA_ADC&)> f) { return [f](CVORNA_ADC& a) { f(a); f(a); }; };
    const ConfigCase cases[] = {
        {"range -1 changes nothing", set(TYPE_DCV, 1, true), set(TYPE_ACV, -1, true), nullptr, 0, {}, TYPE_DCV, 1},
        {"repeat without update", set(TYPE_DCV, 2, true), set(TYPE_DCV, 2, false), nullptr, 0, {}, TYPE_DCV, 2},
        {"repeat with update: pairs, no relay", set(TYPE_DCV, 2, true), set(TYPE_DCV, 2, true), &DCV_Setting[2], 1, {},
         TYPE_DCV, 2},
        {"DCV high impedance every time", set(TYPE_DCV, 2, true),
         [&](CVORNA_ADC& a) { a.VORNA_ADC_SetDcvImpe(1); twice(set(TYPE_DCV, 1, false))(a); }, &DCV_Setting[1], 2,
         {0x42}, TYPE_DCV, 1},
        {"DCI 5 on MV412", [&](CVORNA_ADC& a) { a.VORNA_ADC_SetMode412(true); set(TYPE_DCV, 0, true)(a); },
         set(TYPE_DCI, 5, false), &DCI_Setting[5], 1, {0x06}, TYPE_DCI, 5},
        {"DCI 5 on MV412E", set(TYPE_DCV, 0, true), set(TYPE_DCI, 5, false), &DCI_Setting[6], 1, {0x06}, TYPE_DCI, 5},
        {"rate alone on OHM2", set(TYPE_OHM2, 3, true), set(TYPE_OHM2, 3, false, E_Fast), &OHM2WR_Setting[3], 1, {},
         TYPE_OHM2, 3},
        {"rate alone on ACV", set(TYPE_ACV, 2, true), set(TYPE_ACV, 2, false, E_Fast), nullptr, 0, {}, TYPE_ACV, 2},
        {"CAP 7 starts discharged", set(TYPE_DCV, 3, true), set(TYPE_CAP, 7, false), &DISCHARGe_Setting, 1, {0x02},
         TYPE_CAP, 7},
        {"range beyond the table", set(TYPE_DCV, 1, true), set(TYPE_DCV, 5, true), nullptr, 0, {}, TYPE_DCV, 1},
        {"rate beyond the table", set(TYPE_DCV, 1, true), set(TYPE_ACV, 1, true, static_cast<RateEnum>(3)), nullptr, 0,
         {}, TYPE_DCV, 1},
        {"unknown real function", set(TYPE_DCV, 1, true), set(TYPE_SENSOR, 0, true), nullptr, 0, {}, TYPE_SENSOR, 0},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        CVORNA_ADC a;
        ASSERT_TRUE(a.VORNA_ADC_Connect());
        a.VORNA_ADC_SetCfgVer(1);
        c.prepare(a);
        sim().clearTransactions();
        testing::internal::CaptureStdout();
        c.act(a);
        testing::internal::GetCapturedStdout();
        auto pairs = pairWrites();
        ASSERT_EQ(pairs.size(), c.row ? c.times * kAdcRowPairs : 0u);
        for (size_t t = 0; t < c.times; ++t) {
            EXPECT_TRUE(samePairsUnpatched({pairs.begin() + t * kAdcRowPairs, pairs.end()}, *c.row)) << "write " << t;
        }
        EXPECT_EQ(relayBytes(), c.relay);
        uint32_t func = 99;
        structFuncConfig cfg;
        ASSERT_TRUE(a.VORNA_ADC_AcqData(func, cfg, Bytes(34).data(), 34));
        EXPECT_EQ(func, static_cast<uint32_t>(c.funcAfter));
        EXPECT_EQ(cfg.s32Range, c.rangeAfter);
    }
}

TEST_F(VornaAdc, PatchedBitsFollowRateAutoZeroAndImpedance) {
    struct Case {
        MeasureTypeEnum func;
        int32_t range;
        RateEnum rate;
        int32_t autoZ;
        uint32_t impe;
        uint8_t addr;
        uint8_t value;
    } cases[] = {
        {TYPE_DCI, 0, E_Slow, 2, 0, 0x22, 0x13},    // any auto-zero but 0 counts as on
        {TYPE_DCI, 0, E_Slow, 0, 0, 0x22, 0x03},
        {TYPE_OHM2, 0, E_Slow, 1, 0, 0x22, 0x16},
        {TYPE_OHM4, 1, E_Fast, 0, 0, 0x22, 0x03},
        {TYPE_DCV, 1, E_Slow, 1, 1, 0x22, 0x06},    // high impedance
        {TYPE_DCV, 3, E_Slow, 1, 1, 0x22, 0x02},    // impedance applies to ranges 0-1 only
        {TYPE_DCV, 0, E_Slow, 1, 0, 0x33, 0x60},
        {TYPE_ACV, 0, E_Slow, 1, 0, 0x29, 0xF0},
        {TYPE_ACI, 2, E_Fast, 1, 0, 0x29, 0xE0},
        {TYPE_CONT, 0, E_Fast, 1, 0, 0x22, 0x00},
        {TYPE_DIODE, 0, E_Fast, 1, 0, 0x22, 0x14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.func << "/" << c.range << " reg " << int(c.addr));
        structFuncConfig cfg = config(c.func, c.range, c.rate);
        cfg.s32AutoZ = c.autoZ;
        adc.VORNA_ADC_SetDcvImpe(c.impe);
        testing::internal::CaptureStdout();
        adc.VORNA_ADC_UpdateConfig(c.func, cfg, true);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(sim().reg(c.addr), c.value);
    }
}

TEST_F(VornaAdc, AcRowRestartsTheCountersAndRestoresItsAcc) {
    testing::internal::CaptureStdout();
    adc.VORNA_ADC_UpdateConfig(TYPE_DCV, config(TYPE_DCV, 0), true);
    adc.VORNA_ADC_SetAcc(TYPE_ACV, 1, 0x21);  // stored; DCV has no acc register in use
    sim().clearTransactions();
    adc.VORNA_ADC_UpdateConfig(TYPE_ACV, config(TYPE_ACV, 1), false);
    testing::internal::GetCapturedStdout();
    auto log = sim().transactions();
    ASSERT_EQ(log.size(), kAdcRowPairs + 6);
    const std::vector<SimTransaction> tail(log.begin() + kAdcRowPairs, log.end());
    const std::vector<std::pair<SimTransaction::Kind, Bytes>> expected = {
        {SimTransaction::Write, {0x40, 0x50}},         {SimTransaction::Write, {0x36, 0x00, 0x00, 0xC0}},
        {SimTransaction::Write, {0x40, 0x52}},         {SimTransaction::Read, {0x61, 0x00, 0x00}},
        {SimTransaction::Write, {0x60, 0x80 | 0x21}},  {SimTransaction::Relay, {0x04}},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(tail[i].kind, expected[i].first) << i;
        EXPECT_EQ(tail[i].bytes, expected[i].second) << i;
    }
}

TEST_F(VornaAdc, AccIsStoredForAcvRanges0To2AndWrittenOnlyWhileInUse) {
    struct Case {
        int32_t acvRange;  // configured ACV range, -1: DCV configured
        uint32_t func, range, acc;
        bool stored;
        int written;  // value of register 0x30 written, -1: none
    } cases[] = {
        {2, TYPE_ACV, 3, 9, false, -1},
        {2, TYPE_DCV, 0, 9, false, -1},
        {2, TYPE_ACV, 2, 5, true, 0x85},
        {-1, TYPE_ACV, 0, 7, true, -1},
        {0, TYPE_ACV, 0, 0x7F, true, 0xFF},  // bit 7 of the row stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.func << "/" << c.range << "=" << c.acc);
        CVORNA_ADC a;
        ASSERT_TRUE(a.VORNA_ADC_Connect());
        MeasureTypeEnum f = c.acvRange < 0 ? TYPE_DCV : TYPE_ACV;
        testing::internal::CaptureStdout();
        a.VORNA_ADC_UpdateConfig(f, config(f, c.acvRange < 0 ? 0 : c.acvRange), true);
        testing::internal::GetCapturedStdout();
        sim().clearTransactions();
        a.VORNA_ADC_SetAcc(c.func, c.range, c.acc);
        const uint32_t key = c.func * 64 + c.range;
        std::map<uint32_t, uint32_t> stored, present{{key, 999}};
        a.VORNA_ADC_GetAcc(stored);
        a.VORNA_ADC_GetAcc(present);
        EXPECT_EQ(stored.count(key), c.stored ? 1u : 0u);
        EXPECT_EQ(stored.size(), stored.count(key));
        if (c.stored) {
            EXPECT_EQ(stored[key], c.acc);
        }
        EXPECT_EQ(present.at(key), 999u);  // keys already present keep their value
        auto pairs = pairWrites();
        if (c.written < 0) {
            EXPECT_TRUE(pairs.empty());
        } else {
            ASSERT_EQ(pairs.size(), 1u);
            EXPECT_EQ(pairs[0].u8Addr, 0x30);
            EXPECT_EQ(pairs[0].u8Value, c.written);
        }
    }
}

TEST_F(VornaAdc, AccIsNotWrittenWhenItsRegisterCannotBeRead) {
    testing::internal::CaptureStdout();
    adc.VORNA_ADC_UpdateConfig(TYPE_ACV, config(TYPE_ACV, 0), true);
    testing::internal::GetCapturedStdout();
    sim().clearTransactions();
    sim().failNextTransfers(1);
    testing::internal::CaptureStderr();
    adc.VORNA_ADC_WriteAcc(3);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(sim().transactions().empty());
}

TEST_F(VornaAdc, FrameReadSendsTwoMoreBytesAndRealignsTheAnswer) {
    platform::SimInputs in;
    in.dcVolts = 3.3;  // 400,000 counts per volt on the 10 V range
    sim().setInputs(in);
    testing::internal::CaptureStdout();
    adc.VORNA_ADC_UpdateConfig(TYPE_DCV, config(TYPE_DCV, 2), true);
    testing::internal::GetCapturedStdout();
    sim().clearTransactions();
    uint8_t frame[34];
    uint32_t func = 99;
    structFuncConfig cfg;
    ASSERT_TRUE(adc.VORNA_ADC_AcqData(func, cfg, frame, 34));
    auto log = sim().transactions();
    ASSERT_EQ(log.size(), 1u);
    Bytes tx(36, 0x00);
    tx[0] = 0x01;
    tx[1] = 0xFF;
    EXPECT_EQ(log[0].bytes, tx);
    for (uint8_t k = 0; k < 34; ++k) EXPECT_EQ(frame[k], sim().reg(k)) << int(k);
    EXPECT_EQ(frame[0] | frame[1] << 8 | frame[2] << 16, 1320000);
    EXPECT_EQ(frame[30] & 0x04, 0x04);
    EXPECT_EQ(func, static_cast<uint32_t>(TYPE_DCV));
    EXPECT_EQ(cfg.s32Range, 2);

    testing::internal::CaptureStderr();
    for (int32_t len : {0, -1, 35}) {
        EXPECT_FALSE(adc.VORNA_ADC_AcqData(func, cfg, frame, len)) << len;
    }
    sim().failNextTransfers(1);
    EXPECT_FALSE(adc.VORNA_ADC_AcqData(func, cfg, frame, 34));
    EXPECT_EQ(adc.VORNA_ADC_ReadData(frame, 0, 57), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(sim().transactions().size(), 1u);  // refused reads never reach the bus
}

TEST_F(VornaAdc, RowsThatCountPresetTheCountersAfterTheRowWrite) {
    const Bytes preset{0x36, 0x00, 0x00, 0xC0};
    const struct {
        MeasureTypeEnum func;
        int32_t range;
        bool resets;
    } cases[] = {{TYPE_ACV, 2, true}, {TYPE_ACI, 1, true}, {TYPE_FREQ, 4, true},
                 {TYPE_PERIOD, 4, true}, {TYPE_DCV, 2, false}, {TYPE_OHM2, 2, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.func);
        adc.VORNA_ADC_UpdateConfig(TYPE_DCV, config(TYPE_DCV, 1), true);
        sim().clearTransactions();
        testing::internal::CaptureStdout();
        structFuncConfig cfg = config(c.func, c.range);
        if (c.func == TYPE_FREQ || c.func == TYPE_PERIOD) cfg.eRealFunc = TYPE_ACV;
        adc.VORNA_ADC_UpdateConfig(c.func, cfg, true);
        testing::internal::GetCapturedStdout();
        bool preset_written = false;
        for (const SimTransaction& t : sim().transactions()) preset_written |= t.bytes == preset;
        EXPECT_EQ(preset_written, c.resets);
    }
}

TEST_F(VornaAdc, ABusThatCannotBeSetUpIsClosedAndRetried) {
    platform::SimDevice& spi = platform::simDevice("/dev/spidev3.0");
    const int open_before = platform::simOpenDescriptors();
    CVORNA_ADC a;
    spi.failNextIoctls(1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(a.VORNA_ADC_Connect());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't set spi mode: Input/output error\n");
    EXPECT_EQ(platform::simOpenDescriptors(), open_before);
    EXPECT_TRUE(a.VORNA_ADC_Connect());
}

// Configuration changes from handler threads while the loop reads frames and
// calibration sets acc values: every frame comes with a whole configuration.
TEST_F(VornaAdc, FramesAlwaysCarryAWholeConfiguration) {
    testing::internal::CaptureStdout();
    std::thread writer([&] {
        for (int i = 0; i < 150; ++i) {
            MeasureTypeEnum f = i % 2 ? TYPE_ACV : TYPE_OHM2;
            adc.VORNA_ADC_UpdateConfig(f, config(f, i % 3), i % 5 == 0);
            adc.VORNA_ADC_SetAcc(TYPE_ACV, static_cast<uint32_t>(i % 3), static_cast<uint32_t>(i % 100));
        }
    });
    std::thread recover([&] {
        for (int i = 0; i < 50; ++i) adc.VORNA_ADC_ConfigRecover();
    });
    uint8_t frame[34] = {};
    int torn = 0, read = 0;
    // At least 300 looks, and on (bounded) until one frame was read: a slow
    // run may find the relays switching at each of the first 300.
    for (int i = 0; i < 300 || (read == 0 && i < 100000); ++i) {
        uint32_t func = 0;
        structFuncConfig cfg;
        // Refused only while relays switch.
        const bool ok = adc.VORNA_ADC_AcqData(func, cfg, frame, 34);
        read += ok;
        torn += ok && static_cast<uint32_t>(cfg.eRealFunc) != func;
        adc.VORNA_ADC_CountReset(frame[32]);
    }
    writer.join();
    recover.join();
    testing::internal::GetCapturedStdout();
    EXPECT_GT(read, 0);
    EXPECT_EQ(torn, 0);
}

// The relay device's own handler, with a look taken just before each byte.
class RelayLook : public platform::SimDeviceHandler {
public:
    RelayLook(std::shared_ptr<platform::SimDeviceHandler> relay, std::function<void()> look)
        : _relay(std::move(relay)), _look(std::move(look)) {}
    ssize_t write(const void* buf, size_t len) override {
        _look();
        return _relay->write(buf, len);
    }

private:
    std::shared_ptr<platform::SimDeviceHandler> _relay;
    std::function<void()> _look;
};

// While the relays still carry the old function's input, a frame is not the
// new function's: decoded as it, a current would read as a resistance.
TEST_F(VornaAdc, AFrameReadWhileTheRelaysSwitchIsNotHandedOutAsTheNewFunction) {
    testing::internal::CaptureStdout();
    adc.VORNA_ADC_UpdateConfig(TYPE_DCI, config(TYPE_DCI, 2), true);
    platform::SimDevice& node = platform::simDevice("/dev/sn74ahc_ctl");
    const auto relay = node.handler();
    uint8_t frame[34];
    uint32_t func = 99;
    structFuncConfig cfg;
    bool handedOut = true;
    node.setHandler(std::make_shared<RelayLook>(relay, [&] { handedOut = adc.VORNA_ADC_AcqData(func, cfg, frame, 34); }));
    adc.VORNA_ADC_UpdateConfig(TYPE_OHM2, config(TYPE_OHM2, 4), true);
    node.setHandler(relay);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(handedOut && func == TYPE_OHM2) << "frame of the DCI relays handed out as OHM2";
    ASSERT_TRUE(adc.VORNA_ADC_AcqData(func, cfg, frame, 34));
    EXPECT_EQ(func, static_cast<uint32_t>(TYPE_OHM2));
}

using ColdJunction = FrontEndTest;

TEST_F(ColdJunction, TemperatureIsReadSignedInSixteenthsOfADegree) {
    CTempDrv temp;
    testing::internal::CaptureStderr();
    EXPECT_EQ(temp.Temp_GetColdTemp(), -1.0f);  // not connected: descriptor 0 is never touched
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(temp.Temp_Connect());
    for (double celsius : {23.5, 0.0, -5.25, -0.0625, 125.0, -40.0}) {
        platform::SimInputs in;
        in.coldJunctionCelsius = celsius;
        sim().setInputs(in);
        EXPECT_EQ(temp.Temp_GetColdTemp(), static_cast<float>(celsius)) << celsius;
    }
    platform::simDevice("/dev/i2c-4").failNextIoctls(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(temp.Temp_GetColdTemp(), -1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to read data: Input/output error\n");
}

} // namespace
