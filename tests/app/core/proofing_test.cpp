// Proofing: the stored settings, the preview's chain, CIEDE2000 and the
// difference tables against colours sent through the engine one by one.
#include "app/core/proofing.h"

#include "profiles/core/builtinspaces.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include <array>
#include <cmath>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

ProfilePtr openPress()
{
    ProfilePtr press(openProfileByName(QString::fromLatin1(PressProfile)), &closeProfile);
    EXPECT_TRUE(press) << PressProfile << " is missing";
    return press;
}

// The slow reference: one colour at a time through fresh, unoptimised
// transforms, the result's Lab and its Lab after a 16-bit trip through the
// press (relative colorimetric both ways).
struct TripReference {
    CieLab result;
    CieLab back;
};

TripReference tripOf(IccProfile* srgb, IccProfile* press, const std::array<uint8_t, 3>& rgb)
{
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    constexpr uint32_t Exact = XformNoOptimise | XformNoCache;
    TransformPtr toLab(createTransform(srgb, FormatRgb8, lab.get(), FormatLabDouble, IntentPerceptual, Exact),
                       &deleteTransform);
    TransformPtr toInk(createTransform(lab.get(), FormatLabDouble, press, FormatCmyk16, IntentRelativeColorimetric,
                                       Exact),
                       &deleteTransform);
    TransformPtr fromInk(createTransform(press, FormatCmyk16, lab.get(), FormatLabDouble, IntentRelativeColorimetric,
                                         Exact),
                         &deleteTransform);
    TripReference r{};
    uint16_t ink[4] = {};
    doTransform(toLab.get(), rgb.data(), &r.result, 1);
    doTransform(toInk.get(), &r.result, ink, 1);
    doTransform(fromInk.get(), ink, &r.back, 1);
    return r;
}

}   // namespace

// Pairs and differences from Sharma, Wu and Dalal (2005), table 1.
TEST(Proofing, deltaE2000MatchesThePublishedPairs)
{
    struct Pair {
        CieLab a, b;
        double expected;
    };
    const Pair pairs[] = {
        {{50, 2.6772, -79.7751}, {50, 0, -82.7485}, 2.0425},
        {{50, 3.1571, -77.2803}, {50, 0, -82.7485}, 2.8615},
        {{50, 2.8361, -74.0200}, {50, 0, -82.7485}, 3.4412},
        {{50, -1.3802, -84.2814}, {50, 0, -82.7485}, 1.0000},
        {{50, 0, 0}, {50, -1, 2}, 2.3669},
        {{50, 2.49, -0.001}, {50, -2.49, 0.0009}, 7.1792},
        {{50, -0.001, 2.49}, {50, 0.0009, -2.49}, 4.8045},
        {{50, 2.5, 0}, {73, 25, -18}, 27.1492},
        {{50, 2.5, 0}, {50, 3.1736, 0.5854}, 1.0000},
        {{60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}, 1.2644},
        {{22.7233, 20.0904, -46.6940}, {23.0331, 14.9730, -42.5619}, 2.0373},
    };
    for (const Pair& p : pairs) {
        EXPECT_NEAR(deltaE2000(p.a, p.b), p.expected, 5e-5) << p.a.L << " " << p.a.a << " " << p.a.b;
        EXPECT_NEAR(deltaE2000(p.b, p.a), p.expected, 5e-5);
    }
}

TEST(Proofing, settingsPersistAndFallBackToTheTabsOutputProfile)
{
    QTemporaryDir dir;
    QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);

    const ProofSettings none = ProofSettings::read(settings);
    EXPECT_FALSE(none.enabled);
    EXPECT_EQ(none.gamutTolerance, 2.0);
    EXPECT_EQ(none.warningColour, 0xFF00FFu);

    const ProofSettings fallback = ProofSettings::read(settings, PressProfile);
    EXPECT_TRUE(fallback.enabled);
    EXPECT_EQ(fallback.profile, PressProfile);

    ProofSettings chosen;
    chosen.enabled = true;
    chosen.profile = "*srgb";
    chosen.intent = ProofIntent::Saturation;
    chosen.simulatePaper = true;
    chosen.gamutWarning = true;
    chosen.gamutTolerance = 3.5;
    chosen.warningColour = 0x00FF00;
    chosen.write(settings);
    EXPECT_EQ(ProofSettings::read(settings, PressProfile), chosen);

    settings.setValue("proofing/intent", 9);
    settings.setValue("proofing/gamut_tolerance", -1);
    const ProofSettings clamped = ProofSettings::read(settings);
    EXPECT_EQ(clamped.intent, ProofIntent::Saturation);
    EXPECT_GT(clamped.gamutTolerance, 0.0);
}

