#pragma once
// Temperature -> EMF of a thermocouple: the cold-junction compensation.
#include <cstdint>

#include "TcTables.h"

// Fills `info` with the set of thermocouple type `type` (0..7 = B, E, J, K, N,
// R, S, T); a type above 7 leaves it untouched.
void DrvTempCali_PrepInfo(uint8_t type, STRU_TEMP_TtoE_CALI* info);

// EMF in mV of type `type` at `celsius`: 0; -1 for a type above 7, -2 when
// the temperature lies in no section (or is not a number).
int DrvTempCali_TtoE(uint8_t type, double celsius, double* emf);
