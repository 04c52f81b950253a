// Tone curves: construction rules, parametric types, evaluation, reversal,
// joining and the curve queries.
#include "oslinternal.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

class CurveTest : public EngineFixture {
protected:

    CurvePtr wrap(ToneCurve* c) { return CurvePtr(c, &freeCurve); }
    CurvePtr parametric(int32_t type, std::vector<double> p)
    {
        p.resize(10, 0.0);
        return wrap(buildParametricCurve(ctx, type, p.data()));
    }
    CurvePtr table16(std::vector<uint16_t> v)
    {
        return wrap(buildTabulatedCurve16(ctx, uint32_t(v.size()), v.data()));
    }

};

// ---------------------------------------------------------------------------
// Construction and the 16-bit table
// ---------------------------------------------------------------------------

TEST_F(CurveTest, GammaTableSizeDependsOnTheExponent)
{
    struct Case {
        double gamma;
        uint32_t entries;
    };
    for (const Case& c : {Case{1.0, 2}, Case{1.0005, 2}, Case{0.9995, 2}, Case{1.002, 4096}, Case{2.2, 4096}}) {
        CurvePtr curve = wrap(buildGammaCurve(ctx, c.gamma));
        ASSERT_TRUE(curve);
        EXPECT_EQ(tableEntryCount(curve.get()), c.entries) << c.gamma;
        EXPECT_EQ(parametricTypeOf(curve.get()), 1);
    }
    CurvePtr identity = wrap(buildGammaCurve(ctx, 1.0));
    EXPECT_EQ(tableEntries(identity.get())[0], 0);
    EXPECT_EQ(tableEntries(identity.get())[1], 65535);
}

TEST_F(CurveTest, TwoEntryIdentityIsExactInSixteenBits)
{
    CurvePtr identity = wrap(buildGammaCurve(ctx, 1.0));
    for (uint32_t v = 0; v <= 65535; ++v) ASSERT_EQ(evalCurve16(identity.get(), uint16_t(v)), v);
}

TEST_F(CurveTest, TableEntriesAreTheRoundedFloatCurve)
{
    CurvePtr curve = parametric(1, {2.2});
    const uint16_t* t = tableEntries(curve.get());
    for (uint32_t i = 0; i < 4096; i += 15) {
        const double expected = std::floor(std::pow(i / 4095.0, 2.2) * 65535.0 + 0.5);
        EXPECT_NEAR(t[i], expected, 1.0) << i;
    }
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[4095], 65535);
}

TEST_F(CurveTest, TableLimitsAndEmptyCurvesAreRefused)
{
    std::vector<uint16_t> values(65531, 7);
    EXPECT_TRUE(wrap(buildTabulatedCurve16(ctx, 65530, values.data())));
    EXPECT_TRUE(reports.empty());

    EXPECT_FALSE(wrap(buildTabulatedCurve16(ctx, 65531, values.data())));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrRange));
    EXPECT_EQ(reports[0].text, "Couldn't create tone curve of more than 65530 entries");

    reports.clear();
    EXPECT_FALSE(wrap(buildTabulatedCurve16(ctx, 0, nullptr)));
    EXPECT_FALSE(wrap(buildSegmentedCurve(ctx, 0, nullptr)));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].text, "Couldn't create tone curve with zero segments and no table");
    EXPECT_EQ(reports[1].text, "Couldn't create tone curve with zero segments and no table");

    reports.clear();
    EXPECT_FALSE(wrap(buildTabulatedCurveFloat(ctx, 0, nullptr)));
    EXPECT_FALSE(reports.empty());
}

TEST_F(CurveTest, TableWithoutValuesIsZeroFilled)
{
    CurvePtr curve = wrap(buildTabulatedCurve16(ctx, 300, nullptr));
    ASSERT_TRUE(curve);
    for (uint32_t i = 0; i < 300; ++i) EXPECT_EQ(tableEntries(curve.get())[i], 0);
}

