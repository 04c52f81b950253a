// Pipeline optimisation: the pre-pass, the grid sizes, and every replacement
// compared with the pipeline it replaces.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

constexpr double ToNormalisedXyz = 32768.0 / 65535.0;

uint8_t toByte(uint16_t w)
{
    return uint8_t((uint32_t(w) * 65281u + 0x800000u) >> 24);
}

std::string kindsOf(const Pipeline* p)
{
    std::string s;
    for (const Stage* st = pipelineFirstStage(p); st; st = stageNext(st)) {
        const uint32_t k = stageKind(st);
        if (!s.empty()) s += ' ';
        for (int shift = 24; shift >= 0; shift -= 8) s += char((k >> shift) & 0xFF);
    }
    return s;
}

// 8-bit samples: every value of a coarse lattice in each channel (all the
// dark values, then every fifth) plus random pixels.
std::vector<std::array<uint8_t, 3>> testPixels(uint32_t randomCount = 100000)
{
    std::vector<uint8_t> lattice;
    for (uint32_t v = 0; v < 8; ++v) lattice.push_back(uint8_t(v));
    for (uint32_t v = 10; v < 255; v += 5) lattice.push_back(uint8_t(v));
    lattice.push_back(254);
    lattice.push_back(255);
    std::vector<std::array<uint8_t, 3>> pixels;
    for (uint8_t r : lattice)
        for (uint8_t g : lattice)
            for (uint8_t b : lattice) pixels.push_back({r, g, b});
    std::mt19937 random(12345);
    for (uint32_t i = 0; i < randomCount; ++i)
        pixels.push_back({uint8_t(random() & 0xFF), uint8_t(random() & 0xFF), uint8_t(random() & 0xFF)});
    return pixels;
}

// Largest difference in 8-bit steps between two pipelines over the test pixels.
int maxByteDifference(const Pipeline* optimised, const Pipeline* reference, uint32_t outputs)
{
    int worst = 0;
    for (const auto& px : testPixels()) {
        const uint16_t in[3] = {uint16_t(px[0] * 257), uint16_t(px[1] * 257), uint16_t(px[2] * 257)};
        uint16_t a[MaxStageChannels], b[MaxStageChannels];
        evalPipeline16(in, a, optimised);
        evalPipeline16(in, b, reference);
        for (uint32_t o = 0; o < outputs; ++o) worst = std::max(worst, std::abs(int(toByte(a[o])) - int(toByte(b[o]))));
    }
    return worst;
}

// Largest 16-bit difference at the nodes of a 3-input grid, where a
// resampled table holds the pipeline's own values; the white node is skipped.
int maxNodeDifference(const Pipeline* optimised, const Pipeline* reference, uint32_t points)
{
    int worst = 0;
    for (uint32_t i = 0; i < points; ++i)
        for (uint32_t j = 0; j < points; ++j)
            for (uint32_t k = 0; k < points; ++k) {
                if (i == points - 1 && j == points - 1 && k == points - 1) continue;
                const uint16_t in[3] = {quantizeNode(i, points), quantizeNode(j, points), quantizeNode(k, points)};
                uint16_t a[MaxStageChannels], b[MaxStageChannels];
                evalPipeline16(in, a, optimised);
                evalPipeline16(in, b, reference);
                for (uint32_t o = 0; o < pipelineOutputs(reference); ++o)
                    worst = std::max(worst, std::abs(int(a[o]) - int(b[o])));
            }
    return worst;
}

// RGB to XYZ (D50) of a set of primaries under a white, as the matrix of a
// matrix-shaper profile.
Mat3 rgbToXyz(const CieXyY& white, const CieXyY primaries[3])
{
    Mat3 m;
    EXPECT_TRUE(primariesToXyz(&m, white, primaries));
    return m;
}

const CieXyY D65xyY{0.3127, 0.3290, 1.0};
const CieXyY SrgbPrimaries[3] = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
const CieXyY AdobePrimaries[3] = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
const CieXyY WidePrimaries[3] = {{0.7347, 0.2653, 1.0}, {0.1152, 0.8264, 1.0}, {0.1566, 0.0177, 1.0}};

class OptTest : public ::testing::Test {
protected:
    void SetUp() override { ctx = createContext(nullptr, nullptr); }
    void TearDown() override
    {
        setOptimiserVectorCode(true);
        curves.clear();   // before their context goes
        deleteContext(ctx);
    }

    PipelinePtr pipeline(uint32_t in, uint32_t out) { return PipelinePtr(newPipeline(ctx, in, out), &freePipeline); }

