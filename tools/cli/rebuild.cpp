// tonemolder-cli rebuild: a saved recipe built again, at a chosen
// resolution, and how closely the result reproduces it.
#include "tools/cli/commands.h"

#include "app/core/fidelity.h"
#include "app/core/recipe.h"

namespace cli {

namespace {

const char* const RebuildHelp = R"(Usage: tonemolder-cli rebuild PROFILE (-o OUT | --report) [resolution]

Reads the recipe a profile saved by this program carries and builds the
profile again from it (never from the profile's tables), at the resolution
the recipe was saved with unless options change it. The Softproofing colour
space is looked for beside PROFILE and in the profile folders.

  -o, --output FILE     the profile to write
  --report              print how closely the rebuilt profile reproduces its
                        recipe: Delta E 76 (mean, 95th percentile, maximum)
                        between the profile as saved and the recipe applied
                        directly, over 20 000 colours inside sRGB and Adobe RGB
                        and the surfaces of both gamuts
  --description TEXT    a new description
  --copyright TEXT      a new copyright
)";


// How closely a built profile, as saved, reproduces its recipe.
int reportFidelity(const Context& ctx, const Recipe& recipe, const ResolutionPreferences& res, IccProfile* built,
                   const QStringList& beside)
{
    QString error;
    const std::unique_ptr<ExactRecipe> exact = ExactRecipe::forRecipe(recipe, ctx.opener(beside), &error);
    ProfilePtr saved = savedCopy(built);
    if (!exact || !saved) return fail(error.isEmpty() ? QString::fromLatin1(BuilderText::InternalError) : error);
    const FidelityFigures f = measureFidelity(saved.get(), *exact);
    const int gridAb = res.versionIndex == 1 ? res.gridLstar : res.gridAbstar;
    const auto figures = [](const FidelityFigures& g) {
        return QStringLiteral("  mean %1   95th percentile %2   maximum %3\n")
            .arg(g.mean, 0, 'f', 3)
            .arg(g.p95, 0, 'f', 3)
            .arg(g.max, 0, 'f', 3);
    };
    QString out = QStringLiteral("ICC %1, grid %2 x %3 x %3, %4 curve points: Delta E 76 against the recipe "
                                 "over %5 colours\n")
                      .arg(QLatin1String(res.versionIndex == 1 ? "2.1" : "4.3"))
                      .arg(res.gridLstar)
                      .arg(gridAb)
                      .arg(res.gridCurves)
                      .arg(f.colours) +
                  figures(f);
    // A version 4.3 profile also carries its 16-bit table for colour
    // managers that read no float tables.
    if (hasTag(saved.get(), sig("D2B0"))) {
        ProfilePtr sixteen = sixteenBitCopy(saved.get());
        if (!sixteen) return fail(QString::fromLatin1(BuilderText::InternalError));
        out += QStringLiteral("The 16-bit table alone, as colour managers without float tables read it, against "
                              "the recipe held within a* and b* -128 to 127:\n") +
               figures(measureFidelity(sixteen.get(), *exact));
    }
    printText(stdout, out);
    return Success;
}

}   // namespace

int rebuildCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, QString::fromUtf8(RebuildHelp) + ResolutionOptions), Success;
    const Arguments a(args, ResolutionValueOptions + QStringList{"--output", "--description", "--copyright"},
                      {"--report"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 1) return usage(QStringLiteral("rebuild needs one profile"));
    if (!a.has("--output") && !a.flag("--report")) return usage(QStringLiteral("rebuild needs --output or --report"));

    const QString path = ctx.resolve(a.positional().first());
    const RecipeReadResult read = readRecipeFromFile(path);
    if (!read.ok()) return fail(read.message);
    Recipe recipe = read.recipe;
    ResolutionPreferences res = recipe.resolution;
    if (const QString e = readResolution(a, res); !e.isEmpty()) return usage(e);
    if (a.has("--description")) recipe.description = a.value("--description");
    if (a.has("--copyright")) recipe.copyright = a.value("--copyright");

    const QStringList beside = {QFileInfo(path).absolutePath()};
    if (recipe.tab == RecipeTab::Softproof) {
        ProfilePtr space = adoptProfile(ctx.opener(beside)(recipe.softproofProfile));
        if (!space)
            return fail(QStringLiteral("WARNING: Softproofing profile not found: %1 (name its folder with "
                                       "--profiles-dir)")
                            .arg(recipe.softproofProfile));
    }
    BuildResult built = buildProfileWithRecipe(recipe, res, ctx.opener(beside));
    if (!built.ok()) return fail(built.message);
    if (a.flag("--report") && reportFidelity(ctx, recipe, res, built.profile.get(), beside))
        return Failure;
    return a.has("--output") ? saveBuilt(built, a.value("--output")) : Success;
}

}   // namespace cli
