// The three recipes built as profiles: valid, equal whichever way they are
// sampled, faithful to their samplers, identities when neutral, saved and
// rebuilt alike, and refused when they cannot be built; their float tables
// plausible outside the recipe's space, and a look applied through optimised
// transforms as exactly as it is made.
#include "tests/app/core/builder_fixture.h"

namespace {

// ---------------------------------------------------------------------------
// The three recipes
// ---------------------------------------------------------------------------

// A recipe of each kind, with curves that change colours.
Recipe softproofRecipe()
{
    Recipe r;
    r.tab = RecipeTab::Softproof;
    r.softproofProfile = QString::fromLatin1(PressProfile);
    r.softproofIntent = 0;
    r.channels[0].selectFamily(CurveFamily::Gamma);
    r.channels[0].setValue(1.3);
    r.channels[3].selectFamily(CurveFamily::Offset);
    r.channels[3].setOffset(0.1);
    return r;
}

Recipe cam16Recipe()
{
    Recipe r;
    r.tab = RecipeTab::Cam16;
    r.correlates[0].selectFamily(CurveFamily::Gamma);
    r.correlates[0].setValue(0.8);
    r.correlates[1].setCorrelateIndex(1);
    r.correlates[1].selectFamily(CurveFamily::Sigmoidal);
    r.correlates[1].setValue(2.0);
    r.correlates[2].selectFamily(CurveFamily::Offset);
    r.correlates[2].setOffset(0.05);
    const ViewingConditionsList& presets = ViewingConditionsPresets::builtIns();
    r.sourceConditions = presets.at(0);
    r.destConditions = presets.at(3);
    r.separateDestination = true;
    return r;
}

Recipe cubeRecipe(const QString& file)
{
    Recipe r;
    r.tab = RecipeTab::CubeImport;
    r.lutProfile = QStringLiteral("*argb");
    r.lutIntent = 1;
    r.cubeFile = file;
    return r;
}

Recipe cubeRecipeIn(const QString& file, const char* space)
{
    Recipe r = cubeRecipe(file);
    r.lutProfile = QString::fromLatin1(space);
    return r;
}

class RecipeBuildTest : public BuilderTest {
protected:
    void SetUp() override
    {
        BuilderTest::SetUp();
        ASSERT_TRUE(dir_.isValid());
        warmCube_ = writeCube(dir_, "warm.cube", 9, warmerTable);
        identityCube_ = writeCube(dir_, "identity.cube", 17, identityTable);
        ASSERT_FALSE(warmCube_.isEmpty());
    }

    std::vector<Recipe> recipes() const { return {softproofRecipe(), cam16Recipe(), cubeRecipe(warmCube_)}; }

