// Interpolation over regular grids: 1 to 15 inputs, 16-bit fixed point and float.
//
// 16-bit positions are 16.16 fixed point. Along an input with d intervals the
// value x (0 … 65535) lands at v = d·x + (d·x + 0x7FFF) / 0xFFFF: the cell is
// v >> 16 and the fraction v & 0xFFFF. At x = 65535 the neighbour offset is 0,
// so the last node is used twice and no read goes past the table.
#include "oslevals.h"
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

struct Fixed {
    size_t cell;
    uint32_t fraction;
};

inline Fixed toFixedDomain(uint32_t domain, uint16_t x)
{
    const GridPosition g = gridPosition(domain, x);
    return {g.cell, g.fraction};
}

// lo + (((hi - lo) × f + 0x8000) >> 16): the one linear step of every 16-bit routine.
inline uint16_t lerp16(int32_t lo, int32_t hi, uint32_t f)
{
    return uint16_t(lo + int32_t((int64_t(hi - lo) * f + 0x8000) >> 16));
}

// Below 1e-9 or NaN counts as 0, above 1 as 1.
inline float clampUnit(float v)
{
    if (!(v >= 1.0e-9f)) return 0.0f;
    return v > 1.0f ? 1.0f : v;
}

inline const uint16_t* table16(const InterpParams* p)
{
    return static_cast<const uint16_t*>(p->table);
}

inline const float* tableFloat(const InterpParams* p)
{
    return static_cast<const float*>(p->table);
}

// ---------------------------------------------------------------------------
// One input
// ---------------------------------------------------------------------------

void linear1To1_16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    const uint16_t* t = table16(p);
    const uint32_t d = p->domain[0];
    if (in[0] == 0xFFFF || d == 0) {
        out[0] = t[d];
        return;
    }
    const Fixed x = toFixedDomain(d, in[0]);
    out[0] = lerp16(t[x.cell], t[x.cell + 1], x.fraction);
}

void linear1ToN_16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    const uint16_t* t = table16(p);
    const uint32_t d = p->domain[0];
    const uint32_t n = p->outputs;
    if (in[0] == 0xFFFF || d == 0) {
        std::memcpy(out, t + size_t(d) * n, n * sizeof(uint16_t));
        return;
    }
    const Fixed x = toFixedDomain(d, in[0]);
    const uint16_t* y0 = t + x.cell * n;
    const uint16_t* y1 = y0 + n;
    for (uint32_t o = 0; o < n; ++o) out[o] = lerp16(y0[o], y1[o], x.fraction);
}

// Float position along one input: cell below, fraction, and the neighbour
// offset (0 at the top end).
struct FloatPos {
    size_t base;
    size_t next;
    float fraction;
};

inline FloatPos floatPos(float v, uint32_t domain, uint32_t stride)
{
    const float x = clampUnit(v);
    if (x >= 1.0f || domain == 0) return {size_t(domain) * stride, 0, 0.0f};
    // In double, so that the fraction keeps full single precision on large grids.
    const double px = double(x) * domain;
    const size_t cell = size_t(px);
    if (cell >= domain) return {size_t(domain) * stride, 0, 0.0f};
    const float fraction = float(px - double(cell));
    return {cell * stride, fraction == 0.0f ? 0 : stride, fraction};   // on a node: that node alone
}

// The same position for a table that goes on past its ends: outside 0 … 1 the
// edge cell, with a fraction below 0 or above 1, so that the cell's
// interpolation carries on linearly.
inline FloatPos floatPosBeyond(float v, uint32_t domain, uint32_t stride)
{
    if (domain == 0 || !std::isfinite(v)) return floatPos(v, domain, stride);
    const double px = double(v) * domain;
    const double cell = std::min(std::max(std::floor(px), 0.0), double(domain - 1));
    return {size_t(cell) * stride, stride, float(px - cell)};
}

template <bool Beyond>
inline FloatPos positionOf(float v, uint32_t domain, uint32_t stride)
{
    return Beyond ? floatPosBeyond(v, domain, stride) : floatPos(v, domain, stride);
}

void linear1ToN_Float(const float in[], float out[], const InterpParams* p)
{
    const float* t = tableFloat(p);
    const uint32_t n = p->outputs;
    const FloatPos x = floatPos(in[0], p->domain[0], n);
    const float* y0 = t + x.base;
    const float* y1 = y0 + x.next;
    for (uint32_t o = 0; o < n; ++o) out[o] = y0[o] + (y1[o] - y0[o]) * x.fraction;
}

