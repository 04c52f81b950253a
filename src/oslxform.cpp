// Transforms: creation from a chain of profiles with its checks, the workers
// that run the pipeline over pixel buffers with the one-pixel cache, changing
// formats after creation, and the calls.
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// A gamut-check value (in the pipeline's 0 … 1 units) that rounds to a
// non-zero 16-bit word marks a colour out of gamut.
constexpr float GamutThreshold = 0.5f / 65535.0f;

// ---------------------------------------------------------------------------
// Workers
// ---------------------------------------------------------------------------

// Input buffers are never written; the formatters share one pointer type.
uint8_t* bytesOf(const void* p)
{
    return static_cast<uint8_t*>(const_cast<void*>(p));
}

template <bool Gamut>
void eval16(const Transform* t, const uint16_t in[], uint16_t out[], const uint16_t alarm[])
{
    if constexpr (Gamut) {
        uint16_t outside[MaxCacheWords];
        evalPipeline16(in, outside, t->gamutCheck);
        if (outside[0] != 0) {
            std::memcpy(out, alarm, MaxCacheWords * sizeof(uint16_t));
            return;
        }
    }
    evalPipeline16(in, out, t->lut);
}

// 16-bit worker; Cached compares each pixel with the last one converted.
template <bool Cached, bool Gamut>
void worker16(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount, const Stride* s)
{
    const Formatter16 unpack = t->fromInput;
    const Formatter16 pack = t->toOutput;
    if (!unpack || !pack) return;
    if (t->flags & XformCopyAlpha) copyExtraChannels(t, in, out, pixelsPerLine, lineCount, s);

    uint16_t alarm[MaxCacheWords] = {};
    if constexpr (Gamut) alarmCodes(t->ctx, alarm);
    uint16_t words[MaxCacheWords] = {};
    uint16_t result[MaxCacheWords] = {};
    uint16_t cacheIn[MaxCacheWords], cacheOut[MaxCacheWords];
    if constexpr (Cached) {
        std::memcpy(cacheIn, t->cacheIn, sizeof cacheIn);
        std::memcpy(cacheOut, t->cacheOut, sizeof cacheOut);
    }

    for (uint32_t line = 0; line < lineCount; ++line) {
        uint8_t* src = bytesOf(in) + size_t(line) * s->bytesPerLineIn;
        uint8_t* dst = static_cast<uint8_t*>(out) + size_t(line) * s->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine; ++i) {
            src = unpack(t, words, src, s->bytesPerPlaneIn);
            if constexpr (Cached) {
                if (std::memcmp(words, cacheIn, sizeof cacheIn) != 0) {
                    std::memcpy(cacheIn, words, sizeof cacheIn);
                    eval16<Gamut>(t, cacheIn, cacheOut, alarm);
                }
                dst = pack(t, cacheOut, dst, s->bytesPerPlaneOut);
            } else {
                eval16<Gamut>(t, words, result, alarm);
                dst = pack(t, result, dst, s->bytesPerPlaneOut);
            }
        }
    }
}

template <bool Gamut>
void workerFloat(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                 const Stride* s)
{
    const FormatterFloat unpack = t->fromInputFloat;
    const FormatterFloat pack = t->toOutputFloat;
    if (!unpack || !pack) return;
    if (t->flags & XformCopyAlpha) copyExtraChannels(t, in, out, pixelsPerLine, lineCount, s);

    float alarm[MaxCacheWords] = {};
    if constexpr (Gamut) {
        uint16_t codes[MaxCacheWords];
        alarmCodes(t->ctx, codes);
        for (uint32_t j = 0; j < MaxCacheWords; ++j) alarm[j] = float(codes[j] / 65535.0);
    }
    float values[MaxCacheWords] = {};
    float result[MaxCacheWords] = {};

    for (uint32_t line = 0; line < lineCount; ++line) {
        uint8_t* src = bytesOf(in) + size_t(line) * s->bytesPerLineIn;
        uint8_t* dst = static_cast<uint8_t*>(out) + size_t(line) * s->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine; ++i) {
            src = unpack(t, values, src, s->bytesPerPlaneIn);
            bool outside = false;
            if constexpr (Gamut) {
                float g[MaxCacheWords];
                evalPipelineFloat(values, g, t->gamutCheck);
                outside = g[0] >= GamutThreshold;
            }
            if (outside)
                dst = pack(t, alarm, dst, s->bytesPerPlaneOut);
            else {
                evalPipelineFloat(values, result, t->lut);
                dst = pack(t, result, dst, s->bytesPerPlaneOut);
            }
        }
    }
}

