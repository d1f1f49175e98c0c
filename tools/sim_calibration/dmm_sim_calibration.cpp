// dmm-sim-calibration [--when-needed] DATA_ROOT: gives a host installation the
// calibration set of its simulated front end, so that readings equal the
// simulated inputs, and marks the set with the front end's model. The service
// never writes these files itself. With --when-needed (what scripts/run
// calls) a set of the current model is left alone; none, or one written for
// an older model, is written (again). A set without a marker, which may be a
// real instrument's, is first moved aside, and the tool says where.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sim_calibration_set.h"

namespace {

constexpr const char* kDir = "/vorna/data";

int usage() {
    std::fprintf(stderr, "usage: dmm-sim-calibration [--when-needed] DATA_ROOT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const bool whenNeeded = argc == 3 && std::strcmp(argv[1], "--when-needed") == 0;
    if (argc != 2 + (whenNeeded ? 1 : 0)) return usage();
    const char* root = argv[argc - 1];
    if (root[0] == '\0' || root[0] == '-') return usage();
    // Every path reaches the OS through the data root.
    setenv("DMM_ROOT", root, 1);
    if (whenNeeded) {
        int model = 0;
        switch (platform::simCalibrationSetAge(kDir, &model)) {
        case platform::SimSetAge::Current:
            return 0;
        case platform::SimSetAge::Older: {
            std::string aside;
            if (!platform::simKeepUnmarkedSet(kDir, aside)) {
                std::perror("dmm-sim-calibration: cannot keep the unmarked calibration set aside");
                return 1;
            }
            if (!aside.empty()) {
                std::printf("dmm-sim-calibration: the calibration set in %s%s has no front-end marker (it may come "
                            "from an instrument): kept in %s%s, writing the simulator's set\n",
                            root, kDir, root, aside.c_str());
                break;
            }
            std::printf("dmm-sim-calibration: the calibration set in %s%s was written for front-end model %d, "
                        "the simulator is model %d: writing it again\n",
                        root, kDir, model, platform::kSimFrontEndModel);
            break;
        }
        case platform::SimSetAge::None:
            break;
        }
    }
    int files = platform::simWriteCalibrationSet(kDir);
    if (files < 0) {
        std::perror("dmm-sim-calibration: cannot write the calibration set");
        return 1;
    }
    std::printf("dmm-sim-calibration: %d calibration files in %s%s (front-end model %d)\n", files, root, kDir,
                platform::kSimFrontEndModel);
    return 0;
}
