// Stages, pipelines, CLUT grids and sampling, and the reverse evaluation.
#include "oslinternal.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using StagePtr = std::unique_ptr<Stage, decltype(&freeStage)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

class LutTest : public EngineFixture {
protected:

    StagePtr stage(Stage* s) { return StagePtr(s, &freeStage); }
    PipelinePtr pipeline(uint32_t in, uint32_t out) { return PipelinePtr(newPipeline(ctx, in, out), &freePipeline); }

};

std::vector<float> evalStage(const Stage* s, std::vector<float> in)
{
    std::vector<float> out(stageOutputs(s));
    evalStageFloat(s, in.data(), out.data());
    return out;
}

bool copySampler(const uint16_t in[], uint16_t out[], void* cargo)
{
    const uint32_t n = *static_cast<uint32_t*>(cargo);
    for (uint32_t i = 0; i < n; ++i) out[i] = in[i];
    return true;
}

// ---------------------------------------------------------------------------
// CLUT grids
// ---------------------------------------------------------------------------

TEST_F(LutTest, TwoPointIdentityClutIsExactAtTheEnds)
{
    StagePtr sampled = stage(newClut16StageUniform(ctx, 2, 3, 3, nullptr));
    uint32_t channels = 3;
    ASSERT_TRUE(sampleClut16(sampled.get(), copySampler, &channels, 0));
    StagePtr builtIn = stage(newIdentityClutStage(ctx, 3));
    ASSERT_TRUE(builtIn);
    EXPECT_EQ(stageKind(builtIn.get()), StageClutKind);
    EXPECT_EQ(stageImplementedKind(builtIn.get()), StageIdentityKind);

    for (Stage* s : {sampled.get(), builtIn.get()}) {
        const InterpParams* p = clutInterpParams(s);
        ASSERT_NE(p, nullptr);
        auto eval = [&](uint16_t a, uint16_t b, uint16_t c) {
            const uint16_t in[3] = {a, b, c};
            std::vector<uint16_t> out(3);
            p->routine.lerp16(in, out.data(), p);
            return out;
        };
        EXPECT_EQ(eval(0, 0, 0), (std::vector<uint16_t>{0, 0, 0}));
        EXPECT_EQ(eval(65535, 65535, 65535), (std::vector<uint16_t>{65535, 65535, 65535}));
        EXPECT_EQ(eval(32768, 32768, 32768), (std::vector<uint16_t>{32769, 32769, 32769}));
        EXPECT_EQ(eval(0, 65535, 0), (std::vector<uint16_t>{0, 65535, 0}));
        for (uint32_t v = 0; v <= 65535; ++v) {
            const std::vector<uint16_t> out = eval(uint16_t(v), uint16_t(v), uint16_t(v));
            for (int i = 0; i < 3; ++i) ASSERT_NEAR(out[i], v, 1.0) << v;
        }
        std::mt19937 rng(5);
        std::uniform_int_distribution<uint32_t> word(0, 65535);
        for (int k = 0; k < 20000; ++k) {
            const uint16_t in[3] = {uint16_t(word(rng)), uint16_t(word(rng)), uint16_t(word(rng))};
            const std::vector<uint16_t> out = eval(in[0], in[1], in[2]);
            for (int i = 0; i < 3; ++i) ASSERT_NEAR(out[i], in[i], 1.0);
        }
    }

    // The same through a pipeline's 16-bit evaluation.
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, duplicateStage(builtIn.get())));
    const uint16_t in[3] = {32768, 0, 65535};
    uint16_t out[3];
    evalPipeline16(in, out, p.get());
    EXPECT_EQ(out[0], 32769);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 65535);
}

