#include "app/core/floattable.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;

bool collectNode(const uint16_t in[], uint16_t[], void* cargo)
{
    static_cast<std::vector<uint16_t>*>(cargo)->push_back(in[0]);
    return true;
}

// The 16-bit coordinates of the nodes along an axis of n points, as every
// 16-bit table places them.
std::vector<uint16_t> axisNodes(uint32_t n)
{
    std::vector<uint16_t> nodes;
    const uint32_t grid[1] = {n};
    StagePtr axis{newClut16Stage(nullptr, grid, 1, 1, nullptr), &freeStage};
    if (!axis || !sampleClut16(axis.get(), collectNode, &nodes, SamplerInspect) || nodes.size() != n) nodes.clear();
    return nodes;
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
    const std::vector<uint16_t> nodes[3] = {axisNodes(n[0]), axisNodes(n[1]), axisNodes(n[2])};
    if (nodes[0].empty() || nodes[1].empty() || nodes[2].empty()) return grid;
    // Decoded exactly as a node is: a′ and b′ through S⁻¹, then the Lab encoding.
    for (const uint16_t v : nodes[0]) {
        const uint16_t encoded[3] = {v, 0x8000, 0x8000};
        grid.L.push_back(lab16ToLab(encoded).L);
    }
    for (const uint16_t v : nodes[1]) {
        const uint16_t encoded[3] = {0, evalCurve16(inverse, v), 0x8000};
        grid.a.push_back(lab16ToLab(encoded).a);
    }
    for (const uint16_t v : nodes[2]) {
        const uint16_t encoded[3] = {0, 0x8000, evalCurve16(inverse, v)};
        grid.b.push_back(lab16ToLab(encoded).b);
    }
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

CieLab plausibleNodeValue(const LabGrid& grid, const CieLab& v)
{
    auto bounded = [](double x, double low, double high) { return std::isfinite(x) ? std::clamp(x, low, high) : 0.0; };
    return CieLab{bounded(v.L, 0.0, 100.0), bounded(v.a, grid.a.front(), grid.a.back()),
                  bounded(v.b, grid.b.front(), grid.b.back())};
}

Pipeline* floatTablePipeline(const LabGrid& grid, const std::vector<CieLab>& values)
{
    if (grid.size() == 0 || values.size() != grid.size()) return nullptr;
    CurvePtr curves[3] = {{nodePositionCurve(grid.L), &freeCurve},
                          {nodePositionCurve(grid.a), &freeCurve},
                          {nodePositionCurve(grid.b), &freeCurve}};
    if (!curves[0] || !curves[1] || !curves[2]) return nullptr;
    const ToneCurve* raw[3] = {curves[0].get(), curves[1].get(), curves[2].get()};
    const uint32_t points[3] = {uint32_t(grid.L.size()), uint32_t(grid.a.size()), uint32_t(grid.b.size())};
    StagePtr clut{newClutFloatStage(nullptr, points, 3, 3, nullptr), &freeStage};
    if (!clut || clutEntryCount(clut.get()) != values.size() * 3) return nullptr;
    float* table = clutTableFloat(clut.get());
    for (const CieLab& value : values) {
        const CieLab v = plausibleNodeValue(grid, value);
        *table++ = float(v.L);
        *table++ = float(v.a);
        *table++ = float(v.b);
    }
    PipelinePtr p{newPipeline(nullptr, 3, 3), &freePipeline};
    if (!p || !insertStage(p.get(), AtEnd, newCurvesStage(nullptr, 3, raw)) ||
        !insertStage(p.get(), AtEnd, clut.release()))
        return nullptr;
    return p.release();
}