    ToneCurve* srgbCurve()
    {
        const double p[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
        return keep(buildParametricCurve(ctx, 4, p));
    }
    ToneCurve* gamma(double g) { return keep(buildGammaCurve(ctx, g)); }
    ToneCurve* reversed(const ToneCurve* c) { return keep(reverseCurve(c)); }
    ToneCurve* keep(ToneCurve* c)
    {
        curves.emplace_back(c, &freeCurve);
        return c;
    }

    Stage* curves3(const ToneCurve* c)
    {
        const ToneCurve* three[3] = {c, c, c};
        return newCurvesStage(ctx, 3, three);
    }
    Stage* matrix(const Mat3& m, double scale)
    {
        double v[9];
        for (int i = 0; i < 9; ++i) v[i] = m.m[i] * scale;
        return newMatrixStage(ctx, 3, 3, v, nullptr);
    }

    // RGB → XYZ → RGB through two matrix-shaper profiles, as the linker
    // builds it: curves, matrix, matrix, reversed curves.
    PipelinePtr matrixShaperPair(const ToneCurve* inCurve, const CieXyY inPrimaries[3], const ToneCurve* outCurve,
                                 const CieXyY outPrimaries[3])
    {
        PipelinePtr p = pipeline(3, 3);
        Mat3 out, outInverse;
        out = rgbToXyz(D65xyY, outPrimaries);
        EXPECT_TRUE(invert3x3(out, &outInverse));
        EXPECT_TRUE(insertStage(p.get(), AtEnd, curves3(inCurve)));
        EXPECT_TRUE(insertStage(p.get(), AtEnd, matrix(rgbToXyz(D65xyY, inPrimaries), ToNormalisedXyz)));
        EXPECT_TRUE(insertStage(p.get(), AtEnd, matrix(outInverse, 1.0 / ToNormalisedXyz)));
        EXPECT_TRUE(insertStage(p.get(), AtEnd, curves3(reversed(outCurve))));
        return p;
    }

    // Optimises a copy; returns it.
    PipelinePtr optimised(const Pipeline* source, uint32_t inputFormat, uint32_t outputFormat, uint32_t* flags,
                          uint32_t intent = IntentPerceptual)
    {
        Pipeline* p = duplicatePipeline(source);
        EXPECT_NE(p, nullptr);
        optimisePipeline(ctx, &p, intent, &inputFormat, &outputFormat, flags);
        return PipelinePtr(p, &freePipeline);
    }

    EngineContext* ctx = nullptr;
    std::vector<CurvePtr> curves;
};

// A stage from a function of its float inputs.
struct FunctionStage {
    std::function<void(const float*, float*)> f;
};

void evalFunction(const float in[], float out[], const Stage* s)
{
    static_cast<const FunctionStage*>(stageData(s))->f(in, out);
}

Stage* functionStage(EngineContext* ctx, uint32_t inputs, uint32_t outputs, const FunctionStage* f,
                     uint32_t kind = sig("fnct"))
{
    // Shared data: copied by pointer, owned by the test.
    return newStage(ctx, kind, inputs, outputs, evalFunction, nullptr, nullptr, const_cast<FunctionStage*>(f));
}

// ---------------------------------------------------------------------------
// Grid points
// ---------------------------------------------------------------------------

TEST(GridPoints, FollowTheChannelCountAndTheResolutionFlags)
{
    struct Case {
        const char* space;
        uint32_t flags;
        uint32_t points;
    };
    const Case cases[] = {
        {"GRAY", 0, 33},      {"GRAY", 0x400, 49},  {"GRAY", 0x800, 33},  {"RGB ", 0, 33},
        {"RGB ", 0x400, 49},  {"RGB ", 0x800, 17},  {"Lab ", 0, 33},      {"2CLR", 0x800, 17},
        {"CMYK", 0, 17},      {"CMYK", 0x400, 23},  {"CMYK", 0x800, 17},  {"6CLR", 0, 7},
        {"6CLR", 0x400, 7},   {"6CLR", 0x800, 6},   {"FCLR", 0, 7},       {"abcd", 0, 33},
        {"abcd", 0x800, 17},  {"RGB ", 0x00110000, 17}, {"CMYK", 0x00110000, 17},
        {"6CLR", 0x00110400, 17}, {"GRAY", 0x00FF0000, 255},
    };
    for (const Case& c : cases) {
        const uint32_t space = sig(*reinterpret_cast<const char(*)[5]>(c.space));
        EXPECT_EQ(gridPointsFor(space, c.flags), c.points) << c.space << " flags " << std::hex << c.flags;
    }
}

// ---------------------------------------------------------------------------
// Pre-pass
// ---------------------------------------------------------------------------

TEST_F(OptTest, PrePassRemovesWhatCancelsAndMultipliesMatrices)
{
    const Mat3 a{{1.2, 0.1, 0.0, -0.2, 0.9, 0.1, 0.05, 0.0, 1.1}};
    Mat3 aInverse;
    ASSERT_TRUE(invert3x3(a, &aInverse));
    ToneCurve* g = gamma(2.2);
    using Make = std::function<Stage*()>;
    const Make labToXyz = [&] { return newLabToXyzStage(ctx); };
    const Make xyzToLab = [&] { return newXyzToLabStage(ctx); };
    const Make v4ToV2 = [&] { return newLabV4ToV2Stage(ctx); };
    const Make v2ToV4 = [&] { return newLabV2ToV4Stage(ctx); };
    const Make v2ToV4Curves = [&] { return newLabV2ToV4CurvesStage(ctx); };
    const Make labNorm = [&] { return newLabToNormalisedStage(ctx); };
    const Make labDenorm = [&] { return newNormalisedToLabStage(ctx); };
    const Make xyzNorm = [&] { return newXyzToNormalisedStage(ctx); };
    const Make xyzDenorm = [&] { return newNormalisedToXyzStage(ctx); };
    const Make identity = [&] { return newIdentityStage(ctx, 3); };
    const Make identityClut = [&] { return newIdentityClutStage(ctx, 3); };
    const Make curves = [&] { return curves3(g); };
    const Make ma = [&] { return matrix(a, 1.0); };
    const Make maInverse = [&] { return matrix(aInverse, 1.0); };

    struct Case {
        const char* name;
        std::vector<Make> stages;
        const char* kinds;
    };
    const Case cases[] = {
        {"Lab to XYZ and back", {labToXyz, xyzToLab}, ""},
        {"XYZ to Lab and back", {xyzToLab, labToXyz}, ""},
        {"version 4 to 2 and back", {v4ToV2, v2ToV4}, ""},
        {"version 2 to 4 and back", {v2ToV4, v4ToV2}, ""},
        {"version 4 to 2, curves back", {v4ToV2, v2ToV4Curves}, ""},
        {"Lab normalised and back", {labNorm, labDenorm}, ""},
        {"Lab denormalised and back", {labDenorm, labNorm}, ""},
        {"XYZ normalised and back", {xyzNorm, xyzDenorm}, ""},
        {"identities", {identity, identityClut}, ""},
        {"nested pairs", {labToXyz, identity, xyzToLab}, ""},
        {"pairs between curves", {curves, labToXyz, xyzToLab, curves}, "cvst cvst"},
        {"identity between curves", {curves, identity, curves}, "cvst cvst"},
        {"two matrices", {ma, ma}, "matf"},
        {"a matrix and its inverse", {curves, ma, maInverse, curves}, "cvst cvst"},
        {"no pair", {labToXyz, curves}, "l2x  cvst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipelinePtr p = pipeline(3, 3);
        for (const Make& make : c.stages) ASSERT_TRUE(insertStage(p.get(), AtEnd, make()));
        uint32_t flags = XformNoOptimise;
        PipelinePtr o = optimised(p.get(), FormatRgb16, FormatRgb16, &flags);
        EXPECT_EQ(kindsOf(o.get()), c.kinds);
        EXPECT_EQ(pipelineInputs(o.get()), 3u);
        EXPECT_EQ(pipelineOutputs(o.get()), 3u);
        // What is left computes what the whole did.
        for (float x : {0.0f, 0.25f, 0.5f, 0.8f, 1.0f}) {
            const float in[3] = {x, 0.5f, 1.0f - x};
            float before[MaxStageChannels], after[MaxStageChannels];
            evalPipelineFloat(in, before, p.get());
            evalPipelineFloat(in, after, o.get());
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(after[i], before[i], 2e-4) << "x " << x << " channel " << i;
        }
    }
}

TEST_F(OptTest, AnEmptiedPipelineCopiesItsInputsExactly)
{
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newLabToXyzStage(ctx)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newXyzToLabStage(ctx)));
    for (uint32_t inputFormat : {FormatLab16, FormatLabFloat}) {
        uint32_t flags = 0;
        PipelinePtr o = optimised(p.get(), inputFormat, inputFormat, &flags);
        EXPECT_EQ(pipelineStageCount(o.get()), 0u);
        for (uint32_t v : {0u, 1u, 0x8080u, 0xFFFEu, 0xFFFFu}) {
            const uint16_t in[3] = {uint16_t(v), uint16_t(0xFFFF - v), 1234};
            uint16_t out[3];
            evalPipeline16(in, out, o.get());
            EXPECT_EQ(out[0], in[0]);
            EXPECT_EQ(out[1], in[1]);
            EXPECT_EQ(out[2], in[2]);
        }
        // Copies keep the evaluator.
        PipelinePtr copy(duplicatePipeline(o.get()), &freePipeline);
        const uint16_t in[3] = {7, 8, 9};
        uint16_t out[3];
        evalPipeline16(in, out, copy.get());
        EXPECT_EQ(out[2], 9);
    }
}

TEST_F(OptTest, NamedColourPipelinesAreLeftAlone)
{
    const FunctionStage names{[](const float* in, float* out) { out[0] = out[1] = out[2] = in[0]; }};
    PipelinePtr p = pipeline(1, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, functionStage(ctx, 1, 3, &names, sig("ncl "))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newLabToXyzStage(ctx)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newXyzToLabStage(ctx)));
    uint32_t flags = 0;
    const uint32_t index16 = pixelFormat(0, 1, 2);
    PipelinePtr o = optimised(p.get(), index16, FormatLab16, &flags);
    EXPECT_EQ(kindsOf(o.get()), "ncl  l2x  x2l ");
    EXPECT_EQ(flags, 0u);
}

// ---------------------------------------------------------------------------
// Joined curves
// ---------------------------------------------------------------------------

TEST_F(OptTest, CurvesThatCancelBecomeAnIdentityWithoutCache)
{
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(1 / 2.2))));
    uint32_t flags = 0;
    PipelinePtr o = optimised(p.get(), FormatRgb16, FormatRgb16, &flags);
    EXPECT_EQ(pipelineStageCount(o.get()), 0u);
    EXPECT_EQ(flags, XformNoCache);
    const uint16_t in[3] = {1, 30000, 65535};
    uint16_t out[3];
    evalPipeline16(in, out, o.get());
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 30000);
    EXPECT_EQ(out[2], 65535);
}

TEST_F(OptTest, CurvesJoinIntoOneStageThatFollowsTheChain)
{
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(1.5))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(srgbCurve())));
    uint32_t flags = 0;
    PipelinePtr o = optimised(p.get(), FormatRgb16, FormatRgb16, &flags);
    ASSERT_EQ(kindsOf(o.get()), "cvst");
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(tableEntryCount(stageCurves(pipelineFirstStage(o.get()))[0]), 4096u);
    int worst = 0;
    for (uint32_t v = 0; v <= 0xFFFF; ++v) {
        const uint16_t in[3] = {uint16_t(v), uint16_t(v), uint16_t(0xFFFF - v)};
        uint16_t a[3], b[3];
        evalPipeline16(in, a, o.get());
        evalPipeline16(in, b, p.get());
        for (int i = 0; i < 3; ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    }
    EXPECT_LE(worst, 2);

    // Float formats keep the chain.
    flags = 0;
    PipelinePtr f = optimised(p.get(), FormatRgbFloat, FormatRgbFloat, &flags);
    EXPECT_EQ(kindsOf(f.get()), "cvst cvst cvst");
}

// ---------------------------------------------------------------------------
// Matrix-shaper
// ---------------------------------------------------------------------------

