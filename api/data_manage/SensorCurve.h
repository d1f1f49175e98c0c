#pragma once
// The custom-sensor curve: editing the reference points, building and
// fitting the segments, and evaluating a reading. Plain functions over one
// record; the caller keeps records apart between threads.
#include <cstdint>

#include "SensorTypes.h"

constexpr double kSensorOverload = 9.9e37;

// Adds (index -1) or replaces (index 0..count-1) a point: 0 or an error row
// (55 first point without a segment start or a repeated x, 57 capacity, 58
// index); a refused point leaves the record as it was.
int SEN_AddPoint(structSensorProjLeast& r, int index, const structPos& point);
// Deletes a point: 0 or 58.
int SEN_DelPoint(structSensorProjLeast& r, int index);

// Builds the segment table: 255 when every segment has points enough,
// otherwise the 1-based number of the first failing one (0 when the
// definition has more segments than the table or x does not increase).
uint8_t GetSegPoint(structSensorProjLeast& r);
// Fits every least-squares segment; false when the coefficients do not fit
// the store.
bool SEN_FitSegments(structSensorProjLeast& r);

// Least squares through n points with m coefficients in z = x - mean(x);
// dt receives the sum of squared, the sum of absolute and the largest residual.
void FitCurves(const double* x, const double* y, int n, double* a, int m, double dt[3]);

// Value of the custom curve at `value`, before the range check.
double SEN_CustomCurve(const structSensorProjLeast& r, double value);
// 9.9e37 for a value outside what the unit allows.
double SensRangeCheck(const structSensorProjLeast& r, double value);
