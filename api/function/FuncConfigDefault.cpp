// Factory defaults of the per-function configuration records.
//
// eRealFunc is TYPE_DCV in every row: the function settings fill in the real
// function when they apply a record. Rows that support auto range start at the
// automatic range value (-1) with bAutoRange false; applying such a record turns
// auto range on and picks a start range.

#include "inc_type.h"

const structFuncConfig g_FuncCfg[MEASURE_TYPE_COUNT] = {
    // main  max  auto   rate   autoOn filter range autoZ rate    realFunc
    {true,   4,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_DCV
    {true,   4,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_ACV
    {true,   5,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_DCI
    {true,   5,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_ACI
    {true,   6,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_OHM2
    {true,   6,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_OHM4
    {true,   7,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_CAP
    {true,   0,   false, false, false, false, 0,    1,    E_Fast, TYPE_DCV, {}, {}},  // TYPE_CONT
    {true,   0,   false, false, false, false, 0,    1,    E_Fast, TYPE_DCV, {}, {}},  // TYPE_DIODE
    {true,   4,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_PERIOD
    {true,   4,   true,  true,  false, false, -1,   1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_FREQ
    {true,   0,   false, false, false, false, 0,    1,    E_Slow, TYPE_DCV, {}, {}},  // TYPE_SENSOR
};
