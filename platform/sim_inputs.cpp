#include "sim_inputs.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace platform {

namespace {

struct NumberInput {
    const char* name;
    double SimInputs::*field;
};

constexpr NumberInput kNumbers[] = {
    {"dc_volts", &SimInputs::dcVolts},       {"ac_volts", &SimInputs::acVolts},
    {"frequency", &SimInputs::frequency},    {"dc_amps", &SimInputs::dcAmps},
    {"ac_amps", &SimInputs::acAmps},         {"ohms", &SimInputs::ohms},
    {"lead_ohms", &SimInputs::leadOhms},     {"farads", &SimInputs::farads},
    {"diode_volts", &SimInputs::diodeVolts}, {"cold_junction_celsius", &SimInputs::coldJunctionCelsius},
    {"noise", &SimInputs::noise},
};

bool parseNumber(const std::string& text, double& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        return false;
    }
    out = value;
    return true;
}

} // namespace

SimInputResult setSimInput(SimInputs& inputs, const std::string& name, const std::string& value) {
    for (const NumberInput& number : kNumbers) {
        if (name == number.name) {
            return parseNumber(value, inputs.*number.field) ? SimInputResult::Ok : SimInputResult::BadValue;
        }
    }
    if (name == "open") {
        if (value != "true" && value != "false") {
            return SimInputResult::BadValue;
        }
        inputs.open = value == "true";
        return SimInputResult::Ok;
    }
    if (name == "seed") {
        char* end = nullptr;
        errno = 0;
        unsigned long long seed = std::strtoull(value.c_str(), &end, 10);
        if (value.empty() || value[0] == '-' || *end != '\0' || errno == ERANGE) {
            return SimInputResult::BadValue;
        }
        inputs.seed = seed;
        return SimInputResult::Ok;
    }
    return SimInputResult::UnknownName;
}

} // namespace platform