TEST(Proofing, thePreviewChainGoesThroughTheProofWithItsIntents)
{
    IccProfile* const image = reinterpret_cast<IccProfile*>(1);
    IccProfile* const look = reinterpret_cast<IccProfile*>(2);
    IccProfile* const proof = reinterpret_cast<IccProfile*>(3);
    IccProfile* const display = reinterpret_cast<IccProfile*>(4);
    ProofSettings s;

    EXPECT_EQ(previewChain(image, nullptr, nullptr, s, display).size(), 2u);
    EXPECT_EQ(previewChain(image, look, nullptr, s, display).size(), 3u);

    struct Case {
        ProofIntent intent;
        bool paper;
        uint32_t into, back;
        bool bpc;
    };
    const Case cases[] = {
        {ProofIntent::Perceptual, false, IntentPerceptual, IntentRelativeColorimetric, false},
        {ProofIntent::RelativeColorimetric, false, IntentRelativeColorimetric, IntentRelativeColorimetric, false},
        {ProofIntent::RelativeWithBlackPoint, false, IntentRelativeColorimetric, IntentRelativeColorimetric, true},
        {ProofIntent::Saturation, true, IntentSaturation, IntentAbsoluteColorimetric, false},
    };
    for (const Case& c : cases) {
        s.intent = c.intent;
        s.simulatePaper = c.paper;
        const ProfileChain chain = previewChain(image, look, proof, s, display);
        ASSERT_EQ(chain.size(), 5u);
        EXPECT_EQ(chain[2].profile, proof);
        EXPECT_EQ(chain[2].intent, c.into);
        EXPECT_EQ(chain[2].blackPointCompensation, c.bpc);
        EXPECT_EQ(chain[3].profile, proof);
        EXPECT_EQ(chain[3].intent, c.back);
        EXPECT_EQ(chain[4].profile, display);
        EXPECT_EQ(chain[4].intent, c.back);
    }
}

// The table over sRGB against the one-by-one trip on a grid of colours that
// falls between the table's nodes: colours clearly inside the press's gamut
// stay under the tolerance, colours clearly outside go over it, and the
// measured distance follows the reference closely away from the gamut's edge.
TEST(Proofing, theGamutTableAgreesWithTheRoundTripColourByColour)
{
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    ProfilePtr press = openPress();
    ASSERT_TRUE(press);
    const ProofSettings settings;
    const DifferenceTable table = DifferenceTable::make(Difference::GamutDistance, {{srgb.get(), 0, false}},
                                                        press.get(), settings, FormatRgb8, 33);
    ASSERT_FALSE(table.isNull());

    int inside = 0, outside = 0, wrong = 0;
    for (int r = 5; r < 256; r += 25)
        for (int g = 5; g < 256; g += 25)
            for (int b = 5; b < 256; b += 25) {
                const std::array<uint8_t, 3> rgb{uint8_t(r), uint8_t(g), uint8_t(b)};
                const TripReference ref = tripOf(srgb.get(), press.get(), rgb);
                const double exact = deltaE76(ref.result, ref.back);
                float measured = -1;
                table.measure(rgb.data(), 1, &measured);
                if (exact < 1.0) {
                    ++inside;
                    wrong += measured > settings.gamutTolerance;
                } else if (exact > 4.0) {
                    ++outside;
                    wrong += measured <= settings.gamutTolerance;
                }
            }
    EXPECT_GT(inside, 100);
    EXPECT_GT(outside, 100);
    EXPECT_LE(wrong, (inside + outside) / 100) << inside << " inside, " << outside << " outside";
}

