// Rendering intents and linking: profile pipelines by intent, white points and
// adaptation, the profile queries, the conversions at the PCS (absolute
// colorimetry, adaptation states, black-point compensation), the soft-proof
// chain of the builder, and the gamut check.
#include "oslinternal.h"
#include "profile_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace testbytes;

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

const std::string ColordDir = "/usr/share/color/icc/colord/";
const std::string GhostscriptDir = "/usr/share/color/icc/ghostscript/";
const std::string PressProfile = GhostscriptDir + "default_cmyk.icc";

std::vector<std::string> messages;
void collect(EngineContext*, uint32_t, const char* text)
{
    messages.push_back(text);
}

class Linking : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        ctx = createContext(nullptr, nullptr);
        setContextErrorHandler(ctx, collect);
        lab = ProfilePtr(createLabIdentityV4(ctx, nullptr), &closeProfile);
        ASSERT_TRUE(lab);
    }
    void TearDown() override
    {
        lab.reset();
        deleteContext(ctx);
    }

    // A real profile; the test fails when the setup did not install it.
    ProfilePtr open(const std::string& path)
    {
        EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing";
        return ProfilePtr(openFromFile(ctx, path.c_str(), "r"), &closeProfile);
    }

    ProfilePtr fromBytes(const Bytes& b)
    {
        return ProfilePtr(openFromMemoryContext(ctx, b.data(), uint32_t(b.size())), &closeProfile);
    }

    ProfilePtr blank(uint32_t cls, uint32_t space, uint32_t pcs)
    {
        ProfilePtr p(createBlankProfile(ctx), &closeProfile);
        setProfileDeviceClass(p.get(), cls);
        setProfileColorSpace(p.get(), space);
        setProfilePcs(p.get(), pcs);
        return p;
    }

    // Lab of a colour through [profile, Lab identity] with the intent.
    CieLab toLab(IccProfile* p, uint32_t format, const void* colour, uint32_t intent, uint32_t flags = 0,
                 double state = 1.0)
    {
        IccProfile* const chain[2] = {p, lab.get()};
        const uint32_t intents[2] = {intent, intent};
        const bool bpc[2] = {bool(flags & XformBlackPointCompensation), bool(flags & XformBlackPointCompensation)};
        const double states[2] = {state, state};
        TransformPtr t(createTransformExtended(ctx, 2, chain, bpc, intents, states, nullptr, 0, format,
                                               FormatLabDouble, flags | XformNoOptimise),
                       &deleteTransform);
        EXPECT_TRUE(t);
        double out[3] = {NAN, NAN, NAN};
        if (t) doTransform(t.get(), colour, out, 1);
        return CieLab{out[0], out[1], out[2]};
    }

    std::vector<uint32_t> stageKinds(const Pipeline* p)
    {
        std::vector<uint32_t> kinds;
        for (Stage* s = pipelineFirstStage(p); s; s = stageNext(s)) kinds.push_back(stageImplementedKind(s));
        return kinds;
    }

    EngineContext* ctx = nullptr;
    ProfilePtr lab{nullptr, &closeProfile};
};

// The XYZ-to-XYZ Bradford adaptation, written out independently.
Mat3 bradfordReference(const CieXyz& from, const CieXyz& to)
{
    const double b[3][3] = {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}};
    auto cone = [&](const CieXyz& w, int r) { return b[r][0] * w.X + b[r][1] * w.Y + b[r][2] * w.Z; };
    // Inverse of the Bradford matrix by cofactors.
    double inv[3][3];
    const double det = b[0][0] * (b[1][1] * b[2][2] - b[1][2] * b[2][1]) -
                       b[0][1] * (b[1][0] * b[2][2] - b[1][2] * b[2][0]) +
                       b[0][2] * (b[1][0] * b[2][1] - b[1][1] * b[2][0]);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            inv[i][j] = (b[r0][c0] * b[r1][c1] - b[r0][c1] * b[r1][c0]) / det;
        }
    Mat3 m;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double sum = 0;
            for (int k = 0; k < 3; ++k) sum += inv[i][k] * (cone(to, k) / cone(from, k)) * b[k][j];
            m.m[i * 3 + j] = sum;
        }
    return m;
}

