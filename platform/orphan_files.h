#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Removes the regular files of the folder `dir` (a system path) whose names
// `orphan` accepts, and returns the names removed. A missing folder removes
// nothing. Used at start-up for the temporary files of atomic writes that a
// power cut left behind: each writer knows its own naming.
std::vector<std::string> removeFilesIf(const std::string& dir,
                                       const std::function<bool(const std::string& name)>& orphan);

// The folder and file name parts of a path ("/a/b.ini": "/a", "b.ini").
std::pair<std::string, std::string> splitPath(const std::string& path);

} // namespace platform
