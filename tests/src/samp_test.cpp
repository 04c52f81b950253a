// Black points: the least-squares root, the colorimetric and perceptual
// blacks, and the round-trip estimate of output profiles against a fit
// written out here.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

const std::string PressProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

ProfilePtr open(const std::string& path)
{
    EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing";
    return ProfilePtr(openFromFile(nullptr, path.c_str(), "r"), &closeProfile);
}

double lightness(const CieXyz& xyz)
{
    return xyzToLab(nullptr, xyz).L;
}

// ---------------------------------------------------------------------------
// The fit
// ---------------------------------------------------------------------------

TEST(BlackPointFit, FindsTheRootOfLinesAndParabolas)
{
    // y = (x - 10) / 90: c2 = 0, root 10.
    std::vector<double> x, y;
    for (int i = 20; i < 60; i += 5) {
        x.push_back(i);
        y.push_back((i - 10) / 90.0);
    }
    EXPECT_NEAR(blackPointFitRoot(x.data(), y.data(), uint32_t(x.size())), 10.0, 1e-6);

    // y = (x - 5)(x + 3) / 2000: the larger root.
    x.clear();
    y.clear();
    for (int i = 10; i < 40; i += 3) {
        x.push_back(i);
        y.push_back((i - 5.0) * (i + 3.0) / 2000.0);
    }
    EXPECT_NEAR(blackPointFitRoot(x.data(), y.data(), uint32_t(x.size())), 5.0, 1e-6);

    // Three points are too few; a parabola above the axis has no root.
    EXPECT_EQ(blackPointFitRoot(x.data(), y.data(), 3), 0.0);
    for (double& v : y) v = 1.0 + v;
    EXPECT_EQ(blackPointFitRoot(x.data(), y.data(), uint32_t(x.size())), 0.0);
}

// ---------------------------------------------------------------------------
// Which profiles have a black point
// ---------------------------------------------------------------------------

TEST(BlackPoints, LinksAbstractsAndAbsoluteHaveNone)
{
    ProfilePtr lab(createLabIdentityProfile(nullptr), &closeProfile);
    ProfilePtr press = open(PressProfile);
    ASSERT_TRUE(lab && press);
    CieXyz black{1, 1, 1};
    EXPECT_FALSE(sourceBlackPoint(&black, lab.get(), 1));
    EXPECT_EQ(black.Y, 0.0);
    black = CieXyz{1, 1, 1};
    EXPECT_FALSE(destinationBlackPoint(&black, lab.get(), 0));
    EXPECT_EQ(black.X, 0.0);
    EXPECT_FALSE(sourceBlackPoint(&black, press.get(), IntentAbsoluteColorimetric));
    EXPECT_FALSE(destinationBlackPoint(&black, press.get(), IntentAbsoluteColorimetric));
}

TEST(BlackPoints, MatrixShapersAreBlackAtZero)
{
    for (const char* path : {"/usr/share/color/icc/colord/sRGB.icc", "/usr/share/color/icc/ghostscript/sgray.icc"}) {
        ProfilePtr p = open(path);
        ASSERT_TRUE(p) << path;
        for (uint32_t intent = 0; intent <= 2; ++intent) {
            CieXyz s, d;
            ASSERT_TRUE(sourceBlackPoint(&s, p.get(), intent)) << path;
            ASSERT_TRUE(destinationBlackPoint(&d, p.get(), intent)) << path;
            EXPECT_NEAR(s.Y, 0.0, 1e-6) << path;
            EXPECT_NEAR(d.Y, 0.0, 1e-6) << path;
        }
    }
}

TEST(BlackPoints, Version4TablesUseTheFixedPerceptualBlack)
{
    ProfilePtr p = open("/usr/share/color/icc/ghostscript/ps_cmyk.icc");
    ASSERT_TRUE(p);
    ASSERT_GE(versionAsNumber(p.get()), 4.0);
    for (uint32_t intent : {0u, 2u}) {
        CieXyz black;
        ASSERT_TRUE(destinationBlackPoint(&black, p.get(), intent));
        EXPECT_EQ(black.X, 0.00336);
        EXPECT_EQ(black.Y, 0.0034731);
        EXPECT_EQ(black.Z, 0.00287);
    }
}

// ---------------------------------------------------------------------------
// The press profile
// ---------------------------------------------------------------------------

