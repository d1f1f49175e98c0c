#pragma once

// Start-up's first look at the files that writes cut off by a power cut or a
// kill left behind: the temporary file of an atomic write beside its target
// (the settings mirror, the product-identity ini file, the system properties,
// a user's save or copy). These are removed, each with a warning, before
// anything is read; in the storage roots nothing but the service's own
// temporary files is touched: those of the runs listed in kTemporaryRuns
// (TemporaryFile.h), which then lists this run first, and the latest earlier
// ones after it. No folder is removed, nor anything on a root with no list
// yet.
void orphanSweep();

// The runs whose temporaries a start removes, newest first, one a line.
constexpr const char* kTemporaryRuns = "/vorna/data/temporary_runs";
