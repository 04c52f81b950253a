// Transform throughput in megapixels per second, with one and two workers,
// each also as a ratio to a plain copy of the same image measured in the
// same run, before every conversion (machines are shared and noisy; the
// ratio of the fastest conversion to the fastest copy is what counts):
//   - 8-bit RGBA between two RGB matrix-shaper profiles, 4096 × 4096, and
//     8-bit RGB (three samples) of a smooth image, as `apply` reads images;
//   - 8-bit RGBA to the CMYK press profile (a 4-output table), 4096 × 4096;
//     and 8-bit RGB of a smooth, photograph-like image, as `apply` reads TIFFs;
//   - 16-bit RGB between two matrix-shaper profiles, 4096 × 4096;
//   - the live preview: image profile → abstract profile → display profile,
//     8-bit RGBA, a 2-megapixel proxy;
// and the builder's inner loop: a five-profile Lab → Lab float chain through
// the press profile, one pixel per call, also after dirtying the upper halves
// of the vector registers as the toolkit's drawing may.
//
// Goals on this kind of 2-core machine: matrix-shaper ≥ 700 Mpx/s with one
// worker and 1.8 times that with two, and 3-sample RGB ≥ 0.20 of a copy
// with one worker; RGB to CMYK ≥ 210 Mpx/s and 1.8 times
// that; 16-bit RGB ≥ 150 Mpx/s with one worker; the preview ≥ 300 Mpx/s with
// two workers.
#include "oslinternal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

constexpr uint32_t Side = 4096;
const char* const SrgbPath = "/usr/share/color/icc/colord/sRGB.icc";
const char* const AdobePath = "/usr/share/color/icc/colord/AdobeRGB1998.icc";
const char* const DisplayPath = "/usr/share/color/argyll/ref/DisplayP3.icm";
const char* const PressPath = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

ProfilePtr open(EngineContext* ctx, const char* path)
{
    ProfilePtr p(openFromFile(ctx, path, "r"), &closeProfile);
    if (!p) {
        std::fprintf(stderr, "Missing profile %s\n", path);
        std::exit(1);
    }
    return p;
}

// A context whose scheduler splits calls over up to `workers` threads.
EngineContext* contextWithWorkers(int32_t workers)
{
    EngineContext* ctx = createContext(nullptr, nullptr);
    PluginParallelization plugin{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, workers, 0, runWorkers};
    registerPlugins(ctx, &plugin);
    return ctx;
}

std::vector<uint8_t> image(size_t bytes)
{
    std::vector<uint8_t> v(bytes);
    uint32_t seed = 1;
    for (uint8_t& b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    return v;
}

// An abstract profile of the kind the program makes: a warming look in a
// table of 23 L* by 17 a*, b* points.
ProfilePtr warmingLook(EngineContext* ctx)
{
    ProfilePtr p(createLabIdentityV4(ctx, nullptr), &closeProfile);
    const uint32_t grid[3] = {23, 17, 17};
    Stage* clut = newClut16Stage(ctx, grid, 3, 3, nullptr);
    auto warm = [](const uint16_t in[], uint16_t out[], void*) {
        const double L = in[0] / 65535.0;
        out[0] = quickSaturateWord(65535.0 * (L + 0.06 * L * (1 - L)));
        out[1] = quickSaturateWord(in[1] + 500.0 * L);
        out[2] = quickSaturateWord(in[2] + 1800.0 * L);
        return true;
    };
    Pipeline* lut = newPipeline(ctx, 3, 3);
    sampleClut16(clut, warm, nullptr, 0);
    insertStage(lut, AtEnd, clut);
    storeTag(p.get(), sig("A2B0"), lut);
    freePipeline(lut);
    return p;
}

// Leaves the upper halves of the vector registers dirty, as the toolkit's
// drawing may leave them on the interface thread: the transform calls must
// clear them, or their SSE code runs many times slower.
void dirtyUpperVectorState()
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) asm volatile("vpcmpeqd %%ymm15, %%ymm15, %%ymm15" ::: "xmm15");
#endif
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A photograph-like image instead: smooth gradients over the whole range,
// whose neighbouring pixels fall into the same few table cells.
std::vector<uint8_t> smoothImage(uint32_t width, uint32_t height, uint32_t bytesPerPixel)
{
    std::vector<uint8_t> v(size_t(width) * height * bytesPerPixel);
    uint8_t* p = v.data();
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x, p += bytesPerPixel) {
            const double fx = double(x) / (width - 1), fy = double(y) / (height - 1);
            p[0] = uint8_t(127.5 + 127.5 * std::sin(6.0 * fx + 2.0 * fy));
            p[1] = uint8_t(255.0 * fy);
            p[2] = uint8_t(127.5 + 127.5 * std::cos(9.0 * fx * fy));
            for (uint32_t e = 3; e < bytesPerPixel; ++e) p[e] = 255;
        }
    return v;
}