TEST_F(OptTest, TwoMatrixShapersFoldIntoOneWithin8BitStep)
{
    // A tabulated curve, as a 'curv' table of 1024 entries gives it.
    std::vector<uint16_t> table(1024);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = uint16_t(std::floor(std::pow(double(i) / 1023, 1.8) * 65535 + 0.5));
    ToneCurve* tabulated = keep(buildTabulatedCurve16(ctx, 1024, table.data()));

    struct Case {
        const char* name;
        ToneCurve* in;
        const CieXyY* inPrimaries;
        ToneCurve* out;
        const CieXyY* outPrimaries;
    };
    const Case cases[] = {
        {"sRGB to a gamma 2.2 space", srgbCurve(), SrgbPrimaries, gamma(2.2), AdobePrimaries},
        {"gamma 2.2 to sRGB", gamma(2.2), AdobePrimaries, srgbCurve(), SrgbPrimaries},
        {"sRGB to a wide gamut of gamma 2.6", srgbCurve(), SrgbPrimaries, gamma(2.6), WidePrimaries},
        {"wide gamut to sRGB", gamma(2.6), WidePrimaries, srgbCurve(), SrgbPrimaries},
        {"tabulated curves both ends", tabulated, SrgbPrimaries, tabulated, WidePrimaries},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipelinePtr p = matrixShaperPair(c.in, c.inPrimaries, c.out, c.outPrimaries);
        for (uint32_t outputFormat : {FormatRgb8, FormatRgb16}) {
            uint32_t flags = 0;
            PipelinePtr o = optimised(p.get(), FormatRgba8, outputFormat, &flags);
            ASSERT_EQ(kindsOf(o.get()), "cvst matf cvst");
            EXPECT_NE(o->eval16, nullptr);
            EXPECT_LE(maxByteDifference(o.get(), p.get(), 3), 1);
        }
        // The whole 16-bit range still goes through (words that are not
        // 8-bit samples take the general path).
        uint32_t flags = 0;
        PipelinePtr o = optimised(p.get(), FormatRgb8, FormatRgb16, &flags);
        std::mt19937 random(7);
        int worst = 0;
        for (int i = 0; i < 20000; ++i) {
            const uint16_t in[3] = {uint16_t(random()), uint16_t(random()), uint16_t(random())};
            uint16_t a[3], b[3];
            evalPipeline16(in, a, o.get());
            evalPipeline16(in, b, p.get());
            for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(int(a[k]) - int(b[k])));
        }
        EXPECT_LE(worst, 128);
    }
    // A space to itself: the matrices cancel, then the curves.
    PipelinePtr same = matrixShaperPair(srgbCurve(), SrgbPrimaries, srgbCurve(), SrgbPrimaries);
    uint32_t flags = 0;
    EXPECT_EQ(kindsOf(optimised(same.get(), FormatRgb8, FormatRgb8, &flags).get()), "");
    EXPECT_EQ(flags, XformNoCache);
}

TEST_F(OptTest, MatrixShaperNeedsThreeChannelIntegerFormats)
{
    PipelinePtr p = matrixShaperPair(srgbCurve(), SrgbPrimaries, gamma(2.2), AdobePrimaries);
    struct Case {
        uint32_t in, out;
        const char* kinds;
    };
    const Case cases[] = {
        {FormatRgb8, FormatRgb8, "cvst matf cvst"},
        {FormatBgr8, FormatRgba16, "cvst matf cvst"},
        {FormatRgb16, FormatRgb16, "cvst matf cvst"},   // the 16-bit tables
        {FormatRgb8Planar, FormatRgb8, "cvst matf cvst"},
        {FormatRgbFloat, FormatRgb8, "cvst matf cvst"},   // left as it is
        {FormatRgb8, FormatRgbFloat, "cvst matf cvst"},
    };
    for (const Case& c : cases) {
        uint32_t flags = 0;
        PipelinePtr o = optimised(p.get(), c.in, c.out, &flags);
        EXPECT_EQ(kindsOf(o.get()), c.kinds) << std::hex << c.in << " " << c.out;
        if (formatFloat(c.in) || formatFloat(c.out)) {
            EXPECT_EQ(o->eval16, nullptr);
        }
    }
}

TEST_F(OptTest, MatricesTooLargeForTheFixedPointGoElsewhere)
{
    PipelinePtr p = pipeline(3, 3);
    const Mat3 large{{40, -39, 0, 0, 1, 0, 0, 0, 1}};
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, matrix(large, 1.0)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(1 / 2.2))));
    uint32_t flags = 0;
    PipelinePtr o = optimised(p.get(), FormatRgb8, FormatRgb8, &flags);
    EXPECT_NE(kindsOf(o.get()), "cvst matf cvst");
}

// ---------------------------------------------------------------------------
// Pre-linearisation
// ---------------------------------------------------------------------------

// A gentle, non-linear colour adjustment in linear light: each channel moves
// towards the luminance by 0.2·x·(1 - x)·(Y - x), which keeps it within 0 … 1
// (a clipped channel would put a kink into the pipeline that no table
// follows to within one step) and leaves black and white where they are.
struct LinearAdjustment {
    FunctionStage stage{[](const float* in, float* out) {
        const float y = 0.2126f * in[0] + 0.7152f * in[1] + 0.0722f * in[2];
        for (int i = 0; i < 3; ++i) out[i] = in[i] + 0.2f * in[i] * (1 - in[i]) * (y - in[i]);
    }};
};

TEST_F(OptTest, RgbToRgbWithoutAMatrixIsPrelinearised)
{
    LinearAdjustment adjust;
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(srgbCurve())));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, functionStage(ctx, 3, 3, &adjust.stage)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(reversed(srgbCurve()))));

    uint32_t flags = 0;
    PipelinePtr o = optimised(p.get(), FormatRgb8, FormatRgb8, &flags);
    ASSERT_EQ(kindsOf(o.get()), "cvst clut");
    EXPECT_EQ(clutGridPoints(stageNext(pipelineFirstStage(o.get())))[0], 33u);
    EXPECT_LE(maxByteDifference(o.get(), p.get(), 3), 1);
    const uint16_t white[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    uint16_t result[3];
    evalPipeline16(white, result, o.get());
    EXPECT_EQ(result[0], 0xFFFF);
    EXPECT_EQ(result[1], 0xFFFF);
    EXPECT_EQ(result[2], 0xFFFF);

    // 16-bit input too (wider input only with the keep-pre-linearisation flag).
    flags = 0;
    PipelinePtr o16 = optimised(p.get(), FormatRgb16, FormatRgb16, &flags);
    EXPECT_EQ(kindsOf(o16.get()), "cvst clut");
    EXPECT_LE(maxByteDifference(o16.get(), p.get(), 3), 1);
    // Only RGB to RGB.
    flags = 0;
    EXPECT_EQ(kindsOf(optimised(p.get(), FormatRgb8, pixelFormat(PixelCmy, 3, 1), &flags).get()), "clut");
}

TEST_F(OptTest, PrelinearisationRefusesDegenerateAndNonMonotonicCurves)
{
    LinearAdjustment adjust;
    // The last curves clip: a tenth of their table is 0.
    std::vector<uint16_t> clipped(256);
    for (size_t i = 0; i < clipped.size(); ++i)
        clipped[i] = uint16_t(i < 26 ? 0 : std::floor((double(i) - 25) / 230 * 65535 + 0.5));
    ToneCurve* clip = keep(buildTabulatedCurve16(ctx, 256, clipped.data()));
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, functionStage(ctx, 3, 3, &adjust.stage)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(clip)));
    uint32_t flags = 0;
    EXPECT_EQ(kindsOf(optimised(p.get(), FormatRgb8, FormatRgb8, &flags).get()), "clut");

    // A neutral axis that turns back.
    const FunctionStage fold{[](const float* in, float* out) {
        for (int i = 0; i < 3; ++i) out[i] = in[i] < 0.5f ? in[i] : 1.0f - in[i] * 0.5f;
    }};
    PipelinePtr q = pipeline(3, 3);
    ASSERT_TRUE(insertStage(q.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(q.get(), AtEnd, functionStage(ctx, 3, 3, &fold)));
    flags = 0;
    EXPECT_EQ(kindsOf(optimised(q.get(), FormatRgb8, FormatRgb8, &flags).get()), "clut");
}

// ---------------------------------------------------------------------------
// Resampling and the white fix-up
// ---------------------------------------------------------------------------

