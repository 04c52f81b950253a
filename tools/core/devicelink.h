// Device links around a look: source profile → abstract profile (the look) →
// destination profile, linked with a rendering intent and, when chosen,
// black-point compensation, and resampled into one ICC device link of
// version 4.3 or 2.1 (what prepress RIPs and image editors load). The link
// carries the look's recipe ('targ') when the look has one.
#pragma once

#include "profiles/core/builtinspaces.h"
#include "tools/core/outputembedder.h"

#include <QString>

namespace DeviceLinkText {
inline constexpr char CannotOpen[] = "I cannot open the profiles";
inline constexpr char NotALook[] = "The look must be an abstract profile (Lab to Lab)";
inline constexpr char CannotLink[] = "I cannot link those profiles";
}   // namespace DeviceLinkText

struct DeviceLinkRequest {
    QString source;             // profiles by name (built-in or file)
    QString look;
    QString destination;
    QString outputFile;
    int intent = 0;             // engine intent: 0 perceptual, 1 relative, 2 saturation, 3 absolute
    bool blackPointCompensation = false;
    int versionIndex = 0;       // 0: version 4.3, 1: version 2.1
    int gridPoints = 33;        // of the link's table, 9..255
    QString description;        // empty: the look's
    QString copyright;          // empty: the look's
};

// The transform of the chain as it is linked, unoptimised, float in and out
// in the source's and destination's spaces: the exact evaluation the link
// approximates. Null when the profiles cannot be linked.
Transform* lookChainTransform(IccProfile* source, IccProfile* look, IccProfile* destination, int intent,
                              bool blackPointCompensation);

// The device link of the chain. Null (and `error`) on failure.
IccProfile* buildLookDeviceLink(IccProfile* source, IccProfile* look, IccProfile* destination,
                                const DeviceLinkRequest& request, QString* error = nullptr);

// Opens the three profiles, builds the link and writes it.
ToolResult writeLookDeviceLink(const DeviceLinkRequest& request, const ProfileOpener& open = openProfileByName);
