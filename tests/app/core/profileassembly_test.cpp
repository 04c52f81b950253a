// The generic builder: the layout of version 4 and version 2 profiles, and
// a fill that fails.
#include "tests/app/core/builder_fixture.h"

namespace {

// ---------------------------------------------------------------------------
// The generic builder
// ---------------------------------------------------------------------------

// Every node keeps its own coordinates: the profile is an identity.
bool identitySampler(const uint16_t in[], uint16_t out[], void*)
{
    std::copy(in, in + 3, out);
    return true;
}

bool identityRecipe(const std::vector<CieLab>& in, std::vector<CieLab>& out)
{
    out = in;
    return true;
}

TEST_F(BuilderTest, VersionFourLayout)
{
    ResolutionPreferences s;
    s.gridLstar = 9;
    s.gridAbstar = 11;
    s.gridCurves = 256;
    ProfilePtr p = adoptProfile(buildAbstractProfile(identityRecipe, s, fillNodeByNode(identitySampler, nullptr)));
    ASSERT_TRUE(p);
    EXPECT_EQ(profileDeviceClass(p.get()), ClassAbstract);
    EXPECT_EQ(profileColorSpace(p.get()), SpaceLab);
    EXPECT_EQ(profilePcs(p.get()), SpaceLab);
    EXPECT_EQ(profileRenderingIntent(p.get()), 0u);
    EXPECT_EQ(profileVersion(p.get()), 0x04300000u);

    ProfilePtr back = reopen(p.get());
    ASSERT_TRUE(back);
    const Pipeline* pipe = a2b0(back.get());
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(linkedTypeOf(back.get(), sig("A2B0")), sig("mAB "));
    const uint32_t kinds[3] = {StageCurvesKind, StageClutKind, StageCurvesKind};
    Stage* stages[3] = {};
    ASSERT_TRUE(matchStageKinds(pipe, 3, kinds, stages));
    const uint32_t* grid = clutGridPoints(stages[1]);
    EXPECT_EQ(grid[0], 9u);
    EXPECT_EQ(grid[1], 11u);
    EXPECT_EQ(grid[2], 11u);
    // L* passes through a parametric identity, a* and b* through S tabulated.
    ToneCurve* const* in = stageCurves(stages[0]);
    EXPECT_EQ(parametricTypeOf(in[0]), 1);
    EXPECT_NEAR(evalCurveFloat(in[1], 0.25f), sigmoid(0.25, s.sigmoidShape), 2e-3);
    char desc[64] = {};
    profileTextUtf8(back.get(), InfoDescription, "en", "US", desc, sizeof desc);
    EXPECT_STREQ(desc, "Tonemolder profile");
    char cprt[64] = {};
    profileTextUtf8(back.get(), InfoCopyright, "en", "US", cprt, sizeof cprt);
    EXPECT_STREQ(cprt, "No copyright, use freely");
    const auto* white = static_cast<const CieXyz*>(loadTag(back.get(), sig("wtpt")));
    ASSERT_NE(white, nullptr);
    EXPECT_NEAR(white->X, 0.9642, 1e-4);

    // An identity table through S and S⁻¹ is an identity.
    for (const CieLab& lab : randomLab(200, 7))
        EXPECT_LT(deltaE76(evalLab(pipe, lab), lab), 0.05) << lab.L << " " << lab.a << " " << lab.b;

    // The float table: node curves and a float CLUT on the same L* nodes and
    // one node more beyond each end of a* and b*. A colour engine takes it
    // before the 16-bit table, and the identity comes back exactly, beyond
    // a* and b* -128 … 127 too.
    const auto* floats = static_cast<const Pipeline*>(loadTag(back.get(), sig("D2B0")));
    ASSERT_NE(floats, nullptr);
    EXPECT_EQ(linkedTypeOf(back.get(), sig("D2B0")), sig("mpet"));
    const uint32_t floatKinds[2] = {StageCurvesKind, StageClutKind};
    Stage* floatStages[2] = {};
    ASSERT_TRUE(matchStageKinds(floats, 2, floatKinds, floatStages));
    ASSERT_TRUE(clutIsFloat(floatStages[1]));
    const uint32_t* floatGrid = clutGridPoints(floatStages[1]);
    EXPECT_EQ(floatGrid[0], 9u);
    EXPECT_EQ(floatGrid[1], 13u);
    EXPECT_EQ(floatGrid[2], 13u);
    std::vector<CieLab> colours = randomLab(200, 9);
    colours.insert(colours.end(), {{50, -134, 20}, {83, -129, 87}, {70, 133, -135}, {0, 0, 0}, {100, 0, 0}});
    for (const CieLab& lab : colours)
        EXPECT_LT(deltaE76(throughProfile(back.get(), lab), lab), 1e-3) << lab.L << " " << lab.a << " " << lab.b;
}

TEST_F(BuilderTest, VersionTwoLayout)
{
    ResolutionPreferences s;
    s.versionIndex = 1;
    s.gridLstar = 9;
    s.gridAbstar = 17;
    s.gridCurves = 300;
    ProfilePtr p = adoptProfile(buildAbstractProfile(identityRecipe, s, fillNodeByNode(identitySampler, nullptr)));
    ASSERT_TRUE(p);
    ProfilePtr back = reopen(p.get());
    ASSERT_TRUE(back);
    EXPECT_EQ(profileVersion(back.get()), 0x02100000u);
    EXPECT_FALSE(hasTag(back.get(), sig("D2B0")));   // version 2 has no float tables
    const Pipeline* pipe = a2b0(back.get());
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(linkedTypeOf(back.get(), sig("A2B0")), sig("mft2"));
    const uint32_t kinds[3] = {StageCurvesKind, StageClutKind, StageCurvesKind};
    Stage* stages[3] = {};
    ASSERT_TRUE(matchStageKinds(pipe, 3, kinds, stages));
    const uint32_t* grid = clutGridPoints(stages[1]);
    EXPECT_EQ(grid[0], 9u);   // one grid for all axes
    EXPECT_EQ(grid[1], 9u);
    EXPECT_EQ(grid[2], 9u);
    for (Stage* curves : {stages[0], stages[2]}) {
        ToneCurve* const* c = stageCurves(curves);
        EXPECT_EQ(parametricTypeOf(c[0]), 0);   // tabulated L*
        EXPECT_EQ(tableEntryCount(c[0]), 300u);
    }
    for (const CieLab& lab : randomLab(200, 8)) EXPECT_LT(deltaE76(evalLab(pipe, lab), lab), 0.05);
}

TEST_F(BuilderTest, FailingFillBuildsNothing)
{
    const LabRecipe refuse = [](const std::vector<CieLab>&, std::vector<CieLab>&) { return false; };
    const LabRecipe tooFew = [](const std::vector<CieLab>&, std::vector<CieLab>& out) {
        out.assign(3, CieLab{50, 0, 0});
        return true;
    };
    EXPECT_EQ(buildAbstractProfile(refuse, ResolutionPreferences{}), nullptr);
    EXPECT_EQ(buildAbstractProfile(tooFew, ResolutionPreferences{}), nullptr);
    EXPECT_EQ(buildAbstractProfile(LabRecipe{}, ResolutionPreferences{}), nullptr);
    EXPECT_EQ(buildAbstractProfile(identityRecipe, ResolutionPreferences{}, [](Stage*) { return false; }), nullptr);
}

}   // namespace
