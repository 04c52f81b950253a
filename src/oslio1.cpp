// Profile pipelines by intent and direction, media white points, adaptation
// matrices, and what a profile can do for each intent.
#include "oslinternal.h"

#include <memory>

namespace {

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// Tags by intent 0 … 3; absolute colorimetric reads the relative tables.
constexpr uint32_t DeviceToPcs16[4] = {sig("A2B0"), sig("A2B1"), sig("A2B2"), sig("A2B1")};
constexpr uint32_t PcsToDevice16[4] = {sig("B2A0"), sig("B2A1"), sig("B2A2"), sig("B2A1")};
constexpr uint32_t DeviceToPcsFloat[4] = {sig("D2B0"), sig("D2B1"), sig("D2B2"), sig("D2B3")};
constexpr uint32_t PcsToDeviceFloat[4] = {sig("B2D0"), sig("B2D1"), sig("B2D2"), sig("B2D3")};
constexpr uint32_t MediaWhiteTag = sig("wtpt");
constexpr uint32_t AdaptationTag = sig("chad");
constexpr uint32_t GrayTrcTag = sig("kTRC");
constexpr uint32_t ColorantTags[3] = {sig("rXYZ"), sig("gXYZ"), sig("bXYZ")};
constexpr uint32_t TrcTags[3] = {sig("rTRC"), sig("gTRC"), sig("bTRC")};

bool isOldDisplay(IccProfile* p)
{
    return profileDeviceClass(p) == ClassDisplay && versionAsNumber(p) < 4.0;
}

// A private copy of the pipeline in a table tag, or null.
Pipeline* tablePipeline(IccProfile* p, uint32_t tag)
{
    const auto* lut = static_cast<const Pipeline*>(loadTag(p, tag));
    return lut ? duplicatePipeline(lut) : nullptr;
}

// Lab tables are interpolated trilinearly: the tetrahedra of a Lab grid do
// not follow its neutral axis.
void useTrilinear(Pipeline* p)
{
    for (Stage* s = pipelineFirstStage(p); s; s = stageNext(s)) {
        const InterpParams* old = clutInterpParams(s);
        if (!old || (old->flags & InterpFlagTrilinear)) continue;
        auto* data = static_cast<ClutStageData*>(stageData(s));
        InterpParams* params = newInterpParams(s->ctx, old->gridPoints, old->inputs, old->outputs, data->table,
                                               old->flags | InterpFlagTrilinear);
        if (!params) continue;
        freeInterpParams(data->params);
        data->params = params;
    }
}

bool insert(Pipeline* p, uint32_t where, Stage* s)
{
    return s && insertStage(p, where, s);
}

// Real PCS values to the pipeline's units and back.
Stage* toNormal(EngineContext* ctx, uint32_t space)
{
    return space == SpaceLab ? newLabToNormalisedStage(ctx) : newXyzToNormalisedStage(ctx);
}

Stage* fromNormal(EngineContext* ctx, uint32_t space)
{
    return space == SpaceLab ? newNormalisedToLabStage(ctx) : newNormalisedToXyzStage(ctx);
}

bool isRealPcs(uint32_t space)
{
    return space == SpaceLab || space == SpaceXyz;
}

// A float ('D2Bx') table from device values (or PCS values for abstract
// profiles) to the PCS, wrapped in the conversions to and from real units.
Pipeline* floatForward(IccProfile* p, uint32_t tag, uint32_t inSpace, uint32_t outSpace)
{
    PipelinePtr lut(tablePipeline(p, tag), &freePipeline);
    if (!lut) return nullptr;
    EngineContext* ctx = profileContext(p);
    if (inSpace == SpaceLab) useTrilinear(lut.get());
    if (isRealPcs(inSpace) && !insert(lut.get(), AtBegin, fromNormal(ctx, inSpace))) return nullptr;
    if (isRealPcs(outSpace) && !insert(lut.get(), AtEnd, toNormal(ctx, outSpace))) return nullptr;
    return lut.release();
}

// A 16-bit table: trilinear on a Lab PCS, and a table in the version-2 Lab
// encoding (an 'mft2' table) converted at the Lab ends.
Pipeline* table16(IccProfile* p, uint32_t tag, uint32_t inSpace, uint32_t outSpace)
{
    PipelinePtr lut(tablePipeline(p, tag), &freePipeline);
    if (!lut) return nullptr;
    EngineContext* ctx = profileContext(p);
    const uint32_t pcs = profilePcs(p);
    if (pcs == SpaceLab) useTrilinear(lut.get());
    if (pipelineLabV2(lut.get()) && pcs == SpaceLab) {
        if (inSpace == SpaceLab && !insert(lut.get(), AtBegin, newLabV4ToV2Stage(ctx))) return nullptr;
        if (outSpace == SpaceLab && !insert(lut.get(), AtEnd, newLabV2ToV4Stage(ctx))) return nullptr;
    }
    setPipelineLabV2(lut.get(), false);
    return lut.release();
}

const ToneCurve* curveTag(IccProfile* p, uint32_t tag)
{
    return static_cast<const ToneCurve*>(loadTag(p, tag));
}

Pipeline* pipelineOf(EngineContext* ctx, uint32_t inputs, uint32_t outputs, std::initializer_list<Stage*> stages)
{
    PipelinePtr p(newPipeline(ctx, inputs, outputs), &freePipeline);
    bool ok = bool(p);
    for (Stage* s : stages) {
        if (ok && s) {
            ok = insertStage(p.get(), AtEnd, s);
        } else {
            ok = false;
            freeStage(s);
        }
    }
    return ok ? p.release() : nullptr;
}

Pipeline* grayInput(IccProfile* p)
{
    const ToneCurve* trc = curveTag(p, GrayTrcTag);
    if (!trc) return nullptr;
    EngineContext* ctx = profileContext(p);
    const uint32_t pcs = profilePcs(p);
    if (pcs == SpaceXyz) {
        const double m[3] = {D50.X * XyzNormalise, D50.Y * XyzNormalise, D50.Z * XyzNormalise};
        return pipelineOf(ctx, 1, 3, {newCurvesStage(ctx, 1, &trc), newMatrixStage(ctx, 3, 1, m, nullptr)});
    }
    if (pcs != SpaceLab) return nullptr;
    const uint16_t neutral[2] = {0x8080, 0x8080};
    CurvePtr ab(buildTabulatedCurve16(ctx, 2, neutral), &freeCurve);
    if (!ab) return nullptr;
    const ToneCurve* curves[3] = {trc, ab.get(), ab.get()};
    const double ones[3] = {1, 1, 1};
    return pipelineOf(ctx, 1, 3, {newMatrixStage(ctx, 3, 1, ones, nullptr), newCurvesStage(ctx, 3, curves)});
}

Pipeline* grayOutput(IccProfile* p)
{
    const ToneCurve* trc = curveTag(p, GrayTrcTag);
    if (!trc) return nullptr;
    EngineContext* ctx = profileContext(p);
    const uint32_t pcs = profilePcs(p);
    double pick[3] = {0, 0, 0};
    if (pcs == SpaceXyz)
        pick[1] = XyzDenormalise;
    else if (pcs == SpaceLab)
        pick[0] = 1.0;
    else
        return nullptr;
    CurvePtr reversed(reverseCurve(trc), &freeCurve);
    if (!reversed) return nullptr;
    const ToneCurve* r = reversed.get();
    return pipelineOf(ctx, 3, 1, {newMatrixStage(ctx, 1, 3, pick, nullptr), newCurvesStage(ctx, 1, &r)});
}

// The colorant matrix (columns rXYZ, gXYZ, bXYZ) and the three TRCs.
bool matrixShaperParts(IccProfile* p, Mat3* m, const ToneCurve* curves[3])
{
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const CieXyz*>(loadTag(p, ColorantTags[c]));
        curves[c] = curveTag(p, TrcTags[c]);
        if (!xyz || !curves[c]) return false;
        m->m[c] = xyz->X;
        m->m[3 + c] = xyz->Y;
        m->m[6 + c] = xyz->Z;
    }
    return true;
}

