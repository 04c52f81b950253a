// Speed of CLUT interpolation and pipeline evaluation, per pixel.
#include "osl.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

constexpr size_t Pixels = 1 << 16;

// A smooth, colour-like table: every output a different wave of the inputs.
bool smoothSampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const uint32_t inputs = *static_cast<uint32_t*>(cargo);
    for (uint32_t o = 0; o < 3; ++o) {
        double v = 0;
        for (uint32_t i = 0; i < inputs; ++i) v += std::sin((o + 1) * (i + 1) * in[i] / 65535.0) / inputs;
        out[o] = uint16_t(std::clamp(0.5 + 0.5 * v, 0.0, 1.0) * 65535 + 0.5);
    }
    return true;
}

PipelinePtr clutPipeline(uint32_t inputs, uint32_t grid)
{
    PipelinePtr p(newPipeline(nullptr, inputs, 3), &freePipeline);
    Stage* clut = newClut16StageUniform(nullptr, grid, inputs, 3, nullptr);
    sampleClut16(clut, smoothSampler, &inputs, 0);
    insertStage(p.get(), AtEnd, clut);
    return p;
}

std::vector<uint16_t> randomWords(size_t count)
{
    std::mt19937 rng(1);
    std::uniform_int_distribution<uint32_t> word(0, 65535);
    std::vector<uint16_t> v(count);
    for (auto& x : v) x = uint16_t(word(rng));
    return v;
}

// The interpolation routine alone, as an optimised transform would call it.
void clutInterpolation16(benchmark::State& state, uint32_t inputs, uint32_t grid)
{
    PipelinePtr p = clutPipeline(inputs, grid);
    const InterpParams* params = clutInterpParams(pipelineFirstStage(p.get()));
    const std::vector<uint16_t> in = randomWords(Pixels * inputs);
    std::vector<uint16_t> out(Pixels * 3);
    for (auto _ : state) {
        for (size_t i = 0; i < Pixels; ++i) params->routine.lerp16(&in[i * inputs], &out[i * 3], params);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * Pixels);
}

// The whole 16-bit pipeline evaluation (float stages between 16-bit ends).
void pipeline16(benchmark::State& state, uint32_t inputs, uint32_t grid)
{
    PipelinePtr p = clutPipeline(inputs, grid);
    const std::vector<uint16_t> in = randomWords(Pixels * inputs);
    std::vector<uint16_t> out(Pixels * 3);
    for (auto _ : state) {
        for (size_t i = 0; i < Pixels; ++i) evalPipeline16(&in[i * inputs], &out[i * 3], p.get());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * Pixels);
}

void pipelineFloat(benchmark::State& state)
{
    uint32_t inputs = 3;
    PipelinePtr p(newPipeline(nullptr, 3, 3), &freePipeline);
    Stage* clut = newClutFloatStageUniform(nullptr, 33, 3, 3, nullptr);
    sampleClutFloat(
        clut,
        [](const float in[], float out[], void*) {
            for (int o = 0; o < 3; ++o) out[o] = 0.5f + 0.5f * std::sin((o + 1) * (in[0] + 2 * in[1] + 3 * in[2]));
            return true;
        },
        &inputs, 0);
    insertStage(p.get(), AtEnd, clut);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> in(Pixels * 3), out(Pixels * 3);
    for (auto& x : in) x = unit(rng);
    for (auto _ : state) {
        for (size_t i = 0; i < Pixels; ++i) evalPipelineFloat(&in[i * 3], &out[i * 3], p.get());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * Pixels);
}

void curve16(benchmark::State& state)
{
    std::unique_ptr<ToneCurve, decltype(&freeCurve)> curve(buildGammaCurve(nullptr, 2.2), &freeCurve);
    const std::vector<uint16_t> in = randomWords(Pixels);
    std::vector<uint16_t> out(Pixels);
    for (auto _ : state) {
        for (size_t i = 0; i < Pixels; ++i) out[i] = evalCurve16(curve.get(), in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * Pixels);
}

} // namespace

BENCHMARK_CAPTURE(clutInterpolation16, rgb_tetrahedral_33, 3, 33)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(pipeline16, rgb_tetrahedral_33, 3, 33)->Unit(benchmark::kMicrosecond);
BENCHMARK(pipelineFloat)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(clutInterpolation16, cmyk_17, 4, 17)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(pipeline16, cmyk_17, 4, 17)->Unit(benchmark::kMicrosecond);
BENCHMARK(curve16)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