    QTemporaryDir dir_;
    QString warmCube_;
    QString identityCube_;
};

TEST_F(RecipeBuildTest, EachRecipeBuildsAValidProfile)
{
    const ResolutionPreferences prefs;
    for (const Recipe& r : recipes()) {
        SCOPED_TRACE(std::string("recipe tab ") + std::to_string(int(r.tab)));
        const BuildResult built = buildRecipe(r, prefs);
        ASSERT_TRUE(built.ok()) << built.message.toStdString();
        EXPECT_TRUE(built.message.isEmpty());
        ProfilePtr back = reopen(built.profile.get());
        ASSERT_TRUE(back);
        EXPECT_EQ(profileDeviceClass(back.get()), ClassAbstract);
        ASSERT_NE(a2b0(back.get()), nullptr);
    }
}

TEST_F(RecipeBuildTest, BatchSamplingEqualsNodeByNode)
{
    ResolutionPreferences prefs;
    prefs.gridLstar = 11;
    prefs.gridAbstar = 9;
    for (const Recipe& r : recipes()) {
        SCOPED_TRACE(std::string("recipe tab ") + std::to_string(int(r.tab)));
        const BuildResult batch = buildRecipe(r, prefs, openProfileByName, Sampling::Batch);
        const BuildResult single = buildRecipe(r, prefs, openProfileByName, Sampling::NodeByNode);
        ASSERT_TRUE(batch.ok() && single.ok());
        EXPECT_EQ(withoutDate(profileBytes(batch.profile.get())), withoutDate(profileBytes(single.profile.get())));
    }
}

// How far the saved table is from its sampler: at the CLUT's nodes (where
// only the tabulated curves and 16-bit rounding stand between them: a code
// or two off the node, which moves the result by a thousandth of the step to
// the next node, a tenth of a unit where the recipe jumps, as CAM16 does
// between black colours it passes through and those it maps) and at colours
// between the nodes (where the CLUT interpolates).
struct Agreement {
    double worstAtNodes = 0;
    double meanBetween = 0;
};

Agreement agreement(IccProfile* profile, Sampler16Fn sampler, void* cargo, const ToneCurve* forward,
                    const ToneCurve* inverse, const ResolutionPreferences& s, const std::vector<CieLab>& colors)
{
    ProfilePtr back = reopen(profile);
    const Pipeline* table = a2b0(back.get());
    Agreement result;
    if (!table) return {1e9, 1e9};
    const uint32_t gL = uint32_t(s.gridLstar), gAB = uint32_t(s.versionIndex == 1 ? s.gridLstar : s.gridAbstar);
    auto node = [](uint32_t k, uint32_t n) { return uint16_t(std::floor(k * 65535.0 / (n - 1) + 0.5)); };
    for (uint32_t i = 0; i < gL; i += 2)
        for (uint32_t j = 0; j < gAB; j += 2)
            for (uint32_t k = 0; k < gAB; k += 2) {
                const uint16_t in[3] = {node(i, gL), node(j, gAB), node(k, gAB)};
                uint16_t out[3];
                sampler(in, out, cargo);
                const uint16_t expected[3] = {out[0], evalCurve16(inverse, out[1]), evalCurve16(inverse, out[2])};
                const uint16_t lab[3] = {in[0], evalCurve16(inverse, in[1]), evalCurve16(inverse, in[2])};
                const double e = deltaE76(evalLab(table, lab16ToLab(lab)), lab16ToLab(expected));
                result.worstAtNodes = std::max(result.worstAtNodes, e);
            }
    for (const CieLab& lab : colors)
        result.meanBetween += deltaE76(evalLab(table, lab), predicted(sampler, cargo, forward, inverse, lab));
    result.meanBetween /= double(colors.size());
    return result;
}

TEST_F(RecipeBuildTest, TablesEvaluateAsTheSamplersPredict)
{
    const ResolutionPreferences prefs;
    const ResolutionPreferences s = prefs.clamped();
    CurvePtr forward = curvePtr(buildPrelinearisation(s.sigmoidShape));
    CurvePtr inverse = curvePtr(buildPrelinearisationInverse(s.sigmoidShape));
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    const std::vector<CieLab> colors = colorsInGamut(srgb.get(), 400, 11);

    // Softproofing on the press profile.
    {
        const Recipe r = softproofRecipe();
        ProfilePtr press = adoptProfile(openProfileByName(r.softproofProfile));
        ASSERT_TRUE(press);
        CurvePtr c0 = curvePtr(r.channels[0].buildCurve()), c1 = curvePtr(r.channels[1].buildCurve());
        CurvePtr c2 = curvePtr(r.channels[2].buildCurve()), c3 = curvePtr(r.channels[3].buildCurve());
        const ToneCurve* curves[4] = {c0.get(), c1.get(), c2.get(), c3.get()};
        ProfilePtr link = adoptProfile(createLinearizationLink(nullptr, SpaceCmyk, curves));
        ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
        IccProfile* chain[5] = {lab.get(), press.get(), link.get(), press.get(), lab.get()};
        const uint32_t intents[5] = {1, 0, 0, 1, 1};
        const bool bpc[5] = {};
        const double adapt[5] = {1, 1, 1, 1, 1};
        TransformPtr t{createTransformExtended(nullptr, 5, chain, bpc, intents, adapt, nullptr, 0, FormatLabDouble,
                                               FormatLabDouble, XformNoOptimise),
                       &deleteTransform};
        ASSERT_TRUE(t);
        LabSamplerCargo cargo{forward.get(), inverse.get(), t.get()};
        const BuildResult built = buildRecipe(r, prefs);
        ASSERT_TRUE(built.ok());
        const Agreement a =
            agreement(built.profile.get(), labToLabSampler, &cargo, forward.get(), inverse.get(), s, colors);
        EXPECT_LT(a.worstAtNodes, 0.2) << "softproofing";
        EXPECT_LT(a.meanBetween, 1.0) << "softproofing";
    }
    // CIE CAM16.
    {
        const Recipe r = cam16Recipe();
        Cam16ModelPtr src{createCam16Model(nullptr, r.sourceConditions->values), &freeCam16Model};
        Cam16ModelPtr dst{createCam16Model(nullptr, r.destinationConditions()->values), &freeCam16Model};
        CurvePtr c0 = curvePtr(r.correlates[0].buildCurve()), c1 = curvePtr(r.correlates[1].buildCurve());
        CurvePtr c2 = curvePtr(r.correlates[2].buildCurve());
        Cam16SamplerCargo cargo;
        cargo.forward = forward.get();
        cargo.inverse = inverse.get();
        cargo.source = src.get();
        cargo.destination = dst.get();
        cargo.flags = r.correlateFlags();
        cargo.curves[0] = c0.get();
        cargo.curves[1] = c1.get();
        cargo.curves[2] = c2.get();
        const BuildResult built = buildRecipe(r, prefs);
        ASSERT_TRUE(built.ok());
        const Agreement a =
            agreement(built.profile.get(), cam16Sampler, &cargo, forward.get(), inverse.get(), s, colors);
        EXPECT_LT(a.worstAtNodes, 0.2) << "CAM16";
        EXPECT_LT(a.meanBetween, 1.0) << "CAM16";
    }
}

// The six faces of an RGB space's cube, n × n colours each, as Lab; with
// `inBox`, only those a 16-bit ICC Lab table can carry (a* and b* from -128:
// Adobe RGB's green lies a little beyond).
std::vector<CieLab> gamutSurface(const char* name, int n, bool inBox)
{
    ProfilePtr space = adoptProfile(openProfileByName(QString::fromLatin1(name)));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    TransformPtr t{createTransform(space.get(), FormatRgbDouble, lab.get(), FormatLabDouble,
                                   IntentRelativeColorimetric, XformNoOptimise),
                   &deleteTransform};
    std::vector<CieLab> out;
    for (int axis = 0; axis < 3 && t; ++axis)
        for (int side = 0; side < 2; ++side)
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) {
                    double rgb[3];
                    rgb[axis] = side;
                    rgb[(axis + 1) % 3] = double(i) / (n - 1);
                    rgb[(axis + 2) % 3] = double(j) / (n - 1);
                    CieLab lab;
                    doTransform(t.get(), rgb, &lab, 1);
                    if (!inBox || (lab.a >= -128 && lab.b >= -128)) out.push_back(lab);
                }
    return out;
}

