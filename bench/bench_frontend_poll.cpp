// One acquisition poll of the measurement loop on the simulated front end:
// the 34-byte frame read through the device seam and the status decode. The
// loop polls every millisecond, so this must cost far less than that.
#include <benchmark/benchmark.h>

#include "drv/vorna_adc/CVORNA_ADC.h"
#include "platform/sim_frontend.h"
#include "platform/sim_registry.h"

namespace {

CVORNA_ADC& configured(MeasureTypeEnum func, int32_t range) {
    static CVORNA_ADC adc;
    static bool connected = adc.VORNA_ADC_Connect();
    (void)connected;
    structFuncConfig config;
    config.bMainConfig = true;
    config.s32RangeMax = 4;
    config.s32Range = range;
    config.s32AutoZ = 1;
    config.eRealFunc = func;
    platform::SimInputs inputs;
    inputs.dcVolts = 1.234;
    inputs.acVolts = 1.234;
    inputs.frequency = 1000;
    platform::simFrontEnd().setInputs(inputs);
    adc.VORNA_ADC_UpdateConfig(func, config, true);
    return adc;
}

void poll(benchmark::State& state, MeasureTypeEnum func) {
    CVORNA_ADC& adc = configured(func, 2);
    uint8_t frame[CVORNA_ADC::kFrameBytes];
    uint32_t frameFunc = 0;
    structFuncConfig config;
    int64_t ready = 0;
    for (auto _ : state) {
        adc.VORNA_ADC_AcqData(frameFunc, config, frame, CVORNA_ADC::kFrameBytes);
        uint8_t status = frame[30];
        if (status & 0x04) {
            ready += static_cast<int32_t>(static_cast<uint32_t>(frame[0] | frame[1] << 8 | frame[2] << 16) << 8) >> 8;
        }
        ready += status & 0x11;
        benchmark::DoNotOptimize(ready);
    }
}

void BM_PollDcFrame(benchmark::State& state) { poll(state, TYPE_DCV); }
void BM_PollAcFrameWithCounters(benchmark::State& state) { poll(state, TYPE_ACV); }

BENCHMARK(BM_PollDcFrame);
BENCHMARK(BM_PollAcFrameWithCounters);

} // namespace

BENCHMARK_MAIN();
