// Virtual profiles: complete profiles built in memory (RGB, gray and sRGB
// display profiles, Lab and XYZ identities, linearisation links) and
// transforms turned into device links, abstract, input or output profiles.
#include "oslinternal.h"

#include <initializer_list>
#include <memory>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;
using SequencePtr = std::unique_ptr<ProfileSequence, decltype(&freeProfileSequence)>;
using ColorListPtr = std::unique_ptr<NamedColorList, decltype(&freeNamedColorList)>;

constexpr const char* CopyrightText = "No copyright, use freely";
constexpr const char* MakerText = "Osterlane";
constexpr double VirtualVersion = 4.4;
constexpr double LabIdentityV2Version = 2.1;

ProfilePtr noProfile()
{
    return ProfilePtr(nullptr, &closeProfile);
}

LocalizedText* englishText(EngineContext* ctx, const char* text)
{
    TextPtr t(newLocalizedText(ctx, 1), &freeLocalizedText);
    if (!t || !setText8(t.get(), "en", "US", text)) return nullptr;
    return t.release();
}

bool storeText(IccProfile* p, uint32_t tag, const char* text)
{
    TextPtr t(englishText(profileContext(p), text), &freeLocalizedText);
    return t && storeTag(p, tag, t.get());
}

// 'desc' and 'cprt', typed for the profile's version as it stands.
bool storeTexts(IccProfile* p, const char* description)
{
    return storeText(p, sig("desc"), description) && storeText(p, sig("cprt"), CopyrightText);
}

// A blank profile with the header of a virtual profile; its texts follow
// once the header is final, since tag types depend on the version.
ProfilePtr newVirtualProfile(EngineContext* ctx, double version, uint32_t deviceClass, uint32_t space, uint32_t pcs)
{
    ProfilePtr p(createBlankProfile(ctx), &closeProfile);
    if (!p) return p;
    setVersionFromNumber(p.get(), version);
    setProfileDeviceClass(p.get(), deviceClass);
    setProfileColorSpace(p.get(), space);
    setProfilePcs(p.get(), pcs);
    setProfileRenderingIntent(p.get(), IntentPerceptual);
    return p;
}

// Stores a pipeline of one stage (taken) under `tag`.
bool storeOneStage(IccProfile* p, uint32_t tag, uint32_t inputs, uint32_t outputs, Stage* stage)
{
    EngineContext* ctx = profileContext(p);
    if (!stage) return false;
    PipelinePtr pipeline(newPipeline(ctx, inputs, outputs), &freePipeline);
    if (!pipeline) {
        freeStage(stage);
        return false;
    }
    return insertStage(pipeline.get(), AtEnd, stage) && storeTag(p, tag, pipeline.get());
}

CieXyY d50xyY()
{
    return xyzToXyY(D50);
}

// ---------------------------------------------------------------------------
// Identities
// ---------------------------------------------------------------------------

// The RGB profile on the white, changed into an identity of `space`.
ProfilePtr identityProfile(EngineContext* ctx, const CieXyY* white, double version, uint32_t space,
                           const char* description)
{
    const CieXyY d50 = d50xyY();
    ProfilePtr p(createRgbProfile(ctx, white ? white : &d50, nullptr, nullptr), &closeProfile);
    if (!p) return p;
    setVersionFromNumber(p.get(), version);
    setProfileDeviceClass(p.get(), ClassAbstract);
    setProfileColorSpace(p.get(), space);
    setProfilePcs(p.get(), space);
    if (!storeTexts(p.get(), description)) return noProfile();
    return p;
}

// ---------------------------------------------------------------------------
// Device links from transforms
// ---------------------------------------------------------------------------