constexpr CieXyz D65{0.95047, 1.0, 1.08883};

// ---------------------------------------------------------------------------
// White points and adaptation
// ---------------------------------------------------------------------------

TEST_F(Linking, OldDisplayProfilesAreAdaptedFromTheirWhite)
{
    ProfileBuilder b;
    b.version = 0x02100000;
    b.tag(sig("wtpt"), b.addData(xyzTag(D65.X, D65.Y, D65.Z)));
    ProfilePtr p = fromBytes(b.build());
    ASSERT_TRUE(p);
    const CieXyz white = mediaWhitePointOf(p.get());
    EXPECT_EQ(white.X, D50.X);
    EXPECT_EQ(white.Y, D50.Y);
    EXPECT_EQ(white.Z, D50.Z);
    const Mat3 m = adaptationMatrixOf(p.get());
    // The white as stored (s15Fixed16) is what gets adapted.
    const CieXyz stored{std::round(D65.X * 65536) / 65536, 1.0, std::round(D65.Z * 65536) / 65536};
    const Mat3 expected = bradfordReference(stored, D50);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(m.m[i], expected.m[i], 1e-9) << i;
}

TEST_F(Linking, WhitePointsAndChadOfOtherProfilesAreTakenAsStored)
{
    // Version 4 display: 'wtpt' and 'chad' as they are.
    ProfileBuilder b;
    b.tag(sig("wtpt"), b.addData(xyzTag(D65.X, D65.Y, D65.Z)));
    Bytes chad;
    const double values[9] = {1.0479, 0.0229, -0.0502, 0.0296, 0.9904, -0.0171, -0.0092, 0.0151, 0.7519};
    for (double v : values) appendS15(chad, v);
    b.tag(sig("chad"), b.addData(tagData(sig("sf32"), chad)));
    ProfilePtr v4 = fromBytes(b.build());
    EXPECT_NEAR(mediaWhitePointOf(v4.get()).Z, D65.Z, 1e-4);
    const Mat3 m = adaptationMatrixOf(v4.get());
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(m.m[i], values[i], 1e-4);

    // A version 2 printer keeps its paper white; without 'chad' no adaptation.
    ProfileBuilder printer;
    printer.version = 0x02100000;
    printer.deviceClass = sig("prtr");
    printer.tag(sig("wtpt"), printer.addData(xyzTag(0.85, 0.88, 0.70)));
    ProfilePtr paper = fromBytes(printer.build());
    EXPECT_NEAR(mediaWhitePointOf(paper.get()).Y, 0.88, 1e-4);
    EXPECT_TRUE(isIdentity3x3(adaptationMatrixOf(paper.get())));

    // No 'wtpt': D50.
    ProfilePtr none = blank(ClassOutput, SpaceCmyk, SpaceLab);
    EXPECT_EQ(mediaWhitePointOf(none.get()).Z, D50.Z);
}

// ---------------------------------------------------------------------------
// Queries and pipelines by intent
// ---------------------------------------------------------------------------

TEST_F(Linking, ProfilesAnswerWhatTheyCanDo)
{
    ProfilePtr srgb = open(ColordDir + "sRGB.icc");
    ProfilePtr press = open(PressProfile);
    ProfilePtr gray = open(GhostscriptDir + "sgray.icc");
    ASSERT_TRUE(srgb && press && gray);
    EXPECT_TRUE(isMatrixShaper(srgb.get()));
    EXPECT_TRUE(isMatrixShaper(gray.get()));
    EXPECT_FALSE(isMatrixShaper(press.get()));

    struct Row {
        uint32_t intent, direction;
        bool press, srgb;
    };
    const Row rows[] = {{0, DirectionInput, true, false},  {1, DirectionOutput, true, false},
                        {3, DirectionInput, true, false},  {3, DirectionOutput, true, false},
                        {10, DirectionInput, false, false}, {2, DirectionProof, true, false}};
    for (const Row& r : rows) {
        EXPECT_EQ(hasClutFor(press.get(), r.intent, r.direction), r.press) << r.intent << " " << r.direction;
        EXPECT_EQ(hasClutFor(srgb.get(), r.intent, r.direction), r.srgb);
        EXPECT_EQ(isIntentSupported(srgb.get(), r.intent, r.direction), true);
    }
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(hasClutFor(press.get(), 0, 5));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Unexpected direction (5)");

    // A device link answers for its own intent only.
    ProfilePtr link = blank(ClassLink, SpaceRgb, SpaceCmyk);
    setProfileRenderingIntent(link.get(), 2);
    EXPECT_TRUE(hasClutFor(link.get(), 2, DirectionInput));
    EXPECT_FALSE(hasClutFor(link.get(), 0, DirectionInput));
}

