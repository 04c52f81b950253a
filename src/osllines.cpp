// Whole-line workers: the optimiser's evaluators run straight on interleaved
// 8- and 16-bit buffers instead of unpacking every pixel into words.
//
// Each evaluator has a plain loop and, where the processor has them, loops
// over blocks of pixels with SSE4.1 (8-bit only), AVX2 or AVX-512 that repeat
// the plain arithmetic of oslevals.h operation for operation, so that every
// path gives the same bytes. The path is chosen at every call from what the
// processor offers (and what tests and measurements allow).
#include "oslevals.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#if defined(__GNUC__) && !defined(__clang__)
// GCC's AVX-512 headers start results from deliberately undefined registers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define OSL_X86 1
#define OSL_SSE41 __attribute__((target("sse4.1")))
#define OSL_AVX2 __attribute__((target("avx2")))
#define OSL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))
// Small loops over outputs and nodes, unrolled so that their vectors stay in registers.
#define OSL_UNROLL _Pragma("GCC unroll 16")
#endif

namespace {

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

VectorLevel processorLevel()
{
#if OSL_X86
    static const VectorLevel level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi"))
            return VectorAvx512;
        if (__builtin_cpu_supports("avx2")) return VectorAvx2;
        if (__builtin_cpu_supports("sse4.1")) return VectorSse41;
        return VectorPlain;
    }();
    return level;
#else
    return VectorPlain;
#endif
}

std::atomic<int> levelCap{VectorAvx512};

// ---------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------

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

LineLayout lineLayout(const Transform* t, uint32_t outputs)
{
    const PixelLayout& I = t->inLayout;
    const PixelLayout& O = t->outLayout;
    LineLayout L{};
    L.inStep = I.samples;
    L.outStep = O.samples;
    for (uint32_t c = 0; c < 3; ++c) L.in[c] = I.position[c];
    for (uint32_t o = 0; o < outputs; ++o) L.out[o] = O.position[o];
    L.outputs = outputs;
    L.alpha = (t->flags & XformCopyAlpha) && I.extra == 1 && O.extra == 1;
    L.inAlpha = I.position[I.channels];
    L.outAlpha = O.position[O.channels];
    return L;
}

// The extra channels when there are several of them (a single one travels
// with the colours). Same-format in-place calls already hold them.
template <typename Sample>
void copyExtraSamples(const Transform* t, const Sample* src, Sample* dst, uint32_t pixels)
{
    if (!(t->flags & XformCopyAlpha)) return;
    const PixelLayout& I = t->inLayout;
    const PixelLayout& O = t->outLayout;
    if (I.extra < 2 || I.extra != O.extra) return;
    if (static_cast<const void*>(src) == dst && t->inputFormat == t->outputFormat) return;
    for (uint32_t i = 0; i < pixels; ++i) {
        for (uint32_t e = 0; e < I.extra; ++e) dst[O.position[O.channels + e]] = src[I.position[I.channels + e]];
        src += I.samples;
        dst += O.samples;
    }
}

template <typename D, typename Sample>
using LineFn = void (*)(const D* d, const LineLayout& L, const Sample* src, Sample* dst, uint32_t pixels);

// Runs `line` over every line of a call.
template <typename D, typename Sample>
void runLines(Transform* t, const D* d, const LineLayout& L, LineFn<D, Sample> line, const void* in, void* out,
              uint32_t pixelsPerLine, uint32_t lineCount, const Stride* s)
{
    for (uint32_t l = 0; l < lineCount; ++l) {
        const auto* src = reinterpret_cast<const Sample*>(static_cast<const uint8_t*>(in) + size_t(l) * s->bytesPerLineIn);
        auto* dst = reinterpret_cast<Sample*>(static_cast<uint8_t*>(out) + size_t(l) * s->bytesPerLineOut);
        copyExtraSamples(t, src, dst, pixelsPerLine);
        line(d, L, src, dst, pixelsPerLine);
    }
}

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

#if OSL_X86
// ---------------------------------------------------------------------------
// SSE4.1: one pixel at a time, its outputs side by side
// ---------------------------------------------------------------------------

template <bool Alpha>
OSL_SSE41 void matrixShaperSse41(const MatrixShaper* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                                 uint32_t pixels)
{
    const __m128 c0 = _mm_setr_ps(d->matrix[0], d->matrix[3], d->matrix[6], 0.0f);
    const __m128 c1 = _mm_setr_ps(d->matrix[1], d->matrix[4], d->matrix[7], 0.0f);
    const __m128 c2 = _mm_setr_ps(d->matrix[2], d->matrix[5], d->matrix[8], 0.0f);
    const __m128 offsets = _mm_setr_ps(d->offsets[0], d->offsets[1], d->offsets[2], 0.0f);
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128i floor = _mm_set1_epi32(int32_t(MsFloorBits));
    const __m128i floorIndex = _mm_set1_epi32(int32_t(MsFloorBits >> MsIndexShift));
    for (uint32_t i = 0; i < pixels; ++i) {
        const __m128 x0 = _mm_set1_ps(d->linear[0][src[L.in[0]]]);
        const __m128 x1 = _mm_set1_ps(d->linear[1][src[L.in[1]]]);
        const __m128 x2 = _mm_set1_ps(d->linear[2][src[L.in[2]]]);
        __m128 y = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(c0, x0), _mm_mul_ps(c1, x1)), _mm_mul_ps(c2, x2)),
                              offsets);
        y = _mm_min_ps(y, one);
        const __m128i index = _mm_sub_epi32(
            _mm_srli_epi32(_mm_max_epi32(_mm_castps_si128(y), floor), MsIndexShift), floorIndex);
        if constexpr (Alpha) dst[L.outAlpha] = src[L.inAlpha];
        dst[L.out[0]] = d->out8[0][uint32_t(_mm_cvtsi128_si32(index))];
        dst[L.out[1]] = d->out8[1][uint32_t(_mm_extract_epi32(index, 1))];
        dst[L.out[2]] = d->out8[2][uint32_t(_mm_extract_epi32(index, 2))];
        src += L.inStep;
        dst += L.outStep;
    }
}

// Four 16-bit node values widened to 32 bits.
OSL_SSE41 inline __m128i nodeValues(const uint16_t* p)
{
    return _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Three or four outputs side by side, in the 32-bit form of the
// interpolation; no post-curves.
template <bool Alpha>
OSL_SSE41 void clutSse41(const ClutEval* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                         uint32_t pixels)
{
    const uint32_t outputs = d->outputs;
    const __m128i round = _mm_set1_epi32(0x8001);
    const __m128i toByte = _mm_set1_epi32(65281);
    const __m128i toByteRound = _mm_set1_epi32(0x800000);
    const __m128i shuffle = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    for (uint32_t i = 0; i < pixels; ++i) {
        const Tetrahedron t =
            tetrahedronOf8(d->axes[0][src[L.in[0]]], d->axes[1][src[L.in[1]]], d->axes[2][src[L.in[2]]]);
        const __m128i p0 = nodeValues(d->table + t.node[0]);
        __m128i a = _mm_add_epi32(_mm_mullo_epi32(p0, _mm_set1_epi32(int32_t(t.weight[0]))), round);
        a = _mm_add_epi32(a, _mm_mullo_epi32(nodeValues(d->table + t.node[1]), _mm_set1_epi32(int32_t(t.weight[1]))));
        a = _mm_add_epi32(a, _mm_mullo_epi32(nodeValues(d->table + t.node[2]), _mm_set1_epi32(int32_t(t.weight[2]))));
        a = _mm_add_epi32(a, _mm_mullo_epi32(nodeValues(d->table + t.node[3]), _mm_set1_epi32(int32_t(t.weight[3]))));
        const __m128i words = _mm_srli_epi32(_mm_sub_epi32(_mm_add_epi32(a, _mm_srli_epi32(a, 16)), p0), 16);
        const __m128i bytes = _mm_srli_epi32(_mm_add_epi32(_mm_mullo_epi32(words, toByte), toByteRound), 24);
        const uint32_t packed = uint32_t(_mm_cvtsi128_si32(_mm_shuffle_epi8(bytes, shuffle)));
        if constexpr (Alpha) dst[L.outAlpha] = src[L.inAlpha];
        for (uint32_t o = 0; o < outputs; ++o) dst[L.out[o]] = uint8_t(packed >> (8 * o));
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
bool blockBytes(const LineLayout& L)
{
    return (L.inStep == 3 || L.inStep == 4) && (L.outStep == 3 || L.outStep == 4) && L.outputs <= L.outStep &&
           !(L.alpha && L.outputs == 4);
}

struct BytePicks {
    alignas(64) int8_t pick[4][64];   // channels 0 … 2, then alpha
    alignas(64) int8_t place[64];
    uint64_t written;                 // output bytes of the block that are written
};

void bytePicks(const LineLayout& L, uint32_t pixels, BytePicks* b)
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

// ---------------------------------------------------------------------------
// AVX2, 8 pixels at a time
// ---------------------------------------------------------------------------

struct Bytes8 {
    __m256i pick[4];
    __m256i place;
    __m256i keep;        // output bytes left as they are
    bool blend;
    uint32_t inStep, outStep;
    uint32_t slack;      // pixels that must follow a block: the second load reads past it
};

OSL_AVX2 Bytes8 bytes8(const LineLayout& L)
{
    BytePicks b;
    bytePicks(L, 4, &b);
    Bytes8 io;
    OSL_UNROLL
    for (int c = 0; c < 4; ++c)
        io.pick[c] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(b.pick[c])));
    io.place = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(b.place)));
    alignas(16) int8_t keep[16];
    for (uint32_t q = 0; q < 16; ++q) keep[q] = (b.written >> q) & 1 ? 0 : -1;
    io.keep = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(keep)));
    io.blend = L.outStep == 4 && (b.written & 0xFFFF) != 0xFFFF;
    io.inStep = L.inStep;
    io.outStep = L.outStep;
    io.slack = L.inStep == 3 ? 2 : 0;
    return io;
}

