// The optimiser's integer-format evaluators and their tables, shared by the
// optimiser that builds them (oslopt) and the whole-line workers that run
// them straight on pixel buffers (osllines).
//
// Every evaluator here has one scalar definition of its arithmetic (the
// inline functions below); the vector line workers repeat it operation for
// operation, so that every path gives the same bytes.
#pragma once

#include "oslinternal.h"

#include <cmath>
#include <cstring>

// 16-bit words to 8-bit samples, rounded as the 8-bit packers do.
inline uint8_t wordToByte(uint32_t v)
{
    return uint8_t((v * 65281u + 0x800000u) >> 24);
}

// Whether a 16-bit word is an 8-bit sample widened by × 257.
inline bool isByteWord(uint16_t w)
{
    return (w >> 8) == (w & 0xFF);
}

// 16.16 position along a grid dimension, as the 16-bit interpolation makes it.
struct GridPosition {
    uint32_t cell;
    uint32_t fraction;
};

inline GridPosition gridPosition(uint32_t domain, uint16_t x)
{
    const uint64_t a = uint64_t(domain) * x;
    const uint64_t v = a + (a + 0x7FFF) / 0xFFFF;
    return {uint32_t(v >> 16), uint32_t(v & 0xFFFF)};
}

inline uint32_t floatBits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// ---------------------------------------------------------------------------
// The 8-bit matrix-shaper
// ---------------------------------------------------------------------------
//
// For 8-bit input the input curves are tabulated at the 256 sample values.
// The linear outputs y = M·x + offset are worked out in single precision,
// always in the same order, and each (clamped to 0 … 1) picks an entry of
// the output table by the leading bits of its floating-point form: 512
// entries per octave over the 20 octaves below 1, so that the table is as
// fine, relatively, in the shadows as in the lights, and small enough to
// stay in the first-level cache. Each entry holds the output curve in the
// middle of its interval; values below 2^-20 share the first entry.

constexpr uint32_t MsOctaves = 20;
constexpr uint32_t MsStepBits = 9;                       // 512 entries per octave
constexpr uint32_t MsEntries = (MsOctaves << MsStepBits) + 1;   // the last one is 1.0 itself
constexpr uint32_t MsStride = (MsEntries + 3 + 15) & ~15u;      // room for 4-byte reads at the end
constexpr uint32_t MsFloorBits = (127u - MsOctaves) << 23;       // 2^-20
constexpr uint32_t MsIndexShift = 23 - MsStepBits;
// Rows of the matrix with larger coefficients (in magnitude, offset included)
// are left to the other optimisations: their rounding would grow with them.
constexpr double MsMatrixLimit = 32.0;

// Output table index of a linear value: above 1 (and NaN) as 1, below 2^-20
// (negative values too, whose bits read as negative numbers) as 2^-20.
inline uint32_t msIndex(float y)
{
    y = y < 1.0f ? y : 1.0f;
    int32_t bits = int32_t(floatBits(y));
    bits = bits > int32_t(MsFloorBits) ? bits : int32_t(MsFloorBits);
    return (uint32_t(bits) >> MsIndexShift) - (MsFloorBits >> MsIndexShift);
}

// The evaluators' data comes from the context's allocator, which promises
// no more than 16-byte alignment: no member asks for more.
struct MatrixShaper {
    EngineContext* ctx;
    float linear[3][256];   // input curve j at v / 255
    float matrix[9];
    float offsets[3];
    uint8_t out8[3][MsStride];
    uint16_t out16[3][MsStride];
    // What words that are not 8-bit samples go through.
    ToneCurve* inputCurves[3];
    ToneCurve* outputCurves[3];
};

inline float msRow(const float* m, float offset, float x0, float x1, float x2)
{
    return ((m[0] * x0 + m[1] * x1) + m[2] * x2) + offset;
}

inline void msPixel(const MatrixShaper* d, uint32_t r, uint32_t g, uint32_t b, uint32_t index[3])
{
    const float x0 = d->linear[0][r], x1 = d->linear[1][g], x2 = d->linear[2][b];
    for (int i = 0; i < 3; ++i) index[i] = msIndex(msRow(d->matrix + 3 * i, d->offsets[i], x0, x1, x2));
}

void evalMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data);

// ---------------------------------------------------------------------------
// The 16-bit matrix-shaper
// ---------------------------------------------------------------------------
//
// For 16-bit input each input curve is tabulated at every word; the output
// curves are tabulated over the square root of the linear value, which
// opens up the steep foot of display curves, and interpolated. Single
// precision throughout, in a fixed order.

constexpr uint32_t WideMsOutSteps = 4096;
constexpr uint32_t WideMsOutStride = WideMsOutSteps + 16;