TEST_F(RecipeBuildTest, NeutralRecipesAreIdentitiesOnWholeGamuts)
{
    // Nothing is clipped at the faces of an RGB cube: a neutral recipe is the
    // identity up to the surface of its space's gamut, and a table in a wide
    // space keeps a smaller space's surface too. Version 4 profiles, through
    // their float table, are the identity to a thousandth of a unit, Adobe
    // RGB's greens beyond a* -128 included; version 2 ones, 16-bit only,
    // within the Lab box.
    ProfilePtr srgbSpace = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    std::vector<CieLab> srgb = gamutSurface("*srgb", 17, false);
    const std::vector<CieLab> inside = colorsInGamut(srgbSpace.get(), 300, 3);
    srgb.insert(srgb.end(), inside.begin(), inside.end());
    std::vector<CieLab> both[2] = {gamutSurface("*argb", 17, false), gamutSurface("*argb", 17, true)};
    ASSERT_EQ(both[0].size(), 6u * 17 * 17);
    ASSERT_GT(both[1].size(), 1700u);   // a few greens lie beyond
    for (std::vector<CieLab>& colours : both) colours.insert(colours.end(), srgb.begin(), srgb.end());

    const QString identity33 = writeCube(dir_, "identity33.cube", 33, identityTable);
    Recipe softproof;
    softproof.tab = RecipeTab::Softproof;
    softproof.softproofProfile = QStringLiteral("*srgb");
    softproof.softproofIntent = 1;
    Recipe softproofWide = softproof;
    softproofWide.softproofProfile = QStringLiteral("*argb");
    Recipe cam16;
    cam16.tab = RecipeTab::Cam16;
    struct Case {
        const char* name;
        Recipe recipe;
        bool wide;   // on Adobe RGB's colours too
    };
    const Case cases[] = {
        {"softproofing in sRGB", softproof, false},
        {"softproofing in Adobe RGB", softproofWide, true},
        {"CIE CAM16", cam16, true},
        {"CUBE identity in sRGB", cubeRecipeIn(identityCube_, "*srgb"), false},
        {"CUBE identity in Adobe RGB", cubeRecipeIn(identity33, "*argb"), true},
        {"CUBE identity in ProPhoto RGB", cubeRecipeIn(identityCube_, "*prophoto"), true},
    };
    for (int version : {0, 1}) {
        ResolutionPreferences prefs;
        prefs.versionIndex = version;
        const double tolerance = version == 0 ? 0.001 : 0.05;
        for (const Case& c : cases) {
            const BuildResult built = buildRecipe(c.recipe, prefs);
            ASSERT_TRUE(built.ok()) << c.name;
            ProfilePtr back = reopen(built.profile.get());
            double worst = 0;
            CieLab worstLab{};
            for (const CieLab& lab : c.wide ? both[version] : srgb) {
                const double e = deltaE76(throughProfile(back.get(), lab), lab);
                if (e > worst) worst = e, worstLab = lab;
            }
            EXPECT_LT(worst, tolerance) << c.name << ", version index " << version << ", at " << worstLab.L << " "
                                        << worstLab.a << " " << worstLab.b;
        }
    }
}

