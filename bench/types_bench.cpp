// Tag types: decoding every tag of installed profiles, and saving an abstract
// profile of the size the application builds (a 23×17×17 Lab CLUT between
// curves; 17×17×17 in version 2, whose table needs equal grids).
#include "osl.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

std::vector<uint8_t> readFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void loadEveryTag(benchmark::State& state, const char* path)
{
    const std::vector<uint8_t> bytes = readFile(path);
    if (bytes.empty()) {
        state.SkipWithError("profile missing");
        return;
    }
    for (auto _ : state) {
        ProfilePtr p(openFromMemory(bytes.data(), uint32_t(bytes.size())), &closeProfile);
        for (uint32_t i = 0; i < tagCount(p.get()); ++i) benchmark::DoNotOptimize(loadTag(p.get(), tagSignatureAt(p.get(), i)));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

PipelinePtr abstractPipeline(uint32_t lightnessPoints)
{
    const uint32_t grid[3] = {lightnessPoints, 17, 17};
    Pipeline* p = newPipeline(nullptr, 3, 3);
    ToneCurve* g = buildGammaCurve(nullptr, 1.2);
    const ToneCurve* set[3] = {g, g, g};
    Stage* clut = newClut16Stage(nullptr, grid, 3, 3, nullptr);
    uint16_t* t = clutTable16(clut);
    for (uint32_t i = 0; i < clutEntryCount(clut); ++i) t[i] = uint16_t(i * 37);
    insertStage(p, AtEnd, newCurvesStage(nullptr, 3, set));
    insertStage(p, AtEnd, clut);
    insertStage(p, AtEnd, newCurvesStage(nullptr, 3, set));
    freeCurve(g);
    return PipelinePtr(p, &freePipeline);
}

void saveAbstract(benchmark::State& state, double version)
{
    // 'mft2' holds only equal grids.
    PipelinePtr lut = abstractPipeline(version < 4 ? 17 : 23);
    ProfilePtr p(createBlankProfile(nullptr), &closeProfile);
    setVersionFromNumber(p.get(), version);
    setProfileDeviceClass(p.get(), ClassAbstract);
    storeTag(p.get(), sig("A2B0"), lut.get());
    uint32_t size = 0;
    saveToMemory(p.get(), nullptr, &size);
    std::vector<uint8_t> block(size);
    for (auto _ : state) {
        uint32_t n = size;
        benchmark::DoNotOptimize(saveToMemory(p.get(), block.data(), &n));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

} // namespace

BENCHMARK_CAPTURE(loadEveryTag, press_cmyk, "/usr/share/color/icc/ghostscript/default_cmyk.icc")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loadEveryTag, colord_srgb, "/usr/share/color/icc/colord/sRGB.icc")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loadEveryTag, argyll_srgb, "/usr/share/color/argyll/ref/sRGB.icm")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(saveAbstract, v4_mAB, 4.3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(saveAbstract, v2_mft2, 2.1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
