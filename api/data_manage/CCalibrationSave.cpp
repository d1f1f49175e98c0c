// CDataManage: writing the calibration points and the converter's acc values
// to their files, and removing the point files. A file is replaced as a whole
// through a temporary beside it, so a power cut leaves the old table or the
// new one, never half of it.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "CDataManage.h"
#include "CaliFiles.h"
#include "DrvScpiErrDef.h"
#include "FileCore.h"
#include "Singelton.h"
#include "Util/logger.h"
#include "root_path.h"

using namespace cali;

namespace {

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void putF64(std::string& out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(out, static_cast<uint32_t>(bits));
    putU32(out, static_cast<uint32_t>(bits >> 32));
}

// Replaces the file's content. A file made anew gets mode 0700; one that
// was there keeps its mode.
bool replaceCaliFile(const std::string& path, const std::string& bytes) {
    const std::string host = platform::hostPath(path);
    struct stat st;
    const mode_t mode = ::stat(host.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0700;
    if (!Copperwren::Singleton<FileCore>::Instance()->FileSave(path, bytes.data(), static_cast<int>(bytes.size()),
                                                                false)) {
        return false;
    }
    ::chmod(host.c_str(), mode);
    return true;
}

// Two points with one raw value make a segment without a slope.
bool rawValuesDistinct(const std::vector<structCaliPoint>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
        for (size_t j = i + 1; j < list.size(); ++j) {
            if (list[i].f64Point == list[j].f64Point) {
                PrintE("cali points of func=%d, range=%d: targets %lf and %lf share raw value %lf", list[i].u32Func,
                       list[i].u32Range, list[i].f64Target, list[j].f64Target, list[i].f64Point);
                return false;
            }
        }
    }
    return true;
}

bool isPointFile(const char* name) {
    const size_t n = std::strlen(name);
    return n >= 4 && std::strcmp(name + n - 4, ".cal") == 0 && std::strcmp(name, "cali.cal") != 0;
}

} // namespace

int CDataManage::DM_SaveCaliPoint(bool all) {
    uint32_t func = 0, range = 0;
    const bool fixed = caliCurrentKey(func, range);
    if (!all && !fixed) return 55;
    const uint32_t current = caliKey(func, range);
    const std::map<uint32_t, std::vector<structCaliPoint>> points = caliPoints();
    // A table that could not be built is not saved, nor put in force: the
    // one in force stays, and the offending point can be taken again.
    for (const auto& [key, list] : points) {
        if ((all || key == current) && !rawValuesDistinct(list)) return E200_EXECUTION_ERROR;
    }
    for (const auto& [key, list] : points) {
        if (!all && key != current) continue;
        const std::string path = caliPointPath(key);
        std::string bytes;
        for (const structCaliPoint& p : list) {
            putU32(bytes, p.u32Func);
            putU32(bytes, p.u32Range);
            putF64(bytes, p.f64Point);
            putF64(bytes, p.f64Target);
        }
        if (!replaceCaliFile(path, bytes)) {
            PrintE("open cali data FAILED: %s", path.c_str());
            continue;
        }
        for (const structCaliPoint& p : list) {
            PrintI("write file=%s func=%d, range=%d, point=%lf, target=%lf\n", path.c_str(), p.u32Func, p.u32Range,
                   p.f64Point, p.f64Target);
        }
    }
    auto it = points.find(current);
    // A table saved as it was in force changes no reading.
    if (fixed && it != points.end() && DM_LoadCaliData(current, it->second)) calibrationChanged();
    return 0;
}

int CDataManage::DM_SaveCaliAcc() {
    std::map<uint32_t, uint32_t> accs;
    m_frontEnd->getAcc(accs);
    if (accs.empty()) return 0;
    std::string bytes;
    for (const auto& [key, acc] : accs) {
        putU32(bytes, key / 64);
        putU32(bytes, key % 64);
        putU32(bytes, acc);
    }
    const std::string path = std::string(kCaliDir) + "/cali.acc";
    if (!replaceCaliFile(path, bytes)) {
        PrintE("open ACC data FAILED: %s", path.c_str());
        return 44;
    }
    for (const auto& [key, acc] : accs) {
        PrintI("SAVE ACC func=%d, range=%d, acc=%d", static_cast<int>(key / 64), static_cast<int>(key % 64),
               static_cast<int>(acc));
    }
    return 0;
}

void CDataManage::removeCaliFiles() {
    struct dirent** entries = nullptr;
    const int n = ::scandir(platform::hostPath(kCaliDir).c_str(), &entries, nullptr, alphasort);
    for (int i = 0; i < n; ++i) {
        if (isPointFile(entries[i]->d_name)) {
            const std::string path = std::string(kCaliDir) + "/" + entries[i]->d_name;
            ::unlink(platform::hostPath(path).c_str());
            PrintI("remove cached data and file: %s", path.c_str());
        }
        std::free(entries[i]);
    }
    std::free(entries);
}
