#pragma once
#include <cstdint>
#include <string>

namespace platform {

// What is connected to the simulated instrument, in SI units. The same names
// are the lines of the settings file "<root>/sim/input.conf".
struct SimInputs {
    double dcVolts = 0;              // dc_volts
    double acVolts = 0;              // ac_volts (rms)
    double frequency = 0;            // frequency (Hz of the AC input)
    double dcAmps = 0;               // dc_amps
    double acAmps = 0;               // ac_amps (rms)
    double ohms = 0;                 // ohms
    double leadOhms = 0;             // lead_ohms (each lead)
    double farads = 0;               // farads
    double diodeVolts = 0;           // diode_volts
    double coldJunctionCelsius = 23.5;  // cold_junction_celsius
    bool open = false;               // open: every input open
    double noise = 0;                // noise, relative to full scale (0 = none)
    uint64_t seed = 0;               // seed of the noise
};

enum class SimInputResult { Ok, UnknownName, BadValue };

// Sets the input called `name` from its text ("1.5", "true").
SimInputResult setSimInput(SimInputs& inputs, const std::string& name, const std::string& value);

} // namespace platform
