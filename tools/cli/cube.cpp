// tonemolder-cli cube: an abstract profile's effect, in an RGB space, as a
// .cube table.
#include "tools/cli/commands.h"

#include "tools/core/cubewriter.h"
#include "tools/core/toolfiles.h"

#include <functional>

namespace cli {

namespace {

const char* const CubeHelp = R"(Usage: tonemolder-cli cube ABSTRACT -o OUT [options]

Writes the effect of an abstract profile, applied in an RGB space, as a
.cube 3D table: RGB -> PCS -> abstract -> the same RGB, relative colorimetric.

  -o, --output FILE     the .cube file to write
  --space NAME          the RGB profile (default *srgb)
  --points N            grid points per axis, 2..255 (default 33)
  --title TEXT          TITLE of the table (default: the profile's description)
  --copyright TEXT      comment line (default: the profile's copyright)
)";


}   // namespace

int cubeCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, CubeHelp), Success;
    const Arguments a(args, {"--output", "--space", "--points", "--title", "--copyright"}, {});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("cube needs one abstract profile"));
    if (!a.has("--output")) return usage(QStringLiteral("cube needs --output"));
    const std::optional<int> points = integerValue(a.value("--points", QStringLiteral("33")));
    if (!points || *points < 2 || *points > 255) return usage(QStringLiteral("--points must be from 2 to 255"));

    CubeRequest request;
    request.abstractProfile = ctx.resolve(a.positional().first());
    request.rgbProfile = ctx.resolve(a.value("--space", QStringLiteral("*srgb")));
    request.outputFile = a.value("--output");
    request.gridPoints = *points;
    {
        ProfilePtr abstract = adoptProfile(openProfileByName(request.abstractProfile));
        if (!abstract) return fail(QStringLiteral("cannot open %1 as a profile").arg(a.positional().first()));
        request.title = a.value("--title", profileUtf8Text(abstract.get(), InfoDescription));
        request.copyright = a.value("--copyright", profileUtf8Text(abstract.get(), InfoCopyright));
    }
    Progress progress(QStringLiteral("cube"), !ctx.quiet);
    const ToolResult result = writeCubeFile(request, openProfileByName, std::ref(progress));
    progress.finish();
    return result.ok ? Success : fail(result.message);
}

}   // namespace cli