void linear1To1_Float(const float in[], float out[], const InterpParams* p)
{
    const float* t = tableFloat(p);
    const FloatPos x = floatPos(in[0], p->domain[0], 1);
    const float y0 = t[x.base];
    out[0] = y0 + (t[x.base + x.next] - y0) * x.fraction;
}

// ---------------------------------------------------------------------------
// Two inputs
// ---------------------------------------------------------------------------

void bilinear16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    const uint16_t* t = table16(p);
    const Fixed fx = toFixedDomain(p->domain[0], in[0]);
    const Fixed fy = toFixedDomain(p->domain[1], in[1]);
    const size_t x0 = fx.cell * p->strides[0];
    const size_t x1 = x0 + (in[0] == 0xFFFF ? 0 : p->strides[0]);
    const size_t y0 = fy.cell * p->strides[1];
    const size_t y1 = y0 + (in[1] == 0xFFFF ? 0 : p->strides[1]);
    for (uint32_t o = 0; o < p->outputs; ++o) {
        const uint16_t dx0 = lerp16(t[x0 + y0 + o], t[x1 + y0 + o], fx.fraction);
        const uint16_t dx1 = lerp16(t[x0 + y1 + o], t[x1 + y1 + o], fx.fraction);
        out[o] = lerp16(dx0, dx1, fy.fraction);
    }
}

void bilinearFloat(const float in[], float out[], const InterpParams* p)
{
    const float* t = tableFloat(p);
    const FloatPos x = floatPos(in[0], p->domain[0], p->strides[0]);
    const FloatPos y = floatPos(in[1], p->domain[1], p->strides[1]);
    const size_t x1 = x.base + x.next;
    const size_t y1 = y.base + y.next;
    for (uint32_t o = 0; o < p->outputs; ++o) {
        const float d00 = t[x.base + y.base + o], d10 = t[x1 + y.base + o];
        const float d01 = t[x.base + y1 + o], d11 = t[x1 + y1 + o];
        const float dx0 = d00 + (d10 - d00) * x.fraction;
        const float dx1 = d01 + (d11 - d01) * x.fraction;
        out[o] = dx0 + (dx1 - dx0) * y.fraction;
    }
}

// ---------------------------------------------------------------------------
// Three inputs
// ---------------------------------------------------------------------------

void trilinear16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    const uint16_t* t = table16(p);
    const Fixed fx = toFixedDomain(p->domain[0], in[0]);
    const Fixed fy = toFixedDomain(p->domain[1], in[1]);
    const Fixed fz = toFixedDomain(p->domain[2], in[2]);
    const size_t x0 = fx.cell * p->strides[0], x1 = x0 + (in[0] == 0xFFFF ? 0 : p->strides[0]);
    const size_t y0 = fy.cell * p->strides[1], y1 = y0 + (in[1] == 0xFFFF ? 0 : p->strides[1]);
    const size_t z0 = fz.cell * p->strides[2], z1 = z0 + (in[2] == 0xFFFF ? 0 : p->strides[2]);
    for (uint32_t o = 0; o < p->outputs; ++o) {
        const uint16_t dx00 = lerp16(t[x0 + y0 + z0 + o], t[x1 + y0 + z0 + o], fx.fraction);
        const uint16_t dx01 = lerp16(t[x0 + y0 + z1 + o], t[x1 + y0 + z1 + o], fx.fraction);
        const uint16_t dx10 = lerp16(t[x0 + y1 + z0 + o], t[x1 + y1 + z0 + o], fx.fraction);
        const uint16_t dx11 = lerp16(t[x0 + y1 + z1 + o], t[x1 + y1 + z1 + o], fx.fraction);
        const uint16_t dxy0 = lerp16(dx00, dx10, fy.fraction);
        const uint16_t dxy1 = lerp16(dx01, dx11, fy.fraction);
        out[o] = lerp16(dxy0, dxy1, fz.fraction);
    }
}