TEST_F(LutTest, ClutConstructorsRefuseBadGrids)
{
    struct Case {
        std::vector<uint32_t> grid;
        uint32_t outputs;
        std::string message;   // empty: any message
    };
    const Case cases[] = {
        {std::vector<uint32_t>(16, 2), 3, "Too many input channels (16 channels, max=15)"},
        {{17, 1, 17}, 3, ""},                     // one point along an input
        {{65536, 65536, 2}, 1, ""},               // the product overflows 32 bits
        {{2, 143165577}, 1, ""},                  // product 286331154: too many nodes
        {{33, 33, 33}, 0, ""},                    // no outputs
        {{33, 33, 33}, 129, ""},                  // more outputs than a stage holds
        {{4096, 4096, 8}, 3, ""},                 // under the node limit, over 512 MiB
    };
    for (const Case& c : cases) {
        for (bool isFloat : {false, true}) {
            reports.clear();
            Stage* s = isFloat ? newClutFloatStage(ctx, c.grid.data(), uint32_t(c.grid.size()), c.outputs, nullptr)
                               : newClut16Stage(ctx, c.grid.data(), uint32_t(c.grid.size()), c.outputs, nullptr);
            EXPECT_EQ(s, nullptr) << ::testing::PrintToString(c.grid);
            freeStage(s);
            ASSERT_EQ(reports.size(), 1u) << ::testing::PrintToString(c.grid);
            EXPECT_EQ(reports[0].code, uint32_t(ErrRange));
            if (!c.message.empty()) {
                EXPECT_EQ(reports[0].text, c.message);
            }
        }
    }
    reports.clear();
    EXPECT_EQ(newClut16StageUniform(ctx, 2, 16, 3, nullptr), nullptr);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "Too many input channels (16 channels, max=15)");
}

TEST_F(LutTest, TableLayoutHasTheLastInputFastest)
{
    const uint32_t grid[3] = {2, 3, 4};
    std::vector<uint16_t> table(24 * 2);
    for (size_t i = 0; i < table.size(); ++i) table[i] = uint16_t(i);
    StagePtr clut = stage(newClut16Stage(ctx, grid, 3, 2, table.data()));
    ASSERT_TRUE(clut);
    EXPECT_EQ(clutEntryCount(clut.get()), 48u);
    EXPECT_EQ(clutGridPoints(clut.get())[1], 3u);
    EXPECT_FALSE(clutIsFloat(clut.get()));
    EXPECT_EQ(clutTableFloat(clut.get()), nullptr);

    struct Visit {
        std::vector<uint16_t> in, out;
    };
    std::vector<Visit> visits;
    auto record = [](const uint16_t in[], uint16_t out[], void* cargo) {
        static_cast<std::vector<Visit>*>(cargo)->push_back({{in, in + 3}, {out, out + 2}});
        out[0] = 9999;   // ignored when only inspecting
        return true;
    };
    ASSERT_TRUE(sampleClut16(clut.get(), record, &visits, SamplerInspect));
    ASSERT_EQ(visits.size(), 24u);
    const uint16_t axis3[3] = {0, 32768, 65535};          // 65535 / 2 = 32767.5 rounds up
    const uint16_t axis4[4] = {0, 21845, 43690, 65535};
    for (uint32_t node = 0; node < 24; ++node) {
        const uint32_t k0 = node / 12, k1 = (node / 4) % 3, k2 = node % 4;
        EXPECT_EQ(visits[node].in, (std::vector<uint16_t>{uint16_t(k0 * 65535), axis3[k1], axis4[k2]})) << node;
        EXPECT_EQ(visits[node].out, (std::vector<uint16_t>{uint16_t(2 * node), uint16_t(2 * node + 1)})) << node;
    }
    EXPECT_EQ(std::vector<uint16_t>(clutTable16(clut.get()), clutTable16(clut.get()) + 48), table);

    // Without the inspect flag the callback's outputs are stored.
    visits.clear();
    ASSERT_TRUE(sampleClut16(clut.get(), record, &visits, 0));
    EXPECT_EQ(clutTable16(clut.get())[0], 9999);
    EXPECT_EQ(clutTable16(clut.get())[46], 9999);
    EXPECT_EQ(clutTable16(clut.get())[47], 47);
}

TEST_F(LutTest, SamplerCanStopTheWalk)
{
    StagePtr clut = stage(newClut16StageUniform(ctx, 3, 2, 1, nullptr));
    int visited = 0;
    auto stopAtFive = [](const uint16_t[], uint16_t out[], void* cargo) {
        int& n = *static_cast<int*>(cargo);
        out[0] = 7;
        return ++n < 6;
    };
    EXPECT_FALSE(sampleClut16(clut.get(), stopAtFive, &visited, 0));
    EXPECT_EQ(visited, 6);
    const uint16_t* t = clutTable16(clut.get());
    EXPECT_EQ(t[4], 7);
    EXPECT_EQ(t[5], 0);   // the refused node keeps its value
    EXPECT_EQ(t[8], 0);

    StagePtr curves = stage(newCurvesStage(ctx, 3, nullptr));
    EXPECT_FALSE(sampleClut16(curves.get(), stopAtFive, &visited, 0));
    StagePtr floatClut = stage(newClutFloatStageUniform(ctx, 3, 2, 1, nullptr));
    EXPECT_FALSE(sampleClut16(floatClut.get(), stopAtFive, &visited, 0));
}

