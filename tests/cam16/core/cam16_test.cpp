// The CAM16 model: surround interpolation, agreement with the published model,
// round trips through the inverse, and the inverse's clipping rules.
#include "cam16/core/cam16.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr double Pi = 3.141592653589793;

// Published M16 (Li et al. 2017).
constexpr double M16[9] = {
    0.401288, 0.650173, -0.051461,
    -0.250268, 1.204414, 0.045854,
    -0.002079, 0.048952, 0.953127,
};

void apply(const double m[9], const double v[3], double out[3])
{
    for (int r = 0; r < 3; ++r)
        out[r] = m[3 * r] * v[0] + m[3 * r + 1] * v[1] + m[3 * r + 2] * v[2];
}

bool invert(const double m[9], double out[9])
{
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (det == 0) return false;
    out[0] = (m[4] * m[8] - m[5] * m[7]) / det;
    out[1] = (m[2] * m[7] - m[1] * m[8]) / det;
    out[2] = (m[1] * m[5] - m[2] * m[4]) / det;
    out[3] = (m[5] * m[6] - m[3] * m[8]) / det;
    out[4] = (m[0] * m[8] - m[2] * m[6]) / det;
    out[5] = (m[2] * m[3] - m[0] * m[5]) / det;
    out[6] = (m[3] * m[7] - m[4] * m[6]) / det;
    out[7] = (m[1] * m[6] - m[0] * m[7]) / det;
    out[8] = (m[0] * m[4] - m[1] * m[3]) / det;
    return true;
}

constexpr Cam16Conditions IccStandard{96.42, 100, 82.49, 20, 31.83, 2, 1};

Cam16ModelPtr makeModel(const Cam16Conditions& vc)
{
    return Cam16ModelPtr(createCam16Model(nullptr, vc), &freeCam16Model);
}

// CIE Lab (D50, white scaled to Y = 100) to XYZ, written out here so that the
// test depends on nothing but itself.
CieXyz labToXyz100(double L, double a, double b)
{
    auto inverseF = [](double t) { return t > 6.0 / 29 ? t * t * t : 3 * (6.0 / 29) * (6.0 / 29) * (t - 4.0 / 29); };
    const double fy = (L + 16) / 116;
    return {96.42 * inverseF(fy + a / 500), 100 * inverseF(fy), 82.49 * inverseF(fy - b / 200)};
}

// Surface colours over the Lab volume.
std::vector<CieXyz> surfaceColours()
{
    std::vector<CieXyz> out;
    for (double L = 5; L <= 100; L += 9.5)
        for (double a = -100; a <= 100; a += 20)
            for (double b = -100; b <= 100; b += 20) {
                const CieXyz xyz = labToXyz100(L, a, b);
                if (xyz.X >= 0 && xyz.Y >= 0 && xyz.Z >= 0) out.push_back(xyz);
            }
    return out;
}

double hueDifference(double h1, double h2)
{
    const double d = std::fabs(h1 - h2);
    return std::min(d, 360 - d);
}

// ---------------------------------------------------------------------------
// A straightforward transcription of the published CAM16 forward model (Li et
// al. 2017: M16 and the CIECAM02 structure, with its +0.1 and -0.305 terms) for
// the three standard surrounds.
// ---------------------------------------------------------------------------

struct PublishedCam16 {
    double F, c, Nc, FL, n, z, Nbb, Ncb, D, DRGB[3], Aw;

    PublishedCam16(const double white[3], double La, double Yb, int surround, bool discounting)
    {
        static const double rows[3][3] = {{0.8, 0.525, 0.8}, {0.9, 0.59, 0.9}, {1.0, 0.69, 1.0}};
        F = rows[surround][0];
        c = rows[surround][1];
        Nc = rows[surround][2];
        const double k = 1 / (5 * La + 1);
        FL = 0.2 * std::pow(k, 4) * (5 * La) + 0.1 * std::pow(1 - std::pow(k, 4), 2) * std::cbrt(5 * La);
        n = Yb / white[1];
        z = 1.48 + std::sqrt(n);
        Nbb = Ncb = 0.725 * std::pow(1 / n, 0.2);
        D = discounting ? 1.0 : F * (1 - (1 / 3.6) * std::exp((-La - 42) / 92));
        D = std::clamp(D, 0.0, 1.0);
        double rgbW[3];
        apply(M16, white, rgbW);
        double aw[3];
        for (int i = 0; i < 3; ++i) {
            DRGB[i] = D * white[1] / rgbW[i] + 1 - D;
            aw[i] = compress(DRGB[i] * rgbW[i]);
        }
        Aw = (2 * aw[0] + aw[1] + aw[2] / 20 - 0.305) * Nbb;
    }

