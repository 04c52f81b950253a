// tonemolder-cli cube: an abstract profile's effect, in an RGB space, as a
// 3D table in any of the LUT formats.
#include "tools/cli/commands.h"

#include "app/core/lutformats/lutfile.h"
#include "tools/core/cubewriter.h"
#include "tools/core/toolfiles.h"

#include <functional>

namespace cli {

namespace {

const char* const CubeHelp = R"(Usage: tonemolder-cli cube ABSTRACT -o OUT [options]

Writes the effect of an abstract profile, applied in an RGB space, as a 3D
table: RGB -> PCS -> abstract -> the same RGB, relative colorimetric.

  -o, --output FILE     the table to write; its extension gives the format
                        (.cube .lut .3dl .csp .spi3d .clf, .png or .tif for a
                        Hald CLUT), .cube for any other
  --format F            the format whatever the extension: cube, 3dl, csp,
                        spi3d, clf, hald-png or hald-tiff
  --space NAME          the RGB profile (default *srgb)
  --points N            grid points per axis, 2..255 (default 33)
  --hald-level L        Hald CLUTs: 8, 12 or 16 (L x L points per axis;
                        default 8)
  --bits B              Hald CLUTs: 8 or 16 bits per sample (default 16)
  --title TEXT          TITLE of the table (default: the profile's description)
  --copyright TEXT      comment line (default: the profile's copyright)
)";


}   // namespace

int cubeCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, QString::fromUtf8(CubeHelp) + OverwriteHelp), Success;
    const Arguments a(args, {"--output", "--space", "--points", "--title", "--copyright", "--format", "--hald-level",
                             "--bits"},
                      {"--overwrite"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("cube needs one abstract profile"));
    if (!a.has("--output")) return usage(QStringLiteral("cube needs --output"));
    const std::optional<int> points = integerValue(a.value("--points", QStringLiteral("33")));
    if (!points || *points < 2 || *points > 255) return usage(QStringLiteral("--points must be from 2 to 255"));
    if (a.has("--format") && !lutformats::formatFromKey(a.value("--format").toStdString()))
        return usage(QStringLiteral("unknown format %1").arg(a.value("--format")));
    const std::optional<int> level = integerValue(a.value("--hald-level", QStringLiteral("8")));
    if (!level || (*level != 8 && *level != 12 && *level != 16))
        return usage(QStringLiteral("--hald-level must be 8, 12 or 16"));
    const std::optional<int> bits = integerValue(a.value("--bits", QStringLiteral("16")));
    if (!bits || (*bits != 8 && *bits != 16)) return usage(QStringLiteral("--bits must be 8 or 16"));

    CubeRequest request;
    request.abstractProfile = ctx.resolve(a.positional().first());
    request.rgbProfile = ctx.resolve(a.value("--space", QStringLiteral("*srgb")));
    request.outputFile = a.value("--output");
    request.gridPoints = *points;
    request.format = cubeRequestFormat(request.outputFile, a.value("--format"));
    request.haldLevel = *level;
    request.haldBits = *bits;
    request.overwrite = a.flag("--overwrite");
    if (const QString refusal =
            outputRefusal(request.outputFile, {request.abstractProfile, request.rgbProfile}, request.overwrite);
        !refusal.isEmpty())
        return fail(refusal);
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