TEST_F(RecipeBuildTest, SaveReadRebuildGivesTheSameProfile)
{
    ResolutionPreferences prefs;
    prefs.gridLstar = 15;
    prefs.gridAbstar = 11;
    prefs.gridCurves = 512;
    prefs.sigmoidShape = 4.25;
    for (int version : {0, 1}) {
        prefs.versionIndex = version;
        for (const Recipe& r : recipes()) {
            SCOPED_TRACE(std::string("recipe tab ") + std::to_string(int(r.tab)) + ", version " +
                         std::to_string(version));
            const BuildResult saved = buildProfileWithRecipe(r, prefs);
            ASSERT_TRUE(saved.ok()) << saved.message.toStdString();
            const QByteArray bytes = profileBytes(saved.profile.get());
            ProfilePtr opened = adoptProfile(openFromMemory(bytes.constData(), uint32_t(bytes.size())));
            const RecipeReadResult read = readRecipeFromProfile(opened.get());
            ASSERT_TRUE(read.ok()) << read.message.toStdString();
            EXPECT_FALSE(read.resolutionDiffers(prefs));
            const BuildResult rebuilt = buildProfileWithRecipe(read.recipe, read.recipe.resolution);
            ASSERT_TRUE(rebuilt.ok());
            EXPECT_EQ(withoutDate(profileBytes(rebuilt.profile.get())), withoutDate(bytes));
        }
    }
}