TEST_F(LutTest, SliceSpaceVisitsTheNodesOfAGrid)
{
    const uint32_t grid[2] = {3, 2};
    std::vector<std::vector<uint16_t>> seen;
    auto record = [](const uint16_t in[], uint16_t out[], void* cargo) {
        static_cast<std::vector<std::vector<uint16_t>>*>(cargo)->push_back({in, in + 2});
        out[0] = 1;   // a scratch buffer, never a table
        return true;
    };
    ASSERT_TRUE(sliceSpace16(2, grid, record, &seen));
    const std::vector<std::vector<uint16_t>> expected = {{0, 0},     {0, 65535},     {32768, 0},
                                                         {32768, 65535}, {65535, 0}, {65535, 65535}};
    EXPECT_EQ(seen, expected);
    const uint32_t flat[2] = {3, 1};
    EXPECT_FALSE(sliceSpace16(2, flat, record, &seen));
    std::vector<uint32_t> many(16, 2);
    EXPECT_FALSE(sliceSpace16(16, many.data(), record, &seen));
}

TEST_F(LutTest, FloatClutSamplesAtUnitCoordinates)
{
    StagePtr clut = stage(newClutFloatStageUniform(ctx, 5, 1, 2, nullptr));
    auto fill = [](const float in[], float out[], void*) {
        out[0] = in[0];
        out[1] = 1 - in[0] * in[0];
        return true;
    };
    ASSERT_TRUE(sampleClutFloat(clut.get(), fill, nullptr, 0));
    EXPECT_TRUE(clutIsFloat(clut.get()));
    EXPECT_FLOAT_EQ(clutTableFloat(clut.get())[2], 0.25f);
    EXPECT_FLOAT_EQ(clutTableFloat(clut.get())[3], 0.9375f);
    EXPECT_EQ(evalStage(clut.get(), {0.375f}), (std::vector<float>{0.375f, 0.5f * 0.9375f + 0.5f * 0.75f}));
}

// ---------------------------------------------------------------------------
// Stage kinds
// ---------------------------------------------------------------------------

struct KindCase {
    const char* name;
    Stage* (*make)(EngineContext*);
    uint32_t kind, implements;
    std::vector<float> in, out;   // out computed by hand
};

constexpr double XyzScale = 1.999969482421875;

TEST_F(LutTest, StageKindsEvaluateTheirConversions)
{
    const KindCase cases[] = {
        {"Lab to XYZ", newLabToXyzStage, StageLabToXyzKind, StageLabToXyzKind, {1.0f, 128 / 255.0f, 128 / 255.0f},
         {float(0.9642 / XyzScale), float(1 / XyzScale), float(0.8249 / XyzScale)}},
        {"XYZ to Lab", newXyzToLabStage, StageXyzToLabKind, StageXyzToLabKind,
         {float(0.9642 / XyzScale), float(1 / XyzScale), float(0.8249 / XyzScale)}, {1.0f, 128 / 255.0f, 128 / 255.0f}},
        {"Lab v2 to v4", newLabV2ToV4Stage, StageMatrixKind, StageLabV2ToV4Kind, {0.5f, 1.0f, 0.0f},
         {0.5f * 257 / 256, 257 / 256.0f, 0.0f}},
        {"Lab v4 to v2", newLabV4ToV2Stage, StageMatrixKind, StageLabV4ToV2Kind, {0.5f, 1.0f, 0.0f},
         {0.5f * 256 / 257, 256 / 257.0f, 0.0f}},
        {"Lab to normalised", newLabToNormalisedStage, StageMatrixKind, StageLabToNormalisedKind,
         {50.0f, -128.0f, 127.0f}, {0.5f, 0.0f, 1.0f}},
        {"normalised to Lab", newNormalisedToLabStage, StageMatrixKind, StageNormalisedToLabKind, {0.5f, 0.0f, 1.0f},
         {50.0f, -128.0f, 127.0f}},
        {"XYZ to normalised", newXyzToNormalisedStage, StageMatrixKind, StageXyzToNormalisedKind, {1.0f, 2.0f, 0.0f},
         {float(1 / XyzScale), float(2 / XyzScale), 0.0f}},
        {"normalised to XYZ", newNormalisedToXyzStage, StageMatrixKind, StageNormalisedToXyzKind, {0.5f, 1.0f, 0.0f},
         {float(0.5 * XyzScale), float(XyzScale), 0.0f}},
        {"identity", [](EngineContext* c) { return newIdentityStage(c, 3); }, StageIdentityKind, StageIdentityKind,
         {-0.5f, 0.25f, 2.0f}, {-0.5f, 0.25f, 2.0f}},
        {"clip negatives", [](EngineContext* c) { return newClipNegativesStage(c, 3); }, StageClipNegativesKind,
         StageClipNegativesKind, {-0.5f, 0.25f, 2.0f}, {0.0f, 0.25f, 2.0f}},
    };
    for (const KindCase& c : cases) {
        StagePtr s = stage(c.make(ctx));
        ASSERT_TRUE(s) << c.name;
        EXPECT_EQ(stageKind(s.get()), c.kind) << c.name;
        EXPECT_EQ(stageImplementedKind(s.get()), c.implements) << c.name;
        EXPECT_EQ(stageInputs(s.get()), 3u);
        EXPECT_EQ(stageOutputs(s.get()), 3u);
        const std::vector<float> out = evalStage(s.get(), c.in);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[i], c.out[i], 2e-6) << c.name << " channel " << i;
        StagePtr copy = stage(duplicateStage(s.get()));
        ASSERT_TRUE(copy);
        EXPECT_EQ(stageImplementedKind(copy.get()), c.implements);
        EXPECT_EQ(evalStage(copy.get(), c.in), out) << c.name;
    }
}

