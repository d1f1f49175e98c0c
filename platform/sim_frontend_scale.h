#pragma once
// The one gain table of the simulated front end: which quantity each
// hardware configuration measures and how many counts a unit gives. The
// simulator reads it for every frame, the calibration program writes its
// files from it, so calibrated readings equal the simulated inputs.

#include <cstdint>
#include <vector>

#include "drv/vorna_adc/VornaAdcRows.h"

namespace platform {

enum class SimQuantity { None, DcVolts, AcVolts, DcAmps, AcAmps, Ohms2Wire, Ohms4Wire, CapCounter, CapCharge, CapDischarge, DiodeVolts };

constexpr double kSimFullScaleCounts = 4000000.0;
constexpr int32_t kSimCountsMax = 0x7FFFFE;   // saturation; also "open" to the charge-slope decode
constexpr int32_t kSimCountsMin = -0x7FFFFF;
// Each charge row has a current of its own, so that an input of its full
// scale ramps at this many counts per ms, a tenth of it ten times as fast.
// Low enough that an input of one count of the row (a thousandth of full
// scale) is still below the limit at the 400 ms sample, where the decode
// would take it for an open input; high enough that full scale spans 4000
// counts between the samples, a quarter count of the row per count.
constexpr double kSimChargeSlope = 20.0;

// One register the configuration writes: (reg & mask) must equal value.
struct SimRegCheck {
    uint8_t addr;
    uint8_t mask;
    uint8_t value;
};

// One hardware configuration: the registers of a row (patched bits ignored)
// and a relay code. Configurations that look the same to the hardware are one.
struct SimFrontEndConfig {
    std::vector<SimRegCheck> checks;
    uint8_t relay = 0;
    SimQuantity quantity = SimQuantity::None;
    double countsPerUnit = 0;  // counts per V, A, ohm or F
    int32_t chargeWaitMs = 0;  // charge rows: the wait of the charge-slope method
    double chargeFullScale = 0;  // charge rows: the full scale of the range in F
};

// One calibration key (function, range) with its full scale in the display
// unit of its range row and the raw value the engine decodes at full scale.
struct SimKeyScale {
    int32_t func;
    int32_t range;
    double fullScale;
    double rawAtFullScale;
    bool model412;   // a key of the MV412
    bool model412E;  // a key of the MV412E
};

const std::vector<SimFrontEndConfig>& simFrontEndConfigs();
// The configuration in force for a register file of 128 bytes and a relay
// code; -1 when none matches (a row half written, or nothing yet).
int simIdentifyConfig(const uint8_t* regs, uint8_t relay);
// Every key of both models, CONT, DIODE and the counter key FREQ (10, 0).
const std::vector<SimKeyScale>& simCalibrationKeys();

} // namespace platform