TEST_F(RecipeBuildTest, RecipesOfOtherOriginAreRefused)
{
    ProfilePtr plain = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    RecipeReadResult r = readRecipeFromProfile(plain.get());
    EXPECT_EQ(r.status, RecipeReadResult::NotOurs);
    EXPECT_EQ(r.message, QStringLiteral("This profile was not created by Osterlane Color Tonemolder"));

    const BuildResult built = buildProfileWithRecipe(cam16Recipe(), ResolutionPreferences{});
    ASSERT_TRUE(built.ok());
    const struct { QByteArray from, to; RecipeReadResult::Status status; } table[] = {
        {"\"1.9\"", "\"2.0\"", RecipeReadResult::NewerVersion},
        {"TONEMOLDER\n", "CGATS.17\n", RecipeReadResult::NotOurs},
    };
    for (const auto& row : table) {
        QByteArray text = recipeToText(cam16Recipe());
        text.replace(row.from, row.to);
        std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)> targ{newLocalizedText(nullptr, 1),
                                                                          &freeLocalizedText};
        ASSERT_TRUE(setText8(targ.get(), "", "", text.constData()));
        ASSERT_TRUE(storeTag(built.profile.get(), sig("targ"), targ.get()));
        ProfilePtr back = reopen(built.profile.get());
        r = readRecipeFromProfile(back.get());
        EXPECT_EQ(r.status, row.status) << row.to.toStdString();
    }
    EXPECT_TRUE(r.message.startsWith(QStringLiteral("This profile was not created")));
    r = readRecipeFromFile(dir_.filePath(QStringLiteral("missing.icc")));
    EXPECT_EQ(r.status, RecipeReadResult::InvalidProfile);
    EXPECT_EQ(r.message, QStringLiteral("Invalid or corrupted ICC profile"));
}

TEST_F(RecipeBuildTest, TextsBeyondAsciiSurviveTheRecipe)
{
    Recipe r = cam16Recipe();
    r.description = QStringLiteral("Warm \u00e9t\u00e9 look \u2013 v2");
    r.copyright = QStringLiteral("\u00a9 Studio");
    const BuildResult saved = buildProfileWithRecipe(r, ResolutionPreferences{});
    ASSERT_TRUE(saved.ok());
    ProfilePtr back = reopen(saved.profile.get());
    const RecipeReadResult read = readRecipeFromProfile(back.get());
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.recipe.description, r.description);
    EXPECT_EQ(read.recipe.copyright, r.copyright);
}

