// The whole-line workers' loops with AVX-512 (with its byte and word
// instructions): sixteen pixels at a time, the plain loops' arithmetic
// operation for operation.
#include "osllines.h"

#if OSL_X86

namespace {

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

// Placing for the matrix-shaper with alpha: the alpha sample is taken
// straight from the input block (indices from 64 on read the second register).
OSL_AVX512 __m512i placeWithAlpha(const LineLayout& L)
{
    alignas(64) int8_t place[64] = {};
    for (uint32_t q = 0; q < 16 * L.outStep; ++q) {
        const uint32_t p = q / L.outStep, s = q % L.outStep;
        for (uint32_t o = 0; o < L.outputs; ++o)
            if (L.out[o] == s) place[q] = int8_t(4 * p + o);
        if (L.alpha && L.outAlpha == s) place[q] = int8_t(64 + p * L.inStep + L.inAlpha);
    }
    return _mm512_load_si512(place);
}

// Asks for the input and output a few kilobytes ahead into the first-level
// cache (the output to be written): the processor's own prefetching falls
// behind a loop this fast, on the output side most. A block of 16 pixels
// reads and writes at most a cache line of each.
OSL_AVX512 inline void prefetchAhead(const uint8_t* src, const uint8_t* dst)
{
    constexpr uint32_t Ahead = 2048;
    _mm_prefetch(reinterpret_cast<const char*>(src) + Ahead, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(dst) + Ahead, _MM_HINT_ET0);
}

template <bool Alpha>
OSL_AVX512 void matrixShaperAvx512(const MatrixShaper* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                                   uint32_t pixels)
{
    uint32_t i = 0;
    if (blockBytes(L) && pixels >= 16) {
        const Bytes16 io = bytes16(L);
        const __m512i place = Alpha ? placeWithAlpha(L) : io.place;
        __m512 m[9], offsets[3];
        OSL_UNROLL
        for (int k = 0; k < 9; ++k) m[k] = _mm512_set1_ps(d->matrix[k]);
        OSL_UNROLL
        for (int k = 0; k < 3; ++k) offsets[k] = _mm512_set1_ps(d->offsets[k]);
        const __m512 one = _mm512_set1_ps(1.0f);
        const __m512i floor = _mm512_set1_epi32(int32_t(MsFloorBits));
        const __m512i lowByte = _mm512_set1_epi32(0xFF), thirdByte = _mm512_set1_epi32(0xFF0000);
        // Output table r is read r bytes early, so that its entry lands in
        // byte r of the word read (the row before it ends in padding).
        const int* out8[3];
        for (int r = 0; r < 3; ++r)
            out8[r] = reinterpret_cast<const int*>(reinterpret_cast<uintptr_t>(outputTableBase(d, r)) - r);
        // Sixteen pixels from their input block and linear inputs.
        auto block = [&](__m512i v, const __m512 x[3], uint8_t* to) OSL_AVX512 {
            __m512i b[3];
            OSL_UNROLL
            for (int r = 0; r < 3; ++r) {
                __m512 y = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(m[3 * r], x[0]),
                                                                     _mm512_mul_ps(m[3 * r + 1], x[1])),
                                                       _mm512_mul_ps(m[3 * r + 2], x[2])),
                                         offsets[r]);
                y = _mm512_min_ps(y, one);
                const __m512i index = _mm512_srli_epi32(_mm512_max_epi32(_mm512_castps_si512(y), floor), MsIndexShift);
                b[r] = _mm512_i32gather_epi32(index, out8[r], 1);
            }
            // Byte 0 from the first, 2 from the third, 1 (and 3, unused) from the second.
            const __m512i words = _mm512_ternarylogic_epi32(
                b[2], _mm512_ternarylogic_epi32(b[0], b[1], lowByte, 0xE4), thirdByte, 0xE4);
            const __m512i out = Alpha ? _mm512_permutex2var_epi8(words, place, v) : _mm512_permutexvar_epi8(place, words);
            _mm512_mask_storeu_epi8(to, io.store, out);
        };
        // Blocks in groups of four, all the group's input read first: the
        // reads of the tables overlap far better than block by block.
        constexpr int Group = 4;
        const uint32_t inBlock = 16 * L.inStep, outBlock = 16 * L.outStep;
        for (; i + 16 * Group <= pixels; i += 16 * Group) {
            OSL_UNROLL
            for (int g = 0; g < Group; ++g) prefetchAhead(src + 64 * g, dst + 64 * g);
            __m512i v[Group];
            __m512 x[Group][3];
            OSL_UNROLL
            for (int g = 0; g < Group; ++g) v[g] = _mm512_maskz_loadu_epi8(io.load, src + g * inBlock);
            OSL_UNROLL
            for (int c = 0; c < 3; ++c)
                OSL_UNROLL
                for (int g = 0; g < Group; ++g) x[g][c] = _mm512_i32gather_ps(pickBytes(io, v[g], c), d->linear[c], 4);
            OSL_UNROLL
            for (int g = 0; g < Group; ++g) block(v[g], x[g], dst + g * outBlock);
            src += Group * inBlock;
            dst += Group * outBlock;
        }
        for (; i + 16 <= pixels; i += 16) {
            const __m512i v = _mm512_maskz_loadu_epi8(io.load, src);
            __m512 x[3];
            OSL_UNROLL
            for (int c = 0; c < 3; ++c) x[c] = _mm512_i32gather_ps(pickBytes(io, v, c), d->linear[c], 4);
            block(v, x, dst);
            src += inBlock;
            dst += outBlock;
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

// Eight pixels, each in a 64-bit lane: the four outputs of a node come in
// one 64-bit read, whose 32-bit halves hold outputs 0 and 1, 2 and 3;
// masking and shifting give outputs 0 and 2, 1 and 3 in 32 bits, which are
// interpolated with the pixel's weights (in both halves of its lane). Gives
// the words of outputs 0 … 3 in the 16-bit lanes of each pixel's 64 bits.
// Masks and shifts instead of byte permutes: these tie up the one port that
// also serves the gathers.
OSL_AVX512 inline __m512i interpolate8(const __m512i g[4], const __m512i w[4])
{
    const __m512i low = _mm512_set1_epi32(0xFFFF);
    const __m512i round = _mm512_set1_epi32(0x8001);
    const __m512i p0even = _mm512_and_si512(g[0], low), p0odd = _mm512_srli_epi32(g[0], 16);
    __m512i even = _mm512_add_epi32(_mm512_mullo_epi32(p0even, w[0]), round);
    __m512i odd = _mm512_add_epi32(_mm512_mullo_epi32(p0odd, w[0]), round);
    OSL_UNROLL
    for (int k = 1; k < 4; ++k) {
        even = _mm512_add_epi32(even, _mm512_mullo_epi32(_mm512_and_si512(g[k], low), w[k]));
        odd = _mm512_add_epi32(odd, _mm512_mullo_epi32(_mm512_srli_epi32(g[k], 16), w[k]));
    }
    // The words are the top halves of these sums.
    even = _mm512_sub_epi32(_mm512_add_epi32(even, _mm512_srli_epi32(even, 16)), p0even);
    odd = _mm512_sub_epi32(_mm512_add_epi32(odd, _mm512_srli_epi32(odd, 16)), p0odd);
    // The top words of the odd sums where they are, those of the even ones moved down.
    return _mm512_ternarylogic_epi32(odd, _mm512_srli_epi32(even, 16), _mm512_set1_epi32(int32_t(0xFFFF0000u)), 0xE4);
}

// The words of sixteen pixels, rounded to bytes in the top byte of each word.
OSL_AVX512 inline void interpolateBytes16(const uint16_t* table, const Tetrahedra16& t, __m512i bytes[2])
{
    OSL_UNROLL
    for (int h = 0; h < 2; ++h) {
        // Each pixel's weight in both halves of its 64 bits.
        const __m512i spread = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
        const __m512i at = _mm512_add_epi32(spread, _mm512_set1_epi32(8 * h));
        __m512i g[4], w[4];
        OSL_UNROLL
        for (int k = 0; k < 4; ++k) {
            g[k] = _mm512_i32gather_epi64(upperOrLower(t.node[k], h), table, 2);
            w[k] = _mm512_permutexvar_epi32(at, t.weight[k]);
        }
        const __m512i words = interpolate8(g, w);
        bytes[h] = _mm512_add_epi16(_mm512_mulhi_epu16(words, _mm512_set1_epi16(int16_t(65281))),
                                    _mm512_set1_epi16(128));
    }
}

template <bool Alpha>
OSL_AVX512 void clutAvx512(const ClutEval* d, const LineLayout& L, const uint8_t* src, uint8_t* dst,
                           uint32_t pixels)
{
    uint32_t i = 0;
    if (blockBytes(L) && pixels >= 16) {
        const Bytes16 io = bytes16(L);
        // Output byte q is the top byte of word 4p + o of the two halves' words.
        alignas(64) int8_t place[64];
        _mm512_store_si512(place, io.place);
        for (int8_t& q : place)
            if (q >= 0) q = int8_t(2 * q + 1);
        const __m512i fromWords = _mm512_load_si512(place);
        // The carried alpha straight from the input block.
        alignas(64) int8_t alphaFrom[64] = {};
        __mmask64 alphaBytes = 0;
        for (uint32_t q = 0; Alpha && q < 16 * L.outStep; ++q)
            if (q % L.outStep == L.outAlpha) {
                alphaFrom[q] = int8_t(q / L.outStep * L.inStep + L.inAlpha);
                alphaBytes |= __mmask64(1) << q;
            }
        const __m512i alphaPlace = _mm512_load_si512(alphaFrom);
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
            __m512i bytes[2];
            interpolateBytes16(d->table, now, bytes);
            __m512i out = _mm512_permutex2var_epi8(bytes[0], fromWords, bytes[1]);
            if constexpr (Alpha) out = _mm512_mask_permutexvar_epi8(out, alphaBytes, alphaPlace, current);
            _mm512_mask_storeu_epi8(dst, io.store, out);
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

} // namespace

const VectorLoops Avx512Loops{
    {matrixShaperAvx512<false>, matrixShaperAvx512<true>},
    {clutAvx512<false>, clutAvx512<true>},
    {wideMatrixShaperAvx512<false>, wideMatrixShaperAvx512<true>},
    {wideMatrixShaperAvx512<false, true>, wideMatrixShaperAvx512<true, true>},
    {clutWordsAvx512<false>, clutWordsAvx512<true>},
};

#endif