TEST_F(LutTest, LabAndXyzStagesRoundTrip)
{
    StagePtr toXyz = stage(newLabToXyzStage(ctx)), toLab = stage(newXyzToLabStage(ctx));
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int k = 0; k < 1000; ++k) {
        const std::vector<float> lab = {unit(rng), unit(rng), unit(rng)};
        const std::vector<float> back = evalStage(toLab.get(), evalStage(toXyz.get(), lab));
        for (int i = 0; i < 3; ++i) ASSERT_NEAR(back[i], lab[i], 2e-5);
    }
}

TEST_F(LutTest, LabV2ToV4CurvesTakeV2CodesToV4)
{
    StagePtr s = stage(newLabV2ToV4CurvesStage(ctx));
    ASSERT_TRUE(s);
    EXPECT_EQ(stageKind(s.get()), StageCurvesKind);
    EXPECT_EQ(stageImplementedKind(s.get()), StageLabV2ToV4Kind);
    ToneCurve* const* curves = stageCurves(s.get());
    ASSERT_NE(curves, nullptr);
    ASSERT_EQ(tableEntryCount(curves[2]), 258u);
    const uint16_t* t = tableEntries(curves[2]);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[1], 256);            // (128 + 65535) / 256
    EXPECT_EQ(t[128], 32768);
    EXPECT_EQ(t[129], 33023);
    EXPECT_EQ(t[256], 65535);
    EXPECT_EQ(t[257], 65535);

    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, s.release()));
    const uint16_t v2[3] = {0xFF00, 0x8000, 0};   // L 100, a 0, b -128 in version-2 codes
    uint16_t v4[3];
    evalPipeline16(v2, v4, p.get());
    EXPECT_EQ(v4[0], 0xFFFF);
    EXPECT_EQ(v4[1], 0x8080);
    EXPECT_EQ(v4[2], 0);
}

TEST_F(LutTest, CurvesStageCopiesItsCurves)
{
    CurvePtr gamma(buildGammaCurve(ctx, 2.0), &freeCurve);
    const ToneCurve* given[2] = {gamma.get(), gamma.get()};
    StagePtr s = stage(newCurvesStage(ctx, 2, given));
    gamma.reset();
    ASSERT_TRUE(s);
    EXPECT_EQ(evalStage(s.get(), {0.5f, 0.25f}), (std::vector<float>{0.25f, 0.0625f}));

    StagePtr identities = stage(newCurvesStage(ctx, 4, nullptr));
    ASSERT_TRUE(identities);
    EXPECT_EQ(tableEntryCount(stageCurves(identities.get())[3]), 2u);
    EXPECT_EQ(evalStage(identities.get(), {0.1f, 0.2f, 0.3f, 0.4f}), (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}));

    const ToneCurve* missing[2] = {given[0], nullptr};
    missing[0] = stageCurves(s.get())[0];
    EXPECT_FALSE(stage(newCurvesStage(ctx, 2, missing)));
    EXPECT_FALSE(stage(newCurvesStage(ctx, 0, nullptr)));
    EXPECT_EQ(stageMatrix(s.get()), nullptr);
    EXPECT_EQ(clutTable16(s.get()), nullptr);
}

