// Black points for black-point compensation: the darkest colorant of a
// profile, the black of a perceptual round trip, and for output profiles the
// black found by fitting the dark end of a Lab round trip.
#include "oslinternal.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

// The black that version-4 perceptual and saturation tables are built to.
constexpr CieXyz PerceptualBlack{0.00336, 0.0034731, 0.00287};
constexpr uint32_t RoundTripFlags = XformNoOptimise | XformNoCache;
constexpr uint32_t RampSteps = 256;

bool noBlack(CieXyz* black)
{
    *black = CieXyz{0, 0, 0};
    return false;
}

bool isPerceptualOrSaturation(uint32_t intent)
{
    return intent == IntentPerceptual || intent == IntentSaturation;
}

bool isV4(IccProfile* p)
{
    return versionAsNumber(p) >= 4.0;
}

bool takesNoBlackPoint(IccProfile* p)
{
    const uint32_t cls = profileDeviceClass(p);
    return cls == ClassLink || cls == ClassAbstract || cls == ClassNamedColor;
}

// The colour space's darkest colorant converted to Lab with the intent; L*
// outside 0 … 50 becomes 0 and the colour is made neutral.
bool colorimetricBlack(CieXyz* black, IccProfile* p, uint32_t intent)
{
    const uint32_t space = profileColorSpace(p);
    uint16_t colorant[MaxCacheWords] = {};
    switch (space) {
    case SpaceRgb:
    case SpaceGray: break;
    case SpaceCmyk:
        for (int i = 0; i < 4; ++i) colorant[i] = 0xFFFF;
        break;
    case sig("CMY "):
        for (int i = 0; i < 3; ++i) colorant[i] = 0xFFFF;
        break;
    case SpaceLab:
        colorant[1] = colorant[2] = 0x8080;
        break;
    default: return noBlack(black);
    }
    EngineContext* ctx = profileContext(p);
    ProfilePtr lab(createLabIdentityProfile(ctx), &closeProfile);
    if (!lab) return noBlack(black);
    // The Lab side is relative colorimetric, so that no black-point
    // compensation (which would ask for this very black) is switched on.
    IccProfile* const chain[2] = {p, lab.get()};
    const uint32_t intents[2] = {intent, IntentRelativeColorimetric};
    const bool bpc[2] = {false, false};
    const double states[2] = {1.0, 1.0};
    TransformPtr t(createTransformExtended(ctx, 2, chain, bpc, intents, states, nullptr, 0,
                                           formatForSpace(space, 2, false), FormatLabDouble, RoundTripFlags),
                   &deleteTransform);
    if (!t) return noBlack(black);
    double out[3] = {0, 0, 0};
    doTransform(t.get(), colorant, out, 1);
    CieLab l{out[0], 0, 0};
    if (l.L > 50 || l.L < 0) l.L = 0;
    *black = labToXyz(nullptr, l);
    return true;
}

// Lab → the profile (intent) → the profile (relative colorimetric) → Lab,
// in doubles, unoptimised.
Transform* labRoundTrip(IccProfile* p, uint32_t intent)
{
    EngineContext* ctx = profileContext(p);
    ProfilePtr lab(createLabIdentityProfile(ctx), &closeProfile);
    if (!lab) return nullptr;
    IccProfile* const chain[4] = {lab.get(), p, p, lab.get()};
    const uint32_t intents[4] = {IntentRelativeColorimetric, intent, IntentRelativeColorimetric,
                                 IntentRelativeColorimetric};
    const bool bpc[4] = {false, false, false, false};
    const double states[4] = {1.0, 1.0, 1.0, 1.0};
    return createTransformExtended(ctx, 4, chain, bpc, intents, states, nullptr, 0, FormatLabDouble,
                                   FormatLabDouble, RoundTripFlags);
}

// Relative colorimetric black of a CMYK printer: black sent through the
// perceptual tables and back.
bool perceptualRoundTripBlack(CieXyz* black, IccProfile* p)
{
    if (!isIntentSupported(p, IntentPerceptual, DirectionInput)) {
        *black = CieXyz{0, 0, 0};
        return true;
    }
    TransformPtr t(labRoundTrip(p, IntentPerceptual), &deleteTransform);
    if (!t) return noBlack(black);
    const double in[3] = {0, 0, 0};
    double out[3] = {0, 0, 0};
    doTransform(t.get(), in, out, 1);
    const CieLab l{std::clamp(out[0], 0.0, 50.0), 0, 0};
    *black = labToXyz(nullptr, l);
    return true;
}