// A named-colour transform: every colour of its list through the transform,
// as the device values of a new list.
IccProfile* namedColorLink(const Transform* t, double version)
{
    EngineContext* ctx = transformContext(t);
    const Pipeline* lut = transformPipeline(t);
    const auto* list = static_cast<const NamedColorList*>(stageData(pipelineFirstStage(lut)));
    const uint32_t exit = transformExitSpace(t);
    const uint32_t channels = pipelineOutputs(lut);
    if (!list || channels == 0 || channels > MaxDeviceCoordinates) {
        reportError(ctx, ErrNotSuitable, "Cannot make a named color profile of this transform");
        return nullptr;
    }
    ProfilePtr p = newVirtualProfile(ctx, version, ClassNamedColor, exit, SpaceLab);
    if (!p || !storeTexts(p.get(), "Named color devicelink")) return nullptr;
    setProfileRenderingIntent(p.get(), transformIntent(t));

    char prefix[NamedColorNameLength + 1] = {}, suffix[NamedColorNameLength + 1] = {};
    const uint32_t count = namedColorCount(list);
    if (count > 0) namedColorInfo(list, 0, nullptr, prefix, suffix, nullptr, nullptr);
    ColorListPtr colors(newNamedColorList(ctx, count, channels, prefix, suffix), &freeNamedColorList);
    if (!colors) return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        char name[NamedColorNameLength + 1];
        uint16_t pcs[3];
        if (!namedColorInfo(list, i, name, nullptr, nullptr, pcs, nullptr)) return nullptr;
        // The colour index as a 16-bit one-channel pixel, the exit space in 16 bits.
        const uint16_t index[1] = {uint16_t(i)};
        uint16_t device[MaxStageChannels];
        evalPipeline16(index, device, lut);
        if (!appendNamedColor(colors.get(), name, pcs, device)) return nullptr;
    }
    if (!storeTag(p.get(), sig("ncl2"), colors.get())) return nullptr;
    return p.release();
}

struct LinkHeader {
    uint32_t deviceClass;
    uint32_t space;
    uint32_t pcs;
};

LinkHeader linkHeader(uint32_t entry, uint32_t exit, uint32_t flags)
{
    if (flags & DeviceLinkGuessClass) {
        const bool pcsIn = isPcsSpace(entry), pcsOut = isPcsSpace(exit);
        if (pcsIn && pcsOut) return {ClassAbstract, entry, exit};
        if (pcsIn) return {ClassOutput, exit, entry};
        if (pcsOut) return {ClassInput, entry, exit};
    }
    return {ClassLink, entry, exit};
}

bool kindsAre(const Pipeline* p, std::initializer_list<uint32_t> kinds)
{
    return matchStageKinds(p, uint32_t(kinds.size()), kinds.begin(), nullptr);
}

// Every curve of every curves stage fits an 8-bit table: 256 entries, or a
// plain identity the writer makes up.
bool curvesFit8Bits(const Pipeline* p)
{
    for (const Stage* s = pipelineFirstStage(p); s; s = stageNext(s)) {
        ToneCurve* const* curves = stageCurves(s);
        if (!curves) continue;
        for (uint32_t i = 0; i < stageInputs(s); ++i) {
            const uint32_t n = tableEntryCount(curves[i]);
            if (n != 256 && !(n == 2 && isLinear(curves[i]))) return false;
        }
    }
    return true;
}

// Whether the table tag can hold the pipeline as it is: one of the shapes of
// its type, with parts the type can write.
bool writableAsIs(const Pipeline* p, double version, uint32_t tag, bool eightBits)
{
    constexpr uint32_t C = StageCurvesKind, M = StageMatrixKind, T = StageClutKind;
    if (version < 4.0) {
        const bool shape = kindsAre(p, {M, C, T, C}) || kindsAre(p, {C, T, C}) || kindsAre(p, {C, T});
        return shape && pipelineFitsLut16(p) && (!eightBits || curvesFit8Bits(p));
    }
    if (kindsAre(p, {C})) return true;
    if (tag == sig("B2A0")) {
        const bool shape = kindsAre(p, {C, M, C}) || kindsAre(p, {C, T, C}) || kindsAre(p, {C, M, C, T, C});
        return shape && pipelineFitsLutBToA(p);
    }
    const bool shape = kindsAre(p, {C, M, C}) || kindsAre(p, {C, T, C}) || kindsAre(p, {C, T, C, M, C});
    return shape && pipelineFitsLutAToB(p);
}

// Identity curves around a lone table, and in place of nothing at all, so
// that what the optimiser leaves has a shape the table types hold.
bool padWithCurves(Pipeline* p)
{
    EngineContext* ctx = pipelineContext(p);
    if (!pipelineFirstStage(p)) {
        if (pipelineInputs(p) != pipelineOutputs(p)) return false;
        return insertStage(p, AtEnd, newCurvesStage(ctx, pipelineInputs(p), nullptr));
    }
    const Stage* first = pipelineFirstStage(p);
    const Stage* last = pipelineLastStage(p);
    if (stageKind(first) == StageClutKind && !insertStage(p, AtBegin, newCurvesStage(ctx, stageInputs(first), nullptr)))
        return false;
    if (stageKind(last) == StageClutKind && !insertStage(p, AtEnd, newCurvesStage(ctx, stageOutputs(last), nullptr)))
        return false;
    return true;
}