OSL_AVX2 inline __m256i loadBytes8(const Bytes8& io, const uint8_t* src)
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * io.inStep));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

OSL_AVX2 inline void storeBytes8(const Bytes8& io, __m256i words, uint8_t* dst)
{
    const __m256i out = _mm256_shuffle_epi8(words, io.place);
    if (io.outStep == 4) {
        __m256i v = out;
        if (io.blend) v = _mm256_blendv_epi8(out, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst)), io.keep);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v);
        return;
    }
    const __m128i lo = _mm256_castsi256_si128(out), hi = _mm256_extracti128_si256(out, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), lo);
    const uint32_t lo8 = uint32_t(_mm_extract_epi32(lo, 2));
    std::memcpy(dst + 8, &lo8, 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 12), hi);
    const uint32_t hi8 = uint32_t(_mm_extract_epi32(hi, 2));
    std::memcpy(dst + 20, &hi8, 4);
}

// The output table of channel r, moved back so that the index of a linear
// value before the subtraction of msIndex reads its entry (addresses are
// worked out in integers: the pointer itself lies before the table).
inline const int* outputTableBase(const MatrixShaper* d, int r)
{
    return reinterpret_cast<const int*>(reinterpret_cast<uintptr_t>(d->out8[r]) - (MsFloorBits >> MsIndexShift));
}

template <bool Alpha>
OSL_AVX2 void matrixShaperAvx2(const MatrixShaper* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                               uint32_t pixels)
{
    uint32_t i = 0;
    if (blockBytes(L)) {
        const Bytes8 io = bytes8(L);
        __m256 m[9], offsets[3];
        OSL_UNROLL
        for (int k = 0; k < 9; ++k) m[k] = _mm256_set1_ps(d->matrix[k]);
        OSL_UNROLL
        for (int k = 0; k < 3; ++k) offsets[k] = _mm256_set1_ps(d->offsets[k]);
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256i floor = _mm256_set1_epi32(int32_t(MsFloorBits));
        const __m256i lowByte = _mm256_set1_epi32(0xFF);
        const int* out8[3];
        for (int r = 0; r < 3; ++r) out8[r] = outputTableBase(d, r);
        // The input curves of one block are read while the output curves
        // are read for the block before it.
        __m256i v = _mm256_setzero_si256();
        __m256 x[3] = {};
        if (i + 8 + io.slack <= pixels) {
            v = loadBytes8(io, src);
            for (int c = 0; c < 3; ++c) x[c] = _mm256_i32gather_ps(d->linear[c], _mm256_shuffle_epi8(v, io.pick[c]), 4);
        }
        for (; i + 8 + io.slack <= pixels; i += 8) {
            const __m256 x0 = x[0], x1 = x[1], x2 = x[2];
            __m256i words = Alpha ? _mm256_shuffle_epi8(v, io.pick[3]) : _mm256_setzero_si256();
            if (i + 16 + io.slack <= pixels) {
                v = loadBytes8(io, src + 8 * L.inStep);
                for (int c = 0; c < 3; ++c)
                    x[c] = _mm256_i32gather_ps(d->linear[c], _mm256_shuffle_epi8(v, io.pick[c]), 4);
            }
            for (int r = 0; r < 3; ++r) {
                __m256 y = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(m[3 * r], x0),
                                                                     _mm256_mul_ps(m[3 * r + 1], x1)),
                                                       _mm256_mul_ps(m[3 * r + 2], x2)),
                                         offsets[r]);
                y = _mm256_min_ps(y, one);
                const __m256i index = _mm256_srli_epi32(_mm256_max_epi32(_mm256_castps_si256(y), floor), MsIndexShift);
                const __m256i b = _mm256_and_si256(_mm256_i32gather_epi32(out8[r], index, 1), lowByte);
                words = _mm256_or_si256(words, _mm256_slli_epi32(b, 8 * r));
            }
            storeBytes8(io, words, dst);
            src += 8 * L.inStep;
            dst += 8 * L.outStep;
        }
    }
    matrixShaperPlain<Alpha>(d, L, src, dst, pixels - i);
}

// The tetrahedra of a block, from the three axis positions of each pixel.
struct Tetrahedra8 {
    __m256i node[4];
    __m256i weight[4];
};

OSL_AVX2 inline Tetrahedra8 tetrahedra8(__m256i base, const __m256i s[3], const __m256i r[3])
{
    const __m256i m01 = _mm256_cmpgt_epi32(r[1], r[0]);   // r1 > r0
    const __m256i m02 = _mm256_cmpgt_epi32(r[2], r[0]);
    const __m256i m12 = _mm256_cmpgt_epi32(r[2], r[1]);
    // The step of the first input with the largest fraction, of the last
    // with the smallest (oslevals.h, tetrahedronOf).
    const __m256i hiStep = _mm256_blendv_epi8(s[0], _mm256_blendv_epi8(s[1], s[2], m12), _mm256_or_si256(m01, m02));
    const __m256i loStep = _mm256_blendv_epi8(s[2], _mm256_blendv_epi8(s[1], s[0], m01), _mm256_or_si256(m12, m02));
    const __m256i r1 = _mm256_max_epi32(r[0], _mm256_max_epi32(r[1], r[2]));
    const __m256i r3 = _mm256_min_epi32(r[0], _mm256_min_epi32(r[1], r[2]));
    const __m256i r2 = _mm256_sub_epi32(_mm256_sub_epi32(_mm256_add_epi32(r[0], _mm256_add_epi32(r[1], r[2])), r1), r3);
    Tetrahedra8 t;
    t.node[0] = base;
    t.node[3] = _mm256_add_epi32(base, _mm256_add_epi32(s[0], _mm256_add_epi32(s[1], s[2])));
    t.node[1] = _mm256_add_epi32(base, hiStep);
    t.node[2] = _mm256_sub_epi32(t.node[3], loStep);
    t.weight[0] = _mm256_sub_epi32(_mm256_set1_epi32(0x10000), r1);
    t.weight[1] = _mm256_sub_epi32(r1, r2);
    t.weight[2] = _mm256_sub_epi32(r2, r3);
    t.weight[3] = r3;
    return t;
}

// The interpolated words of a block's tetrahedra, two pixels per register
// with their four outputs side by side (a fourth output of a 3-output table
// is whatever follows in the table).
OSL_AVX2 inline void interpolate8(const uint16_t* table, const Tetrahedra8& t, __m256i words[4])
{
    __m256i a[4], p0[4];
    OSL_UNROLL
    for (int k = 0; k < 4; ++k) {
        OSL_UNROLL
        for (int h = 0; h < 2; ++h) {
            const __m128i nodes = h ? _mm256_extracti128_si256(t.node[k], 1) : _mm256_castsi256_si128(t.node[k]);
            const __m256i g = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(table), nodes, 2);
            OSL_UNROLL
            for (int half = 0; half < 2; ++half) {
                const int pair = 2 * h + half;   // pixels 2·pair and 2·pair + 1
                const __m256i values = _mm256_cvtepu16_epi32(half ? _mm256_extracti128_si256(g, 1)
                                                                  : _mm256_castsi256_si128(g));
                const __m256i spread = _mm256_setr_epi32(2 * pair, 2 * pair, 2 * pair, 2 * pair, 2 * pair + 1,
                                                         2 * pair + 1, 2 * pair + 1, 2 * pair + 1);
                const __m256i product = _mm256_mullo_epi32(values, _mm256_permutevar8x32_epi32(t.weight[k], spread));
                if (k == 0) {
                    p0[pair] = values;
                    a[pair] = _mm256_add_epi32(product, _mm256_set1_epi32(0x8001));
                } else {
                    a[pair] = _mm256_add_epi32(a[pair], product);
                }
            }
        }
    }
    OSL_UNROLL
    for (int pair = 0; pair < 4; ++pair)
        words[pair] = _mm256_srli_epi32(
            _mm256_sub_epi32(_mm256_add_epi32(a[pair], _mm256_srli_epi32(a[pair], 16)), p0[pair]), 16);
}