// Null transforms convert formats and copy the colours.
void nullWorker16(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                  const Stride* s)
{
    if (!t->fromInput || !t->toOutput) return;
    if (t->flags & XformCopyAlpha) copyExtraChannels(t, in, out, pixelsPerLine, lineCount, s);
    uint16_t words[MaxCacheWords] = {};
    for (uint32_t line = 0; line < lineCount; ++line) {
        uint8_t* src = bytesOf(in) + size_t(line) * s->bytesPerLineIn;
        uint8_t* dst = static_cast<uint8_t*>(out) + size_t(line) * s->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine; ++i) {
            src = t->fromInput(t, words, src, s->bytesPerPlaneIn);
            dst = t->toOutput(t, words, dst, s->bytesPerPlaneOut);
        }
    }
}

void nullWorkerFloat(Transform* t, const void* in, void* out, uint32_t pixelsPerLine, uint32_t lineCount,
                     const Stride* s)
{
    if (!t->fromInputFloat || !t->toOutputFloat) return;
    if (t->flags & XformCopyAlpha) copyExtraChannels(t, in, out, pixelsPerLine, lineCount, s);
    float values[MaxCacheWords] = {};
    for (uint32_t line = 0; line < lineCount; ++line) {
        uint8_t* src = bytesOf(in) + size_t(line) * s->bytesPerLineIn;
        uint8_t* dst = static_cast<uint8_t*>(out) + size_t(line) * s->bytesPerLineOut;
        for (uint32_t i = 0; i < pixelsPerLine; ++i) {
            src = t->fromInputFloat(t, values, src, s->bytesPerPlaneIn);
            dst = t->toOutputFloat(t, values, dst, s->bytesPerPlaneOut);
        }
    }
}

bool floatingFormats(uint32_t inputFormat, uint32_t outputFormat)
{
    return formatFloat(inputFormat) || formatFloat(outputFormat);
}

TransformWorker chooseWorker(uint32_t flags, bool floating, bool gamut)
{
    if (flags & XformNullTransform) return floating ? nullWorkerFloat : nullWorker16;
    if (floating) return gamut ? workerFloat<true> : workerFloat<false>;
    if (flags & XformNoCache) return gamut ? worker16<false, true> : worker16<false, false>;
    return gamut ? worker16<true, true> : worker16<true, false>;
}

// ---------------------------------------------------------------------------
// Set-up
// ---------------------------------------------------------------------------

struct FormatterSet {
    Formatter16 fromInput = nullptr, toOutput = nullptr;
    FormatterFloat fromInputFloat = nullptr, toOutputFloat = nullptr;
    PixelLayout inLayout, outLayout;
};

// Formatters for a pair of formats: float ones when either is float, none
// when both are 0. Reports "Unsupported raster format" when one is missing.
bool findFormatters(EngineContext* ctx, uint32_t inputFormat, uint32_t outputFormat, FormatterSet* set)
{
    *set = FormatterSet{};
    if (inputFormat == 0 && outputFormat == 0) return true;
    makePixelLayout(inputFormat, &set->inLayout);
    makePixelLayout(outputFormat, &set->outLayout);
    bool found;
    if (floatingFormats(inputFormat, outputFormat)) {
        set->fromInputFloat = findFormatter(ctx, inputFormat, FormatterInput, FormatterFlagFloat).fmtFloat;
        set->toOutputFloat = findFormatter(ctx, outputFormat, FormatterOutput, FormatterFlagFloat).fmtFloat;
        found = set->fromInputFloat && set->toOutputFloat;
    } else {
        set->fromInput = findFormatter(ctx, inputFormat, FormatterInput, 0).fmt16;
        set->toOutput = findFormatter(ctx, outputFormat, FormatterOutput, 0).fmt16;
        found = set->fromInput && set->toOutput;
    }
    if (!found) reportError(ctx, ErrUnknownExtension, "Unsupported raster format");
    return found;
}

