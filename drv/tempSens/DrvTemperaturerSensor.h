#pragma once
// Sensor readings -> degrees Celsius: thermocouples, RTDs and thermistors.
// 9.9e37 is the overload result, -9.9e37 the RTD's negative overload.
#include <cstdint>

constexpr double kTempOverload = 9.9e37;

// Temperature of a thermocouple of type `type` (0..7 = B, E, J, K, N, R, S,
// T) whose measured EMF is `millivolts`, with the cold junction at
// `coldCelsius`; the caller chooses the junction (internal sensor or user
// value) and passes a NaN when it could not be read, which gives 9.9e37.
double GetTemperature_ThermCouple(uint8_t type, double millivolts, double coldCelsius);

// Temperature of an RTD with R0 `resRef` ohms and alpha index `alpha` (0..3)
// that measures `resTemp` ohms.
double GetTemperature_RTD(double resRef, uint8_t alpha, double resTemp);

// The below-zero section of alpha index `alpha`, `resTemp` normalised to 100 ohms.
double RTD_Cal_Section_0(uint8_t alpha, double resTemp);

// Temperature of a thermistor of type `type` (0..4) measuring `measRes` ohms.
double GetTemperature_Thermistor(uint8_t type, double measRes);
