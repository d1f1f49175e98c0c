#include "SensorCurve.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace {

// Lowest valid custom value by unit; any unit's highest is 3000.
const std::map<std::string, double> mapSenUnittoMin = {
    {"\u2103", -273.15}, {"\u2109", -459.67}, {"K", 0.0}, {"%", 0.0}};
constexpr double kUnknownUnitMin = -3000.0;
constexpr double kCustomMax = 3000.0;

uint32_t segmentStarts(const structSensorProjLeast& r) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < r.u32TotalPoint; ++i) n += r.REFPoint[i].bSegSign ? 1 : 0;
    return n;
}

void keepFirstAStart(structSensorProjLeast& r) {
    if (r.u32TotalPoint > 0 && !r.REFPoint[0].bSegSign) {
        r.REFPoint[0].bSegSign = true;
        r.REFPoint[0].u8MathSign = 0;
    }
}

// Checks the point at `pos` and sorts the table by x.
int InputCheck(structSensorProjLeast& r, uint32_t pos) {
    structPos& p = r.REFPoint[pos];
    if (r.u32TotalPoint == 1 || (r.REFPoint[0].f64XValue > p.f64XValue && !p.bSegSign)) {
        p.bSegSign = true;
    }
    if (segmentStarts(r) > kSensorMaxSegments) return 57;
    for (uint32_t i = 0; i < r.u32TotalPoint; ++i) {
        if (i != pos && r.REFPoint[i].f64XValue == p.f64XValue) return 55;
    }
    std::stable_sort(r.REFPoint, r.REFPoint + r.u32TotalPoint,
                     [](const structPos& a, const structPos& b) { return a.f64XValue < b.f64XValue; });
    keepFirstAStart(r);
    r.u32TotalSegment = segmentStarts(r);
    return 0;
}

double lineThrough(const structSensorProjLeast& r, uint32_t i, uint32_t j, double value) {
    const structPos& a = r.REFPoint[i];
    const structPos& b = r.REFPoint[j];
    return a.f64YValue + (value - a.f64XValue) * (b.f64YValue - a.f64YValue) / (b.f64XValue - a.f64XValue);
}

// First point of piece j of a segment: the last piece of a segment whose
// length is no multiple of 4 ends on the segment's last point.
uint32_t pieceStart(const structSegProperty& seg, uint32_t j) {
    const uint32_t n = seg.u32EndPoi - seg.u32BeginPoi;
    if (j + 1 == seg.u32LittleSegNum && n % 4 != 0) return seg.u32EndPoi - 4;
    return seg.u32BeginPoi + 4 * j;
}

double SEN_LineCurve(const structSensorProjLeast& r, double value, uint32_t k) {
    const uint32_t last = r.u32TotalPoint - 1;
    if (value <= r.REFPoint[0].f64XValue) return lineThrough(r, 0, 1, value);
    if (value >= r.REFPoint[last].f64XValue) return lineThrough(r, last - 1, last, value);
    const structSegProperty& seg = r.stSegProperty[k];
    uint32_t i = seg.u32BeginPoi + 1;
    while (i < seg.u32EndPoi && r.REFPoint[i].f64XValue < value) ++i;
    return lineThrough(r, i - 1, i, value);
}

double SEN_leastCurve(const structSensorProjLeast& r, double value, uint32_t k) {
    const structSegProperty& seg = r.stSegProperty[k];
    if (seg.u32LittleSegNum == 0) return SEN_LineCurve(r, value, k);
    uint32_t j = 0;
    while (j + 1 < seg.u32LittleSegNum) {
        const uint32_t next = seg.u32BeginPoi + 4 * (j + 1);
        if (next >= seg.u32EndPoi || r.REFPoint[next].f64XValue >= value) break;
        ++j;
    }
    const uint32_t b = pieceStart(seg, j);
    double mean = 0;
    for (uint32_t i = b; i < b + 5; ++i) mean += r.REFPoint[i].f64XValue / 5;
    const double* a = r.SegPara + seg.u32ParaPos + kSensorParaPerPiece * j;
    const double d = value - mean;
    return a[0] + d * (a[1] + d * (a[2] + d * (a[3] + d * (a[4] + d * a[5]))));
}