void installFormatters(Transform* t, const FormatterSet& set)
{
    t->fromInput = set.fromInput;
    t->toOutput = set.toOutput;
    t->fromInputFloat = set.fromInputFloat;
    t->toOutputFloat = set.toOutputFloat;
    t->inLayout = set.inLayout;
    t->outLayout = set.outLayout;
}

bool alphaMatches(EngineContext* ctx, uint32_t flags, uint32_t inputFormat, uint32_t outputFormat)
{
    if ((flags & XformCopyAlpha) && formatExtra(inputFormat) != formatExtra(outputFormat)) {
        reportError(ctx, ErrNotSuitable, "Mismatched alpha channels");
        return false;
    }
    return true;
}

// Hands the worker to the context's scheduler when one is registered.
void installWorker(Transform* t, TransformWorker own)
{
    const auto* parallel = slotState<ParallelizationState>(t->ctx, SlotParallelization);
    t->maxWorkers = parallel->maxWorkers;
    t->workerFlags = parallel->workerFlags;
    if (parallel->scheduler) {
        t->savedWorker = own;
        t->worker = parallel->scheduler;
    } else {
        t->savedWorker = nullptr;
        t->worker = own;
    }
}

// Asks the 'zfmH' plug-ins for a whole-transform worker.
bool pluginWorker(Transform* t, TransformWorker* worker)
{
    for (PluginBase* p = pluginChain(t->ctx, SlotTransforms); p; p = p->next) {
        auto* plugin = reinterpret_cast<PluginTransform*>(p);
        void* userData = nullptr;
        FreeUserDataFn freeData = nullptr;
        if (plugin->factory(worker, &userData, &freeData, &t->lut, &t->inputFormat, &t->outputFormat, &t->flags)) {
            t->userData = userData;
            t->freeUserData = freeData;
            return true;
        }
    }
    return false;
}

void primeCache(Transform* t)
{
    std::memset(t->cacheIn, 0, sizeof t->cacheIn);
    std::memset(t->cacheOut, 0, sizeof t->cacheOut);
    if (!t->lut) return;
    uint16_t alarm[MaxCacheWords] = {};
    if (t->gamutCheck) {
        alarmCodes(t->ctx, alarm);
        eval16<true>(t, t->cacheIn, t->cacheOut, alarm);
    } else {
        eval16<false>(t, t->cacheIn, t->cacheOut, alarm);
    }
}

// Copies a tag object through the handler of its type, so that it outlives
// the profile.
TagObjectCopy copyTagObject(IccProfile* profile, uint32_t tag)
{
    TagObjectCopy copy;
    if (!hasTag(profile, tag)) return copy;
    const void* object = loadTag(profile, tag);
    if (!object) return copy;
    EngineContext* ctx = profileContext(profile);
    const TagTypeHandler* handler = findTypeHandler(ctx, linkedTypeOf(profile, tag));
    if (!handler || !handler->duplicate) return copy;
    copy.object = callTypeDuplicate(handler, ctx, profileVersion(profile), object, 1);
    if (copy.object) copy.handler = handler;
    return copy;
}

// The description of each profile of the chain, for device links made from
// the transform.
TagObjectCopy profileSequenceOf(EngineContext* ctx, IccProfile* const profiles[], uint32_t count)
{
    TagObjectCopy copy;
    const TagTypeHandler* handler = findTypeHandler(ctx, sig("pseq"));
    ProfileSequence* seq = newProfileSequence(ctx, count);
    if (!handler || !seq) {
        freeProfileSequence(seq);
        return copy;
    }
    auto text = [](IccProfile* p, uint32_t tag) -> LocalizedText* {
        if (!hasTag(p, tag)) return nullptr;
        return duplicateLocalizedText(static_cast<const LocalizedText*>(loadTag(p, tag)));
    };
    for (uint32_t i = 0; i < count; ++i) {
        IccProfile* p = profiles[i];
        ProfileSequenceItem& item = seq->items[i];
        profileId(p, item.profileId);
        item.manufacturer = profileManufacturer(p);
        item.model = profileModel(p);
        item.attributes = profileAttributes(p);
        if (hasTag(p, sig("tech")))
            if (const auto* tech = static_cast<const uint32_t*>(loadTag(p, sig("tech")))) item.technology = *tech;
        item.manufacturerText = text(p, sig("dmnd"));
        item.modelText = text(p, sig("dmdd"));
        item.description = text(p, sig("desc"));
    }
    copy.object = seq;
    copy.handler = handler;
    return copy;
}

