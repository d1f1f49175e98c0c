#include "sim_calibration_set.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "root_path.h"
#include "sim_frontend_scale.h"

namespace platform {

namespace {

// One calibration point as the files hold it: u32 function, u32 range,
// f64 raw value, f64 target; little-endian, 24 bytes.
void putRecord(uint8_t* out, uint32_t func, uint32_t range, double point, double target) {
    std::memcpy(out, &func, 4);
    std::memcpy(out + 4, &range, 4);
    std::memcpy(out + 8, &point, 8);
    std::memcpy(out + 16, &target, 8);
}

void makeFolders(const std::string& hostDir) {
    for (size_t slash = hostDir.find('/', 1); ; slash = hostDir.find('/', slash + 1)) {
        ::mkdir(hostDir.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) break;
    }
}

std::string markerPath(const std::string& dir) {
    return hostPath(dir + "/" + kSimModelMarker);
}

// The marker goes last: a set cut short by a failure keeps the older model
// (or none) and is written again.
bool writeMarker(const std::string& dir) {
    FILE* file = std::fopen(markerPath(dir).c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fprintf(file, "%d\n", kSimFrontEndModel) > 0;
    return std::fclose(file) == 0 && ok;
}

// The model in the marker; 1 (the model before markers) when there is none or
// it holds no number.
int markedModel(const std::string& dir) {
    FILE* file = std::fopen(markerPath(dir).c_str(), "r");
    if (file == nullptr) {
        return 1;
    }
    int model = 1;
    if (std::fscanf(file, "%d", &model) != 1) {
        model = 1;
    }
    std::fclose(file);
    return model;
}

std::vector<std::string> calibrationFiles(const std::string& dir) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(hostPath(dir).c_str());
    if (folder == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const size_t n = std::strlen(entry->d_name);
        if (n > 4 && std::strcmp(entry->d_name + n - 4, ".cal") == 0) {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(folder);
    return names;
}

bool holdsCalibrationFile(const std::string& dir) {
    return !calibrationFiles(dir).empty();
}

// A new folder "<dir>/kept-cal-set", or the first of ".2", ".3", ... not taken.
bool makeAsideFolder(const std::string& dir, std::string& aside) {
    for (int n = 1; n < 1000; ++n) {
        aside = dir + "/kept-cal-set" + (n == 1 ? "" : "." + std::to_string(n));
        if (::mkdir(hostPath(aside).c_str(), 0755) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    aside.clear();
    return false;
}

} // namespace

int simWriteCalibrationSet(const std::string& dir) {
    makeFolders(hostPath(dir));
    int written = 0;
    for (const SimKeyScale& key : simCalibrationKeys()) {
        char path[512];
        std::snprintf(path, sizeof(path), "%s/cali_%d_%d.cal", dir.c_str(), key.func, key.range);
        uint8_t records[48];
        putRecord(records, key.func, key.range, 0.0, 0.0);
        putRecord(records + 24, key.func, key.range, key.rawAtFullScale, key.fullScale);
        FILE* file = std::fopen(hostPath(path).c_str(), "wb");
        if (file == nullptr) {
            return -1;
        }
        bool ok = std::fwrite(records, sizeof(records), 1, file) == 1;
        ok = std::fclose(file) == 0 && ok;
        if (!ok) {
            return -1;
        }
        ++written;
    }
    return writeMarker(dir) ? written : -1;
}

SimSetAge simCalibrationSetAge(const std::string& dir, int* model) {
    const int marked = markedModel(dir);
    if (model != nullptr) {
        *model = marked;
    }
    if (!holdsCalibrationFile(dir)) {
        return SimSetAge::None;
    }
    return marked < kSimFrontEndModel ? SimSetAge::Older : SimSetAge::Current;
}

bool simKeepUnmarkedSet(const std::string& dir, std::string& aside) {
    aside.clear();
    struct stat st;
    const std::vector<std::string> names = calibrationFiles(dir);
    if (names.empty() || ::stat(markerPath(dir).c_str(), &st) == 0) {
        return true;
    }
    if (!makeAsideFolder(dir, aside)) {
        return false;
    }
    for (const std::string& name : names) {
        if (::rename(hostPath(dir + "/" + name).c_str(), hostPath(aside + "/" + name).c_str()) != 0) {
            return false;
        }
    }
    return true;
}

std::string simCalibrationSetWarning(const std::string& dir) {
    int model = 0;
    if (simCalibrationSetAge(dir, &model) != SimSetAge::Older) {
        return {};
    }
    char text[384];
    std::snprintf(text, sizeof(text),
                  "simulated calibration set in %s was written for front-end model %d, the simulator is model %d: "
                  "readings are wrong (1 mF and 10 mF ranges 100 times high); write it again with dmm-sim-calibration",
                  dir.c_str(), model, kSimFrontEndModel);
    return text;
}

} // namespace platform
