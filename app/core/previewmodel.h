// What the preview pane needs besides widgets: its messages and the choice of
// the image and monitor profiles. The resolution it builds at is read with
// resolutionPreferences (profiles/core/preferencesettings.h).
#pragma once

#include "app/core/recipe.h"
#include "profiles/core/builtinspaces.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

namespace PreviewText {
inline constexpr char SelectImage[] = "Select image for proofing";
inline constexpr char NotAnImage[] = "This is not an image file";
inline constexpr char CannotRead[] = "I cannot read from %1";
inline constexpr char CannotLoad[] = "Cannot load %1: %2";
inline constexpr char MonitorCorrupted[] = "The profile you have assiged to your monitor is corrupted!\nassuming sRGB";
inline constexpr char SelectCube[] = "Select .cube file to import";
inline constexpr char NotACube[] = "This is not a .CUBE file";
inline constexpr char NoTitle[] = "No title";
inline constexpr char NoCubeLoaded[] = "No .CUBE file is loaded: the preview shows the image unchanged.";
inline constexpr char CubeTitle[] = "Select the file to use ";
}   // namespace PreviewText

// How long the status bar keeps a message, and how long work may go on
// before the window shows that it is busy.
constexpr int StatusMessageMs = 10000;
constexpr int BusyDelayMs = 300;

// The image profile: the selection by name, "*srgb" when nothing is selected.
ProfilePtr openImageProfile(const QString& selection, const ProfileOpener& open = openProfileByName);

// A selection as a recipe names it (a built-in name, or a file name without
// its folder) and as it opens (the built-in name, or the full path).
struct ProfileSelection {
    QString recipeName;
    QString path;
};

// Opens the names a recipe holds: a name that is one of the selections'
// recipe names opens that selection's path (the first that matches); any
// other name is opened as it is.
ProfileOpener selectionOpener(const QList<ProfileSelection>& selections, const ProfileOpener& open = openProfileByName);

struct MonitorProfileChoice {
    ProfilePtr profile{nullptr, &closeProfile};
    // The display's profile was there but unusable: the user is told, and
    // the built-in sRGB stands in.
    bool corrupted = false;
};

// The profile the preview is shown through. With `useSrgb` ("monitor_sRGB")
// the built-in sRGB, and the display is not asked. Otherwise the display's
// profile data: none gives the built-in sRGB; data that is not an RGB device
// profile (not a profile at all, or a link, abstract or named-colour profile,
// or another colour space, none of which can take the preview's pixels) gives
// the built-in sRGB marked corrupted.
MonitorProfileChoice chooseMonitorProfile(bool useSrgb,
                                          const std::function<QByteArray()>& displayData = displayProfileData);