void releaseTagObject(EngineContext* ctx, TagObjectCopy& copy)
{
    if (copy.object && copy.handler) callTypeFree(copy.handler, ctx, copy.object);
    copy = TagObjectCopy{};
}

// ---------------------------------------------------------------------------
// The gamma of a profile, along its neutral axis
// ---------------------------------------------------------------------------

// Estimated gamma of an RGB input profile from the Y of its grey ramp, or -1.
double profileGamma(IccProfile* profile, uint32_t intent)
{
    const uint32_t cls = profileDeviceClass(profile);
    if (cls == ClassLink || cls == ClassAbstract || cls == ClassNamedColor) return -1;
    if (profileColorSpace(profile) != SpaceRgb) return -1;
    PipelinePtr p(inputPipelineOf(profile, intent), &freePipeline);
    if (!p || pipelineInputs(p.get()) != 3 || pipelineOutputs(p.get()) != 3) return -1;
    const bool lab = profilePcs(profile) == SpaceLab;

    constexpr uint32_t Samples = 256;
    float y[Samples];
    for (uint32_t i = 0; i < Samples; ++i) {
        const float x = float(double(i) / (Samples - 1));
        const float in[3] = {x, x, x};
        float out[MaxStageChannels];
        evalPipelineFloat(in, out, p.get());
        if (lab) {
            const CieLab l{double(out[0]) * 100.0, 0, 0};
            y[i] = float(labToXyz(nullptr, l).Y);
        } else {
            y[i] = float(out[1] * XyzDenormalise);
        }
    }
    if (!(y[Samples - 1] > 0)) return -1;
    for (float& v : y) v /= y[Samples - 1];
    CurvePtr curve(buildTabulatedCurveFloat(profileContext(profile), Samples, y), &freeCurve);
    return curve ? estimateGamma(curve.get(), 0.1) : -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

Transform* transformFromPipeline(EngineContext* ctx, Pipeline* pipeline, const TransformSetup& setup)
{
    PipelinePtr lut(pipeline, &freePipeline);
    PipelinePtr gamut(setup.gamutCheck, &freePipeline);
    if (!lut && !(setup.flags & XformNullTransform)) {
        reportError(ctx, ErrNull, "Transform without a pipeline");
        return nullptr;
    }
    void* memory = engineAllocZero(ctx, sizeof(Transform));
    if (!memory) return nullptr;
    TransformPtr t(new (memory) Transform, &deleteTransform);
    t->ctx = ctx;
    t->inputFormat = setup.inputFormat;
    t->outputFormat = setup.outputFormat;
    t->flags = setup.flags;
    t->intent = setup.intent;
    t->entrySpace = setup.entrySpace;
    t->exitSpace = setup.exitSpace;
    t->gamutCheck = gamut.release();
    if (floatingFormats(t->inputFormat, t->outputFormat)) t->flags |= XformNoCache;
    if (!t->gamutCheck) t->flags &= ~XformGamutCheck;
    t->lut = lut.release();

    // A plug-in may take the whole transform; otherwise the pipeline is
    // simplified for the formats.
    TransformWorker own = nullptr;
    const bool isNull = t->flags & XformNullTransform;
    bool byPlugin = false;
    if (!isNull && !(t->flags & XformNoOptimise)) byPlugin = pluginWorker(t.get(), &own);
    if (!isNull && !byPlugin && t->lut)
        optimisePipeline(ctx, &t->lut, t->intent, &t->inputFormat, &t->outputFormat, &t->flags);

    FormatterSet set;
    if (!findFormatters(ctx, t->inputFormat, t->outputFormat, &set) && !byPlugin) return nullptr;
    installFormatters(t.get(), set);
    t->pluginWorker = byPlugin;
    if (!byPlugin) {
        own = optimisedWorkerFor(t.get());
        if (!own) own = chooseWorker(t->flags, floatingFormats(t->inputFormat, t->outputFormat), t->gamutCheck);
    }

    if (floatingFormats(t->inputFormat, t->outputFormat) || formatBytes(t->inputFormat) != 1)
        t->flags |= XformCanChangeFormats;
    if (!alphaMatches(ctx, t->flags, t->inputFormat, t->outputFormat)) return nullptr;
    installWorker(t.get(), own);

    if (!(t->flags & XformNoCache)) primeCache(t.get());
    return t.release();
}

Transform* createTransformExtended(EngineContext* ctx, uint32_t count, IccProfile* const profiles[],
                                   const bool blackPointCompensation[], const uint32_t intents[],
                                   const double adaptationStates[], IccProfile* gamutProfile,
                                   uint32_t gamutPcsPosition, uint32_t inputFormat, uint32_t outputFormat,
                                   uint32_t flags)
{
    // Linking and optimising are long runs of SSE work.
    clearUpperVectorState();
    TransformSetup setup;
    setup.inputFormat = inputFormat;
    setup.outputFormat = outputFormat;
    setup.flags = flags;

    if (flags & XformNullTransform) return transformFromPipeline(ctx, nullptr, setup);

    if (!gamutProfile) setup.flags &= ~XformGamutCheck;
    if (count < 1 || count > MaxProfilesInChain) {
        reportError(ctx, ErrRange, "Wrong number of profiles. 1..255 expected, %d found.", int(count));
        return nullptr;
    }
    if (!profiles || !intents || !blackPointCompensation || !adaptationStates) {
        reportError(ctx, ErrNull, "NULL input profiles on transform");
        return nullptr;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!profiles[i]) {
            reportError(ctx, ErrNull, "NULL input profiles on transform");
            return nullptr;
        }
    }

    if (!chainSpaces(profiles, count, &setup.entrySpace, &setup.exitSpace)) return nullptr;
    auto matches = [](uint32_t format, uint32_t space) {
        const uint32_t code = formatColorSpace(format);
        if (code == 0) return true;
        const uint32_t wanted = pixelSpaceOf(space);
        const auto lab = [](uint32_t c) { return c == PixelLab || c == PixelLabV2; };
        return code == wanted || (lab(code) && lab(wanted));
    };
    if (!matches(inputFormat, setup.entrySpace)) {
        reportError(ctx, ErrColorspaceCheck, "Wrong input color space on transform");
        return nullptr;
    }
    if (!matches(outputFormat, setup.exitSpace)) {
        reportError(ctx, ErrColorspaceCheck, "Wrong output color space on transform");
        return nullptr;
    }

    // A nearly linear RGB source at 16 bits loses too much in a resampled
    // table; it is left unoptimised.
    if (formatColorSpace(inputFormat) == PixelRgb && formatBytes(inputFormat) == 2 && !formatFloat(inputFormat) &&
        !(setup.flags & XformNoOptimise)) {
        const double gamma = profileGamma(profiles[0], intents[0]);
        if (gamma > 0 && gamma < 1.6) setup.flags |= XformNoOptimise;
    }

    PipelinePtr lut(linkProfiles(ctx, count, intents, profiles, blackPointCompensation, adaptationStates,
                                 setup.flags),
                    &freePipeline);
    if (!lut) {
        reportError(ctx, ErrNotSuitable, "Couldn't link the profiles");
        return nullptr;
    }
    if (pipelineInputs(lut.get()) != channelsOfSpace(setup.entrySpace) ||
        pipelineOutputs(lut.get()) != channelsOfSpace(setup.exitSpace)) {
        reportError(ctx, ErrNotSuitable, "Channel count doesn't match. Profile is corrupted");
        return nullptr;
    }

    if (setup.flags & XformGamutCheck) {
        setup.gamutCheck = buildGamutCheck(ctx, profiles, blackPointCompensation, intents, adaptationStates,
                                           gamutPcsPosition, gamutProfile);
        if (!setup.gamutCheck) return nullptr;
    }
    setup.intent = intents[count - 1];

    TransformPtr t(transformFromPipeline(ctx, lut.release(), setup), &deleteTransform);
    if (!t) return nullptr;

    t->entryWhite = mediaWhitePointOf(profiles[0]);
    t->exitWhite = mediaWhitePointOf(profiles[count - 1]);
    t->inputColorants = copyTagObject(profiles[0], sig("clrt"));
    IccProfile* last = profiles[count - 1];
    t->outputColorants =
        copyTagObject(last, profileDeviceClass(last) == ClassLink ? sig("clot") : sig("clrt"));
    if (setup.flags & XformKeepSequence) t->sequence = profileSequenceOf(ctx, profiles, count);
    return t.release();
}