// Grid positions of 8-bit samples from the axis words (fraction | cell << 16 | top << 24).
OSL_AVX2 inline void axes8(const ClutEval* d, const __m256i x[3], __m256i* base, __m256i s[3], __m256i r[3])
{
    const __m256i low = _mm256_set1_epi32(0xFFFF), cellMask = _mm256_set1_epi32(0xFF), one = _mm256_set1_epi32(1);
    *base = _mm256_setzero_si256();
    OSL_UNROLL
    for (int c = 0; c < 3; ++c) {
        const __m256i w = _mm256_i32gather_epi32(reinterpret_cast<const int*>(d->axisWords[c]), x[c], 4);
        const __m256i stride = _mm256_set1_epi32(int32_t(d->params->strides[c]));
        r[c] = _mm256_and_si256(w, low);
        *base = _mm256_add_epi32(*base, _mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(w, 16), cellMask), stride));
        s[c] = _mm256_and_si256(_mm256_sub_epi32(_mm256_srli_epi32(w, 24), one), stride);
    }
}

// Words to bytes as the 8-bit packers round them: (v · 65281 + 2^23) >> 24
// is ((v · 65281) >> 16) + 128) >> 8.
OSL_AVX2 inline __m256i wordsToBytes16(__m256i v)
{
    return _mm256_srli_epi16(
        _mm256_add_epi16(_mm256_mulhi_epu16(v, _mm256_set1_epi16(int16_t(65281))), _mm256_set1_epi16(128)), 8);
}

OSL_AVX2 inline Tetrahedra8 tetrahedraOfBytes8(const ClutEval* d, const Bytes8& io, __m256i v)
{
    const __m256i x[3] = {_mm256_shuffle_epi8(v, io.pick[0]), _mm256_shuffle_epi8(v, io.pick[1]),
                          _mm256_shuffle_epi8(v, io.pick[2])};
    __m256i base, s[3], r[3];
    axes8(d, x, &base, s, r);
    return tetrahedra8(base, s, r);
}

template <bool Alpha>
OSL_AVX2 void clutAvx2(const ClutEval* d, const LineLayout& L, const uint8_t* src, uint8_t* dst, uint32_t pixels)
{
    uint32_t i = 0;
    if (blockBytes(L)) {
        const Bytes8 io = bytes8(L);
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        const __m256i colours = _mm256_set1_epi32(d->outputs == 4 ? -1 : 0x00FFFFFF);
        // The grid positions of one block are worked out while the table is
        // read for the block before it.
        __m256i v = _mm256_setzero_si256();
        Tetrahedra8 t{};
        if (i + 8 + io.slack <= pixels) t = tetrahedraOfBytes8(d, io, v = loadBytes8(io, src));
        for (; i + 8 + io.slack <= pixels; i += 8) {
            const __m256i current = v;
            const Tetrahedra8 now = t;
            if (i + 16 + io.slack <= pixels) t = tetrahedraOfBytes8(d, io, v = loadBytes8(io, src + 8 * L.inStep));
            __m256i words[4];
            interpolate8(d->table, now, words);
            // Pairs of pixels to bytes, back in pixel order.
            const __m256i a = wordsToBytes16(_mm256_packus_epi32(words[0], words[1]));   // 0 2 | 1 3
            const __m256i b = wordsToBytes16(_mm256_packus_epi32(words[2], words[3]));   // 4 6 | 5 7
            __m256i out = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b), order);
            out = _mm256_and_si256(out, colours);
            if constexpr (Alpha) out = _mm256_or_si256(out, _mm256_shuffle_epi8(current, io.pick[3]));
            storeBytes8(io, out, dst);
            src += 8 * L.inStep;
            dst += 8 * L.outStep;
        }
    }
    clutPlain8<Alpha>(d, L, src, dst, pixels - i);
}

// ---------------------------------------------------------------------------
// AVX2, 16-bit samples
// ---------------------------------------------------------------------------
//
// Samples are gathered from the pixels (a 32-bit read may reach into the
// next pixel, so a block is never the last pixels of a line); results are
// assembled as one 64-bit group per pixel (outputs 0 … 2 or 0 … 3, alpha
// fourth) and shuffled into place two pixels per 16 bytes.

struct Words8 {
    __m256i gather[4];   // byte offsets of channels 0 … 2 and alpha in the block's pixels
    __m256i place;       // within two pixels of 8 bytes
    __m256i keep;
    bool blend;
    uint32_t inStep, outStep;
};

OSL_AVX2 Words8 words8(const LineLayout& L)
{
    Words8 io;
    OSL_UNROLL
    for (uint32_t c = 0; c < 4; ++c) {
        const uint32_t at = c < 3 ? L.in[c] : L.inAlpha;
        alignas(32) int32_t offsets[8];
        OSL_UNROLL
        for (uint32_t p = 0; p < 8; ++p) offsets[p] = int32_t(2 * (p * L.inStep + at));
        io.gather[c] = _mm256_load_si256(reinterpret_cast<const __m256i*>(offsets));
    }
    alignas(16) int8_t place[16], keep[16];
    for (uint32_t q = 0; q < 16; ++q) {
        place[q] = -128;
        const uint32_t p = q / (2 * L.outStep), s = (q / 2) % L.outStep, byte = q % 2;
        if (p < 2) {
            OSL_UNROLL
            for (uint32_t o = 0; o < L.outputs; ++o)
                if (L.out[o] == s) place[q] = int8_t(8 * p + 2 * o + byte);
            if (L.alpha && L.outAlpha == s) place[q] = int8_t(8 * p + 6 + byte);
        }
        keep[q] = place[q] < 0 ? -1 : 0;
    }
    io.place = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(place)));
    io.keep = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(keep)));
    io.blend = false;
    for (uint32_t q = 0; q < 16; ++q) io.blend = io.blend || (L.outStep == 4 && keep[q]);
    io.inStep = L.inStep;
    io.outStep = L.outStep;
    return io;
}

bool blockWords(const LineLayout& L)
{
    return (L.outStep == 3 || L.outStep == 4) && L.outputs <= L.outStep && !(L.alpha && L.outputs == 4);
}

OSL_AVX2 inline __m256i gatherWords8(const Words8& io, const uint16_t* src, int c)
{
    const __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(src), io.gather[c], 1);
    return _mm256_and_si256(g, _mm256_set1_epi32(0xFFFF));
}

// Four pixels, 64 bits each, [0 1 | 2 3], to their places.
OSL_AVX2 inline void storeWords4(const Words8& io, __m256i groups, uint16_t* dst)
{
    const __m256i out = _mm256_shuffle_epi8(groups, io.place);
    if (io.outStep == 4) {
        __m256i v = out;
        if (io.blend) v = _mm256_blendv_epi8(out, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst)), io.keep);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v);
        return;
    }
    auto* bytes = reinterpret_cast<uint8_t*>(dst);
    const __m128i lo = _mm256_castsi256_si128(out), hi = _mm256_extracti128_si256(out, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes), lo);
    const uint32_t lo8 = uint32_t(_mm_extract_epi32(lo, 2));
    std::memcpy(bytes + 8, &lo8, 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 12), hi);
    const uint32_t hi8 = uint32_t(_mm_extract_epi32(hi, 2));
    std::memcpy(bytes + 20, &hi8, 4);
}

OSL_AVX2 inline __m256 wideInputAvx2(const float* t, __m256i x)
{
    return _mm256_i32gather_ps(t, x, 4);
}