template <bool Beyond = false>
void trilinearFloat(const float in[], float out[], const InterpParams* p)
{
    const float* t = tableFloat(p);
    const FloatPos x = positionOf<Beyond>(in[0], p->domain[0], p->strides[0]);
    const FloatPos y = positionOf<Beyond>(in[1], p->domain[1], p->strides[1]);
    const FloatPos z = positionOf<Beyond>(in[2], p->domain[2], p->strides[2]);
    const size_t x0 = x.base, x1 = x.base + x.next;
    const size_t y0 = y.base, y1 = y.base + y.next;
    const size_t z0 = z.base, z1 = z.base + z.next;
    auto lerp = [](float a, float b, float f) { return a + (b - a) * f; };
    for (uint32_t o = 0; o < p->outputs; ++o) {
        const float dx00 = lerp(t[x0 + y0 + z0 + o], t[x1 + y0 + z0 + o], x.fraction);
        const float dx01 = lerp(t[x0 + y0 + z1 + o], t[x1 + y0 + z1 + o], x.fraction);
        const float dx10 = lerp(t[x0 + y1 + z0 + o], t[x1 + y1 + z0 + o], x.fraction);
        const float dx11 = lerp(t[x0 + y1 + z1 + o], t[x1 + y1 + z1 + o], x.fraction);
        const float dxy0 = lerp(dx00, dx10, y.fraction);
        const float dxy1 = lerp(dx01, dx11, y.fraction);
        out[o] = lerp(dxy0, dxy1, z.fraction);
    }
}

