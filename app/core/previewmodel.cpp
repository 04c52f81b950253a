#include "app/core/previewmodel.h"

ProfilePtr openImageProfile(const QString& selection, const ProfileOpener& open)
{
    return adoptProfile(open(selection.isEmpty() ? QStringLiteral("*srgb") : selection));
}

ProfileOpener selectionOpener(const QList<ProfileSelection>& selections, const ProfileOpener& open)
{
    return [selections, open](const QString& name) -> IccProfile* {
        for (const ProfileSelection& s : selections)
            if (!s.recipeName.isEmpty() && s.recipeName == name) return open(s.path);
        return open(name);
    };
}

namespace {

bool showsRgbPixels(IccProfile* profile)
{
    const uint32_t deviceClass = profileDeviceClass(profile);
    return profileColorSpace(profile) == SpaceRgb && deviceClass != ClassLink && deviceClass != ClassAbstract &&
           deviceClass != ClassNamedColor;
}

}   // namespace

MonitorProfileChoice chooseMonitorProfile(bool useSrgb, const std::function<QByteArray()>& displayData)
{
    MonitorProfileChoice choice;
    if (!useSrgb) {
        choice.profile.reset(monitorProfileFromData(displayData ? displayData() : QByteArray()));
        if (choice.profile && !showsRgbPixels(choice.profile.get())) choice.profile.reset();
        choice.corrupted = !choice.profile;
    }
    if (!choice.profile) choice.profile.reset(createSrgbProfile(nullptr));
    return choice;
}