TEST_F(Linking, MatrixShapersServeEveryIntent)
{
    ProfilePtr srgb = open(ColordDir + "sRGB.icc");
    ASSERT_TRUE(srgb);
    for (uint32_t intent = 0; intent <= 3; ++intent) {
        PipelinePtr in(inputPipelineOf(srgb.get(), intent), &freePipeline);
        ASSERT_TRUE(in) << intent;
        EXPECT_EQ(stageKinds(in.get()), (std::vector<uint32_t>{StageCurvesKind, StageMatrixKind}));
        PipelinePtr out(outputPipelineOf(srgb.get(), intent), &freePipeline);
        ASSERT_TRUE(out) << intent;
        EXPECT_EQ(stageKinds(out.get()), (std::vector<uint32_t>{StageMatrixKind, StageCurvesKind}));
    }
}

TEST_F(Linking, LabTablesOfVersion2ProfilesAreReencoded)
{
    ProfilePtr press = open(PressProfile);
    ASSERT_TRUE(press);
    // A2B0 is 'mft2' on a Lab PCS: its result is version-2 Lab.
    PipelinePtr in(inputPipelineOf(press.get(), 0), &freePipeline);
    ASSERT_TRUE(in);
    EXPECT_EQ(stageImplementedKind(pipelineLastStage(in.get())), StageLabV2ToV4Kind);
    // And its CLUT is interpolated trilinearly... for three inputs only; B2A0
    // ('mft1') has three.
    PipelinePtr out(outputPipelineOf(press.get(), 0), &freePipeline);
    ASSERT_TRUE(out);
    bool trilinear = false;
    for (Stage* s = pipelineFirstStage(out.get()); s; s = stageNext(s))
        if (const InterpParams* p = clutInterpParams(s)) trilinear = p->flags & InterpFlagTrilinear;
    EXPECT_TRUE(trilinear);
    EXPECT_NE(stageImplementedKind(pipelineFirstStage(out.get())), StageLabV4ToV2Kind);   // 'mft1' needs none
}

TEST_F(Linking, FloatTablesOnLabInterpolateTrilinearly)
{
    // The same float table as an abstract profile's (Lab in) and as an RGB
    // device link's: a Lab grid's tetrahedra do not follow its neutral axis.
    const std::vector<float> nodes(2 * 2 * 2 * 3, 0.5f);
    PipelinePtr table(newPipeline(ctx, 3, 3), &freePipeline);
    ASSERT_TRUE(insertStage(table.get(), AtEnd, newClutFloatStageUniform(ctx, 2, 3, 3, nodes.data())));
    const struct { uint32_t cls, space; bool trilinear; } rows[] = {
        {ClassAbstract, SpaceLab, true},
        {ClassLink, SpaceRgb, false},
    };
    for (const auto& row : rows) {
        ProfilePtr p = blank(row.cls, row.space, row.space);
        setVersionFromNumber(p.get(), 4.3);
        ASSERT_TRUE(storeTag(p.get(), sig("D2B0"), table.get()));
        PipelinePtr read(deviceLinkPipelineOf(p.get(), 0), &freePipeline);
        ASSERT_TRUE(read);
        bool trilinear = false;
        for (Stage* s = pipelineFirstStage(read.get()); s; s = stageNext(s))
            if (const InterpParams* ip = clutInterpParams(s)) trilinear = ip->flags & InterpFlagTrilinear;
        EXPECT_EQ(trilinear, row.trilinear) << row.space;
    }
}

