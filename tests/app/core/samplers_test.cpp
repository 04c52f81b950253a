// The builder's samplers and settings: clamps, intents, tabulation, the
// prelinearisation sigmoid, correlate curves and the CAM16 sampler's edges.
#include "tests/app/core/builder_fixture.h"

namespace {

// ---------------------------------------------------------------------------
// Settings, intents, curves
// ---------------------------------------------------------------------------

TEST_F(BuilderTest, PreferencesAreClamped)
{
    const struct { ResolutionPreferences in; uint32_t version, curves, gL, gAB; double k; } table[] = {
        {{0, 23, 17, 1024, 3.0}, 0x04300000, 1024, 23, 17, 3.0},
        {{1, 33, 21, 2048, 4.5}, 0x02100000, 2048, 33, 21, 4.5},
        {{-3, 2, 0, -5, 0.2}, 0x04300000, 16, 7, 7, 1.0},       // below: 0 curve points is too few to tabulate
        {{7, 99, 65, 9999, 12.0}, 0x02100000, 4096, 64, 64, 9.0},
        {{0, 7, 64, 2, 9.0}, 0x04300000, 2, 7, 64, 9.0},
        {{0, 23, 17, 1, 1.0}, 0x04300000, 16, 23, 17, 1.0},
    };
    for (const auto& row : table) {
        const ResolutionPreferences s = row.in.clamped();
        EXPECT_EQ(s.profileVersion(), row.version);
        EXPECT_EQ(uint32_t(s.gridCurves), row.curves);
        EXPECT_EQ(uint32_t(s.gridLstar), row.gL);
        EXPECT_EQ(uint32_t(s.gridAbstar), row.gAB);
        EXPECT_EQ(s.sigmoidShape, row.k);
    }
    EXPECT_EQ((ResolutionPreferences{0, 23, 17, 1024, std::nan("")}).clamped().sigmoidShape, 1.0);
}

TEST_F(BuilderTest, IntentTable)
{
    const struct { int index; bool exists; uint32_t intent; bool bpc; } table[] = {
        {0, true, 0, false}, {1, true, 1, false}, {2, true, 1, true}, {3, true, 2, false},
        {4, false, 0, false}, {-1, false, 0, false},
    };
    for (const auto& row : table) {
        const std::optional<IntentChoice> c = intentChoice(row.index);
        ASSERT_EQ(c.has_value(), row.exists) << row.index;
        if (c) {
            EXPECT_EQ(c->intent, row.intent);
            EXPECT_EQ(c->blackPointCompensation, row.bpc);
        }
    }
    EXPECT_EQ(intentChoiceNames().at(2), QStringLiteral("Relative colorimetric plus black point compensation"));
}

TEST_F(BuilderTest, TabulationRoundsToNearest)
{
    CurvePtr square = curvePtr(buildGammaCurve(nullptr, 2.0));
    // 0, 0.0625, 0.25, 0.5625, 1 times 65535, plus a half, rounded down.
    EXPECT_EQ(tabulate(square.get(), 5), (std::vector<uint16_t>{0, 4096, 16384, 36863, 65535}));
    CurvePtr identity = curvePtr(buildGammaCurve(nullptr, 1.0));
    EXPECT_EQ(tabulate(identity.get(), 3), (std::vector<uint16_t>{0, 32768, 65535}));
}

TEST_F(BuilderTest, SigmoidFollowsItsDefinition)
{
    for (double k : {1.0, 3.0, 9.0}) {
        CurvePtr s = curvePtr(buildPrelinearisation(k));
        CurvePtr inv = curvePtr(buildPrelinearisationInverse(k));
        ASSERT_TRUE(s && inv);
        for (double x = 0.0; x <= 1.0; x += 0.05) {
            EXPECT_NEAR(evalCurveFloat(s.get(), float(x)), sigmoid(x, k), 1e-5) << k << " " << x;
            EXPECT_NEAR(evalCurveFloat(inv.get(), float(sigmoid(x, k))), x, 1e-4) << k << " " << x;
        }
        EXPECT_NEAR(evalCurveFloat(s.get(), 0.5f), 0.5, 1e-6);
    }
}

TEST_F(BuilderTest, AdjustMapsAndCarriesOnPastTheRange)
{
    CurvePtr square = curvePtr(buildGammaCurve(nullptr, 2.0));
    const float rising[3] = {0.0f, 0.6f, 1.2f};   // 1.2·t sampled at 0, 0.5, 1
    CurvePtr gain = curvePtr(buildTabulatedCurveFloat(nullptr, 3, rising));
    // Below the range: the low end. Past it: x² by its formula, 1.2·t along
    // its last interval, the identity as it is.
    const struct { const ToneCurve* curve; double v, lo, hi, want; } table[] = {
        {nullptr, -5, 0, 100, 0},       {nullptr, 150, 0, 100, 150},   {nullptr, 42, 0, 100, 42},
        {square.get(), 50, 0, 100, 25}, {square.get(), 100, 0, 200, 50}, {square.get(), 180, 0, 360, 90},
        {square.get(), 250, 0, 200, 312.5}, {gain.get(), 90, 0, 100, 108}, {gain.get(), 125, 0, 100, 150},
    };
    for (const auto& row : table) EXPECT_NEAR(adjust(row.curve, row.v, row.lo, row.hi), row.want, 1e-2) << row.v;
}

// ---------------------------------------------------------------------------
// The CAM16 sampler's edges
// ---------------------------------------------------------------------------

class Cam16SamplerTest : public BuilderTest {
protected:
    void SetUp() override
    {
        BuilderTest::SetUp();
        const Cam16Conditions& c = ViewingConditionsPresets::builtIns().at(0).values;
        model_.reset(createCam16Model(nullptr, c));
        forward_.reset(buildPrelinearisation(3.0));
        inverse_.reset(buildPrelinearisationInverse(3.0));
        ASSERT_TRUE(model_ && forward_ && inverse_);
        cargo_.forward = forward_.get();
        cargo_.inverse = inverse_.get();
        cargo_.source = model_.get();
        cargo_.destination = model_.get();
    }

