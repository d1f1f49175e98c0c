#pragma once

// On a host, the USBTMC transport runs only on the gadget stand-in, and only
// when DMM_USBTMC_STANDIN=1. installUsbStandIn puts the stand-in under the
// transport (before anything may start it) and lets a fake USB host attach
// through the UNIX socket at the node's host path ($DMM_ROOT/dev/usbtmc_dev);
// startUsbStandIn then starts the transport on it. Without the variable
// neither does anything. Each returns true when it did its part.
bool installUsbStandIn();
bool startUsbStandIn();
