// Optimised against unoptimised transforms, on one worker, by vector path
// (the argument: 0 plain loops, 1 SSE4.1, 2 AVX2, 3 AVX-512; a path the
// processor lacks falls to the highest it has): an 8-bit RGBA image between
// two matrix-shaper profiles, 8-bit RGB to a CMYK press profile through a
// resampled table, and 16-bit RGB between the matrix-shaper profiles. A
// plain copy of the same buffers shows what memory allows. Pixels are
// random, so that no cache or branch guess helps.
#include "oslinternal.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

constexpr const char* SrgbPath = "/usr/share/color/icc/colord/sRGB.icc";
constexpr const char* AdobePath = "/usr/share/color/icc/colord/AdobeRGB1998.icc";
constexpr const char* CmykPath = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

constexpr uint32_t Width = 4096;
constexpr uint32_t FullHeight = 4096;
constexpr uint32_t SlowHeight = 16;   // unoptimised runs: a strip is enough to measure

std::vector<uint8_t> randomBytes(size_t n)
{
    std::vector<uint8_t> bytes(n);
    std::mt19937 random(2024);
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t v = random();
        std::memcpy(bytes.data() + i, &v, std::min<size_t>(4, n - i));
    }
    return bytes;
}

TransformPtr makeTransform(benchmark::State& state, const char* from, const char* to, uint32_t inputFormat,
                           uint32_t outputFormat, uint32_t flags)
{
    ProfilePtr a(openFromFile(nullptr, from, "r"), &closeProfile);
    ProfilePtr b(openFromFile(nullptr, to, "r"), &closeProfile);
    TransformPtr t(a && b ? createTransform(a.get(), inputFormat, b.get(), outputFormat, IntentPerceptual, flags)
                          : nullptr,
                   &deleteTransform);
    if (!t) state.SkipWithError("profiles missing or transform refused");
    return t;
}

void runTransform(benchmark::State& state, const char* from, const char* to, uint32_t inputFormat,
                  uint32_t outputFormat, uint32_t flags, uint32_t height, int level = 3)
{
    TransformPtr t = makeTransform(state, from, to, inputFormat, outputFormat, flags);
    if (!t) return;
    setOptimiserVectorLevel(level);
    if (level > highestVectorLevel()) state.SetLabel("falls to the highest path");
    const uint32_t inBytes = (formatChannels(inputFormat) + formatExtra(inputFormat)) * formatBytes(inputFormat);
    const uint32_t outBytes = (formatChannels(outputFormat) + formatExtra(outputFormat)) * formatBytes(outputFormat);
    const std::vector<uint8_t> in = randomBytes(size_t(Width) * height * inBytes);
    std::vector<uint8_t> out(size_t(Width) * height * outBytes);
    for (auto _ : state) {
        doTransformLineStride(t.get(), in.data(), out.data(), Width, height, Width * inBytes, Width * outBytes, 0, 0);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setOptimiserVectorCode(true);
    state.SetItemsProcessed(int64_t(state.iterations()) * Width * height);
    state.SetBytesProcessed(int64_t(state.iterations()) * Width * height * (inBytes + outBytes));
}

void BM_CopyRgba8(benchmark::State& state)
{
    const std::vector<uint8_t> in = randomBytes(size_t(Width) * FullHeight * 4);
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * Width * FullHeight);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()) * 2);
}
BENCHMARK(BM_CopyRgba8)->Unit(benchmark::kMillisecond);

void BM_MatrixShaperRgba8(benchmark::State& state)
{
    runTransform(state, SrgbPath, AdobePath, FormatRgba8, FormatRgba8, XformCopyAlpha, FullHeight,
                 int(state.range(0)));
}
BENCHMARK(BM_MatrixShaperRgba8)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_MatrixShaperRgba8Unoptimised(benchmark::State& state)
{
    runTransform(state, SrgbPath, AdobePath, FormatRgba8, FormatRgba8, XformCopyAlpha | XformNoOptimise,
                 SlowHeight);
}
BENCHMARK(BM_MatrixShaperRgba8Unoptimised)->Unit(benchmark::kMillisecond);

void BM_RgbToCmyk8(benchmark::State& state)
{
    runTransform(state, SrgbPath, CmykPath, FormatRgb8, FormatCmyk8, 0, FullHeight, int(state.range(0)));
}
BENCHMARK(BM_RgbToCmyk8)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_MatrixShaperRgb16(benchmark::State& state)
{
    runTransform(state, SrgbPath, AdobePath, FormatRgb16, FormatRgb16, 0, FullHeight, int(state.range(0)));
}
BENCHMARK(BM_MatrixShaperRgb16)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

void BM_RgbToCmyk16(benchmark::State& state)
{
    runTransform(state, SrgbPath, CmykPath, FormatRgb16, FormatCmyk16, 0, 1024, int(state.range(0)));
}
BENCHMARK(BM_RgbToCmyk16)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

void BM_RgbToCmyk8Unoptimised(benchmark::State& state)
{
    runTransform(state, SrgbPath, CmykPath, FormatRgb8, FormatCmyk8, XformNoOptimise, SlowHeight);
}
BENCHMARK(BM_RgbToCmyk8Unoptimised)->Unit(benchmark::kMillisecond);

// The evaluators alone, through the 16-bit worker: 8-bit RGB to 16-bit RGB
// has no line worker.
void BM_MatrixShaperRgb8ToRgb16(benchmark::State& state)
{
    runTransform(state, SrgbPath, AdobePath, FormatRgb8, FormatRgb16, 0, 1024);
}
BENCHMARK(BM_MatrixShaperRgb8ToRgb16)->Unit(benchmark::kMillisecond);

// Creating the optimised transforms: the cost of building the tables.
void BM_CreateOptimised(benchmark::State& state)
{
    const bool cmyk = state.range(0) != 0;
    ProfilePtr a(openFromFile(nullptr, SrgbPath, "r"), &closeProfile);
    ProfilePtr b(openFromFile(nullptr, cmyk ? CmykPath : AdobePath, "r"), &closeProfile);
    if (!a || !b) {
        state.SkipWithError("profiles missing");
        return;
    }
    for (auto _ : state) {
        TransformPtr t(createTransform(a.get(), FormatRgb8, b.get(), cmyk ? FormatCmyk8 : FormatRgb8,
                                       IntentPerceptual, 0),
                       &deleteTransform);
        benchmark::DoNotOptimize(t.get());
    }
}
BENCHMARK(BM_CreateOptimised)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
