// CAM16 forward and inverse per colour, as the CAM16 recipe runs them for
// every node of its Lab grid.
#include "cam16/core/cam16.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<CieXyz> gridColours()
{
    std::vector<CieXyz> out;
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 16; ++j)
            for (int k = 0; k < 16; ++k)
                out.push_back({2 + 94.42 * i / 15, 2 + 98.0 * j / 15, 2 + 80.49 * k / 15});
    return out;
}

const Cam16Conditions IccStandard{96.42, 100, 82.49, 20, 31.83, 2, 1};
const Cam16Conditions DimNoDiscount{95.047, 100, 108.883, 20, 4, 1, 0};

void runForward(benchmark::State& state, const Cam16Conditions& vc)
{
    Cam16ModelPtr model(createCam16Model(nullptr, vc), &freeCam16Model);
    const auto colours = gridColours();
    size_t i = 0;
    Cam16Correlates out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cam16Forward(model.get(), colours[i], &out));
        benchmark::DoNotOptimize(out);
        i = (i + 1) % colours.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void runForwardInverse(benchmark::State& state, const Cam16Conditions& vc, uint32_t flags)
{
    Cam16ModelPtr model(createCam16Model(nullptr, vc), &freeCam16Model);
    const auto colours = gridColours();
    size_t i = 0;
    Cam16Correlates jch;
    CieXyz back;
    for (auto _ : state) {
        cam16Forward(model.get(), colours[i], &jch);
        benchmark::DoNotOptimize(cam16Inverse(model.get(), flags, jch, &back));
        benchmark::DoNotOptimize(back);
        i = (i + 1) % colours.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Forward(benchmark::State& state) { runForward(state, IccStandard); }
void BM_ForwardInverse_JC(benchmark::State& state) { runForwardInverse(state, IccStandard, 0); }
void BM_ForwardInverse_QM(benchmark::State& state) { runForwardInverse(state, IccStandard, Cam16FromQ | Cam16FromM); }
void BM_ForwardInverse_Js_Dim(benchmark::State& state) { runForwardInverse(state, DimNoDiscount, Cam16FromS); }

void BM_CreateModel(benchmark::State& state)
{
    for (auto _ : state) {
        Cam16Model* model = createCam16Model(nullptr, IccStandard);
        benchmark::DoNotOptimize(model);
        freeCam16Model(model);
    }
}

}   // namespace

BENCHMARK(BM_Forward);
BENCHMARK(BM_ForwardInverse_JC);
BENCHMARK(BM_ForwardInverse_QM);
BENCHMARK(BM_ForwardInverse_Js_Dim);
BENCHMARK(BM_CreateModel);
BENCHMARK_MAIN();