    double compress(double x) const
    {
        const double p = std::pow(FL * std::fabs(x) / 100, 0.42);
        return 400 * std::copysign(1.0, x) * p / (p + 27.13) + 0.1;
    }

    Cam16Correlates forward(const CieXyz& xyz) const
    {
        const double v[3] = {xyz.X, xyz.Y, xyz.Z};
        double rgb[3];
        apply(M16, v, rgb);
        double ra[3];
        for (int i = 0; i < 3; ++i) ra[i] = compress(DRGB[i] * rgb[i]);
        const double a = ra[0] - 12 * ra[1] / 11 + ra[2] / 11;
        const double b = (ra[0] + ra[1] - 2 * ra[2]) / 9;
        double h = std::atan2(b, a) * 180 / Pi;
        if (h < 0) h += 360;
        const double et = 0.25 * (std::cos(h * Pi / 180 + 2) + 3.8);
        const double A = (2 * ra[0] + ra[1] + ra[2] / 20 - 0.305) * Nbb;
        const double J = 100 * std::pow(A / Aw, c * z);
        const double t = (50000.0 / 13 * Nc * Ncb * et * std::sqrt(a * a + b * b)) /
                         (ra[0] + ra[1] + 21.0 / 20 * ra[2]);
        const double C = std::pow(t, 0.9) * std::sqrt(J / 100) * std::pow(1.64 - std::pow(0.29, n), 0.73);
        const double Q = (4 / c) * std::sqrt(J / 100) * (Aw + 4) * std::pow(FL, 0.25);
        const double M = C * std::pow(FL, 0.25);
        return {J, Q, C, M, 100 * std::sqrt(M / Q), h};
    }
};

// ---------------------------------------------------------------------------
// Initialisation
// ---------------------------------------------------------------------------

TEST(Cam16Model, IccStandardWhiteIsLightness100WithNoChroma)
{
    auto model = makeModel(IccStandard);
    ASSERT_TRUE(model);
    EXPECT_NEAR(model->c, 0.69, 1e-12);
    EXPECT_NEAR(model->F, 1.0, 1e-12);
    EXPECT_NEAR(model->Nc, 1.0, 1e-12);
    EXPECT_EQ(model->D, 1.0);

    Cam16Correlates out;
    ASSERT_TRUE(cam16Forward(model.get(), {96.42, 100, 82.49}, &out));
    EXPECT_NEAR(out.J, 100, 1e-9);
    EXPECT_NEAR(out.C, 0, 1e-6);
    EXPECT_NEAR(out.M, 0, 1e-6);
    EXPECT_NEAR(out.s, 0, 1e-2);   // s grows with the square root of chroma
}

TEST(Cam16Model, SurroundIsInterpolatedBetweenTheStandardRows)
{
    struct Row { double S, c, F; };
    const Row rows[] = {
        {0.0, 0.525, 0.8}, {0.5, 0.5575, 0.85}, {1.0, 0.59, 0.9},
        {1.5, 0.64, 0.95}, {2.0, 0.69, 1.0},
    };
    for (const Row& r : rows) {
        Cam16Conditions vc = IccStandard;
        vc.surround = r.S;
        auto model = makeModel(vc);
        ASSERT_TRUE(model) << r.S;
        EXPECT_NEAR(model->c, r.c, 1e-12) << r.S;
        EXPECT_NEAR(model->F, r.F, 1e-12) << r.S;
        EXPECT_EQ(model->Nc, model->F) << r.S;
        EXPECT_EQ(model->surround, r.S);
    }
}

