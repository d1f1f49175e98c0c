#pragma once
#include <string>

// The temporary files that whole-file writes (saves, copies) fill beside
// their target and rename over it once complete, so that a cut-off write
// (a power cut, a kill) never leaves a part of a file under the target's
// name. Their names, "<target>.tmp.<pid>.<serial>", are what the start-up
// sweep recognises and removes.
namespace temporary_file {

// Creates a new temporary beside the entry `name` of the folder `dir` (a
// descriptor, or AT_FDCWD with `name` a host path), under a name no other
// writer uses: several threads may write one target at once, and a file of
// the user's that happens to bear such a name is never overwritten. Returns
// the descriptor and the temporary's name in `tmp` (relative to `dir` as
// `name` is); -1 when none can be made.
int create(int dir, const std::string& name, std::string& tmp);

// The target's name of a temporary's name; empty when `name` is none.
std::string targetOf(const std::string& name);

} // namespace temporary_file
