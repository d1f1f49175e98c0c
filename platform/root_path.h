#pragma once
#include <string>

namespace platform {

// The folder that stands for "/" of the instrument: $DMM_ROOT, or "/" when unset.
std::string dataRoot();

// Maps a path of the system ("/data/logs", "/vorna/data/...", "/dev/...") onto
// the host by putting the data root in front of it. Relative paths and an unset
// root leave the path unchanged. Every call into the OS with a system path goes
// through here; logic, replies and stored records keep the system's own paths.
std::string hostPath(const std::string& path);

} // namespace platform