// The black of an output profile from the dark end of its L* round trip.
bool roundTripBlack(CieXyz* black, IccProfile* p, uint32_t intent)
{
    CieLab initial{0, 0, 0};
    if (intent == IntentRelativeColorimetric) {
        CieXyz source;
        if (!sourceBlackPoint(&source, p, intent)) return noBlack(black);
        initial = xyzToLab(nullptr, source);
    }
    TransformPtr t(labRoundTrip(p, intent), &deleteTransform);
    if (!t) return noBlack(black);

    double ramp[RampSteps * 3], back[RampSteps * 3];
    double input[RampSteps], output[RampSteps];
    for (uint32_t i = 0; i < RampSteps; ++i) {
        input[i] = double(i) * 100.0 / 255.0;
        ramp[3 * i] = input[i];
        ramp[3 * i + 1] = ramp[3 * i + 2] = 0;
    }
    doTransform(t.get(), ramp, back, RampSteps);
    for (uint32_t i = 0; i < RampSteps; ++i) output[i] = back[3 * i];

    // The outputs never decrease along the ramp.
    for (uint32_t i = RampSteps - 1; i > 0; --i) output[i - 1] = std::min(output[i - 1], output[i]);
    const double low = output[0], high = output[RampSteps - 1];
    if (!(high > low)) return noBlack(black);

    if (intent == IntentRelativeColorimetric) {
        const double level = low + 0.2 * (high - low);
        bool straight = true;
        for (uint32_t i = 0; i < RampSteps && straight; ++i)
            if (input[i] > level && std::fabs(input[i] - output[i]) >= 4) straight = false;
        if (straight) {
            *black = labToXyz(nullptr, initial);
            return true;
        }
    }

    const bool relative = intent == IntentRelativeColorimetric;
    const double yLow = relative ? 0.1 : 0.03, yHigh = relative ? 0.5 : 0.25;
    double x[RampSteps], y[RampSteps];
    uint32_t n = 0;
    for (uint32_t i = 0; i < RampSteps; ++i) {
        const double normal = (output[i] - low) / (high - low);
        if (normal >= yLow && normal < yHigh) {
            x[n] = input[i];
            y[n] = normal;
            ++n;
        }
    }
    if (n <= 2) return noBlack(black);
    const double root = std::clamp(blackPointFitRoot(x, y, n), 0.0, 50.0);
    *black = labToXyz(nullptr, CieLab{root, initial.a, initial.b});
    return true;
}

} // namespace

// The root of y = c0 + c1·x + c2·x² fitted to the points by least squares,
// 0 when there is none to be had.
double blackPointFitRoot(const double x[], const double y[], uint32_t n)
{
    if (n < 4) return 0;
    double s[5] = {0, 0, 0, 0, 0}, t[3] = {0, 0, 0};
    for (uint32_t i = 0; i < n; ++i) {
        double power = 1;
        for (int k = 0; k < 5; ++k) {
            s[k] += power;
            if (k < 3) t[k] += power * y[i];
            power *= x[i];
        }
    }
    const Mat3 normal{{s[0], s[1], s[2], s[1], s[2], s[3], s[2], s[3], s[4]}};
    Vec3 c;
    if (!solve3x3(normal, Vec3{{t[0], t[1], t[2]}}, &c)) return 0;
    const double c0 = c.v[0], c1 = c.v[1], c2 = c.v[2];
    if (std::fabs(c2) < 1e-10) return std::fabs(c1) < 1e-10 ? 0 : -c0 / c1;
    const double discriminant = c1 * c1 - 4 * c2 * c0;
    if (discriminant <= 0) return 0;
    return (-c1 + std::sqrt(discriminant)) / (2 * c2);
}

IccProfile* createLabIdentityProfile(EngineContext* ctx)
{
    ProfilePtr p(createBlankProfile(ctx), &closeProfile);
    if (!p) return nullptr;
    setVersionFromNumber(p.get(), 4.4);
    setProfileDeviceClass(p.get(), ClassAbstract);
    setProfileColorSpace(p.get(), SpaceLab);
    setProfilePcs(p.get(), SpaceLab);
    setProfileRenderingIntent(p.get(), IntentPerceptual);
    PipelinePtr identity(newPipeline(ctx, 3, 3), &freePipeline);
    if (!identity) return nullptr;
    Stage* curves = newCurvesStage(ctx, 3, nullptr);
    if (!curves || !insertStage(identity.get(), AtEnd, curves)) return nullptr;
    if (!storeTag(p.get(), sig("A2B0"), identity.get())) return nullptr;
    return p.release();
}

bool sourceBlackPoint(CieXyz* black, IccProfile* p, uint32_t intent)
{
    if (!black) return false;
    if (!p || takesNoBlackPoint(p) || intent > IntentSaturation) return noBlack(black);
    if (isV4(p) && isPerceptualOrSaturation(intent)) {
        if (isMatrixShaper(p)) return colorimetricBlack(black, p, IntentRelativeColorimetric);
        *black = PerceptualBlack;
        return true;
    }
    if (intent == IntentRelativeColorimetric && profileDeviceClass(p) == ClassOutput &&
        profileColorSpace(p) == SpaceCmyk)
        return perceptualRoundTripBlack(black, p);
    return colorimetricBlack(black, p, intent);
}

bool destinationBlackPoint(CieXyz* black, IccProfile* p, uint32_t intent)
{
    if (!black) return false;
    if (!p || takesNoBlackPoint(p) || intent > IntentSaturation) return noBlack(black);
    if (isV4(p) && isPerceptualOrSaturation(intent)) {
        if (isMatrixShaper(p)) return colorimetricBlack(black, p, IntentRelativeColorimetric);
        *black = PerceptualBlack;
        return true;
    }
    const uint32_t space = profileColorSpace(p);
    const bool tabulated = space == SpaceCmyk || space == SpaceGray || space == SpaceRgb;
    if (tabulated && hasClutFor(p, intent, DirectionOutput)) return roundTripBlack(black, p, intent);
    return sourceBlackPoint(black, p, intent);
}
