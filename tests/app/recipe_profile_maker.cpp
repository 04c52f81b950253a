// Writes small recipe profiles for the end-to-end tests of the programs:
//   recipe_profile_maker OUT.icc            Softproofing in sRGB, a gamma
//                                           curve on the red channel
//   recipe_profile_maker OUT.icc KIND [ARG] KIND one of
//     softproof SPACE   gamma 1.2 on the first channel, sigmoid on the third
//     cam16             chroma gamma 0.7, lightness sigmoid, first preset
//     cube FILE         the table FILE in sRGB, relative colorimetric
//   followed by 2.1 to save at ICC version 2.1.
#include "app/core/document.h"
#include "curves/core/curvefamily.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        std::fputs("usage: recipe_profile_maker OUT.icc [softproof SPACE | cam16 | cube FILE] [2.1]\n", stderr);
        return 2;
    }
    registerCurveFamilyPlugin();
    const QString out = args.takeFirst();
    ResolutionPreferences resolution;
    if (!args.isEmpty() && args.last() == QLatin1String("2.1")) {
        resolution.versionIndex = 1;
        args.removeLast();
    }
    const QString kind = args.value(0, QStringLiteral("first"));
    Recipe recipe;
    recipe.resolution = resolution;
    if (kind == QLatin1String("first")) {
        recipe.description = QStringLiteral("First look");
        recipe.channels[0].selectFamily(CurveFamily::Gamma);
        recipe.channels[0].setValue(1.2);
    } else if (kind == QLatin1String("softproof") && args.size() == 2) {
        recipe.description = QStringLiteral("Press look");
        recipe.softproofProfile = args[1];
        recipe.channels[0].selectFamily(CurveFamily::Gamma);
        recipe.channels[0].setValue(1.2);
        recipe.channels[2].selectFamily(CurveFamily::Sigmoidal);
        recipe.channels[2].setValue(1.5);
    } else if (kind == QLatin1String("cam16")) {
        recipe.description = QStringLiteral("Appearance look");
        recipe.tab = RecipeTab::Cam16;
        recipe.correlates[0].selectFamily(CurveFamily::Sigmoidal);
        recipe.correlates[0].setValue(1.3);
        recipe.correlates[1].selectFamily(CurveFamily::Gamma);
        recipe.correlates[1].setValue(0.7);
    } else if (kind == QLatin1String("cube") && args.size() == 2) {
        recipe.description = QStringLiteral("Table look");
        recipe.tab = RecipeTab::CubeImport;
        recipe.cubeFile = args[1];
        recipe.lutIntent = 1;
    } else {
        std::fputs("recipe_profile_maker: unknown kind\n", stderr);
        return 2;
    }
    const SaveOutcome saved = saveRecipeProfile(out, recipe, resolution);
    for (const QString& m : saved.messages) std::fprintf(stderr, "%s\n", qPrintable(m));
    return saved.ok ? 0 : 1;
}
