#include "curves/core/curvefamily.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <ostream>
#include <string>

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// The curve pieces written out plainly, for comparison with the evaluator.
double logistic(double z) { return 1.0 / (1.0 + std::exp(-z)); }
double refK(double c) { return 0.5 / (logistic(c) - 0.5); }
double refS(double x, double c) { return (logistic(c * (2 * x - 1)) - 0.5) * refK(c) + 0.5; }
double refSInv(double y, double c) { return 0.5 * (1 - std::log(1 / ((y - 0.5) / refK(c) + 0.5) - 1) / c); }

double eval(int32_t type, double p0, double p1, double x)
{
    const double params[10] = {p0, p1};
    return evaluateFamilyCurve(type, params, x);
}

class FamilyCurveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(registerCurveFamilyPlugin()); }
};

// ---------------------------------------------------------------------------
// Families, labels and controls
// ---------------------------------------------------------------------------

TEST(CurveFamilyTest, MasksListFamiliesInSelectorOrder)
{
    using F = CurveFamily;
    const std::vector<F> softproof = {F::Preserve,       F::Gamma,     F::Sigmoidal, F::Offset,
                                      F::InverseGamma,   F::InverseSigmoid, F::Tabulated, F::PointList};
    EXPECT_EQ(familiesInMask(SoftproofFamilies), softproof);
    const std::vector<F> cam16 = {F::Preserve, F::Gamma, F::Sigmoidal, F::Offset, F::Tabulated, F::PointList};
    EXPECT_EQ(familiesInMask(Cam16Families), cam16);
    EXPECT_EQ(familiesInMask(PrelinFamilies), std::vector<F>{F::PrelinSigmoid});
    // Whatever the bit order of the mask, the selector order holds; other bits are no families.
    const std::vector<F> all(FamilySelectorOrder.begin(), FamilySelectorOrder.end());
    EXPECT_EQ(familiesInMask(0xFFFFFFFF), all);
    EXPECT_TRUE(familiesInMask(0).empty());
    EXPECT_TRUE(familiesInMask(512 | 1024).empty());
}

TEST(CurveFamilyTest, OnlyTheNineBitsAreFamilies)
{
    for (int32_t v : {1, 2, 4, 8, 16, 32, 64, 128, 256}) EXPECT_TRUE(isCurveFamily(v)) << v;
    for (int32_t v : {0, 3, 479, 512, -1, -2}) EXPECT_FALSE(isCurveFamily(v)) << v;
}

TEST(CurveFamilyTest, SelectorLabels)
{
    const struct { CurveFamily f; std::string label; } table[] = {
        {CurveFamily::Preserve, "preserve"},        {CurveFamily::Gamma, "gamma"},
        {CurveFamily::Sigmoidal, "sigmoidal  "},    {CurveFamily::Offset, "offset"},
        {CurveFamily::Tabulated, "Tabulated"},      {CurveFamily::PrelinSigmoid, ""},
        {CurveFamily::InverseGamma, "inverse gamma"}, {CurveFamily::InverseSigmoid, "inverse sigmoid"},
        {CurveFamily::PointList, "Point list"},     {CurveFamily(0), ""},
    };
    for (const auto& row : table) EXPECT_EQ(familyLabel(row.f), row.label);
}