// A smooth RGB to CMYK separation with a little black generation.
struct Separation {
    FunctionStage stage{[](const float* in, float* out) {
        const float c = 1 - in[0], m = 1 - in[1], y = 1 - in[2];
        const float k = std::max(0.0f, std::min({c, m, y}) - 0.2f) * 0.8f;
        out[0] = (c - k) * 0.98f + 0.004f;   // white gives a trace of ink
        out[1] = (m - k) * 0.98f + 0.004f;
        out[2] = (y - k) * 0.98f + 0.004f;
        out[3] = k;
    }};
};

TEST_F(OptTest, ResamplingUsesTheGridOfTheFlags)
{
    Separation separation;
    PipelinePtr p = pipeline(3, 4);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, functionStage(ctx, 3, 4, &separation.stage)));
    struct Case {
        uint32_t flags;
        uint32_t points;
    };
    for (const Case& c : {Case{0, 33}, Case{0x400, 49}, Case{0x800, 17}, Case{0x00110000, 17}, Case{0x00110400, 17}}) {
        uint32_t flags = c.flags;
        PipelinePtr o = optimised(p.get(), FormatRgb8, FormatCmyk8, &flags);
        ASSERT_EQ(kindsOf(o.get()), "clut");
        EXPECT_EQ(clutGridPoints(pipelineFirstStage(o.get()))[0], c.points) << std::hex << c.flags;
    }
    // CMYK input.
    const FunctionStage back{[](const float* in, float* out) {
        for (int i = 0; i < 3; ++i) out[i] = (1 - in[i]) * (1 - in[3]);
    }};
    PipelinePtr q = pipeline(4, 3);
    ASSERT_TRUE(insertStage(q.get(), AtEnd, functionStage(ctx, 4, 3, &back)));
    for (const Case& c : {Case{0, 17}, Case{0x400, 23}, Case{0x00110000, 17}}) {
        uint32_t flags = c.flags;
        PipelinePtr o = optimised(q.get(), FormatCmyk16, FormatRgb16, &flags);
        ASSERT_EQ(kindsOf(o.get()), "clut");
        EXPECT_EQ(clutGridPoints(pipelineFirstStage(o.get()))[0], c.points) << std::hex << c.flags;
    }
}

TEST_F(OptTest, ResampledTablesFollowThePipelineAndFixTheWhite)
{
    Separation separation;
    PipelinePtr p = pipeline(3, 4);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(srgbCurve())));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, functionStage(ctx, 3, 4, &separation.stage)));
    const uint16_t white[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    const uint16_t trace = quickSaturateWord(0.004 * 65535);

    for (uint32_t intent : {IntentPerceptual, IntentRelativeColorimetric, IntentAbsoluteColorimetric}) {
        uint32_t flags = 0;
        PipelinePtr o = optimised(p.get(), FormatRgb8, FormatCmyk8, &flags, intent);
        ASSERT_EQ(kindsOf(o.get()), "clut");
        // 16-bit positions of the nodes can fall a fraction beyond them.
        EXPECT_LE(maxNodeDifference(o.get(), p.get(), 33), 1);
        // Between the nodes: a smooth separation on a 33-point grid.
        EXPECT_LE(maxByteDifference(o.get(), p.get(), 4), 2);
        uint16_t result[4];
        evalPipeline16(white, result, o.get());
        if (intent == IntentAbsoluteColorimetric) {
            EXPECT_EQ(flags, XformNoWhiteFixup);
            EXPECT_EQ(result[0], trace);
        } else {
            EXPECT_EQ(flags, 0u);
            for (int i = 0; i < 4; ++i) EXPECT_EQ(result[i], 0) << i;
        }
    }
    // The fix-up can be turned off.
    uint32_t flags = XformNoWhiteFixup;
    PipelinePtr o = optimised(p.get(), FormatRgb16, FormatCmyk16, &flags);
    uint16_t result[4];
    evalPipeline16(white, result, o.get());
    EXPECT_EQ(result[1], trace);
}

TEST_F(OptTest, TableEvaluatorsGiveTheWordsOfTheirStages)
{
    Separation separation;
    LinearAdjustment adjust;
    PipelinePtr cmyk = pipeline(3, 4);
    ASSERT_TRUE(insertStage(cmyk.get(), AtEnd, curves3(srgbCurve())));
    ASSERT_TRUE(insertStage(cmyk.get(), AtEnd, functionStage(ctx, 3, 4, &separation.stage)));
    PipelinePtr rgb = pipeline(3, 3);
    ASSERT_TRUE(insertStage(rgb.get(), AtEnd, curves3(srgbCurve())));
    ASSERT_TRUE(insertStage(rgb.get(), AtEnd, functionStage(ctx, 3, 3, &adjust.stage)));
    ASSERT_TRUE(insertStage(rgb.get(), AtEnd, curves3(reversed(srgbCurve()))));
    struct Case {
        const char* name;
        const Pipeline* source;
        uint32_t in, out, flags;
        const char* kinds;
    };
    const Case cases[] = {
        {"resampled, 8-bit", cmyk.get(), FormatRgb8, FormatCmyk8, 0, "clut"},
        {"resampled, 16-bit", cmyk.get(), FormatRgb16, FormatCmyk16, 0, "clut"},
        {"pre-linearised, 8-bit", rgb.get(), FormatRgb8, FormatRgb8, 0, "cvst clut"},
        {"pre-linearised, 16-bit", rgb.get(), FormatRgb16, FormatRgb16, XformKeepPreLinearisation, "cvst clut"},
    };
    std::mt19937 random(99);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t flags = c.flags;
        PipelinePtr o = optimised(c.source, c.in, c.out, &flags);
        ASSERT_EQ(kindsOf(o.get()), c.kinds);
        ASSERT_NE(o->eval16, nullptr);
        PipelinePtr stages(duplicatePipeline(o.get()), &freePipeline);
        setPipelineEvaluators(stages.get(), nullptr, nullptr, nullptr, nullptr, nullptr);
        uint32_t mismatches = 0;
        auto compare = [&](const uint16_t in[3]) {
            uint16_t a[4], b[4];
            evalPipeline16(in, a, o.get());
            evalPipeline16(in, b, stages.get());
            for (uint32_t k = 0; k < pipelineOutputs(o.get()); ++k) mismatches += a[k] != b[k];
        };
        for (const auto& px : testPixels(20000)) {
            const uint16_t in[3] = {uint16_t(px[0] * 257), uint16_t(px[1] * 257), uint16_t(px[2] * 257)};
            compare(in);
        }
        for (int i = 0; i < 20000; ++i) {
            const uint16_t in[3] = {uint16_t(random()), uint16_t(random()), uint16_t(random())};
            compare(in);
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST_F(OptTest, WhiteFixUpReachesWhitesOffTheGridAndThroughPostCurves)
{
    // Lab to RGB: the white a = b = 0x8080 lies between nodes of an odd grid.
    const FunctionStage labToGrey{[](const float* in, float* out) {
        const float v = in[0] * 0.99f + (in[1] - 0.5f) * 0.3f;
        out[0] = v;
        out[1] = in[0] * 0.99f;
        out[2] = in[0] * 0.99f - (in[2] - 0.5f) * 0.3f;
    }};
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, functionStage(ctx, 3, 3, &labToGrey)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(1 / 2.2))));
    const uint16_t labWhite[3] = {0xFFFF, 0x8080, 0x8080};
    // With 16-bit input into RGB the curves stay behind the table even unasked.
    for (uint32_t flags : {0u, uint32_t(XformKeepPostLinearisation)}) {
        PipelinePtr o = optimised(p.get(), FormatLab16, FormatRgb16, &flags);
        EXPECT_EQ(kindsOf(o.get()), "clut cvst");
        uint16_t result[3];
        evalPipeline16(labWhite, result, o.get());
        for (int i = 0; i < 3; ++i) EXPECT_EQ(result[i], 0xFFFF) << i;
        // Float evaluation of the stages agrees.
        const float in[3] = {1.0f, float(0x8080 / 65535.0), float(0x8080 / 65535.0)};
        float f[3];
        evalPipelineFloat(in, f, o.get());
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(f[i], 1.0f, 1.0 / 65535);
    }
    // A white far from white is left alone.
    const FunctionStage invert{[](const float* in, float* out) {
        for (int i = 0; i < 3; ++i) out[i] = 1 - in[i];
    }};
    PipelinePtr q = pipeline(3, 3);
    ASSERT_TRUE(insertStage(q.get(), AtEnd, functionStage(ctx, 3, 3, &invert)));
    uint32_t flags = 0;
    PipelinePtr o = optimised(q.get(), FormatRgb16, FormatRgb16, &flags);
    const uint16_t white[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    uint16_t result[3];
    evalPipeline16(white, result, o.get());
    EXPECT_EQ(result[0], 0);
}