// Look strength without a look is nothing; proof error through sRGB of sRGB
// colours is nothing either, and through the press it is what the trip gives.
TEST(Proofing, strengthAndProofErrorMeasureTheRightPairs)
{
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    ProfilePtr press = openPress();
    ASSERT_TRUE(press);
    ProofSettings settings;
    settings.intent = ProofIntent::RelativeColorimetric;
    const ProfileChain image{{srgb.get(), 0, false}};
    const uint8_t colours[][3] = {{30, 40, 50}, {200, 100, 20}, {128, 128, 128}, {250, 240, 10}};

    const DifferenceTable strength =
        DifferenceTable::make(Difference::LookStrength, image, nullptr, settings, FormatRgb8, 17);
    const DifferenceTable selfProof =
        DifferenceTable::make(Difference::ProofError, image, srgb.get(), settings, FormatRgb8, 17);
    const DifferenceTable pressProof =
        DifferenceTable::make(Difference::ProofError, image, press.get(), settings, FormatRgb8, 33);
    ASSERT_FALSE(strength.isNull());
    ASSERT_FALSE(selfProof.isNull());
    ASSERT_FALSE(pressProof.isNull());
    for (const auto& c : colours) {
        float d[3] = {};
        strength.measure(c, 1, &d[0]);
        selfProof.measure(c, 1, &d[1]);
        pressProof.measure(c, 1, &d[2]);
        EXPECT_LT(d[0], 0.01);
        EXPECT_LT(d[1], 0.05);
        const TripReference ref = tripOf(srgb.get(), press.get(), {c[0], c[1], c[2]});
        EXPECT_NEAR(d[2], deltaE2000(ref.result, ref.back), 0.5) << int(c[0]) << "," << int(c[1]) << "," << int(c[2]);
    }
    // A layout with an alpha byte measures the same colours.
    const uint8_t bgra[] = {50, 40, 30, 255, 20, 100, 200, 0};
    float withAlpha[2] = {};
    pressProof.measure(bgra, 0, withAlpha);
    const DifferenceTable bgraTable =
        DifferenceTable::make(Difference::ProofError, image, press.get(), settings, FormatBgra8, 33);
    ASSERT_FALSE(bgraTable.isNull());
    bgraTable.measure(bgra, 2, withAlpha);
    float plain[2] = {};
    pressProof.measure(colours[0], 1, &plain[0]);
    pressProof.measure(colours[1], 1, &plain[1]);
    EXPECT_FLOAT_EQ(withAlpha[0], plain[0]);
    EXPECT_FLOAT_EQ(withAlpha[1], plain[1]);
}

TEST(Proofing, tablesRefuseWhatTheyCannotMeasure)
{
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    const ProofSettings s;
    EXPECT_TRUE(DifferenceTable::make(Difference::GamutDistance, {{srgb.get(), 0, false}}, nullptr, s, FormatRgb8, 17)
                    .isNull());
    EXPECT_TRUE(DifferenceTable::make(Difference::LookStrength, {}, nullptr, s, FormatRgb8, 17).isNull());
    EXPECT_TRUE(DifferenceTable::make(Difference::LookStrength, {{srgb.get(), 0, false}}, nullptr, s, FormatGray8, 17)
                    .isNull());
    EXPECT_TRUE(DifferenceTable::make(Difference::LookStrength, {{srgb.get(), 0, false}}, nullptr, s, FormatRgb8, 1)
                    .isNull());
}

TEST(Proofing, theMapColoursRunThroughTheStops)
{
    struct Case {
        double deltaE;
        uint32_t rgb;
    };
    const Case cases[] = {{-1, 0x101040}, {0, 0x101040}, {0.5, 0x1838A0 /* halfway 0x10..0x20, 0x10..0x60, 0x40..0xFF */},
                          {2, 0x00C8FF}, {3, 0x10D4A0 /* halfway 0x00..0x20, 0xC8..0xE0, 0xFF..0x40 */},
                          {16, 0xFF2000}, {99, 0xFF2000}};
    for (const Case& c : cases) EXPECT_EQ(differenceColour(c.deltaE), c.rgb) << c.deltaE;
}
