// tonemolder-cli import-cube: a .cube or .lut table as an abstract profile
// that carries its recipe.
#include "tools/cli/commands.h"

#include "app/core/recipe.h"

namespace cli {

namespace {

const char* const ImportCubeHelp = R"(Usage: tonemolder-cli import-cube LUT -o OUT [options] [resolution]

Makes the abstract profile that applies a .cube or .lut 3D table in an RGB
space: Lab -> the RGB space (intent) -> the table -> the RGB space -> Lab.
The profile carries its recipe, so the program can open and edit it.

  -o, --output FILE     the profile to write
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
    if (wantsHelp(args)) return printText(stdout, QString::fromUtf8(ImportCubeHelp) + ResolutionOptions), Success;
    const Arguments a(args,
                      ResolutionValueOptions + QStringList{"--output", "--space", "--intent", "--description",
                                                           "--copyright"},
                      {});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("import-cube needs one .cube or .lut file"));
    if (!a.has("--output")) return usage(QStringLiteral("import-cube needs --output"));
    const std::optional<int> intent = intentIndex(a.value("--intent", QStringLiteral("0")));
    if (!intent) return usage(QStringLiteral("unknown intent %1").arg(a.value("--intent")));

    Recipe recipe;
    recipe.tab = RecipeTab::CubeImport;
    recipe.cubeFile = QFileInfo(a.positional().first()).absoluteFilePath();
    recipe.lutProfile = a.value("--space", QStringLiteral("*srgb"));
    recipe.lutIntent = *intent;
    if (!QFileInfo(recipe.cubeFile).isFile())
        return fail(BuilderText::CubeUnreadable + a.positional().first());
    ProfilePtr space = adoptProfile(ctx.opener()(recipe.lutProfile));
    if (!space) return fail(QStringLiteral("cannot open the RGB profile %1").arg(recipe.lutProfile));
    if (profileColorSpace(space.get()) != SpaceRgb)
        return fail(QStringLiteral("%1 is not an RGB profile").arg(recipe.lutProfile));
    recipe.lutProfile = ctx.resolve(recipe.lutProfile);

    if (a.has("--description")) {
        recipe.description = a.value("--description");
    } else {
        ProfilePtr link = adoptProfile(readCubeDeviceLink(recipe.cubeFile));
        const QString title = link ? profileUtf8Text(link.get(), InfoDescription).trimmed() : QString();
        recipe.description = title.isEmpty() ? QFileInfo(recipe.cubeFile).completeBaseName() : title;
    }
    if (a.has("--copyright")) recipe.copyright = a.value("--copyright");

    ResolutionPreferences res;
    if (const QString e = readResolution(a, res); !e.isEmpty()) return usage(e);
    BuildResult built = buildProfileWithRecipe(recipe, res, ctx.opener());
    return saveBuilt(built, a.value("--output"));
}

}   // namespace cli