TEST_F(OptTest, ForcedTablesKeepTheLinearisationCurvesAsked)
{
    PipelinePtr p = matrixShaperPair(srgbCurve(), SrgbPrimaries, gamma(2.2), AdobePrimaries);
    // Error bounds in 8-bit steps. The gamma 2.2 output rises without limit
    // at black: a table over the encoded input errs by a few steps in its
    // first cell, one over linear input (pre-curves kept) by much more. With
    // the output curves kept the table holds linear light, close to linear
    // in the encoded input whose curve has a straight foot.
    struct Case {
        uint32_t flags;
        const char* kinds;
        int worst;
    };
    const Case cases[] = {
        {XformForceClut, "clut", 6},
        {XformForceClut | XformKeepPreLinearisation, "cvst clut", 16},
        {XformForceClut | XformKeepPostLinearisation, "clut cvst", 2},
        {XformForceClut | XformKeepPreLinearisation | XformKeepPostLinearisation, "cvst clut cvst", 2},
    };
    for (const Case& c : cases) {
        uint32_t flags = c.flags;
        PipelinePtr o = optimised(p.get(), FormatRgb8, FormatRgb8, &flags);
        EXPECT_EQ(kindsOf(o.get()), c.kinds) << std::hex << c.flags;
        EXPECT_LE(maxByteDifference(o.get(), p.get(), 3), c.worst) << std::hex << c.flags;
    }

    // Linear end curves are not kept.
    PipelinePtr q = pipeline(3, 3);
    ASSERT_TRUE(insertStage(q.get(), AtEnd, curves3(gamma(1.0))));
    ASSERT_TRUE(insertStage(q.get(), AtEnd, newLabToXyzStage(ctx)));
    uint32_t flags = XformForceClut | XformKeepPreLinearisation;
    EXPECT_EQ(kindsOf(optimised(q.get(), FormatLab16, FormatXyz16, &flags).get()), "clut");
    // Nothing at all gives the smallest table.
    PipelinePtr empty = pipeline(3, 3);
    flags = XformForceClut;
    PipelinePtr o = optimised(empty.get(), FormatRgb16, FormatRgb16, &flags);
    ASSERT_EQ(kindsOf(o.get()), "clut");
    EXPECT_EQ(clutGridPoints(pipelineFirstStage(o.get()))[0], 2u);
}

// ---------------------------------------------------------------------------
// Plug-ins
// ---------------------------------------------------------------------------

int pluginCalls = 0;

bool markingOptimisation(Pipeline** pipeline, uint32_t, uint32_t*, uint32_t*, uint32_t* flags)
{
    ++pluginCalls;
    *flags |= 0x80000000u;
    return pipelineStageCount(*pipeline) == 2;   // takes only two-stage pipelines
}

TEST_F(OptTest, PluginOptimisationsAreTriedFirst)
{
    PluginOptimization plugin{{PluginMagic, EngineVersion, PluginOptimizationSig, nullptr}, markingOptimisation};
    ASSERT_TRUE(registerPlugins(ctx, &plugin));
    pluginCalls = 0;
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(2.2))));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(1.2))));
    uint32_t flags = 0;
    PipelinePtr o = optimised(p.get(), FormatRgb8, FormatRgb8, &flags);
    EXPECT_EQ(pluginCalls, 1);
    EXPECT_EQ(kindsOf(o.get()), "cvst cvst");   // the built-in joining never ran
    // A plug-in that declines leaves the built-in ones to run.
    ASSERT_TRUE(insertStage(p.get(), AtEnd, curves3(gamma(1.1))));
    flags = 0;
    o = optimised(p.get(), FormatRgb8, FormatRgb8, &flags);
    EXPECT_EQ(pluginCalls, 2);
    EXPECT_EQ(kindsOf(o.get()), "cvst");
    // No optimisation: no plug-in either.
    flags = XformNoOptimise;
    o = optimised(p.get(), FormatRgb8, FormatRgb8, &flags);
    EXPECT_EQ(pluginCalls, 2);
}

// ---------------------------------------------------------------------------
// Line workers
// ---------------------------------------------------------------------------

// Runs the pipeline's evaluator pixel by pixel, as the 16-bit worker does.
std::vector<uint8_t> byEvaluator(const Pipeline* p, const std::vector<uint8_t>& in, uint32_t inputFormat,
                                 uint32_t outputFormat, const std::vector<uint8_t>& outStart)
{
    Transform layout;
    makePixelLayout(inputFormat, &layout.inLayout);
    makePixelLayout(outputFormat, &layout.outLayout);
    const PixelLayout& I = layout.inLayout;
    const PixelLayout& O = layout.outLayout;
    std::vector<uint8_t> out = outStart;
    const size_t pixels = in.size() / I.samples;
    for (size_t i = 0; i < pixels; ++i) {
        uint16_t words[MaxStageChannels], result[MaxStageChannels];
        for (uint32_t c = 0; c < I.channels; ++c) words[c] = uint16_t(in[i * I.samples + I.position[c]] * 257);
        evalPipeline16(words, result, p);
        for (uint32_t c = 0; c < O.channels; ++c) out[i * O.samples + O.position[c]] = toByte(result[c]);
    }
    return out;
}

std::vector<uint8_t> pixelBuffer(uint32_t samples)
{
    std::vector<uint8_t> buffer;
    for (const auto& px : testPixels(20000)) {
        buffer.insert(buffer.end(), px.begin(), px.end());
        for (uint32_t e = 3; e < samples; ++e) buffer.push_back(uint8_t(px[0] ^ 0x5A));
    }
    return buffer;
}