TEST_F(CurveTest, UnknownParametricTypeIsRefused)
{
    const double p[10] = {1};
    EXPECT_FALSE(wrap(buildParametricCurve(ctx, 200, p)));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrUnknownExtension));
    EXPECT_EQ(reports[0].text, "Invalid parametric curve type 200");

    CurveSegment segment{MinusInfinity, PlusInfinity, 42, {1}, 0, nullptr};
    reports.clear();
    EXPECT_FALSE(wrap(buildSegmentedCurve(ctx, 1, &segment)));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "Invalid parametric curve type 42");
}

TEST_F(CurveTest, SampledSegmentWithoutPointsIsRefused)
{
    CurveSegment segment{0, 1, 0, {}, 0, nullptr};
    EXPECT_FALSE(wrap(buildSegmentedCurve(ctx, 1, &segment)));
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(CurveTest, OnlyTheTypesParameterCountIsCopied)
{
    const double p[10] = {2.2, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    CurvePtr curve = wrap(buildParametricCurve(ctx, 1, p));
    const CurveSegment* s = curveSegment(curve.get(), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->params[0], 2.2);
    for (int i = 1; i < 10; ++i) EXPECT_EQ(s->params[i], 0.0);
    EXPECT_EQ(s->x0, MinusInfinity);
    EXPECT_EQ(s->x1, PlusInfinity);
    EXPECT_EQ(double(PlusInfinity), 9.999999778196308e21);
    EXPECT_EQ(curveSegment(curve.get(), 1), nullptr);
    EXPECT_EQ(parametricParameterCount(ctx, 5), 7u);
    EXPECT_EQ(parametricParameterCount(ctx, -5), 7u);
    EXPECT_EQ(parametricParameterCount(ctx, 9), 0u);
}

// ---------------------------------------------------------------------------
// Parametric formulas
// ---------------------------------------------------------------------------

struct FormulaCase {
    int32_t type;
    std::vector<double> params;
    double x;
    double y;   // computed by hand from the formula
};

TEST_F(CurveTest, ParametricTypesEvaluateTheirFormulas)
{
    const std::vector<double> srgb = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    const FormulaCase cases[] = {
        {1, {2.2}, 0.5, 0.217637640824031},
        {1, {2.2}, -0.5, 0.0},                          // negative input, exponent not 1
        {1, {1.0}, -0.5, -0.5},                         // negative input, exponent 1
        {2, {2.0, 0.5, 0.1}, 0.5, 0.1225},              // (0.25 + 0.1)^2
        {2, {2.0, 0.5, -0.2}, 0.3, 0.0},                // below -P2/P1 = 0.4
        {2, {2.0, 0.00001, 0.1}, 0.5, 0.0},             // P1 ~ 0
        {3, {2.0, 0.5, -0.2, 0.05}, 0.3, 0.05},         // below the threshold: P3
        {3, {2.0, 0.5, -0.2, 0.05}, 0.8, 0.09},         // (0.4 - 0.2)^2 + 0.05
        {4, srgb, 0.5, 0.214041140482232},
        {4, srgb, 0.04, 0.04 / 12.92},
        {5, {2.0, 1.0, 0.0, 0.5, 0.2, 0.1, 0.01}, 0.5, 0.35},   // 0.25 + 0.1
        {5, {2.0, 1.0, 0.0, 0.5, 0.2, 0.1, 0.01}, 0.1, 0.06},   // 0.05 + 0.01
        {6, {2.0, 1.0, -0.2, 0.1}, 0.5, 0.19},          // 0.1 + 0.3^2
        {6, {2.0, 1.0, -0.2, 0.1}, 0.1, 0.1},           // e < 0: P3
        {6, {1.0, 0.5, 0.0, 0.25}, 0.5, 0.5},           // P0 = 1: P3 + e
        {7, {1.0, 2.0, 9.0, 1.0, 0.5}, 1.0, 2.5},       // 2·log10(10) + 0.5
        {7, {1.0, 2.0, -1.0, 0.0, 0.5}, 1.0, 0.5},      // t <= 0: P4
        {8, {0.5, 2.0, 3.0, 1.0, 0.1}, 1.0, 8.1},       // 0.5·2^4 + 0.1
        {108, {2.0}, 0.75, 0.707106781186548},          // (1 - 0.25^0.5)^0.5
        {108, {0.00001}, 0.75, 0.0},
        {109, {0.0}, 0.3, 0.3},                         // no steepness: the identity
        {-1, {2.2}, 0.217637640824031, 0.5},
        {-1, {0.00001}, 0.5, 9.999999778196308e21},
        {-1, {1.0}, -0.25, -0.25},
        {-2, {2.0, 0.5, 0.1}, 0.1225, 0.5},
        {-2, {2.0, 0.5, 0.1}, -0.1, 0.0},
        {-3, {2.0, 0.5, -0.2, 0.05}, 0.09, 0.8},
        {-3, {2.0, 0.5, -0.2, 0.05}, 0.01, 0.4},        // below P3: -P2/P1
        {-4, srgb, 0.214041140482232, 0.5},
        {-4, srgb, 0.04 / 12.92, 0.04},
        {-5, {2.0, 1.0, 0.0, 0.5, 0.2, 0.1, 0.01}, 0.35, 0.5},
        {-5, {2.0, 1.0, 0.0, 0.5, 0.2, 0.1, 0.01}, 0.06, 0.1},
        {-6, {2.0, 1.0, -0.2, 0.1}, 0.19, 0.5},
        {-7, {1.0, 2.0, 9.0, 1.0, 0.5}, 2.5, 1.0},
        {-8, {0.5, 2.0, 3.0, 1.0, 0.1}, 8.1, 1.0},
        {-8, {0.5, 2.0, 3.0, 1.0, 0.1}, 0.05, 0.0},
        {-108, {2.0}, 0.707106781186548, 0.75},         // 1 - (1 - 0.5)^2
    };
    for (const FormulaCase& c : cases) {
        CurvePtr curve = parametric(c.type, c.params);
        ASSERT_TRUE(curve) << c.type;
        EXPECT_NEAR(evalCurveFloat(curve.get(), float(c.x)), c.y, std::max(1e-5, std::fabs(c.y) * 1e-6))
            << "type " << c.type << " at " << c.x;
    }
}

TEST_F(CurveTest, EngineSigmoidPassesThroughItsFixedPoints)
{
    CurvePtr s = parametric(109, {4.0});
    CurvePtr inverse = parametric(-109, {4.0});
    const double k = 0.5 / (1 / (1 + std::exp(-4.0)) - 0.5);
    EXPECT_NEAR(evalCurveFloat(s.get(), 0.0f), 0.0, 1e-6);
    EXPECT_NEAR(evalCurveFloat(s.get(), 0.5f), 0.5, 1e-6);
    EXPECT_NEAR(evalCurveFloat(s.get(), 1.0f), 1.0, 1e-6);
    EXPECT_NEAR(evalCurveFloat(s.get(), 0.25f), (1 / (1 + std::exp(-4.0 * -0.5)) - 0.5) * k + 0.5, 1e-6);
    for (float x = 0.05f; x < 1.0f; x += 0.05f)
        EXPECT_NEAR(evalCurveFloat(inverse.get(), evalCurveFloat(s.get(), x)), x, 1e-5);
}

TEST_F(CurveTest, InverseTypesUndoTheirForwardTypes)
{
    const std::vector<std::pair<int32_t, std::vector<double>>> curves = {
        {1, {2.2}},
        {2, {2.4, 1 / 1.055, 0.055 / 1.055}},
        {3, {2.4, 1 / 1.055, 0.055 / 1.055, 0.02}},
        {4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}},
        {5, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045, 0.01, 0.01}},
        {6, {2.2, 0.9, 0.1, 0.01}},
        {7, {1.5, 0.4, 5.0, 1.0, 0.1}},
        {8, {0.4, 3.0, 0.8, 0.1, 0.05}},
        {108, {1.7}},
        {109, {6.0}},
    };
    for (const auto& [type, params] : curves) {
        CurvePtr forward = parametric(type, params);
        CurvePtr reversed = wrap(reverseCurve(forward.get()));
        ASSERT_TRUE(reversed);
        EXPECT_EQ(parametricTypeOf(reversed.get()), -type);
        for (float x = 0.1f; x < 0.95f; x += 0.1f)
            EXPECT_NEAR(evalCurveFloat(reversed.get(), evalCurveFloat(forward.get(), x)), x, 2e-5)
                << "type " << type << " at " << x;
    }
}

