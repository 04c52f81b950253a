// What the whole-line workers share across their files: where a loop finds
// its samples, the plain loops (which the vector loops also run on the
// pixels left over after their last block), and the tables of vector loops
// that each instruction set's file provides.
#pragma once

#include "oslevals.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#if defined(__GNUC__) && !defined(__clang__)
// GCC's AVX-512 headers start results from deliberately undefined registers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#define OSL_X86 1
#define OSL_SSE41 __attribute__((target("sse4.1")))
#define OSL_AVX2 __attribute__((target("avx2")))
#define OSL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))
// Small loops over outputs and nodes, unrolled so that their vectors stay in registers.
#define OSL_UNROLL _Pragma("GCC unroll 16")
#endif

// Where a line worker finds its samples: sample offsets within a pixel and
// the pixel sizes, in samples. A single extra sample on both sides is carried
// along in the same loop when the transform copies extra channels; more of
// them are copied in a pass of their own.
struct LineLayout {
    uint32_t inStep;
    uint32_t outStep;
    uint32_t in[3];
    uint32_t out[MaxPipelineChannels];
    uint32_t outputs;
    bool alpha;
    uint32_t inAlpha;
    uint32_t outAlpha;
};


template <typename D, typename Sample>
using LineFn = void (*)(const D* d, const LineLayout& L, const Sample* src, Sample* dst, uint32_t pixels);

// ---------------------------------------------------------------------------
// Plain loops
// ---------------------------------------------------------------------------

template <bool Alpha>
void matrixShaperPlain(const MatrixShaper* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                       uint32_t pixels)
{
    for (uint32_t i = 0; i < pixels; ++i) {
        uint32_t index[3];
        msPixel(d, src[L.in[0]], src[L.in[1]], src[L.in[2]], index);
        if constexpr (Alpha) dst[L.outAlpha] = src[L.inAlpha];
        dst[L.out[0]] = d->out8[0][index[0]];
        dst[L.out[1]] = d->out8[1][index[1]];
        dst[L.out[2]] = d->out8[2][index[2]];
        src += L.inStep;
        dst += L.outStep;
    }
}

// LabIn: the matrix-shaper from Lab (evalPcsMatrixShaper16).
template <bool Alpha, bool LabIn = false>
void wideMatrixShaperPlain(const WideMatrixShaper* d, const LineLayout& L, const uint16_t* src, uint16_t* dst,
                           uint32_t pixels)
{
    for (uint32_t i = 0; i < pixels; ++i) {
        uint16_t words[3];
        if constexpr (LabIn)
            labMsPixel(d, src[L.in[0]], src[L.in[1]], src[L.in[2]], words);
        else
            wideMsPixel(d, src[L.in[0]], src[L.in[1]], src[L.in[2]], words);
        if constexpr (Alpha) dst[L.outAlpha] = src[L.inAlpha];
        dst[L.out[0]] = words[0];
        dst[L.out[1]] = words[1];
        dst[L.out[2]] = words[2];
        src += L.inStep;
        dst += L.outStep;
    }
}

template <bool Alpha>
void clutPlain8(const ClutEval* d, const LineLayout& L, const uint8_t* src, uint8_t* dst, uint32_t pixels)
{
    const uint32_t outputs = d->outputs;
    for (uint32_t i = 0; i < pixels; ++i) {
        const Tetrahedron t =
            tetrahedronOf8(d->axes[0][src[L.in[0]]], d->axes[1][src[L.in[1]]], d->axes[2][src[L.in[2]]]);
        for (uint32_t o = 0; o < outputs; ++o) {
            uint16_t w = tetrahedralWord(d->table, t, o);
            if (d->hasPost) w = evalCurve16(d->post[o], w);
            dst[L.out[o]] = wordToByte(w);
        }
        if constexpr (Alpha) dst[L.outAlpha] = src[L.inAlpha];
        src += L.inStep;
        dst += L.outStep;
    }
}

