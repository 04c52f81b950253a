// Interpolation over regular grids: 1 to 15 inputs, 16-bit fixed point and float.
//
// 16-bit positions are 16.16 fixed point. Along an input with d intervals the
// value x (0 … 65535) lands at v = d·x + (d·x + 0x7FFF) / 0xFFFF: the cell is
// v >> 16 and the fraction v & 0xFFFF. At x = 65535 the neighbour offset is 0,
// so the last node is used twice and no read goes past the table.
#include "oslinternal.h"

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
    const uint64_t a = uint64_t(domain) * x;
    const uint64_t v = a + (a + 0x7FFF) / 0xFFFF;
    return {size_t(v >> 16), uint32_t(v & 0xFFFF)};
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
    const float px = x * float(domain);
    size_t cell = size_t(std::floor(px));
    if (cell >= domain) return {size_t(domain) * stride, 0, 0.0f};   // rounding just below 1
    return {cell * stride, stride, px - float(cell)};
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

void trilinearFloat(const float in[], float out[], const InterpParams* p)
{
    const float* t = tableFloat(p);
    const FloatPos x = floatPos(in[0], p->domain[0], p->strides[0]);
    const FloatPos y = floatPos(in[1], p->domain[1], p->strides[1]);
    const FloatPos z = floatPos(in[2], p->domain[2], p->strides[2]);
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

// The node offsets of the tetrahedron that holds the point, chosen by the
// order of the three fractions: from the base node c0 the value climbs along
// three edges, c1 weighted by rx, c2 by ry and c3 by rz.
struct Tetrahedron {
    size_t c1Hi, c1Lo;   // c1 = t[c1Hi] - t[c1Lo]
    size_t c2Hi, c2Lo;
    size_t c3Hi, c3Lo;
};

template <typename F>
inline Tetrahedron pickTetrahedron(F rx, F ry, F rz, size_t X0, size_t X1, size_t Y0, size_t Y1, size_t Z0,
                                   size_t Z1)
{
    const size_t c000 = X0 + Y0 + Z0;
    const size_t c100 = X1 + Y0 + Z0, c010 = X0 + Y1 + Z0, c001 = X0 + Y0 + Z1;
    const size_t c110 = X1 + Y1 + Z0, c101 = X1 + Y0 + Z1, c011 = X0 + Y1 + Z1;
    const size_t c111 = X1 + Y1 + Z1;
    if (rx >= ry && ry >= rz) return {c100, c000, c110, c100, c111, c110};
    if (rx >= rz && rz >= ry) return {c100, c000, c111, c101, c101, c100};
    if (rz >= rx && rx >= ry) return {c101, c001, c111, c101, c001, c000};
    if (ry >= rx && rx >= rz) return {c110, c010, c010, c000, c111, c110};
    if (ry >= rz && rz >= rx) return {c111, c011, c010, c000, c011, c010};
    if (rz >= ry && ry >= rx) return {c111, c011, c011, c001, c001, c000};
    return {c000, c000, c000, c000, c000, c000};   // NaN fractions: the base node
}

// The core of the 3-input 16-bit routine, on any three consecutive inputs of
// a larger grid (4 and more inputs reuse it on slices).
inline void tetrahedral16Core(const uint16_t in[3], uint16_t out[], const uint16_t* t, const uint32_t domain[3],
                              const uint32_t strides[3], uint32_t outputs)
{
    const Fixed fx = toFixedDomain(domain[0], in[0]);
    const Fixed fy = toFixedDomain(domain[1], in[1]);
    const Fixed fz = toFixedDomain(domain[2], in[2]);
    const int32_t rx = int32_t(fx.fraction), ry = int32_t(fy.fraction), rz = int32_t(fz.fraction);
    const size_t X0 = fx.cell * strides[0], X1 = X0 + (in[0] == 0xFFFF ? 0 : strides[0]);
    const size_t Y0 = fy.cell * strides[1], Y1 = Y0 + (in[1] == 0xFFFF ? 0 : strides[1]);
    const size_t Z0 = fz.cell * strides[2], Z1 = Z0 + (in[2] == 0xFFFF ? 0 : strides[2]);

    // The strict orderings of the fractions decide the tetrahedron; ties fall
    // to the first case that admits them.
    size_t a1, b1, a2, b2, a3, b3;
    const size_t c000 = X0 + Y0 + Z0;
    if (rx >= ry && ry >= rz) {
        a1 = X1 + Y0 + Z0; b1 = c000;
        a2 = X1 + Y1 + Z0; b2 = X1 + Y0 + Z0;
        a3 = X1 + Y1 + Z1; b3 = X1 + Y1 + Z0;
    } else if (rx > rz && rz > ry) {
        a1 = X1 + Y0 + Z0; b1 = c000;
        a2 = X1 + Y1 + Z1; b2 = X1 + Y0 + Z1;
        a3 = X1 + Y0 + Z1; b3 = X1 + Y0 + Z0;
    } else if (rz >= rx && rx >= ry && rz > ry) {
        a1 = X1 + Y0 + Z1; b1 = X0 + Y0 + Z1;
        a2 = X1 + Y1 + Z1; b2 = X1 + Y0 + Z1;
        a3 = X0 + Y0 + Z1; b3 = c000;
    } else if (ry > rx && rx >= rz) {
        a1 = X1 + Y1 + Z0; b1 = X0 + Y1 + Z0;
        a2 = X0 + Y1 + Z0; b2 = c000;
        a3 = X1 + Y1 + Z1; b3 = X1 + Y1 + Z0;
    } else if (ry >= rz && rz > rx) {
        a1 = X1 + Y1 + Z1; b1 = X0 + Y1 + Z1;
        a2 = X0 + Y1 + Z0; b2 = c000;
        a3 = X0 + Y1 + Z1; b3 = X0 + Y1 + Z0;
    } else if (rz > ry && ry > rx) {
        a1 = X1 + Y1 + Z1; b1 = X0 + Y1 + Z1;
        a2 = X0 + Y1 + Z1; b2 = X0 + Y0 + Z1;
        a3 = X0 + Y0 + Z1; b3 = c000;
    } else {
        a1 = b1 = a2 = b2 = a3 = b3 = c000;
    }

    for (uint32_t o = 0; o < outputs; ++o) {
        const int64_t c0 = t[c000 + o];
        const int64_t c1 = int64_t(t[a1 + o]) - t[b1 + o];
        const int64_t c2 = int64_t(t[a2 + o]) - t[b2 + o];
        const int64_t c3 = int64_t(t[a3 + o]) - t[b3 + o];
        const int64_t rest = c1 * rx + c2 * ry + c3 * rz + 0x8001;
        out[o] = uint16_t(c0 + ((rest + (rest >> 16)) >> 16));
    }
}

void tetrahedral16(const uint16_t in[], uint16_t out[], const InterpParams* p)
{
    tetrahedral16Core(in, out, table16(p), p->domain, p->strides, p->outputs);
}

inline void tetrahedralFloatCore(const float in[3], float out[], const float* t, const uint32_t domain[3],
                                 const uint32_t strides[3], uint32_t outputs)
{
    const FloatPos x = floatPos(in[0], domain[0], strides[0]);
    const FloatPos y = floatPos(in[1], domain[1], strides[1]);
    const FloatPos z = floatPos(in[2], domain[2], strides[2]);
    const Tetrahedron tet = pickTetrahedron(x.fraction, y.fraction, z.fraction, x.base, x.base + x.next, y.base,
                                            y.base + y.next, z.base, z.base + z.next);
    const size_t c000 = x.base + y.base + z.base;
    for (uint32_t o = 0; o < outputs; ++o) {
        const float c0 = t[c000 + o];
        const float c1 = t[tet.c1Hi + o] - t[tet.c1Lo + o];
        const float c2 = t[tet.c2Hi + o] - t[tet.c2Lo + o];
        const float c3 = t[tet.c3Hi + o] - t[tet.c3Lo + o];
        out[o] = c0 + c1 * x.fraction + c2 * y.fraction + c3 * z.fraction;
    }
}

void tetrahedralFloat(const float in[], float out[], const InterpParams* p)
{
    tetrahedralFloatCore(in, out, tableFloat(p), p->domain, p->strides, p->outputs);
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
    switch (inputs) {
    case 1:
        if (outputs == 1) return {linear1To1_16, linear1To1_Float};
        return {linear1ToN_16, linear1ToN_Float};
    case 2: return {bilinear16, bilinearFloat};
    case 3:
        if (trilinear) return {trilinear16, trilinearFloat};
        return {tetrahedral16, tetrahedralFloat};
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

void freeInterpParams(InterpParams* params)
{
    if (params) engineFree(params->ctx, params);
}
