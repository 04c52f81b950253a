// tonemolder-cli import-cube (or import-lut): a 3D table in any of the LUT
// formats as an abstract profile that carries its recipe.
#include "tools/cli/commands.h"

#include "app/core/lutformats/lutfile.h"
#include "app/core/recipe.h"

namespace cli {

namespace {

const char* const ImportCubeHelp = R"(Usage: tonemolder-cli import-cube LUT -o OUT [options] [resolution]
       tonemolder-cli import-lut LUT -o OUT [options] [resolution]

Makes the abstract profile that applies a 3D table in an RGB space:
Lab -> the RGB space (intent) -> the table -> the RGB space -> Lab. The
profile carries its recipe, so the program can open and edit it.

Tables are read from .cube and .lut, Autodesk .3dl, Cinespace .csp, Sony
.spi3d, Common LUT Format .clf files and Hald CLUT images (.png, .tif).

  -o, --output FILE     the profile to write
  --format F            the table's format when its extension does not say:
                        cube, 3dl, csp, spi3d, clf, hald-png or hald-tiff
  --space NAME          RGB profile the table works in (default *srgb)
  --intent I            0 perceptual (default), 1 relative colorimetric,
                        2 relative colorimetric with black-point compensation,
                        3 saturation; or perceptual, relative, relative-bpc,
                        saturation
  --description TEXT    the profile's description (default: the table's title,
                        else the file's name)
  --copyright TEXT      the profile's copyright (default "No copyright")
)";


}   // namespace

int importCubeCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args))
        return printText(stdout, QString::fromUtf8(ImportCubeHelp) + OverwriteHelp + ResolutionOptions), Success;
    const Arguments a(args,
                      ResolutionValueOptions + QStringList{"--output", "--space", "--intent", "--description",
                                                           "--copyright", "--format"},
                      {"--overwrite"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("import-cube needs one table file"));
    if (a.has("--format") && !lutformats::formatFromKey(a.value("--format").toStdString()))
        return usage(QStringLiteral("unknown format %1").arg(a.value("--format")));
    if (!a.has("--output")) return usage(QStringLiteral("import-cube needs --output"));
    const std::optional<int> intent = intentIndex(a.value("--intent", QStringLiteral("0")));
    if (!intent) return usage(QStringLiteral("unknown intent %1").arg(a.value("--intent")));

    Recipe recipe;
    recipe.tab = RecipeTab::CubeImport;
    recipe.cubeFile = QFileInfo(a.positional().first()).absoluteFilePath();
    recipe.lutProfile = a.value("--space", QStringLiteral("*srgb"));
    recipe.lutIntent = *intent;
    const QString output = a.value("--output");
    const bool overwrite = a.flag("--overwrite");
    if (const QString refusal =
            outputRefusal(output, {recipe.cubeFile, ctx.resolve(recipe.lutProfile)}, overwrite);
        !refusal.isEmpty())
        return fail(refusal);
    recipe.cubeFormat = lutFormatKey(recipe.cubeFile, a.value("--format"));
    ProfilePtr space = adoptProfile(ctx.opener()(recipe.lutProfile));
    if (!space) return fail(QStringLiteral("cannot open the RGB profile %1").arg(recipe.lutProfile));
    if (profileColorSpace(space.get()) != SpaceRgb)
        return fail(QStringLiteral("%1 is not an RGB profile").arg(recipe.lutProfile));
    recipe.lutProfile = ctx.resolve(recipe.lutProfile);

    // The table is read once here: what is no table is said before any work.
    QString why;
    ProfilePtr link = adoptProfile(readLutDeviceLink(recipe.cubeFile, recipe.cubeFormat, &why));
    if (!link) return fail(why);
    if (a.has("--description")) {
        recipe.description = a.value("--description");
    } else {
        const QString title = profileUtf8Text(link.get(), InfoDescription).trimmed();
        recipe.description = title.isEmpty() ? QFileInfo(recipe.cubeFile).completeBaseName() : title;
    }
    if (a.has("--copyright")) recipe.copyright = a.value("--copyright");

    ResolutionPreferences res;
    if (const QString e = readResolution(a, res); !e.isEmpty()) return usage(e);
    BuildResult built = buildProfileWithRecipe(recipe, res, ctx.opener());
    return saveBuilt(built, output, overwrite);
}

}   // namespace cli
