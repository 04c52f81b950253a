// Transform throughput: 8-bit RGBA images between two RGB matrix-shaper
// profiles and from RGB to the CMYK press profile (megapixels per second,
// with one and two workers), and the builder's inner loop: a five-profile
// Lab → Lab float chain through the press profile, one pixel per call.
#include "oslinternal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

constexpr uint32_t Side = 4096;
const char* const SrgbPath = "/usr/share/color/icc/colord/sRGB.icc";
const char* const AdobePath = "/usr/share/color/icc/colord/AdobeRGB1998.icc";
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

void convertImage(benchmark::State& state, const char* outputPath, uint32_t outputFormat, uint32_t outputBytes)
{
    EngineContext* ctx = contextWithWorkers(int32_t(state.range(0)));
    {
        ProfilePtr in = open(ctx, SrgbPath);
        ProfilePtr out = open(ctx, outputPath);
        TransformPtr t(createTransformContext(ctx, in.get(), FormatRgba8, out.get(), outputFormat, 0, 0),
                       &deleteTransform);
        if (!t) {
            state.SkipWithError("no transform");
            deleteContext(ctx);
            return;
        }
        const std::vector<uint8_t> source = image(size_t(Side) * Side * 4);
        std::vector<uint8_t> target(size_t(Side) * Side * outputBytes);
        for (auto _ : state) {
            doTransformLineStride(t.get(), source.data(), target.data(), Side, Side, Side * 4, Side * outputBytes, 0,
                                  0);
            benchmark::DoNotOptimize(target.data());
        }
        state.counters["Mpx/s"] =
            benchmark::Counter(double(Side) * Side * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
    }
    deleteContext(ctx);
}

void BM_MatrixShaperPair(benchmark::State& state)
{
    convertImage(state, AdobePath, FormatRgba8, 4);
}
BENCHMARK(BM_MatrixShaperPair)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_RgbToPressCmyk(benchmark::State& state)
{
    convertImage(state, PressPath, FormatCmyk8, 4);
}
BENCHMARK(BM_RgbToPressCmyk)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The soft-proof chain of the builder: Lab identity → press → a CMYK
// linearisation link → press → Lab identity, float, unoptimised, uncached.
void BM_FiveProfileFloatChainPerPixel(benchmark::State& state)
{
    EngineContext* ctx = contextWithWorkers(-1);
    {
        ProfilePtr lab(createLabIdentityProfile(ctx), &closeProfile);
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
BENCHMARK(BM_FiveProfileFloatChainPerPixel)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
