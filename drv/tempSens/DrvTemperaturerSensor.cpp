#include "DrvTemperaturerSensor.h"

#include <cmath>

#include "DrvTemperatueTtoECali.h"
#include "TcTables.h"

namespace {

// EMF above which the next inverse section takes over, per type. Where two
// sections overlap (R, S) the changeover lies inside the overlap.
struct Thresholds {
    int count;
    double emf[3];
};
const Thresholds kInverseThreshold[kTcTypeCount] = {
    {1, {2.431}},               // B
    {1, {0.0}},                 // E
    {2, {0.0, 42.919}},         // J
    {2, {0.0, 20.644}},         // K
    {2, {0.0, 20.613}},         // N
    {3, {1.923, 12.0, 19.739}},  // R
    {3, {1.874, 11.0, 17.536}},  // S
    {1, {0.0}},                 // T
};

double inverse(uint8_t type, double e) {
    const Thresholds& th = kInverseThreshold[type];
    int s = 0;
    while (s < th.count && e > th.emf[s]) ++s;
    const TcInverseSet& set = g_TcInverse[type];
    double t = 0.0;
    for (int k = static_cast<int>(set.Coefs) - 1; k >= 0; --k) {
        t = t * e + set.CalPara[k * set.Sections + s];
    }
    return t;
}

// Below the inverse functions: linear between the whole degrees of the table.
double lowTemperature(uint8_t type, double e) {
    const double* v = TC_LowTempRefTable[type];
    int i = 1;
    while (i < kTcLowTempRows - 1 && !(v[i] < e)) ++i;
    const double span = v[i] - v[i - 1];
    // Equal neighbours at the table's end (N: -4.345 twice): the lower degree.
    if (span == 0.0) return -200.0 - i;
    return (-200.0 - i) + 1.0 - (e - v[i - 1]) / span;
}

struct RtdRow {
    double A, B, C, step0, step1, step2;
};
const RtdRow kRtd[4] = {
    {0.0039083, -5.775e-07, -4.183e-12, 18.5, 84.71, 390.49},
    {0.003908, -5.8019e-07, -4.2735e-12, 18.4, 84.71, 332.65},
    {0.0039692, -5.8495e-07, -4.2325e-12, 17.2, 84.47, 336.49},
    {0.0039848, -5.87e-07, -4e-12, 16.9, 84.41, 337.43},
};

// Newton's method on 100 (1 + A t + B t^2 [+ C (t - 100) t^3]) = w. Without
// convergence in ten steps the last iterate stands.
double rtdNewton(const RtdRow& r, double w, bool belowZero) {
    const double c = belowZero ? r.C : 0.0;
    auto f = [&](double t) { return 100.0 * (1 + r.A * t + r.B * t * t + c * (t - 100) * t * t * t) - w; };
    auto df = [&](double t) { return 100.0 * r.A + 200.0 * r.B * t + 100.0 * c * (4 * t * t * t - 300 * t * t); };
    double t = f(0.0) > 0 ? 0.0 : 700.0;
    for (int k = 0; k < 10; ++k) {
        const double next = t - f(t) / df(t);
        if (k > 0 && std::fabs(next - t) < 0.001) return t;
        t = next;
    }
    return t;
}

struct Thermistor {
    double A, B, C;
};
const Thermistor kThermistor[5] = {
    {0.001468, 0.0002383, 1.007e-07}, {0.001403, 0.0002373, 9.827e-08}, {0.001285, 0.0002362, 9.285e-08},
    {0.001032, 0.0002387, 1.58e-07},  {0.0009376, 0.0002208, 1.276e-07},
};

} // namespace

double GetTemperature_ThermCouple(uint8_t type, double millivolts, double coldCelsius) {
    double e0 = 0.0;
    if (type >= kTcTypeCount || DrvTempCali_TtoE(type, coldCelsius, &e0) != 0) {
        return kTempOverload;
    }
    const double e = e0 + millivolts;
    if (!(e >= TC_LowTempVoltMin[type] && e <= ThermCoupleVoltageMax[type])) {
        return kTempOverload;
    }
    if (e >= ThermCoupleVoltageMin[type]) {
        return inverse(type, e);
    }
    if (TC_LowTempRefTable[type][0] == 0.0) {
        return kTempOverload;  // B, J, R, S: no table below the inverse range
    }
    return lowTemperature(type, e);
}

double RTD_Cal_Section_0(uint8_t alpha, double resTemp) {
    return alpha < 4 ? rtdNewton(kRtd[alpha], resTemp, true) : kTempOverload;
}

double GetTemperature_RTD(double resRef, uint8_t alpha, double resTemp) {
    const double w = resRef == 100.0 ? resTemp : resTemp / (resRef / 100.0);
    if (alpha > 3 || std::isnan(w)) return kTempOverload;
    const RtdRow& r = kRtd[alpha];
    if (w > r.step2) return kTempOverload;
    if (w < r.step0) return -kTempOverload;
    // A value on a section boundary takes the formula of the section beside it.
    if (w <= r.step1) return RTD_Cal_Section_0(alpha, w);
    return rtdNewton(r, w, false);
}

double GetTemperature_Thermistor(uint8_t type, double measRes) {
    if (type > 4 || std::isnan(measRes)) return kTempOverload;
    const double l = std::log(measRes <= 0 ? 0.1 : measRes);
    const Thermistor& c = kThermistor[type];
    return 1.0 / (c.A + c.B * l + c.C * l * l * l) - 273.16;
}