TEST_F(Linking, UnboundedChainsCarryValuesPastTheDeviceRange)
{
    // Curves: a power law keeps its shape on negative values (point-symmetric)
    // and goes on by its formula above 1; a table goes on along its end
    // intervals (x² tabulated: slopes 2 at the top, 0 at the bottom).
    std::unique_ptr<ToneCurve, decltype(&freeCurve)> power(buildGammaCurve(ctx, 2.2), &freeCurve);
    std::vector<uint16_t> squares(257);
    for (size_t i = 0; i < squares.size(); ++i) squares[i] = uint16_t(std::lround(std::pow(i / 256.0, 2) * 65535));
    std::unique_ptr<ToneCurve, decltype(&freeCurve)> table(buildTabulatedCurve16(ctx, 257, squares.data()), &freeCurve);
    EXPECT_NEAR(evalCurveUnbounded(power.get(), -0.5), -std::pow(0.5, 2.2), 1e-6);
    EXPECT_NEAR(evalCurveUnbounded(power.get(), 1.5), std::pow(1.5, 2.2), 1e-6);
    EXPECT_NEAR(evalCurveUnbounded(power.get(), 0.5), std::pow(0.5, 2.2), 1e-6);
    EXPECT_NEAR(evalCurveUnbounded(table.get(), 1.25), 1 + 0.25 * (2 - 1 / 256.0), 1e-3);
    EXPECT_NEAR(evalCurveUnbounded(table.get(), -0.25), -0.25 / 256.0, 1e-3);

    // A float table of a linear function extrapolates it exactly; held at its
    // ends without the flag.
    const auto f = [](const float x[3], float y[3]) {
        y[0] = 0.5f * x[0] + 0.2f * x[1];
        y[1] = x[1] - 0.1f * x[2];
        y[2] = 0.3f + 0.4f * x[2] - 0.2f * x[0];
    };
    std::vector<float> nodes;
    for (int r = 0; r < 5; ++r)
        for (int g = 0; g < 5; ++g)
            for (int b = 0; b < 5; ++b) {
                const float x[3] = {r / 4.0f, g / 4.0f, b / 4.0f};
                float y[3];
                f(x, y);
                nodes.insert(nodes.end(), y, y + 3);
            }
    PipelinePtr held(newPipeline(ctx, 3, 3), &freePipeline);
    ASSERT_TRUE(insertStage(held.get(), AtEnd, newClutFloatStageUniform(ctx, 5, 3, 3, nodes.data())));
    PipelinePtr beyond(duplicatePipeline(held.get()), &freePipeline);
    ASSERT_TRUE(makeUnbounded(beyond.get()));
    const float x[3] = {1.5f, -0.25f, 0.6f}, clamped[3] = {1.0f, 0.0f, 0.6f};
    float want[3], wantHeld[3], got[3];
    f(x, want);
    f(clamped, wantHeld);
    evalPipelineFloat(x, got, beyond.get());
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], 1e-5) << c;
    evalPipelineFloat(x, got, held.get());
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], wantHeld[c], 1e-5) << c;

    // Lab through a gamma-2.2 RGB space and back: a colour outside the space
    // comes back as it was, instead of clipped at the faces of the RGB cube.
    ProfilePtr adobe = open(ColordDir + "AdobeRGB1998.icc");
    ASSERT_TRUE(adobe);
    IccProfile* chain[4] = {lab.get(), adobe.get(), adobe.get(), lab.get()};
    TransformPtr unbounded(createMultiTransform(ctx, chain, 4, FormatLabDouble, FormatLabDouble,
                                                IntentRelativeColorimetric, XformNoOptimise | XformUnbounded),
                           &deleteTransform);
    TransformPtr plain(createMultiTransform(ctx, chain, 4, FormatLabDouble, FormatLabDouble,
                                            IntentRelativeColorimetric, XformNoOptimise),
                       &deleteTransform);
    ASSERT_TRUE(unbounded && plain);
    const CieLab outside{40.0, 90.0, -110.0};
    CieLab back, cut;
    doTransform(unbounded.get(), &outside, &back, 1);
    doTransform(plain.get(), &outside, &cut, 1);
    EXPECT_LT(deltaE76(back, outside), 1e-3);
    EXPECT_GT(deltaE76(cut, outside), 5.0);
}