// Lab → press (intent) → press (relative) → Lab, built here from the public
// transform calls.
std::vector<double> roundTripLightness(IccProfile* press, uint32_t intent, const std::vector<double>& lightnesses)
{
    ProfilePtr lab(createLabIdentityProfile(nullptr), &closeProfile);
    IccProfile* const chain[4] = {lab.get(), press, press, lab.get()};
    const uint32_t intents[4] = {1, intent, 1, 1};
    const bool bpc[4] = {false, false, false, false};
    const double states[4] = {1, 1, 1, 1};
    TransformPtr t(createTransformExtended(nullptr, 4, chain, bpc, intents, states, nullptr, 0, FormatLabDouble,
                                           FormatLabDouble, XformNoOptimise | XformNoCache),
                   &deleteTransform);
    std::vector<double> out;
    for (double l : lightnesses) {
        const double in[3] = {l, 0, 0};
        double back[3];
        doTransform(t.get(), in, back, 1);
        out.push_back(back[0]);
    }
    return out;
}

TEST(BlackPoints, ThePressBlackIsTheDarkestNeutralItPrints)
{
    ProfilePtr press = open(PressProfile);
    ASSERT_TRUE(press);
    // Relative colorimetric on a CMYK printer: black through the perceptual
    // tables and back, made neutral.
    CieXyz black;
    ASSERT_TRUE(sourceBlackPoint(&black, press.get(), IntentRelativeColorimetric));
    const CieLab lab = xyzToLab(nullptr, black);
    const double expected = roundTripLightness(press.get(), IntentPerceptual, {0.0})[0];
    EXPECT_NEAR(lab.L, std::min(expected, 50.0), 1e-4);
    EXPECT_NEAR(lab.a, 0.0, 1e-9);
    EXPECT_NEAR(lab.b, 0.0, 1e-9);
    EXPECT_GT(lab.L, 5.0);

    // Its relative round trip is straight above the dark end, so the
    // destination black is the same.
    CieXyz destination;
    ASSERT_TRUE(destinationBlackPoint(&destination, press.get(), IntentRelativeColorimetric));
    EXPECT_NEAR(lightness(destination), lab.L, 1e-6);
}

TEST(BlackPoints, PerceptualDestinationBlackIsFittedToTheDarkEnd)
{
    ProfilePtr press = open(PressProfile);
    ASSERT_TRUE(press);
    CieXyz black;
    ASSERT_TRUE(destinationBlackPoint(&black, press.get(), IntentPerceptual));

    // The same estimate written out: ramp, monotone from the top, normalise,
    // fit a parabola to 0.03 ≤ y < 0.25 with long doubles, take its root.
    std::vector<double> x(256);
    for (int i = 0; i < 256; ++i) x[i] = i * 100.0 / 255.0;
    std::vector<double> l = roundTripLightness(press.get(), IntentPerceptual, x);
    for (int i = 254; i >= 0; --i) l[i] = std::min(l[i], l[i + 1]);
    const double lo = l[0], hi = l[255];
    long double s[5] = {}, t[3] = {};
    int n = 0;
    for (int i = 0; i < 256; ++i) {
        const double y = (l[i] - lo) / (hi - lo);
        if (y < 0.03 || y >= 0.25) continue;
        long double p = 1;
        for (int k = 0; k < 5; ++k) {
            s[k] += p;
            if (k < 3) t[k] += p * y;
            p *= x[i];
        }
        ++n;
    }
    ASSERT_GE(n, 4);
    // Gaussian elimination on the 3 × 3 normal equations.
    long double a[3][4] = {{s[0], s[1], s[2], t[0]}, {s[1], s[2], s[3], t[1]}, {s[2], s[3], s[4], t[2]}};
    for (int c = 0; c < 3; ++c)
        for (int r = c + 1; r < 3; ++r) {
            const long double k = a[r][c] / a[c][c];
            for (int j = c; j < 4; ++j) a[r][j] -= k * a[c][j];
        }
    long double c2 = a[2][3] / a[2][2];
    long double c1 = (a[1][3] - a[1][2] * c2) / a[1][1];
    long double c0 = (a[0][3] - a[0][1] * c1 - a[0][2] * c2) / a[0][0];
    long double root = std::fabs(double(c2)) < 1e-10 ? -c0 / c1 : (-c1 + std::sqrt(c1 * c1 - 4 * c2 * c0)) / (2 * c2);
    root = std::clamp(root, 0.0L, 50.0L);
    EXPECT_NEAR(lightness(black), double(root), 1e-3);
    EXPECT_GT(lightness(black), 5.0);
}

} // namespace