// ---------------------------------------------------------------------------
// Plug-in types
// ---------------------------------------------------------------------------

double pluginEvaluator(int32_t type, const double p[10], double x)
{
    switch (type) {
    case 109: return p[0] == 0 ? x : 0.125;
    case -109: return p[0] == 0 ? x : 0.875;
    case 1: return 0.25;   // shadows the built-in gamma
    default: return -1;
    }
}

PluginParametricCurves pluginRecord()
{
    PluginParametricCurves r{};
    r.base = {PluginMagic, 2160, PluginParametricCurveSig, nullptr};
    r.functionCount = 2;
    r.functionTypes[0] = 109;
    r.parameterCounts[0] = 1;
    r.functionTypes[1] = 1;
    r.parameterCounts[1] = 1;
    r.evaluator = pluginEvaluator;
    return r;
}

TEST_F(CurveTest, PluginTypesAreFoundBeforeTheBuiltInOnes)
{
    PluginParametricCurves record = pluginRecord();
    ASSERT_TRUE(registerPlugins(ctx, &record));

    CurvePtr identity = parametric(109, {0.0});
    EXPECT_FLOAT_EQ(evalCurveFloat(identity.get(), 0.3f), 0.3f);
    CurvePtr marked = parametric(109, {3.0});
    EXPECT_FLOAT_EQ(evalCurveFloat(marked.get(), 0.3f), 0.125f);
    CurvePtr gamma = parametric(1, {2.2});
    EXPECT_FLOAT_EQ(evalCurveFloat(gamma.get(), 0.3f), 0.25f);

    // Reversal hands the negated type to the same evaluator.
    CurvePtr reversed = wrap(reverseCurve(marked.get()));
    EXPECT_EQ(parametricTypeOf(reversed.get()), -109);
    EXPECT_FLOAT_EQ(evalCurveFloat(reversed.get(), 0.3f), 0.875f);

    // Other contexts keep the engine's own formulas.
    CurvePtr plain(buildGammaCurve(nullptr, 2.2), &freeCurve);
    EXPECT_NEAR(evalCurveFloat(plain.get(), 0.5f), 0.217637640824031, 1e-6);
}