Pipeline* rgbInput(IccProfile* p)
{
    if (profileColorSpace(p) != SpaceRgb) return nullptr;
    Mat3 m;
    const ToneCurve* curves[3];
    if (!matrixShaperParts(p, &m, curves)) return nullptr;
    for (double& v : m.m) v *= XyzNormalise;
    EngineContext* ctx = profileContext(p);
    PipelinePtr lut(pipelineOf(ctx, 3, 3, {newCurvesStage(ctx, 3, curves), newMatrixStage(ctx, 3, 3, m.m, nullptr)}),
                    &freePipeline);
    if (!lut) return nullptr;
    if (profilePcs(p) == SpaceLab && !insert(lut.get(), AtEnd, newXyzToLabStage(ctx))) return nullptr;
    return lut.release();
}

Pipeline* rgbOutput(IccProfile* p)
{
    if (profileColorSpace(p) != SpaceRgb) return nullptr;
    Mat3 m, inverse;
    const ToneCurve* curves[3];
    if (!matrixShaperParts(p, &m, curves) || !invert3x3(m, &inverse)) return nullptr;
    for (double& v : inverse.m) v *= XyzDenormalise;
    EngineContext* ctx = profileContext(p);
    CurvePtr r0(reverseCurve(curves[0]), &freeCurve), r1(reverseCurve(curves[1]), &freeCurve),
        r2(reverseCurve(curves[2]), &freeCurve);
    if (!r0 || !r1 || !r2) return nullptr;
    const ToneCurve* reversed[3] = {r0.get(), r1.get(), r2.get()};
    PipelinePtr lut(
        pipelineOf(ctx, 3, 3, {newMatrixStage(ctx, 3, 3, inverse.m, nullptr), newCurvesStage(ctx, 3, reversed)}),
        &freePipeline);
    if (!lut) return nullptr;
    if (profilePcs(p) == SpaceLab && !insert(lut.get(), AtBegin, newLabToXyzStage(ctx))) return nullptr;
    return lut.release();
}

} // namespace