OSL_AVX2 inline __m256i wideOutputAvx2(const float* t, __m256 y)
{
    y = _mm256_min_ps(_mm256_max_ps(y, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    const __m256 p = _mm256_mul_ps(_mm256_sqrt_ps(y), _mm256_set1_ps(float(WideMsOutSteps)));
    const __m256i k = _mm256_cvttps_epi32(p);
    const __m256 f = _mm256_sub_ps(p, _mm256_cvtepi32_ps(k));
    const __m256 a = _mm256_i32gather_ps(t, k, 4), b = _mm256_i32gather_ps(t + 1, k, 4);
    return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_add_ps(a, _mm256_mul_ps(_mm256_sub_ps(b, a), f)),
                                             _mm256_set1_ps(0.5f)));
}

OSL_AVX2 inline __m256 labFInverseAvx2(__m256 t)
{
    const __m256 cube = _mm256_mul_ps(_mm256_mul_ps(t, t), t);
    const __m256 foot =
        _mm256_mul_ps(_mm256_sub_ps(t, _mm256_set1_ps(4.0f / 29.0f)), _mm256_set1_ps(3.0f * LabEdge * LabEdge));
    return _mm256_blendv_ps(foot, cube, _mm256_cmp_ps(t, _mm256_set1_ps(LabEdge), _CMP_GT_OQ));
}

// labWordsToRelativeXyz, eight pixels at a time.
OSL_AVX2 inline void labInputAvx2(__m256i w0, __m256i w1, __m256i w2, __m256 x[3])
{
    const __m256 L = _mm256_mul_ps(_mm256_cvtepi32_ps(w0), _mm256_set1_ps(100.0f / 65535.0f));
    const __m256 a = _mm256_sub_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(w1), _mm256_set1_ps(255.0f / 65535.0f)),
                                   _mm256_set1_ps(128.0f));
    const __m256 b = _mm256_sub_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(w2), _mm256_set1_ps(255.0f / 65535.0f)),
                                   _mm256_set1_ps(128.0f));
    const __m256 fy = _mm256_div_ps(_mm256_add_ps(L, _mm256_set1_ps(16.0f)), _mm256_set1_ps(116.0f));
    x[0] = labFInverseAvx2(_mm256_add_ps(fy, _mm256_div_ps(a, _mm256_set1_ps(500.0f))));
    x[1] = labFInverseAvx2(fy);
    x[2] = labFInverseAvx2(_mm256_sub_ps(fy, _mm256_div_ps(b, _mm256_set1_ps(200.0f))));
}

template <bool LabIn>
OSL_AVX2 inline void wideInputsAvx2(const WideMatrixShaper* d, const Words8& io, const uint16_t* src, __m256 x[3])
{
    if constexpr (LabIn) {
        labInputAvx2(gatherWords8(io, src, 0), gatherWords8(io, src, 1), gatherWords8(io, src, 2), x);
    } else {
        for (int c = 0; c < 3; ++c) x[c] = wideInputAvx2(d->in[c], gatherWords8(io, src, c));
    }
}

template <bool Alpha, bool LabIn = false>
OSL_AVX2 void wideMatrixShaperAvx2(const WideMatrixShaper* d, const LineLayout& L, const uint16_t* src,
                                   uint16_t* dst, uint32_t pixels)
{
    uint32_t i = 0;
    if (blockWords(L)) {
        const Words8 io = words8(L);
        __m256 m[9], offsets[3];
        OSL_UNROLL
        for (int k = 0; k < 9; ++k) m[k] = _mm256_set1_ps(d->matrix[k]);
        OSL_UNROLL
        for (int k = 0; k < 3; ++k) offsets[k] = _mm256_set1_ps(d->offsets[k]);
        // The input side of one block is read while the output curves are
        // read for the block before it.
        __m256 x[3] = {};
        if (i + 8 < pixels) wideInputsAvx2<LabIn>(d, io, src, x);
        for (; i + 8 < pixels; i += 8) {
            const __m256 x0 = x[0], x1 = x[1], x2 = x[2];
            const __m256i alpha = Alpha ? gatherWords8(io, src, 3) : _mm256_setzero_si256();
            if (i + 16 < pixels) wideInputsAvx2<LabIn>(d, io, src + 8 * L.inStep, x);
            __m256i w[3];
            OSL_UNROLL
            for (int r = 0; r < 3; ++r) {
                const __m256 y = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(m[3 * r], x0),
                                                                           _mm256_mul_ps(m[3 * r + 1], x1)),
                                                             _mm256_mul_ps(m[3 * r + 2], x2)),
                                               offsets[r]);
                w[r] = wideOutputAvx2(d->out[r], y);
            }
            const __m256i rg = _mm256_or_si256(w[0], _mm256_slli_epi32(w[1], 16));
            const __m256i ba = _mm256_or_si256(w[2], _mm256_slli_epi32(alpha, 16));
            const __m256i lo = _mm256_unpacklo_epi32(rg, ba), hi = _mm256_unpackhi_epi32(rg, ba);   // 0 1 | 4 5, 2 3 | 6 7
            storeWords4(io, _mm256_permute2x128_si256(lo, hi, 0x20), dst);
            storeWords4(io, _mm256_permute2x128_si256(lo, hi, 0x31), dst + 4 * L.outStep);
            src += 8 * L.inStep;
            dst += 8 * L.outStep;
        }
    }
    wideMatrixShaperPlain<Alpha, LabIn>(d, L, src, dst, pixels - i);
}

// x / 65535 for x below 2^32 − 2^17: (x + (x >> 16) + 1) >> 16.
OSL_AVX2 inline __m256i divide65535(__m256i x)
{
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(x, _mm256_srli_epi32(x, 16)), _mm256_set1_epi32(1)),
                             16);
}

// The 16.16 grid position of words along a domain (per lane).
OSL_AVX2 inline __m256i position16(__m256i x, __m256i domain)
{
    const __m256i a = _mm256_mullo_epi32(x, domain);
    return _mm256_add_epi32(a, divide65535(_mm256_add_epi32(a, _mm256_set1_epi32(0x7FFF))));
}

// A curve's words at x (curveWord), with per-lane tables (offsets into `store`) and domains.
OSL_AVX2 inline __m256i curveWords8(const uint16_t* store, __m256i offset, __m256i domain, __m256i x)
{
    const __m256i v = position16(x, domain);
    const __m256i f = _mm256_and_si256(v, _mm256_set1_epi32(0xFFFF));
    const __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(store),
                                             _mm256_add_epi32(offset, _mm256_srli_epi32(v, 16)), 2);
    const __m256i lo = _mm256_and_si256(g, _mm256_set1_epi32(0xFFFF)), hi = _mm256_srli_epi32(g, 16);
    const __m256i sum = _mm256_add_epi32(_mm256_mullo_epi32(lo, _mm256_sub_epi32(_mm256_set1_epi32(0x10000), f)),
                                         _mm256_mullo_epi32(hi, f));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(0x8000)), 16);
}