TEST_F(RecipeBuildTest, TableChannelsKeepTheirOrder)
{
    // A table that adds red must make a neutral grey reddish and warm
    // (positive a* and b*), whatever order the table's file writes its
    // channels in; the same table read blue for red would make it cool
    // (negative b*).
    const BuildResult built = buildRecipe(cubeRecipe(warmCube_), ResolutionPreferences{});
    ASSERT_TRUE(built.ok()) << built.message.toStdString();
    const CieLab grey = evalLab(a2b0(built.profile.get()), CieLab{50, 0, 0});
    EXPECT_GT(grey.a, 3.0);
    EXPECT_GT(grey.b, 2.0);
    EXPECT_GT(grey.L, 50.0);

    // An asymmetric table on coloured patches: each patch becomes the colour
    // of the table's function applied to its own sRGB values. Red and blue
    // exchanged anywhere on the way would miss by tens of units.
    const auto mix = [](const double x[3], double y[3]) {
        y[0] = 0.8 * x[0] + 0.2 * x[1];
        y[1] = x[1] * x[1];
        y[2] = 0.6 * x[2] + 0.3 * x[0];
    };
    ResolutionPreferences fine;
    fine.gridLstar = fine.gridAbstar = 33;
    const BuildResult mixed = buildRecipe(cubeRecipeIn(writeCube(dir_, "mix.cube", 33, mix), "*srgb"), fine);
    ASSERT_TRUE(mixed.ok()) << mixed.message.toStdString();
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    TransformPtr toLab{createTransform(srgb.get(), FormatRgbDouble, lab.get(), FormatLabDouble,
                                       IntentRelativeColorimetric, XformNoOptimise),
                       &deleteTransform};
    ASSERT_TRUE(toLab);
    const double patches[][3] = {{0.8, 0.2, 0.1}, {0.2, 0.7, 0.3}, {0.1, 0.3, 0.8}, {0.9, 0.8, 0.2},
                                 {0.3, 0.8, 0.8}, {0.7, 0.3, 0.7}, {0.6, 0.45, 0.35}, {0.5, 0.5, 0.5}};
    for (const auto& patch : patches) {
        double looked[3];
        mix(patch, looked);
        CieLab from, want;
        doTransform(toLab.get(), patch, &from, 1);
        doTransform(toLab.get(), looked, &want, 1);
        EXPECT_LT(deltaE76(throughProfile(mixed.profile.get(), from), want), 2.0)
            << patch[0] << " " << patch[1] << " " << patch[2];
    }
}

TEST_F(RecipeBuildTest, ATableChangedOnDiskIsReadAgain)
{
    // Red lifted, then blue lifted: the same bytes in another order, so the
    // file keeps its size; a grey must follow whichever table is on disk.
    const auto redder = [](const double x[3], double y[3]) {
        y[0] = std::min(x[0] + 0.1, 1.0);
        y[1] = x[1];
        y[2] = x[2];
    };
    const auto bluer = [](const double x[3], double y[3]) {
        y[0] = x[0];
        y[1] = x[1];
        y[2] = std::min(x[2] + 0.1, 1.0);
    };
    const QString path = writeCube(dir_, "changing.cube", 9, redder);
    const qint64 size = QFileInfo(path).size();
    const Recipe recipe = cubeRecipe(path);
    for (int round = 0; round < 2; ++round) {
        BuildResult built = buildRecipe(recipe, ResolutionPreferences{});
        ASSERT_TRUE(built.ok());
        EXPECT_GT(evalLab(a2b0(built.profile.get()), CieLab{50, 0, 0}).b, 2.0);   // red: warm
        ASSERT_EQ(writeCube(dir_, "changing.cube", 9, bluer), path);
        ASSERT_EQ(QFileInfo(path).size(), size);
        built = buildRecipe(recipe, ResolutionPreferences{});
        ASSERT_TRUE(built.ok());
        EXPECT_LT(evalLab(a2b0(built.profile.get()), CieLab{50, 0, 0}).b, -2.0);   // blue: cool
        ASSERT_EQ(writeCube(dir_, "changing.cube", 9, redder), path);
    }
    ASSERT_TRUE(QFile::remove(path));
    const BuildResult gone = buildRecipe(recipe, ResolutionPreferences{});
    EXPECT_FALSE(gone.ok());
    EXPECT_EQ(gone.message, QStringLiteral("Unable to access .cube file: ") + path);
}