// ---------------------------------------------------------------------------
// Pipelines by intent
// ---------------------------------------------------------------------------

Pipeline* inputPipelineOf(IccProfile* p, uint32_t intent)
{
    if (!p) return nullptr;
    const uint32_t space = profileColorSpace(p);
    const uint32_t pcs = profilePcs(p);
    if (intent <= IntentAbsoluteColorimetric && hasTag(p, DeviceToPcsFloat[intent]))
        return floatForward(p, DeviceToPcsFloat[intent], space, pcs);
    uint32_t tag = intent <= IntentAbsoluteColorimetric ? DeviceToPcs16[intent] : DeviceToPcs16[0];
    if (!hasTag(p, tag)) tag = DeviceToPcs16[0];
    if (hasTag(p, tag)) return table16(p, tag, space, pcs);
    if (space == SpaceGray) return grayInput(p);
    return rgbInput(p);
}

Pipeline* outputPipelineOf(IccProfile* p, uint32_t intent)
{
    if (!p) return nullptr;
    const uint32_t space = profileColorSpace(p);
    const uint32_t pcs = profilePcs(p);
    if (intent <= IntentAbsoluteColorimetric && hasTag(p, PcsToDeviceFloat[intent]))
        return floatForward(p, PcsToDeviceFloat[intent], pcs, space);
    uint32_t tag = intent <= IntentAbsoluteColorimetric ? PcsToDevice16[intent] : PcsToDevice16[0];
    if (!hasTag(p, tag)) tag = PcsToDevice16[0];
    if (hasTag(p, tag)) return table16(p, tag, pcs, space);
    if (space == SpaceGray) return grayOutput(p);
    return rgbOutput(p);
}