template <bool Alpha>
OSL_AVX2 void clutWordsAvx2(const ClutEval* d, const LineLayout& L, const uint16_t* src, uint16_t* dst,
                            uint32_t pixels)
{
    uint32_t i = 0;
    if (blockWords(L)) {
        const Words8 io = words8(L);
        const uint16_t* store = d->curveStore;
        __m256i preOffset[3], preDomain[3], clutDomain[3], stride[3];
        OSL_UNROLL
        for (int c = 0; c < 3; ++c) {
            preOffset[c] = _mm256_set1_epi32(d->hasPre ? int32_t(d->preTables[c].values - store) : 0);
            preDomain[c] = _mm256_set1_epi32(d->hasPre ? int32_t(d->preTables[c].domain) : 0);
            clutDomain[c] = _mm256_set1_epi32(int32_t(d->params->domain[c]));
            stride[c] = _mm256_set1_epi32(int32_t(d->params->strides[c]));
        }
        alignas(32) int32_t postOffsets[8] = {}, postDomains[8] = {};
        for (uint32_t o = 0; d->hasPost && o < d->outputs; ++o) {
            postOffsets[o] = postOffsets[o + 4] = int32_t(d->postTables[o].values - store);
            postDomains[o] = postDomains[o + 4] = int32_t(d->postTables[o].domain);
        }
        const __m256i postOffset = _mm256_load_si256(reinterpret_cast<const __m256i*>(postOffsets));
        const __m256i postDomain = _mm256_load_si256(reinterpret_cast<const __m256i*>(postDomains));
        const __m256i top = _mm256_set1_epi32(0xFFFF);
        // The tetrahedra of the block after this one, worked out while the
        // table is read for this one.
        auto tetrahedraAt = [&](const uint16_t* from) OSL_AVX2 {
            __m256i base = _mm256_setzero_si256(), s[3], r[3];
            for (int c = 0; c < 3; ++c) {
                __m256i x = gatherWords8(io, from, c);
                if (d->hasPre) x = curveWords8(store, preOffset[c], preDomain[c], x);
                const __m256i v = position16(x, clutDomain[c]);
                r[c] = _mm256_and_si256(v, top);
                base = _mm256_add_epi32(base, _mm256_mullo_epi32(_mm256_srli_epi32(v, 16), stride[c]));
                s[c] = _mm256_andnot_si256(_mm256_cmpeq_epi32(x, top), stride[c]);
            }
            return tetrahedra8(base, s, r);
        };
        Tetrahedra8 t{};
        if (i + 8 < pixels) t = tetrahedraAt(src);
        for (; i + 8 < pixels; i += 8) {
            const Tetrahedra8 now = t;
            if (i + 16 < pixels) t = tetrahedraAt(src + 8 * L.inStep);
            __m256i words[4];
            interpolate8(d->table, now, words);
            const __m256i alpha = Alpha ? gatherWords8(io, src, 3) : _mm256_setzero_si256();
            OSL_UNROLL
            for (int pair = 0; pair < 4; ++pair) {
                if (d->hasPost) words[pair] = curveWords8(store, postOffset, postDomain, words[pair]);
                if constexpr (Alpha) {
                    const __m256i spread = _mm256_setr_epi32(2 * pair, 2 * pair, 2 * pair, 2 * pair, 2 * pair + 1,
                                                             2 * pair + 1, 2 * pair + 1, 2 * pair + 1);
                    words[pair] = _mm256_blend_epi32(words[pair], _mm256_permutevar8x32_epi32(alpha, spread), 0x88);
                }
            }
            // Pairs to 64-bit groups in pixel order: packing gives 0 2 | 1 3.
            const __m256i first = _mm256_permute4x64_epi64(_mm256_packus_epi32(words[0], words[1]), 0xD8);
            const __m256i second = _mm256_permute4x64_epi64(_mm256_packus_epi32(words[2], words[3]), 0xD8);
            storeWords4(io, first, dst);
            storeWords4(io, second, dst + 4 * L.outStep);
            src += 8 * L.inStep;
            dst += 8 * L.outStep;
        }
    }
    clutPlain16<Alpha>(d, L, src, dst, pixels - i);
}

// ---------------------------------------------------------------------------
// AVX-512, 16 pixels at a time
// ---------------------------------------------------------------------------

struct Bytes16 {
    __m512i pick[4];
    __m512i place;
    __mmask64 load, store;
};

OSL_AVX512 Bytes16 bytes16(const LineLayout& L)
{
    BytePicks b;
    bytePicks(L, 16, &b);
    Bytes16 io;
    OSL_UNROLL
    for (int c = 0; c < 4; ++c) io.pick[c] = _mm512_load_si512(b.pick[c]);
    io.place = _mm512_load_si512(b.place);
    io.load = 16 * L.inStep == 64 ? ~__mmask64(0) : (__mmask64(1) << (16 * L.inStep)) - 1;
    io.store = b.written;
    return io;
}

constexpr __mmask64 LowBytes = 0x1111111111111111ull;
constexpr __mmask64 TopBytes = 0x8888888888888888ull;

OSL_AVX512 inline __m512i pickBytes(const Bytes16& io, __m512i v, int c)
{
    return _mm512_maskz_permutexvar_epi8(c < 3 ? LowBytes : TopBytes, io.pick[c], v);
}

template <bool Alpha>
OSL_AVX512 void matrixShaperAvx512(const MatrixShaper* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                                   uint32_t pixels)
{
    uint32_t i = 0;
    if (blockBytes(L) && pixels >= 16) {
        const Bytes16 io = bytes16(L);
        __m512 m[9], offsets[3];
        OSL_UNROLL
        for (int k = 0; k < 9; ++k) m[k] = _mm512_set1_ps(d->matrix[k]);
        OSL_UNROLL
        for (int k = 0; k < 3; ++k) offsets[k] = _mm512_set1_ps(d->offsets[k]);
        const __m512 one = _mm512_set1_ps(1.0f);
        const __m512i floor = _mm512_set1_epi32(int32_t(MsFloorBits));
        const __m512i byteMask[3] = {_mm512_set1_epi32(0xFF), _mm512_set1_epi32(0xFF00), _mm512_set1_epi32(0xFF0000)};
        const int* out8[3];
        for (int r = 0; r < 3; ++r) out8[r] = outputTableBase(d, r);
        // The input curves of one block are read while the output curves
        // are read for the block before it.
        __m512i v = _mm512_maskz_loadu_epi8(io.load, src);
        __m512 x[3];
        OSL_UNROLL
        for (int c = 0; c < 3; ++c) x[c] = _mm512_i32gather_ps(pickBytes(io, v, c), d->linear[c], 4);
        for (; i + 16 <= pixels; i += 16) {
            const __m512 x0 = x[0], x1 = x[1], x2 = x[2];
            __m512i words = Alpha ? pickBytes(io, v, 3) : _mm512_setzero_si512();
            if (i + 32 <= pixels) {
                v = _mm512_maskz_loadu_epi8(io.load, src + 16 * L.inStep);
                OSL_UNROLL
                for (int c = 0; c < 3; ++c) x[c] = _mm512_i32gather_ps(pickBytes(io, v, c), d->linear[c], 4);
            }
            OSL_UNROLL
            for (int r = 0; r < 3; ++r) {
                __m512 y = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(m[3 * r], x0),
                                                                     _mm512_mul_ps(m[3 * r + 1], x1)),
                                                       _mm512_mul_ps(m[3 * r + 2], x2)),
                                         offsets[r]);
                y = _mm512_min_ps(y, one);
                const __m512i index = _mm512_srli_epi32(_mm512_max_epi32(_mm512_castps_si512(y), floor), MsIndexShift);
                const __m512i b = _mm512_i32gather_epi32(index, out8[r], 1);
                // Byte 0 of the word read goes to byte r of the result.
                words = _mm512_ternarylogic_epi32(_mm512_slli_epi32(b, 8 * r), words, byteMask[r], 0xE4);
            }
            _mm512_mask_storeu_epi8(dst, io.store, _mm512_permutexvar_epi8(io.place, words));
            src += 16 * L.inStep;
            dst += 16 * L.outStep;
        }
    }
    matrixShaperPlain<Alpha>(d, L, src, dst, pixels - i);
}

struct Tetrahedra16 {
    __m512i node[4];
    __m512i weight[4];
};

OSL_AVX512 inline Tetrahedra16 tetrahedra16(__m512i base, const __m512i s[3], const __m512i r[3])
{
    const __mmask16 m01 = _mm512_cmpgt_epi32_mask(r[1], r[0]);
    const __mmask16 m02 = _mm512_cmpgt_epi32_mask(r[2], r[0]);
    const __mmask16 m12 = _mm512_cmpgt_epi32_mask(r[2], r[1]);
    const __m512i hiStep = _mm512_mask_blend_epi32(m01 | m02, s[0], _mm512_mask_blend_epi32(m12, s[1], s[2]));
    const __m512i loStep = _mm512_mask_blend_epi32(m12 | m02, s[2], _mm512_mask_blend_epi32(m01, s[1], s[0]));
    const __m512i r1 = _mm512_max_epi32(r[0], _mm512_max_epi32(r[1], r[2]));
    const __m512i r3 = _mm512_min_epi32(r[0], _mm512_min_epi32(r[1], r[2]));
    const __m512i r2 = _mm512_sub_epi32(_mm512_sub_epi32(_mm512_add_epi32(r[0], _mm512_add_epi32(r[1], r[2])), r1), r3);
    Tetrahedra16 t;
    t.node[0] = base;
    t.node[3] = _mm512_add_epi32(base, _mm512_add_epi32(s[0], _mm512_add_epi32(s[1], s[2])));
    t.node[1] = _mm512_add_epi32(base, hiStep);
    t.node[2] = _mm512_sub_epi32(t.node[3], loStep);
    t.weight[0] = _mm512_sub_epi32(_mm512_set1_epi32(0x10000), r1);
    t.weight[1] = _mm512_sub_epi32(r1, r2);
    t.weight[2] = _mm512_sub_epi32(r2, r3);
    t.weight[3] = r3;
    return t;
}

OSL_AVX512 inline __m256i upperOrLower(__m512i v, int upper)
{
    return upper ? _mm512_extracti64x4_epi64(v, 1) : _mm512_castsi512_si256(v);
}