TEST_F(OptTest, LineWorkersGiveTheEvaluatorsBytes)
{
    Separation separation;
    struct Case {
        const char* name;
        uint32_t in, out;
        bool cmyk;
    };
    const Case cases[] = {
        {"RGBA to RGBA", FormatRgba8, FormatRgba8, false},
        {"RGB to BGRA", FormatRgb8, FormatBgra8, false},
        {"ARGB to RGB", FormatArgb8, FormatRgb8, false},
        {"RGBA to CMYK", FormatRgba8, FormatCmyk8, true},
        {"BGR to KYMC", FormatBgr8, FormatKymc8, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipelinePtr source = c.cmyk ? pipeline(3, 4) : matrixShaperPair(srgbCurve(), SrgbPrimaries, gamma(2.2),
                                                                        WidePrimaries);
        if (c.cmyk) {
            ASSERT_TRUE(insertStage(source.get(), AtEnd, curves3(srgbCurve())));
            ASSERT_TRUE(insertStage(source.get(), AtEnd, functionStage(ctx, 3, 4, &separation.stage)));
        }
        for (uint32_t flags : {0u, uint32_t(XformCopyAlpha)}) {
            TransformSetup setup;
            setup.inputFormat = c.in;
            setup.outputFormat = c.out;
            setup.flags = flags;
            if (formatExtra(c.in) != formatExtra(c.out)) setup.flags = 0;
            TransformPtr t(transformFromPipeline(ctx, duplicatePipeline(source.get()), setup), &deleteTransform);
            ASSERT_NE(t, nullptr);
            ASSERT_NE(optimisedWorkerFor(t.get()), nullptr);
            const std::vector<uint8_t> in = pixelBuffer(t->inLayout.samples);
            const size_t pixels = in.size() / t->inLayout.samples;
            const std::vector<uint8_t> start(pixels * t->outLayout.samples, 0xA5);
            std::vector<uint8_t> expected = byEvaluator(t->lut, in, c.in, c.out, start);
            if ((setup.flags & XformCopyAlpha) && formatExtra(c.in) == 1)
                for (size_t i = 0; i < pixels; ++i)
                    expected[i * 4 + t->outLayout.position[3]] = in[i * 4 + t->inLayout.position[3]];
            for (bool vector : {true, false}) {
                setOptimiserVectorCode(vector);
                std::vector<uint8_t> out = start;
                doTransform(t.get(), in.data(), out.data(), uint32_t(pixels));
                EXPECT_EQ(out, expected) << (vector ? "vector" : "plain") << " flags " << setup.flags;
            }
        }
    }
}

TEST_F(OptTest, LineWorkersStayOutOfFormatsTheyDoNotRead)
{
    PipelinePtr source = matrixShaperPair(srgbCurve(), SrgbPrimaries, gamma(2.2), WidePrimaries);
    for (auto [in, out] : {std::pair{FormatRgb8Planar, FormatRgb8}, std::pair{FormatRgb8, FormatRgb16},
                           std::pair{pixelFormat(PixelRgb, 3, 1, 0, PixelInverted), FormatRgb8}}) {
        TransformSetup setup;
        setup.inputFormat = in;
        setup.outputFormat = out;
        TransformPtr t(transformFromPipeline(ctx, duplicatePipeline(source.get()), setup), &deleteTransform);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(optimisedWorkerFor(t.get()), nullptr) << std::hex << in << " " << out;
        EXPECT_NE(t->lut->eval16, nullptr);
    }
    // Formatter plug-ins may read any format their own way.
    PluginFormatters formatters{{PluginMagic, EngineVersion, PluginFormattersSig, nullptr},
                                [](uint32_t, FormatterDirection, uint32_t) { return Formatter{}; }};
    ASSERT_TRUE(registerPlugins(ctx, &formatters));
    TransformSetup setup;
    setup.inputFormat = FormatRgb8;
    setup.outputFormat = FormatRgb8;
    TransformPtr t(transformFromPipeline(ctx, duplicatePipeline(source.get()), setup), &deleteTransform);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(optimisedWorkerFor(t.get()), nullptr);
}

// ---------------------------------------------------------------------------
// Transforms between real profiles
// ---------------------------------------------------------------------------

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;

ProfilePtr openProfile(const std::string& path)
{
    ProfilePtr p(openFromFile(nullptr, path.c_str(), "r"), &closeProfile);
    EXPECT_NE(p, nullptr) << path << " is missing";
    return p;
}

const std::string Colord = "/usr/share/color/icc/colord/";
const std::string Argyll = "/usr/share/color/argyll/ref/";
const std::string PressProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

// Runs both transforms over the test pixels (8-bit RGB input laid out as
// the format asks); returns the histogram of the largest channel difference.
std::vector<uint32_t> compareTransforms(Transform* optimised, Transform* reference, uint32_t inputFormat,
                                        uint32_t outputFormat)
{
    const auto pixels = testPixels();
    const uint32_t inSamples = formatChannels(inputFormat) + formatExtra(inputFormat);
    const uint32_t outSamples = formatChannels(outputFormat) + formatExtra(outputFormat);
    const bool reversed = formatReversed(inputFormat);
    std::vector<uint8_t> in(pixels.size() * inSamples, 0x77);
    for (size_t i = 0; i < pixels.size(); ++i)
        for (uint32_t c = 0; c < 3; ++c) in[i * inSamples + (reversed ? 2 - c : c)] = pixels[i][c];
    std::vector<uint8_t> a(pixels.size() * outSamples), b(a.size());
    doTransform(optimised, in.data(), a.data(), uint32_t(pixels.size()));
    doTransform(reference, in.data(), b.data(), uint32_t(pixels.size()));
    std::vector<uint32_t> histogram(256);
    for (size_t i = 0; i < pixels.size(); ++i) {
        int worst = 0;
        for (uint32_t c = 0; c < formatChannels(outputFormat); ++c)
            worst = std::max(worst, std::abs(int(a[i * outSamples + c]) - int(b[i * outSamples + c])));
        ++histogram[size_t(worst)];
    }
    return histogram;
}

int largestStep(const std::vector<uint32_t>& histogram)
{
    for (size_t d = histogram.size(); d > 0; --d)
        if (histogram[d - 1]) return int(d - 1);
    return 0;
}

TEST(OptimisedTransforms, MatrixShaperPairsFoldIntoOneWithinOneStep)
{
    struct Case {
        std::string from, to;
        uint32_t in, out;
    };
    const Case cases[] = {
        {Colord + "sRGB.icc", Colord + "AdobeRGB1998.icc", FormatRgb8, FormatRgb8},
        {Colord + "AdobeRGB1998.icc", Colord + "sRGB.icc", FormatRgba8, FormatRgba8},
        {Colord + "sRGB.icc", Colord + "ProPhotoRGB.icc", FormatBgr8, FormatRgb8},
        {Colord + "WideGamutRGB.icc", Colord + "sRGB.icc", FormatRgb8, FormatBgra8},
        {Argyll + "Rec709.icm", Colord + "BestRGB.icc", FormatRgb8, FormatRgb8},
        {Colord + "ECI-RGBv2.icc", Argyll + "sRGB.icm", FormatRgb8, FormatRgb8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from + " to " + c.to);
        ProfilePtr a = openProfile(c.from), b = openProfile(c.to);
        ASSERT_TRUE(a && b);
        for (uint32_t intent : {IntentPerceptual, IntentAbsoluteColorimetric}) {
            TransformPtr optimised(createTransform(a.get(), c.in, b.get(), c.out, intent, 0), &deleteTransform);
            TransformPtr reference(createTransform(a.get(), c.in, b.get(), c.out, intent, XformNoOptimise),
                                   &deleteTransform);
            ASSERT_TRUE(optimised && reference);
            EXPECT_EQ(kindsOf(transformPipeline(optimised.get())), "cvst matf cvst");
            EXPECT_LE(largestStep(compareTransforms(optimised.get(), reference.get(), c.in, c.out)), 1);
        }
        // 8-bit in, 16-bit out: the same evaluator, within one 8-bit step.
        TransformPtr wide(createTransform(a.get(), FormatRgb8, b.get(), FormatRgb16, IntentPerceptual, 0),
                          &deleteTransform);
        TransformPtr wideReference(createTransform(a.get(), FormatRgb8, b.get(), FormatRgb16, IntentPerceptual,
                                                   XformNoOptimise),
                                   &deleteTransform);
        ASSERT_TRUE(wide && wideReference);
        int worst = 0;
        for (const auto& px : testPixels(20000)) {
            uint16_t x[3], y[3];
            doTransform(wide.get(), px.data(), x, 1);
            doTransform(wideReference.get(), px.data(), y, 1);
            for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(int(x[k]) - int(y[k])));
        }
        EXPECT_LE(worst, 257);
    }
}

