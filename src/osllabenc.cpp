// Tables between the version-2 and version-4 16-bit Lab encodings.
//
// A 16-bit Lab value in the version-2 encoding is the version-4 one times
// 256/257 on all three channels (L × 652.8 against L × 655.35, (a + 128) × 256
// against (a + 128) × 257). A table changes encoding by scaling what enters
// it at a Lab input and what leaves it at a Lab output; the scaling is folded
// into the curves at those ends, so the table keeps a shape its tag types
// can hold.
#include "oslinternal.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

constexpr double V2PerV4 = 256.0 / 257.0;
constexpr uint32_t EightBitEntries = 256;      // what an 8-bit table's curves hold
constexpr uint32_t FineEntries = 4096;
constexpr uint32_t MaxTableEntries = 32767;    // the longest 'mft2' curve

bool isCurves(const Stage* s)
{
    return s && stageKind(s) == StageCurvesKind;
}

bool isMatrix3x3(const Stage* s)
{
    return s && stageKind(s) == StageMatrixKind && stageInputs(s) == 3 && stageOutputs(s) == 3;
}

double unitClamp(double v)
{
    return v < 0 ? 0 : v > 1 ? 1 : v;
}

// Entries of a rescaled curve: a table keeps its own resolution (at least the
// 256 an 8-bit table's curves hold, so that the clamping at 1 stays within
// the last step); a curve given by a formula gets 4096.
uint32_t composedEntries(const ToneCurve* curve)
{
    const uint32_t own = curve ? tableEntryCount(curve) : 0;
    if (own == 0) return FineEntries;
    return std::clamp(own, EightBitEntries, MaxTableEntries);
}

// A curve x → out(curve(in(x))) with in and out the scalings (1 = none),
// tabulated finely enough that the clamping at 1 stays in the last step.
ToneCurve* scaledCurve(EngineContext* ctx, const ToneCurve* curve, double inScale, double outScale)
{
    const uint32_t n = composedEntries(curve);
    std::vector<uint16_t> table(n);
    for (uint32_t i = 0; i < n; ++i) {
        const double x = unitClamp(double(i) / double(n - 1) * inScale);
        const double y = curve ? double(evalCurveFloat(curve, float(x))) : x;
        table[i] = quickSaturateWord(unitClamp(y * outScale) * 65535.0);
    }
    return buildTabulatedCurve16(ctx, n, table.data());
}

// The curves of `stage` (or identities when it is null) rescaled.
Stage* scaledCurvesStage(EngineContext* ctx, const Stage* stage, uint32_t channels, double inScale,
                         double outScale)
{
    std::vector<CurvePtr> owned;
    std::vector<const ToneCurve*> curves;
    for (uint32_t c = 0; c < channels; ++c) {
        const ToneCurve* old = stage ? stageCurves(stage)[c] : nullptr;
        owned.emplace_back(scaledCurve(ctx, old, inScale, outScale), &freeCurve);
        if (!owned.back()) return nullptr;
        curves.push_back(owned.back().get());
    }
    return newCurvesStage(ctx, channels, curves.data());
}

// Rescales one end of the pipeline: its curves there absorb the scaling, or
// a curves stage is added for it.
bool rescaleEnd(Pipeline* p, uint32_t where, double inScale, double outScale)
{
    Stage* end = where == AtBegin ? pipelineFirstStage(p) : pipelineLastStage(p);
    const bool replace = isCurves(end);
    Stage* curves = scaledCurvesStage(pipelineContext(p), replace ? end : nullptr, 3, inScale, outScale);
    if (!curves) return false;
    if ((replace && !unlinkStage(p, where, nullptr)) || !insertStage(p, where, curves)) {
        freeStage(curves);
        return false;
    }
    return true;
}

bool rescaleInput(Pipeline* p, double scale)
{
    Stage* first = pipelineFirstStage(p);
    if (isMatrix3x3(first)) {
        // The inputs of a leading matrix (the 'mft2' form) scale its columns.
        auto* m = static_cast<MatrixStageData*>(stageData(first));
        for (uint32_t r = 0; r < 3; ++r)
            for (uint32_t c = 0; c < 3; ++c) m->matrix[r * 3 + c] *= scale;
        return true;
    }
    return rescaleEnd(p, AtBegin, scale, 1.0);
}

bool isPcsToDevice(uint32_t tag)
{
    return tag == sig("B2A0") || tag == sig("B2A1") || tag == sig("B2A2");
}

bool isDeviceToPcs(uint32_t tag)
{
    return tag == sig("A2B0") || tag == sig("A2B1") || tag == sig("A2B2");
}

bool isPcsToPcs(uint32_t tag)
{
    return tag == sig("pre0") || tag == sig("pre1") || tag == sig("pre2");
}

} // namespace

Pipeline* reencodeLabPipeline(const Pipeline* pipeline, bool inputLab, bool outputLab, bool toV2)
{
    if (!pipeline) return nullptr;
    PipelinePtr copy(duplicatePipeline(pipeline), &freePipeline);
    if (!copy) return nullptr;
    // What the new table receives becomes what the old one expects, and what
    // the old one gives becomes what the new one must give.
    const double inScale = toV2 ? 1.0 / V2PerV4 : V2PerV4;
    const double outScale = toV2 ? V2PerV4 : 1.0 / V2PerV4;
    if (inputLab && pipelineInputs(copy.get()) == 3 && !rescaleInput(copy.get(), inScale)) return nullptr;
    if (outputLab && pipelineOutputs(copy.get()) == 3 && !rescaleEnd(copy.get(), AtEnd, 1.0, outScale)) return nullptr;
    // Evaluators an optimiser installed no longer match the stages.
    setPipelineEvaluators(copy.get(), nullptr, nullptr, nullptr, nullptr, nullptr);
    setPipelineLabV2(copy.get(), toV2);
    return copy.release();
}

void tableLabEnds(const IccProfile* profile, uint32_t tag, bool* inputLab, bool* outputLab)
{
    bool in = false, out = false;
    if (profile && profilePcs(profile) == SpaceLab) {
        const bool labSpace = profileColorSpace(profile) == SpaceLab;
        if (isDeviceToPcs(tag)) {
            in = labSpace;
            out = true;
        } else if (isPcsToDevice(tag)) {
            in = true;
            out = labSpace;
        } else if (tag == sig("gamt")) {
            in = true;
        } else if (isPcsToPcs(tag)) {
            in = out = true;
        }
    }
    if (inputLab) *inputLab = in;
    if (outputLab) *outputLab = out;
}
