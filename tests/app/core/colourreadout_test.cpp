// The colour readout against the engine's transforms of the same pixel made
// one by one, and the pinned samplers.
#include "app/core/colourreadout.h"

#include "profiles/core/builtinspaces.h"

#include <gtest/gtest.h>

#include <array>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

CieLab labOf(IccProfile* from, const uint16_t rgb[3])
{
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    TransformPtr t(createTransform(from, FormatRgb16, lab.get(), FormatLabDouble, IntentPerceptual, XformNoOptimise),
                   &deleteTransform);
    CieLab out{};
    doTransform(t.get(), rgb, &out, 1);
    return out;
}

void expectLab(const CieLab& a, const CieLab& b, double tolerance)
{
    EXPECT_NEAR(a.L, b.L, tolerance);
    EXPECT_NEAR(a.a, b.a, tolerance);
    EXPECT_NEAR(a.b, b.b, tolerance);
}

}   // namespace

// Without a look, before and after are the image's Lab; the proof's device
// values are the engine's sRGB → press transform (relative colorimetric with
// black-point compensation, the default proof intent) in percent.
TEST(ColourReadout, readsWhatTheEngineMakesOfThePixel)
{
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    ProfilePtr press(openProfileByName(PressProfile), &closeProfile);
    ASSERT_TRUE(press) << PressProfile << " is missing";
    const ProofSettings settings;
    const ReadoutModel model = ReadoutModel::make(srgb.get(), nullptr, press.get(), settings, {}, FormatRgb16);
    ASSERT_FALSE(model.isNull());
    TransformPtr toInk(createTransform(srgb.get(), FormatRgb16, press.get(), FormatCmykDouble,
                                       IntentRelativeColorimetric, XformBlackPointCompensation | XformNoOptimise),
                       &deleteTransform);
    const std::array<uint16_t, 3> pixels[] = {{0, 0, 65535}, {30000, 40000, 50000}, {65535, 65535, 65535}, {0, 0, 0}};
    for (const auto& p : pixels) {
        const PixelReadout r = model.read(p.data(), {p[0] / 257, p[1] / 257, p[2] / 257});
        const CieLab expected = labOf(srgb.get(), p.data());
        expectLab(r.before, expected, 1e-6);
        expectLab(r.after, expected, 1e-6);
        EXPECT_NEAR(r.deltaE00, 0.0, 1e-9);
        EXPECT_EQ(r.deviceSpace, uint32_t(PixelCmyk));
        double ink[4] = {};
        doTransform(toInk.get(), p.data(), ink, 1);
        ASSERT_EQ(r.device.size(), 4u);
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(r.device[size_t(c)], ink[c], 1e-6);
        EXPECT_NEAR(r.totalInk, ink[0] + ink[1] + ink[2] + ink[3], 1e-6);
        EXPECT_FALSE(r.cam16);
        EXPECT_TRUE(readoutText(r).contains(QStringLiteral("CMYK")));
    }
}

// Through a look (a Lab link squaring L*/100, a* and b* kept) the result
// is that of the image's Lab, and ΔE00 is CIEDE2000 of the two; CAM16 of
// white under a D50 white is J 100 and no chroma.
TEST(ColourReadout, afterTheLookAndInCam16)
{
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    CurvePtr square = adoptCurve(buildGammaCurve(nullptr, 2.0));
    CurvePtr same = adoptCurve(buildGammaCurve(nullptr, 1.0));
    const ToneCurve* curves[3] = {square.get(), same.get(), same.get()};
    ProfilePtr look(createLinearizationLink(nullptr, SpaceLab, curves), &closeProfile);
    ASSERT_TRUE(look);
    const Cam16Conditions d50{96.42, 100, 82.49, 20, 64, 2, 1};   // illuminant discounted
    const ReadoutModel model = ReadoutModel::make(srgb.get(), look.get(), nullptr, ProofSettings(), d50, FormatRgb16);
    ASSERT_FALSE(model.isNull());

    const uint16_t orange[3] = {60000, 30000, 10000};
    const PixelReadout r = model.read(orange, {233, 117, 39});
    const CieLab before = labOf(srgb.get(), orange);
    expectLab(r.before, before, 1e-6);
    expectLab(r.after, CieLab{before.L * before.L / 100.0, before.a, before.b}, 0.05);
    EXPECT_NEAR(r.deltaE00, deltaE2000(r.before, r.after), 1e-9);
    EXPECT_GT(r.deltaE00, 5.0);
    EXPECT_TRUE(r.device.empty());
    EXPECT_EQ(r.imageValues, (std::vector<int>{233, 117, 39}));

    const uint16_t white[3] = {65535, 65535, 65535};
    const PixelReadout w = model.read(white, {255, 255, 255});
    ASSERT_TRUE(w.cam16);
    EXPECT_NEAR(w.cam16->J, 100.0, 0.05);
    EXPECT_LT(w.cam16->C, 1.0);
}

TEST(ColourReadout, samplersPinUpToFourAndGoByTheNearest)
{
    SamplerList list;
    EXPECT_TRUE(list.pin({10, 10}));
    EXPECT_FALSE(list.pin({10, 10}));
    EXPECT_TRUE(list.pin({20, 10}));
    EXPECT_TRUE(list.pin({30, 10}));
    EXPECT_TRUE(list.pin({40, 10}));
    EXPECT_FALSE(list.pin({50, 10}));
    EXPECT_EQ(list.positions().size(), 4);

    EXPECT_FALSE(list.removeNear({25, 30}, 5));    // 20 away from the nearest
    EXPECT_TRUE(list.removeNear({22, 12}, 5));     // nearest is (20, 10)
    EXPECT_EQ(list.positions(), (QList<QPoint>{{10, 10}, {30, 10}, {40, 10}}));
    EXPECT_TRUE(list.pin({50, 10}));
    EXPECT_EQ(list.positions().back(), QPoint(50, 10));
}