TEST(OptimisedTransforms, ASpaceToItselfBecomesAnExactIdentity)
{
    ProfilePtr srgb = openProfile(Colord + "sRGB.icc");
    ASSERT_NE(srgb, nullptr);
    TransformPtr t(createTransform(srgb.get(), FormatRgb8, srgb.get(), FormatRgb8, IntentPerceptual, 0),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(pipelineStageCount(transformPipeline(t.get())), 0u);
    EXPECT_TRUE(transformFlags(t.get()) & XformNoCache);
    const auto pixels = testPixels(1000);
    std::vector<uint8_t> out(pixels.size() * 3);
    doTransform(t.get(), pixels.data(), out.data(), uint32_t(pixels.size()));
    EXPECT_EQ(std::memcmp(out.data(), pixels.data(), out.size()), 0);
}

TEST(OptimisedTransforms, SixteenBitRgbBetweenMatrixShapersKeepsWhite)
{
    // Between a space and a larger one, with the linearisation curves asked
    // for, the 16-bit matrix-shaper stays within two 8-bit steps of the
    // chain and white stays white.
    ProfilePtr srgb = openProfile(Colord + "sRGB.icc");
    ProfilePtr prophoto = openProfile(Colord + "ProPhotoRGB.icc");
    ASSERT_TRUE(srgb && prophoto);
    TransformPtr optimised(createTransform(srgb.get(), FormatRgb16, prophoto.get(), FormatRgb16, IntentPerceptual,
                                           XformKeepPreLinearisation),
                           &deleteTransform);
    TransformPtr reference(createTransform(srgb.get(), FormatRgb16, prophoto.get(), FormatRgb16, IntentPerceptual,
                                           XformNoOptimise),
                           &deleteTransform);
    ASSERT_TRUE(optimised && reference);
    EXPECT_EQ(kindsOf(transformPipeline(optimised.get())), "cvst matf cvst");
    std::mt19937 random(3);
    int worst = 0;
    for (int i = 0; i < 100000; ++i) {
        const uint16_t in[3] = {uint16_t(random()), uint16_t(random()), uint16_t(random())};
        uint16_t x[3], y[3];
        doTransform(optimised.get(), in, x, 1);
        doTransform(reference.get(), in, y, 1);
        for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(int(x[k]) - int(y[k])));
    }
    EXPECT_LE(worst, 2 * 257);
    const uint16_t white[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    uint16_t out[3];
    doTransform(optimised.get(), white, out, 1);
    EXPECT_EQ(out[0], 0xFFFF);
    EXPECT_EQ(out[2], 0xFFFF);
}

TEST(OptimisedTransforms, RgbToCmykGoesThroughAResampledTable)
{
    ProfilePtr srgb = openProfile(Colord + "sRGB.icc");
    ProfilePtr press = openProfile(PressProfile);
    ASSERT_TRUE(srgb && press);
    for (uint32_t intent : {IntentPerceptual, IntentRelativeColorimetric, IntentAbsoluteColorimetric}) {
        SCOPED_TRACE(intent);
        TransformPtr optimised(createTransform(srgb.get(), FormatRgb8, press.get(), FormatCmyk8, intent, 0),
                               &deleteTransform);
        TransformPtr reference(createTransform(srgb.get(), FormatRgb8, press.get(), FormatCmyk8, intent,
                                               XformNoOptimise),
                               &deleteTransform);
        ASSERT_TRUE(optimised && reference);
        EXPECT_EQ(kindsOf(transformPipeline(optimised.get())), "clut");
        EXPECT_NE(optimisedWorkerFor(optimised.get()), nullptr);
        // The press profile's black generation bends more sharply than a
        // 33-point grid follows in places; most colours are within a step.
        const std::vector<uint32_t> histogram =
            compareTransforms(optimised.get(), reference.get(), FormatRgb8, FormatCmyk8);
        uint64_t total = 0, withinOne = 0, withinThree = 0;
        for (size_t d = 0; d < histogram.size(); ++d) {
            total += histogram[d];
            if (d <= 1) withinOne += histogram[d];
            if (d <= 3) withinThree += histogram[d];
        }
        EXPECT_GE(double(withinOne) / double(total), 0.85);
        EXPECT_GE(double(withinThree) / double(total), 0.99);
        EXPECT_LE(largestStep(histogram), 16);

        const uint8_t white[3] = {255, 255, 255};
        uint8_t a[4], b[4];
        doTransform(optimised.get(), white, a, 1);
        doTransform(reference.get(), white, b, 1);
        if (intent == IntentAbsoluteColorimetric) {
            // Not fixed up: the table's own white, which is the chain's.
            EXPECT_TRUE(transformFlags(optimised.get()) & XformNoWhiteFixup);
            for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], b[k]) << k;
        } else {
            EXPECT_FALSE(transformFlags(optimised.get()) & XformNoWhiteFixup);
            for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], 0) << k;
        }
    }
}

// ---------------------------------------------------------------------------
// 16-bit transforms keep the accuracy of 8-bit ones
// ---------------------------------------------------------------------------