struct Run {
    std::vector<const char*> chain;   // "*look" stands for the warming look
    uint32_t inputFormat, outputFormat, flags;
    uint32_t width, height;
    bool smooth = false;              // a photograph-like image instead of noise
};

// Converts the image over and over, each time after a plain copy of the same
// input image. Reports the mean rate (Mpx/s), the fastest conversion and the
// fastest copy (best Mpx/s, copy Mpx/s), and their ratio (of copy): on a
// shared machine the fastest runs are those least disturbed, for the copy
// and the conversion alike.
void convert(benchmark::State& state, const Run& run)
{
    EngineContext* ctx = contextWithWorkers(int32_t(state.range(0)));
    {
        std::vector<ProfilePtr> profiles;
        std::vector<IccProfile*> chain;
        for (const char* name : run.chain) {
            profiles.push_back(std::strcmp(name, "*look") == 0 ? warmingLook(ctx) : open(ctx, name));
            chain.push_back(profiles.back().get());
        }
        TransformPtr t(createMultiTransform(ctx, chain.data(), uint32_t(chain.size()), run.inputFormat,
                                            run.outputFormat, IntentPerceptual, run.flags),
                       &deleteTransform);
        if (!t) {
            state.SkipWithError("no transform");
        } else {
            const uint32_t inBytes = (formatChannels(run.inputFormat) + formatExtra(run.inputFormat)) *
                                     formatBytes(run.inputFormat);
            const uint32_t outBytes = (formatChannels(run.outputFormat) + formatExtra(run.outputFormat)) *
                                      formatBytes(run.outputFormat);
            const size_t pixels = size_t(run.width) * run.height;
            const std::vector<uint8_t> source =
                run.smooth ? smoothImage(run.width, run.height, inBytes) : image(pixels * inBytes);
            std::vector<uint8_t> target(pixels * outBytes), copy(source.size());
            double bestCopy = 1e9, best = 1e9;
            for (auto _ : state) {
                auto start = std::chrono::steady_clock::now();
                std::memcpy(copy.data(), source.data(), source.size());
                benchmark::DoNotOptimize(copy.data());
                benchmark::ClobberMemory();
                bestCopy = std::min(bestCopy, seconds(start));
                start = std::chrono::steady_clock::now();
                doTransformLineStride(t.get(), source.data(), target.data(), run.width, run.height,
                                      run.width * inBytes, run.width * outBytes, 0, 0);
                benchmark::DoNotOptimize(target.data());
                benchmark::ClobberMemory();
                const double elapsed = seconds(start);
                best = std::min(best, elapsed);
                state.SetIterationTime(elapsed);
            }
            const double mpx = double(pixels) / 1e6;
            state.counters["Mpx/s"] = benchmark::Counter(mpx * double(state.iterations()), benchmark::Counter::kIsRate);
            state.counters["best Mpx/s"] = mpx / best;
            state.counters["copy Mpx/s"] = mpx / bestCopy;
            state.counters["of copy"] = bestCopy / best;
        }
    }
    deleteContext(ctx);
}

