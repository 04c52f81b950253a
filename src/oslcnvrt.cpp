// Rendering intents and the default ICC linker: a chain of profiles becomes
// one pipeline, joined at the PCS with the conversions that absolute
// colorimetry, black-point compensation and adaptation states call for.
#include "oslinternal.h"

#include <cmath>
#include <memory>

namespace {

using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

constexpr uint32_t SpaceOneColor = sig("1CLR");
constexpr uint32_t SpaceFourColor = sig("4CLR");

Pipeline* linkIcc(EngineContext* ctx, uint32_t count, const uint32_t intents[], IccProfile* const profiles[],
                  const bool bpc[], const double adaptationStates[], uint32_t flags);

struct IntentEntry {
    uint32_t code;
    const char* name;
    IntentLinker link;   // null: known, but no linker here
};

constexpr IntentEntry BuiltinIntents[] = {
    {IntentPerceptual, "Perceptual", linkIcc},
    {IntentRelativeColorimetric, "Relative colorimetric", linkIcc},
    {IntentSaturation, "Saturation", linkIcc},
    {IntentAbsoluteColorimetric, "Absolute colorimetric", linkIcc},
    {IntentPreserveKOnlyPerceptual, "Perceptual preserving black ink", nullptr},
    {IntentPreserveKOnlyRelativeColorimetric, "Relative colorimetric preserving black ink", nullptr},
    {IntentPreserveKOnlySaturation, "Saturation preserving black ink", nullptr},
    {IntentPreserveKPlanePerceptual, "Perceptual preserving black plane", nullptr},
    {IntentPreserveKPlaneRelativeColorimetric, "Relative colorimetric preserving black plane", nullptr},
    {IntentPreserveKPlaneSaturation, "Saturation preserving black plane", nullptr},
};

IntentLinker findLinker(EngineContext* ctx, uint32_t intent)
{
    for (PluginBase* p = pluginChain(ctx, SlotIntents); p; p = p->next) {
        auto* plugin = reinterpret_cast<PluginRenderingIntent*>(p);
        if (plugin->intent == intent) return plugin->link;
    }
    for (const IntentEntry& e : BuiltinIntents)
        if (e.code == intent) return e.link;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Walking the chain
// ---------------------------------------------------------------------------

enum class Use { Input, Output, AsLink, Named };

struct Step {
    Use use;
    uint32_t in, out;
    bool toPcs;   // named colours: to the PCS rather than to device values
};

// How profile i of a chain is used, given the space the chain has reached.
Step stepFor(IccProfile* p, uint32_t i, uint32_t count, uint32_t current)
{
    const uint32_t cls = profileDeviceClass(p);
    const uint32_t space = profileColorSpace(p);
    const uint32_t pcs = profilePcs(p);
    if (cls == ClassNamedColor) {
        const bool toPcs = i + 1 < count;
        return {Use::Named, SpaceOneColor, toPcs ? pcs : space, toPcs};
    }
    if (cls == ClassLink || cls == ClassAbstract) return {Use::AsLink, space, pcs, false};
    if (i == 0 || !isPcsSpace(current)) return {Use::Input, space, pcs, false};
    return {Use::Output, pcs, space, false};
}

// ---------------------------------------------------------------------------
// Conversions at the PCS
// ---------------------------------------------------------------------------

Mat3 diagonal(double a, double b, double c)
{
    return Mat3{{a, 0, 0, 0, b, 0, 0, 0, c}};
}

Mat3 blend(const Mat3& a, double t, const Mat3& b)   // t·a + (1 − t)·b
{
    Mat3 r;
    for (int i = 0; i < 9; ++i) r.m[i] = t * a.m[i] + (1.0 - t) * b.m[i];
    return r;
}

// Absolute colorimetry from the PCS of `from` to that of `to`. With full
// adaptation (state 1) this is the ratio of the media white points. An
// observer adapted less to a profile's illuminant sees its colours closer to
// their measured values: the inverse of its adaptation matrix is blended in
// on the source side, the matrix itself on the destination side.
// A white fit to divide by; anything else (a damaged 'wtpt') counts as D50.
CieXyz usableWhite(const CieXyz& w)
{
    const auto fine = [](double v) { return std::isfinite(v) && v > 1e-6; };
    return fine(w.X) && fine(w.Y) && fine(w.Z) ? w : D50;
}

Mat3 absoluteMatrix(IccProfile* from, double fromState, IccProfile* to, double toState)
{
    const auto clampState = [](double s) { return s >= 0.0 && s <= 1.0 ? s : s < 0.0 ? 0.0 : 1.0; };
    fromState = clampState(fromState);
    toState = clampState(toState);
    const CieXyz ws = usableWhite(mediaWhitePointOf(from));
    const CieXyz wd = usableWhite(mediaWhitePointOf(to));
    const Mat3 unit = identity3x3();
    Mat3 sourceInverse;
    if (!invert3x3(adaptationMatrixOf(from), &sourceInverse)) sourceInverse = unit;
    const Mat3 source = blend(unit, fromState, sourceInverse);
    const Mat3 destination = blend(unit, toState, adaptationMatrixOf(to));
    const Mat3 toAbsolute = diagonal(ws.X / D50.X, ws.Y / D50.Y, ws.Z / D50.Z);
    const Mat3 toRelative = diagonal(D50.X / wd.X, D50.Y / wd.Y, D50.Z / wd.Z);
    return multiply3x3(toRelative, multiply3x3(destination, multiply3x3(source, toAbsolute)));
}

// Black-point compensation per XYZ component: the source black goes to the
// destination black and D50 stays, the linear scaling of ISO 18619:2015:
//   X' = X · (X_bd - X_w) / (X_bs - X_w) - X_w (X_bd - X_bs) / (X_bs - X_w)
// (likewise Y and Z; w the PCS white, bs and bd the two blacks). False when
// nothing needs to be done.
bool blackPointScaling(const CieXyz& source, const CieXyz& destination, Mat3* m, Vec3* offset)
{
    const double sb[3] = {source.X, source.Y, source.Z};
    const double db[3] = {destination.X, destination.Y, destination.Z};
    const double white[3] = {D50.X, D50.Y, D50.Z};
    if (sb[0] == db[0] && sb[1] == db[1] && sb[2] == db[2]) return false;
    Mat3 scale = identity3x3();
    Vec3 shift{{0, 0, 0}};
    for (int c = 0; c < 3; ++c) {
        const double span = sb[c] - white[c];
        if (!(std::fabs(span) >= 1e-9)) return false;   // a black as bright as white
        scale.m[c * 4] = (db[c] - white[c]) / span;
        shift.v[c] = -white[c] * (db[c] - sb[c]) / span * XyzNormalise;
    }
    *m = scale;
    *offset = shift;
    return true;
}

bool appendStage(Pipeline* p, Stage* s)
{
    return s && insertStage(p, AtEnd, s);
}

// The conversion between profile i − 1 (which produced `from`) and profile
// i (which takes `to`), both PCS spaces.
bool addPcsConversion(Pipeline* result, uint32_t from, uint32_t to, IccProfile* previous, uint32_t previousIntent,
                      double previousState, IccProfile* next, uint32_t intent, double state, bool bpc)
{
    EngineContext* ctx = pipelineContext(result);
    Mat3 m = identity3x3();
    Vec3 offset{{0, 0, 0}};
    if (intent == IntentAbsoluteColorimetric) {
        m = absoluteMatrix(previous, previousState, next, state);
    } else if (bpc) {
        CieXyz sourceBlack, destinationBlack;
        sourceBlackPoint(&sourceBlack, previous, previousIntent);
        destinationBlackPoint(&destinationBlack, next, intent);
        blackPointScaling(sourceBlack, destinationBlack, &m, &offset);
    }

    const bool hasOffset = offset.v[0] != 0 || offset.v[1] != 0 || offset.v[2] != 0;
    if (isIdentity3x3(m) && !hasOffset) {
        if (from == SpaceLab && to == SpaceXyz) return appendStage(result, newLabToXyzStage(ctx));
        if (from == SpaceXyz && to == SpaceLab) return appendStage(result, newXyzToLabStage(ctx));
        return true;
    }
    if (from == SpaceLab && !appendStage(result, newLabToXyzStage(ctx))) return false;
    if (!appendStage(result, newMatrixStage(ctx, 3, 3, m.m, offset.v))) return false;
    if (to == SpaceLab && !appendStage(result, newXyzToLabStage(ctx))) return false;
    return true;
}

// Moves the stages of `part` to the end of `result`.
bool moveStages(Pipeline* result, Pipeline* part)
{
    if (!pipelineFirstStage(part)) {
        if (!pipelineFirstStage(result)) {
            result->inputs = part->inputs;
            result->outputs = part->outputs;
        }
        return true;
    }
    while (pipelineFirstStage(part)) {
        Stage* s = nullptr;
        unlinkStage(part, AtBegin, &s);
        if (!s || !insertStage(result, AtEnd, s)) return false;
    }
    return true;
}

Pipeline* pipelineFor(IccProfile* p, const Step& step, uint32_t intent)
{
    switch (step.use) {
    case Use::Input: return inputPipelineOf(p, intent);
    case Use::Output: return outputPipelineOf(p, intent);
    case Use::AsLink: return deviceLinkPipelineOf(p, intent);
    case Use::Named: return namedColorPipelineOf(p, step.toPcs);
    }
    return nullptr;
}

// The default ICC linker. The spaces along the whole chain are checked
// before any table is read.
Pipeline* linkIcc(EngineContext* ctx, uint32_t count, const uint32_t intents[], IccProfile* const profiles[],
                  const bool bpc[], const double adaptationStates[], uint32_t flags)
{
    Step steps[MaxProfilesInChain];
    uint32_t current = 0;
    for (uint32_t i = 0; i < count; ++i) {
        steps[i] = stepFor(profiles[i], i, count, current);
        if (i == 0) current = steps[i].in;
        if (!spacesCompatible(current, steps[i].in)) {
            reportError(ctx, ErrColorspaceCheck, "ColorSpace mismatch");
            return nullptr;
        }
        current = steps[i].out;
    }

    PipelinePtr result(newPipeline(ctx, 0, 0), &freePipeline);
    if (!result) return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const Step& step = steps[i];
        if (i > 0 && isPcsSpace(steps[i - 1].out) && isPcsSpace(step.in)) {
            if (!addPcsConversion(result.get(), steps[i - 1].out, step.in, profiles[i - 1], intents[i - 1],
                                  adaptationStates[i - 1], profiles[i], intents[i], adaptationStates[i], bpc[i]))
                return nullptr;
        }
        PipelinePtr part(pipelineFor(profiles[i], step, intents[i]), &freePipeline);
        if (!part || !moveStages(result.get(), part.get())) return nullptr;
    }
    if ((flags & XformUnbounded) && !makeUnbounded(result.get())) return nullptr;
    if (flags & XformClipNegatives) {
        if (current == SpaceRgb || current == SpaceGray || current == SpaceCmyk) {
            if (!appendStage(result.get(), newClipNegativesStage(ctx, channelsOfSpace(current)))) return nullptr;
        }
    }
    return result.release();
}

} // namespace

