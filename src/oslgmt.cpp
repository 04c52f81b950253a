// The gamut check: a one-output table over a chain's input space that says
// how far each colour lies outside the gamut of a gamut profile.
#include "oslinternal.h"

#include <cmath>
#include <memory>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

constexpr uint32_t CheckFlags = XformNoOptimise | XformNoCache;

struct GamutCargo {
    Transform* toLab;       // the chain up to the PCS, then Lab
    Transform* toDevice;    // Lab to the gamut profile's device space
    Transform* fromDevice;  // and back
    double threshold;
};

CieLab throughGamut(const GamutCargo& c, const CieLab& lab)
{
    uint16_t device[MaxCacheWords] = {};
    const double in[3] = {lab.L, lab.a, lab.b};
    double out[3] = {0, 0, 0};
    doTransform(c.toDevice, in, device, 1);
    doTransform(c.fromDevice, device, out, 1);
    return CieLab{out[0], out[1], out[2]};
}

// How far out of gamut: 0 inside, else a rounded distance beyond the
// threshold. A colour that moves on its first trip through the gamut profile
// but not on its second was clipped.
bool gamutSampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const auto& c = *static_cast<const GamutCargo*>(cargo);
    double first[3] = {0, 0, 0};
    doTransform(c.toLab, in, first, 1);
    const CieLab lab1{first[0], first[1], first[2]};
    const CieLab lab2 = throughGamut(c, lab1);
    const CieLab lab3 = throughGamut(c, lab2);
    const double dE1 = deltaE76(lab1, lab2);
    const double dE2 = deltaE76(lab2, lab3);
    const double t = c.threshold;

    double value;
    if (dE1 < t && dE2 != t) {
        value = 0;
    } else if (dE1 > t && dE2 < t) {
        value = std::floor(dE1 - t + 0.5);
    } else {
        const double ratio = dE2 == 0 ? dE1 : dE1 / dE2;
        value = ratio > t ? std::floor(ratio - t + 0.5) : 0;
    }
    out[0] = value >= 65535.0 ? 0xFFFF : uint16_t(value);
    return true;
}

} // namespace

Pipeline* buildGamutCheck(EngineContext* ctx, IccProfile* const profiles[], const bool blackPointCompensation[],
                          const uint32_t intents[], const double adaptationStates[], uint32_t gamutPcsPosition,
                          IccProfile* gamutProfile)
{
    if (gamutPcsPosition < 1 || gamutPcsPosition > MaxProfilesInChain) {
        reportError(ctx, ErrRange, "Wrong position of PCS. 1..255 expected, %d found.", int(gamutPcsPosition));
        return nullptr;
    }
    if (!profiles || !blackPointCompensation || !intents || !adaptationStates || !gamutProfile) {
        reportError(ctx, ErrNull, "NULL input profiles on transform");
        return nullptr;
    }
    uint32_t entry = 0, exit = 0;
    if (!chainSpaces(profiles, gamutPcsPosition, &entry, &exit)) {
        reportError(ctx, ErrNull, "NULL input profiles on transform");
        return nullptr;
    }
    ProfilePtr lab(createLabIdentityProfile(ctx), &closeProfile);
    if (!lab) return nullptr;

    // The chain up to the PCS followed by a Lab identity.
    const uint32_t n = gamutPcsPosition + 1;
    std::vector<IccProfile*> chain(profiles, profiles + gamutPcsPosition);
    std::vector<uint32_t> chainIntents(intents, intents + gamutPcsPosition);
    std::vector<double> states(adaptationStates, adaptationStates + gamutPcsPosition);
    bool bpc[MaxProfilesInChain + 1];
    for (uint32_t i = 0; i < gamutPcsPosition; ++i) bpc[i] = blackPointCompensation[i];
    chain.push_back(lab.get());
    chainIntents.push_back(IntentRelativeColorimetric);
    states.push_back(1.0);
    bpc[gamutPcsPosition] = false;

    const uint32_t inputFormat = formatForSpace(entry, 2, false);
    const uint32_t deviceSpace = profileColorSpace(gamutProfile);
    // 16-bit device values: what the device cannot reach is clipped there.
    const uint32_t deviceFormat = formatForSpace(deviceSpace, 2, false);
    TransformPtr toLab(createTransformExtended(ctx, n, chain.data(), bpc, chainIntents.data(), states.data(), nullptr,
                                              0, inputFormat, FormatLabDouble, CheckFlags),
                       &deleteTransform);
    TransformPtr toDevice(createTransformContext(ctx, lab.get(), FormatLabDouble, gamutProfile, deviceFormat,
                                                 IntentRelativeColorimetric, CheckFlags),
                          &deleteTransform);
    TransformPtr fromDevice(createTransformContext(ctx, gamutProfile, deviceFormat, lab.get(), FormatLabDouble,
                                                   IntentRelativeColorimetric, CheckFlags),
                            &deleteTransform);
    if (!toLab || !toDevice || !fromDevice) return nullptr;

    GamutCargo cargo{toLab.get(), toDevice.get(), fromDevice.get(), isMatrixShaper(gamutProfile) ? 1.0 : 5.0};
    const uint32_t inputs = channelsOfSpace(entry);
    PipelinePtr check(newPipeline(ctx, inputs, 1), &freePipeline);
    if (!check) return nullptr;
    Stage* clut = newClut16StageUniform(ctx, gridPointsFor(entry, XformHighResolution), inputs, 1, nullptr);
    if (!clut || !insertStage(check.get(), AtEnd, clut)) return nullptr;
    if (!sampleClut16(clut, gamutSampler, &cargo, 0)) return nullptr;
    return check.release();
}
