#pragma once
// Small checks shared by the function-settings sources.

#include "inc_enum.h"

inline bool isFunction(int func) {
    return func >= 0 && func < MEASURE_TYPE_COUNT;
}

// Sources 1 to 3 are remote control and get text replies.
inline bool isRemoteSource(unsigned int source) {
    return source >= 1 && source <= 3;
}

// Functions whose auto range starts on range 0 (the others start at half).
inline bool startsAtRangeZero(int func) {
    return func == TYPE_DCV || func == TYPE_ACV || func == TYPE_DCI || func == TYPE_ACI;
}

// Functions that run on the AC-voltage path.
inline bool isFreqOrPeriod(int func) {
    return func == TYPE_PERIOD || func == TYPE_FREQ;
}

// Functions without ranges: the primary being one of them blocks range changes.
inline bool isRangeless(int func) {
    return func == TYPE_CONT || func == TYPE_DIODE || func == TYPE_SENSOR;
}