struct WideMatrixShaper {
    EngineContext* ctx;
    // Between Lab and RGB (evalPcsMatrixShaper16): Lab words are taken to
    // XYZ, or XYZ to Lab words, by the L* companding itself instead of by the
    // tables; the matrix then holds the D50 white and the PCS normalisation.
    bool labIn;
    bool labOut;
    float matrix[9];
    float offsets[3];
    float out[3][WideMsOutStride];   // curve at (k / 4096)², in words; one more node repeats the last
    float in[3][65536];              // curve at w / 65535
};

inline float wideMsInput(const float* t, uint32_t x)
{
    return t[x];
}

inline uint16_t wideMsOutput(const float* t, float y)
{
    y = y > 0.0f ? y : 0.0f;   // NaN too
    y = y < 1.0f ? y : 1.0f;
    const float p = std::sqrt(y) * float(WideMsOutSteps);
    const int32_t k = int32_t(p);
    const float f = p - float(k);
    const float a = t[k], b = t[k + 1];
    return uint16_t(int32_t((a + (b - a) * f) + 0.5f));
}

inline void wideMsPixel(const WideMatrixShaper* d, uint32_t r, uint32_t g, uint32_t b, uint16_t out[3])
{
    const float x0 = wideMsInput(d->in[0], r), x1 = wideMsInput(d->in[1], g), x2 = wideMsInput(d->in[2], b);
    for (int i = 0; i < 3; ++i) out[i] = wideMsOutput(d->out[i], msRow(d->matrix + 3 * i, d->offsets[i], x0, x1, x2));
}

void evalWideMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data);
void evalPcsMatrixShaper16(const uint16_t in[], uint16_t out[], const void* data);

constexpr float LabEdge = 6.0f / 29.0f;

// XYZ relative to the white from f(X/Xn) and back: cube and cube root above
// the linear foot.
inline float labFInverse(float t)
{
    return t > LabEdge ? (t * t) * t : (t - 4.0f / 29.0f) * (3.0f * LabEdge * LabEdge);
}

inline float labF(float t)
{
    return t > LabEdge * LabEdge * LabEdge ? std::cbrt(t) : t / (3.0f * LabEdge * LabEdge) + 4.0f / 29.0f;
}

// Version-4 Lab words to X/Xn, Y/Yn, Z/Zn.
inline void labWordsToRelativeXyz(uint32_t w0, uint32_t w1, uint32_t w2, float x[3])
{
    const float L = float(int32_t(w0)) * (100.0f / 65535.0f);
    const float a = float(int32_t(w1)) * (255.0f / 65535.0f) - 128.0f;
    const float b = float(int32_t(w2)) * (255.0f / 65535.0f) - 128.0f;
    const float fy = (L + 16.0f) / 116.0f;
    x[0] = labFInverse(fy + a / 500.0f);
    x[1] = labFInverse(fy);
    x[2] = labFInverse(fy - b / 200.0f);
}

inline void labMsPixel(const WideMatrixShaper* d, uint32_t w0, uint32_t w1, uint32_t w2, uint16_t out[3])
{
    float x[3];
    labWordsToRelativeXyz(w0, w1, w2, x);
    for (int i = 0; i < 3; ++i) out[i] = wideMsOutput(d->out[i], msRow(d->matrix + 3 * i, d->offsets[i], x[0], x[1], x[2]));
}

// ---------------------------------------------------------------------------
// CLUT evaluator: [curves?, 16-bit CLUT, curves?]
// ---------------------------------------------------------------------------
//
// Pre- and post-curves are applied through their 16-bit tables and the CLUT
// is interpolated directly. For 8-bit input to a 3-input CLUT the position of
// every sample value on the grid (after its pre-curve) is worked out once.

struct Axis8 {
    uint32_t base;       // table offset of the cell's lower node
    uint32_t step;       // to the upper node; 0 at the top of the grid
    int32_t fraction;    // 0 … 0xFFFF
};

// A curve's 16-bit table with the few entries of padding the vector code
// reads past its end.
struct CurveTable {
    const uint16_t* values;
    uint32_t domain;     // entries - 1
};

struct ClutEval {
    EngineContext* ctx;
    uint32_t inputs;
    uint32_t outputs;
    bool hasPre;
    bool hasPost;
    bool hasAxes;                 // 3 inputs through the engine's own tetrahedral routine
    ToneCurve* pre[MaxPipelineChannels];
    ToneCurve* post[MaxPipelineChannels];
    Stage* clut;                  // a copy of the pipeline's CLUT
    const InterpParams* params;   // the copy's
    uint16_t* table;              // the copy's values and a few zeros, for reads of four at a time
    Axis8 axes[3][256];
    // The same as one word per sample value: fraction | cell << 16 | top << 24.
    uint32_t axisWords[3][256];
    // The curves' tables, padded, for the 16-bit line workers (3 inputs only).
    uint16_t* curveStore;
    CurveTable preTables[3];
    CurveTable postTables[4];
};