// ---------------------------------------------------------------------------
// Segments and float evaluation
// ---------------------------------------------------------------------------

TEST_F(CurveTest, FloatTabulatedCurveHoldsItsEndsOutsideTheUnitRange)
{
    const float v[5] = {0.1f, 0.2f, 0.6f, 0.7f, 0.9f};
    CurvePtr curve = wrap(buildTabulatedCurveFloat(ctx, 5, v));
    ASSERT_TRUE(curve);
    EXPECT_EQ(curveSegmentCount(curve.get()), 3u);
    EXPECT_EQ(tableEntryCount(curve.get()), 4096u);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), -3.0f), 0.1f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 0.0f), 0.1f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 4.0f), 0.9f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 1.0f), 0.9f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 0.25f), 0.2f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 0.375f), 0.4f);   // halfway between 0.2 and 0.6
    EXPECT_EQ(tableEntries(curve.get())[0], uint16_t(std::floor(0.1 * 65535 + 0.5)));
    EXPECT_EQ(tableEntries(curve.get())[4095], uint16_t(std::floor(0.9f * 65535.0 + 0.5)));
}

TEST_F(CurveTest, SegmentsAreSearchedFromTheLast)
{
    // Overlapping segments: the later one wins where both apply.
    float samples[3] = {0.0f, 0.5f, 0.25f};
    CurveSegment seg[2]{};
    seg[0] = {MinusInfinity, PlusInfinity, 6, {1, 0, 0, 0.75}, 0, nullptr};   // constant 0.75
    seg[1] = {0.5f, 1.0f, 0, {}, 3, samples};
    CurvePtr curve = wrap(buildSegmentedCurve(ctx, 2, seg));
    ASSERT_TRUE(curve);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 0.5f), 0.75f);     // x0 itself is outside (0.5, 1]
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 0.75f), 0.5f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 0.875f), 0.375f);
    EXPECT_FLOAT_EQ(evalCurveFloat(curve.get(), 2.0f), 0.75f);

    CurveSegment only = {0.0f, 1.0f, 1, {1.0}, 0, nullptr};
    CurvePtr partial = wrap(buildSegmentedCurve(ctx, 1, &only));
    EXPECT_EQ(evalCurveFloat(partial.get(), 2.0f), MinusInfinity);   // no segment
}