template <bool Alpha>
void clutPlain16(const ClutEval* d, const LineLayout& L, const uint16_t* src, uint16_t* dst, uint32_t pixels)
{
    const uint32_t outputs = d->outputs;
    for (uint32_t i = 0; i < pixels; ++i) {
        uint32_t base = 0, step[3], r[3];
        for (uint32_t c = 0; c < 3; ++c) {
            uint16_t w = src[L.in[c]];
            if (d->hasPre) w = curveWord(d->preTables[c], w);
            uint32_t b;
            axisOf16(d, c, w, &b, &step[c], &r[c]);
            base += b;
        }
        const Tetrahedron t = tetrahedronOf(base, step, r);
        for (uint32_t o = 0; o < outputs; ++o) {
            uint16_t w = tetrahedralWord(d->table, t, o);
            if (d->hasPost) w = curveWord(d->postTables[o], w);
            dst[L.out[o]] = w;
        }
        if constexpr (Alpha) dst[L.outAlpha] = src[L.inAlpha];
        src += L.inStep;
        dst += L.outStep;
    }
}


// ---------------------------------------------------------------------------
// Byte shuffles for blocks of 8-bit pixels
// ---------------------------------------------------------------------------
//
// A block's pixels are gathered into 32-bit lanes, one pixel per lane:
// picking takes sample c of pixel p to the low byte of lane p, and the
// alpha sample to its top byte; the results go out as one 32-bit word per
// pixel (outputs in bytes 0 …, alpha in byte 3), which placing takes to
// their places in the output. 4 pixels per 16 bytes for AVX2 (the same in
// both halves), 16 per 64 bytes for AVX-512.

// Whether the block loops read and write these pixels: 3 or 4 samples on
// each side, the outputs and the carried alpha within the output pixel.
inline bool blockBytes(const LineLayout& L)
{
    return (L.inStep == 3 || L.inStep == 4) && (L.outStep == 3 || L.outStep == 4) && L.outputs <= L.outStep &&
           !(L.alpha && L.outputs == 4);
}

struct BytePicks {
    alignas(64) int8_t pick[4][64];   // channels 0 … 2, then alpha
    alignas(64) int8_t place[64];
    uint64_t written;                 // output bytes of the block that are written
};

inline void bytePicks(const LineLayout& L, uint32_t pixels, BytePicks* b)
{
    std::memset(b, -128, sizeof b->pick + sizeof b->place);
    for (uint32_t p = 0; p < pixels; ++p) {
        OSL_UNROLL
        for (uint32_t c = 0; c < 3; ++c) b->pick[c][4 * p] = int8_t(p * L.inStep + L.in[c]);
        if (L.alpha) b->pick[3][4 * p + 3] = int8_t(p * L.inStep + L.inAlpha);
    }
    b->written = 0;
    for (uint32_t q = 0; q < pixels * L.outStep; ++q) {
        const uint32_t p = q / L.outStep, s = q % L.outStep;
        OSL_UNROLL
        for (uint32_t o = 0; o < L.outputs; ++o)
            if (L.out[o] == s) b->place[q] = int8_t(4 * p + o);
        if (L.alpha && L.outAlpha == s) b->place[q] = int8_t(4 * p + 3);
        if (b->place[q] >= 0) b->written |= uint64_t(1) << q;
    }
}


// The output table of channel r, moved back so that the index of a linear
// value before the subtraction of msIndex reads its entry (addresses are
// worked out in integers: the pointer itself lies before the table).
inline const int* outputTableBase(const MatrixShaper* d, int r)
{
    return reinterpret_cast<const int*>(reinterpret_cast<uintptr_t>(d->out8[r]) - (MsFloorBits >> MsIndexShift));
}

// Whether the 16-bit block loops write these pixels: 3 or 4 samples out.
inline bool blockWords(const LineLayout& L)
{
    return (L.outStep == 3 || L.outStep == 4) && L.outputs <= L.outStep && !(L.alpha && L.outputs == 4);
}

// The loops of one instruction set, without and with the carried alpha;
// null where it has none of its own.
struct VectorLoops {
    LineFn<MatrixShaper, uint8_t> matrixShaper[2];
    LineFn<ClutEval, uint8_t> clut8[2];
    LineFn<WideMatrixShaper, uint16_t> wideMatrixShaper[2];
    LineFn<WideMatrixShaper, uint16_t> labMatrixShaper[2];
    LineFn<ClutEval, uint16_t> clut16[2];
};

#if OSL_X86
extern const VectorLoops Sse41Loops;    // osllines.cpp
extern const VectorLoops Avx2Loops;     // osllines_avx2.cpp
extern const VectorLoops Avx512Loops;   // osllines_avx512.cpp
#endif