double segmentValue(const structSensorProjLeast& r, double value, uint32_t k) {
    return r.stSegProperty[k].u8MathSign == 1 ? SEN_leastCurve(r, value, k) : SEN_LineCurve(r, value, k);
}

} // namespace

int SEN_AddPoint(structSensorProjLeast& r, int index, const structPos& point) {
    if (index == 0 && !point.bSegSign) return 55;
    if (index < -1 || (index >= 0 && static_cast<uint32_t>(index) >= r.u32TotalPoint)) return 58;
    if (index == -1 && r.u32TotalPoint >= kSensorMaxPoints) return 57;
    // Work on a copy: a refused point leaves the table untouched.
    structSensorProjLeast next = r;
    uint32_t pos = static_cast<uint32_t>(index);
    if (index == -1) pos = next.u32TotalPoint++;
    next.REFPoint[pos] = point;
    const int result = InputCheck(next, pos);
    if (result == 0) r = next;
    return result;
}

int SEN_DelPoint(structSensorProjLeast& r, int index) {
    if (index < 0 || static_cast<uint32_t>(index) >= r.u32TotalPoint) return 58;
    std::copy(r.REFPoint + index + 1, r.REFPoint + r.u32TotalPoint, r.REFPoint + index);
    --r.u32TotalPoint;
    if (index == 0) keepFirstAStart(r);
    return 0;
}

uint8_t GetSegPoint(structSensorProjLeast& r) {
    if (r.u32TotalPoint < 2) {
        r.u32TotalSegment = 1;
        return 4;
    }
    for (uint32_t i = 1; i < r.u32TotalPoint; ++i) {
        // Equal or falling x would divide by zero or find no segment.
        if (!(r.REFPoint[i].f64XValue > r.REFPoint[i - 1].f64XValue)) return 0;
    }
    uint32_t count = 0;
    uint32_t start = 0;
    auto close = [&](uint32_t end) {
        if (count < kSensorMaxSegments) {
            structSegProperty& seg = r.stSegProperty[count];
            seg = structSegProperty{};
            seg.u8MathSign = r.REFPoint[start].u8MathSign == 1 ? 1 : 0;
            seg.u32BeginPoi = start;
            seg.u32EndPoi = end;
        }
        ++count;
    };
    const uint32_t last = r.u32TotalPoint - 1;
    for (uint32_t i = 1; i <= last; ++i) {
        if (r.REFPoint[i].bSegSign) {
            close(i - 1);
            start = i;
        }
        if (i == last) close(last);
    }
    if (count > kSensorMaxSegments) return 0;
    r.u32TotalSegment = count;
    for (uint32_t k = 0; k < count; ++k) {
        const structSegProperty& seg = r.stSegProperty[k];
        const uint32_t need = seg.u8MathSign == 1 ? 4 : 1;
        if (seg.u32EndPoi - seg.u32BeginPoi < need) return static_cast<uint8_t>(std::min<uint32_t>(k + 1, 254));
    }
    return 255;
}

bool SEN_FitSegments(structSensorProjLeast& r) {
    uint32_t pos = 0;
    for (uint32_t k = 0; k < r.u32TotalSegment; ++k) {
        structSegProperty& seg = r.stSegProperty[k];
        if (seg.u8MathSign != 1) continue;
        const uint32_t n = seg.u32EndPoi - seg.u32BeginPoi;
        seg.u32LittleSegNum = (n + 3) / 4;
        seg.u32ParaPos = pos;
        if (pos + kSensorParaPerPiece * seg.u32LittleSegNum > kSensorMaxParas) return false;
        for (uint32_t j = 0; j < seg.u32LittleSegNum; ++j) {
            double x[5], y[5], dt[3];
            const uint32_t b = pieceStart(seg, j);
            for (int i = 0; i < 5; ++i) {
                x[i] = r.REFPoint[b + i].f64XValue;
                y[i] = r.REFPoint[b + i].f64YValue;
            }
            FitCurves(x, y, 5, r.SegPara + pos + kSensorParaPerPiece * j, kSensorParaPerPiece, dt);
        }
        pos += kSensorParaPerPiece * seg.u32LittleSegNum;
    }
    return true;
}

