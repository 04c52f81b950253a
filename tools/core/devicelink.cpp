// The device link of a source → look → destination chain.
#include "tools/core/devicelink.h"

#include "tools/core/toolfiles.h"

#include <algorithm>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

// The chain resampled exactly as linked.
constexpr uint32_t ChainFlags = XformNoOptimise | XformNoCache | XformNoWhiteFixup;
constexpr uint32_t Version4 = 0x04300000;
constexpr uint32_t Version2 = 0x02100000;

uint32_t floatFormat(IccProfile* profile)
{
    return formatForSpace(profileColorSpace(profile), 4, true);
}

}   // namespace

Transform* lookChainTransform(IccProfile* source, IccProfile* look, IccProfile* destination, int intent,
                              bool blackPointCompensation)
{
    if (!source || !look || !destination || intent < 0 || intent > 3) return nullptr;
    IccProfile* const chain[3] = {source, look, destination};
    const uint32_t intents[3] = {uint32_t(intent), uint32_t(intent), uint32_t(intent)};
    const bool bpc[3] = {blackPointCompensation, blackPointCompensation, blackPointCompensation};
    const double adaptation[3] = {1.0, 1.0, 1.0};
    return createTransformExtended(nullptr, 3, chain, bpc, intents, adaptation, nullptr, 0,
                                   floatFormat(source), floatFormat(destination), ChainFlags);
}

IccProfile* buildLookDeviceLink(IccProfile* source, IccProfile* look, IccProfile* destination,
                                const DeviceLinkRequest& request, QString* error)
{
    auto failed = [error](const char* why) -> IccProfile* {
        if (error) *error = QString::fromLatin1(why);
        return nullptr;
    };
    if (!source || !look || !destination) return failed(DeviceLinkText::CannotOpen);
    if (profileDeviceClass(look) != ClassAbstract || profileColorSpace(look) != SpaceLab)
        return failed(DeviceLinkText::NotALook);
    TransformPtr transform{lookChainTransform(source, look, destination, request.intent,
                                              request.blackPointCompensation),
                           &deleteTransform};
    if (!transform) return failed(DeviceLinkText::CannotLink);
    const uint32_t grid = uint32_t(std::clamp(request.gridPoints, 9, 255));
    const double version = request.versionIndex == 1 ? 2.1 : 4.3;
    ProfilePtr link = adoptProfile(transformToDeviceLink(transform.get(), version, (grid << 16) | XformNoWhiteFixup | XformKeepPostLinearisation));
    if (!link) return failed(DeviceLinkText::CannotLink);
    setProfileVersion(link.get(), request.versionIndex == 1 ? Version2 : Version4);
    setProfileRenderingIntent(link.get(), uint32_t(request.intent));

    // The look's texts and recipe.
    for (const uint32_t tag : {sig("desc"), sig("cprt"), sig("targ")}) {
        const void* object = loadTag(look, tag);
        if (object && !storeTag(link.get(), tag, object)) return failed(DeviceLinkText::CannotLink);
    }
    using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;
    const std::pair<uint32_t, QString> texts[2] = {{sig("desc"), request.description},
                                                   {sig("cprt"), request.copyright}};
    for (const auto& [tag, text] : texts) {
        if (text.isEmpty()) continue;
        TextPtr mlu{newLocalizedText(nullptr, 1), &freeLocalizedText};
        if (!mlu || !setTextUtf8(mlu.get(), "en", "US", text.toUtf8().constData()) ||
            !storeTag(link.get(), tag, mlu.get()))
            return failed(DeviceLinkText::CannotLink);
    }
    return link.release();
}

ToolResult writeLookDeviceLink(const DeviceLinkRequest& request, const ProfileOpener& open)
{
    ToolResult result;
    ProfilePtr source = adoptProfile(open(request.source));
    ProfilePtr look = adoptProfile(open(request.look));
    ProfilePtr destination = adoptProfile(open(request.destination));
    ProfilePtr link = adoptProfile(buildLookDeviceLink(source.get(), look.get(), destination.get(), request,
                                                       &result.message));
    if (!link) return result;
    result.ok = saveProfileToFile(link.get(), request.outputFile, &result.message);
    return result;
}
