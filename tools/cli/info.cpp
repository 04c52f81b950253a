// tonemolder-cli info: a profile's header, tags, texts and recipe.
#include "tools/cli/commands.h"

#include "app/core/recipe.h"

#include <ctime>

namespace cli {

namespace {

const char* const InfoHelp = R"(Usage: tonemolder-cli info PROFILE...

Shows each profile's header, its tags with their types, its description and
copyright, and whether it carries a recipe of this program (and which).
)";

const char* tabName(RecipeTab tab)
{
    switch (tab) {
    case RecipeTab::Softproof: return "Softproofing";
    case RecipeTab::Cam16: return "CIE CAM16";
    case RecipeTab::CubeImport: return "CUBE import";
    }
    return "unknown";
}

}   // namespace

int infoCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, InfoHelp), Success;
    const Arguments a(args, {}, {});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().isEmpty()) return usage(QStringLiteral("info needs at least one profile"));
    int code = Success;
    for (const QString& name : a.positional()) {
        const QString path = ctx.resolve(name);
        ProfilePtr p = adoptProfile(openProfileByName(path));
        if (!p) {
            code = fail(QStringLiteral("cannot open %1 as a profile").arg(name));
            continue;
        }
        const std::tm date = profileCreationDate(p.get());
        char when[64];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &date);
        QString out;
        out += QStringLiteral("Profile:          %1\n").arg(path);
        out += QStringLiteral("Version:          %1 (0x%2)\n")
                   .arg(versionAsNumber(p.get()))
                   .arg(profileVersion(p.get()), 8, 16, QLatin1Char('0'));
        out += QStringLiteral("Class:            %1\n").arg(signatureText(profileDeviceClass(p.get())));
        out += QStringLiteral("Colour space:     %1\n").arg(signatureText(profileColorSpace(p.get())));
        out += QStringLiteral("Connection space: %1\n").arg(signatureText(profilePcs(p.get())));
        out += QStringLiteral("Rendering intent: %1\n").arg(profileRenderingIntent(p.get()));
        out += QStringLiteral("Created:          %1\n").arg(QString::fromLatin1(when));
        out += QStringLiteral("Creator:          %1\n").arg(signatureText(profileCreator(p.get())));
        out += QStringLiteral("Description:      %1\n").arg(profileUtf8Text(p.get(), InfoDescription));
        out += QStringLiteral("Copyright:        %1\n").arg(profileUtf8Text(p.get(), InfoCopyright));
        const uint32_t tags = tagCount(p.get());
        out += QStringLiteral("Tags:             %1\n").arg(tags);
        for (uint32_t i = 0; i < tags; ++i) {
            const uint32_t tag = tagSignatureAt(p.get(), i);
            const bool readable = loadTag(p.get(), tag) != nullptr;   // the type is known once read
            out += QStringLiteral("  %1  %2\n")
                       .arg(signatureText(tag),
                            readable ? signatureText(linkedTypeOf(p.get(), tag)) : QStringLiteral("(unreadable)"));
        }
        const RecipeReadResult recipe = readRecipeFromProfile(p.get());
        switch (recipe.status) {
        case RecipeReadResult::Ok: {
            const Recipe& r = recipe.recipe;
            const ResolutionPreferences& res = r.resolution;
            out += QStringLiteral("Recipe:           yes, written by version %1\n")
                       .arg(recipe.storedVersion, 0, 'g', 6);
            out += QStringLiteral("  Recipe tab:     %1\n").arg(QLatin1String(tabName(r.tab)));
            out += QStringLiteral("  Softproofing:   %1, intent %2\n").arg(r.softproofProfile).arg(r.softproofIntent);
            out += QStringLiteral("  CUBE import:    %1 in %2, intent %3\n")
                       .arg(r.cubeFile.isEmpty() ? QStringLiteral("(no table)") : r.cubeFile, r.lutProfile)
                       .arg(r.lutIntent);
            out += QStringLiteral("  Resolution:     ICC %1, grid %2 x %3 x %3, %4 curve points, sigmoid %5\n")
                       .arg(res.versionIndex == 1 ? "2.1" : "4.3")
                       .arg(res.gridLstar)
                       .arg(res.versionIndex == 1 ? res.gridLstar : res.gridAbstar)
                       .arg(res.gridCurves)
                       .arg(res.sigmoidShape);
            break;
        }
        case RecipeReadResult::NewerVersion:
            out += QStringLiteral("Recipe:           from a newer version (%1)\n").arg(recipe.storedVersion);
            break;
        default: out += QStringLiteral("Recipe:           none\n"); break;
        }
        printText(stdout, out);
    }
    return code;
}

}   // namespace cli
