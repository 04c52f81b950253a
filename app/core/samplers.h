// The builder's samplers: what a recipe makes of one colour or of all the
// nodes of a table at once, and the encoding of a node (16-bit L, S(a),
// S(b), where S is the a*/b* prelinearisation sigmoid). The profile assembly
// (builder.h) fills its tables through these.
#pragma once

#include "cam16/core/cam16.h"
#include "osl.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

inline CurvePtr adoptCurve(ToneCurve* c)
{
    return {c, &freeCurve};
}

// The a*/b* prelinearisation S and its inverse, on the global context (the
// curve family plug-in must be registered).
ToneCurve* buildPrelinearisation(double k);
ToneCurve* buildPrelinearisationInverse(double k);

// A curve as n 16-bit entries: floor(clamp(curve(i / (n − 1)), 0, 1) · 65535 + 0.5).
std::vector<uint16_t> tabulate(const ToneCurve* curve, uint32_t n);

// A correlate through a curve over [lo, hi]: y = curve((v − lo) / (hi − lo))
// · (hi − lo) + lo, never below lo. Beyond hi the curve carries on
// (evalCurveUnbounded), so that a correlate past the editor's range (chroma
// above 100 in wide-gamut colours) follows the curve instead of being cut.
double adjust(const ToneCurve* curve, double v, double lo, double hi);

// ---------------------------------------------------------------------------
// Samplers: one CLUT node (16-bit L, S(a), S(b)) in, its value out
// ---------------------------------------------------------------------------

struct LabSamplerCargo {
    const ToneCurve* forward = nullptr;    // S
    const ToneCurve* inverse = nullptr;    // S⁻¹ (null: a′ and b′ used as they are)
    Transform* transform = nullptr;        // Lab (doubles) to Lab (doubles)
};

struct Cam16SamplerCargo {
    const ToneCurve* forward = nullptr;
    const ToneCurve* inverse = nullptr;
    const Cam16Model* source = nullptr;
    const Cam16Model* destination = nullptr;
    uint32_t flags = 0;                    // Cam16FromQ, Cam16FromM, Cam16FromS
    const ToneCurve* curves[3] = {};       // lightness, chroma, hue (may be null)
};

bool labToLabSampler(const uint16_t in[], uint16_t out[], void* cargo);
// The CIE CAM16 recipe on one colour, in double precision and unclipped:
// what cam16Sampler computes for a node before the box and the node's 16-bit
// encoding.
CieLab cam16Recipe(const Cam16SamplerCargo& cargo, const CieLab& lab);
bool cam16Sampler(const uint16_t in[], uint16_t out[], void* cargo);

// The node's Lab before the Lab-to-Lab transform, and its CLUT value from
// the transform's result: the two halves of labToLabSampler.
CieLab labSamplerInput(const LabSamplerCargo& cargo, const uint16_t in[3]);
void labSamplerOutput(const LabSamplerCargo& cargo, CieLab lab, uint16_t out[3]);

// A result held in the box a 16-bit Lab table carries: L* from 0 to 100, a*
// and b* within -128 … 127 with the hue kept.
CieLab intoLabBox(CieLab lab);

// ---------------------------------------------------------------------------
// Recipes over many colours
// ---------------------------------------------------------------------------

// A recipe on Lab colours, all at once, in double precision and unclipped:
// out[i] is what the recipe makes of in[i]. False on failure.
using LabRecipe = std::function<bool(const std::vector<CieLab>& in, std::vector<CieLab>& out)>;

// Through a Lab-to-Lab transform (doubles in and out), in one call that the
// engine's workers may split.
LabRecipe labChainRecipe(Transform* transform);
// The CIE CAM16 recipe, spread over threads.
LabRecipe cam16BatchRecipe(const Cam16SamplerCargo& cargo);
// The same recipe called for one colour at a time.
LabRecipe oneByOne(LabRecipe recipe);

// Fills a 16-bit 3-in 3-out CLUT stage; false on failure.
using ClutFill = std::function<bool(Stage* clut)>;
// Node by node through a sampler (sampleClut16).
ClutFill fillNodeByNode(Sampler16Fn sampler, void* cargo);

// The node's 16-bit encoding of a Lab colour, S applied to a* and b*.
void encodeNode(const ToneCurve* forward, const CieLab& lab, uint16_t out[3]);