// Four pixels per register, four outputs each.
OSL_AVX512 inline void interpolate16(const uint16_t* table, const Tetrahedra16& t, __m512i words[4])
{
    __m512i a[4], p0[4];
    OSL_UNROLL
    for (int k = 0; k < 4; ++k) {
        OSL_UNROLL
        for (int h = 0; h < 2; ++h) {
            const __m256i nodes = upperOrLower(t.node[k], h);
            const __m512i g = _mm512_i32gather_epi64(nodes, table, 2);
            OSL_UNROLL
            for (int half = 0; half < 2; ++half) {
                const int quad = 2 * h + half;   // pixels 4·quad … 4·quad + 3
                const __m512i values = _mm512_cvtepu16_epi32(upperOrLower(g, half));
                const __m512i spread = _mm512_add_epi32(
                    _mm512_set1_epi32(4 * quad),
                    _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3));
                const __m512i product = _mm512_mullo_epi32(values, _mm512_permutexvar_epi32(spread, t.weight[k]));
                if (k == 0) {
                    p0[quad] = values;
                    a[quad] = _mm512_add_epi32(product, _mm512_set1_epi32(0x8001));
                } else {
                    a[quad] = _mm512_add_epi32(a[quad], product);
                }
            }
        }
    }
    OSL_UNROLL
    for (int quad = 0; quad < 4; ++quad)
        words[quad] = _mm512_srli_epi32(
            _mm512_sub_epi32(_mm512_add_epi32(a[quad], _mm512_srli_epi32(a[quad], 16)), p0[quad]), 16);
}

OSL_AVX512 inline __m512i wordsToBytes32(__m512i v)
{
    return _mm512_srli_epi16(
        _mm512_add_epi16(_mm512_mulhi_epu16(v, _mm512_set1_epi16(int16_t(65281))), _mm512_set1_epi16(128)), 8);
}

// The tetrahedra of sixteen 8-bit pixels, from their axis words.
OSL_AVX512 inline Tetrahedra16 tetrahedraOfBytes16(const ClutEval* d, const Bytes16& io, __m512i v)
{
    __m512i base = _mm512_setzero_si512(), s[3], r[3];
    OSL_UNROLL
    for (int c = 0; c < 3; ++c) {
        const __m512i stride = _mm512_set1_epi32(int32_t(d->params->strides[c]));
        const __m512i w = _mm512_i32gather_epi32(pickBytes(io, v, c), d->axisWords[c], 4);
        r[c] = _mm512_and_si512(w, _mm512_set1_epi32(0xFFFF));
        base = _mm512_add_epi32(
            base, _mm512_mullo_epi32(_mm512_and_si512(_mm512_srli_epi32(w, 16), _mm512_set1_epi32(0xFF)), stride));
        s[c] = _mm512_and_si512(_mm512_sub_epi32(_mm512_srli_epi32(w, 24), _mm512_set1_epi32(1)), stride);
    }
    return tetrahedra16(base, s, r);
}

template <bool Alpha>
OSL_AVX512 void clutAvx512(const ClutEval* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                           uint32_t pixels)
{
    uint32_t i = 0;
    if (blockBytes(L) && pixels >= 16) {
        const Bytes16 io = bytes16(L);
        const __m512i colours = _mm512_set1_epi32(d->outputs == 4 ? -1 : 0x00FFFFFF);
        // The grid positions of one block are worked out while the table is
        // read for the block before it: each waits on reads of its own.
        __m512i v = _mm512_maskz_loadu_epi8(io.load, src);
        Tetrahedra16 t = tetrahedraOfBytes16(d, io, v);
        for (; i + 16 <= pixels; i += 16) {
            const __m512i current = v;
            const Tetrahedra16 now = t;
            if (i + 32 <= pixels) {
                v = _mm512_maskz_loadu_epi8(io.load, src + 16 * L.inStep);
                t = tetrahedraOfBytes16(d, io, v);
            }
            __m512i words[4];
            interpolate16(d->table, now, words);
            // Four pixels per register to bytes, in pixel order.
            const __m512i lo = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(words[0])),
                                                  _mm512_cvtepi32_epi16(words[1]), 1);
            const __m512i hi = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(words[2])),
                                                  _mm512_cvtepi32_epi16(words[3]), 1);
            __m512i out = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(wordsToBytes32(lo))),
                                             _mm512_cvtepi16_epi8(wordsToBytes32(hi)), 1);
            out = _mm512_and_si512(out, colours);
            if constexpr (Alpha) out = _mm512_or_si512(out, pickBytes(io, current, 3));
            _mm512_mask_storeu_epi8(dst, io.store, _mm512_permutexvar_epi8(io.place, out));
            src += 16 * L.inStep;
            dst += 16 * L.outStep;
        }
    }
    clutPlain8<Alpha>(d, L, src, dst, pixels - i);
}

// 16-bit samples: gathered in, placed out as words eight pixels at a time.
struct Words16 {
    __m512i gather[4];
    __m512i place;           // words of 8 pixels, 64 bits each, to their places
    __mmask32 store;
};

OSL_AVX512 Words16 words16(const LineLayout& L)
{
    Words16 io;
    OSL_UNROLL
    for (uint32_t c = 0; c < 4; ++c) {
        const uint32_t at = c < 3 ? L.in[c] : L.inAlpha;
        alignas(64) int32_t offsets[16];
        for (uint32_t p = 0; p < 16; ++p) offsets[p] = int32_t(2 * (p * L.inStep + at));
        io.gather[c] = _mm512_load_si512(offsets);
    }
    alignas(64) int16_t place[32] = {};
    io.store = 0;
    for (uint32_t q = 0; q < 8 * L.outStep; ++q) {
        const uint32_t p = q / L.outStep, s = q % L.outStep;
        int32_t from = -1;
        OSL_UNROLL
        for (uint32_t o = 0; o < L.outputs; ++o)
            if (L.out[o] == s) from = int32_t(4 * p + o);
        if (L.alpha && L.outAlpha == s) from = int32_t(4 * p + 3);
        if (from >= 0) {
            place[q] = int16_t(from);
            io.store |= __mmask32(1) << q;
        }
    }
    io.place = _mm512_load_si512(place);
    return io;
}

OSL_AVX512 inline __m512i gatherWords16(const Words16& io, const uint16_t* src, int c)
{
    return _mm512_and_si512(_mm512_i32gather_epi32(io.gather[c], src, 1), _mm512_set1_epi32(0xFFFF));
}

// Eight pixels of four words each, in pixel order, to their places.
OSL_AVX512 inline void storeWords8(const Words16& io, __m512i groups, uint16_t* dst)
{
    _mm512_mask_storeu_epi16(dst, io.store, _mm512_permutexvar_epi16(io.place, groups));
}

OSL_AVX512 inline __m512 wideInputAvx512(const float* t, __m512i x)
{
    return _mm512_i32gather_ps(x, t, 4);
}

OSL_AVX512 inline __m512i wideOutputAvx512(const float* t, __m512 y)
{
    y = _mm512_min_ps(_mm512_max_ps(y, _mm512_setzero_ps()), _mm512_set1_ps(1.0f));
    const __m512 p = _mm512_mul_ps(_mm512_sqrt_ps(y), _mm512_set1_ps(float(WideMsOutSteps)));
    const __m512i k = _mm512_cvttps_epi32(p);
    const __m512 f = _mm512_sub_ps(p, _mm512_cvtepi32_ps(k));
    const __m512 a = _mm512_i32gather_ps(k, t, 4), b = _mm512_i32gather_ps(k, t + 1, 4);
    return _mm512_cvttps_epi32(_mm512_add_ps(_mm512_add_ps(a, _mm512_mul_ps(_mm512_sub_ps(b, a), f)),
                                             _mm512_set1_ps(0.5f)));
}

OSL_AVX512 inline __m512 labFInverseAvx512(__m512 t)
{
    const __m512 cube = _mm512_mul_ps(_mm512_mul_ps(t, t), t);
    const __m512 foot =
        _mm512_mul_ps(_mm512_sub_ps(t, _mm512_set1_ps(4.0f / 29.0f)), _mm512_set1_ps(3.0f * LabEdge * LabEdge));
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(t, _mm512_set1_ps(LabEdge), _CMP_GT_OQ), foot, cube);
}

