// Tone curves: segmented, parametric and tabulated curves with their 16-bit
// tables, evaluation, reversal, joining and the curve queries.
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <memory>

struct ToneCurve {
    EngineContext* ctx;
    uint32_t segmentCount;
    CurveSegment* segments;                  // sampled segments own their samples
    ParametricCurveEvaluator* evaluators;    // per segment, null for sampled ones
    InterpParams** segmentInterp;            // per segment, null for parametric ones
    bool contiguous;                         // each segment starts where the one before ends
    uint32_t tableCount;
    uint16_t* table;
    InterpParams* interp;                    // 16-bit, over the table
};

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

constexpr double Tolerance = 1e-4;           // below this a parameter counts as zero
constexpr uint32_t DefaultTableEntries = 4096;

// ---------------------------------------------------------------------------
// The built-in parametric types
// ---------------------------------------------------------------------------

struct BuiltinType {
    int32_t type;
    uint32_t parameters;
};

constexpr BuiltinType BuiltinTypes[] = {{1, 1}, {2, 3}, {3, 4}, {4, 5}, {5, 7}, {6, 4}, {7, 5}, {8, 5}, {108, 1}, {109, 1}};

bool nearZero(double v)
{
    return std::fabs(v) < Tolerance;
}

// The scale that makes the logistic sigmoid of steepness s pass through 0 and 1.
double sigmoidScale(double s)
{
    return 0.5 / (1.0 / (1.0 + std::exp(-s)) - 0.5);
}

double forwardBuiltin(int32_t type, const double* P, double X)
{
    switch (type) {
    case 1:
        if (X < 0) return std::fabs(P[0] - 1.0) < Tolerance ? X : 0;
        if (P[0] == 1.0) return X;   // the identity, common in chains, without pow
        return std::pow(X, P[0]);
    case 2: {
        if (nearZero(P[1])) return 0;
        const double e = P[1] * X + P[2];
        return (X >= -P[2] / P[1] && e > 0) ? std::pow(e, P[0]) : 0;
    }
    case 3: {
        if (nearZero(P[1])) return 0;
        const double disc = std::max(0.0, -P[2] / P[1]);
        if (X < disc) return P[3];
        const double e = P[1] * X + P[2];
        return e > 0 ? std::pow(e, P[0]) + P[3] : 0;
    }
    case 4: {
        if (X < P[4]) return P[3] * X;
        const double e = P[1] * X + P[2];
        return e > 0 ? std::pow(e, P[0]) : 0;
    }
    case 5: {
        if (X < P[4]) return P[3] * X + P[6];
        const double e = P[1] * X + P[2];
        return e > 0 ? std::pow(e, P[0]) + P[5] : P[5];
    }
    case 6: {
        const double e = P[1] * X + P[2];
        if (P[0] == 1.0) return P[3] + e;
        if (e < 0) return P[3];
        return P[3] + std::pow(e, P[0]);
    }
    case 7: {
        const double t = P[2] * std::pow(X, P[0]) + P[3];
        if (t <= 0) return P[4];
        return P[1] * std::log10(t) + P[4];
    }
    case 8: return P[0] * std::pow(P[1], P[2] * X + P[3]) + P[4];
    case 108:
        if (nearZero(P[0])) return 0;
        return std::pow(1.0 - std::pow(1.0 - X, 1.0 / P[0]), 1.0 / P[0]);
    case 109: {
        if (P[0] == 0.0) return X;   // the limit of a vanishing steepness
        const double k = sigmoidScale(P[0]);
        return (1.0 / (1.0 + std::exp(-P[0] * (2.0 * X - 1.0))) - 0.5) * k + 0.5;
    }
    default: return 0;
    }
}