// A 2-point table made by hand and imported in sRGB runs far beyond any
// colour outside sRGB (its corners extrapolated through the space). The
// float table a 4.3 profile carries keeps its results plausible there: L*
// 0 … 100, a* and b* within the 16-bit box and the one node beyond it (at
// most a grid step of 255/16 with these curves, under 160), as the 16-bit
// table does within its own box.
TEST_F(RecipeBuildTest, FloatTableStaysPlausibleOutsideTheRecipesSpace)
{
    const QString hand = writeCube(dir_, "hand.cube", 2, [](const double x[3], double y[3]) {
        y[0] = 0.1 + 0.8 * x[1];
        y[1] = x[2];
        y[2] = 1.0 - 0.9 * x[0];
    });
    BuildResult built = buildProfileWithRecipe(cubeRecipeIn(hand, "*srgb"), ResolutionPreferences{});
    ASSERT_TRUE(built.ok());
    ProfilePtr back = reopen(built.profile.get());
    ASSERT_TRUE(back);
    ASSERT_TRUE(hasTag(back.get(), sig("D2B0")));
    std::vector<CieLab> colours;
    for (double L = 0; L <= 100; L += 10)
        for (double a = -128; a <= 127; a += 15)
            for (double b = -128; b <= 127; b += 15) colours.push_back({L, a, b});
    colours.push_back({90, -60, -60});
    for (const CieLab& lab : colours) {
        const CieLab out = throughProfile(back.get(), lab);
        EXPECT_TRUE(out.L >= 0 && out.L <= 100 && std::fabs(out.a) < 160 && std::fabs(out.b) < 160)
            << lab.L << " " << lab.a << " " << lab.b << " -> " << out.L << " " << out.a << " " << out.b;
    }
}

// Errors of one pixel in 8-bit codes (16-bit results in the same units):
// the largest over the channels against the chain in double, both clipped.
struct CodeErrors {
    std::vector<double> errors;
    void add(const double got[3], const double exact[3])
    {
        double worst = 0;
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(got[c] - std::clamp(exact[c], 0.0, 1.0)) * 255);
        errors.push_back(worst);
    }
    double percentile(double p)
    {
        std::sort(errors.begin(), errors.end());
        return errors[size_t(p * double(errors.size() - 1))];
    }
};

// A strong cross-channel look imported from a 17-point table in sRGB and
// saved as 4.3, applied as `apply` does (sRGB, look, sRGB; integer pixels,
// optimised): within 1.5 codes at the 99th percentile and 3 at most of the
// same chain unoptimised in double, at 8 and 16 bits. The dark blue was 8
// codes off when curves found along the grey axis stood for the chain.
TEST_F(RecipeBuildTest, LooksApplyAsExactlyAsTheyAreMade)
{
    const QString cross = writeCube(dir_, "cross.cube", 17, [](const double x[3], double y[3]) {
        y[0] = x[0] * x[0];
        y[1] = (x[1] + x[2]) / 2;
        y[2] = 0.2 + 0.6 * x[0] * x[2];
    });
    BuildResult built = buildProfileWithRecipe(cubeRecipeIn(cross, "*srgb"), ResolutionPreferences{});
    ASSERT_TRUE(built.ok());
    ProfilePtr look = reopen(built.profile.get());
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ASSERT_TRUE(look && srgb);
    IccProfile* const chain[3] = {srgb.get(), look.get(), srgb.get()};
    using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
    TransformPtr exact(createMultiTransform(nullptr, chain, 3, FormatRgbDouble, FormatRgbDouble, IntentPerceptual,
                                            XformNoOptimise | XformNoCache),
                       &deleteTransform);
    ASSERT_NE(exact, nullptr);
    // Abstract profiles move white on purpose: `apply` leaves it alone.
    const uint32_t flags = XformNoCache | XformNoWhiteFixup;
    std::mt19937 random(24);
    for (const uint32_t bytes : {1u, 2u}) {
        SCOPED_TRACE(bytes * 8);
        const uint32_t format = bytes == 1 ? FormatRgb8 : FormatRgb16;
        const uint32_t top = bytes == 1 ? 255 : 65535;
        TransformPtr fast(createMultiTransform(nullptr, chain, 3, format, format, IntentPerceptual, flags),
                          &deleteTransform);
        ASSERT_NE(fast, nullptr);
        const int count = 4000;
        std::vector<uint16_t> in16(3 * count), out16(3 * count);
        std::vector<uint8_t> in8(3 * count), out8(3 * count);
        std::vector<double> in(3 * count), want(3 * count);
        for (size_t i = 0; i < in.size(); ++i) {
            in16[i] = uint16_t(random() % (top + 1));
            in8[i] = uint8_t(in16[i]);
            in[i] = in16[i] / double(top);
        }
        if (bytes == 1)
            doTransform(fast.get(), in8.data(), out8.data(), count);
        else
            doTransform(fast.get(), in16.data(), out16.data(), count);
        doTransform(exact.get(), in.data(), want.data(), count);
        CodeErrors e;
        for (int i = 0; i < count; ++i) {
            double got[3];
            for (int c = 0; c < 3; ++c) got[c] = bytes == 1 ? out8[3 * i + c] / 255.0 : out16[3 * i + c] / 65535.0;
            e.add(got, &want[3 * i]);
        }
        EXPECT_LE(e.percentile(0.99), 1.5);
        EXPECT_LE(e.percentile(1.0), 3.0);
    }
    TransformPtr fast(createMultiTransform(nullptr, chain, 3, FormatRgb16, FormatRgb16, IntentPerceptual, flags),
                      &deleteTransform);
    ASSERT_NE(fast, nullptr);
    const uint16_t blue16[3] = {64507, 38807, 2056};
    const double blue[3] = {64507 / 65535.0, 38807 / 65535.0, 2056 / 65535.0};
    uint16_t got[3];
    double want[3];
    doTransform(fast.get(), blue16, got, 1);
    doTransform(exact.get(), blue, want, 1);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c] / 65535.0 * 255, std::clamp(want[c], 0.0, 1.0) * 255, 1.0) << c;
}