// ---------------------------------------------------------------------------
// Spaces
// ---------------------------------------------------------------------------

bool isPcsSpace(uint32_t space)
{
    return space == SpaceLab || space == SpaceXyz;
}

bool spacesCompatible(uint32_t produced, uint32_t wanted)
{
    if (produced == wanted) return true;
    const auto cmyk = [](uint32_t s) { return s == SpaceCmyk || s == SpaceFourColor; };
    if (cmyk(produced) && cmyk(wanted)) return true;
    return isPcsSpace(produced) && isPcsSpace(wanted);
}

bool chainSpaces(IccProfile* const profiles[], uint32_t count, uint32_t* entry, uint32_t* exit)
{
    if (!profiles || count == 0) return false;
    uint32_t current = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!profiles[i]) return false;
        const Step step = stepFor(profiles[i], i, count, current);
        if (i == 0) *entry = step.in;
        current = step.out;
    }
    *exit = current;
    return true;
}

// ---------------------------------------------------------------------------
// Intents and linking
// ---------------------------------------------------------------------------

uint32_t supportedIntents(EngineContext* ctx, uint32_t max, uint32_t codes[], const char* names[])
{
    uint32_t n = 0;
    auto add = [&](uint32_t code, const char* name) {
        for (uint32_t i = 0; i < n && i < max; ++i)
            if (codes && codes[i] == code) return;
        if (n < max) {
            if (codes) codes[n] = code;
            if (names) names[n] = name;
        }
        ++n;
    };
    for (PluginBase* p = pluginChain(ctx, SlotIntents); p; p = p->next) {
        auto* plugin = reinterpret_cast<PluginRenderingIntent*>(p);
        if (plugin->link) add(plugin->intent, plugin->description);
    }
    for (const IntentEntry& e : BuiltinIntents)
        if (e.link && findLinker(ctx, e.code) == e.link) add(e.code, e.name);
    return n;
}