TEST(Cam16Model, DegreeOfAdaptationWithoutDiscounting)
{
    Cam16Conditions vc = IccStandard;
    vc.discounting = 0;
    vc.La = 4;
    auto model = makeModel(vc);
    ASSERT_TRUE(model);
    EXPECT_NEAR(model->D, 1.0 * (1 - std::exp(-46.0 / 92) / 3.6), 1e-15);

    vc.surround = 1;   // dim: F = 0.9
    model = makeModel(vc);
    EXPECT_NEAR(model->D, 0.9 * (1 - std::exp(-46.0 / 92) / 3.6), 1e-15);

    vc.surround = 3;   // beyond average, F = 1.1: D is clamped to 1
    vc.La = 4000;
    model = makeModel(vc);
    EXPECT_EQ(model->D, 1.0);

    // The adapted white of an incomplete adaptation is no longer equal-energy.
    vc = IccStandard;
    vc.discounting = 0;
    model = makeModel(vc);
    EXPECT_LT(model->D, 1.0);
    EXPECT_NE(model->d[0], model->d[2]);
}

TEST(Cam16Model, ViewingParametersFollowTheConditions)
{
    auto model = makeModel(IccStandard);
    ASSERT_TRUE(model);
    EXPECT_DOUBLE_EQ(model->n, 0.2);
    EXPECT_DOUBLE_EQ(model->z, 1.48 + std::sqrt(0.2));
    EXPECT_DOUBLE_EQ(model->Nbb, 0.725 * std::pow(5.0, 0.2));
    EXPECT_EQ(model->Nbb, model->Ncb);
    EXPECT_DOUBLE_EQ(model->k, 1 / (5 * 31.83 + 1));
    EXPECT_DOUBLE_EQ(model->FLroot4, std::pow(model->FL, 0.25));
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(model->rgbWc[i], 100, 1e-9);   // full adaptation maps the white to Yw
        EXPECT_DOUBLE_EQ(model->inverseD[i] * model->d[i], 1.0);
    }
}

TEST(Cam16Model, CreationFailsOnNotANumberAndReleasesNothingTwice)
{
    const Cam16Conditions bad[] = {
        {96.42, 100, 82.49, 20, NAN, 2, 1},        // L_A not a number
        {96.42, 100, 82.49, -20, 31.83, 2, 1},     // negative background: sqrt(n)
        {NAN, 100, 82.49, 20, 31.83, 2, 1},        // white not a number
        {0, 0, 0, 20, 31.83, 2, 1},                // no white at all
        {96.42, 100, 82.49, 20, -0.1, 2, 1},       // negative F_L: its fourth root
    };
    for (const Cam16Conditions& vc : bad)
        EXPECT_EQ(createCam16Model(nullptr, vc), nullptr) << vc.Xw << " " << vc.Yb << " " << vc.La;
    freeCam16Model(nullptr);   // ignored
}

// A memory plug-in that can be told to refuse.
bool refuseAllocations = false;
void* switchableAlloc(EngineContext*, size_t size) { return refuseAllocations ? nullptr : std::malloc(size); }
void switchableFree(EngineContext*, void* block) { std::free(block); }
void* switchableRealloc(EngineContext*, void* block, size_t size) { return std::realloc(block, size); }

TEST(Cam16Model, CreationFailsWhenTheContextCannotAllocate)
{
    PluginMemHandler mem{{PluginMagic, EngineVersion, PluginMemHandlerSig, nullptr},
                         switchableAlloc, switchableFree, switchableRealloc, nullptr, nullptr, nullptr};
    EngineContext* ctx = createContext(&mem, nullptr);
    ASSERT_NE(ctx, nullptr);
    Cam16Model* model = createCam16Model(ctx, IccStandard);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->context, ctx);
    freeCam16Model(model);

    refuseAllocations = true;
    EXPECT_EQ(createCam16Model(ctx, IccStandard), nullptr);
    refuseAllocations = false;
    deleteContext(ctx);
}

// ---------------------------------------------------------------------------
// Agreement with the published model
// ---------------------------------------------------------------------------

struct PublishedCase {
    const char* name;
    double white[3];
    double La, Yb;
    int surround;
    bool discounting;
};

class AgreesWithPublishedCam16 : public ::testing::TestWithParam<PublishedCase> {};