OSL_AVX512 inline void labInputAvx512(__m512i w0, __m512i w1, __m512i w2, __m512 x[3])
{
    const __m512 L = _mm512_mul_ps(_mm512_cvtepi32_ps(w0), _mm512_set1_ps(100.0f / 65535.0f));
    const __m512 a = _mm512_sub_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(w1), _mm512_set1_ps(255.0f / 65535.0f)),
                                   _mm512_set1_ps(128.0f));
    const __m512 b = _mm512_sub_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(w2), _mm512_set1_ps(255.0f / 65535.0f)),
                                   _mm512_set1_ps(128.0f));
    const __m512 fy = _mm512_div_ps(_mm512_add_ps(L, _mm512_set1_ps(16.0f)), _mm512_set1_ps(116.0f));
    x[0] = labFInverseAvx512(_mm512_add_ps(fy, _mm512_div_ps(a, _mm512_set1_ps(500.0f))));
    x[1] = labFInverseAvx512(fy);
    x[2] = labFInverseAvx512(_mm512_sub_ps(fy, _mm512_div_ps(b, _mm512_set1_ps(200.0f))));
}

template <bool LabIn>
OSL_AVX512 inline void wideInputsAvx512(const WideMatrixShaper* d, const Words16& io, const uint16_t* src,
                                        __m512 x[3])
{
    if constexpr (LabIn) {
        labInputAvx512(gatherWords16(io, src, 0), gatherWords16(io, src, 1), gatherWords16(io, src, 2), x);
    } else {
        OSL_UNROLL
        for (int c = 0; c < 3; ++c) x[c] = wideInputAvx512(d->in[c], gatherWords16(io, src, c));
    }
}

template <bool Alpha, bool LabIn = false>
OSL_AVX512 void wideMatrixShaperAvx512(const WideMatrixShaper* d, const LineLayout& L, const uint16_t* src,
                                       uint16_t* dst, uint32_t pixels)
{
    uint32_t i = 0;
    if (blockWords(L)) {
        const Words16 io = words16(L);
        __m512 m[9], offsets[3];
        OSL_UNROLL
        for (int k = 0; k < 9; ++k) m[k] = _mm512_set1_ps(d->matrix[k]);
        OSL_UNROLL
        for (int k = 0; k < 3; ++k) offsets[k] = _mm512_set1_ps(d->offsets[k]);
        // The input side of one block is read while the output curves are
        // read for the block before it.
        __m512 x[3] = {};
        if (i + 16 < pixels) wideInputsAvx512<LabIn>(d, io, src, x);
        for (; i + 16 < pixels; i += 16) {
            const __m512 x0 = x[0], x1 = x[1], x2 = x[2];
            const __m512i alpha = Alpha ? gatherWords16(io, src, 3) : _mm512_setzero_si512();
            if (i + 32 < pixels) wideInputsAvx512<LabIn>(d, io, src + 16 * L.inStep, x);
            __m512i w[3];
            OSL_UNROLL
            for (int r = 0; r < 3; ++r) {
                const __m512 y = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(m[3 * r], x0),
                                                                           _mm512_mul_ps(m[3 * r + 1], x1)),
                                                             _mm512_mul_ps(m[3 * r + 2], x2)),
                                               offsets[r]);
                w[r] = wideOutputAvx512(d->out[r], y);
            }
            const __m512i rg = _mm512_or_si512(w[0], _mm512_slli_epi32(w[1], 16));
            const __m512i ba = _mm512_or_si512(w[2], _mm512_slli_epi32(alpha, 16));
            // Per 128-bit lane: unpacking gives pixels 0 1 and 2 3 of each group of four.
            const __m512i lo = _mm512_unpacklo_epi32(rg, ba), hi = _mm512_unpackhi_epi32(rg, ba);
            const __m512i first = _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), hi);
            const __m512i second = _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), hi);
            storeWords8(io, first, dst);
            storeWords8(io, second, dst + 8 * L.outStep);
            src += 16 * L.inStep;
            dst += 16 * L.outStep;
        }
    }
    wideMatrixShaperPlain<Alpha, LabIn>(d, L, src, dst, pixels - i);
}

OSL_AVX512 inline __m512i position32(__m512i x, __m512i domain)
{
    const __m512i a = _mm512_mullo_epi32(x, domain);
    const __m512i n = _mm512_add_epi32(a, _mm512_set1_epi32(0x7FFF));
    const __m512i q = _mm512_srli_epi32(_mm512_add_epi32(_mm512_add_epi32(n, _mm512_srli_epi32(n, 16)),
                                                         _mm512_set1_epi32(1)),
                                        16);
    return _mm512_add_epi32(a, q);
}

OSL_AVX512 inline __m512i curveWords16(const uint16_t* store, __m512i offset, __m512i domain, __m512i x)
{
    const __m512i v = position32(x, domain);
    const __m512i f = _mm512_and_si512(v, _mm512_set1_epi32(0xFFFF));
    const __m512i g = _mm512_i32gather_epi32(_mm512_add_epi32(offset, _mm512_srli_epi32(v, 16)), store, 2);
    const __m512i lo = _mm512_and_si512(g, _mm512_set1_epi32(0xFFFF)), hi = _mm512_srli_epi32(g, 16);
    const __m512i sum = _mm512_add_epi32(_mm512_mullo_epi32(lo, _mm512_sub_epi32(_mm512_set1_epi32(0x10000), f)),
                                         _mm512_mullo_epi32(hi, f));
    return _mm512_srli_epi32(_mm512_add_epi32(sum, _mm512_set1_epi32(0x8000)), 16);
}

template <bool Alpha>
OSL_AVX512 void clutWordsAvx512(const ClutEval* d, const LineLayout& L, const uint16_t* src, uint16_t* dst,
                                uint32_t pixels)
{
    uint32_t i = 0;
    if (blockWords(L)) {
        const Words16 io = words16(L);
        const uint16_t* store = d->curveStore;
        __m512i preOffset[3], preDomain[3], clutDomain[3], stride[3];
        OSL_UNROLL
        for (int c = 0; c < 3; ++c) {
            preOffset[c] = _mm512_set1_epi32(d->hasPre ? int32_t(d->preTables[c].values - store) : 0);
            preDomain[c] = _mm512_set1_epi32(d->hasPre ? int32_t(d->preTables[c].domain) : 0);
            clutDomain[c] = _mm512_set1_epi32(int32_t(d->params->domain[c]));
            stride[c] = _mm512_set1_epi32(int32_t(d->params->strides[c]));
        }
        alignas(64) int32_t postOffsets[16] = {}, postDomains[16] = {};
        for (uint32_t o = 0; d->hasPost && o < d->outputs; ++o)
            OSL_UNROLL
            for (uint32_t q = 0; q < 4; ++q) {
                postOffsets[4 * q + o] = int32_t(d->postTables[o].values - store);
                postDomains[4 * q + o] = int32_t(d->postTables[o].domain);
            }
        const __m512i postOffset = _mm512_load_si512(postOffsets);
        const __m512i postDomain = _mm512_load_si512(postDomains);
        const __m512i top = _mm512_set1_epi32(0xFFFF);
        // The tetrahedra of the block after this one, worked out while the
        // table is read for this one.
        auto tetrahedraAt = [&](const uint16_t* from) OSL_AVX512 {
            __m512i base = _mm512_setzero_si512(), s[3], r[3];
            OSL_UNROLL
            for (int c = 0; c < 3; ++c) {
                __m512i x = gatherWords16(io, from, c);
                if (d->hasPre) x = curveWords16(store, preOffset[c], preDomain[c], x);
                const __m512i v = position32(x, clutDomain[c]);
                r[c] = _mm512_and_si512(v, top);
                base = _mm512_add_epi32(base, _mm512_mullo_epi32(_mm512_srli_epi32(v, 16), stride[c]));
                s[c] = _mm512_maskz_mov_epi32(_mm512_cmpneq_epi32_mask(x, top), stride[c]);
            }
            return tetrahedra16(base, s, r);
        };
        Tetrahedra16 t{};
        if (i + 16 < pixels) t = tetrahedraAt(src);
        for (; i + 16 < pixels; i += 16) {
            const Tetrahedra16 now = t;
            if (i + 32 < pixels) t = tetrahedraAt(src + 16 * L.inStep);
            __m512i words[4];
            interpolate16(d->table, now, words);
            const __m512i alpha = Alpha ? gatherWords16(io, src, 3) : _mm512_setzero_si512();
            OSL_UNROLL
            for (int quad = 0; quad < 4; ++quad) {
                if (d->hasPost) words[quad] = curveWords16(store, postOffset, postDomain, words[quad]);
                if constexpr (Alpha) {
                    const __m512i spread = _mm512_add_epi32(
                        _mm512_set1_epi32(4 * quad),
                        _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3));
                    words[quad] = _mm512_mask_blend_epi32(__mmask16(0x8888), words[quad],
                                                          _mm512_permutexvar_epi32(spread, alpha));
                }
            }
            OSL_UNROLL
            for (int half = 0; half < 2; ++half) {
                const __m512i groups =
                    _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(words[2 * half])),
                                       _mm512_cvtepi32_epi16(words[2 * half + 1]), 1);
                storeWords8(io, groups, dst + 8 * half * L.outStep);
            }
            src += 16 * L.inStep;
            dst += 16 * L.outStep;
        }
    }
    clutPlain16<Alpha>(d, L, src, dst, pixels - i);
}
#endif

