// XYZ/Lab/LCh conversions, the 16-bit encodings, ΔE and the a*/b* clamp.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

std::vector<std::pair<uint32_t, std::string>> reports;
void collect(EngineContext*, uint32_t code, const char* text)
{
    reports.emplace_back(code, text);
}

class Pcs : public ::testing::Test {
protected:
    void SetUp() override
    {
        reports.clear();
        setErrorHandler(collect);
    }
    void TearDown() override { setErrorHandler(nullptr); }
};

void expectLab(const CieLab& got, double L, double a, double b, double tol)
{
    EXPECT_NEAR(got.L, L, tol);
    EXPECT_NEAR(got.a, a, tol);
    EXPECT_NEAR(got.b, b, tol);
}

TEST_F(Pcs, D50IsLabWhiteBothWays)
{
    const CieXyz w = labToXyz(nullptr, CieLab{100, 0, 0});
    EXPECT_NEAR(w.X, 0.9642, 1e-12);
    EXPECT_NEAR(w.Y, 1.0, 1e-12);
    EXPECT_NEAR(w.Z, 0.8249, 1e-12);
    expectLab(xyzToLab(nullptr, D50), 100, 0, 0, 1e-12);
    // An explicit white behaves the same: that white is L* = 100.
    const CieXyz d65{0.9505, 1.0, 1.089};
    expectLab(xyzToLab(&d65, d65), 100, 0, 0, 1e-12);
}

TEST_F(Pcs, LightnessFollowsTheCieFormulaOnBothSidesOfTheKnee)
{
    // L* = 116·Y^(1/3) - 16 above (6/29)³; L* = (29/3)³·Y below it.
    struct Case { double Y, L; };
    const Case cases[] = {
        {0.5, 116.0 * std::cbrt(0.5) - 16.0},
        {0.18, 116.0 * std::cbrt(0.18) - 16.0},
        {0.008, 24389.0 / 27.0 * 0.008},
        {0.001, 24389.0 / 27.0 * 0.001},
        {0.0, 0.0},
    };
    for (const Case& c : cases) {
        const CieLab lab = xyzToLab(nullptr, CieXyz{c.Y * D50.X, c.Y, c.Y * D50.Z});
        expectLab(lab, c.L, 0, 0, 1e-9);
    }
    // Continuous across the knee.
    const double knee = 216.0 / 24389.0;
    const double below = xyzToLab(nullptr, CieXyz{0, knee * (1 - 1e-12), 0}).L;
    const double above = xyzToLab(nullptr, CieXyz{0, knee * (1 + 1e-12), 0}).L;
    EXPECT_NEAR(below, 8.0, 1e-8);
    EXPECT_NEAR(above, 8.0, 1e-8);
}

TEST_F(Pcs, FloatStageLabMatchesTheCieFormulaFarBeyondFloatPrecision)
{
    // The float stages' conversion uses its own cube root: against the CIE
    // formula with the library's, over ten decades and past white.
    const auto f = [](double t) { return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0; };
    for (double t = 1e-9; t < 40.0; t *= 1.0137) {
        const CieXyz xyz{t * D50.X, t * 0.5, t * 1.7 * D50.Z};
        const CieLab got = xyzToLabForFloat(xyz);
        const double fx = f(t), fy = f(t * 0.5), fz = f(t * 1.7);
        expectLab(got, 116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz), 1e-11 * std::max(1.0, fx));
    }
    EXPECT_TRUE(std::isnan(xyzToLabForFloat(CieXyz{NAN, 0.5, 0.5}).a));
    expectLab(xyzToLabForFloat(CieXyz{0, 0, 0}), 0, 0, 0, 1e-12);
}

TEST_F(Pcs, LabXyzRoundTripOverAGrid)
{
    for (double L = 0; L <= 100; L += 5)
        for (double a = -128; a <= 127; a += 17)
            for (double b = -128; b <= 127; b += 17) {
                const CieLab back = xyzToLab(nullptr, labToXyz(nullptr, CieLab{L, a, b}));
                expectLab(back, L, a, b, 1e-9);
            }
}

