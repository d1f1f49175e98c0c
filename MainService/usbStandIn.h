#pragma once

// On a host, the USBTMC transport runs only on the gadget stand-in, and only
// when DMM_USBTMC_STANDIN=1: then the stand-in is installed, a fake USB host
// attaches through the UNIX socket at the node's host path
// ($DMM_ROOT/dev/usbtmc_dev), and the transport is started. Otherwise
// nothing happens. True when the transport runs.
bool startUsbStandIn();