double inverseBuiltin(int32_t type, const double* P, double X)
{
    switch (type) {
    case 1:
        if (X < 0) return std::fabs(P[0] - 1.0) < Tolerance ? X : 0;
        if (nearZero(P[0])) return PlusInfinity;
        return std::pow(X, 1.0 / P[0]);
    case 2: {
        if (nearZero(P[0]) || nearZero(P[1]) || X < 0) return 0;
        const double r = (std::pow(X, 1.0 / P[0]) - P[2]) / P[1];
        return r < 0 ? 0 : r;
    }
    case 3: {
        if (nearZero(P[0]) || nearZero(P[1])) return 0;
        if (X < P[3]) return -P[2] / P[1];
        const double t = X - P[3];
        if (t <= 0) return 0;
        return (std::pow(t, 1.0 / P[0]) - P[2]) / P[1];
    }
    case 4: {
        const double e = P[1] * P[4] + P[2];
        const bool upper = e < 0 ? X >= 0 : X >= std::pow(e, P[0]);
        if (upper) {
            if (nearZero(P[0]) || nearZero(P[1])) return 0;
            return (std::pow(X, 1.0 / P[0]) - P[2]) / P[1];
        }
        return nearZero(P[3]) ? 0 : X / P[3];
    }
    case 5: {
        if (X >= P[3] * P[4] + P[6]) {
            const double t = X - P[5];
            if (t < 0) return 0;
            if (nearZero(P[0]) || nearZero(P[1])) return 0;
            return (std::pow(t, 1.0 / P[0]) - P[2]) / P[1];
        }
        return nearZero(P[3]) ? 0 : (X - P[6]) / P[3];
    }
    case 6: {
        if (nearZero(P[0]) || nearZero(P[1])) return 0;
        const double t = X - P[3];
        if (t < 0) return 0;
        return (std::pow(t, 1.0 / P[0]) - P[2]) / P[1];
    }
    case 7:
        if (nearZero(P[0]) || nearZero(P[1]) || nearZero(P[2])) return 0;
        return std::pow((std::pow(10.0, (X - P[4]) / P[1]) - P[3]) / P[2], 1.0 / P[0]);
    case 8:
        if (X - P[4] < 0) return 0;
        if (nearZero(P[0]) || nearZero(P[2])) return 0;
        return (std::log((X - P[4]) / P[0]) / std::log(P[1]) - P[3]) / P[2];
    case 108: return 1.0 - std::pow(1.0 - std::pow(X, P[0]), P[0]);
    case 109: {
        if (P[0] == 0.0) return X;
        const double k = sigmoidScale(P[0]);
        return (1.0 - std::log(1.0 / ((X - 0.5) / k + 0.5) - 1.0) / P[0]) * 0.5;
    }
    default: return 0;
    }
}

double evaluateBuiltin(int32_t type, const double params[10], double x)
{
    return type < 0 ? inverseBuiltin(-type, params, x) : forwardBuiltin(type, params, x);
}

struct ParametricType {
    ParametricCurveEvaluator evaluator;
    uint32_t parameters;
};