TEST_F(CurveTest, InfiniteResultsBecomePlusInfinity)
{
    CurvePtr curve = parametric(1, {-1.0});   // 0^-1
    EXPECT_EQ(evalCurveFloat(curve.get(), 0.0f), PlusInfinity);
}

TEST_F(CurveTest, TableOnlyCurvesQuantiseFloatInput)
{
    CurvePtr curve = table16({0, 1000, 65535});
    // 0.25 → 16384 → halfway into the first interval.
    const double expected = std::floor((1000.0 * 32769 + 0x8000) / 65536) / 65535.0;
    EXPECT_NEAR(evalCurveFloat(curve.get(), 0.25f), expected, 1e-7);
    EXPECT_EQ(evalCurveFloat(curve.get(), -1.0f), 0.0f);
    EXPECT_EQ(evalCurveFloat(curve.get(), 2.0f), 1.0f);
}

TEST_F(CurveTest, DuplicateKeepsSegmentsAndTable)
{
    CurvePtr curve = parametric(4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045});
    CurvePtr copy = wrap(duplicateCurve(curve.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(parametricTypeOf(copy.get()), 4);
    EXPECT_EQ(std::vector<uint16_t>(tableEntries(curve.get()), tableEntries(curve.get()) + 4096),
              std::vector<uint16_t>(tableEntries(copy.get()), tableEntries(copy.get()) + 4096));
    EXPECT_FLOAT_EQ(evalCurveFloat(copy.get(), 0.5f), evalCurveFloat(curve.get(), 0.5f));

    ToneCurve* triple[3] = {buildGammaCurve(ctx, 2.2), nullptr, duplicateCurve(curve.get())};
    freeCurveTriple(triple);
    EXPECT_EQ(triple[0], nullptr);
    EXPECT_EQ(triple[2], nullptr);
}

// ---------------------------------------------------------------------------
// Reversal and joining
// ---------------------------------------------------------------------------

TEST_F(CurveTest, GammaReversesAnalytically)
{
    CurvePtr gamma = wrap(buildGammaCurve(ctx, 2.2));
    CurvePtr reversed = wrap(reverseCurve(gamma.get()));
    ASSERT_TRUE(reversed);
    EXPECT_EQ(parametricTypeOf(reversed.get()), -1);
    EXPECT_EQ(curveSegment(reversed.get(), 0)->params[0], 2.2);
}

TEST_F(CurveTest, TabulatedCurveReversesIntoATable)
{
    std::vector<uint16_t> v(1024);
    for (uint32_t i = 0; i < v.size(); ++i) v[i] = uint16_t(std::floor(std::pow(i / 1023.0, 1.8) * 65535 + 0.5));
    CurvePtr curve = table16(v);
    CurvePtr reversed = wrap(reverseCurve(curve.get()));
    ASSERT_TRUE(reversed);
    EXPECT_EQ(tableEntryCount(reversed.get()), 4096u);
    EXPECT_EQ(curveSegmentCount(reversed.get()), 0u);
    for (uint32_t x = 0; x <= 65535; x += 257) {
        const double expected = std::pow(x / 65535.0, 1 / 1.8) * 65535;
        EXPECT_NEAR(evalCurve16(reversed.get(), uint16_t(x)), expected, x < 2000 ? 200.0 : 12.0) << x;
    }
}

TEST_F(CurveTest, ReversalOfFlatRunsAndFallingTables)
{
    // Rising with a flat middle: target 30000 lies on the flat run between
    // entries 1 and 2; a rising source takes the upper end (x of entry 2).
    CurvePtr rising = table16({0, 30000, 30000, 65535});
    CurvePtr r = wrap(reverseCurveWith(3, rising.get()));
    ASSERT_TRUE(r);
    EXPECT_EQ(tableEntries(r.get())[0], 0);
    EXPECT_EQ(tableEntries(r.get())[2], 65535);
    // Flat at the top: the target 65535 falls on the flat interval, whose
    // upper end (x = 65535) a rising source takes, not the lower (32768).
    CurvePtr flatTop = table16({0, 65535, 65535});
    CurvePtr top = wrap(reverseCurveWith(2, flatTop.get()));
    EXPECT_EQ(tableEntries(top.get())[1], 65535);

    // A falling table reverses into a falling table.
    CurvePtr falling = table16({65535, 40000, 0});
    CurvePtr f = wrap(reverseCurveWith(5, falling.get()));
    ASSERT_TRUE(f);
    const uint16_t* t = tableEntries(f.get());
    EXPECT_EQ(t[0], 65535);
    EXPECT_EQ(t[4], 0);
    // Target 16383.75 lies in the second interval: x from 32767.5 to 65535.
    EXPECT_EQ(t[1], uint16_t(std::floor(32767.5 + (16383.75 - 40000) * (32767.5 / -40000.0) + 0.5)));
    EXPECT_TRUE(isDescending(f.get()));
}

TEST_F(CurveTest, ReversalOnAFlatRunTakesTheEndThatMatchesTheDirection)
{
    // Targets 0, 21845, 43690, 65535 over a table whose middle interval is
    // flat at 21845.
    CurvePtr rising = table16({0, 21845, 21845, 65535});
    CurvePtr r = wrap(reverseCurveWith(4, rising.get()));
    EXPECT_EQ(tableEntries(r.get())[1], 43690);   // upper end, x of entry 2
    CurvePtr falling = table16({65535, 21845, 21845, 0});
    CurvePtr f = wrap(reverseCurveWith(4, falling.get()));
    // Searched bottom up, the first interval holding 21845 is (65535, 21845): its line gives x = 21845.
    EXPECT_EQ(tableEntries(f.get())[1], 21845);
    CurvePtr fallingFlatFirst = table16({21845, 21845, 0});
    CurvePtr g = wrap(reverseCurveWith(4, fallingFlatFirst.get()));
    EXPECT_EQ(tableEntries(g.get())[1], 0);   // lower end of the flat interval
}

// The reversal as a linear search over the intervals: from the top down on
// a rising table, from the bottom up otherwise.
std::vector<uint16_t> reversedByScan(const std::vector<uint16_t>& src, uint32_t entries)
{
    const size_t n = src.size();
    const bool rises = src[0] < src[n - 1], falls = src[n - 1] < src[0];
    const double xStep = 65535.0 / double(n - 1);
    std::vector<uint16_t> out(entries);
    double slope = 0, intercept = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const double t = double(i) * 65535.0 / double(entries - 1);
        int64_t found = -1;
        for (size_t k = 0; k + 1 < n && found < 0; ++k) {
            const size_t j = rises ? n - 2 - k : k;
            const double a = src[j], b = src[j + 1];
            if ((a <= t && t <= b) || (b <= t && t <= a)) found = int64_t(j);
        }
        if (found >= 0) {
            const double v1 = src[size_t(found)], v2 = src[size_t(found) + 1];
            const double x1 = double(found) * xStep, x2 = double(found + 1) * xStep;
            if (v1 == v2) {
                out[i] = quickSaturateWord(falls ? x1 : x2);
                continue;
            }
            slope = (x2 - x1) / (v2 - v1);
            intercept = x2 - slope * v2;
        }
        out[i] = quickSaturateWord(slope * t + intercept);
    }
    return out;
}

