#pragma once
#include <string>

namespace platform {

// The model of the simulated front end: its gain table and charge ramps, from
// which the calibration set is computed. Raised whenever they change, since a
// set written for an earlier model reads wrong on this one (the 1 mF and 10 mF
// ranges 100 times high after the charge ramps changed). Sets written before
// the marker existed are model 1.
constexpr int kSimFrontEndModel = 2;
// The marker beside the set: the model it was written for, as decimal text. A
// file of its own, so the calibration files keep the format real instruments'
// files share.
constexpr const char* kSimModelMarker = "sim_frontend.model";

// Writes the calibration set of the simulated front end into the system
// folder `dir` ("/vorna/data", mapped through the data root): for every
// calibration key one "cali_F_R.cal" of two 24-byte records, (0 -> 0) and
// (raw at full scale -> full scale in the display unit of the range row);
// then the model marker. Returns the number of calibration files written, or
// -1 when one could not be written.
int simWriteCalibrationSet(const std::string& dir);

// What `dir` holds: no calibration file, a set of this model, or one written
// for an older model (no marker, or a lower number in it); `model` gets the
// model it was written for (1 without a marker).
enum class SimSetAge { None, Current, Older };
SimSetAge simCalibrationSetAge(const std::string& dir, int* model = nullptr);

// A set without a marker may have come from a real instrument: before the
// simulator's set replaces it, its calibration files (every "*.cal") move
// into a new folder beside them, "<dir>/kept-cal-set" (".2", ".3", ... when
// taken), whose path `aside` gets; empty when the set is marked or there is
// none. False when they could not all be moved: nothing must then be written.
bool simKeepUnmarkedSet(const std::string& dir, std::string& aside);

// The warning a service on the simulator logs for the set in `dir`; empty
// when there is nothing to warn about.
std::string simCalibrationSetWarning(const std::string& dir);

} // namespace platform
