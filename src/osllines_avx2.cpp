// The whole-line workers' loops with AVX2: eight pixels at a time, the
// plain loops' arithmetic operation for operation.
#include "osllines.h"

#if OSL_X86

namespace {

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


} // namespace

const VectorLoops Avx2Loops{
    {matrixShaperAvx2<false>, matrixShaperAvx2<true>},
    {clutAvx2<false>, clutAvx2<true>},
    {wideMatrixShaperAvx2<false>, wideMatrixShaperAvx2<true>},
    {wideMatrixShaperAvx2<false, true>, wideMatrixShaperAvx2<true, true>},
    {clutWordsAvx2<false>, clutWordsAvx2<true>},
};

#endif