TEST(CurveFamilyTest, ControlsPerFamily)
{
    const FamilyControls gamma = familyControls(CurveFamily::InverseGamma);
    EXPECT_TRUE(gamma.value.shown);
    EXPECT_DOUBLE_EQ(gamma.value.minimum, 0.25);
    EXPECT_DOUBLE_EQ(gamma.value.maximum, 4.0);
    EXPECT_DOUBLE_EQ(gamma.value.defaultValue, 1.0);
    EXPECT_EQ(gamma.value.scaleMode, 2);
    EXPECT_EQ(gamma.value.sliderMinimum, 1);
    EXPECT_EQ(gamma.value.sliderMaximum, 100);
    EXPECT_TRUE(gamma.value.sliderInverted);
    EXPECT_TRUE(gamma.offset.shown);
    EXPECT_DOUBLE_EQ(gamma.offset.minimum, -1.0);
    EXPECT_DOUBLE_EQ(gamma.offset.maximum, 1.0);
    EXPECT_EQ(gamma.offset.sliderMinimum, -100);
    EXPECT_FALSE(gamma.dataButton);

    const FamilyControls sigmoid = familyControls(CurveFamily::Sigmoidal);
    EXPECT_DOUBLE_EQ(sigmoid.value.minimum, -9);
    EXPECT_DOUBLE_EQ(sigmoid.value.maximum, 9);
    EXPECT_DOUBLE_EQ(sigmoid.value.step, 0.1);
    EXPECT_DOUBLE_EQ(sigmoid.value.defaultValue, 0);
    EXPECT_EQ(sigmoid.value.scaleMode, 3);
    EXPECT_FALSE(sigmoid.value.sliderInverted);

    const FamilyControls offset = familyControls(CurveFamily::Offset);
    EXPECT_FALSE(offset.value.shown);
    EXPECT_TRUE(offset.value.configured);
    EXPECT_TRUE(offset.offset.shown);

    const FamilyControls prelin = familyControls(CurveFamily::PrelinSigmoid);
    EXPECT_TRUE(prelin.value.shown);
    EXPECT_DOUBLE_EQ(prelin.value.minimum, 1);
    EXPECT_DOUBLE_EQ(prelin.value.maximum, 9);
    EXPECT_DOUBLE_EQ(prelin.value.defaultValue, 2.5);
    EXPECT_EQ(prelin.value.scaleMode, 4);
    EXPECT_FALSE(prelin.offset.shown);

    for (CurveFamily f : {CurveFamily::Tabulated, CurveFamily::PointList}) {
        const FamilyControls c = familyControls(f);
        EXPECT_FALSE(c.value.shown);
        EXPECT_FALSE(c.offset.shown);
        EXPECT_TRUE(c.dataButton);
    }
    for (CurveFamily f : {CurveFamily::Preserve, CurveFamily(0), CurveFamily(3)}) {
        const FamilyControls c = familyControls(f);
        EXPECT_FALSE(c.value.shown || c.value.configured || c.offset.shown || c.dataButton);
    }
}

// ---------------------------------------------------------------------------
// The evaluator
// ---------------------------------------------------------------------------

TEST(FamilyEvaluatorTest, HandComputedValues)
{
    // Numbers worked out by hand (logistic values from a table of e^x):
    // S(0.3; 3): e^1.2 = 3.320117, 1/(1 + e^1.2) = 0.231475; K(3) = 0.5/0.452574 = 1.104791;
    // (0.231475 - 0.5) · 1.104791 + 0.5 = 0.203336.
    const struct { int32_t type; double p0, p1, x, y; double tol; } table[] = {
        {111, 3, 0, 0.3, 0.203336, 1e-6},
        {111, 3, 0, 0.0, 0.0, 1e-12},
        {111, 3, 0, 0.5, 0.5, 1e-12},
        {111, 3, 0, 1.0, 1.0, 1e-12},
        {111, -3, 0, 0.3, 0.3736, 1e-4},               // the flattened curve
        {111, 0, 0.3, 0.42, 0.42, 0},                   // strength 0: identity, offset ignored
        {111, 3, 0.3, 0.5, 0.6, 1e-12},                 // lifted by 0.3 / 3
        {110, 1, 0, 0.37, 0.37, 1e-12},
        {110, 2, 0, 0.5, 0.25, 1e-12},
        {110, 2, -0.6, 0.5, 0.05, 1e-12},               // 0.25 - 0.2
        {110, 2, 0, -0.5, 0.0, 0},                      // negative input, g != 1: the offset
        {110, 1, 0.3, -0.5, -0.4, 1e-12},               // negative input, g = 1: the line
        {112, 0.3, 0, 0.5, 0.6, 1e-12},
        {112, 0, 0, 0.5, 0.5, 0},
        {112, -1, 0, 0.2, 0.2 - 1.0 / 3.0, 1e-12},
        {113, 1, 0, 0.3, 0.7, 1e-12},                   // 1 - x
        {113, 2, 0, 0.25, 0.5, 1e-12},                  // 1 - 0.25^(1/2)
        {113, 2, 0.3, 0.25, 0.4, 1e-12},                // 1 - (0.5 + 0.1)
        {114, 0, 0, 0.3, 0.7, 1e-12},                   // 1 - x
        {114, 0, 0.3, 0.3, 0.6, 1e-12},                 // 1 - x - 0.1
        {114, 3, 0, 0.3, 1 - 0.203336, 1e-6},
        {109, 0, 0, 0.3, 0.3, 0},
        {-109, 0, 0, 0.3, 0.3, 0},
        {109, 3, 0, 0.3, 0.203336, 1e-6},
        {-109, 3, 0, 0.203336, 0.3, 1e-5},
        {-112, 0.3, 0, 0.6, 0.5, 1e-12},
        {-110, 2, 0, 0.25, 0.5, 1e-12},
        {-110, 2, 0.3, 0.35, 0.5, 1e-12},               // (0.35 - 0.1)^(1/2)
        {-110, 2, 0.3, 0.05, 0.0, 0},                   // below the curve's foot
        {-113, 2, 0, 0.5, 0.25, 1e-12},                 // (1 - 0.5)^2
        {-111, 0, 0.9, 0.4, 0.4, 0},
    };
    for (const auto& row : table)
        EXPECT_NEAR(eval(row.type, row.p0, row.p1, row.x), row.y, row.tol)
            << "type " << row.type << " P0 " << row.p0 << " P1 " << row.p1 << " x " << row.x;
}

