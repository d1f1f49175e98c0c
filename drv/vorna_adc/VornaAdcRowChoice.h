#pragma once
// Which register row and relay code a function configuration takes. Shared by
// the driver, which patches and writes the row, and by the host's simulated
// front end, which recognises configurations by the same choice.

#include <cstdint>

#include "drv/vorna_adc/VornaAdcRows.h"
#include "include/inc_enum.h"

struct AdcRowChoice {
    const AdcRow* row = nullptr;
    uint8_t relay = 0;
    bool highImpedance = false;  // DCV ranges 0-1 at high input impedance: written every time
};

enum class AdcRowResult { Ok, BadRange, Unsupported };

template <size_t N>
constexpr bool adcIndexIn(int32_t index, const uint8_t (&)[N]) {
    return index >= 0 && static_cast<size_t>(index) < N;
}

// The row of the real function `func` at range index `range`. The top current
// range of the MV412E has a row of its own (row 6). A range outside the tables
// gives BadRange, a function without rows Unsupported; `out` is then unchanged.
inline AdcRowResult VornaAdcChooseRow(MeasureTypeEnum func, int32_t range, int32_t rangeMax, bool is412,
                                      uint32_t cfgVer, uint32_t dcvImpe, AdcRowChoice& out) {
    AdcRowChoice c;
    switch (func) {
        case TYPE_DCV:
            if (!adcIndexIn(range, DCV_Range_Map)) return AdcRowResult::BadRange;
            c.row = (cfgVer == 0 && range < 2) ? &DCV_Setting_V0[range] : &DCV_Setting[range];
            c.highImpedance = range <= 1 && dcvImpe == 1;
            c.relay = c.highImpedance ? kRelayDcvHighImpedance : DCV_Range_Map[range];
            break;
        case TYPE_ACV:
        case TYPE_PERIOD:
        case TYPE_FREQ:
            if (!adcIndexIn(range, ACV_Range_Map)) return AdcRowResult::BadRange;
            c.row = &ACV_Setting[range];
            c.relay = ACV_Range_Map[range];
            break;
        case TYPE_DCI:
        case TYPE_ACI: {
            if (!adcIndexIn(range, ACI_Range_Map)) return AdcRowResult::BadRange;
            int32_t i = (range == rangeMax && !is412) ? rangeMax + 1 : range;
            if (i < 0 || i >= 7) return AdcRowResult::BadRange;
            c.row = func == TYPE_DCI ? &DCI_Setting[i] : &ACI_Setting[i];
            c.relay = ACI_Range_Map[range];
            break;
        }
        case TYPE_OHM2:
        case TYPE_OHM4:
            if (!adcIndexIn(range, OHM_Range_Map)) return AdcRowResult::BadRange;
            c.row = func == TYPE_OHM2 ? &OHM2WR_Setting[range] : &OHM4WR_Setting[range];
            c.relay = OHM_Range_Map[range];
            break;
        case TYPE_CAP:
            if (!adcIndexIn(range, CAP_Range_Map)) return AdcRowResult::BadRange;
            c.row = range > 5 ? &DISCHARGe_Setting : &CAP_Setting[range];
            c.relay = CAP_Range_Map[range];
            break;
        case TYPE_CONT:
            c.row = &OHM2WR_Setting[1];
            c.relay = kRelayContDiode;
            break;
        case TYPE_DIODE:
            c.row = &DIODE_Setting;
            c.relay = kRelayContDiode;
            break;
        default:
            return AdcRowResult::Unsupported;
    }
    out = c;
    return AdcRowResult::Ok;
}