// Paths through the unit cell, one per order of the three fractions: from the
// base node climb first along the input of the largest fraction, then the
// middle one, then the smallest. The contract's cases, as paths:
//   rx ≥ ry ≥ rz: x y z     rx > rz > ry: x z y     rz ≥ rx ≥ ry: z x y
//   ry > rx ≥ rz: y x z     ry ≥ rz > rx: y z x     rz > ry > rx: z y x
// Ties may go either way: every choice gives the same sum. The path is
// looked up rather than branched to, since image data often jump between
// tetrahedra.
constexpr uint8_t TetrahedronPaths[8][3] = {
    {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {0, 1, 2},   // index (rx ≥ ry) | (ry ≥ rz) << 1 | (rx ≥ rz) << 2
    {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {0, 1, 2},   // 3 and 4 cannot occur
};

template <typename F>
inline const uint8_t* tetrahedronPath(F rx, F ry, F rz)
{
    return TetrahedronPaths[uint32_t(rx >= ry) | uint32_t(ry >= rz) << 1 | uint32_t(rx >= rz) << 2];
}

// The core of the 3-input 16-bit routine, on any three consecutive inputs of
// a larger grid (4 and more inputs reuse it on slices). A non-zero Fixed
// output count lets the compiler unroll the common shapes.
template <uint32_t FixedOutputs = 0>
inline void tetrahedral16Core(const uint16_t in[3], uint16_t out[], const uint16_t* t, const uint32_t domain[3],
                              const uint32_t strides[3], uint32_t runtimeOutputs)
{
    const uint32_t outputs = FixedOutputs ? FixedOutputs : runtimeOutputs;
    const Fixed fx = toFixedDomain(domain[0], in[0]);
    const Fixed fy = toFixedDomain(domain[1], in[1]);
    const Fixed fz = toFixedDomain(domain[2], in[2]);
    const int32_t rx = int32_t(fx.fraction), ry = int32_t(fy.fraction), rz = int32_t(fz.fraction);
    const size_t X0 = fx.cell * strides[0], X1 = X0 + (in[0] == 0xFFFF ? 0 : strides[0]);
    const size_t Y0 = fy.cell * strides[1], Y1 = Y0 + (in[1] == 0xFFFF ? 0 : strides[1]);
    const size_t Z0 = fz.cell * strides[2], Z1 = Z0 + (in[2] == 0xFFFF ? 0 : strides[2]);

    const uint8_t* path = tetrahedronPath(rx, ry, rz);
    const size_t steps[3] = {X1 - X0, Y1 - Y0, Z1 - Z0};
    const int32_t fractions[3] = {rx, ry, rz};
    const size_t p0 = X0 + Y0 + Z0;
    const size_t p1 = p0 + steps[path[0]];
    const size_t p2 = p1 + steps[path[1]];
    const size_t p3 = p2 + steps[path[2]];
    const int64_t r1 = fractions[path[0]], r2 = fractions[path[1]], r3 = fractions[path[2]];

    for (uint32_t o = 0; o < outputs; ++o) {
        const int64_t c0 = t[p0 + o];
        const int64_t rest = (int64_t(t[p1 + o]) - c0) * r1 + (int64_t(t[p2 + o]) - t[p1 + o]) * r2 +
                             (int64_t(t[p3 + o]) - t[p2 + o]) * r3 + 0x8001;
        out[o] = uint16_t(c0 + ((rest + (rest >> 16)) >> 16));
    }
}

void tetrahedral16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    tetrahedral16Core(in, out, table16(p), p->domain, p->strides, p->outputs);
}

template <uint32_t Outputs>
void tetrahedral16Fixed(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    tetrahedral16Core<Outputs>(in, out, table16(p), p->domain, p->strides, Outputs);
}

template <bool Beyond = false>
inline void tetrahedralFloatCore(const float in[3], float out[], const float* t, const uint32_t domain[3],
                                 const uint32_t strides[3], uint32_t outputs)
{
    const FloatPos x = positionOf<Beyond>(in[0], domain[0], strides[0]);
    const FloatPos y = positionOf<Beyond>(in[1], domain[1], strides[1]);
    const FloatPos z = positionOf<Beyond>(in[2], domain[2], strides[2]);
    const uint8_t* path = tetrahedronPath(x.fraction, y.fraction, z.fraction);
    const size_t steps[3] = {x.next, y.next, z.next};
    const float fractions[3] = {x.fraction, y.fraction, z.fraction};
    const size_t p0 = x.base + y.base + z.base;
    const size_t p1 = p0 + steps[path[0]];
    const size_t p2 = p1 + steps[path[1]];
    const size_t p3 = p2 + steps[path[2]];
    const float r1 = fractions[path[0]], r2 = fractions[path[1]], r3 = fractions[path[2]];
    for (uint32_t o = 0; o < outputs; ++o) {
        const float c0 = t[p0 + o];
        out[o] = c0 + (t[p1 + o] - c0) * r1 + (t[p2 + o] - t[p1 + o]) * r2 + (t[p3 + o] - t[p2 + o]) * r3;
    }
}

template <bool Beyond = false>
void tetrahedralFloat(const float in[], float out[], const InterpParams* p)
{
    tetrahedralFloatCore<Beyond>(in, out, tableFloat(p), p->domain, p->strides, p->outputs);
}

// ---------------------------------------------------------------------------
// Four to fifteen inputs: linear between the two slices of the first input
// ---------------------------------------------------------------------------

void sliced16(const uint16_t in[], uint16_t out[], const uint16_t* t, const InterpParams* p, uint32_t dim)
{
    const uint32_t left = p->inputs - dim;
    if (left == 3) {
        tetrahedral16Core(in, out, t, p->domain + dim, p->strides + dim, p->outputs);
        return;
    }
    const Fixed fk = toFixedDomain(p->domain[dim], in[0]);
    const size_t k0 = fk.cell * p->strides[dim];
    const size_t k1 = k0 + (in[0] == 0xFFFF ? 0 : p->strides[dim]);
    uint16_t lower[MaxStageChannels], upper[MaxStageChannels];
    sliced16(in + 1, lower, t + k0, p, dim + 1);
    sliced16(in + 1, upper, t + k1, p, dim + 1);
    for (uint32_t o = 0; o < p->outputs; ++o) out[o] = lerp16(lower[o], upper[o], fk.fraction);
}

void slicedFloat(const float in[], float out[], const float* t, const InterpParams* p, uint32_t dim)
{
    const uint32_t left = p->inputs - dim;
    if (left == 3) {
        tetrahedralFloatCore(in, out, t, p->domain + dim, p->strides + dim, p->outputs);
        return;
    }
    const FloatPos k = floatPos(in[0], p->domain[dim], p->strides[dim]);
    float lower[MaxStageChannels], upper[MaxStageChannels];
    slicedFloat(in + 1, lower, t + k.base, p, dim + 1);
    slicedFloat(in + 1, upper, t + k.base + k.next, p, dim + 1);
    for (uint32_t o = 0; o < p->outputs; ++o) out[o] = lower[o] + (upper[o] - lower[o]) * k.fraction;
}

void manyInputs16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    sliced16(in, out, table16(p), p, 0);
}

void manyInputsFloat(const float in[], float out[], const InterpParams* p)
{
    slicedFloat(in, out, tableFloat(p), p, 0);
}

// ---------------------------------------------------------------------------
// Choice of routine
// ---------------------------------------------------------------------------

