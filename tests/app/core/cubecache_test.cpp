// The tables of the Import LUT recipe in every format: a look written in a
// format and the .cube holding exactly the values that format holds give
// the same abstract profile, within 0.01 ΔE76 over a grid of Lab colours;
// and the recipe names the format it was read as.
#include "app/core/builder.h"
#include "app/core/lutformats/haldformat.h"
#include "app/core/lutformats/lutfile.h"
#include "curves/core/curvefamily.h"
#include "tests/app/core/lutformats/looks.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdio>
#include <fstream>

using namespace lutformats;

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

CieLab throughProfile(Transform* t, const CieLab& lab)
{
    CieLab out{-1, 0, 0};
    doTransform(t, &lab, &out, 1);
    return out;
}

// ΔE76: the Euclidean distance in Lab (CIE 1976).
double distance(const CieLab& a, const CieLab& b)
{
    return std::sqrt((a.L - b.L) * (a.L - b.L) + (a.a - b.a) * (a.a - b.a) + (a.b - b.b) * (a.b - b.b));
}

// The table as a .cube whose numbers read back as the very same floats
// (nine significant digits): the .cube equivalent to another format's file.
void writeExactCube(const std::string& path, const Lut3D& lut)
{
    std::ofstream out(path);
    char line[128];
    out << "LUT_3D_SIZE " << lut.size << "\n";
    if (lut.hasShaper()) out << "LUT_1D_SIZE " << lut.shaperSize << "\n";
    for (uint32_t i = 0; i < lut.shaperSize; ++i) {
        std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", lut.shaper[0][i], lut.shaper[1][i], lut.shaper[2][i]);
        out << line;
    }
    for (size_t i = 0; i < lut.data.size(); i += 3) {
        std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", lut.data[i], lut.data[i + 1], lut.data[i + 2]);
        out << line;
    }
}

Recipe lutRecipe(const QString& file, const QString& format)
{
    Recipe r;
    r.tab = RecipeTab::CubeImport;
    r.lutProfile = QStringLiteral("*srgb");
    r.lutIntent = 1;
    r.cubeFile = file;
    r.cubeFormat = format;
    return r;
}

// The abstract profile of a recipe as a Lab transform, float, unoptimised.
TransformPtr built(const Recipe& recipe, QString* message)
{
    BuildResult result = buildRecipe(recipe, ResolutionPreferences{});
    *message = result.message;
    if (!result.ok()) return {nullptr, &deleteTransform};
    return {createTransform(result.profile.get(), FormatLabDouble, nullptr, FormatLabDouble, IntentPerceptual,
                            XformNoOptimise),
            &deleteTransform};
}

TEST(CubeCacheTest, EveryFormatGivesTheProfileOfItsCube)
{
    ASSERT_TRUE(registerCurveFamilyPlugin());
    QTemporaryDir dir;
    Lut3D look = looks::sampled(looks::strong, 17);
    Lut3D shaped = looks::sampled(looks::analytic, 9);
    shaped.shaperSize = 6;
    for (size_t c = 0; c < 3; ++c)
        for (uint32_t i = 0; i < 6; ++i) shaped.shaper[c].push_back(float(std::pow(i / 5.0, 0.8 + 0.2 * c)));
    const Lut3D hald = looks::sampled(looks::strong, 16);   // level 4

    struct Case {
        LutFormat format;
        const Lut3D* table;
        double top;   // the depth the format holds values at; 0: floats as written
    };
    const Case cases[] = {
        {LutFormat::ThreeDl, &look, 4095}, {LutFormat::Csp, &shaped, 0}, {LutFormat::Spi3d, &look, 0},
        {LutFormat::Clf, &shaped, 0},      {LutFormat::HaldPng, &hald, 65535}, {LutFormat::HaldTiff, &hald, 255},
    };
    for (const Case& c : cases) {
        const std::string key = formatKey(c.format);
        const QString file = dir.filePath(QString::fromStdString("look" + std::string(formatExtension(c.format))));
        if (c.format == LutFormat::HaldPng || c.format == LutFormat::HaldTiff) {
            ASSERT_EQ(writeHald(*c.table, file.toStdString(), c.format == LutFormat::HaldTiff, c.top == 255 ? 8 : 16),
                      "");
        } else {
            std::ofstream(file.toStdString()) << lutText(*c.table, c.format);
        }
        const Lut3D held = c.top > 0 ? looks::quantised(*c.table, c.top) : *c.table;
        const QString cube = dir.filePath(QString::fromStdString(key + ".cube"));
        writeExactCube(cube.toStdString(), held);

        QString message;
        const TransformPtr fromFormat = built(lutRecipe(file, QString::fromStdString(key)), &message);
        ASSERT_TRUE(fromFormat) << key << ": " << message.toStdString();
        const TransformPtr fromCube = built(lutRecipe(cube, QStringLiteral("cube")), &message);
        ASSERT_TRUE(fromCube) << key << ": " << message.toStdString();
        double worst = 0;
        for (double L = 0; L <= 100; L += 5)
            for (double a = -100; a <= 100; a += 10)
                for (double b = -100; b <= 100; b += 10) {
                    const CieLab lab{L, a, b};
                    worst = std::max(worst, distance(throughProfile(fromFormat.get(), lab),
                                                     throughProfile(fromCube.get(), lab)));
                }
        EXPECT_LE(worst, 0.01) << key;
    }
}

TEST(CubeCacheTest, FormatFollowsTheRecipeThenTheName)
{
    struct Case {
        const char* file;
        const char* format;
        const char* key;
    };
    const Case cases[] = {
        {"a.cube", "", "cube"},  {"a.LUT", "", "cube"},      {"a.3DL", "", "3dl"},
        {"a.tiff", "", "hald-tiff"}, {"a.png", "", "hald-png"}, {"a.txt", "", "cube"},
        {"a.txt", "csp", "csp"}, {"a.png", "clf", "clf"},    {"a.3dl", "bogus", "3dl"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(lutFormatKey(QString::fromLatin1(c.file), QString::fromLatin1(c.format)), QLatin1String(c.key))
            << c.file << " " << c.format;
}

TEST(CubeCacheTest, UnreadableTableIsRefusedWithTheReadersReason)
{
    ASSERT_TRUE(registerCurveFamilyPlugin());
    QTemporaryDir dir;
    const QString file = dir.filePath("bad.3dl");
    std::ofstream(file.toStdString()) << "0 1023\n0 0 0\n1 1\n";
    const BuildResult result = buildRecipe(lutRecipe(file, QString()), ResolutionPreferences{});
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.message, QStringLiteral("Unable to access .cube file: ") + file + QLatin1Char('\n') + file +
                                  QStringLiteral(": line 3: a table line holds three whole numbers, found 2 words"));
}

}   // namespace