TEST_F(CurveTest, ReversalFindsTheIntervalsALinearSearchFinds)
{
    // Monotonic tables (bisected) with flat runs and gaps at their ends, and
    // tables that turn back (searched), rising and falling.
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const size_t n = 2 + rng() % 300;
        std::vector<uint16_t> table(n);
        uint32_t v = rng() % 8000;
        for (uint16_t& t : table) {
            t = uint16_t(std::min<uint32_t>(v, 65535));
            v += (round % 4 == 3 && rng() % 5 == 0) ? 0 : rng() % 3 == 0 ? 0 : rng() % (120000 / n);
        }
        if (round % 4 == 3) std::swap(table[n / 3], table[n / 2]);   // turns back
        if (round % 2 == 1) std::reverse(table.begin(), table.end());
        if (table.front() == table.back()) continue;
        const uint32_t entries = 2 + rng() % 500;
        CurvePtr curve = table16(table);
        CurvePtr reversed = wrap(reverseCurveWith(entries, curve.get()));
        ASSERT_TRUE(reversed);
        const std::vector<uint16_t> want = reversedByScan(table, entries);
        ASSERT_EQ(std::vector<uint16_t>(tableEntries(reversed.get()), tableEntries(reversed.get()) + entries), want)
            << "round " << round;
    }
}

