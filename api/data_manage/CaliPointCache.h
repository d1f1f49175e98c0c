#pragma once
// The rule by which a calibration point joins the known ones: a point whose
// function, range and target (compared exactly) are known gives that point
// its raw value, which keeps its place; any other is appended to the list of
// its key. A file holds up to some 170,000 points of one key, so finding the
// known point must not walk the list: each key's points are indexed on first
// use, and adding a point costs constant time on average.

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "CaliFiles.h"
#include "EngineTypes.h"
#include "KeyedHash.h"

// What makes two points the same point.
struct CaliPointId {
    uint32_t u32Func;
    uint32_t u32Range;
    double f64Target;
    bool operator==(const CaliPointId& o) const {
        return u32Func == o.u32Func && u32Range == o.u32Range && f64Target == o.f64Target;
    }
};

// Keyed per start: the targets come from files, and a fixed function would
// let a file hold targets that all share one bucket, each new one then
// walking all the others.
struct CaliPointIdHash {
    size_t operator()(const CaliPointId& id) const noexcept {
        // -0.0 equals 0.0 and must land in the same bucket.
        const double target = id.f64Target == 0.0 ? 0.0 : id.f64Target;
        uint64_t bits;
        std::memcpy(&bits, &target, sizeof bits);
        return static_cast<size_t>(keyed_hash::hash(bits, uint64_t(id.u32Func) << 32 | id.u32Range));
    }
};

// Adds points to a map of key -> point list that it does not own. `Equal`
// compares two identities (a test counts the comparisons through it).
template <typename Equal = std::equal_to<CaliPointId>>
class CaliPointCache {
public:
    using PointMap = std::map<uint32_t, std::vector<structCaliPoint>>;

    explicit CaliPointCache(PointMap& points) : m_points(points) {}

    void add(const structCaliPoint& p) {
        const uint32_t key = cali::caliKey(p.u32Func, p.u32Range);
        std::vector<structCaliPoint>& list = m_points[key];
        if (m_indexed.insert(key).second) {
            for (size_t i = 0; i < list.size(); ++i) remember(list[i], i);
        }
        auto known = m_where.find(idOf(p));
        if (known != m_where.end()) {
            list[known->second].f64Point = p.f64Point;
            return;
        }
        list.push_back(p);
        remember(p, list.size() - 1);
    }

private:
    static CaliPointId idOf(const structCaliPoint& p) { return {p.u32Func, p.u32Range, p.f64Target}; }

    // The first of equal points is the one found. A target that is no number
    // equals nothing, not even itself: such a point is never found again.
    void remember(const structCaliPoint& p, size_t at) {
        if (p.f64Target == p.f64Target) m_where.emplace(idOf(p), at);
    }

    PointMap& m_points;
    // Position in its key's list of every indexed point.
    std::unordered_map<CaliPointId, size_t, CaliPointIdHash, Equal> m_where;
    std::unordered_set<uint32_t> m_indexed;
};
