#pragma once
#include <string>

// The temporaries that whole-file writes (saves, copies) fill beside their
// target and rename over it once complete, and the trees that moves to
// another medium fill before renaming them into place: a cut-off write (a
// power cut, a kill) never leaves a part under the target's name.
//
// Their names, ".~dmm-temp.<run>.<serial>", are the service's own: short
// whatever the target's length (the file-name limit holds for any name the
// user may give), and of a form no user name may take, since the storage
// commands and the UI's file operations refuse every name that begins with
// the reserved prefix, in any case. A file or folder of that form may still
// come from elsewhere (copied from a PC): the start-up sweep removes only
// files of the runs the service has listed, never a folder and never a
// user's file. One that nothing writes any more is the user's to delete.
namespace temporary_file {

// Process ids lie below this (the kernel's own bound). An earlier build named
// its temporaries by process id, ".~dmm-temp.<pid>.<serial>"; a run lies
// above it, so that the two forms are told apart.
constexpr unsigned long long kPidBound = 1ULL << 22;

// This process's run, in every name it gives a temporary: drawn at random
// once, so that a name copied from elsewhere (another instrument, whose
// service has the same process id at every boot) is not taken for one of its
// own, with this process's id in its low bits, so that the process that may
// still be writing a temporary can be found.
unsigned long long run();

// The run in the temporary's name `name`; false when it is none.
bool runOf(const std::string& name, unsigned long long& run);

// `run` is the process id of an earlier build's temporary, not a run.
bool isPidForm(unsigned long long run);

// The temporary `name` (its prefix in any case, as a medium that ignores
// case sees it) may be being written: it is of this process's run, or the
// process that named it (by its id, or the id in its run) is a running copy
// of the service. Any other is a leftover that nothing writes any more; so
// is a reserved name the service never gives.
bool inUse(const std::string& name);

// Creates a new temporary file in the folder of the entry `name` of the
// folder `dir` (a descriptor, or AT_FDCWD with `name` a host path), under a
// name no other writer uses: several threads may write one target at once,
// and nothing already there is overwritten. Returns the descriptor and the
// temporary's name in `tmp` (relative to `dir` as `name` is); -1 when none
// can be made.
int create(int dir, const std::string& name, std::string& tmp);

// Makes a new empty folder of a temporary's name in the folder `dir`, for a
// tree filled before it is renamed into place; its name in `tmp`. False
// when none can be made.
bool createFolder(int dir, std::string& tmp);

// `name` is a temporary's name as create and createFolder make them.
bool isTemporary(const std::string& name);

// `name` begins with the reserved prefix (in any case): no name of the
// user's, since it could meet a temporary's on a medium that ignores case.
bool isReserved(const std::string& name);

// The target of a temporary that an earlier version named after it
// ("<target>.tmp.<pid>.<serial>"); empty when `name` is none. Only for the
// service's own folders: a user may give any name that form.
std::string legacyTargetOf(const std::string& name);

} // namespace temporary_file