TEST_F(Pcs, XyYConversionsRoundTripAndHandleDegenerateInput)
{
    const CieXyY c = xyzToXyY(D50);
    EXPECT_NEAR(c.x, 0.9642 / 2.7891, 1e-12);
    EXPECT_NEAR(c.y, 1.0 / 2.7891, 1e-12);
    EXPECT_EQ(c.Y, 1.0);
    const CieXyz back = xyYToXyz(c);
    EXPECT_NEAR(back.X, D50.X, 1e-12);
    EXPECT_NEAR(back.Z, D50.Z, 1e-12);
    // No infinities from black or from y = 0.
    const CieXyY black = xyzToXyY(CieXyz{0, 0, 0});
    EXPECT_TRUE(std::isfinite(black.x) && std::isfinite(black.y));
    EXPECT_EQ(black.Y, 0);
    const CieXyz zero = xyYToXyz(CieXyY{0.3, 0, 1});
    EXPECT_EQ(zero.X, 0);
    EXPECT_EQ(zero.Z, 0);
}

TEST_F(Pcs, LchHueIsInDegreesFromZeroTo360)
{
    struct Case { CieLab lab; double C, h; };
    const Case cases[] = {
        {{50, 0, -10}, 10, 270}, {{50, 10, 0}, 10, 0},   {{50, 0, 10}, 10, 90},
        {{50, -10, 0}, 10, 180}, {{50, 3, 3}, std::sqrt(18.0), 45},
        {{50, 0, 0}, 0, 0},      {{50, -0.0, -0.0}, 0, 0}, {{50, -1, -0.0}, 1, 180},
    };
    for (const Case& c : cases) {
        const CieLch lch = labToLch(c.lab);
        EXPECT_EQ(lch.L, 50);
        EXPECT_NEAR(lch.C, c.C, 1e-12);
        EXPECT_NEAR(lch.h, c.h, 1e-12) << c.lab.a << " " << c.lab.b;
        EXPECT_GE(lch.h, 0);
        EXPECT_LT(lch.h, 360);
        expectLab(lchToLab(lch), c.lab.L, c.lab.a, c.lab.b, 1e-12);
    }
}

