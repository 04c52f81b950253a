// The output-profile embedder: rebuilds the PCS-to-device tables of an
// output profile so that an abstract profile's effect is applied before the
// profile's own conversion, for the rendering intents asked for. It can also
// regenerate every table, change the ICC version and replace the description
// and copyright. The result goes to a new file; the base profile's file is
// never written.
#pragma once

#include "profiles/core/builtinspaces.h"

#include <QString>

#include <functional>

namespace EmbedderText {
inline constexpr char CannotOpen[] = "I cannot open the base profiles";
inline constexpr char CannotTransform[] = "I cannot create a color transformation for those profiles";
inline constexpr char CannotLink[] = "I cannot create a devicelink for those profiles";
inline constexpr char CannotDescribe[] = "I have problems when changing the description";
inline constexpr char CannotCopyright[] = "I have problems when changing the copyright";
inline constexpr char CannotSave[] = "Couldn't save the profile. Maybe the file is taken by other program?";
inline constexpr char FailurePrefix[] = "Something went wrong...\n\n";
}   // namespace EmbedderText

// What a tool run reports: success, or the message that says why not.
struct ToolResult {
    bool ok = false;
    QString message;
};

struct EmbedRequest {
    QString baseProfile;        // the output profile, by name (built-in or file)
    QString abstractProfile;    // the abstract profile, by name
    QString outputFile;         // where the result goes
    bool perceptual = true;     // intents that get the effect
    bool saturation = true;
    bool relativeColorimetric = false;
    bool regenerateAll = false; // rebuild every other table from the profile alone
    int versionIndex = 0;       // 0: ICC 4.3, 1: ICC 2.1
    int gridPoints = 33;        // 17..255 per dimension of each rebuilt table
    QString description;
    QString copyright;
    bool overwrite = true;      // replace an existing file (the dialog has asked)
};

// Called after each rebuilt table with the tables done and their total.
using EmbedProgress = std::function<void(int done, int total)>;

// Grid points are kept within 17..255. The file is written only when every
// step succeeded (a temporary file beside it, then renamed over it), so a
// failure never damages an existing file.
ToolResult embedAbstractProfile(const EmbedRequest& request, const ProfileOpener& open = openProfileByName,
                                const EmbedProgress& progress = {});