TEST_F(LutTest, MatrixStageMultipliesRowsAndAddsOffsets)
{
    const double m[6] = {1, 2, 3, 0.5, 0, -1};
    const double offsets[2] = {0.25, 1};
    StagePtr s = stage(newMatrixStage(ctx, 2, 3, m, offsets));
    ASSERT_TRUE(s);
    EXPECT_EQ(stageInputs(s.get()), 3u);
    EXPECT_EQ(stageOutputs(s.get()), 2u);
    EXPECT_EQ(evalStage(s.get(), {1.0f, 0.5f, 0.25f}), (std::vector<float>{3.0f, 1.25f}));
    EXPECT_EQ(stageOffsets(s.get())[1], 1.0);
    StagePtr noOffsets = stage(newMatrixStage(ctx, 2, 3, m, nullptr));
    EXPECT_EQ(stageOffsets(noOffsets.get()), nullptr);
    EXPECT_EQ(evalStage(noOffsets.get(), {1.0f, 0.5f, 0.25f}), (std::vector<float>{2.75f, 0.25f}));

    EXPECT_FALSE(stage(newMatrixStage(ctx, 0, 3, m, nullptr)));
    EXPECT_FALSE(stage(newMatrixStage(ctx, 3, 0, m, nullptr)));
    EXPECT_FALSE(stage(newMatrixStage(ctx, 0x10000, 0x10000, m, nullptr)));
    EXPECT_FALSE(stage(newMatrixStage(ctx, 3, 3, nullptr, nullptr)));
}

// ---------------------------------------------------------------------------
// Pipelines
// ---------------------------------------------------------------------------

TEST_F(LutTest, ChannelCountsAreCheckedOnEveryChange)
{
    EXPECT_FALSE(pipeline(16, 3));
    EXPECT_FALSE(pipeline(3, 16));
    PipelinePtr p = pipeline(3, 3);
    const double m[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newMatrixStage(ctx, 4, 3, m, nullptr)));
    EXPECT_EQ(pipelineOutputs(p.get()), 4u);
    reports.clear();
    EXPECT_FALSE(insertStage(p.get(), AtEnd, newCurvesStage(ctx, 3, nullptr)));   // 4 out, 3 in
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(pipelineStageCount(p.get()), 2u);   // inserted all the same

    // A pipeline that failed its check evaluates to zeros, never to garbage.
    const uint16_t in[3] = {1000, 2000, 3000};
    uint16_t out[3] = {1, 1, 1};
    evalPipeline16(in, out, p.get());
    EXPECT_EQ(out[0], 0);

    Stage* removed = nullptr;
    EXPECT_TRUE(unlinkStage(p.get(), AtEnd, &removed));
    EXPECT_EQ(stageKind(removed), StageCurvesKind);
    freeStage(removed);
    EXPECT_TRUE(insertStage(p.get(), AtEnd, newCurvesStage(ctx, 4, nullptr)));
    EXPECT_TRUE(insertStage(p.get(), AtBegin, newCurvesStage(ctx, 3, nullptr)));
    EXPECT_EQ(pipelineInputs(p.get()), 3u);
    EXPECT_EQ(pipelineOutputs(p.get()), 4u);

    Stage* stray = newIdentityStage(ctx, 4);
    EXPECT_FALSE(insertStage(p.get(), 2, stray));   // refused and left to the caller
    freeStage(stray);
}

TEST_F(LutTest, UnlinkTakesTheFirstOrLastStage)
{
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newLabToXyzStage(ctx)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newXyzToLabStage(ctx)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newIdentityStage(ctx, 3)));
    Stage* s = nullptr;
    ASSERT_TRUE(unlinkStage(p.get(), AtBegin, &s));
    EXPECT_EQ(stageKind(s), StageLabToXyzKind);
    EXPECT_EQ(stageNext(s), nullptr);
    freeStage(s);
    ASSERT_TRUE(unlinkStage(p.get(), AtEnd, &s));
    EXPECT_EQ(stageKind(s), StageIdentityKind);
    freeStage(s);
    EXPECT_TRUE(unlinkStage(p.get(), AtEnd, nullptr));   // freed
    EXPECT_EQ(pipelineStageCount(p.get()), 0u);
    EXPECT_FALSE(unlinkStage(p.get(), AtEnd, &s));
    EXPECT_EQ(s, nullptr);
}

