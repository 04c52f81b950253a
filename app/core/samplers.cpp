// The samplers: a recipe on one node or on all nodes at once, the CAM16
// recipe with its lightness compression, and the node encoding.
#include "app/core/samplers.h"

#include "curves/core/curvefamily.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

// The encoded a* and b* bounds of the CLUT's results.
constexpr double AbMax = 127.0;
constexpr double AbMin = -128.0;


// CAM16 works on XYZ scaled to Y = 100, under D50.
constexpr CieXyz White100{96.42, 100.0, 82.49};

// The lightness compression around the CAM16 round trip: L* 0..100 to
// 3.15..100 on the way in, and its inverse (to five digits) on the way out.
constexpr double LightnessScale = 0.9685;
constexpr double LightnessOffset = 3.15;
constexpr double LightnessExpand = 1.03252;
constexpr double LightnessExpandOffset = 3.25245;

// Threads for the CAM16 sampling: one per processor, but no thread for
// fewer nodes than this.
constexpr uint32_t NodesPerThread = 4096;


// A result into the box the CLUT can hold. L* is held at 0 first: a node a
// hair below black (as unclipped results near black are) keeps its a* and b*
// rather than becoming neutral black, which would bend every colour near it.
void clampIntoBox(CieLab& lab)
{
    lab.L = std::max(lab.L, 0.0);
    clampLabToBox(&lab, AbMax, AbMin, AbMax, AbMin);
}

uint16_t applyCurve16(const ToneCurve* curve, uint16_t v)
{
    return curve ? evalCurve16(curve, v) : v;
}

// The node's encoded a′, b′ back to a*, b* and the node decoded to Lab.
CieLab decodeNode(const ToneCurve* inverse, const uint16_t in[3])
{
    const uint16_t encoded[3] = {in[0], applyCurve16(inverse, in[1]), applyCurve16(inverse, in[2])};
    return lab16ToLab(encoded);
}

}   // namespace

void encodeNode(const ToneCurve* forward, const CieLab& lab, uint16_t out[3])
{
    uint16_t encoded[3];
    labToLab16(lab, encoded);
    out[0] = encoded[0];
    out[1] = applyCurve16(forward, encoded[1]);
    out[2] = applyCurve16(forward, encoded[2]);
}


ToneCurve* buildPrelinearisation(double k)
{
    const double params[10] = {k};
    return buildParametricCurve(nullptr, PrelinSigmoidType, params);
}

ToneCurve* buildPrelinearisationInverse(double k)
{
    const double params[10] = {k};
    return buildParametricCurve(nullptr, -PrelinSigmoidType, params);
}

std::vector<uint16_t> tabulate(const ToneCurve* curve, uint32_t n)
{
    std::vector<uint16_t> table(n);
    if (n < 2 || !curve) return table;
    for (uint32_t i = 0; i < n; ++i) {
        const double y = std::clamp(double(evalCurveFloat(curve, float(double(i) / double(n - 1)))), 0.0, 1.0);
        table[i] = uint16_t(std::floor(y * 65535.0 + 0.5));
    }
    return table;
}

double adjust(const ToneCurve* curve, double v, double lo, double hi)
{
    if (!(v > lo)) return lo;
    const double t = (v - lo) / (hi - lo);
    const double y = curve ? evalCurveUnbounded(curve, t) : t;
    return std::max(y * (hi - lo) + lo, lo);
}

// ---------------------------------------------------------------------------
// Samplers
// ---------------------------------------------------------------------------

CieLab labSamplerInput(const LabSamplerCargo& cargo, const uint16_t in[3])
{
    return decodeNode(cargo.inverse, in);
}

void labSamplerOutput(const LabSamplerCargo& cargo, CieLab lab, uint16_t out[3])
{
    clampIntoBox(lab);
    encodeNode(cargo.forward, lab, out);
}

bool labToLabSampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const auto& c = *static_cast<const LabSamplerCargo*>(cargo);
    const CieLab lab = labSamplerInput(c, in);
    const double pixel[3] = {lab.L, lab.a, lab.b};
    double result[3];
    doTransform(c.transform, pixel, result, 1);
    labSamplerOutput(c, CieLab{result[0], result[1], result[2]}, out);
    return true;
}