// Plug-in types of the context first (newest registration first), then the
// built-in ones; by absolute type number.
bool findParametricType(EngineContext* ctx, int32_t type, ParametricType* found)
{
    if (type == 0 || type == INT32_MIN) return false;
    const int32_t wanted = std::abs(type);
    for (const PluginBase* r = pluginChain(ctx, SlotParametricCurves); r; r = r->next) {
        auto* plugin = reinterpret_cast<const PluginParametricCurves*>(r);
        const uint32_t count = std::min(plugin->functionCount, MaxTypesInPlugin);
        for (uint32_t i = 0; i < count; ++i) {
            if (plugin->functionTypes[i] == wanted) {
                *found = {plugin->evaluator, std::min<uint32_t>(plugin->parameterCounts[i], 10)};
                return true;
            }
        }
    }
    for (const BuiltinType& b : BuiltinTypes) {
        if (b.type == wanted) {
            *found = {evaluateBuiltin, b.parameters};
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

// A curve with copies of the segments and a table of `entries` entries (the
// given values, or zeros), with all interpolation set up.
ToneCurve* allocateCurve(EngineContext* ctx, uint32_t entries, uint32_t segmentCount, const CurveSegment* segments,
                         const uint16_t* values)
{
    if (entries > MaxCurveEntries) {
        reportError(ctx, ErrRange, "Couldn't create tone curve of more than %u entries", MaxCurveEntries);
        return nullptr;
    }
    if (entries == 0 && segmentCount == 0) {
        reportError(ctx, ErrRange, "Couldn't create tone curve with zero segments and no table");
        return nullptr;
    }
    if (segmentCount > 0 && !segments) {
        reportError(ctx, ErrNull, "Couldn't create tone curve: no segments given");
        return nullptr;
    }

    CurvePtr curve(static_cast<ToneCurve*>(engineAllocZero(ctx, sizeof(ToneCurve))), &freeCurve);
    if (!curve) return nullptr;
    curve->ctx = ctx;

    if (segmentCount > 0) {
        curve->segments = static_cast<CurveSegment*>(engineAllocArray(ctx, segmentCount, sizeof(CurveSegment)));
        curve->evaluators = static_cast<ParametricCurveEvaluator*>(
            engineAllocArray(ctx, segmentCount, sizeof(ParametricCurveEvaluator)));
        curve->segmentInterp = static_cast<InterpParams**>(engineAllocArray(ctx, segmentCount, sizeof(InterpParams*)));
        if (!curve->segments || !curve->evaluators || !curve->segmentInterp) return nullptr;
        curve->segmentCount = segmentCount;   // from here freeCurve walks the (zeroed) segments

        for (uint32_t i = 0; i < segmentCount; ++i) {
            const CurveSegment& from = segments[i];
            CurveSegment& to = curve->segments[i];
            to = from;
            to.samples = nullptr;
            if (from.type == 0) {
                if (from.sampleCount == 0 || !from.samples) {
                    reportError(ctx, ErrRange, "Sampled curve segment %u has no points", i);
                    return nullptr;
                }
                to.samples = static_cast<float*>(engineAllocArray(ctx, from.sampleCount, sizeof(float)));
                if (!to.samples) return nullptr;
                std::memcpy(to.samples, from.samples, from.sampleCount * sizeof(float));
                curve->segmentInterp[i] =
                    newInterpParamsUniform(ctx, from.sampleCount, 1, 1, to.samples, InterpFlagFloat);
                if (!curve->segmentInterp[i]) return nullptr;
            } else {
                ParametricType found;
                if (!findParametricType(ctx, from.type, &found)) {
                    reportError(ctx, ErrUnknownExtension, "Invalid parametric curve type %d", from.type);
                    return nullptr;
                }
                to.sampleCount = 0;
                curve->evaluators[i] = found.evaluator;
            }
        }
        curve->contiguous = true;
        for (uint32_t i = 0; i < segmentCount; ++i) {
            const CurveSegment& s = curve->segments[i];
            if (!(s.x0 < s.x1) || (i + 1 < segmentCount && s.x1 != curve->segments[i + 1].x0))
                curve->contiguous = false;
        }
    }

    if (entries > 0) {
        curve->table = static_cast<uint16_t*>(engineAllocArray(ctx, entries, sizeof(uint16_t)));
        if (!curve->table) return nullptr;
        if (values) std::memcpy(curve->table, values, entries * sizeof(uint16_t));
        curve->tableCount = entries;
        curve->interp = newInterpParamsUniform(ctx, entries, 1, 1, curve->table, 0);
        if (!curve->interp) return nullptr;
    }
    return curve.release();
}

// The segment that holds x: the last one whose interval (x0, x1] does. Of
// contiguous segments only one can, found by bisection.
int64_t segmentAt(const ToneCurve* c, double x)
{
    const CurveSegment* s = c->segments;
    if (c->contiguous) {
        uint32_t lo = 0, hi = c->segmentCount;
        while (lo < hi) {
            const uint32_t mid = (lo + hi) / 2;
            if (x <= s[mid].x1) hi = mid;
            else lo = mid + 1;
        }
        return lo < c->segmentCount && x > s[lo].x0 ? int64_t(lo) : -1;
    }
    for (uint32_t n = c->segmentCount; n > 0; --n)
        if (x > s[n - 1].x0 && x <= s[n - 1].x1) return int64_t(n - 1);
    return -1;
}

// Float evaluation over the segments.
double evalSegments(const ToneCurve* c, double x)
{
    const int64_t at = segmentAt(c, x);
    if (at >= 0) {
        const uint32_t i = uint32_t(at);
        const CurveSegment& s = c->segments[i];
        double out;
        if (s.type == 0) {
            const float t = float((x - s.x0) / (double(s.x1) - s.x0));
            float y;
            c->segmentInterp[i]->routine.lerpFloat(&t, &y, c->segmentInterp[i]);
            out = y;
        } else {
            out = c->evaluators[i](s.type, s.params, x);
        }
        return std::isinf(out) ? double(PlusInfinity) : out;
    }
    return MinusInfinity;
}

// The ramp value of entry i of an n-entry identity table.
int32_t rampValue(uint32_t i, uint32_t n)
{
    return quickSaturateWord(double(i) * 65535.0 / double(n - 1));
}

bool tableIsLinear(const uint16_t* table, uint32_t n)
{
    if (n < 2) return false;   // a single entry is a constant, not the identity
    for (uint32_t i = 0; i < n; ++i) {
        if (std::abs(int32_t(table[i]) - rampValue(i, n)) > 15) return false;
    }
    return true;
}

// The 16-bit table a curve gets from its segments.
void fillTable(ToneCurve* c)
{
    const uint32_t n = c->tableCount;
    for (uint32_t i = 0; i < n; ++i) {
        const float x = n > 1 ? float(double(i) / double(n - 1)) : 0.0f;
        const float y = evalCurveFloat(c, x);
        c->table[i] = quickSaturateWord(double(y) * 65535.0);
    }
}

} // namespace

ToneCurve* buildSegmentedCurve(EngineContext* ctx, uint32_t segmentCount, const CurveSegment segments[])
{
    uint32_t entries = DefaultTableEntries;
    if (segmentCount == 1 && segments && segments[0].type == 1 && std::fabs(segments[0].params[0] - 1.0) < 0.001)
        entries = 2;
    if (segmentCount == 0) {
        reportError(ctx, ErrRange, "Couldn't create tone curve with zero segments and no table");
        return nullptr;
    }
    ToneCurve* curve = allocateCurve(ctx, entries, segmentCount, segments, nullptr);
    if (curve) fillTable(curve);
    return curve;
}

ToneCurve* buildParametricCurve(EngineContext* ctx, int32_t type, const double params[])
{
    ParametricType found;
    if (!findParametricType(ctx, type, &found)) {
        reportError(ctx, ErrUnknownExtension, "Invalid parametric curve type %d", type);
        return nullptr;
    }
    CurveSegment segment{};
    segment.x0 = MinusInfinity;
    segment.x1 = PlusInfinity;
    segment.type = type;
    if (found.parameters > 0 && !params) {
        reportError(ctx, ErrNull, "Parametric curve type %d needs %u parameters", type, found.parameters);
        return nullptr;
    }
    for (uint32_t i = 0; i < found.parameters; ++i) segment.params[i] = params[i];
    return buildSegmentedCurve(ctx, 1, &segment);
}

ToneCurve* buildGammaCurve(EngineContext* ctx, double exponent)
{
    return buildParametricCurve(ctx, 1, &exponent);
}

ToneCurve* buildTabulatedCurve16(EngineContext* ctx, uint32_t entries, const uint16_t values[])
{
    return allocateCurve(ctx, entries, 0, nullptr, values);
}

ToneCurve* buildTabulatedCurveFloat(EngineContext* ctx, uint32_t count, const float values[])
{
    if (count == 0 || !values) {
        reportError(ctx, ErrRange, "Couldn't create a float-tabulated tone curve without samples");
        return nullptr;
    }
    CurveSegment seg[3]{};
    // Constant below 0 and above 1 (type 6 with P0 = 1 and P1 = P2 = 0 is P3).
    seg[0].x0 = MinusInfinity;
    seg[0].x1 = 0;
    seg[0].type = 6;
    seg[0].params[0] = 1;
    seg[0].params[3] = values[0];
    seg[1].x0 = 0;
    seg[1].x1 = 1;
    seg[1].type = 0;
    seg[1].sampleCount = count;
    seg[1].samples = const_cast<float*>(values);   // copied by the constructor
    seg[2].x0 = 1;
    seg[2].x1 = PlusInfinity;
    seg[2].type = 6;
    seg[2].params[0] = 1;
    seg[2].params[3] = values[count - 1];
    return buildSegmentedCurve(ctx, 3, seg);
}

ToneCurve* duplicateCurve(const ToneCurve* curve)
{
    if (!curve) return nullptr;
    return allocateCurve(curve->ctx, curve->tableCount, curve->segmentCount, curve->segments, curve->table);
}

void freeCurve(ToneCurve* curve)
{
    if (!curve) return;
    EngineContext* ctx = curve->ctx;
    for (uint32_t i = 0; i < curve->segmentCount; ++i) {
        if (curve->segments) engineFree(ctx, curve->segments[i].samples);
        if (curve->segmentInterp) freeInterpParams(curve->segmentInterp[i]);
    }
    engineFree(ctx, curve->segments);
    engineFree(ctx, curve->evaluators);
    engineFree(ctx, curve->segmentInterp);
    freeInterpParams(curve->interp);
    engineFree(ctx, curve->table);
    engineFree(ctx, curve);
}

void freeCurveTriple(ToneCurve* curves[3])
{
    if (!curves) return;
    for (int i = 0; i < 3; ++i) {
        freeCurve(curves[i]);
        curves[i] = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Evaluation
// ---------------------------------------------------------------------------

float evalCurveFloat(const ToneCurve* curve, float x)
{
    if (curve->segmentCount == 0) {
        const uint16_t in = quickSaturateWord(double(x) * 65535.0);
        return wordToUnit(evalCurve16(curve, in));
    }
    return float(evalSegments(curve, x));
}

const InterpParams* curveInterpParams(const ToneCurve* curve)
{
    return curve ? curve->interp : nullptr;
}

uint16_t evalCurve16(const ToneCurve* curve, uint16_t v)
{
    uint16_t out;
    curve->interp->routine.lerp16(&v, &out, curve->interp);
    return out;
}

double evalCurveUnbounded(const ToneCurve* curve, double x)
{
    if (x >= 0.0 && x <= 1.0) return evalCurveFloat(curve, float(x));
    if (!(std::fabs(x) < PlusInfinity)) return evalCurveFloat(curve, float(x));
    if (curve->segmentCount == 1 && curve->segments[0].type != 0) {
        if (x > 1.0) return evalSegments(curve, x);
        return 2.0 * evalSegments(curve, 0.0) - evalSegments(curve, -x);
    }
    const double h = 1.0 / double(curve->tableCount > 1 ? curve->tableCount - 1 : DefaultTableEntries - 1);
    const auto at = [curve](double v) { return double(evalCurveFloat(curve, float(v))); };
    if (x < 0.0) return at(0.0) + (at(h) - at(0.0)) / h * x;
    return at(1.0) + (at(1.0) - at(1.0 - h)) / h * (x - 1.0);
}

// ---------------------------------------------------------------------------
// Reversal and joining
// ---------------------------------------------------------------------------

ToneCurve* reverseCurveWith(uint32_t entries, const ToneCurve* curve)
{
    if (!curve) return nullptr;
    EngineContext* ctx = curve->ctx;

    // A registered parametric type reverses analytically.
    if (curve->segmentCount == 1 && curve->segments[0].type > 0) {
        ParametricType found;
        if (findParametricType(ctx, curve->segments[0].type, &found))
            return buildParametricCurve(ctx, -curve->segments[0].type, curve->segments[0].params);
    }

    if (entries < 2 || entries > MaxCurveEntries) {
        reportError(ctx, ErrRange, "Couldn't reverse tone curve into %u entries", entries);
        return nullptr;
    }
    CurvePtr out(buildTabulatedCurve16(ctx, entries, nullptr), &freeCurve);
    if (!out) return nullptr;

    const uint16_t* src = curve->table;
    const uint32_t n = curve->tableCount;
    const bool rises = n > 1 && src[0] < src[n - 1];
    const bool falls = n > 1 && src[n - 1] < src[0];
    const double xStep = n > 1 ? 65535.0 / double(n - 1) : 0.0;

    // Searched from the top down on a rising table, so that on flat runs the
    // output takes the highest input that reaches the value. A table that
    // never turns back is bisected for the same interval.
    const bool monotonic = n > 1 && (rises ? std::is_sorted(src, src + n)
                                           : std::is_sorted(src, src + n, std::greater<uint16_t>()));
    auto findInterval = [&](double target) -> int64_t {
        auto contains = [&](uint32_t j) {
            const double a = src[j], b = src[j + 1];
            return (a <= target && target <= b) || (b <= target && target <= a);
        };
        if (n < 2) return -1;
        if (monotonic && rises) {
            // The last interval starting at or below the target.
            const uint16_t* after = std::upper_bound(src, src + n - 1, target,
                                                     [](double t, uint16_t v) { return t < double(v); });
            if (after == src) return -1;
            const int64_t j = after - src - 1;
            return contains(uint32_t(j)) ? j : -1;
        }
        if (monotonic && falls) {
            // The first interval ending at or below the target.
            const uint16_t* at = std::lower_bound(src + 1, src + n, target,
                                                  [](uint16_t v, double t) { return double(v) > t; });
            if (at == src + n) return -1;
            const int64_t j = at - src - 1;
            return contains(uint32_t(j)) ? j : -1;
        }
        if (rises) {
            for (uint32_t j = n - 1; j > 0; --j)
                if (contains(j - 1)) return j - 1;
        } else {
            for (uint32_t j = 0; j + 1 < n; ++j)
                if (contains(j)) return j;
        }
        return -1;
    };

    double slope = 0, intercept = 0;   // the last line found
    for (uint32_t i = 0; i < entries; ++i) {
        const double target = double(i) * 65535.0 / double(entries - 1);
        const int64_t j = findInterval(target);
        if (j >= 0) {
            const double v1 = src[j], v2 = src[j + 1];
            const double x1 = double(j) * xStep, x2 = double(j + 1) * xStep;
            if (v1 == v2) {
                out->table[i] = quickSaturateWord(falls ? x1 : x2);
                continue;
            }
            slope = (x2 - x1) / (v2 - v1);
            intercept = x2 - slope * v2;
        }
        out->table[i] = quickSaturateWord(slope * target + intercept);
    }
    return out.release();
}

ToneCurve* reverseCurve(const ToneCurve* curve)
{
    return reverseCurveWith(DefaultTableEntries, curve);
}

ToneCurve* joinCurves(EngineContext* ctx, const ToneCurve* x, const ToneCurve* y, uint32_t points)
{
    if (!x || !y) {
        reportError(ctx, ErrNull, "Couldn't join tone curves: a curve is missing");
        return nullptr;
    }
    if (points < 2 || points > MaxCurveEntries) {
        reportError(ctx, ErrRange, "Couldn't join tone curves into %u points", points);
        return nullptr;
    }
    CurvePtr yReversed(reverseCurveWith(points, y), &freeCurve);
    if (!yReversed) return nullptr;
    EngineBuffer<float> values = engineArray<float>(ctx, points);
    if (!values) return nullptr;
    for (uint32_t i = 0; i < points; ++i) {
        const float t = float(double(i) / double(points - 1));
        values.get()[i] = evalCurveFloat(yReversed.get(), evalCurveFloat(x, t));
    }
    return buildTabulatedCurveFloat(ctx, points, values.get());
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

int32_t parametricTypeOf(const ToneCurve* curve)
{
    if (!curve || curve->segmentCount != 1) return 0;
    return curve->segments[0].type;
}

bool isLinear(const ToneCurve* curve)
{
    return curve && tableIsLinear(curve->table, curve->tableCount);
}

bool isMonotonic(const ToneCurve* curve)
{
    if (!curve) return false;
    const uint32_t n = curve->tableCount;
    const uint16_t* t = curve->table;
    if (n < 2) return true;
    if (isDescending(curve)) {
        for (uint32_t i = 1; i < n; ++i)
            if (int32_t(t[i]) - int32_t(t[i - 1]) > 2) return false;
    } else {
        for (uint32_t i = n - 1; i > 0; --i)
            if (int32_t(t[i - 1]) - int32_t(t[i]) > 2) return false;
    }
    return true;
}

bool isDescending(const ToneCurve* curve)
{
    return curve && curve->tableCount > 0 && curve->table[curve->tableCount - 1] < curve->table[0];
}

uint32_t tableEntryCount(const ToneCurve* curve)
{
    return curve ? curve->tableCount : 0;
}

const uint16_t* tableEntries(const ToneCurve* curve)
{
    return curve ? curve->table : nullptr;
}

double estimateGamma(const ToneCurve* curve, double precision)
{
    if (!curve) return -1;
    double sum = 0, sumSquares = 0;
    uint32_t n = 0;
    for (uint32_t i = 1; i < 4096; ++i) {
        const float x = float(i) / 4096.0f;
        const double y = evalCurveFloat(curve, x);
        if (y > 0 && y < 1 && x > 0.07f) {
            const double g = std::log(y) / std::log(double(x));
            sum += g;
            sumSquares += g * g;
            ++n;
        }
    }
    if (n <= 1) return -1;
    const double variance = (double(n) * sumSquares - sum * sum) / (double(n) * double(n - 1));
    const double deviation = std::sqrt(std::max(0.0, variance));
    return deviation > precision ? -1 : sum / n;
}

uint32_t curveSegmentCount(const ToneCurve* curve)
{
    return curve ? curve->segmentCount : 0;
}

const CurveSegment* curveSegment(const ToneCurve* curve, uint32_t index)
{
    if (!curve || index >= curve->segmentCount) return nullptr;
    return &curve->segments[index];
}

EngineContext* curveContext(const ToneCurve* curve)
{
    return curve ? curve->ctx : nullptr;
}

uint32_t parametricParameterCount(EngineContext* ctx, int32_t type)
{
    ParametricType found;
    return findParametricType(ctx, type, &found) ? found.parameters : 0;
}

// ---------------------------------------------------------------------------
// Smoothing
// ---------------------------------------------------------------------------

namespace {

// Whittaker smoother of order 2 with unit weights: solves
// (I + λ·DᵀD)·z = y, D the second differences, through the LDLᵀ factors of
// the pentadiagonal matrix, in single precision. n may be any size; with
// fewer than 3 points there are no differences and z = y. `work` holds
// 3 × n floats.
bool smooth2(const float* y, float* z, float lambda, uint32_t n, float* work)
{
    if (n < 3) {
        std::memcpy(z, y, n * sizeof(float));
        return true;
    }
    // Band of DᵀD: row k of D is (1, -2, 1) at columns k, k+1, k+2.
    const float coef[3] = {1, -2, 1};
    auto band = [&](uint32_t i, uint32_t offset) {   // (DᵀD)[i][i + offset]
        float s = 0;
        const uint32_t rows = n - 2;
        for (uint32_t k = (i >= 2 ? i - 2 : 0); k <= i && k < rows; ++k) {
            const uint32_t a = i - k, b = i + offset - k;
            if (b <= 2) s += coef[a] * coef[b];
        }
        return s;
    };
    float* d = work;
    float* c = work + n;
    float* e = work + 2 * n;
    for (uint32_t i = 0; i < n; ++i) {
        const float cm1 = i >= 1 ? c[i - 1] : 0, dm1 = i >= 1 ? d[i - 1] : 0, em1 = i >= 1 ? e[i - 1] : 0;
        const float em2 = i >= 2 ? e[i - 2] : 0, dm2 = i >= 2 ? d[i - 2] : 0;
        d[i] = 1.0f + lambda * band(i, 0) - cm1 * cm1 * dm1 - em2 * em2 * dm2;
        if (!(d[i] > 0) || !std::isfinite(d[i])) return false;
        c[i] = i + 1 < n ? (lambda * band(i, 1) - dm1 * cm1 * em1) / d[i] : 0;
        e[i] = i + 2 < n ? lambda * band(i, 2) / d[i] : 0;
        const float zm1 = i >= 1 ? z[i - 1] : 0, zm2 = i >= 2 ? z[i - 2] : 0;
        z[i] = y[i] - cm1 * zm1 - em2 * zm2;
    }
    for (uint32_t k = n; k > 0; --k) {
        const uint32_t i = k - 1;
        const float z1 = i + 1 < n ? z[i + 1] : 0, z2 = i + 2 < n ? z[i + 2] : 0;
        z[i] = z[i] / d[i] - c[i] * z1 - e[i] * z2;
        if (!std::isfinite(z[i])) return false;
    }
    return true;
}

} // namespace

bool smoothCurve(ToneCurve* curve, double lambda)
{
    if (!curve) return false;
    EngineContext* ctx = curve->ctx;
    const uint32_t n = curve->tableCount;
    if (tableIsLinear(curve->table, n)) return true;
    if (n > MaxSmoothEntries) {
        reportError(ctx, ErrRange, "oslSmoothToneCurve: Too many points.");
        return false;
    }

    // Data, result and the three factor bands.
    constexpr size_t Work = MaxSmoothEntries + 1;
    EngineBuffer<float> block = engineArray<float>(ctx, 5 * Work);
    if (!block) {
        reportError(ctx, ErrRange, "oslSmoothToneCurve: Could not allocate memory.");
        return false;
    }
    float* y = block.get();
    float* s = y + Work;
    for (uint32_t i = 0; i < n; ++i) y[i] = curve->table[i];
    if (!smooth2(y, s, float(std::fabs(lambda)), n, s + Work)) {
        reportError(ctx, ErrRange, "oslSmoothToneCurve: Function smooth2 failed.");
        return false;
    }

    // With a negative lambda every check still reports but the result is kept.
    const bool keepAnyway = lambda < 0;
    bool ok = true;
    uint32_t zeros = 0, poles = 0;
    for (uint32_t i = n; i > 1; --i) {
        const uint32_t k = i - 1;
        if (s[k] == 0.0f) ++zeros;
        if (s[k] >= 65535.0f) ++poles;
        if (s[k] < s[k - 1]) {
            reportError(ctx, ErrRange, "oslSmoothToneCurve: Non-Monotonic.");
            ok = keepAnyway;
            break;
        }
    }
    if (ok && zeros > n / 3) {
        reportError(ctx, ErrRange, "oslSmoothToneCurve: Degenerated, mostly zeros.");
        ok = keepAnyway;
    }
    if (ok && poles > n / 3) {
        reportError(ctx, ErrRange, "oslSmoothToneCurve: Degenerated, mostly poles.");
        ok = keepAnyway;
    }
    if (!ok) return false;

    for (uint32_t i = 0; i < n; ++i) curve->table[i] = quickSaturateWord(s[i]);
    return true;
}
