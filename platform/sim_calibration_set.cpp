#include "sim_calibration_set.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

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
    return written;
}

} // namespace platform