CieLab cam16Recipe(const Cam16SamplerCargo& c, const CieLab& lab)
{
    const CieLab compressed{lab.L * LightnessScale + LightnessOffset, lab.a, lab.b};
    const CieXyz xyz = labToXyz(&White100, compressed);

    CieLab result = compressed;
    Cam16Correlates cc;
    if (xyz.X >= 0 && xyz.Y >= 0 && xyz.Z >= 0 && cam16Forward(c.source, xyz, &cc)) {
        if (c.flags & Cam16FromQ) cc.Q = adjust(c.curves[0], cc.Q, 0, 200);
        else cc.J = adjust(c.curves[0], cc.J, 0, 100);
        if (c.flags & Cam16FromM) cc.M = adjust(c.curves[1], cc.M, 0, 100);
        else if (c.flags & Cam16FromS) cc.s = adjust(c.curves[1], cc.s, 0, 100);
        else cc.C = adjust(c.curves[1], cc.C, 0, 100);
        if (c.curves[2]) cc.h = std::fmod(adjust(c.curves[2], cc.h, 0, 360), 360.0);
        CieXyz back;
        if (cam16Inverse(c.destination, c.flags, cc, &back)) result = xyzToLab(&White100, back);
    }
    result.L = std::max(result.L * LightnessExpand - LightnessExpandOffset, 0.0);
    return result;
}

bool cam16Sampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const auto& c = *static_cast<const Cam16SamplerCargo*>(cargo);
    // Held in the box after the lightness expansion rather than before, as
    // the results of the other recipes are: the same values, since the
    // expansion leaves a* and b* alone and the encoding holds L* at 100.
    encodeNode(c.forward, intoLabBox(cam16Recipe(c, decodeNode(c.inverse, in))), out);
    return true;
}

CieLab intoLabBox(CieLab lab)
{
    clampIntoBox(lab);
    return lab;
}

// ---------------------------------------------------------------------------
// Filling the CLUT
// ---------------------------------------------------------------------------

ClutFill fillNodeByNode(Sampler16Fn sampler, void* cargo)
{
    return [sampler, cargo](Stage* clut) { return sampleClut16(clut, sampler, cargo, 0); };
}

LabRecipe labChainRecipe(Transform* transform)
{
    return [transform](const std::vector<CieLab>& in, std::vector<CieLab>& out) {
        if (!transform || in.empty() || in.size() > UINT32_MAX) return false;
        out.resize(in.size());
        doTransform(transform, in.data(), out.data(), uint32_t(in.size()));
        return true;
    };
}

LabRecipe cam16BatchRecipe(const Cam16SamplerCargo& cargo)
{
    return [cargo](const std::vector<CieLab>& in, std::vector<CieLab>& out) {
        if (!cargo.source || !cargo.destination || in.empty()) return false;
        const size_t count = in.size();
        out.resize(count);
        auto work = [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) out[i] = cam16Recipe(cargo, in[i]);
        };
        const size_t processors = std::max<size_t>(std::thread::hardware_concurrency(), 1);
        const size_t threads = std::clamp<size_t>(count / NodesPerThread, 1, processors);
        std::vector<std::thread> workers;
        const size_t share = (count + threads - 1) / threads;
        for (size_t t = 1; t < threads; ++t)
            workers.emplace_back(work, t * share, std::min(count, (t + 1) * share));
        work(0, std::min(count, share));
        for (std::thread& w : workers) w.join();
        return true;
    };
}

LabRecipe oneByOne(LabRecipe recipe)
{
    return [recipe](const std::vector<CieLab>& in, std::vector<CieLab>& out) {
        if (!recipe) return false;
        out.resize(in.size());
        std::vector<CieLab> one(1), result;
        for (size_t i = 0; i < in.size(); ++i) {
            one[0] = in[i];
            if (!recipe(one, result) || result.size() != 1) return false;
            out[i] = result[0];
        }
        return true;
    };
}
