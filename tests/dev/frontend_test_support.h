#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "device_test_support.h"
#include "drv/vorna_adc/CVORNA_ADC.h"
#include "sim_frontend.h"
#include "sim_registry.h"

namespace testing_support {

// A converter driver of its own on the simulated front end, with the inputs
// at their defaults, a virtual clock and an empty transaction log.
class FrontEndTest : public SimulatedDeviceTest {
protected:
    void SetUp() override {
        SimulatedDeviceTest::SetUp();
        if (IsSkipped()) return;
        sim().setInputs({});
        sim().setClock([this] { return clockUs.load(); });
        ASSERT_TRUE(adc.VORNA_ADC_Connect());
        adc.VORNA_ADC_SetCfgVer(1);
        sim().clearTransactions();
    }
    void TearDown() override {
        if (platform::devSimulated()) {
            sim().setClock(nullptr);
            sim().setInputs({});
        }
    }

    static platform::SimFrontEnd& sim() { return platform::simFrontEnd(); }
    void advanceMs(int64_t ms) { clockUs += ms * 1000; }

    static structFuncConfig config(MeasureTypeEnum func, int32_t range, RateEnum rate = E_Slow, int32_t rangeMax = 5) {
        structFuncConfig c;
        c.bMainConfig = true;
        c.s32RangeMax = rangeMax;
        c.s32Range = range;
        c.s32AutoZ = 1;
        c.eRate = rate;
        c.eRealFunc = func;
        return c;
    }

    // The register writes of single pairs, in order.
    static std::vector<AdcRegPair> pairWrites() {
        std::vector<AdcRegPair> pairs;
        for (const auto& t : sim().transactions()) {
            if (t.kind == platform::SimTransaction::Write && t.bytes.size() == 2) {
                pairs.push_back({static_cast<uint8_t>(t.bytes[0] >> 1), t.bytes[1]});
            }
        }
        return pairs;
    }

    static std::vector<uint8_t> relayBytes() {
        std::vector<uint8_t> bytes;
        for (const auto& t : sim().transactions()) {
            if (t.kind == platform::SimTransaction::Relay) bytes.insert(bytes.end(), t.bytes.begin(), t.bytes.end());
        }
        return bytes;
    }

    CVORNA_ADC adc;
    std::atomic<int64_t> clockUs{1000000};
};

} // namespace testing_support