InterpFunction builtinRoutine(uint32_t inputs, uint32_t outputs, uint32_t flags)
{
    const bool trilinear = flags & InterpFlagTrilinear;
    const bool beyond = flags & InterpFlagExtrapolate;
    switch (inputs) {
    case 1:
        if (outputs == 1) return {linear1To1_16, linear1To1_Float};
        return {linear1ToN_16, linear1ToN_Float};
    case 2: return {bilinear16, bilinearFloat};
    case 3:
        if (trilinear) return {trilinear16, beyond ? trilinearFloat<true> : trilinearFloat<>};
        if (beyond) return {tetrahedral16, tetrahedralFloat<true>};
        if (outputs == 1) return {tetrahedral16Fixed<1>, tetrahedralFloat<>};
        if (outputs == 3) return {tetrahedral16Fixed<3>, tetrahedralFloat<>};
        if (outputs == 4) return {tetrahedral16Fixed<4>, tetrahedralFloat<>};
        return {tetrahedral16, tetrahedralFloat<>};
    default:
        if (inputs >= 4 && inputs <= MaxClutInputs && outputs < MaxStageChannels)
            return {manyInputs16, manyInputsFloat};
        return {nullptr, nullptr};
    }
}

bool chooseRoutine(InterpParams* p)
{
    const bool isFloat = p->flags & InterpFlagFloat;
    for (const PluginBase* r = pluginChain(p->ctx, SlotInterpolation); r; r = r->next) {
        auto* plugin = reinterpret_cast<const PluginInterpolation*>(r);
        if (!plugin->factory) continue;
        const InterpFunction f = plugin->factory(p->inputs, p->outputs, p->flags);
        if (isFloat ? f.lerpFloat != nullptr : f.lerp16 != nullptr) {
            p->routine = f;
            return true;
        }
    }
    p->routine = builtinRoutine(p->inputs, p->outputs, p->flags);
    return isFloat ? p->routine.lerpFloat != nullptr : p->routine.lerp16 != nullptr;
}

} // namespace

InterpParams* newInterpParams(EngineContext* ctx, const uint32_t gridPoints[], uint32_t inputs, uint32_t outputs,
                              const void* table, uint32_t flags)
{
    if (inputs > MaxClutInputs) {
        reportError(ctx, ErrRange, "Too many input channels (%d channels, max=%d)", int(inputs), int(MaxClutInputs));
        return nullptr;
    }
    if (inputs == 0 || outputs == 0) {
        reportError(ctx, ErrUnknownExtension, "Unsupported interpolation (%d->%d channels)", int(inputs),
                    int(outputs));
        return nullptr;
    }
    auto* p = static_cast<InterpParams*>(engineAllocZero(ctx, sizeof(InterpParams)));
    if (!p) return nullptr;
    p->ctx = ctx;
    p->flags = flags;
    p->inputs = inputs;
    p->outputs = outputs;
    p->table = table;
    for (uint32_t i = 0; i < inputs; ++i) {
        p->gridPoints[i] = gridPoints[i];
        p->domain[i] = gridPoints[i] ? gridPoints[i] - 1 : 0;
    }
    // The last input varies fastest; the products were bounded by the caller.
    p->strides[inputs - 1] = outputs;
    for (uint32_t i = inputs - 1; i > 0; --i) p->strides[i - 1] = p->strides[i] * gridPoints[i];

    if (!chooseRoutine(p)) {
        reportError(ctx, ErrUnknownExtension, "Unsupported interpolation (%d->%d channels)", int(inputs),
                    int(outputs));
        engineFree(ctx, p);
        return nullptr;
    }
    return p;
}

InterpParams* newInterpParamsUniform(EngineContext* ctx, uint32_t gridPoints, uint32_t inputs, uint32_t outputs,
                                     const void* table, uint32_t flags)
{
    if (inputs > MaxClutInputs) {
        reportError(ctx, ErrRange, "Too many input channels (%d channels, max=%d)", int(inputs), int(MaxClutInputs));
        return nullptr;
    }
    uint32_t grid[MaxClutInputs];
    for (uint32_t i = 0; i < MaxClutInputs; ++i) grid[i] = gridPoints;
    return newInterpParams(ctx, grid, inputs, outputs, table, flags);
}

bool hasBuiltinRoutine(const InterpParams* params)
{
    return params && params->routine.lerp16 == builtinRoutine(params->inputs, params->outputs, params->flags).lerp16;
}

void freeInterpParams(InterpParams* params)
{
    if (params) engineFree(params->ctx, params);
}