// Every RGB profile of the reference sets (argyll-ref, colord), in name
// order, or of one of them.
std::vector<std::string> referenceRgbProfiles(const std::vector<std::string>& dirs = {Argyll, Colord})
{
    std::vector<std::string> paths;
    for (const std::string& dir : dirs) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
            ProfilePtr p(openFromFile(nullptr, entry.path().c_str(), "r"), &closeProfile);
            if (p && profileColorSpace(p.get()) == SpaceRgb && profilePcs(p.get()) != SpaceRgb &&
                profileDeviceClass(p.get()) != ClassLink && profileDeviceClass(p.get()) != ClassAbstract)
                paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The lattice step over 8-bit values: every value, except under the
// sanitizers, which run these tests many times slower.
#ifdef OSL_SANITIZED
constexpr uint32_t LatticeStep = 5;
#else
constexpr uint32_t LatticeStep = 1;
#endif

// Runs `check` over slices of 16-bit pixels: all 8-bit lattice points
// widened by × 257 (one slice per first value), then 100 000 random pixels.
void overLatticeAndRandom(const std::function<void(const std::vector<uint16_t>&)>& check)
{
    std::vector<uint16_t> slice;
    for (uint32_t r = 0; r < 256; r += LatticeStep) {
        slice.resize(0);
        for (uint32_t g = 0; g < 256; g += LatticeStep)
            for (uint32_t b = 0; b < 256; b += LatticeStep) {
                slice.push_back(uint16_t(r * 257));
                slice.push_back(uint16_t(g * 257));
                slice.push_back(uint16_t(b * 257));
            }
        check(slice);
    }
    std::mt19937 random(1619);
    slice.clear();
    for (uint32_t i = 0; i < 3 * 100000; ++i) slice.push_back(uint16_t(random()));
    check(slice);
}

// The unoptimised chain of a 3-channel 16-bit transform, run as the engine
// runs it (stage after stage in single precision, rounded to 16 bits at the
// end), but quick enough for millions of pixels: a first curves stage is
// tabulated at every word, matrix and Lab-to-XYZ stages are worked out here
// with the arithmetic of their definitions (double precision, single
// precision results), and the result of the last curves stage is bracketed
// between its rounded results at the two nearest nodes of a fine table (its
// curves are monotonic), so that a pixel needs the curves themselves only
// where the bracket cannot settle a check.
class ChainReference {
public:
    explicit ChainReference(const Pipeline* chain)
        : chain_(chain)
    {
        std::vector<const Stage*> stages;
        for (const Stage* st = pipelineFirstStage(chain); st; st = stageNext(st)) stages.push_back(st);
        EXPECT_GE(stages.size(), 2u);
        if (stages.size() < 2) return;
        const Stage* last = stages.back();
        EXPECT_EQ(stageKind(last), StageCurvesKind);
        size_t from = 0;
        if (stageKind(stages.front()) == StageCurvesKind) {
            first_.resize(3 * 65536);
            for (uint32_t w = 0; w < 65536; ++w) {
                const float x[3] = {wordToUnit(uint16_t(w)), wordToUnit(uint16_t(w)), wordToUnit(uint16_t(w))};
                float y[MaxStageChannels];
                stages.front()->eval(x, y, stages.front());
                for (int c = 0; c < 3; ++c) first_[c * 65536 + w] = y[c];
            }
            from = 1;
        }
        for (size_t i = from; i + 1 < stages.size(); ++i)
            middle_.push_back({stages[i], stageMatrix(stages[i]), stageOffsets(stages[i])});
        nodes_.resize(Nodes);
        for (uint32_t k = 0; k < Nodes; ++k) {
            const double t = (double(k) - Half) * 4.0 / Half;
            nodes_[k] = float(t < 0 ? -t * t : t * t);
        }
        table_.resize(3 * Nodes);
        for (uint32_t k = 0; k < Nodes; ++k) {
            const float y[3] = {nodes_[k], nodes_[k], nodes_[k]};
            float v[MaxStageChannels];
            last->eval(y, v, last);
            for (int c = 0; c < 3; ++c) table_[c * Nodes + k] = quickSaturateWord(double(v[c]) * 65535.0);
        }
        for (int c = 0; c < 3; ++c) {
            const uint16_t* t = &table_[c * Nodes];
            bool rising = true, falling = true;
            for (uint32_t k = 1; k < Nodes; ++k) {
                rising = rising && t[k] >= t[k - 1];
                falling = falling && t[k] <= t[k - 1];
            }
            EXPECT_TRUE(rising || falling) << "the output curves are not monotonic";
        }
    }

    // Bounds of the chain's words; false when the pixel leaves the table
    // (the caller then asks for the exact words).
    bool bounds(const uint16_t in[3], uint16_t lo[3], uint16_t hi[3]) const
    {
        float a[MaxStageChannels], b[MaxStageChannels];
        if (!first_.empty()) {
            for (int c = 0; c < 3; ++c) a[c] = first_[c * 65536 + in[c]];
        } else {
            for (int c = 0; c < 3; ++c) a[c] = wordToUnit(in[c]);
        }
        for (const Step& step : middle_) {
            if (step.matrix) {
                for (int r = 0; r < 3; ++r) {
                    double sum = step.offsets ? step.offsets[r] : 0.0;
                    for (int c = 0; c < 3; ++c) sum += double(a[c]) * step.matrix[r * 3 + c];
                    b[r] = float(sum);
                }
            } else if (stageKind(step.stage) == StageLabToXyzKind) {
                const CieXyz xyz = labToXyz(nullptr, CieLab{a[0] * 100.0, a[1] * 255.0 - 128.0, a[2] * 255.0 - 128.0});
                b[0] = float(xyz.X / XyzDenormalise);
                b[1] = float(xyz.Y / XyzDenormalise);
                b[2] = float(xyz.Z / XyzDenormalise);
            } else {
                step.stage->eval(a, b, step.stage);
            }
            std::memcpy(a, b, 3 * sizeof(float));
        }
        for (int c = 0; c < 3; ++c) {
            // Nodes at ±(k / 16384)², out to ±16 on either side of 0.
            const float y = a[c];
            if (!(y > -Reach && y < Reach)) return false;
            const float t = std::sqrt(std::fabs(y)) * float(Half / 4);
            int32_t k = int32_t(Half) + (y < 0 ? -int32_t(t) - 1 : int32_t(t));
            k = std::clamp(k, 0, int32_t(Nodes) - 2);
            if (nodes_[k] > y && k > 0) --k;
            if (nodes_[k + 1] < y && k + 2 < int32_t(Nodes)) ++k;
            if (!(nodes_[k] <= y && y <= nodes_[k + 1])) return false;
            const uint16_t p = table_[c * Nodes + k], q = table_[c * Nodes + k + 1];
            lo[c] = std::min(p, q);
            hi[c] = std::max(p, q);
        }
        return true;
    }

    void exact(const uint16_t in[3], uint16_t out[3]) const { evalPipeline16(in, out, chain_); }

private:
    static constexpr uint32_t Half = 1u << 16;
    static constexpr uint32_t Nodes = 2 * Half + 1;
    static constexpr float Reach = 15.0f;

    struct Step {
        const Stage* stage;
        const double* matrix;
        const double* offsets;
    };
    const Pipeline* chain_;
    std::vector<float> first_;
    std::vector<Step> middle_;
    std::vector<float> nodes_;
    std::vector<uint16_t> table_;
};

// The greatest difference between the words of an optimised transform and
// its chain: exact where the bracket leaves more than `settled` in doubt.
int worstAgainstChain(const uint16_t* in, const uint16_t* out, const ChainReference& chain, int settled)
{
    uint16_t lo[3], hi[3];
    if (chain.bounds(in, lo, hi)) {
        int bound = 0;
        for (int c = 0; c < 3; ++c)
            bound = std::max({bound, std::abs(int(out[c]) - int(lo[c])), std::abs(int(out[c]) - int(hi[c]))});
        if (bound <= settled) return bound;
    }
    uint16_t r[3];
    chain.exact(in, r);
    return std::max({std::abs(int(out[0]) - int(r[0])), std::abs(int(out[1]) - int(r[1])),
                     std::abs(int(out[2]) - int(r[2]))});
}

TEST(SixteenBitAccuracy, RgbToRgbWithinOneEightBitStepOfTheChain)
{
    const std::vector<std::string> profiles = referenceRgbProfiles();
    ASSERT_GE(profiles.size(), 25u) << "the argyll-ref and colord-data profiles are missing";
    // Each profile once, into its neighbour in name order.
    for (size_t k = 0; k < profiles.size(); k += 2) {
        const std::string& from = profiles[k];
        const std::string& to = profiles[(k + 1) % profiles.size()];
        SCOPED_TRACE(from + " to " + to);
        ProfilePtr a = openProfile(from), b = openProfile(to);
        ASSERT_TRUE(a && b);
        TransformPtr optimised(createTransform(a.get(), FormatRgb16, b.get(), FormatRgb16, IntentPerceptual, 0),
                               &deleteTransform);
        TransformPtr unoptimised(createTransform(a.get(), FormatRgb16, b.get(), FormatRgb16, IntentPerceptual,
                                                 XformNoOptimise | XformNoCache),
                                 &deleteTransform);
        ASSERT_TRUE(optimised && unoptimised);
        const ChainReference chain(transformPipeline(unoptimised.get()));
        int worst = 0;
        std::vector<uint16_t> out;
        overLatticeAndRandom([&](const std::vector<uint16_t>& in) {
            out.resize(in.size());
            doTransform(optimised.get(), in.data(), out.data(), uint32_t(in.size() / 3));
            for (size_t i = 0; i < in.size(); i += 3)
                worst = std::max(worst, worstAgainstChain(&in[i], &out[i], chain, 257));
        });
        EXPECT_LE(worst, 257);
    }
}

void labToRgbWithinHalfADeltaE(const std::vector<std::string>& profiles)
{
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    for (const std::string& path : profiles) {
        SCOPED_TRACE(path);
        ProfilePtr rgb = openProfile(path);
        ASSERT_TRUE(rgb);
        const uint32_t intent = IntentRelativeColorimetric;
        TransformPtr optimised(createTransform(lab.get(), FormatLab16, rgb.get(), FormatRgb16, intent, 0),
                               &deleteTransform);
        TransformPtr unoptimised(createTransform(lab.get(), FormatLab16, rgb.get(), FormatRgb16, intent,
                                                 XformNoOptimise | XformNoCache),
                                 &deleteTransform);
        TransformPtr back(createTransform(rgb.get(), FormatRgbDouble, lab.get(), FormatLabDouble, intent,
                                          XformNoOptimise),
                          &deleteTransform);
        ASSERT_TRUE(optimised && unoptimised && back);
        const ChainReference chain(transformPipeline(unoptimised.get()));
        double worst = 0;
        std::vector<uint16_t> out;
        overLatticeAndRandom([&](const std::vector<uint16_t>& in) {
            out.resize(in.size());
            doTransform(optimised.get(), in.data(), out.data(), uint32_t(in.size() / 3));
            for (size_t i = 0; i < in.size(); i += 3) {
                // Four 16-bit steps move no colour by 0.3 ΔE76, even in linear spaces.
                if (worstAgainstChain(&in[i], &out[i], chain, 4) <= 4) continue;
                uint16_t r[3];
                chain.exact(&in[i], r);
                const double p[3] = {out[i] / 65535.0, out[i + 1] / 65535.0, out[i + 2] / 65535.0};
                const double q[3] = {r[0] / 65535.0, r[1] / 65535.0, r[2] / 65535.0};
                CieLab lp, lq;
                doTransform(back.get(), p, &lp, 1);
                doTransform(back.get(), q, &lq, 1);
                worst = std::max(worst, deltaE76(lp, lq));
            }
        });
        EXPECT_LE(worst, 0.5);
    }
}

// One test per set, so that they can run side by side.
TEST(SixteenBitAccuracy, LabToRgbWithinHalfADeltaEOfTheChainOnArgyllProfiles)
{
    const std::vector<std::string> profiles = referenceRgbProfiles({Argyll});
    ASSERT_GE(profiles.size(), 10u) << "the argyll-ref profiles are missing";
    labToRgbWithinHalfADeltaE(profiles);
}

TEST(SixteenBitAccuracy, LabToRgbWithinHalfADeltaEOfTheChainOnColordProfiles)
{
    const std::vector<std::string> profiles = referenceRgbProfiles({Colord});
    ASSERT_GE(profiles.size(), 20u) << "the colord-data profiles are missing";
    labToRgbWithinHalfADeltaE(profiles);
}

TEST(SixteenBitAccuracy, RgbToLabWithinHalfADeltaEOfTheChain)
{
    const std::vector<std::string> profiles = referenceRgbProfiles();
    ASSERT_GE(profiles.size(), 25u) << "the argyll-ref and colord-data profiles are missing";
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    auto decode = [](const uint16_t* w) {
        return CieLab{w[0] * 100.0 / 65535, w[1] * 255.0 / 65535 - 128, w[2] * 255.0 / 65535 - 128};
    };
    for (const std::string& path : profiles) {
        SCOPED_TRACE(path);
        ProfilePtr rgb = openProfile(path);
        ASSERT_TRUE(rgb);
        TransformPtr optimised(createTransform(rgb.get(), FormatRgb16, lab.get(), FormatLab16,
                                               IntentRelativeColorimetric, 0),
                               &deleteTransform);
        TransformPtr chain(createTransform(rgb.get(), FormatRgb16, lab.get(), FormatLab16, IntentRelativeColorimetric,
                                           XformNoOptimise | XformNoCache),
                           &deleteTransform);
        ASSERT_TRUE(optimised && chain);
        std::mt19937 random(16);
        std::vector<uint16_t> in(3 * 100000), x(in.size()), y(in.size());
        for (uint16_t& v : in) v = uint16_t(random());
        doTransform(optimised.get(), in.data(), x.data(), 100000);
        doTransform(chain.get(), in.data(), y.data(), 100000);
        double worst = 0;
        for (size_t i = 0; i < in.size(); i += 3) worst = std::max(worst, deltaE76(decode(&x[i]), decode(&y[i])));
        EXPECT_LE(worst, 0.5);
    }
}

} // namespace
