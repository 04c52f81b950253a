// tonemolder-cli embed: an abstract profile embedded into the rendering
// tables of an output profile.
#include "tools/cli/commands.h"

#include "tools/core/outputembedder.h"
#include "tools/core/toolfiles.h"

#include <functional>

namespace cli {

namespace {

const char* const EmbedHelp = R"(Usage: tonemolder-cli embed OUTPUT ABSTRACT -o OUT [options]

Rebuilds the PCS-to-device tables of an output profile so that the abstract
profile's effect comes first, for the chosen intents. The base profile's file
is never written.

  -o, --output FILE     the profile to write
  --intents LIST        intents that get the effect, comma-separated from
                        perceptual, relative, saturation; or none
                        (default perceptual,saturation)
  --all-luts            regenerate every other table from the profile alone
  --version 4.3|2.1     ICC version of the result (default 4.3)
  --grid N              grid points of the rebuilt tables, 17..255 (default 33)
  --description TEXT    new description (default: the base profile's)
  --copyright TEXT      new copyright (default: the base profile's)
)";


}   // namespace

int embedCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, EmbedHelp), Success;
    const Arguments a(args, {"--output", "--intents", "--version", "--grid", "--description", "--copyright"},
                      {"--all-luts"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 2) return usage(QStringLiteral("embed needs an output profile and an abstract profile"));
    if (!a.has("--output")) return usage(QStringLiteral("embed needs --output"));

    EmbedRequest request;
    request.baseProfile = ctx.resolve(a.positional()[0]);
    request.abstractProfile = ctx.resolve(a.positional()[1]);
    request.outputFile = a.value("--output");
    request.regenerateAll = a.flag("--all-luts");
    const QString intents = a.value("--intents", QStringLiteral("perceptual,saturation")).toLower();
    request.perceptual = request.saturation = request.relativeColorimetric = false;
    if (intents != QLatin1String("none")) {
        for (const QString& i : intents.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString t = i.trimmed();
            if (t == QLatin1String("perceptual")) request.perceptual = true;
            else if (t == QLatin1String("saturation")) request.saturation = true;
            else if (t == QLatin1String("relative")) request.relativeColorimetric = true;
            else return usage(QStringLiteral("unknown intent %1 in --intents").arg(t));
        }
    }
    const QString version = a.value("--version", QStringLiteral("4.3"));
    if (version != QLatin1String("4.3") && version != QLatin1String("2.1"))
        return usage(QStringLiteral("--version must be 4.3 or 2.1"));
    request.versionIndex = version == QLatin1String("2.1") ? 1 : 0;
    const std::optional<int> grid = integerValue(a.value("--grid", QStringLiteral("33")));
    if (!grid || *grid < 17 || *grid > 255) return usage(QStringLiteral("--grid must be from 17 to 255"));
    request.gridPoints = *grid;
    {
        ProfilePtr base = adoptProfile(openProfileByName(request.baseProfile));
        if (!base) return fail(EmbedderText::CannotOpen);
        request.description = a.value("--description", profileUtf8Text(base.get(), InfoDescription));
        request.copyright = a.value("--copyright", profileUtf8Text(base.get(), InfoCopyright));
    }
    Progress progress(QStringLiteral("embed"), !ctx.quiet);
    const ToolResult result = embedAbstractProfile(request, openProfileByName, std::ref(progress));
    progress.finish();
    return result.ok ? Success : fail(QString::fromUtf8(EmbedderText::FailurePrefix) + result.message);
}

}   // namespace cli
