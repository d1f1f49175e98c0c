// CDataManage: calibration points, the segment tables built from them and
// their application to raw samples.
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CDataManage.h"
#include "CaliFiles.h"
#include "Util/logger.h"
#include "bounded_file.h"
#include "root_path.h"

using namespace cali;

namespace {

uint32_t u32At(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

double f64At(const unsigned char* p) {
    uint64_t bits = uint64_t(u32At(p)) | uint64_t(u32At(p + 4)) << 32;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

const char* entryName(const std::string& path) { return path.c_str() + path.rfind('/') + 1; }

// The whole content of a file of the calibration folder; empty after logging
// why when it cannot be read, or is refused (no regular file, or larger than
// any calibration can be), which counts as a file that cannot be opened.
std::string readCaliBytes(const std::string& path, const char* kind) {
    std::string bytes;
    std::string why;
    if (platform::readBoundedFile(platform::hostPath(path), platform::kCalibrationFileMax, bytes, &why) !=
        platform::FileRead::Ok) {
        PrintE("Open %s failed: %s", entryName(path), why.c_str());
        return "";
    }
    PrintI("read %s file: %s", kind, path.c_str());
    return bytes;
}

bool endsWith(const char* name, const char* suffix) {
    size_t n = std::strlen(name);
    return n >= 4 && std::strcmp(name + n - 4, suffix) == 0;
}

// Calls `each` for every whole record; a trailing partial one is ignored.
template <typename Each>
void forRecords(const std::string& bytes, size_t size, Each each) {
    for (size_t at = 0; at + size <= bytes.size(); at += size) {
        each(reinterpret_cast<const unsigned char*>(bytes.data() + at));
    }
}

bool comp(const structCaliPoint& a, const structCaliPoint& b) {
    if (a.u32Func != b.u32Func) return a.u32Func < b.u32Func;
    if (a.u32Range != b.u32Range) return a.u32Range < b.u32Range;
    return a.f64Target < b.f64Target;
}

} // namespace

void CDataManage::cachePoint(CaliPointCache<>& points, const structCaliPoint& p) {
    PrintI("CACHE key=%d, func=%d, range=%d, point=%lf, target=%lf\n", caliKey(p.u32Func, p.u32Range), p.u32Func,
           p.u32Range, p.f64Point, p.f64Target);
    points.add(p);
}

void CDataManage::DM_CacheCaliPoint(uint32_t func, uint32_t range, double point, double target) {
    std::lock_guard<std::mutex> lock(m_caliMtx);
    CaliPointCache<> points(m_CaliPointMap);
    cachePoint(points, {func, range, point, target});
}

void CDataManage::readCaliFile(const std::string& path, CaliPointCache<>& points) {
    forRecords(readCaliBytes(path, "cali"), kPointRecord, [&](const unsigned char* r) {
        cachePoint(points, {u32At(r), u32At(r + 4), f64At(r + 8), f64At(r + 16)});
    });
}

void CDataManage::readAccFile(const std::string& path) {
    forRecords(readCaliBytes(path, "acc"), kAccRecord, [&](const unsigned char* r) {
        const uint32_t func = u32At(r), range = u32At(r + 4), acc = u32At(r + 8);
        if (acc > kAccMax) {
            PrintE("skip acc func=%d, range=%d, acc=%u: above %u", func, range, acc, kAccMax);
            return;
        }
        m_frontEnd->setAcc(func, range, acc);
        PrintI("SET ACC func=%d, range=%d, acc=%d", func, range, acc);
    });
}

bool CDataManage::DM_CalInit() {
    std::lock_guard<std::mutex> lock(m_caliMtx);
    std::map<uint32_t, std::vector<structCaliPoint>> points;
    CaliPointCache<> cache(points);
    struct dirent** entries = nullptr;
    // Byte order of the names: "cali.cal" comes before every per-key file.
    int n = ::scandir(platform::hostPath(kCaliDir).c_str(), &entries, nullptr, alphasort);
    for (int i = 0; i < n; ++i) {
        const char* name = entries[i]->d_name;
        const std::string path = std::string(kCaliDir) + "/" + name;
        if (endsWith(name, ".cal")) {
            readCaliFile(path, cache);
        } else if (endsWith(name, ".acc")) {
            readAccFile(path);
        }
        std::free(entries[i]);
    }
    std::free(entries);

    auto tables = std::make_shared<CaliDataMap>();
    for (const auto& [key, list] : points) (*tables)[key] = buildSegments(list);
    m_CaliPointMap = std::move(points);
    return swapCaliData(std::move(tables));
}

std::vector<structCaliData> CDataManage::buildSegments(std::vector<structCaliPoint> points) {
    std::sort(points.begin(), points.end(), comp);
    std::vector<structCaliData> segments;
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        const structCaliPoint& a = points[i];
        const structCaliPoint& b = points[i + 1];
        const double gain = (b.f64Target - a.f64Target) / (b.f64Point - a.f64Point);
        const double offset = b.f64Target - b.f64Point * gain;
        if (!std::isfinite(gain) || !std::isfinite(offset)) {
            // Equal raw values (or values that are no numbers) give no slope.
            PrintE("skip cal data [%d, %d, %lf~%lf]: raw %lf and %lf give no gain", a.u32Func, a.u32Range,
                   a.f64Target, b.f64Target, a.f64Point, b.f64Point);
            continue;
        }
        segments.push_back({a.f64Point, b.f64Point, gain, offset});
        PrintI("load cal data [%d, %d, %lf~%lf], gain=%lf, offset=%lf", a.u32Func, a.u32Range, a.f64Target,
               b.f64Target, gain, offset);
    }
    return segments;
}

bool CDataManage::DM_LoadCaliData(uint32_t key, std::vector<structCaliPoint> points) {
    std::lock_guard<std::mutex> lock(m_caliMtx);
    auto tables = std::make_shared<CaliDataMap>(*caliData());
    (*tables)[key] = buildSegments(std::move(points));
    return swapCaliData(std::move(tables));
}

bool CDataManage::DM_RemoveCaliData(const std::vector<uint32_t>& keys) {
    std::lock_guard<std::mutex> lock(m_caliMtx);
    auto tables = std::make_shared<CaliDataMap>(*caliData());
    for (uint32_t key : keys) {
        tables->erase(key);
        m_CaliPointMap.erase(key);
    }
    return swapCaliData(std::move(tables));
}

bool CDataManage::swapCaliData(std::shared_ptr<const CaliDataMap> next) {
    std::lock_guard<std::mutex> lock(m_caliDataMtx);
    // Every key reads the same only with the same keys (one without segments
    // passes raw values through, a missing one reads 0) and the same segments.
    const bool changed = !m_caliDataMap || *m_caliDataMap != *next;
    m_caliDataMap.swap(next);
    // The old table goes when its last reader lets go of it.
    return changed;
}

std::shared_ptr<const CDataManage::CaliDataMap> CDataManage::caliData() const {
    std::lock_guard<std::mutex> lock(m_caliDataMtx);
    return m_caliDataMap;
}

std::map<uint32_t, std::vector<structCaliPoint>> CDataManage::caliPoints() const {
    std::lock_guard<std::mutex> lock(m_caliMtx);
    return m_CaliPointMap;
}

bool CDataManage::DM_CalData(uint32_t func, uint32_t range, int64_t raw, double& out) {
    const double x = static_cast<double>(raw);
    const std::shared_ptr<const CaliDataMap> tables = caliData();
    auto it = tables->find(caliKey(func, range));
    if (it == tables->end()) return true;
    const std::vector<structCaliData>& segments = it->second;
    if (segments.empty()) {
        out = x;
        return true;
    }
    const structCaliData* chosen = &segments.back();
    if (x < segments.front().f64PointMin) {
        chosen = &segments.front();
    } else {
        for (const structCaliData& s : segments) {
            if (s.f64PointMin <= x && x <= s.f64PointMax) {
                chosen = &s;
                break;
            }
        }
    }
    out = chosen->f64Offset + chosen->f64Gain * x;
    return true;
}
