// Whole-line workers: the optimiser's evaluators run straight on interleaved
// 8- and 16-bit buffers instead of unpacking every pixel into words.
//
// Each evaluator has a plain loop and, where the processor has them, loops
// over blocks of pixels with SSE4.1 (8-bit only), AVX2 or AVX-512 that repeat
// the plain arithmetic of oslevals.h operation for operation, so that every
// path gives the same bytes. The path is chosen at every call from what the
// processor offers (and what tests and measurements allow).
#include "osllines.h"

#include <algorithm>
#include <atomic>
#include <cstring>

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


// ---------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------

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

// Runs `line` over every line of a call. Lines that follow each other
// without a gap on both sides are run as one, so that the loops set up
// their tables once and leave fewer pixels to their plain tails.
template <typename D, typename Sample>
void runLines(Transform* t, const D* d, const LineLayout& L, LineFn<D, Sample> line, const void* in, void* out,
              uint32_t pixelsPerLine, uint32_t lineCount, const Stride* s)
{
    const uint64_t inLine = uint64_t(pixelsPerLine) * L.inStep * sizeof(Sample);
    const uint64_t outLine = uint64_t(pixelsPerLine) * L.outStep * sizeof(Sample);
    if (lineCount > 1 && s->bytesPerLineIn == inLine && s->bytesPerLineOut == outLine) {
        const uint32_t linesPerRun = std::max<uint32_t>(1, (1u << 30) / pixelsPerLine);
        for (uint32_t l = 0; l < lineCount; l += linesPerRun) {
            const uint32_t lines = std::min(linesPerRun, lineCount - l);
            const auto* src = reinterpret_cast<const Sample*>(static_cast<const uint8_t*>(in) + l * inLine);
            auto* dst = reinterpret_cast<Sample*>(static_cast<uint8_t*>(out) + l * outLine);
            copyExtraSamples(t, src, dst, pixelsPerLine * lines);
            line(d, L, src, dst, pixelsPerLine * lines);
        }
        return;
    }
    for (uint32_t l = 0; l < lineCount; ++l) {
        const auto* src = reinterpret_cast<const Sample*>(static_cast<const uint8_t*>(in) + size_t(l) * s->bytesPerLineIn);
        auto* dst = reinterpret_cast<Sample*>(static_cast<uint8_t*>(out) + size_t(l) * s->bytesPerLineOut);
        copyExtraSamples(t, src, dst, pixelsPerLine);
        line(d, L, src, dst, pixelsPerLine);
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

#endif

// ---------------------------------------------------------------------------
// Choice of loop and the workers
// ---------------------------------------------------------------------------

// The loops of one evaluator: the plain ones and the member of VectorLoops
// that holds the vector ones.
template <typename D, typename Sample>
struct LoopFamily {
    LineFn<D, Sample> plain[2];
    LineFn<D, Sample> const (VectorLoops::*vector)[2];
};

const LoopFamily<MatrixShaper, uint8_t> MatrixShaperFamily{
    {matrixShaperPlain<false>, matrixShaperPlain<true>}, &VectorLoops::matrixShaper};
const LoopFamily<ClutEval, uint8_t> Clut8Family{{clutPlain8<false>, clutPlain8<true>}, &VectorLoops::clut8};
const LoopFamily<WideMatrixShaper, uint16_t> WideMatrixShaperFamily{
    {wideMatrixShaperPlain<false>, wideMatrixShaperPlain<true>}, &VectorLoops::wideMatrixShaper};
const LoopFamily<WideMatrixShaper, uint16_t> LabMatrixShaperFamily{
    {wideMatrixShaperPlain<false, true>, wideMatrixShaperPlain<true, true>}, &VectorLoops::labMatrixShaper};
const LoopFamily<ClutEval, uint16_t> Clut16Family{{clutPlain16<false>, clutPlain16<true>}, &VectorLoops::clut16};

// The loop for the active path: that of the highest instruction set at or
// below it that has one, else the plain loop.
template <typename D, typename Sample>
LineFn<D, Sample> chooseLoop(const LoopFamily<D, Sample>& family, bool alpha, bool vectorOk)
{
    const int a = alpha ? 1 : 0;
#if OSL_X86
    if (vectorOk) {
        const VectorLoops* sets[] = {&Sse41Loops, &Avx2Loops, &Avx512Loops};
        for (int level = activeVectorLevel(); level >= VectorSse41; --level)
            if (const auto loop = (sets[level - 1]->*family.vector)[a]) return loop;
    }
#endif
    return family.plain[a];
}

template <typename D, typename Sample>
void runFamily(const LoopFamily<D, Sample>& family, Transform* t, uint32_t outputs, bool vectorOk, const void* in,
               void* out, uint32_t pixelsPerLine, uint32_t lineCount, const Stride* s)
{
    auto* d = static_cast<const D*>(t->lut->data);
    const LineLayout L = lineLayout(t, outputs);
    runLines<D, Sample>(t, d, L, chooseLoop(family, L.alpha, vectorOk), in, out, pixelsPerLine, lineCount, s);
}

void matrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                        const Stride* s)
{
    runFamily(MatrixShaperFamily, t, 3, true, in, out, pixelsPerLine, lineCount, s);
}

void wideMatrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                            const Stride* s)
{
    runFamily(WideMatrixShaperFamily, t, 3, true, in, out, pixelsPerLine, lineCount, s);
}

void labMatrixShaperWorker(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                           const Stride* s)
{
    runFamily(LabMatrixShaperFamily, t, 3, true, in, out, pixelsPerLine, lineCount, s);
}

// The vector loops interpolate three or four outputs and leave post-curves
// of 8-bit tables to the plain loop.
void clutWorker8(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                 const Stride* s)
{
    auto* d = static_cast<const ClutEval*>(t->lut->data);
    const bool vectorOk = !d->hasPost && (d->outputs == 3 || d->outputs == 4);
    runFamily(Clut8Family, t, d->outputs, vectorOk, in, out, pixelsPerLine, lineCount, s);
}

void clutWorker16(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                  const Stride* s)
{
    auto* d = static_cast<const ClutEval*>(t->lut->data);
    runFamily(Clut16Family, t, d->outputs, d->outputs == 3 || d->outputs == 4, in, out, pixelsPerLine, lineCount, s);
}

// Whether a format is one the line workers read and write directly: `bytes`
// per sample, interleaved, in the machine's order, not inverted.
bool plainSamples(uint32_t format, uint32_t channels, uint32_t bytes)
{
    return format != 0 && formatBytes(format) == bytes && !formatFloat(format) && !formatPlanar(format) &&
           !formatInverted(format) && !formatSwapped16(format) && formatChannels(format) == channels;
}

} // namespace

#if OSL_X86
const VectorLoops Sse41Loops{
    {matrixShaperSse41<false>, matrixShaperSse41<true>},
    {clutSse41<false>, clutSse41<true>},
    {nullptr, nullptr},
    {nullptr, nullptr},
    {nullptr, nullptr},
};
#endif

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
