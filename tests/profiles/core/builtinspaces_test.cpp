#include "profiles/core/builtinspaces.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr char Copyright[] = "Created by Osterlane versitor tool. No copyright, use freely.";

std::string textOf(IccProfile* p, uint32_t which)
{
    char buffer[4096] = {};
    if (profileTextUtf8(p, which, "en", "US", buffer, sizeof buffer) == 0) return {};
    return buffer;
}

// ---------------------------------------------------------------------------
// A slow reference for the colorants: the RGB-to-XYZ matrix of the
// chromaticities under their white, Bradford-adapted to D50.
// ---------------------------------------------------------------------------

using M3 = std::array<double, 9>;

M3 mul(const M3& a, const M3& b)
{
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return r;
}

M3 inverse(const M3& m)
{
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    M3 r = {m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
            m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
            m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
    for (double& v : r) v /= det;
    return r;
}

std::array<double, 3> times(const M3& m, const std::array<double, 3>& v)
{
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

// Columns: the D50-adapted XYZ of red, green and blue.
M3 referenceColorants(double wx, double wy, const double xy[3][2])
{
    const M3 chroma = {xy[0][0], xy[1][0], xy[2][0], xy[0][1], xy[1][1], xy[2][1],
                       1 - xy[0][0] - xy[0][1], 1 - xy[1][0] - xy[1][1], 1 - xy[2][0] - xy[2][1]};
    const std::array<double, 3> white = {wx / wy, 1.0, (1 - wx - wy) / wy};
    const std::array<double, 3> s = times(inverse(chroma), white);
    M3 rgbToXyz = chroma;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) rgbToXyz[r * 3 + c] *= s[c];
    const M3 bradford = {0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367, 0.0389, -0.0685, 1.0296};
    const std::array<double, 3> src = times(bradford, white);
    const std::array<double, 3> dst = times(bradford, {0.9642, 1.0, 0.8249});
    const M3 scale = {dst[0] / src[0], 0, 0, 0, dst[1] / src[1], 0, 0, 0, dst[2] / src[2]};
    return mul(mul(inverse(bradford), mul(scale, bradford)), rgbToXyz);
}

// CIE daylight chromaticity for 4000 K to 7000 K.
std::array<double, 2> daylight(double t)
{
    const double x = -4.6070e9 / (t * t * t) + 2.9678e6 / (t * t) + 0.09911e3 / t + 0.244063;
    return {x, -3.0 * x * x + 2.87 * x - 0.275};
}

// The published decodings, encoded value to linear light.
double srgbDecode(double v)   // IEC 61966-2-1
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double rommDecode(double v)   // ROMM RGB, ISO 22028-2: Et = 1/512
{
    constexpr double Et = 1.0 / 512.0;
    return v < 16.0 * Et ? v / 16.0 : std::pow(v, 1.8);
}

double bt2020Decode(double v)   // ITU-R BT.2020-2, the inverse of its OETF
{
    constexpr double Alpha = 1.09929682680944, Beta = 0.018053968510807;
    return v < 4.5 * Beta ? v / 4.5 : std::pow((v + Alpha - 1.0) / Alpha, 1.0 / 0.45);
}

double lstarOfY(double y)   // CIE 1976
{
    return y > 216.0 / 24389.0 ? 116.0 * std::cbrt(y) - 16.0 : y * 24389.0 / 27.0;
}

struct RgbCase {
    const char* name;
    const char* description;
    double white[2];
    double primaries[3][2];
    double gamma;                 // 0: the published curve below
    double (*decode)(double);
    double version;
};

const double D50x = 0.9642 / (0.9642 + 1.0 + 0.8249);
const double D50y = 1.0 / (0.9642 + 1.0 + 0.8249);
const std::array<double, 2> D6504 = daylight(6504.0);
const std::array<double, 2> DProPhoto = daylight(5002.78164116829);

const RgbCase RgbCases[] = {
    {"*srgb", "sRGB-like color space", {0.3127, 0.3290}, {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}}, 0,
     srgbDecode, 4.4},
    {"*argb", "AdobeRGB1998-like color space", {D6504[0], D6504[1]}, {{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}},
     2.19921875, {}, 4.4},
    {"*colormatchrgb", "ColormatchRGB-like color space", {D50x, D50y},
     {{0.63, 0.34}, {0.29, 0.61}, {0.15, 0.075}}, 2.2, {}, 4.4},
    {"*applergb", "AppleRGB-like color space", {D6504[0], D6504[1]}, {{0.63, 0.34}, {0.28, 0.60}, {0.16, 0.07}},
     1.8, {}, 4.4},
    {"*srgblin", "Rec709/gamma 1.0, (sRGB-linear) color space", {D6504[0], D6504[1]},
     {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}}, 1.0, {}, 4.4},
    {"*argblin", "AdobeRGB1998/gamma 1.0 (aRGB-linear) color space", {D6504[0], D6504[1]},
     {{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}}, 1.0, {}, 4.4},
    {"*prophoto", "ProPhotoRGB-like", {DProPhoto[0], DProPhoto[1]},
     {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}}, 0, rommDecode, 4.3},
    {"*prophotolin", "linear ProPhotoRGB-like", {DProPhoto[0], DProPhoto[1]},
     {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}}, 1.0, {}, 4.3},
    {"*bt2020", "ITU-R Recommendation BT.2020", {D6504[0], D6504[1]},
     {{0.708, 0.292}, {0.17, 0.797}, {0.131, 0.046}}, 0, bt2020Decode, 4.3},
    {"*ecirgb", "ECI RGB-like color space", {D50x, D50y}, {{0.67, 0.33}, {0.21, 0.71}, {0.14, 0.08}}, 1.8, {}, 4.4},
    {"*oprgb", "opRGB-IEC 61966-2-5:2007", {D6504[0], D6504[1]}, {{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}},
     2.19921875, {}, 4.4},
    {"*dcip3", "DCI P3 SMPTE-EG-0432-1:2010", {D6504[0], D6504[1]}, {{0.68, 0.32}, {0.265, 0.69}, {0.15, 0.06}},
     2.6, {}, 4.4},
};