Pipeline* deviceLinkPipelineOf(IccProfile* p, uint32_t intent)
{
    if (!p || intent > IntentAbsoluteColorimetric) return nullptr;
    const uint32_t space = profileColorSpace(p);
    const uint32_t pcs = profilePcs(p);
    // A float table in real units is always wrapped in the conversions to
    // the pipeline's units, the fallback to 'D2B0' included.
    if (hasTag(p, DeviceToPcsFloat[intent])) return floatForward(p, DeviceToPcsFloat[intent], space, pcs);
    if (hasTag(p, DeviceToPcsFloat[0])) return floatForward(p, DeviceToPcsFloat[0], space, pcs);
    uint32_t tag = DeviceToPcs16[intent];
    if (!hasTag(p, tag)) tag = DeviceToPcs16[0];
    return table16(p, tag, space, pcs);
}

// ---------------------------------------------------------------------------
// White point and adaptation
// ---------------------------------------------------------------------------

CieXyz mediaWhitePointOf(IccProfile* p)
{
    if (!p || !hasTag(p, MediaWhiteTag) || isOldDisplay(p)) return D50;
    const auto* white = static_cast<const CieXyz*>(loadTag(p, MediaWhiteTag));
    return white ? *white : D50;
}

Mat3 adaptationMatrixOf(IccProfile* p)
{
    if (!p) return identity3x3();
    if (hasTag(p, AdaptationTag)) {
        if (const auto* chad = static_cast<const double*>(loadTag(p, AdaptationTag))) {
            Mat3 m;
            for (int i = 0; i < 9; ++i) m.m[i] = chad[i];
            return m;
        }
        return identity3x3();
    }
    if (isOldDisplay(p) && hasTag(p, MediaWhiteTag)) {
        const auto* white = static_cast<const CieXyz*>(loadTag(p, MediaWhiteTag));
        Mat3 m;
        if (white && bradfordAdaptation(&m, *white, D50)) return m;
    }
    return identity3x3();
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

bool isMatrixShaper(IccProfile* p)
{
    if (!p) return false;
    switch (profileColorSpace(p)) {
    case SpaceGray: return hasTag(p, GrayTrcTag);
    case SpaceRgb:
        for (int c = 0; c < 3; ++c)
            if (!hasTag(p, ColorantTags[c]) || !hasTag(p, TrcTags[c])) return false;
        return true;
    default: return false;
    }
}

bool hasClutFor(IccProfile* p, uint32_t intent, uint32_t direction)
{
    if (!p) return false;
    if (direction == DirectionProof)
        return hasClutFor(p, intent, DirectionInput) && hasClutFor(p, IntentRelativeColorimetric, DirectionOutput);
    if (direction != DirectionInput && direction != DirectionOutput) {
        reportError(profileContext(p), ErrRange, "Unexpected direction (%d)", int(direction));
        return false;
    }
    if (profileDeviceClass(p) == ClassLink) return intent == profileRenderingIntent(p);
    if (intent > IntentAbsoluteColorimetric) return false;
    return hasTag(p, direction == DirectionInput ? DeviceToPcs16[intent] : PcsToDevice16[intent]);
}

bool isIntentSupported(IccProfile* p, uint32_t intent, uint32_t direction)
{
    return hasClutFor(p, intent, direction) || isMatrixShaper(p);
}

// ---------------------------------------------------------------------------
// Named colours
// ---------------------------------------------------------------------------

Pipeline* namedColorPipelineOf(IccProfile* p, bool toPcs)
{
    if (!p) return nullptr;
    const auto* list = static_cast<const NamedColorList*>(loadTag(p, sig("ncl2")));
    if (!list) return nullptr;
    EngineContext* ctx = profileContext(p);
    const uint32_t outputs = toPcs ? 3 : namedColorDeviceCoordinates(list);
    PipelinePtr lut(newPipeline(ctx, 1, outputs), &freePipeline);
    if (!lut || !insert(lut.get(), AtEnd, newNamedColorStage(list, toPcs))) return nullptr;
    // The list holds Lab in the version-2 encoding.
    const uint32_t result = toPcs ? profilePcs(p) : profileColorSpace(p);
    if (result == SpaceLab && !insert(lut.get(), AtEnd, newLabV2ToV4Stage(ctx))) return nullptr;
    return lut.release();
}
