#include "tools/core/cubewriter.h"

#include "app/core/builder.h"
#include "curves/core/curvefamily.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cmath>
#include <limits>
#include <random>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

// The text stream's own printing of a float: the form the table must have.
QByteArray streamed(float v)
{
    QByteArray bytes;
    QTextStream s(&bytes);
    s << v;
    s.flush();
    return bytes;
}

QList<QByteArray> dataLines(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

TEST(CubeWriterTest, NumbersArePrintedAsTheTextStreamPrintsThem)
{
    const float special[] = {0.0f, -0.0f, 1.0f, 0.5f, 0.0625f, 1e-5f, -1e-5f, 123456.0f, 1234567.0f,
                             0.0009765625f,   // exactly 7 digits ending in 5: a tie at six
                             0.000244140625f, 3.0517578125e-05f, -347286.5f, 8484985.0f, -68622.25f,
                             0.999999f, 1.0000001f, 65535.0f, std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    for (float v : special) EXPECT_EQ(formatCubeNumber(v), streamed(v)) << double(v);

    std::mt19937 rng(5);
    std::uniform_real_distribution<double> exponent(-9.0, 8.0);
    for (int i = 0; i < 200000; ++i) {
        float v;
        switch (i % 4) {
        case 0: v = float(std::pow(10.0, exponent(rng)) * (rng() & 1 ? -1 : 1)); break;
        case 1: v = float(rng() % 65536) / 65535.0f; break;
        case 2: v = float(int(rng() % 2000000) - 1000000) / 4.0f; break;   // many exact ties
        default: v = float(rng() % 4096) / 4096.0f; break;
        }
        ASSERT_EQ(formatCubeNumber(v), streamed(v)) << double(v);
    }
}

class CubeFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registerCurveFamilyPlugin());
        ASSERT_TRUE(dir_.isValid());
    }
    QTemporaryDir dir_;
};

TEST_F(CubeFileTest, IdentityProfileReproducesItsInputs)
{
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ProfilePtr lab = adoptProfile(openProfileByName(QStringLiteral("*lab")));
    CubeRequest request;
    request.title = QStringLiteral("Identity");
    request.copyright = QStringLiteral("No copyright");
    request.gridPoints = 17;
    const QByteArray text = cubeText(request, srgb.get(), lab.get());
    const QList<QByteArray> lines = dataLines(text);
    ASSERT_EQ(lines.size(), 5 + 17 * 17 * 17);
    EXPECT_EQ(lines[0], "TITLE \"Identity\"");
    EXPECT_EQ(lines[1], "# No copyright");
    EXPECT_EQ(lines[2], "DOMAIN_MIN 0 0 0");
    EXPECT_EQ(lines[3], "DOMAIN_MAX 1 1 1");
    EXPECT_EQ(lines[4], "LUT_3D_SIZE 17");
    double worst = 0;
    for (int i = 0; i < 17 * 17 * 17; ++i) {
        const QList<QByteArray> v = lines[5 + i].split(' ');
        ASSERT_EQ(v.size(), 3) << i;
        const double want[3] = {(i % 17) / 16.0, (i / 17 % 17) / 16.0, (i / 289) / 16.0};   // red fastest
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(v[c].toDouble() - want[c]));
    }
    EXPECT_LT(worst, 1e-3);
    const QList<QByteArray> second = lines[6].split(' ');
    EXPECT_NEAR(second[0].toDouble(), 0.0625, 1e-4);
    EXPECT_NEAR(second[1].toDouble(), 0.0, 1e-4);
}

TEST_F(CubeFileTest, ValuesAreOnePixelThroughTheTransform)
{
    ResolutionPreferences prefs;
    Recipe look;
    look.tab = RecipeTab::Cam16;
    look.correlates[1].selectFamily(CurveFamily::Gamma);
    look.correlates[1].setValue(0.7);
    const BuildResult built = buildRecipe(look, prefs);
    ASSERT_TRUE(built.ok());
    ProfilePtr space = adoptProfile(openProfileByName(QStringLiteral("*argb")));
    CubeRequest request;
    request.gridPoints = 9;
    const QList<QByteArray> lines = dataLines(cubeText(request, space.get(), built.profile.get()));
    ASSERT_EQ(lines.size(), 5 + 729);

    IccProfile* chain[3] = {space.get(), built.profile.get(), space.get()};
    TransformPtr t{createMultiTransform(nullptr, chain, 3, FormatRgbFloat, FormatRgbFloat, 1, 0x144),
                   &deleteTransform};
    ASSERT_TRUE(t);
    const float step = float(1.0 / 8.0);
    int k = 5;
    for (int b = 0; b < 9; ++b)
        for (int g = 0; g < 9; ++g)
            for (int r = 0; r < 9; ++r, ++k) {
                const float in[3] = {float(r) * step, float(g) * step, float(b) * step};
                float out[3];
                doTransform(t.get(), in, out, 1);
                EXPECT_EQ(lines[k], streamed(out[0]) + ' ' + streamed(out[1]) + ' ' + streamed(out[2])) << k;
            }
}