class RgbBuiltinTest : public ::testing::TestWithParam<RgbCase> {};

TEST_P(RgbBuiltinTest, MadeAsTheTableSays)
{
    const RgbCase& c = GetParam();
    ProfilePtr p = adoptProfile(openProfileByName(QString::fromLatin1(c.name)));
    ASSERT_TRUE(p);
    EXPECT_EQ(profileDeviceClass(p.get()), ClassDisplay);
    EXPECT_EQ(profileColorSpace(p.get()), SpaceRgb);
    EXPECT_EQ(profilePcs(p.get()), SpaceXyz);
    EXPECT_NEAR(versionAsNumber(p.get()), c.version, 1e-9);
    EXPECT_EQ(textOf(p.get(), InfoDescription), c.description);
    EXPECT_EQ(textOf(p.get(), InfoCopyright), Copyright);

    const M3 expected = referenceColorants(c.white[0], c.white[1], c.primaries);
    const uint32_t tags[3] = {sig("rXYZ"), sig("gXYZ"), sig("bXYZ")};
    for (int col = 0; col < 3; ++col) {
        const auto* xyz = static_cast<const CieXyz*>(loadTag(p.get(), tags[col]));
        ASSERT_NE(xyz, nullptr) << col;
        // The tag holds s15Fixed16 numbers: within one step and the rounding
        // of the reference's constants.
        EXPECT_NEAR(xyz->X, expected[0 * 3 + col], 2e-4) << c.name << " column " << col;
        EXPECT_NEAR(xyz->Y, expected[1 * 3 + col], 2e-4) << c.name << " column " << col;
        EXPECT_NEAR(xyz->Z, expected[2 * 3 + col], 2e-4) << c.name << " column " << col;
    }

    for (const uint32_t tag : {sig("rTRC"), sig("gTRC"), sig("bTRC")}) {
        const auto* curve = static_cast<const ToneCurve*>(loadTag(p.get(), tag));
        ASSERT_NE(curve, nullptr);
        for (double x : {0.0, 0.01, 0.03, 0.05, 0.08, 0.1, 0.25, 0.5, 0.75, 1.0}) {
            const double want = c.gamma > 0 ? std::pow(x, c.gamma) : c.decode(x);
            EXPECT_NEAR(evalCurveFloat(curve, float(x)), want, 1e-4) << c.name << " at " << x;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builtins, RgbBuiltinTest, ::testing::ValuesIn(RgbCases),
                         [](const ::testing::TestParamInfo<RgbCase>& info) {
                             return std::string(info.param.name + 1);
                         });

// The two-piece curves: continuous and never falling, at full 16-bit
// resolution as the engine tabulates them and in float, and the lightness of
// dark greys through a whole transform as the published curve gives it.
TEST(BuiltinSpacesTest, TwoPieceCurvesAreContinuousAndRising)
{
    const struct { const char* name; double (*decode)(double); double joint; } table[] = {
        {"*srgb", srgbDecode, 0.04045},
        {"*prophoto", rommDecode, 1.0 / 32.0},
        {"*bt2020", bt2020Decode, 4.5 * 0.018053968510807},
    };
    for (const auto& row : table) {
        ProfilePtr p = adoptProfile(openProfileByName(QString::fromLatin1(row.name)));
        ASSERT_TRUE(p) << row.name;
        const auto* curve = static_cast<const ToneCurve*>(loadTag(p.get(), sig("rTRC")));
        ASSERT_NE(curve, nullptr);
        const float below = evalCurveFloat(curve, float(row.joint * (1 - 1e-6)));
        const float above = evalCurveFloat(curve, float(row.joint * (1 + 1e-6)));
        EXPECT_NEAR(below, above, 1e-6) << row.name;
        EXPECT_NEAR(above, row.decode(row.joint), 1e-6) << row.name;
        uint16_t last = 0;
        float lastFloat = 0;
        for (uint32_t v = 0; v <= 0xFFFF; ++v) {
            const uint16_t y = evalCurve16(curve, uint16_t(v));
            const float yf = evalCurveFloat(curve, float(v / 65535.0));
            ASSERT_GE(y, last) << row.name << " at " << v;
            ASSERT_GE(yf, lastFloat) << row.name << " at " << v;
            last = y;
            lastFloat = yf;
        }
    }

    // Greys through the profile into Lab: 8-bit grey 5 in BT.2020 is L* 3.94.
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    const struct { const char* name; uint16_t grey; } greys[] = {
        {"*bt2020", 5 * 257}, {"*bt2020", 20 * 257}, {"*bt2020", 21 * 257}, {"*bt2020", 128 * 257},
        {"*prophoto", 64}, {"*prophoto", 127}, {"*prophoto", 2047}, {"*prophoto", 2048}, {"*prophoto", 40000},
    };
    for (const auto& row : greys) {
        ProfilePtr p = adoptProfile(openProfileByName(QString::fromLatin1(row.name)));
        std::unique_ptr<Transform, decltype(&deleteTransform)> t{
            createTransform(p.get(), FormatRgb16, lab.get(), FormatLabDouble, IntentRelativeColorimetric,
                            XformNoOptimise),
            &deleteTransform};
        ASSERT_TRUE(t);
        const uint16_t in[3] = {row.grey, row.grey, row.grey};
        double out[3];
        doTransform(t.get(), in, out, 1);
        EXPECT_NEAR(out[0], lstarOfY(std::string(row.name) == "*bt2020" ? bt2020Decode(row.grey / 65535.0)
                                                                         : rommDecode(row.grey / 65535.0)),
                    0.01)
            << row.name << " grey " << row.grey;
    }
    ProfilePtr bt2020 = adoptProfile(openProfileByName(QStringLiteral("*bt2020")));
    std::unique_ptr<Transform, decltype(&deleteTransform)> t8{
        createTransform(bt2020.get(), FormatRgb8, lab.get(), FormatLabDouble, IntentRelativeColorimetric, 0),
        &deleteTransform};
    ASSERT_TRUE(t8);
    const uint8_t grey5[3] = {5, 5, 5};
    double out[3];
    doTransform(t8.get(), grey5, out, 1);
    EXPECT_NEAR(out[0], 3.94, 0.01);
}

TEST(BuiltinSpacesTest, GraySpaces)
{
    const struct { const char* name; double gamma; const char* description; } table[] = {
        {"*gray10", 1.0, "Gray color space (gamma 1.0)"},
        {"*gray18", 1.8, "Gray color space (gamma 1.8)"},
        {"*gray22", 2.2, "Gray color space (gamma 2.2)"},
        {"*gray30", 3.0, "Gray color space (gamma 3.0)"},
    };
    for (const auto& row : table) {
        ProfilePtr p = adoptProfile(openProfileByName(QString::fromLatin1(row.name)));
        ASSERT_TRUE(p) << row.name;
        EXPECT_EQ(profileColorSpace(p.get()), SpaceGray);
        EXPECT_EQ(textOf(p.get(), InfoDescription), row.description);
        EXPECT_EQ(textOf(p.get(), InfoCopyright), Copyright);
        EXPECT_NEAR(versionAsNumber(p.get()), 4.4, 1e-9);
        const auto* white = static_cast<const CieXyz*>(loadTag(p.get(), sig("wtpt")));
        ASSERT_NE(white, nullptr);
        EXPECT_NEAR(white->X, 0.9642, 1e-4);
        EXPECT_NEAR(white->Z, 0.8249, 1e-4);
        const auto* curve = static_cast<const ToneCurve*>(loadTag(p.get(), sig("kTRC")));
        ASSERT_NE(curve, nullptr);
        EXPECT_NEAR(evalCurveFloat(curve, 0.5f), std::pow(0.5, row.gamma), 1e-4) << row.name;
    }
}

TEST(BuiltinSpacesTest, LabIdentity)
{
    ProfilePtr p = adoptProfile(openProfileByName(QStringLiteral("*lab")));
    ASSERT_TRUE(p);
    EXPECT_EQ(profileDeviceClass(p.get()), ClassAbstract);
    EXPECT_EQ(profileColorSpace(p.get()), SpaceLab);
    EXPECT_EQ(profilePcs(p.get()), SpaceLab);
    EXPECT_NEAR(versionAsNumber(p.get()), 4.4, 1e-9);
    EXPECT_EQ(textOf(p.get(), InfoDescription), "CIE L*a*b* color space");
    EXPECT_EQ(textOf(p.get(), InfoCopyright), Copyright);
    const auto* a2b0 = static_cast<const Pipeline*>(loadTag(p.get(), sig("A2B0")));
    ASSERT_NE(a2b0, nullptr);
    const float in[3] = {0.3f, 0.6f, 0.2f};
    float out[3];
    evalPipelineFloat(in, out, a2b0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[i], in[i], 1e-6);
}

TEST(BuiltinSpacesTest, SiblingsDifferOnlyWhereTheTableSays)
{
    ProfilePtr argb = adoptProfile(openProfileByName(QStringLiteral("*argb")));
    ProfilePtr oprgb = adoptProfile(openProfileByName(QStringLiteral("*oprgb")));
    ProfilePtr argblin = adoptProfile(openProfileByName(QStringLiteral("*argblin")));
    ASSERT_TRUE(argb && oprgb && argblin);
    for (const uint32_t tag : {sig("rXYZ"), sig("gXYZ"), sig("bXYZ")}) {
        const auto* a = static_cast<const CieXyz*>(loadTag(argb.get(), tag));
        const auto* b = static_cast<const CieXyz*>(loadTag(oprgb.get(), tag));
        const auto* c = static_cast<const CieXyz*>(loadTag(argblin.get(), tag));
        ASSERT_TRUE(a && b && c);
        EXPECT_EQ(a->X, b->X);
        EXPECT_EQ(a->Y, c->Y);
        EXPECT_EQ(a->Z, c->Z);
    }
    const auto* ca = static_cast<const ToneCurve*>(loadTag(argb.get(), sig("rTRC")));
    const auto* cb = static_cast<const ToneCurve*>(loadTag(oprgb.get(), sig("rTRC")));
    const auto* cl = static_cast<const ToneCurve*>(loadTag(argblin.get(), sig("rTRC")));
    ASSERT_TRUE(ca && cb && cl);
    EXPECT_EQ(evalCurveFloat(ca, 0.3f), evalCurveFloat(cb, 0.3f));
    EXPECT_NEAR(evalCurveFloat(cl, 0.3f), 0.3f, 1e-6);
    EXPECT_NE(textOf(argb.get(), InfoDescription), textOf(oprgb.get(), InfoDescription));
}

TEST(BuiltinSpacesTest, NamesAreExact)
{
    EXPECT_EQ(BuiltinSpaces::selectorNames().size(), 18);
    for (const char* name : {"*SRGB", "*Lab", "srgb", "*srgb ", "*lab4", "*bypass", "*"})
        EXPECT_EQ(openProfileByName(QString::fromLatin1(name)), nullptr) << name;
    // No profile data is shipped for the resource, so "*swop" yields nothing.
    EXPECT_EQ(openProfileByName(QStringLiteral("*swop")), nullptr);
    for (const QString& name : BuiltinSpaces::selectorNames()) {
        if (name == QLatin1String("*swop")) continue;
        ProfilePtr p = adoptProfile(openProfileByName(name));
        EXPECT_TRUE(p) << name.toStdString();
    }
}

TEST(BuiltinSpacesTest, BuiltinsAreMadeAfresh)
{
    ProfilePtr a = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ProfilePtr b = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

TEST(BuiltinSpacesTest, OpensProfileFiles)
{
    const char* files[] = {"/usr/share/color/icc/ghostscript/default_cmyk.icc",
                           "/usr/share/color/argyll/ref/ClayRGB1998.icm"};
    for (const char* f : files) {
        ASSERT_TRUE(QFile::exists(QString::fromLatin1(f))) << f << " is missing";
        ProfilePtr byName = adoptProfile(openProfileByName(QString::fromLatin1(f)));
        ProfilePtr byFile = adoptProfile(openProfileFile(QString::fromLatin1(f)));
        EXPECT_TRUE(byName) << f;
        EXPECT_TRUE(byFile) << f;
    }
}

TEST(BuiltinSpacesTest, BadFilesGiveNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile source(QStringLiteral("/usr/share/color/icc/ghostscript/default_cmyk.icc"));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    const struct { const char* name; QByteArray content; } table[] = {
        {"empty.icc", QByteArray()},
        {"text.icc", QByteArray("this is not a profile")},
        {"header.icc", bytes.left(128)},
        {"truncated.icc", bytes.left(bytes.size() / 2)},
    };
    for (const auto& row : table) {
        const QString path = dir.filePath(QString::fromLatin1(row.name));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(row.content);
        f.close();
        ProfilePtr p = adoptProfile(openProfileFile(path));
        if (p) {
            // A profile cut short may open (tags are read lazily) but its
            // tables must not read past the end.
            loadTag(p.get(), sig("A2B0"));
            loadTag(p.get(), sig("B2A0"));
        }
        SUCCEED() << row.name;
    }
    EXPECT_EQ(openProfileFile(dir.filePath(QStringLiteral("missing.icc"))), nullptr);
    EXPECT_EQ(openProfileFile(QString()), nullptr);
    EXPECT_EQ(openProfileFile(dir.path()), nullptr);   // a folder
}

// ---------------------------------------------------------------------------
// The display's profile
// ---------------------------------------------------------------------------

TEST(BuiltinSpacesTest, MonitorProfileFallsBackToSrgb)
{
    const QByteArray saved = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    EXPECT_TRUE(displayProfileData().isEmpty());
    ProfilePtr p = adoptProfile(monitorProfile());
    if (!saved.isEmpty()) qputenv("DISPLAY", saved);
    ASSERT_TRUE(p);
    EXPECT_EQ(profileColorSpace(p.get()), SpaceRgb);
    EXPECT_EQ(textOf(p.get(), InfoDescription), "sRGB built-in");   // the engine's own sRGB
}

TEST(BuiltinSpacesTest, MonitorProfileFromWindowSystemData)
{
    QFile file(QStringLiteral("/usr/share/color/argyll/ref/ClayRGB1998.icm"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ProfilePtr p = adoptProfile(monitorProfileFromData(file.readAll()));
    ASSERT_TRUE(p);
    EXPECT_EQ(profileColorSpace(p.get()), SpaceRgb);
    EXPECT_EQ(monitorProfileFromData(QByteArray("garbage that is no profile")), nullptr);
}

}   // namespace