TEST_P(AgreesWithPublishedCam16, OnSurfaceColours)
{
    const PublishedCase& p = GetParam();
    const PublishedCam16 reference(p.white, p.La, p.Yb, p.surround, p.discounting);
    auto model = makeModel({p.white[0], p.white[1], p.white[2], p.Yb, p.La, double(p.surround),
                            p.discounting ? 1 : 0});
    ASSERT_TRUE(model);
    EXPECT_NEAR(model->FL, reference.FL, 1e-12);
    EXPECT_NEAR(model->D, reference.D, 1e-12);
    // Without the +0.1 and the -0.305 the achromatic white is the same.
    EXPECT_NEAR(model->Aw, reference.Aw, 1e-9);

    int compared = 0;
    for (const CieXyz& xyz : surfaceColours()) {
        Cam16Correlates got, want = reference.forward(xyz);
        ASSERT_TRUE(cam16Forward(model.get(), xyz, &got));
        if (std::isnan(want.J)) {   // negative achromatic signal: undefined in the published model
            EXPECT_EQ(got.J, 0.0);
            continue;
        }
        EXPECT_NEAR(got.J, want.J, 1e-6) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        EXPECT_NEAR(got.C, want.C, 1e-6) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        EXPECT_NEAR(got.M, want.M, 1e-6) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        EXPECT_NEAR(got.Q, want.Q, 1e-6) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        if (want.C > 1e-6) {
            EXPECT_LT(hueDifference(got.h, want.h), 1e-6) << xyz.X << " " << xyz.Y << " " << xyz.Z;
            EXPECT_NEAR(got.s, want.s, 1e-6) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        }
        ++compared;
    }
    EXPECT_GT(compared, 900);
}