TEST_F(LutTest, AppendCopiesTheStagesOfTheSecond)
{
    PipelinePtr a = pipeline(4, 4), b = pipeline(3, 5);
    ASSERT_TRUE(appendPipeline(a.get(), b.get()));
    EXPECT_EQ(pipelineInputs(a.get()), 3u);
    EXPECT_EQ(pipelineOutputs(a.get()), 5u);

    PipelinePtr first = pipeline(3, 3), second = pipeline(3, 3);
    ASSERT_TRUE(insertStage(first.get(), AtEnd, newLabToXyzStage(ctx)));
    ASSERT_TRUE(insertStage(second.get(), AtEnd, newXyzToLabStage(ctx)));
    ASSERT_TRUE(insertStage(second.get(), AtEnd, newClipNegativesStage(ctx, 3)));
    ASSERT_TRUE(appendPipeline(first.get(), second.get()));
    EXPECT_EQ(pipelineStageCount(first.get()), 3u);
    EXPECT_EQ(pipelineStageCount(second.get()), 2u);
    EXPECT_NE(stageNext(pipelineFirstStage(first.get())), pipelineFirstStage(second.get()));

    const uint32_t kinds[3] = {StageLabToXyzKind, StageXyzToLabKind, StageClipNegativesKind};
    Stage* found[3] = {};
    ASSERT_TRUE(matchStageKinds(first.get(), 3, kinds, found));
    EXPECT_EQ(found[0], pipelineFirstStage(first.get()));
    EXPECT_EQ(found[2], pipelineLastStage(first.get()));
    EXPECT_FALSE(matchStageKinds(first.get(), 2, kinds, nullptr));
    const uint32_t wrong[3] = {StageLabToXyzKind, StageClipNegativesKind, StageXyzToLabKind};
    EXPECT_FALSE(matchStageKinds(first.get(), 3, wrong, nullptr));

    const float lab[3] = {0.5f, 0.4f, 0.6f};
    float out[3];
    evalPipelineFloat(lab, out, first.get());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[i], lab[i], 1e-5);
}

TEST_F(LutTest, SixteenBitEvaluationRoundsAndClamps)
{
    const double m[9] = {1.0 / 3, 0, 0, 0, 2, 0, 0, 0, 1};
    const double offsets[3] = {0, 0, -0.25};
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newMatrixStage(ctx, 3, 3, m, offsets)));
    struct Case {
        uint16_t in[3], out[3];
    };
    const Case cases[] = {
        {{65535, 32767, 65535}, {21845, 65534, 49151}},   // 49151.25
        {{2, 40000, 16383}, {1, 65535, 0}},               // 0.67 rounds to 1; clamped above and below
        {{1, 0, 16384}, {0, 0, 0}},                       // 0.33 rounds to 0; 0.25 is exactly -0.25 + 0.25
    };
    for (const Case& c : cases) {
        uint16_t out[3];
        evalPipeline16(c.in, out, p.get());
        for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], c.out[i]) << c.in[0] << " channel " << i;
    }
    // An empty pipeline passes its inputs and zero-fills extra outputs.
    PipelinePtr empty = pipeline(2, 3);
    const uint16_t in[2] = {12, 65535};
    uint16_t out[3] = {9, 9, 9};
    evalPipeline16(in, out, empty.get());
    EXPECT_EQ(out[0], 12);
    EXPECT_EQ(out[1], 65535);
    EXPECT_EQ(out[2], 0);
}

// The optimiser's hook: evaluators with private data.
struct Counters {
    int dups = 0, frees = 0;
};
Counters counters;

struct Private {
    uint16_t constant;
};

void constant16(const uint16_t[], uint16_t out[], const void* data)
{
    out[0] = out[1] = out[2] = static_cast<const Private*>(data)->constant;
}
void* dupPrivate(EngineContext* c, const void* data)
{
    ++counters.dups;
    return engineDup(c, data, sizeof(Private));
}
void freePrivate(EngineContext* c, void* data)
{
    ++counters.frees;
    engineFree(c, data);
}

