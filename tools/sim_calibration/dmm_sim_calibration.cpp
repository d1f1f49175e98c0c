// dmm-sim-calibration [--when-needed] DATA_ROOT: gives a host installation the
// calibration set of its simulated front end, so that readings equal the
// simulated inputs, and marks the set with the front end's model. The service
// never writes these files itself. With --when-needed (what scripts/run
// calls) a set of the current model is left alone; none, or one written for
// an older model, is written (again). A set without a marker, which may be a
// real instrument's, is first moved aside, and the tool says where. The data
// root must exist: its callers make it first.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sim_calibration_set.h"

namespace {

constexpr const char* kDir = "/vorna/data";
constexpr const char* kUsage = "usage: dmm-sim-calibration [--when-needed] DATA_ROOT\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int help() {
    std::fputs(kUsage, stdout);
    std::fputs("\n"
               "Writes the calibration set of the simulated front end into DATA_ROOT/vorna/data (one\n"
               "cali_F_R.cal per function and range), under which readings equal the simulated inputs, and\n"
               "marks it with the front end's model (sim_frontend.model). DATA_ROOT must exist already.\n"
               "\n"
               "  --when-needed  leave a set of the current model alone; write one where there is none or\n"
               "                 one of an older model, first moving a set without a marker (perhaps an\n"
               "                 instrument's) aside into kept-cal-set\n"
               "  --help, -h     print this and do nothing else\n",
               stdout);
    return 0;
}

// A root that is not there is a mistyped one: building the whole tree there
// would leave the intended root without its set and say nothing.
bool rootExists(const char* root) {
    struct stat st;
    if (::stat(root, &st) != 0) {
        std::fprintf(stderr, "dmm-sim-calibration: data root %s: %s\n", root, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "dmm-sim-calibration: data root %s: not a folder\n", root);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) return help();
    const bool whenNeeded = argc == 3 && std::strcmp(argv[1], "--when-needed") == 0;
    if (argc != 2 + (whenNeeded ? 1 : 0)) return usage();
    const char* root = argv[argc - 1];
    if (root[0] == '\0' || root[0] == '-') return usage();
    if (!rootExists(root)) return 1;
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