// The format the optimiser works for: the transform's, or 16 bits of the
// space where the transform has none or works in float (a table is written
// in integers either way).
uint32_t tableFormat(uint32_t format, uint32_t space)
{
    if (format == 0 || formatFloat(format)) return formatForSpace(space, 2, false);
    return format;
}

// The pipeline optimised for the transform's formats and padded to a
// writable shape; resampled outright when that shape is still not writable.
Pipeline* optimisedForTable(const Transform* t, const Pipeline* source, double version, uint32_t tag,
                            uint32_t flags)
{
    const bool eightBits = flags & DeviceLink8Bits;
    for (uint32_t attempt = 0; attempt < 2; ++attempt) {
        PipelinePtr p(duplicatePipeline(source), &freePipeline);
        if (!p) return nullptr;
        uint32_t inputFormat = tableFormat(transformInputFormat(t), transformEntrySpace(t));
        uint32_t outputFormat = tableFormat(transformOutputFormat(t), transformExitSpace(t));
        uint32_t optimiserFlags = flags & ~(DeviceLink8Bits | DeviceLinkGuessClass | XformNoOptimise);
        if (attempt == 1) optimiserFlags |= XformForceClut;
        Pipeline* raw = p.release();
        optimisePipeline(transformContext(t), &raw, transformIntent(t), &inputFormat, &outputFormat,
                         &optimiserFlags);
        p.reset(raw);
        if (p && padWithCurves(p.get()) && writableAsIs(p.get(), version, tag, eightBits)) return p.release();
    }
    reportError(transformContext(t), ErrNotSuitable, "Cannot make a table of the transform");
    return nullptr;
}

// The colorant tables and the profile sequence the transform carries.
bool storeTransformRecords(IccProfile* p, const Transform* t, uint32_t deviceClass, double version)
{
    if (const void* colorants = transformInputColorants(t))
        if (!storeTag(p, sig("clrt"), colorants)) return false;
    if (const void* colorants = transformOutputColorants(t))
        if (!storeTag(p, sig("clot"), colorants)) return false;
    if (deviceClass == ClassLink && t->sequence.object) {
        if (!storeTag(p, sig("pseq"), t->sequence.object)) return false;
        if (version >= 4.0 && !storeTag(p, sig("psid"), t->sequence.object)) return false;
    }
    const CieXyz white = deviceClass == ClassInput ? transformEntryWhitePoint(t) : transformExitWhitePoint(t);
    return storeTag(p, sig("wtpt"), &white);
}

} // namespace

// ---------------------------------------------------------------------------
// Display profiles
// ---------------------------------------------------------------------------

IccProfile* createRgbProfile(EngineContext* ctx, const CieXyY* white, const CieXyYTriple* primaries,
                             const ToneCurve* const curves[3])
{
    ProfilePtr p = newVirtualProfile(ctx, VirtualVersion, ClassDisplay, SpaceRgb, SpaceXyz);
    if (!p || !storeTexts(p.get(), "RGB built-in")) return nullptr;

    if (white) {
        Mat3 adaptation;
        if (!bradfordAdaptation(&adaptation, xyYToXyz(*white), D50)) {
            reportError(ctx, ErrRange, "Cannot adapt white point (%g, %g) to D50", white->x, white->y);
            return nullptr;
        }
        if (!storeTag(p.get(), sig("wtpt"), &D50) || !storeTag(p.get(), sig("chad"), adaptation.m)) return nullptr;

        if (primaries) {
            const CieXyY colorants[3] = {primaries->red, primaries->green, primaries->blue};
            Mat3 m;
            if (!primariesToXyz(&m, *white, colorants)) {
                reportError(ctx, ErrRange, "Primaries and white point make no RGB space");
                return nullptr;
            }
            const CieXyz red{m.m[0], m.m[3], m.m[6]};
            const CieXyz green{m.m[1], m.m[4], m.m[7]};
            const CieXyz blue{m.m[2], m.m[5], m.m[8]};
            const Chromaticities chromaticities{0, primaries->red, primaries->green, primaries->blue};
            if (!storeTag(p.get(), sig("rXYZ"), &red) || !storeTag(p.get(), sig("gXYZ"), &green) ||
                !storeTag(p.get(), sig("bXYZ"), &blue) || !storeTag(p.get(), sig("chrm"), &chromaticities))
                return nullptr;
        }
    }

    if (curves) {
        if (!curves[0] || !curves[1] || !curves[2]) {
            reportError(ctx, ErrNull, "RGB profile with a missing curve");
            return nullptr;
        }
        if (!storeTag(p.get(), sig("rTRC"), curves[0])) return nullptr;
        const bool green = curves[1] == curves[0] ? aliasTag(p.get(), sig("gTRC"), sig("rTRC"))
                                                  : storeTag(p.get(), sig("gTRC"), curves[1]);
        const bool blue = curves[2] == curves[0]   ? aliasTag(p.get(), sig("bTRC"), sig("rTRC"))
                          : curves[2] == curves[1] ? aliasTag(p.get(), sig("bTRC"), sig("gTRC"))
                                                   : storeTag(p.get(), sig("bTRC"), curves[2]);
        if (!green || !blue) return nullptr;
    }
    return p.release();
}

