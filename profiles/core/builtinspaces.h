// Built-in colour spaces, profile opening and the texts read from profiles.
// Wherever the program expects a profile it takes a name: one beginning with
// "*" is a colour space the program makes in memory ("*srgb", "*lab" ...),
// any other is a file path. Every profile returned here belongs to the
// caller (closeProfile).
#pragma once

#include "osl.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
inline ProfilePtr adoptProfile(IccProfile* p)
{
    return {p, &closeProfile};
}

namespace BuiltinSpaces {

inline constexpr char Copyright[] = "Created by Osterlane versitor tool. No copyright, use freely.";
inline constexpr char SwopResource[] = ":/profiles/SwopV4.icc";

// The names a default profile selector offers, in its order.
const QStringList& selectorNames();

// Whether a name is one of the built-ins (exact, case-sensitive).
bool isBuiltinName(const QString& name);

}   // namespace BuiltinSpaces

// Something that opens the profile a name denotes; the program's own is
// openProfileByName, a caller may resolve names against a folder first.
using ProfileOpener = std::function<IccProfile*(const QString& name)>;

// The profile a name denotes: built-in names first, anything else as a file.
IccProfile* openProfileByName(const QString& name);
// A profile file opened for reading; nothing, silently, when it cannot be
// opened or is not a profile.
IccProfile* openProfileFile(const QString& path);

// The display's profile: the one the window system has for the screen (on
// X11 the root window's _ICC_PROFILE data), else the built-in sRGB. Nothing
// only when the window system's data is not a profile.
IccProfile* monitorProfile();

// A profile's text (InfoDescription, InfoCopyright ...) read as UTF-8 for
// English (US): that entry, else the first English one, else the first;
// empty when the profile has no such text.
QString profileUtf8Text(IccProfile* profile, ProfileInfo which);
// The plain text of the 'targ' tag (the entry with empty language and
// country, else the first), up to its first NUL; empty without the tag.
QByteArray profileTargetText(IccProfile* profile);

// The window system's profile data for the screen, empty when there is none
// (no display, no property, no X11 library).
QByteArray displayProfileData();
// monitorProfile over given data: empty data gives the built-in sRGB.
IccProfile* monitorProfileFromData(const QByteArray& data);
