#pragma once
// The configuration record of one measurement function and the factory
// defaults of all of them. The function settings own the working copies; the
// converter driver and the measurement engine receive copies of the active one.

#include <cstdint>
#include <vector>

#include "inc_enum.h"

struct structFuncConfig {
    bool bMainConfig = false;            // a function's configuration record
    int32_t s32RangeMax = 0;             // ranges run 0 to this index
    bool bSupportAuto = false;           // auto range applies
    bool bSupportRate = false;           // the reading rate applies
    bool bAutoRange = false;             // auto range on
    bool bDcFilter = false;              // DC filter on
    int32_t s32Range = 0;                // range index; -1 = automatic value
    int32_t s32AutoZ = 0;                // auto-zero setting
    RateEnum eRate = E_Slow;             // reading rate
    MeasureTypeEnum eRealFunc = TYPE_DCV;  // function the front end really runs
    std::vector<uint8_t> vSwitchMap;
    std::vector<uint8_t*> vSettingMap;
};

// Factory defaults, indexed by MeasureTypeEnum. Complete before main() runs and
// never written afterwards: callers copy a row and change the copy.
extern const structFuncConfig g_FuncCfg[MEASURE_TYPE_COUNT];