// ---------------------------------------------------------------------------
// Choice of loop and the workers
// ---------------------------------------------------------------------------

template <typename D, typename Sample>
struct Loops {
    LineFn<D, Sample> plain[2], sse41[2], avx2[2], avx512[2];   // without and with the carried alpha
};

template <typename D, typename Sample>
LineFn<D, Sample> chooseLoop(const Loops<D, Sample>& loops, bool alpha, bool vectorOk)
{
    const int a = alpha ? 1 : 0;
    if (vectorOk) {
        switch (activeVectorLevel()) {
        case VectorAvx512:
            if (loops.avx512[a]) return loops.avx512[a];
            [[fallthrough]];
        case VectorAvx2:
            if (loops.avx2[a]) return loops.avx2[a];
            [[fallthrough]];
        case VectorSse41:
            if (loops.sse41[a]) return loops.sse41[a];
            [[fallthrough]];
        case VectorPlain: break;
        }
    }
    return loops.plain[a];
}

#if OSL_X86
#define OSL_LOOPS(sse, avx2, avx512) {sse<false>, sse<true>}, {avx2<false>, avx2<true>}, {avx512<false>, avx512<true>}
#else
#define OSL_LOOPS(sse, avx2, avx512) {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}
#endif

const Loops<MatrixShaper, uint8_t> MatrixShaperLoops{
    {matrixShaperPlain<false>, matrixShaperPlain<true>},
    OSL_LOOPS(matrixShaperSse41, matrixShaperAvx2, matrixShaperAvx512)};

const Loops<ClutEval, uint8_t> ClutLoops8{{clutPlain8<false>, clutPlain8<true>},
                                           OSL_LOOPS(clutSse41, clutAvx2, clutAvx512)};

#if OSL_X86
const Loops<WideMatrixShaper, uint16_t> WideMatrixShaperLoops{
    {wideMatrixShaperPlain<false>, wideMatrixShaperPlain<true>},
    {nullptr, nullptr},
    {wideMatrixShaperAvx2<false>, wideMatrixShaperAvx2<true>},
    {wideMatrixShaperAvx512<false>, wideMatrixShaperAvx512<true>}};
const Loops<WideMatrixShaper, uint16_t> LabMatrixShaperLoops{
    {wideMatrixShaperPlain<false, true>, wideMatrixShaperPlain<true, true>},
    {nullptr, nullptr},
    {wideMatrixShaperAvx2<false, true>, wideMatrixShaperAvx2<true, true>},
    {wideMatrixShaperAvx512<false, true>, wideMatrixShaperAvx512<true, true>}};
const Loops<ClutEval, uint16_t> ClutLoops16{{clutPlain16<false>, clutPlain16<true>},
                                             {nullptr, nullptr},
                                             {clutWordsAvx2<false>, clutWordsAvx2<true>},
                                             {clutWordsAvx512<false>, clutWordsAvx512<true>}};
#else
const Loops<WideMatrixShaper, uint16_t> WideMatrixShaperLoops{
    {wideMatrixShaperPlain<false>, wideMatrixShaperPlain<true>}, {}, {}, {}};
const Loops<WideMatrixShaper, uint16_t> LabMatrixShaperLoops{
    {wideMatrixShaperPlain<false, true>, wideMatrixShaperPlain<true, true>}, {}, {}, {}};
const Loops<ClutEval, uint16_t> ClutLoops16{{clutPlain16<false>, clutPlain16<true>}, {}, {}, {}};
#endif

void matrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                        const Stride* s)
{
    auto* d = static_cast<const MatrixShaper*>(t->lut->data);
    const LineLayout L = lineLayout(t, 3);
    runLines<MatrixShaper, uint8_t>(t, d, L, chooseLoop(MatrixShaperLoops, L.alpha, true), in, out, pixelsPerLine,
                                    lineCount, s);
}

void wideMatrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                            const Stride* s)
{
    auto* d = static_cast<const WideMatrixShaper*>(t->lut->data);
    const LineLayout L = lineLayout(t, 3);
    runLines<WideMatrixShaper, uint16_t>(t, d, L, chooseLoop(WideMatrixShaperLoops, L.alpha, true), in, out,
                                         pixelsPerLine, lineCount, s);
}

void labMatrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                           const Stride* s)
{
    auto* d = static_cast<const WideMatrixShaper*>(t->lut->data);
    const LineLayout L = lineLayout(t, 3);
    runLines<WideMatrixShaper, uint16_t>(t, d, L, chooseLoop(LabMatrixShaperLoops, L.alpha, true), in, out,
                                         pixelsPerLine, lineCount, s);
}

void clutWorker8(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                 const Stride* s)
{
    auto* d = static_cast<const ClutEval*>(t->lut->data);
    const LineLayout L = lineLayout(t, d->outputs);
    const bool vectorOk = !d->hasPost && (d->outputs == 3 || d->outputs == 4);
    runLines<ClutEval, uint8_t>(t, d, L, chooseLoop(ClutLoops8, L.alpha, vectorOk), in, out, pixelsPerLine,
                                lineCount, s);
}

void clutWorker16(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                  const Stride* s)
{
    auto* d = static_cast<const ClutEval*>(t->lut->data);
    const LineLayout L = lineLayout(t, d->outputs);
    const bool vectorOk = d->outputs == 3 || d->outputs == 4;
    runLines<ClutEval, uint16_t>(t, d, L, chooseLoop(ClutLoops16, L.alpha, vectorOk), in, out, pixelsPerLine,
                                 lineCount, s);
}

// Whether a format is one the line workers read and write directly: `bytes`
// per sample, interleaved, in the machine's order, not inverted.
bool plainSamples(uint32_t format, uint32_t channels, uint32_t bytes)
{
    return format != 0 && formatBytes(format) == bytes && !formatFloat(format) && !formatPlanar(format) &&
           !formatInverted(format) && !formatSwapped16(format) && formatChannels(format) == channels;
}

} // namespace

VectorLevel activeVectorLevel()
{
    return VectorLevel(std::min(levelCap.load(std::memory_order_relaxed), int(processorLevel())));
}

void setOptimiserVectorCode(bool on)
{
    levelCap.store(on ? VectorAvx512 : VectorPlain, std::memory_order_relaxed);
}

void setOptimiserVectorLevel(int level)
{
    levelCap.store(std::clamp(level, int(VectorPlain), int(VectorAvx512)), std::memory_order_relaxed);
}

int highestVectorLevel()
{
    return processorLevel();
}

TransformWorker optimisedWorkerFor(const Transform* t)
{
    if (!t || !t->lut || t->gamutCheck || (t->flags & (XformNullTransform | XformGamutCheck))) return nullptr;
    // Formatter plug-ins may read these formats their own way.
    if (pluginChain(t->ctx, SlotFormatters)) return nullptr;
    const PipelineEval16Fn eval = t->lut->eval16;
    const uint32_t in = t->inputFormat, out = t->outputFormat;
    if (eval == evalMatrixShaper16)
        return plainSamples(in, 3, 1) && plainSamples(out, 3, 1) ? matrixShaperWorker : nullptr;
    if (eval == evalWideMatrixShaper16)
        return plainSamples(in, 3, 2) && plainSamples(out, 3, 2) ? wideMatrixShaperWorker : nullptr;
    if (eval == evalPcsMatrixShaper16) {
        const auto* d = static_cast<const WideMatrixShaper*>(t->lut->data);
        const bool lab = formatColorSpace(in) == PixelLab;   // the version-4 encoding
        return d->labIn && !d->labOut && lab && plainSamples(in, 3, 2) && plainSamples(out, 3, 2)
                   ? labMatrixShaperWorker
                   : nullptr;
    }
    if (eval == evalClut8) {
        const auto* d = static_cast<const ClutEval*>(t->lut->data);
        return plainSamples(in, 3, 1) && plainSamples(out, d->outputs, 1) ? clutWorker8 : nullptr;
    }
    if (eval == evalClut16) {
        const auto* d = static_cast<const ClutEval*>(t->lut->data);
        if (!clutHasLineTables(d)) return nullptr;
        return plainSamples(in, 3, 2) && plainSamples(out, d->outputs, 2) ? clutWorker16 : nullptr;
    }
    return nullptr;
}