    // The sampler at a Lab colour (encoded as a node would be).
    CieLab sample(const CieLab& lab)
    {
        return predicted(cam16Sampler, &cargo_, forward_.get(), inverse_.get(), lab);
    }

    Cam16ModelPtr model_{nullptr, &freeCam16Model};
    CurvePtr forward_{nullptr, &freeCurve};
    CurvePtr inverse_{nullptr, &freeCurve};
    Cam16SamplerCargo cargo_;
};

TEST_F(Cam16SamplerTest, NegativeXyzPassesThrough)
{
    const CieLab lab{20.0, -20.0, 120.0};
    const CieXyz xyz = labToXyz(nullptr, CieLab{lab.L * 0.9685 + 3.15, lab.a, lab.b});
    ASSERT_TRUE(xyz.X < 0 || xyz.Y < 0 || xyz.Z < 0);
    const CieLab out = sample(lab);
    EXPECT_NEAR(out.L, (lab.L * 0.9685 + 3.15) * 1.03252 - 3.25245, 0.01);
    EXPECT_NEAR(out.a, lab.a, 0.05);
    EXPECT_NEAR(out.b, lab.b, 0.05);
}

TEST_F(Cam16SamplerTest, BlackStaysBlack)
{
    const uint16_t node[3] = {0, 0x8080, 0x8080};
    uint16_t out[3];
    cam16Sampler(node, out, &cargo_);
    EXPECT_EQ(out[0], 0);
}

TEST_F(Cam16SamplerTest, NeutralCurvesKeepChromaAbove100)
{
    // A strongly saturated colour with CAM16 chroma above 100 comes back as it was.
    const CieXyz white{96.42, 100.0, 82.49};
    const CieLab lab{50.0, 90.0, -100.0};
    const CieLab compressed{lab.L * 0.9685 + 3.15, lab.a, lab.b};
    Cam16Correlates before;
    ASSERT_TRUE(cam16Forward(model_.get(), labToXyz(&white, compressed), &before));
    ASSERT_GT(before.C, 100.0);
    const CieLab out = sample(lab);
    Cam16Correlates after;
    const CieLab back{(out.L + 3.25245) / 1.03252, out.a, out.b};
    ASSERT_TRUE(cam16Forward(model_.get(), labToXyz(&white, back), &after));
    EXPECT_NEAR(after.C, before.C, 0.5);
    EXPECT_NEAR(after.h, before.h, 1.0);
}

TEST_F(Cam16SamplerTest, HueCurveIsOptional)
{
    CurvePtr shift = curvePtr(buildParametricCurve(nullptr, OffsetType, std::array<double, 10>{0.3}.data()));
    const CieLab lab{60.0, 20.0, 30.0};
    const CieLab plain = sample(lab);
    EXPECT_LT(deltaE76(plain, lab), 0.5);   // nothing changes without curves
    cargo_.curves[2] = shift.get();
    const CieLab turned = sample(lab);
    EXPECT_GT(deltaE76(turned, lab), 5.0);
}

}   // namespace
