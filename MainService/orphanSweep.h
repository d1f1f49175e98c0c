#pragma once

// Start-up's first look at the service's own files: a power cut during an
// atomic write leaves the write's temporary file beside its target (the
// settings mirror, the product-identity ini file, the system properties).
// These are removed, each with a warning, before anything is read.
void orphanSweep();