void BM_MatrixShaperRgba8(benchmark::State& state)
{
    convert(state, {{SrgbPath, AdobePath}, FormatRgba8, FormatRgba8, XformCopyAlpha, Side, Side});
}
BENCHMARK(BM_MatrixShaperRgba8)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// What `apply` does with a TIFF, a PNG or a JPEG: 8-bit RGB of three samples.
void BM_MatrixShaperRgb8(benchmark::State& state)
{
    convert(state, {{SrgbPath, AdobePath}, FormatRgb8, FormatRgb8, 0, Side, Side, true});
}
BENCHMARK(BM_MatrixShaperRgb8)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

void BM_RgbToPressCmyk8(benchmark::State& state)
{
    convert(state, {{SrgbPath, PressPath}, FormatRgba8, FormatCmyk8, 0, Side, Side});
}
BENCHMARK(BM_RgbToPressCmyk8)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// What `apply` does with a TIFF: 8-bit RGB (three samples) of a smooth image to CMYK.
void BM_SmoothRgbToPressCmyk8(benchmark::State& state)
{
    convert(state, {{SrgbPath, PressPath}, FormatRgb8, FormatCmyk8, 0, Side, Side, true});
}
BENCHMARK(BM_SmoothRgbToPressCmyk8)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

void BM_MatrixShaperRgb16(benchmark::State& state)
{
    convert(state, {{SrgbPath, AdobePath}, FormatRgb16, FormatRgb16, 0, Side, Side});
}
BENCHMARK(BM_MatrixShaperRgb16)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// The preview proxy: 1920 × 1080.
void BM_LivePreviewChainRgba8(benchmark::State& state)
{
    convert(state, {{SrgbPath, "*look", DisplayPath}, FormatRgba8, FormatRgba8, XformCopyAlpha, 1920, 1080});
}
BENCHMARK(BM_LivePreviewChainRgba8)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// The soft-proof chain of the builder: Lab identity → press → a CMYK
// linearisation link → press → Lab identity, float, unoptimised, uncached.
void BM_FiveProfileFloatChainPerPixel(benchmark::State& state)
{
    EngineContext* ctx = contextWithWorkers(-1);
    {
        ProfilePtr lab(createLabIdentityV4(ctx, nullptr), &closeProfile);
        ProfilePtr press = open(ctx, PressPath);
        ProfilePtr link(createBlankProfile(ctx), &closeProfile);
        setVersionFromNumber(link.get(), 4.4);
        setProfileDeviceClass(link.get(), ClassLink);
        setProfileColorSpace(link.get(), SpaceCmyk);
        setProfilePcs(link.get(), SpaceCmyk);
        ToneCurve* curve = buildGammaCurve(ctx, 1.3);
        const ToneCurve* curves[4] = {curve, curve, curve, curve};
        Pipeline* inks = newPipeline(ctx, 4, 4);
        insertStage(inks, AtEnd, newCurvesStage(ctx, 4, curves));
        storeTag(link.get(), sig("A2B0"), inks);
        freePipeline(inks);
        freeCurve(curve);

        IccProfile* const chain[5] = {lab.get(), press.get(), link.get(), press.get(), lab.get()};
        TransformPtr t(createMultiTransform(ctx, chain, 5, FormatLabDouble, FormatLabDouble,
                                            IntentRelativeColorimetric, XformNoOptimise | XformNoCache),
                       &deleteTransform);
        if (!t) {
            state.SkipWithError("no transform");
        } else {
            double in[3] = {0, 0, 0}, out[3];
            uint32_t i = 0;
            for (auto _ : state) {
                if (state.range(0)) dirtyUpperVectorState();
                in[0] = (i % 101) * 1.0;
                in[1] = double(int(i % 61) - 30) * 2.0;
                in[2] = double(int(i % 53) - 26) * 2.0;
                ++i;
                doTransform(t.get(), in, out, 1);
                benchmark::DoNotOptimize(out);
            }
        }
    }
    deleteContext(ctx);
}
// Argument 1: with the upper halves of the vector registers left dirty before each call.
BENCHMARK(BM_FiveProfileFloatChainPerPixel)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