constexpr uint32_t TablePadding = 4;

// A curve's 16-bit linear interpolation, as the 1-input routine does it
// (in unsigned 32 bits: lo·(65536 − f) + hi·f + 0x8000 never overflows).
inline uint16_t curveWord(const CurveTable& c, uint16_t x)
{
    const GridPosition g = gridPosition(c.domain, x);
    const uint32_t lo = c.values[g.cell], hi = c.values[g.cell + 1];
    return uint16_t((lo * (0x10000 - g.fraction) + hi * g.fraction + 0x8000) >> 16);
}

// Tetrahedral interpolation from three axis positions, giving the words of
// the 16-bit routine. With the inputs in falling order of their fractions
// r1 ≥ r2 ≥ r3, the tetrahedron's nodes are the base p0, p1 one step along
// the first, p2 along the first two and p3 along all three (the far corner);
// ties may go either way, every choice gives the same sum. With rest =
// (p1 − p0)·r1 + (p2 − p1)·r2 + (p3 − p2)·r3 + 0x8001 the routine gives
// p0 + ((rest + (rest >> 16)) >> 16). Over the non-negative weights of the
// nodes, A = rest + p0·65536 = p0·(65536 − r1) + p1·(r1 − r2) + p2·(r2 − r3)
// + p3·r3 + 0x8001 stays below 2^32, and the same word is
// (A + (A >> 16) − p0) >> 16, in unsigned 32-bit arithmetic that may wrap
// on the way but not in the result.
struct Tetrahedron {
    uint32_t node[4];      // table offsets
    uint32_t weight[4];
};

inline Tetrahedron tetrahedronOf(uint32_t base, const uint32_t step[3], const uint32_t r[3])
{
    // The first input of the largest fraction, the last of the smallest:
    // never the same one.
    const uint32_t hi = r[0] >= r[1] && r[0] >= r[2] ? 0 : r[1] >= r[2] ? 1 : 2;
    const uint32_t lo = r[2] <= r[1] && r[2] <= r[0] ? 2 : r[1] <= r[0] ? 1 : 0;
    const uint32_t r1 = r[hi], r3 = r[lo], r2 = r[0] + r[1] + r[2] - r1 - r3;
    Tetrahedron t;
    t.node[0] = base;
    t.node[3] = base + step[0] + step[1] + step[2];
    t.node[1] = base + step[hi];
    t.node[2] = t.node[3] - step[lo];
    t.weight[0] = 0x10000 - r1;
    t.weight[1] = r1 - r2;
    t.weight[2] = r2 - r3;
    t.weight[3] = r3;
    return t;
}

inline uint16_t tetrahedralWord(const uint16_t* table, const Tetrahedron& t, uint32_t o)
{
    const uint32_t p0 = table[t.node[0] + o];
    const uint32_t a = p0 * t.weight[0] + table[t.node[1] + o] * t.weight[1] + table[t.node[2] + o] * t.weight[2] +
                       table[t.node[3] + o] * t.weight[3] + 0x8001;
    return uint16_t((a + (a >> 16) - p0) >> 16);
}

inline Tetrahedron tetrahedronOf8(const Axis8& x, const Axis8& y, const Axis8& z)
{
    const uint32_t step[3] = {x.step, y.step, z.step};
    const uint32_t r[3] = {uint32_t(x.fraction), uint32_t(y.fraction), uint32_t(z.fraction)};
    return tetrahedronOf(x.base + y.base + z.base, step, r);
}

// The grid position of a 16-bit word along input c.
inline void axisOf16(const ClutEval* d, uint32_t c, uint16_t w, uint32_t* base, uint32_t* step, uint32_t* fraction)
{
    const InterpParams* p = d->params;
    const GridPosition g = gridPosition(p->domain[c], w);
    *base = g.cell * p->strides[c];
    *step = w == 0xFFFF ? 0 : p->strides[c];
    *fraction = g.fraction;
}

void evalClut8(const uint16_t in[], uint16_t out[], const void* data);
void evalClut16(const uint16_t in[], uint16_t out[], const void* data);

// Whether the 16-bit line workers can read a CLUT evaluator's curves and
// table (3 inputs, 1 to 4 outputs, curves through their own tables).
inline bool clutHasLineTables(const ClutEval* d)
{
    return d->hasAxes && d->curveStore;
}

// ---------------------------------------------------------------------------
// Vector paths
// ---------------------------------------------------------------------------

enum VectorLevel : int {
    VectorPlain = 0,
    VectorSse41 = 1,
    VectorAvx2 = 2,
    VectorAvx512 = 3,
};

// The path the line workers take now: the highest the processor has, unless
// lowered by setOptimiserVectorLevel.
VectorLevel activeVectorLevel();