IccProfile* createGrayProfile(EngineContext* ctx, const CieXyY* white, const ToneCurve* curve)
{
    if (!curve) {
        reportError(ctx, ErrNull, "Gray profile without a curve");
        return nullptr;
    }
    ProfilePtr p = newVirtualProfile(ctx, VirtualVersion, ClassDisplay, SpaceGray, SpaceXyz);
    if (!p || !storeTexts(p.get(), "gray built-in")) return nullptr;
    if (white) {
        const CieXyz xyz = xyYToXyz(*white);
        if (!storeTag(p.get(), sig("wtpt"), &xyz)) return nullptr;
    }
    if (!storeTag(p.get(), sig("kTRC"), curve)) return nullptr;
    return p.release();
}

IccProfile* createSrgbProfile(EngineContext* ctx)
{
    const CieXyY d65{0.3127, 0.3290, 1.0};
    const CieXyYTriple primaries{{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    const double params[5] = {2.4, 0.9478672985781991, 0.05213270142180095, 0.07739938080495357, 0.04045};
    std::unique_ptr<ToneCurve, decltype(&freeCurve)> curve(buildParametricCurve(ctx, 4, params), &freeCurve);
    if (!curve) return nullptr;
    const ToneCurve* const curves[3] = {curve.get(), curve.get(), curve.get()};
    ProfilePtr p(createRgbProfile(ctx, &d65, &primaries, curves), &closeProfile);
    if (!p || !storeText(p.get(), sig("desc"), "sRGB built-in")) return nullptr;
    return p.release();
}

// ---------------------------------------------------------------------------
// Identities and linearisation links
// ---------------------------------------------------------------------------

IccProfile* createLabIdentityV2(EngineContext* ctx, const CieXyY* white)
{
    ProfilePtr p = identityProfile(ctx, white, LabIdentityV2Version, SpaceLab, "Lab identity built-in");
    if (!p || !storeOneStage(p.get(), sig("A2B0"), 3, 3, newIdentityClutStage(ctx, 3))) return nullptr;
    return p.release();
}

IccProfile* createLabIdentityV4(EngineContext* ctx, const CieXyY* white)
{
    ProfilePtr p = identityProfile(ctx, white, VirtualVersion, SpaceLab, "Lab identity built-in");
    if (!p || !storeOneStage(p.get(), sig("A2B0"), 3, 3, newCurvesStage(ctx, 3, nullptr))) return nullptr;
    return p.release();
}

IccProfile* createXyzIdentity(EngineContext* ctx)
{
    ProfilePtr p = identityProfile(ctx, nullptr, VirtualVersion, SpaceXyz, "XYZ identity built-in");
    if (!p || !storeOneStage(p.get(), sig("A2B0"), 3, 3, newCurvesStage(ctx, 3, nullptr))) return nullptr;
    return p.release();
}

IccProfile* createLinearizationLink(EngineContext* ctx, uint32_t colorSpace, const ToneCurve* const curves[])
{
    constexpr const char* Description = "Linearization built-in";
    bool known = false;
    const uint32_t channels = channelsOfSpace(colorSpace, &known);
    if (!known || channels == 0 || channels >= MaxPipelineChannels) {
        reportError(ctx, ErrUnknownExtension, "Unsupported color space '%s' for a linearization",
                    sigText(colorSpace).text);
        return nullptr;
    }
    if (!curves) {
        reportError(ctx, ErrNull, "Linearization without curves");
        return nullptr;
    }
    ProfilePtr p = newVirtualProfile(ctx, VirtualVersion, ClassLink, colorSpace, colorSpace);
    if (!p || !storeTexts(p.get(), Description)) return nullptr;
    if (!storeOneStage(p.get(), sig("A2B0"), channels, channels, newCurvesStage(ctx, channels, curves)))
        return nullptr;

    SequencePtr sequence(newProfileSequence(ctx, 1), &freeProfileSequence);
    if (!sequence) return nullptr;
    sequence->items[0].manufacturerText = englishText(ctx, MakerText);
    sequence->items[0].modelText = englishText(ctx, Description);
    if (!sequence->items[0].manufacturerText || !sequence->items[0].modelText) return nullptr;
    if (!storeTag(p.get(), sig("pseq"), sequence.get())) return nullptr;
    return p.release();
}

// ---------------------------------------------------------------------------
// Transforms as profiles
// ---------------------------------------------------------------------------

IccProfile* transformToDeviceLink(Transform* transform, double version, uint32_t flags)
{
    if (!transform) {
        reportError(nullptr, ErrNull, "No transform to make a device link of");
        return nullptr;
    }
    const Transform* t = transform;
    EngineContext* ctx = transformContext(t);
    const Pipeline* lut = transformPipeline(t);
    if (!lut) {
        reportError(ctx, ErrNotSuitable, "Cannot make a device link of a transform without a pipeline");
        return nullptr;
    }
    if (stageKind(pipelineFirstStage(lut)) == StageNamedColorKind) return namedColorLink(t, version);

    const uint32_t entry = transformEntrySpace(t), exit = transformExitSpace(t);
    PipelinePtr pipeline(duplicatePipeline(lut), &freePipeline);
    if (!pipeline) return nullptr;
    // Version-2 profiles carry Lab in the version-2 encoding. The white the
    // fix-up knows is the version-4 one, so a table indexed by version-2 Lab
    // is left unpatched, as one that gives version-2 Lab is. The curves from
    // version-2 Lab stay in front of the table: so its grid is laid out in
    // version-4 Lab, whose last L* node is white itself, instead of ending at
    // L* 100.39 where the transform has long stopped.
    if (version < 4.0 && entry == SpaceLab) {
        if (!insertStage(pipeline.get(), AtBegin, newLabV2ToV4CurvesStage(ctx))) return nullptr;
        flags |= XformNoWhiteFixup | XformKeepPreLinearisation;
    }
    if (version < 4.0 && exit == SpaceLab) {
        if (!insertStage(pipeline.get(), AtEnd, newLabV4ToV2Stage(ctx))) return nullptr;
        flags |= XformNoWhiteFixup;
    }

    const LinkHeader header = linkHeader(entry, exit, flags);
    const uint32_t tag = header.deviceClass == ClassOutput ? sig("B2A0") : sig("A2B0");
    const bool eightBits = flags & DeviceLink8Bits;
    if ((flags & XformForceClut) || !writableAsIs(pipeline.get(), version, tag, eightBits)) {
        pipeline.reset(optimisedForTable(t, pipeline.get(), version, tag, flags));
        if (!pipeline) return nullptr;
    }
    if (eightBits) setPipelineSaveAs8Bits(pipeline.get(), true);
    // Lab at either end of a version-2 table is now in the version-2 encoding.
    setPipelineLabV2(pipeline.get(), version < 4.0 && (entry == SpaceLab || exit == SpaceLab));

    ProfilePtr p = newVirtualProfile(ctx, version, header.deviceClass, header.space, header.pcs);
    if (!p || !storeTexts(p.get(), "devicelink")) return nullptr;
    setProfileRenderingIntent(p.get(), transformIntent(t));
    if (!storeTag(p.get(), tag, pipeline.get())) return nullptr;
    if (!storeTransformRecords(p.get(), t, header.deviceClass, version)) return nullptr;
    return p.release();
}
