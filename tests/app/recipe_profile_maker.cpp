// Writes a small Softproofing recipe profile for the end-to-end test of the
// program: sRGB, a gamma curve on the red channel, default resolution.
#include "app/core/document.h"
#include "curves/core/curvefamily.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: recipe_profile_maker OUT.icc\n", stderr);
        return 2;
    }
    registerCurveFamilyPlugin();
    Recipe recipe;
    recipe.description = QStringLiteral("First look");
    recipe.channels[0].selectFamily(CurveFamily::Gamma);
    recipe.channels[0].setValue(1.2);
    const SaveOutcome saved = saveRecipeProfile(QString::fromLocal8Bit(argv[1]), recipe, ResolutionPreferences{});
    for (const QString& m : saved.messages) std::fprintf(stderr, "%s\n", qPrintable(m));
    return saved.ok ? 0 : 1;
}
