// The shared 3D table: its checks, a slow evaluation, and the RGB device
// link the Import LUT recipe places between its RGB profiles.
#include "app/core/lutformats/lut3d.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace lutformats {

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

// A table of `count` entries over 0 … 1 at x, linearly interpolated and held
// at its ends.
double interpolate(const std::vector<float>& table, double x)
{
    const size_t last = table.size() - 1;
    const double at = std::clamp(x, 0.0, 1.0) * double(last);
    const size_t i = std::min(size_t(at), last > 0 ? last - 1 : 0);
    const double f = at - double(i);
    return last == 0 ? table[0] : table[i] + (table[i + 1] - table[i]) * f;
}

}   // namespace

std::string Lut3D::validate() const
{
    if (size < 2 || size > MaxGridPoints)
        return "the 3D table has " + std::to_string(size) + " points per side (2 to 256 are read)";
    if (data.size() != nodeCount() * 3)
        return "the 3D table holds " + std::to_string(data.size() / 3) + " entries instead of " +
               std::to_string(nodeCount());
    for (int c = 0; c < 3; ++c) {
        if (!std::isfinite(inputMin[size_t(c)]) || !std::isfinite(inputMax[size_t(c)]) ||
            !(inputMax[size_t(c)] > inputMin[size_t(c)]))
            return "the input range of every channel must run from a smaller to a larger number";
    }
    if (shaperSize != 0) {
        if (shaperSize < 2 || shaperSize > MaxShaperEntries)
            return "the 1D table has " + std::to_string(shaperSize) + " entries (2 to 65536 are read)";
        for (const std::vector<float>& s : shaper) {
            if (s.size() != shaperSize) return "the three 1D tables must have the same number of entries";
            if (!std::all_of(s.begin(), s.end(), [](float v) { return std::isfinite(v); }))
                return "the 1D table holds a value that is not a finite number";
        }
    } else if (!shaper[0].empty() || !shaper[1].empty() || !shaper[2].empty()) {
        return "a 1D table without its size";
    }
    if (!std::all_of(data.begin(), data.end(), [](float v) { return std::isfinite(v); }))
        return "the 3D table holds a value that is not a finite number";
    return {};
}

std::array<double, 3> Lut3D::evaluate(const std::array<double, 3>& rgb) const
{
    // Grid coordinates in 0 … size − 1.
    double at[3];
    for (size_t c = 0; c < 3; ++c) {
        double x = (rgb[c] - inputMin[c]) / (inputMax[c] - inputMin[c]);
        if (hasShaper()) x = interpolate(shaper[c], x);
        at[c] = std::clamp(x, 0.0, 1.0) * double(size - 1);
    }
    uint32_t base[3];
    double f[3];
    for (size_t c = 0; c < 3; ++c) {
        base[c] = std::min(uint32_t(at[c]), size - 2);
        f[c] = at[c] - base[c];
    }
    std::array<double, 3> out{0, 0, 0};
    for (uint32_t corner = 0; corner < 8; ++corner) {
        double w = 1;
        uint32_t idx[3];
        for (size_t c = 0; c < 3; ++c) {
            const bool up = (corner >> c) & 1;
            idx[c] = base[c] + (up ? 1 : 0);
            w *= up ? f[c] : 1 - f[c];
        }
        const size_t o = offset(idx[0], idx[1], idx[2]);
        for (size_t c = 0; c < 3; ++c) out[c] += w * data[o + c];
    }
    return out;
}

Lut3D identityLut(uint32_t n)
{
    Lut3D lut;
    lut.size = n;
    lut.data.resize(lut.nodeCount() * 3);
    const double step = 1.0 / double(n - 1);
    for (uint32_t b = 0; b < n; ++b)
        for (uint32_t g = 0; g < n; ++g)
            for (uint32_t r = 0; r < n; ++r) {
                float* node = &lut.data[lut.offset(r, g, b)];
                node[0] = float(r * step);
                node[1] = float(g * step);
                node[2] = float(b * step);
            }
    return lut;
}

std::string lineError(const std::string& file, size_t line, const std::string& what)
{
    return file + ": line " + std::to_string(line) + ": " + what;
}

std::string fieldError(const std::string& file, const std::string& field, const std::string& what)
{
    return file + ": " + field + ": " + what;
}

IccProfile* lutDeviceLink(const Lut3D& lut)
{
    if (!lut.validate().empty()) return nullptr;
    PipelinePtr pipeline{newPipeline(nullptr, 3, 3), &freePipeline};
    if (!pipeline) return nullptr;

    // The input range onto 0 … 1, left out when it is that already.
    bool unitRange = true;
    double scale[9] = {};
    double offsets[3];
    for (size_t c = 0; c < 3; ++c) {
        const double width = lut.inputMax[c] - lut.inputMin[c];
        scale[c * 4] = 1.0 / width;
        offsets[c] = -lut.inputMin[c] / width;
        unitRange = unitRange && lut.inputMin[c] == 0 && lut.inputMax[c] == 1;
    }
    if (!unitRange) {
        Stage* range = newMatrixStage(nullptr, 3, 3, scale, offsets);
        if (!range || !insertStage(pipeline.get(), AtEnd, range)) return nullptr;
    }

    if (lut.hasShaper()) {
        CurvePtr curves[3] = {{nullptr, &freeCurve}, {nullptr, &freeCurve}, {nullptr, &freeCurve}};
        const ToneCurve* stageCurves[3];
        for (size_t c = 0; c < 3; ++c) {
            curves[c].reset(buildTabulatedCurveFloat(nullptr, lut.shaperSize, lut.shaper[c].data()));
            if (!curves[c]) return nullptr;
            stageCurves[c] = curves[c].get();
        }
        Stage* stage = newCurvesStage(nullptr, 3, stageCurves);
        if (!stage || !insertStage(pipeline.get(), AtEnd, stage)) return nullptr;
    }

    // The CLUT's first input varies slowest: node (r, g, b) at (r · n + g) · n + b.
    const size_t n = lut.size;
    std::vector<float> nodes(lut.data.size());
    size_t at = 0;
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t g = 0; g < n; ++g)
            for (uint32_t b = 0; b < n; ++b, at += 3) std::copy_n(&lut.data[lut.offset(r, g, b)], 3, &nodes[at]);
    Stage* clut = newClutFloatStageUniform(nullptr, lut.size, 3, 3, nodes.data());
    if (!clut || !insertStage(pipeline.get(), AtEnd, clut)) return nullptr;

    ProfilePtr profile{createBlankProfile(nullptr), &closeProfile};
    TextPtr title{newLocalizedText(nullptr, 1), &freeLocalizedText};
    if (!profile || !title) return nullptr;
    setVersionFromNumber(profile.get(), 4.4);
    setProfileDeviceClass(profile.get(), sig("link"));
    setProfileColorSpace(profile.get(), sig("RGB "));
    setProfilePcs(profile.get(), sig("RGB "));
    setProfileRenderingIntent(profile.get(), 0);
    if (!setText8(title.get(), "", "", lut.title.c_str()) || !storeTag(profile.get(), sig("desc"), title.get()) ||
        !storeTag(profile.get(), sig("A2B0"), pipeline.get()))
        return nullptr;
    return profile.release();
}

}   // namespace lutformats
