#pragma once
#include <string>

namespace platform {

// Writes the calibration set of the simulated front end into the system
// folder `dir` ("/vorna/data", mapped through the data root): for every
// calibration key one "cali_F_R.cal" of two 24-byte records, (0 -> 0) and
// (raw at full scale -> full scale in the display unit of the range row).
// Returns the number of files written, or -1 when one could not be written.
int simWriteCalibrationSet(const std::string& dir);

} // namespace platform