TEST_F(Pcs, Lab16EncodingsClampAndRound)
{
    struct Case { CieLab lab; uint16_t v4[3]; uint16_t v2[3]; };
    const Case cases[] = {
        {{100, 127, -128}, {65535, 65535, 0}, {65280, 65280, 0}},
        {{0, 0, 0}, {0, 32896, 32896}, {0, 32768, 32768}},
        {{100, 0, 0}, {65535, 32896, 32896}, {65280, 32768, 32768}},
        {{-5, -300, 300}, {0, 0, 65535}, {0, 0, 65535}},
        {{120, 128, 127.99609375}, {65535, 65535, 65535}, {65535, 65535, 65535}},
        {{100.390625, -127, 127.5}, {65535, 257, 65535}, {65535, 256, 65408}},
        {{NAN, NAN, NAN}, {0, 0, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        uint16_t w[3];
        labToLab16(c.lab, w);
        EXPECT_EQ(w[0], c.v4[0]);
        EXPECT_EQ(w[1], c.v4[1]);
        EXPECT_EQ(w[2], c.v4[2]);
        labToLab16V2(c.lab, w);
        EXPECT_EQ(w[0], c.v2[0]);
        EXPECT_EQ(w[1], c.v2[1]);
        EXPECT_EQ(w[2], c.v2[2]);
    }
    const uint16_t white4[3] = {65535, 32896, 32896}, white2[3] = {65280, 32768, 32768};
    expectLab(lab16ToLab(white4), 100, 0, 0, 1e-12);
    expectLab(lab16V2ToLab(white2), 100, 0, 0, 1e-12);
}

TEST_F(Pcs, EveryLab16WordRoundTrips)
{
    for (uint32_t w = 0; w <= 0xFFFF; ++w) {
        const uint16_t in[3] = {uint16_t(w), uint16_t(w), uint16_t(65535 - w)};
        uint16_t out[3];
        labToLab16(lab16ToLab(in), out);
        ASSERT_TRUE(out[0] == in[0] && out[1] == in[1] && out[2] == in[2]) << w;
        labToLab16V2(lab16V2ToLab(in), out);
        ASSERT_TRUE(out[0] == in[0] && out[1] == in[1] && out[2] == in[2]) << w;
    }
}

TEST_F(Pcs, Xyz16IsOnePointFifteenFixed)
{
    uint16_t w[3];
    xyzToXyz16(D50, w);   // 0.9642·32768 = 31595.1, 0.8249·32768 = 27030.3
    EXPECT_EQ(w[0], 31595);
    EXPECT_EQ(w[1], 32768);
    EXPECT_EQ(w[2], 27030);
    xyzToXyz16(CieXyz{2.5, 1.999969482421875, -1}, w);
    EXPECT_EQ(w[0], 65535);
    EXPECT_EQ(w[1], 65535);
    EXPECT_EQ(w[2], 0);
    xyzToXyz16(CieXyz{0.5, 0, 0.5}, w);   // no luminance: all zero
    EXPECT_EQ(w[0] | w[1] | w[2], 0);
    const uint16_t half[3] = {16384, 32768, 65535};
    const CieXyz x = xyz16ToXyz(half);
    EXPECT_EQ(x.X, 0.5);
    EXPECT_EQ(x.Y, 1.0);
    EXPECT_EQ(x.Z, 65535.0 / 32768.0);
}

TEST_F(Pcs, DeltaE76IsEuclidean)
{
    EXPECT_DOUBLE_EQ(deltaE76(CieLab{50, 0, 0}, CieLab{53, 4, 0}), 5.0);
    EXPECT_DOUBLE_EQ(deltaE76(CieLab{10, -2, 7}, CieLab{10, -2, 7}), 0.0);
    EXPECT_DOUBLE_EQ(deltaE76(CieLab{0, 1, 2}, CieLab{2, 2, 0}), 3.0);
}

struct ClampCase {
    CieLab in;
    double aMax, aMin, bMax, bMin;
    CieLab out;
};

TEST_F(Pcs, ClampMovesColoursOntoTheBoxAlongTheirHue)
{
    const ClampCase cases[] = {
        {{50, 100, 0}, 50, -50, 50, -50, {50, 50, 0}},        // sector 0..45
        {{50, 20, 10}, 50, -50, 50, -50, {50, 20, 10}},       // inside
        {{120, 20, 10}, 50, -50, 50, -50, {100, 20, 10}},     // L limited
        {{50, 0, -80}, 50, -50, 50, -50, {50, 0, -50}},       // a = 0
        {{50, 0, 80}, 50, -50, 50, -50, {50, 0, 50}},
        {{50, 60, 120}, 50, -50, 50, -50, {50, 25, 50}},      // 45..135
        {{50, -100, 40}, 50, -50, 50, -50, {50, -50, 20}},    // 135..225
        {{50, -30, -150}, 50, -50, 50, -50, {50, -10, -50}},  // 225..315
        {{50, 200, -100}, 50, -50, 50, -50, {50, 50, -25}},   // 315..360
        {{50, 200, 200}, 127, -128, 127, -128, {50, 127, 127}},
        // A box narrow in b: the diagonal rule alone would leave b = 101.6.
        {{50, 100, 80}, 127, -128, 20, -20, {50, 25, 20}},
    };
    for (const ClampCase& c : cases) {
        CieLab lab = c.in;
        EXPECT_TRUE(clampLabToBox(&lab, c.aMax, c.aMin, c.bMax, c.bMin));
        expectLab(lab, c.out.L, c.out.a, c.out.b, 1e-12);
    }
    EXPECT_TRUE(reports.empty());
}

TEST_F(Pcs, ClampRefusesNegativeLightnessAndBadAngles)
{
    CieLab lab{-1, 10, 10};
    EXPECT_FALSE(clampLabToBox(&lab, 50, -50, 50, -50));
    expectLab(lab, 0, 0, 0, 0);
    EXPECT_TRUE(reports.empty());

    lab = CieLab{50, NAN, 300};
    EXPECT_FALSE(clampLabToBox(&lab, 50, -50, 50, -50));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, uint32_t(ErrRange));
    EXPECT_EQ(reports[0].second, "Invalid angle");
}

} // namespace