Transform* createMultiTransform(EngineContext* ctx, IccProfile* const profiles[], uint32_t count,
                                uint32_t inputFormat, uint32_t outputFormat, uint32_t intent, uint32_t flags)
{
    if (count < 1 || count > MaxProfilesInChain) {
        reportError(ctx, ErrRange, "Wrong number of profiles. 1..255 expected, %d found.", int(count));
        return nullptr;
    }
    bool bpc[MaxProfilesInChain];
    uint32_t intents[MaxProfilesInChain];
    double states[MaxProfilesInChain];
    const double state = setAdaptationState(ctx, -1);
    for (uint32_t i = 0; i < count; ++i) {
        bpc[i] = flags & XformBlackPointCompensation;
        intents[i] = intent;
        states[i] = state;
    }
    return createTransformExtended(ctx, count, profiles, bpc, intents, states, nullptr, 0, inputFormat,
                                   outputFormat, flags);
}

Transform* createMultiTransformNoContext(IccProfile* const profiles[], uint32_t count, uint32_t inputFormat,
                                         uint32_t outputFormat, uint32_t intent, uint32_t flags)
{
    EngineContext* ctx = profiles && count > 0 && profiles[0] ? profileContext(profiles[0]) : nullptr;
    return createMultiTransform(ctx, profiles, count, inputFormat, outputFormat, intent, flags);
}

