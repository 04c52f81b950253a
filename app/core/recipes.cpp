// The three recipes on top of the generic builder: Softproofing and Import
// LUT through a Lab chain with a device link in the middle, CIE CAM16
// through its correlates; and a document's recipe built as a profile.
#include "app/core/builder.h"

#include <vector>

std::optional<IntentChoice> intentChoice(int index)
{
    switch (index) {
    case 0: return IntentChoice{IntentPerceptual, false};
    case 1: return IntentChoice{IntentRelativeColorimetric, false};
    case 2: return IntentChoice{IntentRelativeColorimetric, true};
    case 3: return IntentChoice{IntentSaturation, false};
    default: return std::nullopt;
    }
}

const QStringList& intentChoiceNames()
{
    static const QStringList names = {
        QStringLiteral("Perceptual"),
        QStringLiteral("Relative colorimetric"),
        QStringLiteral("Relative colorimetric plus black point compensation"),
        QStringLiteral("Saturation"),
    };
    return names;
}

Transform* createLabChainTransform(IccProfile* space, IccProfile* link, int intentIndex)
{
    const std::optional<IntentChoice> found = intentChoice(intentIndex);
    if (!found || !space || !link) return nullptr;
    const IntentChoice& choice = *found;
    ProfilePtr labIdentity = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    if (!labIdentity) return nullptr;
    IccProfile* const chain[5] = {labIdentity.get(), space, link, space, labIdentity.get()};
    const uint32_t intents[5] = {IntentRelativeColorimetric, choice.intent, choice.intent,
                                 IntentRelativeColorimetric, IntentRelativeColorimetric};
    const bool bpc = choice.blackPointCompensation;
    const bool compensation[5] = {bpc, bpc, bpc, bpc, bpc};
    const double adaptation[5] = {1.0, 1.0, 1.0, 1.0, 1.0};
    return createTransformExtended(nullptr, 5, chain, compensation, intents, adaptation, nullptr, 0,
                                   FormatLabDouble, FormatLabDouble, XformNoOptimise | XformUnbounded);
}

namespace {

// The Lab-to-Lab recipes share everything but the device link in the middle.
IccProfile* buildLabChainProfile(IccProfile* space, int intentIndex, IccProfile* link,
                                 const ResolutionPreferences& settings, Sampling sampling)
{
    const std::optional<IntentChoice> choice = intentChoice(intentIndex);
    if (!choice || !space || !link) return nullptr;
    CurvePtr forward = adoptCurve(buildPrelinearisation(settings.sigmoidShape));
    CurvePtr inverse = adoptCurve(buildPrelinearisationInverse(settings.sigmoidShape));
    if (!forward || !inverse) return nullptr;
    TransformPtr transform{createLabChainTransform(space, link, intentIndex), &deleteTransform};
    if (!transform) return nullptr;
    LabSamplerCargo cargo{forward.get(), inverse.get(), transform.get()};
    if (sampling == Sampling::Batch) return buildAbstractProfile(labChainRecipe(transform.get()), settings);
    return buildAbstractProfile(oneByOne(labChainRecipe(transform.get())), settings,
                                fillNodeByNode(labToLabSampler, &cargo));
}

}   // namespace

uint32_t softproofChannelCount(uint32_t colorSpace)
{
    switch (colorSpace) {
    case SpaceGray: return 1;
    case SpaceRgb: return 3;
    case SpaceCmyk: return 4;
    case SpaceLab: return 3;
    default: return 0;
    }
}

IccProfile* buildSoftproofProfile(IccProfile* space, int intentIndex, const ToneCurve* const channelCurves[],
                                  const ResolutionPreferences& settings, Sampling sampling)
{
    if (!space || !channelCurves) return nullptr;
    const uint32_t colorSpace = profileColorSpace(space);
    const uint32_t channels = softproofChannelCount(colorSpace);
    if (channels == 0 || !intentChoice(intentIndex)) return nullptr;
    for (uint32_t i = 0; i < channels; ++i)
        if (!channelCurves[i]) return nullptr;
    ProfilePtr link = adoptProfile(createLinearizationLink(nullptr, colorSpace, channelCurves));
    return buildLabChainProfile(space, intentIndex, link.get(), settings, sampling);
}

IccProfile* buildCubeProfile(IccProfile* rgbSpace, int intentIndex, IccProfile* cubeLink,
                             const ResolutionPreferences& settings, Sampling sampling)
{
    return buildLabChainProfile(rgbSpace, intentIndex, cubeLink, settings, sampling);
}