INSTANTIATE_TEST_SUITE_P(
    StandardConditions, AgreesWithPublishedCam16,
    ::testing::Values(
        PublishedCase{"D65average", {95.047, 100, 108.883}, 318.31, 20, 2, false},
        PublishedCase{"D50average", {96.42, 100, 82.49}, 31.83, 20, 2, true},
        PublishedCase{"D50dim", {96.42, 100, 82.49}, 10, 20, 1, false},
        PublishedCase{"D50dark", {96.42, 100, 82.49}, 4, 10, 0, false},
        PublishedCase{"IlluminantA", {109.85, 100, 35.585}, 64, 18, 2, false},
        PublishedCase{"BrightBackground", {95.047, 100, 108.883}, 2000, 50, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Forward then inverse
// ---------------------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    Cam16Conditions vc;
    uint32_t flags;
};

class ForwardInverse : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ForwardInverse, ReturnsTheInput)
{
    const RoundTripCase& p = GetParam();
    auto model = makeModel(p.vc);
    ASSERT_TRUE(model);
    int checked = 0;
    for (const CieXyz& xyz : surfaceColours()) {
        // The inverse clips negative adapted responses, so only colours whose
        // responses are all positive come back unchanged.
        const double v[3] = {xyz.X, xyz.Y, xyz.Z};
        double rgb[3];
        apply(M16, v, rgb);
        if (rgb[0] * model->d[0] <= 0 || rgb[1] * model->d[1] <= 0 || rgb[2] * model->d[2] <= 0) continue;

        Cam16Correlates jch;
        ASSERT_TRUE(cam16Forward(model.get(), xyz, &jch));
        CieXyz back;
        ASSERT_TRUE(cam16Inverse(model.get(), p.flags, jch, &back));
        EXPECT_NEAR(back.X, xyz.X, 1e-9 * 100) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        EXPECT_NEAR(back.Y, xyz.Y, 1e-9 * 100) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        EXPECT_NEAR(back.Z, xyz.Z, 1e-9 * 100) << xyz.X << " " << xyz.Y << " " << xyz.Z;
        ++checked;
    }
    EXPECT_GT(checked, 500);
}

const Cam16Conditions DimNoDiscount{95.047, 100, 108.883, 20, 4, 1, 0};
const Cam16Conditions DarkBright{96.42, 100, 82.49, 35, 2000, 0.3, 0};

INSTANTIATE_TEST_SUITE_P(
    Flags, ForwardInverse,
    ::testing::Values(RoundTripCase{"JC", IccStandard, 0},
                      RoundTripCase{"QC", IccStandard, Cam16FromQ},
                      RoundTripCase{"JM", IccStandard, Cam16FromM},
                      RoundTripCase{"Js", IccStandard, Cam16FromS},
                      RoundTripCase{"QsWinsOverM", IccStandard, Cam16FromQ | Cam16FromM | Cam16FromS},
                      RoundTripCase{"DimJC", DimNoDiscount, 0},
                      RoundTripCase{"DimQM", DimNoDiscount, Cam16FromQ | Cam16FromM},
                      RoundTripCase{"DarkJs", DarkBright, Cam16FromS},
                      RoundTripCase{"DarkQC", DarkBright, Cam16FromQ}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Cam16Inverse, ReadsOnlyTheCorrelatesTheFlagsChoose)
{
    auto model = makeModel(IccStandard);
    Cam16Correlates jch;
    ASSERT_TRUE(cam16Forward(model.get(), labToXyz100(60, 30, -40), &jch));
    CieXyz reference;
    ASSERT_TRUE(cam16Inverse(model.get(), 0, jch, &reference));

    struct Spoil { uint32_t flags; double Cam16Correlates::*field; };
    const Spoil spoils[] = {
        {0, &Cam16Correlates::Q}, {0, &Cam16Correlates::M}, {0, &Cam16Correlates::s},
        {Cam16FromQ, &Cam16Correlates::J}, {Cam16FromM, &Cam16Correlates::C},
        {Cam16FromS, &Cam16Correlates::M}, {Cam16FromS | Cam16FromM, &Cam16Correlates::M},
    };
    for (const Spoil& s : spoils) {
        Cam16Correlates spoiled = jch;
        spoiled.*(s.field) = -123;
        CieXyz out;
        ASSERT_TRUE(cam16Inverse(model.get(), s.flags, spoiled, &out));
        EXPECT_NEAR(out.X, reference.X, 1e-9) << s.flags;
        EXPECT_NEAR(out.Y, reference.Y, 1e-9) << s.flags;
        EXPECT_NEAR(out.Z, reference.Z, 1e-9) << s.flags;
    }
}

// ---------------------------------------------------------------------------
// The inverse's rules for black, clipping and saturation
// ---------------------------------------------------------------------------

TEST(Cam16Inverse, NonPositiveLightnessIsExactlyBlack)
{
    auto model = makeModel(IccStandard);
    struct Case { uint32_t flags; double J, Q; };
    const Case cases[] = {
        {0, 0, 50}, {0, -1, 50}, {0, -0.0, 50},
        {Cam16FromQ, 50, 0}, {Cam16FromQ, 50, -3}, {Cam16FromQ | Cam16FromS, 50, 0},
    };
    for (const Case& c : cases) {
        CieXyz out{1, 2, 3};
        ASSERT_TRUE(cam16Inverse(model.get(), c.flags, {c.J, c.Q, 20, 20, 20, 120}, &out));
        EXPECT_EQ(out.X, 0.0);
        EXPECT_EQ(out.Y, 0.0);
        EXPECT_EQ(out.Z, 0.0);
    }
    // J = 0 is not black when lightness comes from Q.
    CieXyz out;
    ASSERT_TRUE(cam16Inverse(model.get(), Cam16FromQ, {0, 100, 0, 0, 0, 0}, &out));
    EXPECT_GT(out.Y, 1);
}

TEST(Cam16Inverse, ResponsesAt400SaturateAndNegativeResponsesClip)
{
    Cam16Conditions vc = IccStandard;
    vc.discounting = 0;
    auto model = makeModel(vc);

    // An enormous lightness drives all three responses past 400.
    CieXyz out;
    ASSERT_TRUE(cam16Inverse(model.get(), 0, {1e7, 0, 0, 0, 0, 0}, &out));
    double rgb[3];
    const double v[3] = {out.X, out.Y, out.Z};
    apply(M16, v, rgb);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(rgb[i], 1e10 / model->d[i], 1e10 * 1e-9) << i;

    // A strong yellow drives the blue response below zero: blue is 0.
    ASSERT_TRUE(cam16Inverse(model.get(), 0, {50, 0, 150, 0, 0, 90}, &out));
    const double w[3] = {out.X, out.Y, out.Z};
    apply(M16, w, rgb);
    EXPECT_NEAR(rgb[2], 0, 1e-9);
    EXPECT_GT(rgb[0], 1);
    EXPECT_GT(rgb[1], 1);
}

TEST(Cam16Inverse, HueIsTakenModulo360)
{
    auto model = makeModel(IccStandard);
    for (double hue : {0.0, 45.0, 200.0}) {
        CieXyz a, b;
        ASSERT_TRUE(cam16Inverse(model.get(), 0, {50, 0, 30, 0, 0, hue}, &a));
        ASSERT_TRUE(cam16Inverse(model.get(), 0, {50, 0, 30, 0, 0, hue + 360}, &b));
        EXPECT_NEAR(a.X, b.X, 1e-9);
        EXPECT_NEAR(a.Y, b.Y, 1e-9);
        EXPECT_NEAR(a.Z, b.Z, 1e-9);
    }
}

TEST(Cam16Inverse, FailsOnNotANumber)
{
    auto model = makeModel(IccStandard);
    CieXyz out;
    EXPECT_FALSE(cam16Inverse(model.get(), 0, {NAN, 0, 20, 0, 0, 10}, &out));
    EXPECT_FALSE(cam16Inverse(model.get(), 0, {50, 0, NAN, 0, 0, 10}, &out));
    EXPECT_FALSE(cam16Inverse(model.get(), 0, {50, 0, 20, 0, 0, NAN}, &out));
    EXPECT_FALSE(cam16Inverse(model.get(), Cam16FromS, {50, 0, 20, 0, NAN, 10}, &out));
}

TEST(Cam16Forward, FailsOnNotANumber)
{
    auto model = makeModel(IccStandard);
    Cam16Correlates out;
    EXPECT_FALSE(cam16Forward(model.get(), {NAN, 50, 50}, &out));
    EXPECT_FALSE(cam16Forward(model.get(), {50, 50, NAN}, &out));
    EXPECT_TRUE(cam16Forward(model.get(), {0, 0, 0}, &out));
    EXPECT_EQ(out.J, 0.0);
}

// Colours whose b response sits just below zero: folding the angle must not
// round up to 360.
TEST(Cam16Forward, HueStaysBelow360)
{
    auto model = makeModel(IccStandard);
    double inverseM16[9];
    ASSERT_TRUE(invert(M16, inverseM16));
    auto forwardAt = [&](double blue) {
        const double rgb[3] = {60 / model->d[0], 40 / model->d[1], blue / model->d[2]};
        double xyz[3];
        apply(inverseM16, rgb, xyz);
        Cam16Correlates out;
        EXPECT_TRUE(cam16Forward(model.get(), {xyz[0], xyz[1], xyz[2]}, &out));
        return out.h;
    };
    // Bisect on the blue response for the sign change of b (h jumps 360 -> 0).
    double lo = 40, hi = 60;   // b > 0 at lo (h small), b < 0 at hi (h near 360)
    ASSERT_LT(forwardAt(lo), 180);
    ASSERT_GT(forwardAt(hi), 180);
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        (forwardAt(mid) < 180 ? lo : hi) = mid;
    }
    for (double blue = lo, step = 0; step < 64; ++step, blue = std::nextafter(blue, 100.0)) {
        const double h = forwardAt(blue);
        EXPECT_GE(h, 0.0);
        EXPECT_LT(h, 360.0);
    }
}

TEST(Cam16Model, ManyThreadsShareOneModel)
{
    auto model = makeModel(DimNoDiscount);
    const std::vector<CieXyz> colours = surfaceColours();
    std::vector<Cam16Correlates> expected(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) ASSERT_TRUE(cam16Forward(model.get(), colours[i], &expected[i]));

    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            for (int pass = 0; pass < 20; ++pass)
                for (size_t i = 0; i < colours.size(); ++i) {
                    Cam16Correlates c;
                    CieXyz back;
                    if (!cam16Forward(model.get(), colours[i], &c) || c.J != expected[i].J ||
                        c.h != expected[i].h || !cam16Inverse(model.get(), 0, c, &back))
                        ++mismatches[w];
                }
        });
    for (auto& t : workers) t.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

}   // namespace
