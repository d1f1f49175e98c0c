#include "DrvTemperatueTtoECali.h"

#include <cmath>

void DrvTempCali_PrepInfo(uint8_t type, STRU_TEMP_TtoE_CALI* info) {
    if (type < kTcTypeCount && info) {
        *info = g_TcTtoECali[type];
    }
}

int DrvTempCali_TtoE(uint8_t type, double celsius, double* emf) {
    // A record of the caller's own: conversions may run on several threads.
    STRU_TEMP_TtoE_CALI info{};
    DrvTempCali_PrepInfo(type, &info);
    if (info.Section == 0) {
        return -1;
    }
    uint32_t s = 0;
    while (s < info.Section && !(info.TempRange[s] <= celsius && celsius < info.TempRange[s + 1])) {
        ++s;
    }
    if (s == info.Section) {
        return -2;
    }
    const double* c = info.Point + s * info.MaxPerLine;
    double value = 0.0;
    for (int k = info.PointSection[s] - 1; k >= 0; --k) {
        value = value * celsius + c[k];
    }
    const TcExpTerm& x = g_TcTtoEExp[type];
    if (x.present && x.tMin <= celsius && celsius <= x.tMax) {
        value += x.a0 * std::exp(x.a1 * (celsius - x.a2) * (celsius - x.a2));
    }
    *emf = value;
    return 0;
}