TEST_F(CubeFileTest, TitleAndCopyrightLines)
{
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ProfilePtr lab = adoptProfile(openProfileByName(QStringLiteral("*lab")));
    const struct { QString title, copyright; QList<QByteArray> head; } table[] = {
        {QString(), QString(), {"TITLE \"\"", "# "}},
        {QStringLiteral("Say \"hi\""), QStringLiteral("one"), {"TITLE \"Say 'hi'\"", "# one"}},
        {QStringLiteral("two\nlines"), QStringLiteral("first\nsecond"), {"TITLE \"two lines\"", "# first", "# second"}},
    };
    for (const auto& row : table) {
        CubeRequest request;
        request.title = row.title;
        request.copyright = row.copyright;
        request.gridPoints = 2;
        const QList<QByteArray> lines = dataLines(cubeText(request, srgb.get(), lab.get()));
        ASSERT_EQ(lines.size(), row.head.size() + 3 + 8);
        for (int i = 0; i < row.head.size(); ++i) EXPECT_EQ(lines[i], row.head[i]);
        EXPECT_EQ(lines[row.head.size() + 2], "LUT_3D_SIZE 2");
    }
}

TEST_F(CubeFileTest, WrittenFileReadsBackAsATable)
{
    CubeRequest request;
    request.abstractProfile = QStringLiteral("*lab");
    request.rgbProfile = QStringLiteral("*prophoto");
    request.outputFile = dir_.filePath(QStringLiteral("identity.cube"));
    request.gridPoints = 33;
    request.title = QStringLiteral("My \"warm\" look");
    int calls = 0, last = 0;
    const ToolResult result = writeCubeFile(request, openProfileByName, [&](int done, int total) {
        ++calls;
        EXPECT_GT(done, last);
        EXPECT_EQ(total, 33);
        last = done;
    });
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_EQ(last, 33);
    EXPECT_GT(calls, 0);

    ProfilePtr link = adoptProfile(readCubeFile(QFile::encodeName(request.outputFile).constData()));
    ASSERT_TRUE(link);
    char title[64] = {};
    getText8(static_cast<const LocalizedText*>(loadTag(link.get(), sig("desc"))), "", "", title, sizeof title);
    EXPECT_STREQ(title, "My 'warm' look");
    const auto* table = static_cast<const Pipeline*>(loadTag(link.get(), sig("A2B0")));
    ASSERT_NE(table, nullptr);
    const Stage* clut = pipelineLastStage(table);
    ASSERT_EQ(stageKind(clut), StageClutKind);
    EXPECT_EQ(clutGridPoints(clut)[0], 33u);

    // Imported again in the same space, the table is an identity for colours
    // well inside the space: here those of sRGB kept off its faces.
    Recipe back;
    back.tab = RecipeTab::CubeImport;
    back.lutProfile = request.rgbProfile;
    back.lutIntent = 1;
    back.cubeFile = request.outputFile;
    const BuildResult built = buildRecipe(back, ResolutionPreferences{});
    ASSERT_TRUE(built.ok()) << built.message.toStdString();
    const auto* a2b0 = static_cast<const Pipeline*>(loadTag(built.profile.get(), sig("A2B0")));
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ProfilePtr labSpace = adoptProfile(openProfileByName(QStringLiteral("*lab")));
    TransformPtr toLab{createTransform(srgb.get(), FormatRgbDouble, labSpace.get(), FormatLabDouble, 1, 0x100),
                       &deleteTransform};
    ASSERT_TRUE(toLab);
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> u(0.1, 0.9);
    for (int i = 0; i < 300; ++i) {
        const double rgb[3] = {u(rng), u(rng), u(rng)};
        double l[3];
        doTransform(toLab.get(), rgb, l, 1);
        const CieLab lab{l[0], l[1], l[2]};
        const float in[3] = {float(lab.L / 100), float((lab.a + 128) / 255), float((lab.b + 128) / 255)};
        float out[3];
        evalPipelineFloat(in, out, a2b0);
        const CieLab got{out[0] * 100.0, out[1] * 255.0 - 128, out[2] * 255.0 - 128};
        EXPECT_LT(deltaE76(got, lab), 0.5) << lab.L << " " << lab.a << " " << lab.b;
    }
}

TEST_F(CubeFileTest, FailuresLeaveTheFileAlone)
{
    const QString path = dir_.filePath(QStringLiteral("keep.cube"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    CubeRequest request;
    request.outputFile = path;
    request.rgbProfile = QStringLiteral("*srgb");
    request.abstractProfile = dir_.filePath(QStringLiteral("missing.icc"));
    ToolResult r = writeCubeFile(request);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, QStringLiteral("I cannot open the profiles"));

    request.abstractProfile = QStringLiteral("*lab");
    request.rgbProfile = QStringLiteral("*gray22");   // a gray space cannot take RGB pixels
    r = writeCubeFile(request);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, QStringLiteral("I cannot create a color transformation for those profiles"));

    request.rgbProfile = QStringLiteral("*srgb");
    request.outputFile = dir_.filePath(QStringLiteral("no/such/folder/x.cube"));
    r = writeCubeFile(request);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.message.startsWith(QStringLiteral("Could not write the file: ")));

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("precious"));
}

}   // namespace