TEST_F(CurveTest, ManySegmentsFindTheSegmentOfEachValue)
{
    // Linear pieces of two samples between 40 breakpoints: each value lands
    // in its own piece, and outside them in the end pieces; the same pieces
    // overlapping their neighbours still give the last piece that holds x.
    std::vector<float> at(41), y(41);
    for (size_t k = 0; k < at.size(); ++k) {
        at[k] = float(k * k) * 0.25f - 50.0f;
        y[k] = float(k) / 40.0f;
    }
    auto pieces = [&](float overlap) {
        std::vector<CurveSegment> s{CurveSegment{MinusInfinity, at[0], 6, {1, 0, 0, -1}, 0, nullptr}};
        for (size_t k = 1; k < at.size(); ++k) s.push_back(CurveSegment{at[k - 1], at[k] + overlap, 0, {}, 2, &y[k - 1]});
        s.push_back(CurveSegment{at.back(), PlusInfinity, 6, {1, 0, 0, 2}, 0, nullptr});
        return wrap(buildSegmentedCurve(ctx, uint32_t(s.size()), s.data()));
    };
    for (const float overlap : {0.0f, 0.1f}) {
        CurvePtr curve = pieces(overlap);
        ASSERT_TRUE(curve);
        for (double x = -60; x < 360; x += 0.37) {
            double want = x <= at[0] ? -1 : x > at.back() ? 2 : 0;
            for (size_t k = 1; k < at.size(); ++k) {
                const double x0 = at[k - 1], x1 = double(at[k] + overlap);
                if (x > x0 && x <= x1) want = (double(k - 1) + (x - x0) / (x1 - x0)) / 40.0;
            }
            EXPECT_NEAR(evalCurveFloat(curve.get(), float(x)), want, 1e-5) << x << " " << overlap;
        }
    }
}

TEST_F(CurveTest, ReversalRefusesDegenerateSizes)
{
    CurvePtr curve = table16({0, 100, 65535});
    EXPECT_FALSE(wrap(reverseCurveWith(1, curve.get())));
    EXPECT_FALSE(wrap(reverseCurveWith(65531, curve.get())));
}

