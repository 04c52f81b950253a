#include "app/floattable.h"

#include <memory>

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

bool collectNodes(const uint16_t in[], uint16_t[], void* cargo)
{
    auto* nodes = static_cast<std::vector<uint16_t>*>(cargo);
    nodes->insert(nodes->end(), in, in + 3);
    return true;
}

// One more position beyond each end, as far out as the edge interval is long.
std::vector<double> widened(const std::vector<double>& x)
{
    if (x.size() < 2) return x;
    std::vector<double> out;
    out.reserve(x.size() + 2);
    out.push_back(2.0 * x[0] - x[1]);
    out.insert(out.end(), x.begin(), x.end());
    out.push_back(2.0 * x.back() - x[x.size() - 2]);
    return out;
}

}   // namespace

std::vector<CieLab> LabGrid::colours() const
{
    std::vector<CieLab> out;
    out.reserve(size());
    for (double l : L)
        for (double x : a)
            for (double y : b) out.push_back(CieLab{l, x, y});
    return out;
}

LabGrid clutNodeGrid(Stage* clut16, const ToneCurve* inverse)
{
    LabGrid grid;
    if (!clut16 || !inverse || stageKind(clut16) != StageClutKind || clutIsFloat(clut16) ||
        stageInputs(clut16) != 3 || stageOutputs(clut16) != 3)
        return grid;
    const uint32_t* n = clutGridPoints(clut16);
    std::vector<uint16_t> nodes;
    nodes.reserve(size_t(n[0]) * n[1] * n[2] * 3);
    if (!sampleClut16(clut16, collectNodes, &nodes, SamplerInspect)) return grid;
    // Decoded exactly as a node is: a′ and b′ through S⁻¹, then the Lab encoding.
    auto decoded = [&](size_t node) {
        const uint16_t* in = &nodes[node * 3];
        const uint16_t encoded[3] = {in[0], evalCurve16(inverse, in[1]), evalCurve16(inverse, in[2])};
        return lab16ToLab(encoded);
    };
    for (uint32_t i = 0; i < n[0]; ++i) grid.L.push_back(decoded(size_t(i) * n[1] * n[2]).L);
    for (uint32_t j = 0; j < n[1]; ++j) grid.a.push_back(decoded(size_t(j) * n[2]).a);
    for (uint32_t k = 0; k < n[2]; ++k) grid.b.push_back(decoded(k).b);
    return grid;
}

LabGrid widenedChroma(const LabGrid& grid)
{
    return LabGrid{grid.L, widened(grid.a), widened(grid.b)};
}

ToneCurve* nodePositionCurve(const std::vector<double>& x)
{
    const size_t n = x.size();
    if (n < 2) return nullptr;
    std::vector<float> at(n), u(n);
    for (size_t k = 0; k < n; ++k) {
        at[k] = float(x[k]);
        u[k] = float(double(k) / double(n - 1));
        if (k > 0 && !(at[k] > at[k - 1])) return nullptr;
    }
    // 0 up to the first node, a sampled piece of two points for each
    // interval, 1 from the last node on.
    std::vector<CurveSegment> segments;
    segments.push_back(CurveSegment{MinusInfinity, at[0], 6, {1, 0, 0, 0}, 0, nullptr});
    for (size_t k = 1; k < n; ++k) segments.push_back(CurveSegment{at[k - 1], at[k], 0, {}, 2, &u[k - 1]});
    segments.push_back(CurveSegment{at[n - 1], PlusInfinity, 6, {1, 0, 0, 1}, 0, nullptr});
    return buildSegmentedCurve(nullptr, uint32_t(segments.size()), segments.data());
}

Pipeline* floatTablePipeline(const LabGrid& grid, const std::vector<CieLab>& values)
{
    if (grid.size() == 0 || values.size() != grid.size()) return nullptr;
    CurvePtr curves[3] = {{nodePositionCurve(grid.L), &freeCurve},
                          {nodePositionCurve(grid.a), &freeCurve},
                          {nodePositionCurve(grid.b), &freeCurve}};
    if (!curves[0] || !curves[1] || !curves[2]) return nullptr;
    const ToneCurve* raw[3] = {curves[0].get(), curves[1].get(), curves[2].get()};
    std::vector<float> table;
    table.reserve(values.size() * 3);
    for (const CieLab& v : values) {
        table.push_back(float(v.L));
        table.push_back(float(v.a));
        table.push_back(float(v.b));
    }
    const uint32_t points[3] = {uint32_t(grid.L.size()), uint32_t(grid.a.size()), uint32_t(grid.b.size())};
    PipelinePtr p{newPipeline(nullptr, 3, 3), &freePipeline};
    if (!p || !insertStage(p.get(), AtEnd, newCurvesStage(nullptr, 3, raw)) ||
        !insertStage(p.get(), AtEnd, newClutFloatStage(nullptr, points, 3, 3, table.data())))
        return nullptr;
    return p.release();
}
