// Device links around a look: the version 2.1 link of *srgb → look → press
// CMYK, read by ArgyllCMS's xicclu (an independent engine), agrees with this
// engine's exact evaluation of the same chain as closely as a 33-point table
// allows; the link carries the look's recipe and the chosen version and
// intent; a look that is no abstract profile is refused.
#include "tools/core/devicelink.h"

#include "app/core/builder.h"
#include "curves/core/curvefamily.h"
#include "tests/app/core/lutformats/looks.h"
#include "tools/core/toolfiles.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

constexpr char Press[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
constexpr char Xicclu[] = "/usr/bin/xicclu";

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

class DeviceLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registerCurveFamilyPlugin());
        ASSERT_TRUE(QFile::exists(Press)) << Press << " is missing";
        ASSERT_TRUE(dir_.isValid());
        // The strong look as an Import LUT recipe profile.
        const std::string cube = dir_.filePath("look.cube").toStdString();
        std::ofstream out(cube);
        out << "LUT_3D_SIZE 17\n";
        const lutformats::Lut3D look = looks::sampled(looks::strong, 17);
        for (size_t i = 0; i < look.data.size(); i += 3)
            out << look.data[i] << " " << look.data[i + 1] << " " << look.data[i + 2] << "\n";
        out.close();
        Recipe recipe;
        recipe.tab = RecipeTab::CubeImport;
        recipe.cubeFile = QString::fromStdString(cube);
        recipe.description = QStringLiteral("Strong look");
        BuildResult built = buildProfileWithRecipe(recipe, ResolutionPreferences{});
        ASSERT_TRUE(built.ok()) << built.message.toStdString();
        look_ = std::move(built.profile);
    }

    QTemporaryDir dir_;
    ProfilePtr look_{nullptr, &closeProfile};
};

TEST_F(DeviceLinkTest, ArgyllReadsTheVersion2LinkAsTheChain)
{
    ASSERT_TRUE(QFile::exists(Xicclu)) << Xicclu << " is missing (ArgyllCMS)";
    ProfilePtr source = adoptProfile(openProfileByName("*srgb"));
    ProfilePtr press = adoptProfile(openProfileByName(Press));
    DeviceLinkRequest request;
    request.versionIndex = 1;
    request.intent = IntentRelativeColorimetric;
    request.blackPointCompensation = true;
    request.gridPoints = 33;
    QString error;
    ProfilePtr link = adoptProfile(buildLookDeviceLink(source.get(), look_.get(), press.get(), request, &error));
    ASSERT_TRUE(link) << error.toStdString();
    const QString linkFile = dir_.filePath("link.icc");
    ASSERT_TRUE(saveProfileToFile(link.get(), linkFile));

    // 1000 random colours and the 8-bit grey ramp.
    std::vector<looks::Rgb> colours = looks::randomColours(1000, 2);
    for (int v = 0; v < 256; v += 5) colours.push_back({v / 255.0, v / 255.0, v / 255.0});
    const QString inputs = dir_.filePath("in.txt");
    {
        std::ofstream in(inputs.toStdString());
        for (const looks::Rgb& c : colours) in << c[0] << " " << c[1] << " " << c[2] << "\n";
    }
    const std::string command = std::string(Xicclu) + " -v0 -ff '" + linkFile.toStdString() + "' < '" +
                                inputs.toStdString() + "'";
    std::unique_ptr<FILE, decltype(&pclose)> pipe{popen(command.c_str(), "r"), &pclose};
    ASSERT_TRUE(pipe);

    TransformPtr exact{lookChainTransform(source.get(), look_.get(), press.get(), request.intent, true),
                       &deleteTransform};
    ASSERT_TRUE(exact);
    // This engine's reading of the same link.
    TransformPtr viaLink{createTransform(link.get(), FormatRgbFloat, nullptr, FormatCmykFloat, 0, XformNoOptimise),
                         &deleteTransform};
    ASSERT_TRUE(viaLink);
    std::vector<double> codes;
    double readingApart = 0;
    for (const looks::Rgb& c : colours) {
        double argyll[4];
        ASSERT_EQ(std::fscanf(pipe.get(), "%lf %lf %lf %lf", &argyll[0], &argyll[1], &argyll[2], &argyll[3]), 4);
        const float in[3] = {float(c[0]), float(c[1]), float(c[2])};
        float cmyk[4];   // float CMYK is in percent
        doTransform(exact.get(), in, cmyk, 1);
        for (int i = 0; i < 4; ++i) codes.push_back(std::fabs(argyll[i] - cmyk[i] / 100.0) * 255.0);
        float mine[4];
        doTransform(viaLink.get(), in, mine, 1);
        for (int i = 0; i < 4; ++i) readingApart = std::max(readingApart, std::fabs(mine[i] / 100.0 - argyll[i]) * 255.0);
    }
    std::sort(codes.begin(), codes.end());
    const double p99 = codes[codes.size() * 99 / 100];
    const double worst = codes.back();
    std::printf("xicclu against the exact chain, 8-bit codes: p99 %.3f, max %.3f; against this engine's "
                "reading of the link %.3f\n", p99, worst, readingApart);
    // Both engines read the table alike ...
    EXPECT_LE(readingApart, 0.1);
    // ... and the table holds the chain as 33 points can: at its nodes
    // within about a code, between them the press's separation (ink
    // limits, black generation) bends faster than the table interpolates.
    // Measured p99 1.73, max 11.8 (at 65 points 0.90 and 4.8).
    EXPECT_LE(p99, 2.0);
    EXPECT_LE(worst, 12.5);
}

TEST_F(DeviceLinkTest, LinkCarriesTheLooksRecipeVersionAndIntent)
{
    const QString lookFile = dir_.filePath("look.icc");
    ASSERT_TRUE(saveProfileToFile(look_.get(), lookFile));
    for (const int version : {0, 1}) {
        DeviceLinkRequest request;
        request.source = QStringLiteral("*srgb");
        request.look = lookFile;
        request.destination = Press;
        request.outputFile = dir_.filePath("link.icc");
        request.versionIndex = version;
        request.intent = IntentSaturation;
        request.copyright = QStringLiteral("Mine");
        const ToolResult result = writeLookDeviceLink(request);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        ProfilePtr link = adoptProfile(openProfileByName(request.outputFile));
        ASSERT_TRUE(link);
        EXPECT_EQ(profileVersion(link.get()), version == 0 ? 0x04300000u : 0x02100000u);
        EXPECT_EQ(profileDeviceClass(link.get()), sig("link"));
        EXPECT_EQ(profileColorSpace(link.get()), SpaceRgb);
        EXPECT_EQ(profilePcs(link.get()), SpaceCmyk);
        EXPECT_EQ(profileRenderingIntent(link.get()), uint32_t(IntentSaturation));
        const RecipeReadResult recipe = readRecipeFromProfile(link.get());
        EXPECT_TRUE(recipe.ok());
        EXPECT_EQ(recipe.recipe.description, QStringLiteral("Strong look"));
    }
}

TEST_F(DeviceLinkTest, LookMustBeAnAbstractProfile)
{
    DeviceLinkRequest request;
    request.source = QStringLiteral("*srgb");
    request.look = QStringLiteral("*srgb");
    request.destination = Press;
    request.outputFile = dir_.filePath("never.icc");
    const ToolResult result = writeLookDeviceLink(request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, QString::fromLatin1(DeviceLinkText::NotALook));
    EXPECT_FALSE(QFile::exists(request.outputFile));
}

}   // namespace