void FitCurves(const double* x, const double* y, int n, double* a, int m, double dt[3]) {
    std::fill(a, a + m, 0.0);
    const int terms = std::min({n, m, 20});
    double mean = 0;
    for (int i = 0; i < n; ++i) mean += x[i] / n;
    std::vector<double> z(n), prev(n, 0.0), cur(n, 1.0);
    for (int i = 0; i < n; ++i) z[i] = x[i] - mean;
    // Power coefficients in z of the previous and current orthogonal polynomial.
    std::vector<double> cPrev(m, 0.0), cCur(m, 0.0);
    cCur[0] = 1.0;
    double normPrev = 1.0;
    for (int j = 0; j < terms; ++j) {
        double norm = 0, zNorm = 0, yDot = 0;
        for (int i = 0; i < n; ++i) {
            norm += cur[i] * cur[i];
            zNorm += z[i] * cur[i] * cur[i];
            yDot += y[i] * cur[i];
        }
        if (norm == 0) break;  // the points do not span this degree
        const double w = yDot / norm;
        for (int k = 0; k < m; ++k) a[k] += w * cCur[k];
        const double alpha = zNorm / norm;
        const double beta = j == 0 ? 0.0 : norm / normPrev;
        std::vector<double> cNext(m, 0.0), next(n);
        for (int k = 0; k < m; ++k) {
            cNext[k] = -alpha * cCur[k] - beta * cPrev[k] + (k > 0 ? cCur[k - 1] : 0.0);
        }
        for (int i = 0; i < n; ++i) next[i] = (z[i] - alpha) * cur[i] - beta * prev[i];
        cPrev.swap(cCur);
        cCur.swap(cNext);
        prev.swap(cur);
        cur.swap(next);
        normPrev = norm;
    }
    dt[0] = dt[1] = dt[2] = 0;
    for (int i = 0; i < n; ++i) {
        double fit = 0;
        for (int k = m - 1; k >= 0; --k) fit = fit * z[i] + a[k];
        const double e = y[i] - fit;
        dt[0] += e * e;
        dt[1] += std::fabs(e);
        dt[2] = std::max(dt[2], std::fabs(e));
    }
}

double SEN_CustomCurve(const structSensorProjLeast& r, double value) {
    if (r.u32TotalPoint == 0 || r.u32TotalSegment == 0) return 0.0;
    if (std::isnan(value) || r.u32TotalPoint < 2) return kSensorOverload;
    const uint32_t segs = std::min(r.u32TotalSegment, kSensorMaxSegments);
    const uint32_t last = r.u32TotalPoint - 1;
    for (uint32_t k = 0; k < segs; ++k) {
        const uint32_t b = r.stSegProperty[k].u32BeginPoi;
        const uint32_t e = r.stSegProperty[k].u32EndPoi;
        if (r.REFPoint[b].f64XValue <= value && value <= r.REFPoint[e].f64XValue) return segmentValue(r, value, k);
        if (k == 0 && value < r.REFPoint[b].f64XValue) return lineThrough(r, b, b + 1, value);
        if (k > 0 && value < r.REFPoint[b].f64XValue) {
            return lineThrough(r, r.stSegProperty[k - 1].u32EndPoi, b, value);
        }
        if (k + 1 == segs) return segs == 1 ? lineThrough(r, e - 1, e, value) : lineThrough(r, last - 1, last, value);
    }
    return kSensorOverload;
}

double SensRangeCheck(const structSensorProjLeast& r, double value) {
    auto it = mapSenUnittoMin.find(r.stProjProperty.charUnit);
    const double low = it == mapSenUnittoMin.end() ? kUnknownUnitMin : it->second;
    return (value < low || value > kCustomMax || std::isnan(value)) ? kSensorOverload : value;
}
