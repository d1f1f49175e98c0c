#pragma once
#include <string>

// The factory HTTP Basic authorization token of the web-control app, put back
// into the app's preference file. The file is edited in place of a stream
// editor: every line is kept as it is except the token's.
namespace WebPassword {

constexpr const char* kPrefsPath = "/data/data/com.vorna.webcontrol/shared_prefs/spUtils.xml";

// One line with every token element (from the opening tag to the last closing
// tag after it) replaced by the factory token.
std::string ResetLine(const std::string& line);

// Rewrites the file at a system path through a temporary file renamed over
// it, keeping owner and mode: 0; 0 as well when there is no file (nothing
// was stored); 44 when it cannot be read or replaced.
int Reset(const std::string& path = kPrefsPath);

} // namespace WebPassword