TEST_F(LutTest, OptimiserEvaluatorsTravelWithTheirData)
{
    counters = {};
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newIdentityStage(ctx, 3)));
    setPipelineSaveAs8Bits(p.get(), true);
    auto* data = static_cast<Private*>(engineAlloc(ctx, sizeof(Private)));
    data->constant = 777;
    setPipelineEvaluators(p.get(), constant16, nullptr, data, freePrivate, dupPrivate);
    EXPECT_EQ(pipelineEvaluatorData(p.get()), data);

    const uint16_t in[3] = {1, 2, 3};
    uint16_t out[3];
    evalPipeline16(in, out, p.get());
    EXPECT_EQ(out[0], 777);
    const float fin[3] = {0.25f, 0.5f, 0.75f};
    float fout[3];
    evalPipelineFloat(fin, fout, p.get());   // the float path stays the default
    EXPECT_EQ(fout[1], 0.5f);

    PipelinePtr copy(duplicatePipeline(p.get()), &freePipeline);
    ASSERT_TRUE(copy);
    EXPECT_EQ(counters.dups, 1);
    EXPECT_TRUE(pipelineSaveAs8Bits(copy.get()));
    EXPECT_NE(pipelineEvaluatorData(copy.get()), data);
    evalPipeline16(in, out, copy.get());
    EXPECT_EQ(out[2], 777);

    // New data replaces and releases the old.
    auto* other = static_cast<Private*>(engineAlloc(ctx, sizeof(Private)));
    other->constant = 5;
    setPipelineEvaluators(p.get(), constant16, nullptr, other, freePrivate, dupPrivate);
    EXPECT_EQ(counters.frees, 1);
    p.reset();
    copy.reset();
    EXPECT_EQ(counters.frees, 3);
}

// ---------------------------------------------------------------------------
// Reverse evaluation
// ---------------------------------------------------------------------------

int floatCalls = 0;
void countingIdentity(const float in[], float out[], const void*)
{
    ++floatCalls;
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
}

TEST_F(LutTest, ReverseOfIdentityConvergesInOneStep)
{
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newIdentityStage(ctx, 3)));
    const float target[4] = {0.25f, 0.75f, 0.5f, 0};
    float result[4] = {};
    ASSERT_TRUE(reverseEvalFloat(target, result, nullptr, p.get()));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(result[i], target[i]);

    // Near the top end the differences step downwards; the slope keeps its sign.
    const float high[4] = {0.9995f, 0.5f, 0.25f, 0};
    const float hint[4] = {0.9999f, 0.9999f, 0.3f, 0};
    ASSERT_TRUE(reverseEvalFloat(high, result, hint, p.get()));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(result[i], high[i], 1e-6);

    // Evaluations: the start point and its three differences, then the
    // converged point.
    setPipelineEvaluators(p.get(), nullptr, countingIdentity, nullptr, nullptr, nullptr);
    floatCalls = 0;
    ASSERT_TRUE(reverseEvalFloat(target, result, nullptr, p.get()));
    EXPECT_EQ(floatCalls, 5);
}

TEST_F(LutTest, ReverseFindsTheInputOfACurvedPipeline)
{
    CurvePtr a(buildGammaCurve(ctx, 2.2), &freeCurve), b(buildGammaCurve(ctx, 1.6), &freeCurve),
        c(buildGammaCurve(ctx, 0.8), &freeCurve);
    const ToneCurve* curves[3] = {a.get(), b.get(), c.get()};
    const double m[9] = {0.6, 0.3, 0.1, 0.2, 0.7, 0.1, 0.05, 0.15, 0.8};
    PipelinePtr p = pipeline(3, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newCurvesStage(ctx, 3, curves)));
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newMatrixStage(ctx, 3, 3, m, nullptr)));

    auto distance = [&](const float* x, const float* target) {
        float y[3];
        evalPipelineFloat(x, y, p.get());
        return std::hypot(y[0] - target[0], y[1] - target[1], y[2] - target[2]);
    };
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.1f, 0.9f), nudge(-0.05f, 0.05f);
    for (int k = 0; k < 50; ++k) {
        const float x[3] = {unit(rng), unit(rng), unit(rng)};
        float target[4] = {0, 0, 0, 0};
        evalPipelineFloat(x, target, p.get());

        // From a hint near the answer, Newton steps converge.
        const float hint[4] = {x[0] + nudge(rng), x[1] + nudge(rng), x[2] + nudge(rng), 0};
        float result[4];
        ASSERT_TRUE(reverseEvalFloat(target, result, hint, p.get()));
        EXPECT_LT(distance(result, target), 1e-5) << k;

        // From the default start the search may stop early, but never ends
        // further away than it began.
        const float start[3] = {0.3f, 0.3f, 0.3f};
        ASSERT_TRUE(reverseEvalFloat(target, result, nullptr, p.get()));
        EXPECT_LE(distance(result, target), distance(start, target)) << k;
    }
}