TEST_F(Linking, GrayProfilesUseTheirCurveBothWays)
{
    // An XYZ gray profile: Y = kTRC(gray), on the neutral axis.
    ProfilePtr gray = open(GhostscriptDir + "sgray.icc");
    ASSERT_TRUE(gray);
    const auto* trc = static_cast<const ToneCurve*>(loadTag(gray.get(), sig("kTRC")));
    ASSERT_TRUE(trc);
    for (double v : {0.1, 0.5, 0.9}) {
        const CieLab l = toLab(gray.get(), pixelFormat(PixelGray, 1, 0, 0, PixelFloat), &v, 1);
        const double y = evalCurveFloat(trc, float(v));
        EXPECT_NEAR(l.L, xyzToLab(nullptr, CieXyz{D50.X * y, y, D50.Z * y}).L, 2e-3) << v;
        EXPECT_NEAR(l.a, 0.0, 2e-3);
        EXPECT_NEAR(l.b, 0.0, 2e-3);
    }
    // And back: 16-bit gray through Lab returns within a unit above the toe.
    TransformPtr there(createTransformContext(ctx, gray.get(), FormatGray16, lab.get(), FormatLabDouble, 1, 0),
                       &deleteTransform);
    TransformPtr back(createTransformContext(ctx, lab.get(), FormatLabDouble, gray.get(), FormatGray16, 1, 0),
                      &deleteTransform);
    ASSERT_TRUE(there && back);
    for (uint32_t g = 2048; g < 65536; g += 997) {
        const uint16_t in = uint16_t(g);
        double l[3];
        uint16_t out;
        doTransform(there.get(), &in, l, 1);
        doTransform(back.get(), l, &out, 1);
        ASSERT_LE(std::abs(int(out) - int(in)), 1) << g;
    }

    // A Lab gray profile: L* = kTRC(gray) × 100, neutral.
    ProfilePtr labGray = blank(ClassDisplay, SpaceGray, SpaceLab);
    ToneCurve* square = buildGammaCurve(ctx, 2.0);
    ASSERT_TRUE(storeTag(labGray.get(), sig("kTRC"), square));
    freeCurve(square);
    const double half = 0.5;
    const CieLab l = toLab(labGray.get(), pixelFormat(PixelGray, 1, 0, 0, PixelFloat), &half, 1);
    EXPECT_NEAR(l.L, 25.0, 1e-3);
    EXPECT_NEAR(l.a, 0.0, 0.01);
    EXPECT_NEAR(l.b, 0.0, 0.01);
}

// ---------------------------------------------------------------------------
// Linking errors
// ---------------------------------------------------------------------------

TEST_F(Linking, ChainsAreCheckedBeforeAnyTableIsRead)
{
    ProfilePtr rgb = blank(ClassDisplay, SpaceRgb, SpaceXyz);
    ProfilePtr cmyk = blank(ClassOutput, SpaceCmyk, SpaceLab);
    ProfilePtr link = blank(ClassLink, SpaceRgb, SpaceCmyk);
    IccProfile* const chain[3] = {rgb.get(), cmyk.get(), link.get()};
    const uint32_t intents[3] = {0, 0, 0};
    const bool bpc[3] = {false, false, false};
    const double states[3] = {1, 1, 1};
    EXPECT_EQ(linkProfiles(ctx, 3, intents, chain, bpc, states, 0), nullptr);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "ColorSpace mismatch");

    messages.clear();
    EXPECT_EQ(linkProfiles(ctx, 0, intents, chain, bpc, states, 0), nullptr);
    EXPECT_EQ(messages.back(), "Couldn't link '0' profiles");
    for (uint32_t intent : {10u, 7u}) {
        const uint32_t unknown[1] = {intent};
        EXPECT_EQ(linkProfiles(ctx, 1, unknown, chain, bpc, states, 0), nullptr);
        EXPECT_EQ(messages.back(), "Unsupported intent '" + std::to_string(intent) + "'");
    }
}

