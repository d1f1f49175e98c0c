#pragma once

// The boot counter of start-up. Every start raises the system property
// "sys.vorna.copperwren.boot_flag"; the fourth start in a row that nobody
// acknowledged (a party outside the service sets the property back to 0 after
// a good boot) deletes the settings mirror, so that settings which keep the
// service from coming up are discarded, and the count starts again at 1.
// An unset or non-numeric property counts as 0.
void bootCheck();

// The property that holds the count.
constexpr const char* kBootFlagProperty = "sys.vorna.copperwren.boot_flag";
// The start at which the mirror is deleted.
constexpr int kBootCountLimit = 4;