IccProfile* buildCam16Profile(const Cam16Conditions& source, const Cam16Conditions& destination, uint32_t flags,
                              const ToneCurve* const correlateCurves[3], const ResolutionPreferences& settings,
                              Sampling sampling)
{
    CurvePtr forward = adoptCurve(buildPrelinearisation(settings.sigmoidShape));
    CurvePtr inverse = adoptCurve(buildPrelinearisationInverse(settings.sigmoidShape));
    Cam16ModelPtr sourceModel{createCam16Model(nullptr, source), &freeCam16Model};
    Cam16ModelPtr destModel{createCam16Model(nullptr, destination), &freeCam16Model};
    if (!forward || !inverse || !sourceModel || !destModel) return nullptr;
    Cam16SamplerCargo cargo;
    cargo.forward = forward.get();
    cargo.inverse = inverse.get();
    cargo.source = sourceModel.get();
    cargo.destination = destModel.get();
    cargo.flags = flags;
    for (int i = 0; i < 3; ++i) cargo.curves[i] = correlateCurves ? correlateCurves[i] : nullptr;
    if (sampling == Sampling::Batch) return buildAbstractProfile(cam16BatchRecipe(cargo), settings);
    return buildAbstractProfile(oneByOne(cam16BatchRecipe(cargo)), settings, fillNodeByNode(cam16Sampler, &cargo));
}

QString spaceUnavailableMessage(const Recipe& recipe)
{
    const bool lut = recipe.tab == RecipeTab::CubeImport;
    const QString& name = lut ? recipe.lutProfile : recipe.softproofProfile;
    if (name.isEmpty()) return QString::fromLatin1(lut ? BuilderText::NoLutSpace : BuilderText::NoSpace);
    return QString::fromLatin1(lut ? BuilderText::LutSpaceUnavailable : BuilderText::SpaceUnavailable).arg(name);
}

BuildResult buildRecipe(const Recipe& recipe, const ResolutionPreferences& preferences, const ProfileOpener& open,
                        Sampling sampling)
{
    BuildResult result;
    const ResolutionPreferences settings = preferences.clamped();
    switch (recipe.tab) {
    case RecipeTab::Softproof: {
        ProfilePtr space = adoptProfile(recipe.softproofProfile.isEmpty() ? nullptr : open(recipe.softproofProfile));
        if (!space) {
            result.message = spaceUnavailableMessage(recipe);
            break;
        }
        const uint32_t channels = softproofChannelCount(profileColorSpace(space.get()));
        std::vector<ToneCurvePtr> owned;
        const ToneCurve* curves[SoftproofChannels] = {};
        for (uint32_t i = 0; i < channels; ++i) {
            owned.push_back(recipe.channels[i].buildCurvePtr());
            curves[i] = owned.back().get();
        }
        result.profile.reset(buildSoftproofProfile(space.get(), recipe.softproofIntent, curves, settings, sampling));
        break;
    }
    case RecipeTab::Cam16: {
        const ViewingConditionsEntry* destination = recipe.destinationConditions();
        if (!recipe.sourceConditions || !destination) break;
        std::vector<ToneCurvePtr> owned;
        const ToneCurve* curves[CorrelateCount] = {};
        for (int i = 0; i < CorrelateCount; ++i) {
            owned.push_back(recipe.correlates[size_t(i)].buildCurvePtr());
            curves[i] = owned.back().get();
        }
        result.profile.reset(buildCam16Profile(recipe.sourceConditions->values, destination->values,
                                               recipe.correlateFlags(), curves, settings, sampling));
        break;
    }
    case RecipeTab::CubeImport: {
        if (recipe.cubeFile.isEmpty()) break;
        ProfilePtr space = adoptProfile(recipe.lutProfile.isEmpty() ? nullptr : open(recipe.lutProfile));
        if (!space) {
            result.message = spaceUnavailableMessage(recipe);
            break;
        }
        ProfilePtr link = adoptProfile(readCubeDeviceLink(recipe.cubeFile));
        if (!link) {
            result.message = BuilderText::CubeUnreadable + recipe.cubeFile;
            break;
        }
        result.profile.reset(buildCubeProfile(space.get(), recipe.lutIntent, link.get(), settings, sampling));
        break;
    }
    }
    return result;
}

BuildResult buildProfileWithRecipe(const Recipe& recipe, const ResolutionPreferences& preferences,
                                   const ProfileOpener& open)
{
    BuildResult result = buildRecipe(recipe, preferences, open);
    if (result.ok()) {
        Recipe saved = recipe;
        saved.resolution = preferences;
        if (!storeRecipe(result.profile.get(), saved)) result.profile.reset();
    }
    if (!result.ok() && result.message.isEmpty()) result.message = RecipeText::SaveFailed;
    return result;
}