TEST(FamilyEvaluatorTest, MatchesThePlainFormulasEverywhere)
{
    for (double c : {0.1, 1.0, 2.5, 3.0, 9.0}) {
        for (double o : {-1.0, -0.3, 0.0, 0.45, 1.0}) {
            for (int i = 0; i <= 100; ++i) {
                const double x = i / 100.0;
                const double off = o / 3;
                EXPECT_NEAR(eval(109, c, 0, x), refS(x, c), 1e-12);
                EXPECT_NEAR(eval(111, c, o, x), refS(x, c) + off, 1e-12);
                EXPECT_NEAR(eval(111, -c, o, x), refSInv(x, c) + off, 1e-12);
                EXPECT_NEAR(eval(114, c, o, x), 1 - refS(x, c) - off, 1e-12);
                EXPECT_NEAR(eval(114, -c, o, x), 1 - refSInv(x, c) - off, 1e-12);
                const double g = 0.25 + c / 3;
                EXPECT_NEAR(eval(110, g, o, x), std::pow(x, g) + off, 1e-12);
                EXPECT_NEAR(eval(113, g, o, x), 1 - std::pow(x, 1 / g) - off, 1e-12);
            }
        }
    }
}

TEST(FamilyEvaluatorTest, OtherTypesGiveZero)
{
    for (int32_t type : {0, 1, -1, 108, -108, 115, -115, 1000, INT32_MIN})
        EXPECT_EQ(eval(type, 2, 0.5, 0.7), 0.0) << type;
}

TEST(FamilyEvaluatorTest, SigmoidInverseSaturatesBeyondItsAsymptotes)
{
    // S with strength 3 never leaves (0.5 - K/2, 0.5 + K/2) = (-0.0524, 1.0524).
    EXPECT_LT(eval(-109, 3, 0, -0.2), -1e20);
    EXPECT_GT(eval(-109, 3, 0, 1.2), 1e20);
    EXPECT_FALSE(std::isnan(eval(-111, 3, 1, 0.0)));
    EXPECT_FALSE(std::isnan(eval(-114, 3, -1, 0.0)));
    EXPECT_FALSE(std::isnan(eval(-110, 2.2, 1, 0.1)));
}

// ---------------------------------------------------------------------------
// The plug-in and the engine
// ---------------------------------------------------------------------------

TEST(FamilyPluginTest, RecordDeclaresSixTypes)
{
    const PluginParametricCurves& p = curveFamilyPlugin();
    EXPECT_EQ(p.base.magic, PluginMagic);
    EXPECT_EQ(p.base.expectedVersion, 2160u);
    EXPECT_EQ(p.base.type, sig("parH"));
    EXPECT_EQ(p.base.next, nullptr);
    ASSERT_EQ(p.functionCount, 6u);
    const int32_t types[] = {109, 110, 111, 112, 113, 114};
    const uint32_t counts[] = {1, 2, 2, 1, 2, 2};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(p.functionTypes[i], types[i]);
        EXPECT_EQ(p.parameterCounts[i], counts[i]);
    }
    EXPECT_EQ(p.evaluator, &evaluateFamilyCurve);
}

TEST_F(FamilyCurveTest, RegisteringTwiceKeepsOneRegistration)
{
    EXPECT_TRUE(registerCurveFamilyPlugin());
    EXPECT_TRUE(registerCurveFamilyPlugin());
    for (int32_t type = 110; type <= 114; ++type)
        EXPECT_EQ(parametricParameterCount(nullptr, type), type == 112 ? 1u : 2u);
    EXPECT_EQ(parametricParameterCount(nullptr, 109), 1u);
    EXPECT_EQ(parametricParameterCount(nullptr, 115), 0u);
}

TEST_F(FamilyCurveTest, RegistersAgainAfterThePlugInsAreGone)
{
    unregisterPlugins(nullptr);
    EXPECT_EQ(parametricParameterCount(nullptr, 110), 0u);
    EXPECT_TRUE(registerCurveFamilyPlugin());
    EXPECT_EQ(parametricParameterCount(nullptr, 110), 2u);
}