TEST_F(CurveTest, JoinComposesTheReverseOfTheSecondCurve)
{
    CurvePtr x = wrap(buildGammaCurve(ctx, 2.2));
    CurvePtr y = wrap(buildGammaCurve(ctx, 1.1));
    CurvePtr joined = wrap(joinCurves(ctx, x.get(), y.get(), 256));
    ASSERT_TRUE(joined);
    EXPECT_EQ(curveSegmentCount(joined.get()), 3u);
    for (float t = 0; t <= 1.0f; t += 0.0625f) EXPECT_NEAR(evalCurveFloat(joined.get(), t), t * t, 1e-5) << t;

    CurvePtr table = wrap(buildTabulatedCurve16(ctx, 2, std::vector<uint16_t>{0, 65535}.data()));
    CurvePtr same = wrap(joinCurves(ctx, table.get(), table.get(), 100));
    for (float t = 0; t <= 1.0f; t += 0.125f) EXPECT_NEAR(evalCurveFloat(same.get(), t), t, 1.0 / 65535);
    EXPECT_FALSE(wrap(joinCurves(ctx, x.get(), y.get(), 1)));
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

TEST_F(CurveTest, MonotonicityAllowsSmallWobbles)
{
    struct Case {
        std::vector<uint16_t> table;
        bool monotonic;
    };
    const Case cases[] = {
        {{500}, true},
        {{0, 0, 0, 1000, 30000, 65535}, true},            // flat then rising
        {{0, 1000, 998, 5000, 65535}, true},              // a drop of 2 is tolerated
        {{0, 1000, 997, 5000, 65535}, false},             // a drop of 3 is not
        {{0, 5000, 65535, 65532}, false},                 // last entry still above the first: rising
        {{65535, 30000, 30002, 0}, true},                 // falling, rise of 2
        {{65535, 30000, 30003, 0}, false},                // falling, rise of 3
        {{40000, 40000, 40000}, true},
    };
    for (const Case& c : cases) {
        if (c.table.empty()) continue;
        CurvePtr curve = table16(c.table);
        EXPECT_EQ(isMonotonic(curve.get()), c.monotonic) << ::testing::PrintToString(c.table);
    }
}

TEST_F(CurveTest, LinearityToleratesFifteenUnits)
{
    std::vector<uint16_t> ramp(256);
    for (uint32_t i = 0; i < 256; ++i) ramp[i] = uint16_t(std::floor(i * 65535.0 / 255 + 0.5));
    EXPECT_TRUE(isLinear(table16(ramp).get()));
    ramp[100] += 15;
    EXPECT_TRUE(isLinear(table16(ramp).get()));
    ramp[100] += 1;
    EXPECT_FALSE(isLinear(table16(ramp).get()));
    EXPECT_TRUE(isLinear(wrap(buildGammaCurve(ctx, 1.0)).get()));
    EXPECT_FALSE(isLinear(wrap(buildGammaCurve(ctx, 1.2)).get()));
}

TEST_F(CurveTest, DescendingComparesTheEnds)
{
    EXPECT_TRUE(isDescending(table16({65535, 0}).get()));
    EXPECT_FALSE(isDescending(table16({0, 65535}).get()));
    EXPECT_FALSE(isDescending(table16({7, 7}).get()));
    EXPECT_TRUE(isDescending(table16({10, 60000, 9}).get()));
}

TEST_F(CurveTest, GammaEstimation)
{
    EXPECT_NEAR(estimateGamma(wrap(buildGammaCurve(ctx, 2.2)).get(), 0.01), 2.2, 1e-4);
    EXPECT_NEAR(estimateGamma(wrap(buildGammaCurve(ctx, 0.45)).get(), 0.01), 0.45, 1e-4);
    // A curve that is no power law has a spread of exponents.
    CurvePtr srgb = parametric(4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045});
    EXPECT_EQ(estimateGamma(srgb.get(), 0.001), -1.0);
    const double loose = estimateGamma(srgb.get(), 1.0);
    EXPECT_GT(loose, 2.0);
    EXPECT_LT(loose, 2.4);
    // Nothing strictly between 0 and 1: no estimate.
    EXPECT_EQ(estimateGamma(table16({65535, 65535}).get(), 1.0), -1.0);
}

} // namespace