TEST_F(Linking, TheIntentsWithALinkerAreListed)
{
    uint32_t codes[16];
    const char* names[16];
    ASSERT_EQ(supportedIntents(ctx, 16, codes, names), 4u);
    EXPECT_EQ(codes[3], 3u);
    EXPECT_STREQ(names[1], "Relative colorimetric");
}

// ---------------------------------------------------------------------------
// Conversions at the PCS
// ---------------------------------------------------------------------------

TEST_F(Linking, EqualBlackPointsAddNoConversion)
{
    ProfilePtr srgb = open(ColordDir + "sRGB.icc");
    ProfilePtr other = open(ColordDir + "AdobeRGB1998.icc");
    ASSERT_TRUE(srgb && other);
    IccProfile* const chain[2] = {srgb.get(), other.get()};
    const uint32_t intents[2] = {1, 1};
    const double states[2] = {1, 1};
    const bool off[2] = {false, false}, on[2] = {true, true};
    PipelinePtr plain(linkProfiles(ctx, 2, intents, chain, off, states, 0), &freePipeline);
    PipelinePtr compensated(linkProfiles(ctx, 2, intents, chain, on, states, 0), &freePipeline);
    ASSERT_TRUE(plain && compensated);
    EXPECT_EQ(stageKinds(plain.get()), stageKinds(compensated.get()));

    // The press profile's black is not RGB black: a scaling appears.
    ProfilePtr press = open(PressProfile);
    IccProfile* const toRgb[2] = {press.get(), srgb.get()};
    PipelinePtr scaled(linkProfiles(ctx, 2, intents, toRgb, on, states, 0), &freePipeline);
    PipelinePtr unscaled(linkProfiles(ctx, 2, intents, toRgb, off, states, 0), &freePipeline);
    ASSERT_TRUE(scaled && unscaled);
    EXPECT_EQ(pipelineStageCount(scaled.get()), pipelineStageCount(unscaled.get()) + 1);
}

TEST_F(Linking, AbsoluteColorimetryScalesByThePaperWhite)
{
    ProfilePtr press = open(PressProfile);
    ASSERT_TRUE(press);
    const CieXyz paper = mediaWhitePointOf(press.get());
    ASSERT_LT(paper.Y, 1.0);   // a real paper, not D50
    const double colours[3][4] = {{0, 0, 0, 0}, {30, 60, 10, 5}, {0, 0, 0, 80}};
    for (const auto& c : colours) {
        const CieLab relative = toLab(press.get(), FormatCmykDouble, c, IntentRelativeColorimetric);
        const CieLab absolute = toLab(press.get(), FormatCmykDouble, c, IntentAbsoluteColorimetric);
        const CieXyz r = labToXyz(nullptr, relative);
        const CieXyz expected{r.X * paper.X / D50.X, r.Y * paper.Y / D50.Y, r.Z * paper.Z / D50.Z};
        EXPECT_LT(deltaE76(absolute, xyzToLab(nullptr, expected)), 0.01) << c[1];
    }
}

TEST_F(Linking, AdaptationStatesBlendTowardsMeasuredColour)
{
    // A version-2 display whose white is D65: adapted to D50 by Bradford.
    ProfilePtr srgb = open(GhostscriptDir + "srgb.icc");
    ASSERT_TRUE(srgb);
    const double white[3] = {1, 1, 1};
    const CieLab full = toLab(srgb.get(), FormatRgbDouble, white, IntentAbsoluteColorimetric, 0, 1.0);
    const CieLab none = toLab(srgb.get(), FormatRgbDouble, white, IntentAbsoluteColorimetric, 0, 0.0);
    const CieLab half = toLab(srgb.get(), FormatRgbDouble, white, IntentAbsoluteColorimetric, 0, 0.5);
    const CieLab relative = toLab(srgb.get(), FormatRgbDouble, white, IntentRelativeColorimetric);
    // Fully adapted, absolute equals relative for a display.
    EXPECT_LT(deltaE76(full, relative), 1e-3);
    // Not adapted at all, the white is its own measured colour, seen from D50.
    const auto* stored = static_cast<const CieXyz*>(loadTag(srgb.get(), sig("wtpt")));
    ASSERT_TRUE(stored);
    const CieXyz relativeXyz = labToXyz(nullptr, relative);
    const Mat3 back = bradfordReference(D50, *stored);
    const CieXyz measured{back.m[0] * relativeXyz.X + back.m[1] * relativeXyz.Y + back.m[2] * relativeXyz.Z,
                          back.m[3] * relativeXyz.X + back.m[4] * relativeXyz.Y + back.m[5] * relativeXyz.Z,
                          back.m[6] * relativeXyz.X + back.m[7] * relativeXyz.Y + back.m[8] * relativeXyz.Z};
    EXPECT_LT(deltaE76(none, xyzToLab(nullptr, measured)), 0.01);
    EXPECT_LT(none.b, -15);   // bluish under D50
    // Half way lies in between.
    EXPECT_GT(half.b, none.b);
    EXPECT_LT(half.b, full.b);
}