Pipeline* linkProfiles(EngineContext* ctx, uint32_t count, const uint32_t intents[], IccProfile* const profiles[],
                       const bool blackPointCompensation[], const double adaptationStates[], uint32_t flags)
{
    if (count < 1 || count > MaxProfilesInChain) {
        reportError(ctx, ErrRange, "Couldn't link '%d' profiles", int(count));
        return nullptr;
    }
    if (!intents || !profiles || !blackPointCompensation || !adaptationStates) {
        reportError(ctx, ErrNull, "NULL input profiles on transform");
        return nullptr;
    }
    bool bpc[MaxProfilesInChain];
    for (uint32_t i = 0; i < count; ++i) {
        if (!profiles[i]) {
            reportError(ctx, ErrNull, "NULL input profiles on transform");
            return nullptr;
        }
        bpc[i] = blackPointCompensation[i];
        if (intents[i] == IntentAbsoluteColorimetric) bpc[i] = false;
        if ((intents[i] == IntentPerceptual || intents[i] == IntentSaturation) && versionAsNumber(profiles[i]) >= 4.0)
            bpc[i] = true;
    }
    const IntentLinker link = findLinker(ctx, intents[0]);
    if (!link) {
        reportError(ctx, ErrUnknownExtension, "Unsupported intent '%d'", int(intents[0]));
        return nullptr;
    }
    return link(ctx, count, intents, profiles, bpc, adaptationStates, flags);
}