TEST_F(FamilyCurveTest, EngineEvaluatesAndTabulatesThePluginTypes)
{
    const double params[10] = {0.3};
    CurvePtr offset(buildParametricCurve(nullptr, 112, params), &freeCurve);
    ASSERT_TRUE(offset);
    EXPECT_EQ(parametricTypeOf(offset.get()), 112);
    EXPECT_NEAR(evalCurveFloat(offset.get(), 0.5f), 0.6f, 1e-6);
    // The 16-bit table clips the lifted curve at the top.
    ASSERT_EQ(tableEntryCount(offset.get()), 4096u);
    EXPECT_EQ(tableEntries(offset.get())[0], 6554);   // 0.1 · 65535 + 0.5 = 6554.0
    EXPECT_EQ(tableEntries(offset.get())[4095], 65535);
    EXPECT_NEAR(evalCurve16(offset.get(), 0x8000), 39321.5, 1.0);   // (32768/65535 + 0.1) · 65535
}

// Each type with parameters (strength or gamma, offset control), and its
// reversal by the engine, which builds the negated type. The forward curve is
// one-to-one on [0, 1], so x → curve → reversed curve returns x.
struct ReversalCase {
    int32_t type;
    double p0, p1;
};
void PrintTo(const ReversalCase& c, std::ostream* os)
{
    *os << "type " << c.type << " (" << c.p0 << ", " << c.p1 << ")";
}

class FamilyReversalTest : public FamilyCurveTest, public ::testing::WithParamInterface<ReversalCase> {};

TEST_P(FamilyReversalTest, ReversedCurveUndoesTheCurve)
{
    const ReversalCase& c = GetParam();
    const double params[10] = {c.p0, c.p1};
    CurvePtr curve(buildParametricCurve(nullptr, c.type, params), &freeCurve);
    ASSERT_TRUE(curve);
    CurvePtr reversed(reverseCurve(curve.get()), &freeCurve);
    ASSERT_TRUE(reversed);
    EXPECT_EQ(parametricTypeOf(reversed.get()), -c.type);
    for (int i = 0; i <= 256; ++i) {
        const float x = float(i) / 256.0f;
        const double y = evaluateFamilyCurve(c.type, params, x);
        EXPECT_NEAR(evaluateFamilyCurve(-c.type, params, y), x, 1e-7) << "x " << x;
        // Through the engine, in single precision: where the curve is flat
        // (x^3 near 0) a float of y no longer tells neighbouring x apart, so
        // there it is enough that the round trip lands on the same value.
        const float back = evalCurveFloat(reversed.get(), evalCurveFloat(curve.get(), x));
        const double sameValue = std::fabs(evaluateFamilyCurve(c.type, params, back) - y);
        EXPECT_TRUE(std::fabs(back - x) <= 1e-4 || sameValue <= 1e-6)
            << "x " << x << " back " << back << " value error " << sameValue;
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, FamilyReversalTest,
                         ::testing::Values(ReversalCase{109, 2.5, 0}, ReversalCase{109, 9, 0},
                                           ReversalCase{110, 1, 0}, ReversalCase{110, 2.2, 0},
                                           ReversalCase{110, 0.45, 0.3}, ReversalCase{110, 3, -1},
                                           ReversalCase{111, 3, 0}, ReversalCase{111, 3, 0.6},
                                           ReversalCase{111, -3, -0.6}, ReversalCase{111, -9, 1},
                                           ReversalCase{111, 0, 0.5}, ReversalCase{112, 0.3, 0},
                                           ReversalCase{112, -1, 0}, ReversalCase{113, 1, 0},
                                           ReversalCase{113, 2.2, 0}, ReversalCase{113, 0.5, 0.3},
                                           ReversalCase{113, 1, -0.9}, ReversalCase{114, 0, 0.3},
                                           ReversalCase{114, 3, 0}, ReversalCase{114, 3, 0.6},
                                           ReversalCase{114, -4.5, -0.3}));

TEST_F(FamilyCurveTest, ReversedOffsetUndoesTheShiftExactly)
{
    const double params[10] = {0.3};
    CurvePtr curve(buildParametricCurve(nullptr, 112, params), &freeCurve);
    CurvePtr reversed(reverseCurve(curve.get()), &freeCurve);
    ASSERT_TRUE(reversed);
    EXPECT_EQ(parametricTypeOf(reversed.get()), -112);
    for (double x : {0.0, 0.25, 0.5, 0.9}) EXPECT_DOUBLE_EQ(eval(-112, 0.3, 0, eval(112, 0.3, 0, x)), x);
}

} // namespace