TEST_F(LutTest, ReverseHoldsTheFourthInputAndRefusesOtherShapes)
{
    const double m[12] = {1, 0, 0, -0.5, 0, 1, 0, -0.5, 0, 0, 1, -0.5};   // CMY minus half of K
    PipelinePtr p = pipeline(4, 3);
    ASSERT_TRUE(insertStage(p.get(), AtEnd, newMatrixStage(ctx, 3, 4, m, nullptr)));
    const float target[4] = {0.25f, 0.125f, 0.375f, 0.5f};
    float result[4] = {};
    const float hint[4] = {0.5f, 0.5f, 0.5f, 0};
    ASSERT_TRUE(reverseEvalFloat(target, result, hint, p.get()));
    EXPECT_EQ(result[3], 0.5f);
    EXPECT_NEAR(result[0], 0.5f, 1e-6);
    EXPECT_NEAR(result[1], 0.375f, 1e-6);
    EXPECT_NEAR(result[2], 0.625f, 1e-6);

    PipelinePtr two = pipeline(2, 3), four = pipeline(3, 4);
    EXPECT_FALSE(reverseEvalFloat(target, result, nullptr, two.get()));
    EXPECT_FALSE(reverseEvalFloat(target, result, nullptr, four.get()));

    // A pipeline that ignores an input has a singular Jacobian.
    const double flat[9] = {1, 0, 0, 0, 1, 0, 0, 0, 0};
    PipelinePtr singular = pipeline(3, 3);
    ASSERT_TRUE(insertStage(singular.get(), AtEnd, newMatrixStage(ctx, 3, 3, flat, nullptr)));
    EXPECT_FALSE(reverseEvalFloat(target, result, nullptr, singular.get()));
}

// ---------------------------------------------------------------------------
// Evaluation allocates nothing
// ---------------------------------------------------------------------------

int allocations = 0;
void* countingAlloc(EngineContext*, size_t size)
{
    ++allocations;
    return std::malloc(size);
}
void countingFree(EngineContext*, void* block)
{
    std::free(block);
}
void* countingRealloc(EngineContext*, void* block, size_t size)
{
    ++allocations;
    return std::realloc(block, size);
}

TEST_F(LutTest, EvaluationAllocatesNothing)
{
    PluginMemHandler mem{{PluginMagic, 2160, PluginMemHandlerSig, nullptr}, countingAlloc, countingFree,
                         countingRealloc, nullptr, nullptr, nullptr};
    EngineContext* counted = createContext(&mem, nullptr);
    ASSERT_NE(counted, nullptr);
    {
        PipelinePtr p(newPipeline(counted, 4, 3), &freePipeline);
        ASSERT_TRUE(insertStage(p.get(), AtEnd, newCurvesStage(counted, 4, nullptr)));
        ASSERT_TRUE(insertStage(p.get(), AtEnd, newClut16StageUniform(counted, 9, 4, 3, nullptr)));
        ASSERT_TRUE(insertStage(p.get(), AtEnd, newLabToXyzStage(counted)));
        ASSERT_TRUE(insertStage(p.get(), AtEnd, newClutFloatStageUniform(counted, 17, 3, 3, nullptr)));
        ASSERT_TRUE(insertStage(p.get(), AtEnd, newLabV2ToV4CurvesStage(counted)));
        const int before = allocations;
        uint16_t in[4] = {}, out[3];
        float fin[4] = {}, fout[3];
        for (uint32_t k = 0; k < 2000; ++k) {
            in[k % 4] = uint16_t(k * 31);
            fin[k % 4] = float(k) / 2000;
            evalPipeline16(in, out, p.get());
            evalPipelineFloat(fin, fout, p.get());
        }
        EXPECT_EQ(allocations, before);
    }
    deleteContext(counted);
}

} // namespace