Transform* createTransformContext(EngineContext* ctx, IccProfile* input, uint32_t inputFormat, IccProfile* output,
                                  uint32_t outputFormat, uint32_t intent, uint32_t flags)
{
    IccProfile* const chain[2] = {input, output};
    return createMultiTransform(ctx, chain, output ? 2 : 1, inputFormat, outputFormat, intent, flags);
}

Transform* createTransform(IccProfile* input, uint32_t inputFormat, IccProfile* output, uint32_t outputFormat,
                           uint32_t intent, uint32_t flags)
{
    return createTransformContext(input ? profileContext(input) : nullptr, input, inputFormat, output,
                                  outputFormat, intent, flags);
}

void deleteTransform(Transform* t)
{
    if (!t) return;
    freePipeline(t->lut);
    freePipeline(t->gamutCheck);
    releaseTagObject(t->ctx, t->inputColorants);
    releaseTagObject(t->ctx, t->outputColorants);
    releaseTagObject(t->ctx, t->sequence);
    if (t->userData && t->freeUserData) t->freeUserData(t->ctx, t->userData);
    EngineContext* ctx = t->ctx;
    t->~Transform();
    engineFree(ctx, t);
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

void doTransformLineStride(Transform* t, const void* input, void* output, uint32_t pixelsPerLine,
                           uint32_t lineCount, uint32_t bytesPerLineIn, uint32_t bytesPerLineOut,
                           uint32_t bytesPerPlaneIn, uint32_t bytesPerPlaneOut)
{
    if (!t || !t->worker || !input || !output || pixelsPerLine == 0 || lineCount == 0) return;
    clearUpperVectorState();
    // Missing strides describe tightly packed lines and whole-image planes.
    auto pixelStep = [](uint32_t format) {
        const uint32_t sample = sampleBytesOf(format);
        return formatPlanar(format) ? sample : sample * (formatChannels(format) + formatExtra(format));
    };
    if (bytesPerLineIn == 0) bytesPerLineIn = pixelsPerLine * pixelStep(t->inputFormat);
    if (bytesPerLineOut == 0) bytesPerLineOut = pixelsPerLine * pixelStep(t->outputFormat);
    if (bytesPerPlaneIn == 0) bytesPerPlaneIn = bytesPerLineIn * lineCount;
    if (bytesPerPlaneOut == 0) bytesPerPlaneOut = bytesPerLineOut * lineCount;
    const Stride stride{bytesPerLineIn, bytesPerLineOut, bytesPerPlaneIn, bytesPerPlaneOut};
    t->worker(t, input, output, pixelsPerLine, lineCount, &stride);
}

void doTransform(Transform* t, const void* input, void* output, uint32_t pixelCount)
{
    doTransformLineStride(t, input, output, pixelCount, 1, 0, 0, 0, 0);
}

bool changeTransformFormats(Transform* t, uint32_t inputFormat, uint32_t outputFormat)
{
    if (!t) return false;
    if (!(t->flags & XformCanChangeFormats)) {
        reportError(t->ctx, ErrNotSuitable,
                    "oslChangeBuffersFormat works only on transforms created originally with at least 16 bits "
                    "of precision");
        return false;
    }
    FormatterSet set;
    if (!findFormatters(t->ctx, inputFormat, outputFormat, &set)) return false;
    if (!alphaMatches(t->ctx, t->flags, inputFormat, outputFormat)) return false;

    const bool floating = floatingFormats(inputFormat, outputFormat);
    if (floating) t->flags |= XformNoCache;
    t->inputFormat = inputFormat;
    t->outputFormat = outputFormat;
    installFormatters(t, set);
    // The engine's own workers follow the new precision; a plug-in's stays.
    if (!t->pluginWorker) {
        const TransformWorker next = chooseWorker(t->flags, floating, t->gamutCheck);
        if (t->savedWorker)
            t->savedWorker = next;
        else
            t->worker = next;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Accessors
// ---------------------------------------------------------------------------

EngineContext* transformContext(const Transform* t) { return t ? t->ctx : nullptr; }
uint32_t transformInputFormat(const Transform* t) { return t ? t->inputFormat : 0; }
uint32_t transformOutputFormat(const Transform* t) { return t ? t->outputFormat : 0; }
uint32_t transformFlags(const Transform* t) { return t ? t->flags : 0; }
int32_t transformMaxWorkers(const Transform* t) { return t ? t->maxWorkers : -1; }
uint32_t transformWorkerFlags(const Transform* t) { return t ? t->workerFlags : 0; }
TransformWorker transformWorker(const Transform* t) { return !t ? nullptr : t->savedWorker ? t->savedWorker : t->worker; }
void* transformUserData(const Transform* t) { return t ? t->userData : nullptr; }
const Pipeline* transformPipeline(const Transform* t) { return t ? t->lut : nullptr; }
uint32_t transformEntrySpace(const Transform* t) { return t ? t->entrySpace : 0; }
uint32_t transformExitSpace(const Transform* t) { return t ? t->exitSpace : 0; }
uint32_t transformIntent(const Transform* t) { return t ? t->intent : 0; }
CieXyz transformEntryWhitePoint(const Transform* t) { return t ? t->entryWhite : D50; }
CieXyz transformExitWhitePoint(const Transform* t) { return t ? t->exitWhite : D50; }
const NamedColorList* transformInputColorants(const Transform* t)
{
    return t ? static_cast<const NamedColorList*>(t->inputColorants.object) : nullptr;
}
const NamedColorList* transformOutputColorants(const Transform* t)
{
    return t ? static_cast<const NamedColorList*>(t->outputColorants.object) : nullptr;
}
const ProfileSequence* transformSequence(const Transform* t)
{
    return t ? static_cast<const ProfileSequence*>(t->sequence.object) : nullptr;
}

void setTransformUserData(Transform* t, void* data, FreeUserDataFn freeData)
{
    if (!t) return;
    if (t->userData && t->userData != data && t->freeUserData) t->freeUserData(t->ctx, t->userData);
    t->userData = data;
    t->freeUserData = freeData;
}