TEST_F(Linking, ClippingNegativesEndsDeviceResults)
{
    ProfilePtr srgb = open(ColordDir + "sRGB.icc");
    IccProfile* const chain[2] = {lab.get(), srgb.get()};
    const uint32_t intents[2] = {1, 1};
    const bool bpc[2] = {false, false};
    const double states[2] = {1, 1};
    PipelinePtr p(linkProfiles(ctx, 2, intents, chain, bpc, states, XformClipNegatives), &freePipeline);
    ASSERT_TRUE(p);
    EXPECT_EQ(stageImplementedKind(pipelineLastStage(p.get())), StageClipNegativesKind);
    TransformPtr t(createMultiTransform(ctx, chain, 2, FormatLabDouble, FormatRgbDouble, 1,
                                        XformClipNegatives | XformNoOptimise),
                   &deleteTransform);
    const double saturated[3] = {50, -120, 100};
    double rgb[3];
    doTransform(t.get(), saturated, rgb, 1);
    EXPECT_GE(rgb[0], 0.0);
    EXPECT_GE(rgb[2], 0.0);
}

// ---------------------------------------------------------------------------
// The builder's soft-proof chain
// ---------------------------------------------------------------------------

TEST_F(Linking, SoftProofChainThroughThePressProfile)
{
    ProfilePtr press = open(PressProfile);
    ASSERT_TRUE(press);
    for (uint32_t tag : {sig("A2B0"), sig("A2B1"), sig("B2A0"), sig("B2A1")}) EXPECT_TRUE(hasTag(press.get(), tag));
    IccProfile* const chain[4] = {lab.get(), press.get(), press.get(), lab.get()};
    const uint32_t intents[4] = {1, 1, 1, 1};
    const bool off[4] = {false, false, false, false};
    const double states[4] = {1, 1, 1, 1};
    PipelinePtr p(linkProfiles(ctx, 4, intents, chain, off, states, 0), &freePipeline);
    ASSERT_TRUE(p);
    EXPECT_EQ(pipelineInputs(p.get()), 3u);
    EXPECT_EQ(pipelineOutputs(p.get()), 3u);

    TransformPtr plain(createMultiTransform(ctx, chain, 4, FormatLabDouble, FormatLabDouble, 1, XformNoOptimise),
                       &deleteTransform);
    TransformPtr bpc(createMultiTransform(ctx, chain, 4, FormatLabDouble, FormatLabDouble, 1,
                                          XformNoOptimise | XformBlackPointCompensation),
                     &deleteTransform);
    ASSERT_TRUE(plain && bpc);
    const double in[3][3] = {{100, 0, 0}, {50, 0, 0}, {0, 0, 0}};
    double a[3][3], b[3][3];
    doTransform(plain.get(), in, a, 3);
    doTransform(bpc.get(), in, b, 3);
    EXPECT_NEAR(a[0][0], 100.0, 0.05);   // paper white stays white
    EXPECT_NEAR(a[1][0], 50.0, 1.0);     // mid grey is reproduced
    CieXyz black;
    ASSERT_TRUE(sourceBlackPoint(&black, press.get(), IntentRelativeColorimetric));
    const double pressBlack = xyzToLab(nullptr, black).L;
    EXPECT_NEAR(a[2][0], pressBlack, 0.05);   // without compensation black is the press black
    EXPECT_GT(pressBlack, 10.0);
    EXPECT_LT(b[2][0], 2.0);                  // with it, much darker
    EXPECT_NEAR(b[0][0], 100.0, 0.05);

    // The compensated return from the press maps the press black to L* 0.
    TransformPtr toCmyk(createTransformContext(ctx, lab.get(), FormatLabDouble, press.get(), FormatCmykDouble, 1,
                                               XformNoOptimise),
                        &deleteTransform);
    TransformPtr back(createTransformContext(ctx, press.get(), FormatCmykDouble, lab.get(), FormatLabDouble, 1,
                                             XformNoOptimise | XformBlackPointCompensation),
                      &deleteTransform);
    const double zero[3] = {0, 0, 0};
    double ink[4], l[3];
    doTransform(toCmyk.get(), zero, ink, 1);
    doTransform(back.get(), ink, l, 1);
    EXPECT_NEAR(l[0], 0.0, 0.01);
}