TEST_F(RecipeBuildTest, NothingToBuild)
{
    const ResolutionPreferences prefs;
    Recipe noTable = cubeRecipe(QString());
    BuildResult r = buildRecipe(noTable, prefs);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.message.isEmpty());   // no table loaded: nothing, silently

    const QString gone = dir_.filePath(QStringLiteral("gone.cube"));
    r = buildRecipe(cubeRecipe(gone), prefs);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.message, QStringLiteral("Unable to access .cube file: ") + gone);

    // A space that cannot be opened is named, never an internal error, by
    // the builder and by the fidelity check alike.
    const QString nowhere = dir_.filePath(QStringLiteral("nowhere.icc"));
    Recipe missing = softproofRecipe();
    missing.softproofProfile = nowhere;
    Recipe unchosen = softproofRecipe();
    unchosen.softproofProfile.clear();
    Recipe lutMissing = cubeRecipe(warmCube_);
    lutMissing.lutProfile = QStringLiteral("gone.icc");
    const struct {
        Recipe recipe;
        QString message;
    } spaces[] = {
        {missing, QStringLiteral("The color space for adjusts cannot be opened: ") + nowhere +
                      QStringLiteral("\nChoose another one.")},
        {unchosen, QStringLiteral("No color space for adjusts is selected. Choose one on the Softproofing tab.")},
        {lutMissing, QStringLiteral("The color space for the imported LUT cannot be opened: gone.icc\nChoose another one.")},
    };
    for (const auto& c : spaces) {
        r = buildRecipe(c.recipe, prefs);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.message, c.message);
        QString error;
        EXPECT_EQ(ExactRecipe::forRecipe(c.recipe, openProfileByName, &error), nullptr);
        EXPECT_EQ(error, c.message);
    }

    Recipe badIntent = softproofRecipe();
    badIntent.softproofIntent = 4;
    EXPECT_FALSE(buildRecipe(badIntent, prefs).ok());

    Recipe noConditions = cam16Recipe();
    noConditions.sourceConditions.reset();
    EXPECT_FALSE(buildRecipe(noConditions, prefs).ok());

    Recipe otherTab;
    otherTab.tab = RecipeTab(5);
    EXPECT_FALSE(buildRecipe(otherTab, prefs).ok());
}

}   // namespace
