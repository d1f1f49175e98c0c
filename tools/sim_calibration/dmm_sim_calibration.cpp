// dmm-sim-calibration DATA_ROOT: gives a host installation the calibration set
// of its simulated front end, so that readings equal the simulated inputs.
// The service never writes these files itself; scripts/run calls this when
// DATA_ROOT/vorna/data holds no calibration file.
#include <cstdio>
#include <cstdlib>

#include "platform/sim_calibration_set.h"

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: dmm-sim-calibration DATA_ROOT\n");
        return 2;
    }
    // Every path reaches the OS through the data root.
    setenv("DMM_ROOT", argv[1], 1);
    int files = platform::simWriteCalibrationSet("/vorna/data");
    if (files < 0) {
        std::perror("dmm-sim-calibration: cannot write the calibration set");
        return 1;
    }
    std::printf("dmm-sim-calibration: %d calibration files in %s/vorna/data\n", files, argv[1]);
    return 0;
}