// ---------------------------------------------------------------------------
// Named colours
// ---------------------------------------------------------------------------

TEST_F(Linking, NamedColoursAreLookedUpByIndex)
{
    ProfilePtr crayons = open(ColordDir + "Crayons.icc");
    ASSERT_TRUE(crayons);
    const auto* list = static_cast<const NamedColorList*>(loadTag(crayons.get(), sig("ncl2")));
    ASSERT_TRUE(list);
    ASSERT_GT(namedColorCount(list), 3u);
    const uint32_t index = pixelFormat(PixelAny, 1, 2);
    TransformPtr t(createTransformContext(ctx, crayons.get(), index, lab.get(), FormatLabDouble, 1, XformNoOptimise),
                   &deleteTransform);
    ASSERT_TRUE(t);
    EXPECT_EQ(transformEntrySpace(t.get()), sig("1CLR"));
    const uint16_t indices[3] = {0, 1, 3};
    double out[3][3];
    doTransform(t.get(), indices, out, 3);
    for (int i = 0; i < 3; ++i) {
        uint16_t pcs[3];
        ASSERT_TRUE(namedColorInfo(list, indices[i], nullptr, nullptr, nullptr, pcs, nullptr));
        const CieLab expected = lab16V2ToLab(pcs);
        EXPECT_LT(deltaE76(CieLab{out[i][0], out[i][1], out[i][2]}, expected), 0.01) << i;
    }
}

// ---------------------------------------------------------------------------
// Gamut check
// ---------------------------------------------------------------------------

TEST_F(Linking, ColoursOutsideAGamutProfileRaiseTheAlarm)
{
    ProfilePtr srgb = open(ColordDir + "sRGB.icc");
    ASSERT_TRUE(srgb);
    const uint16_t codes[16] = {0xFFFF, 0, 0xFFFF};
    setAlarmCodes(ctx, codes);
    IccProfile* const chain[2] = {lab.get(), lab.get()};
    const uint32_t intents[2] = {1, 1};
    const bool bpc[2] = {false, false};
    const double states[2] = {1, 1};
    TransformPtr t(createTransformExtended(ctx, 2, chain, bpc, intents, states, srgb.get(), 1, FormatLab16,
                                           FormatLab16, XformGamutCheck),
                   &deleteTransform);
    ASSERT_TRUE(t);
    uint16_t in[2][3], out[2][3];
    labToLab16(CieLab{50, 10, 10}, in[0]);      // well inside sRGB
    labToLab16(CieLab{50, -100, -90}, in[1]);   // far outside
    doTransform(t.get(), in, out, 2);
    EXPECT_NEAR(out[0][1], in[0][1], 2);
    EXPECT_EQ(out[1][0], 0xFFFF);
    EXPECT_EQ(out[1][1], 0);

    EXPECT_FALSE(createTransformExtended(ctx, 2, chain, bpc, intents, states, srgb.get(), 0, FormatLab16,
                                         FormatLab16, XformGamutCheck));
    EXPECT_EQ(messages.back(), "Wrong position of PCS. 1..255 expected, 0 found.");
}

} // namespace
