#pragma once
#include <functional>
#include <string>

namespace platform {

// The inputs of the simulated instrument while the service runs, for people
// and whole-process tests:
// - "<root>/sim/input.conf": `name = value` lines (SimInputs names, SI units,
//   `#` comments), re-read within 200 ms of a change; names it does not know
//   are reported once through `log` (as trouble) and ignored, and every
//   read is noted there, numbered; a missing file or name reads
//   as the default (0, closed, 23.5 degrees).
// - "<root>/sim/ext_trigger": a FIFO created here; every byte written to it is
//   one edge of the external trigger input. Edges the input drops (too many
//   wait for a read) are reported through `log` as trouble, with their total,
//   at most once a second.
// Starts one thread on the first call; later calls do nothing.
void simStartServiceInputs(std::function<void(bool, const std::string&)> log);

// Applies settings text to the front end (the file's content); unknown names
// go to `unknown`, once each over the calls that share that set.
struct SimInputs;
SimInputs simParseInputText(const std::string& text, const std::function<void(const std::string&)>& unknown);

} // namespace platform
