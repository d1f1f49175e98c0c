#pragma once

// Opens the measurement hardware, strictly one device after the other: the
// GPIO control device, the temperature chip, the front-end converter. Each is
// retried every 2 s for as long as it takes, with one error line per failure;
// nothing after it starts meanwhile. A stop signal during a pause ends the
// process. Then the beeper is switched on and sounds one test beep.
void connectDev();
