#pragma once

// On a host, the USBTMC transport runs only on the gadget stand-in, and only
// when DMM_USBTMC_STANDIN=1. installUsbStandIn puts the stand-in under the
// transport (before anything may start it) and lets a fake USB host attach
// through the UNIX socket at the node's host path ($DMM_ROOT/dev/usbtmc_dev).
// The I/O settings then start the transport on it with the USB switch.
// Without the variable it does nothing. True when it installed the stand-in.
bool installUsbStandIn();
