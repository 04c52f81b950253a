// Transforms: creation checks and their messages, the one-pixel cache, gamut
// alarms, changing formats, plug-in and scheduler workers, threads, and
// conversions through real profiles against published reference values.
#include "oslinternal.h"
#include "profile_bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

std::vector<std::string> messages;
void collect(EngineContext*, uint32_t, const char* text)
{
    messages.push_back(text);
}

class Transforms : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        ctx = createContext(nullptr, nullptr);
        setContextErrorHandler(ctx, collect);
    }
    void TearDown() override { deleteContext(ctx); }

    TransformPtr fromPipeline(Pipeline* p, uint32_t inputFormat, uint32_t outputFormat, uint32_t flags = 0,
                              Pipeline* gamut = nullptr)
    {
        TransformSetup setup;
        setup.inputFormat = inputFormat;
        setup.outputFormat = outputFormat;
        setup.flags = flags;
        setup.gamutCheck = gamut;
        return TransformPtr(transformFromPipeline(ctx, p, setup), &deleteTransform);
    }

    // A blank profile with the given class and spaces (no tags).
    ProfilePtr blank(uint32_t cls, uint32_t space, uint32_t pcs, double version = 4.3)
    {
        ProfilePtr p(createBlankProfile(ctx), &closeProfile);
        setProfileDeviceClass(p.get(), cls);
        setProfileColorSpace(p.get(), space);
        setProfilePcs(p.get(), pcs);
        setVersionFromNumber(p.get(), version);
        return p;
    }

    EngineContext* ctx = nullptr;
};

// ---------------------------------------------------------------------------
// In-memory pipelines
// ---------------------------------------------------------------------------

// A stage that counts its evaluations and inverts its three inputs.
std::atomic<int> evaluations{0};
void countingEval(const float in[], float out[], const Stage*)
{
    ++evaluations;
    for (int i = 0; i < 3; ++i) out[i] = 1.0f - in[i];
}

Pipeline* countingPipeline(EngineContext* ctx)
{
    Pipeline* p = newPipeline(ctx, 3, 3);
    insertStage(p, AtEnd, newStage(ctx, sig("cnt "), 3, 3, countingEval, nullptr, nullptr, nullptr));
    return p;
}

// Curves, a matrix and a CLUT with an irregular table: enough arithmetic for
// any difference between two ways of running it to show.
Pipeline* busyPipeline(EngineContext* ctx)
{
    Pipeline* p = newPipeline(ctx, 3, 3);
    ToneCurve* gamma = buildGammaCurve(ctx, 2.2);
    const ToneCurve* curves[3] = {gamma, gamma, gamma};
    insertStage(p, AtEnd, newCurvesStage(ctx, 3, curves));
    freeCurve(gamma);
    const double m[9] = {0.8, 0.15, 0.05, 0.1, 0.85, 0.05, 0.02, 0.08, 0.9};
    insertStage(p, AtEnd, newMatrixStage(ctx, 3, 3, m, nullptr));
    std::vector<uint16_t> table(9 * 9 * 9 * 3);
    uint32_t seed = 12345;
    for (size_t i = 0; i < table.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        table[i] = uint16_t((i * 65535 / table.size() + (seed >> 20)) & 0xFFFF);
    }
    insertStage(p, AtEnd, newClut16StageUniform(ctx, 9, 3, 3, table.data()));
    return p;
}

// ---------------------------------------------------------------------------
// The one-pixel cache
// ---------------------------------------------------------------------------

TEST_F(Transforms, TheCacheEvaluatesEachRunOfEqualPixelsOnce)
{
    evaluations = 0;
    // Not optimised: a resampled table would call the stage at every node.
    TransformPtr t = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8, XformNoOptimise);
    ASSERT_TRUE(t);
    EXPECT_EQ(evaluations, 1);   // priming: black in, its result out
    const uint8_t in[6][3] = {{0, 0, 0}, {5, 6, 7}, {5, 6, 7}, {5, 6, 7}, {9, 9, 9}, {5, 6, 7}};
    uint8_t out[6][3];
    evaluations = 0;
    doTransform(t.get(), in, out, 6);
    EXPECT_EQ(evaluations, 3);   // black comes from the primed cache
    EXPECT_EQ(out[0][0], 255);
    EXPECT_EQ(out[3][2], 248);
    EXPECT_EQ(out[5][1], 249);

    // Every call starts from the primed cache, not from the last call's pixel.
    evaluations = 0;
    doTransform(t.get(), in[1], out[1], 1);
    doTransform(t.get(), in[1], out[1], 1);
    EXPECT_EQ(evaluations, 2);
}

TEST_F(Transforms, WithoutTheCacheEveryPixelIsEvaluated)
{
    const uint8_t in[4][3] = {{5, 6, 7}, {5, 6, 7}, {5, 6, 7}, {0, 0, 0}};
    uint8_t out[4][3];
    TransformPtr plain = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8, XformNoCache | XformNoOptimise);
    evaluations = 0;
    doTransform(plain.get(), in, out, 4);
    EXPECT_EQ(evaluations, 4);

    // Float formats never use the cache.
    TransformPtr floats = fromPipeline(countingPipeline(ctx), FormatRgbFloat, FormatRgbFloat);
    EXPECT_TRUE(transformFlags(floats.get()) & XformNoCache);
    const float f[2][3] = {{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}};
    float g[2][3];
    evaluations = 0;
    doTransform(floats.get(), f, g, 2);
    EXPECT_EQ(evaluations, 2);
    EXPECT_FLOAT_EQ(g[1][0], 0.5f);
}

// ---------------------------------------------------------------------------
// Gamut alarms
// ---------------------------------------------------------------------------

// One output: 0 below red 0.5, full above.
Pipeline* redAboveHalf(EngineContext* ctx)
{
    Pipeline* p = newPipeline(ctx, 3, 1);
    std::vector<uint16_t> table(2 * 2 * 2, 0);
    // Red is the first (slowest) input: the upper half of the table.
    for (int i = 4; i < 8; ++i) table[i] = 0xFFFF;
    const uint32_t grid[3] = {2, 2, 2};
    Stage* clut = newClut16Stage(ctx, grid, 3, 1, table.data());
    insertStage(p, AtEnd, clut);
    // Make the step sharp: a curve that jumps at 0.5 in front.
    uint16_t step[4] = {0, 0, 0xFFFF, 0xFFFF};
    ToneCurve* jump = buildTabulatedCurve16(ctx, 4, step);
    ToneCurve* flat = buildGammaCurve(ctx, 1.0);
    const ToneCurve* curves[3] = {jump, flat, flat};
    insertStage(p, AtBegin, newCurvesStage(ctx, 3, curves));
    freeCurve(jump);
    freeCurve(flat);
    return p;
}

TEST_F(Transforms, ColoursOutsideTheGamutGetTheAlarmCodes)
{
    const uint16_t codes[16] = {0x1111, 0x2222, 0x3333};
    setAlarmCodes(ctx, codes);
    for (uint32_t flags : {0u, uint32_t(XformNoCache)}) {
        TransformPtr t =
            fromPipeline(countingPipeline(ctx), FormatRgb16, FormatRgb16, flags | XformGamutCheck, redAboveHalf(ctx));
        ASSERT_TRUE(t);
        const uint16_t in[3][3] = {{0x1000, 0x2000, 0x3000}, {0xF000, 0x2000, 0x3000}, {0xF000, 0x2000, 0x3000}};
        uint16_t out[3][3];
        doTransform(t.get(), in, out, 3);
        EXPECT_EQ(out[0][0], 0xEFFF);
        for (int i = 1; i < 3; ++i) {
            EXPECT_EQ(out[i][0], 0x1111);
            EXPECT_EQ(out[i][1], 0x2222);
            EXPECT_EQ(out[i][2], 0x3333);
        }
    }
    // The float path raises the same alarm.
    TransformPtr f =
        fromPipeline(countingPipeline(ctx), FormatRgbFloat, FormatRgb16, XformGamutCheck, redAboveHalf(ctx));
    const float in[2][3] = {{0.1f, 0.1f, 0.1f}, {0.9f, 0.1f, 0.1f}};
    uint16_t out[2][3];
    doTransform(f.get(), in, out, 2);
    EXPECT_EQ(out[0][0], uint16_t(std::lround(0.9 * 65535)));
    EXPECT_EQ(out[1][1], 0x2222);
}

// ---------------------------------------------------------------------------
// Creation checks
// ---------------------------------------------------------------------------

TEST_F(Transforms, ChainLengthIsChecked)
{
    ProfilePtr p = blank(ClassAbstract, SpaceLab, SpaceLab);
    std::vector<IccProfile*> many(256, p.get());
    EXPECT_EQ(createMultiTransform(ctx, many.data(), 256, FormatLab16, FormatLab16, 0, 0), nullptr);
    EXPECT_EQ(createMultiTransform(ctx, many.data(), 0, FormatLab16, FormatLab16, 0, 0), nullptr);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Wrong number of profiles. 1..255 expected, 256 found.");
    EXPECT_EQ(messages[1], "Wrong number of profiles. 1..255 expected, 0 found.");
}

TEST_F(Transforms, MissingProfilesAreReported)
{
    ProfilePtr p = blank(ClassDisplay, SpaceRgb, SpaceXyz);
    IccProfile* const chain[2] = {p.get(), nullptr};
    EXPECT_EQ(createMultiTransform(ctx, chain, 2, FormatRgb8, FormatRgb8, 0, 0), nullptr);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "NULL input profiles on transform");
}

TEST_F(Transforms, FormatsMustMatchTheSpacesAtTheEnds)
{
    ProfilePtr rgb = blank(ClassDisplay, SpaceRgb, SpaceXyz);
    EXPECT_EQ(createTransformContext(ctx, rgb.get(), FormatLab16, rgb.get(), FormatRgb8, 0, 0), nullptr);
    EXPECT_EQ(createTransformContext(ctx, rgb.get(), FormatRgb8, rgb.get(), FormatCmyk8, 0, 0), nullptr);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Wrong input color space on transform");
    EXPECT_EQ(messages[1], "Wrong output color space on transform");

    // Lab in either encoding fits a Lab profile; this one has no tables, so
    // creation goes on to fail at linking.
    messages.clear();
    ProfilePtr lab = blank(ClassAbstract, SpaceLab, SpaceLab);
    EXPECT_EQ(createTransformContext(ctx, lab.get(), FormatLabV2_16, nullptr, FormatLab16, 0, 0), nullptr);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Couldn't link the profiles");
}

TEST_F(Transforms, MismatchedAlphaIsRefusedWhenCopyingIt)
{
    const uint32_t rgbaa = pixelFormat(PixelRgb, 3, 1, 2);
    EXPECT_FALSE(fromPipeline(newPipeline(ctx, 3, 3), FormatRgba8, rgbaa, XformCopyAlpha));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Mismatched alpha channels");
    // Without copying, the extra channels may differ.
    EXPECT_TRUE(fromPipeline(newPipeline(ctx, 3, 3), FormatRgba8, rgbaa, 0));
}

TEST_F(Transforms, NullTransformsConvertFormatsOnly)
{
    TransformPtr t(createTransformExtended(ctx, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, FormatRgba8,
                                           FormatBgr16, XformNullTransform),
                   &deleteTransform);
    ASSERT_TRUE(t);
    const uint8_t in[4] = {1, 2, 3, 4};
    uint16_t out[3];
    doTransform(t.get(), in, out, 1);
    EXPECT_EQ(out[0], 3 * 257);
    EXPECT_EQ(out[2], 1 * 257);
}

TEST_F(Transforms, CancellingStagesAreRemovedAtCreation)
{
    // Lab → XYZ → Lab, a v4 → v2 → v4 pair, and two matrices that undo each
    // other: nothing is left, and the empty pipeline passes colours through.
    Pipeline* p = newPipeline(ctx, 3, 3);
    insertStage(p, AtEnd, newLabToXyzStage(ctx));
    insertStage(p, AtEnd, newXyzToLabStage(ctx));
    insertStage(p, AtEnd, newLabV4ToV2Stage(ctx));
    insertStage(p, AtEnd, newLabV2ToV4Stage(ctx));
    const double m[9] = {2, 0, 0, 0, 4, 0, 0, 0, 0.5}, inverse[9] = {0.5, 0, 0, 0, 0.25, 0, 0, 0, 2};
    insertStage(p, AtEnd, newMatrixStage(ctx, 3, 3, m, nullptr));
    insertStage(p, AtEnd, newMatrixStage(ctx, 3, 3, inverse, nullptr));
    TransformPtr t = fromPipeline(p, FormatLab16, FormatLab16, XformNoOptimise);
    ASSERT_TRUE(t);
    EXPECT_EQ(pipelineStageCount(transformPipeline(t.get())), 0u);
    const uint16_t in[3] = {0x1234, 0x8080, 0xFEDC};
    uint16_t out[3];
    doTransform(t.get(), in, out, 1);
    EXPECT_EQ(std::vector<uint16_t>(out, out + 3), std::vector<uint16_t>(in, in + 3));

    // Matrices that do not cancel become one.
    Pipeline* q = newPipeline(ctx, 3, 3);
    const double offsets[3] = {0.1, 0, 0};
    insertStage(q, AtEnd, newMatrixStage(ctx, 3, 3, m, offsets));
    insertStage(q, AtEnd, newMatrixStage(ctx, 3, 3, m, nullptr));
    TransformPtr u = fromPipeline(q, FormatRgbFloat, FormatRgbFloat);
    ASSERT_EQ(pipelineStageCount(transformPipeline(u.get())), 1u);
    const float rgb[3] = {0.25f, 0.125f, 1.0f};
    float res[3];
    doTransform(u.get(), rgb, res, 1);
    EXPECT_NEAR(res[0], 2 * (2 * 0.25 + 0.1), 1e-6);
    EXPECT_NEAR(res[1], 16 * 0.125, 1e-6);
    EXPECT_NEAR(res[2], 0.25, 1e-6);
}

// ---------------------------------------------------------------------------
// Changing formats
// ---------------------------------------------------------------------------

TEST_F(Transforms, FormatsOfEightBitTransformsStayFixed)
{
    TransformPtr t = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb16);
    EXPECT_FALSE(transformFlags(t.get()) & XformCanChangeFormats);
    EXPECT_FALSE(changeTransformFormats(t.get(), FormatRgb16, FormatRgb16));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "oslChangeBuffersFormat works only on transforms created originally with at least 16 "
                           "bits of precision");
}

TEST_F(Transforms, SixteenBitAndFloatTransformsChangeFormats)
{
    TransformPtr t = fromPipeline(countingPipeline(ctx), FormatRgb16, FormatRgb16);
    ASSERT_TRUE(transformFlags(t.get()) & XformCanChangeFormats);
    ASSERT_TRUE(changeTransformFormats(t.get(), FormatBgr8, FormatRgbFloat));
    const uint8_t in[3] = {255, 0, 51};   // B, G, R
    float out[3];
    doTransform(t.get(), in, out, 1);
    // Through the stages of the 16-bit optimisation: its curves hold 16-bit words.
    EXPECT_NEAR(out[0], 0.8f, 2.0 / 65535);
    EXPECT_NEAR(out[2], 0.0f, 2.0 / 65535);

    // A float transform changed to integer formats runs at 16 bits.
    TransformPtr f = fromPipeline(countingPipeline(ctx), FormatRgbFloat, FormatRgbFloat);
    ASSERT_TRUE(changeTransformFormats(f.get(), FormatRgb8, FormatRgb8));
    const uint8_t bytes[3] = {0, 100, 255};
    uint8_t back[3];
    doTransform(f.get(), bytes, back, 1);
    EXPECT_EQ(back[1], 155);

    // A format without a formatter leaves the transform as it was.
    EXPECT_FALSE(changeTransformFormats(f.get(), pixelFormat(PixelRgb, 3, 3), FormatRgb8));
    EXPECT_EQ(messages.back(), "Unsupported raster format");
    EXPECT_EQ(transformInputFormat(f.get()), FormatRgb8);

    // Formats of 0 on both sides: no formatters until they are given.
    TransformPtr z = fromPipeline(countingPipeline(ctx), 0, 0);
    ASSERT_TRUE(z && changeTransformFormats(z.get(), FormatRgb8, FormatRgb8));
    doTransform(z.get(), bytes, back, 1);
    EXPECT_EQ(back[2], 0);
}

// ---------------------------------------------------------------------------
// Workers from plug-ins and the scheduler
// ---------------------------------------------------------------------------

void fillWorker(Transform*, const void*, void* out, uint32_t pixelsPerLine, uint32_t lineCount, const Stride* s)
{
    for (uint32_t line = 0; line < lineCount; ++line)
        std::memset(static_cast<uint8_t*>(out) + size_t(line) * s->bytesPerLineOut, 0x5A, pixelsPerLine * 3);
}

int freedUserData = 0;
void freeCounted(EngineContext*, void*)
{
    ++freedUserData;
}

bool fillFactory(TransformWorker* worker, void** userData, FreeUserDataFn* freeUserData, Pipeline**, uint32_t*,
                 uint32_t* outputFormat, uint32_t*)
{
    if (*outputFormat != FormatRgb8) return false;
    *worker = fillWorker;
    *userData = &freedUserData;
    *freeUserData = freeCounted;
    return true;
}

TEST_F(Transforms, TransformPluginsTakeWholeCalls)
{
    PluginTransform plugin{{PluginMagic, 2160, PluginTransformSig, nullptr}, fillFactory};
    ASSERT_TRUE(registerPlugins(ctx, &plugin));
    freedUserData = 0;
    {
        TransformPtr t = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8);
        EXPECT_EQ(transformWorker(t.get()), fillWorker);
        EXPECT_EQ(transformUserData(t.get()), &freedUserData);
        uint8_t in[6] = {}, out[6] = {};
        doTransform(t.get(), in, out, 2);
        EXPECT_EQ(out[5], 0x5A);
        // Not asked when optimisation is off.
        TransformPtr u = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8, XformNoOptimise);
        EXPECT_NE(transformWorker(u.get()), fillWorker);
    }
    EXPECT_EQ(freedUserData, 1);
}

TEST_F(Transforms, ARegisteredSchedulerRunsTheWorker)
{
    PluginParallelization plugin{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, 2, 7, runWorkers};
    ASSERT_TRUE(registerPlugins(ctx, &plugin));
    TransformPtr t = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8);
    EXPECT_EQ(t->worker, runWorkers);
    EXPECT_NE(transformWorker(t.get()), runWorkers);
    EXPECT_EQ(transformMaxWorkers(t.get()), 2);
    EXPECT_EQ(transformWorkerFlags(t.get()), 7u);
    const uint8_t in[3] = {0, 0, 255};
    uint8_t out[3];
    doTransform(t.get(), in, out, 1);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[2], 0);
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

template <typename Sample>
std::vector<Sample> ramp(size_t count)
{
    std::vector<Sample> v(count);
    uint32_t seed = 777;
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        if constexpr (std::is_floating_point_v<Sample>)
            v[i] = Sample((seed >> 8) / double(1 << 24));
        else
            v[i] = Sample(seed >> 24);
    }
    return v;
}

TEST_F(Transforms, SeveralWorkersGiveTheSameBitsAsOne)
{
    EngineContext* threaded = createContext(nullptr, nullptr);
    PluginParallelization plugin{{PluginMagic, 2140, PluginParallelizationSig, nullptr}, 2, 0, runWorkers};
    ASSERT_TRUE(registerPlugins(threaded, &plugin));

    const uint32_t width = 1024, height = 300;   // 2.4 MiB of RGBA in and out
    struct Case {
        uint32_t in, out;
        size_t inBytes, outBytes;
    };
    for (const Case& c : {Case{FormatRgba8, FormatRgba8, 4, 4}, Case{FormatRgbFloat, FormatRgbFloat, 12, 12}}) {
        TransformSetup setup;
        setup.inputFormat = c.in;
        setup.outputFormat = c.out;
        setup.flags = XformCopyAlpha * (c.in == FormatRgba8);
        TransformPtr one(transformFromPipeline(ctx, busyPipeline(ctx), setup), &deleteTransform);
        TransformPtr two(transformFromPipeline(threaded, busyPipeline(threaded), setup), &deleteTransform);
        ASSERT_TRUE(one && two);
        ASSERT_EQ(two->worker, runWorkers);

        std::vector<uint8_t> in(size_t(width) * height * c.inBytes);
        if (c.in == FormatRgbFloat) {
            const std::vector<float> f = ramp<float>(in.size() / 4);
            std::memcpy(in.data(), f.data(), in.size());
        } else {
            in = ramp<uint8_t>(in.size());
        }
        std::vector<uint8_t> a(size_t(width) * height * c.outBytes, 0), b(a.size(), 1);
        doTransformLineStride(one.get(), in.data(), a.data(), width, height, 0, 0, 0, 0);
        doTransformLineStride(two.get(), in.data(), b.data(), width, height, 0, 0, 0, 0);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size()), 0);
        // One long line is split by pixels.
        std::fill(b.begin(), b.end(), 1);
        doTransform(two.get(), in.data(), b.data(), width * height);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size()), 0);
    }
    deleteContext(threaded);
}

// ---------------------------------------------------------------------------
// Accessors and user data
// ---------------------------------------------------------------------------

TEST_F(Transforms, UserDataIsReleasedWithTheTransform)
{
    freedUserData = 0;
    {
        TransformPtr t = fromPipeline(newPipeline(ctx, 3, 3), FormatRgb16, FormatRgb16);
        setTransformUserData(t.get(), &freedUserData, freeCounted);
        EXPECT_EQ(transformUserData(t.get()), &freedUserData);
        EXPECT_EQ(transformContext(t.get()), ctx);
        EXPECT_EQ(transformInputFormat(t.get()), FormatRgb16);
    }
    EXPECT_EQ(freedUserData, 1);
}

// ---------------------------------------------------------------------------
// Real profiles
// ---------------------------------------------------------------------------

using namespace testbytes;

ProfilePtr openReal(EngineContext* ctx, const std::string& path)
{
    EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing";
    return ProfilePtr(openFromFile(ctx, path.c_str(), "r"), &closeProfile);
}

// The published sRGB definition: primaries and white as chromaticities, the
// piecewise curve, Bradford to D50 and CIE Lab, computed here in doubles.
struct SrgbReference {
    double m[3][3];   // linear RGB to XYZ (D50)

    SrgbReference()
    {
        auto xyz = [](double x, double y) { return std::array<double, 3>{x / y, 1.0, (1 - x - y) / y}; };
        const std::array<double, 3> p[3] = {xyz(0.64, 0.33), xyz(0.30, 0.60), xyz(0.15, 0.06)};
        const std::array<double, 3> w = xyz(0.3127, 0.3290);
        double a[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) a[i][j] = p[j][i];
        const std::array<double, 3> scale = solve(a, w);
        double rgbToXyz[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) rgbToXyz[i][j] = a[i][j] * scale[j];
        const double b[3][3] = {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}};
        const double d50[3] = {0.9642, 1.0, 0.8249};
        double gain[3];
        for (int i = 0; i < 3; ++i) {
            const double cs = b[i][0] * w[0] + b[i][1] * w[1] + b[i][2] * w[2];
            const double cd = b[i][0] * d50[0] + b[i][1] * d50[1] + b[i][2] * d50[2];
            gain[i] = cd / cs;
        }
        // adapt = B⁻¹ · diag(gain) · B, applied column by column through solve.
        double adapt[3][3];
        for (int j = 0; j < 3; ++j) {
            std::array<double, 3> column{gain[0] * b[0][j], gain[1] * b[1][j], gain[2] * b[2][j]};
            const std::array<double, 3> x = solve(b, column);
            for (int i = 0; i < 3; ++i) adapt[i][j] = x[i];
        }
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                m[i][j] = 0;
                for (int k = 0; k < 3; ++k) m[i][j] += adapt[i][k] * rgbToXyz[k][j];
            }
    }

    static std::array<double, 3> solve(const double a[3][3], const std::array<double, 3>& y)
    {
        double t[3][4];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) t[i][j] = a[i][j];
            t[i][3] = y[i];
        }
        for (int c = 0; c < 3; ++c) {
            int pivot = c;
            for (int r = c + 1; r < 3; ++r)
                if (std::fabs(t[r][c]) > std::fabs(t[pivot][c])) pivot = r;
            for (int j = 0; j < 4; ++j) std::swap(t[c][j], t[pivot][j]);
            for (int r = 0; r < 3; ++r) {
                if (r == c) continue;
                const double k = t[r][c] / t[c][c];
                for (int j = 0; j < 4; ++j) t[r][j] -= k * t[c][j];
            }
        }
        return {t[0][3] / t[0][0], t[1][3] / t[1][1], t[2][3] / t[2][2]};
    }

    static double linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

    CieLab lab(double r, double g, double b) const
    {
        const double lin[3] = {linear(r), linear(g), linear(b)};
        double xyz[3];
        for (int i = 0; i < 3; ++i) xyz[i] = m[i][0] * lin[0] + m[i][1] * lin[1] + m[i][2] * lin[2];
        const double white[3] = {0.9642, 1.0, 0.8249};
        auto f = [](double t) { return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16) / 116; };
        const double fx = f(xyz[0] / white[0]), fy = f(xyz[1] / white[1]), fz = f(xyz[2] / white[2]);
        return CieLab{116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
    }
};

struct ReferenceColour {
    const char* name;
    double r, g, b;
};
const ReferenceColour ReferenceColours[] = {{"white", 1, 1, 1}, {"black", 0, 0, 0},  {"red", 1, 0, 0},
                                            {"green", 0, 1, 0}, {"blue", 0, 0, 1},   {"mid grey", 0.5, 0.5, 0.5},
                                            {"orange", 1, 0.5, 0.1}, {"dark", 0.02, 0.03, 0.01}};

TEST_F(Transforms, TheReferenceIsThePublishedOne)
{
    const CieLab red = SrgbReference().lab(1, 0, 0);
    EXPECT_NEAR(red.L, 54.29, 0.005);
    EXPECT_NEAR(red.a, 80.81, 0.01);
    EXPECT_NEAR(red.b, 69.89, 0.005);
}

// Lab of the reference colours through [profile, Lab identity].
std::vector<CieLab> throughProfile(EngineContext* ctx, IccProfile* p)
{
    ProfilePtr lab(createLabIdentityV4(ctx, nullptr), &closeProfile);
    TransformPtr t(createTransformContext(ctx, p, FormatRgbDouble, lab.get(), FormatLabDouble, 1, XformNoOptimise),
                   &deleteTransform);
    EXPECT_TRUE(t);
    std::vector<CieLab> out;
    for (const ReferenceColour& c : ReferenceColours) {
        const double in[3] = {c.r, c.g, c.b};
        double l[3] = {NAN, NAN, NAN};
        if (t) doTransform(t.get(), in, l, 1);
        out.push_back(CieLab{l[0], l[1], l[2]});
    }
    return out;
}

TEST_F(Transforms, SrgbProfileAgreesWithThePublishedDefinition)
{
    // This package's sRGB profile stores the published colorants (to the
    // precision of its s15Fixed16 numbers) and the curve as a table.
    ProfilePtr srgb = openReal(ctx, "/usr/share/color/argyll/ref/sRGB.icm");
    ASSERT_TRUE(srgb);
    const SrgbReference reference;
    const std::vector<CieLab> got = throughProfile(ctx, srgb.get());
    for (size_t i = 0; i < got.size(); ++i) {
        const ReferenceColour& c = ReferenceColours[i];
        // Its 1024-entry curve is a chord, not the formula, in the darks.
        const double tolerance = std::string(c.name) == "dark" ? 0.02 : 0.01;
        EXPECT_LT(deltaE76(got[i], reference.lab(c.r, c.g, c.b)), tolerance) << c.name;
    }
}

TEST_F(Transforms, ABuiltSrgbProfileAgreesToAThousandth)
{
    // The same definition held exactly: colorants in doubles, the
    // parametric curve.
    const SrgbReference reference;
    ProfilePtr p(createBlankProfile(ctx), &closeProfile);
    setVersionFromNumber(p.get(), 4.4);
    setProfileColorSpace(p.get(), SpaceRgb);
    setProfilePcs(p.get(), SpaceXyz);
    const double params[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    ToneCurve* curve = buildParametricCurve(ctx, 4, params);
    ASSERT_TRUE(curve);
    const uint32_t colorants[3] = {sig("rXYZ"), sig("gXYZ"), sig("bXYZ")};
    const uint32_t curves[3] = {sig("rTRC"), sig("gTRC"), sig("bTRC")};
    for (int c = 0; c < 3; ++c) {
        const CieXyz xyz{reference.m[0][c], reference.m[1][c], reference.m[2][c]};
        ASSERT_TRUE(storeTag(p.get(), colorants[c], &xyz));
        ASSERT_TRUE(storeTag(p.get(), curves[c], curve));
    }
    freeCurve(curve);
    const std::vector<CieLab> got = throughProfile(ctx, p.get());
    for (size_t i = 0; i < got.size(); ++i) {
        const ReferenceColour& c = ReferenceColours[i];
        EXPECT_LT(deltaE76(got[i], reference.lab(c.r, c.g, c.b)), 0.001) << c.name;
    }
}

TEST_F(Transforms, SixteenBitRgbRoundTripsThroughLab)
{
    ProfilePtr lab(createLabIdentityV4(ctx, nullptr), &closeProfile);
    for (const char* name : {"sRGB.icc", "ECI-RGBv2.icc", "Gamma6500K.icc"}) {
        ProfilePtr p = openReal(ctx, std::string("/usr/share/color/icc/colord/") + name);
        ASSERT_TRUE(p && isMatrixShaper(p.get())) << name;
        TransformPtr there(createTransformContext(ctx, p.get(), FormatRgb16, lab.get(), FormatLabDouble, 1, 0),
                           &deleteTransform);
        TransformPtr back(createTransformContext(ctx, lab.get(), FormatLabDouble, p.get(), FormatRgb16, 1, 0),
                          &deleteTransform);
        ASSERT_TRUE(there && back);
        // A coarse grid over the cube and a fine one over the darks.
        std::vector<uint16_t> rgb;
        for (uint32_t r = 0; r < 65536; r += 2047)
            for (uint32_t g = 0; g < 65536; g += 2047)
                for (uint32_t b = 0; b < 65536; b += 2047) rgb.insert(rgb.end(), {uint16_t(r), uint16_t(g), uint16_t(b)});
        for (uint32_t r = 0; r < 1024; r += 61)
            for (uint32_t g = 0; g < 1024; g += 67)
                for (uint32_t b = 0; b < 1024; b += 71) rgb.insert(rgb.end(), {uint16_t(r), uint16_t(g), uint16_t(b)});
        const uint32_t n = uint32_t(rgb.size() / 3);
        std::vector<double> mid(rgb.size());
        std::vector<uint16_t> out(rgb.size());
        doTransform(there.get(), rgb.data(), mid.data(), n);
        doTransform(back.get(), mid.data(), out.data(), n);
        int worst = 0;
        for (size_t i = 0; i < rgb.size(); ++i) worst = std::max(worst, std::abs(int(out[i]) - int(rgb[i])));
        EXPECT_LE(worst, 1) << name;
    }
}

TEST_F(Transforms, AProfileToItselfKeepsColoursAndLeavesAlpha)
{
    ProfilePtr srgb = openReal(ctx, "/usr/share/color/icc/colord/sRGB.icc");
    ASSERT_TRUE(srgb);
    std::vector<uint8_t> in = ramp<uint8_t>(4 * 500);
    for (uint32_t flags : {0u, uint32_t(XformCopyAlpha)}) {
        TransformPtr t(createTransform(srgb.get(), FormatRgba8, srgb.get(), FormatRgba8, 0, flags), &deleteTransform);
        ASSERT_TRUE(t);
        std::vector<uint8_t> out(in.size(), 0x33);
        doTransform(t.get(), in.data(), out.data(), 500);
        for (size_t i = 0; i < in.size(); ++i) {
            if (i % 4 == 3)
                ASSERT_EQ(out[i], flags ? in[i] : 0x33) << i;
            else
                ASSERT_LE(std::abs(int(out[i]) - int(in[i])), 1) << i;
        }
    }
}

TEST_F(Transforms, LinearSixteenBitSourcesAreLeftUnoptimised)
{
    ProfilePtr linear = openReal(ctx, "/usr/share/color/argyll/ref/ProPhotoLin.icm");
    ProfilePtr srgb = openReal(ctx, "/usr/share/color/icc/colord/sRGB.icc");
    ASSERT_TRUE(linear && srgb);
    TransformPtr a(createTransform(linear.get(), FormatRgb16, srgb.get(), FormatRgb16, 0, 0), &deleteTransform);
    TransformPtr b(createTransform(srgb.get(), FormatRgb16, linear.get(), FormatRgb16, 0, 0), &deleteTransform);
    TransformPtr c(createTransform(linear.get(), FormatRgb8, srgb.get(), FormatRgb8, 0, 0), &deleteTransform);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(transformFlags(a.get()) & XformNoOptimise);
    EXPECT_FALSE(transformFlags(b.get()) & XformNoOptimise);
    EXPECT_FALSE(transformFlags(c.get()) & XformNoOptimise);
}

TEST_F(Transforms, LabInTheVersion2EncodingFitsALabProfile)
{
    ProfilePtr lab(createLabIdentityV4(ctx, nullptr), &closeProfile);
    TransformPtr t(createTransformContext(ctx, lab.get(), FormatLabV2_16, nullptr, FormatLabDouble, 1, 0),
                   &deleteTransform);
    ASSERT_TRUE(t);
    const uint16_t in[2][3] = {{0xFF00, 0x8000, 0x8000}, {0x8000, 0x0000, 0xFFFF}};
    double out[2][3];
    doTransform(t.get(), in, out, 2);
    EXPECT_NEAR(out[0][0], 100.0, 1e-3);
    EXPECT_NEAR(out[0][1], 0.0, 1e-3);
    EXPECT_NEAR(out[1][0], 0x8000 / 652.8, 2e-3);
    EXPECT_NEAR(out[1][1], -128.0, 2e-3);
    EXPECT_NEAR(out[1][2], 0xFFFF / 256.0 - 128.0, 2e-3);
}

TEST_F(Transforms, RecordsTheEndsOfTheChain)
{
    ProfilePtr press = openReal(ctx, "/usr/share/color/icc/ghostscript/default_cmyk.icc");
    ProfilePtr srgb = openReal(ctx, "/usr/share/color/icc/colord/sRGB.icc");
    IccProfile* const chain[2] = {srgb.get(), press.get()};
    TransformPtr t(createMultiTransformNoContext(chain, 2, FormatRgb8, FormatCmyk8, 2, XformKeepSequence),
                   &deleteTransform);
    ASSERT_TRUE(t);
    EXPECT_EQ(transformContext(t.get()), ctx);
    EXPECT_EQ(transformEntrySpace(t.get()), SpaceRgb);
    EXPECT_EQ(transformExitSpace(t.get()), SpaceCmyk);
    EXPECT_EQ(transformIntent(t.get()), 2u);
    EXPECT_NEAR(transformExitWhitePoint(t.get()).Y, mediaWhitePointOf(press.get()).Y, 1e-12);
    const ProfileSequence* seq = transformSequence(t.get());
    ASSERT_TRUE(seq);
    EXPECT_EQ(seq->count, 2u);
    EXPECT_TRUE(seq->items[1].description);
}

// ---------------------------------------------------------------------------
// Bad profiles
// ---------------------------------------------------------------------------

TEST_F(Transforms, ProfilesWithoutTheirTagsDoNotLink)
{
    ProfileBuilder b;
    b.tag(sig("wtpt"), b.addData(xyzTag(0.9642, 1.0, 0.8249)));
    b.tag(sig("rXYZ"), b.addData(xyzTag(0.4361, 0.2225, 0.0139)));
    const Bytes bytes = b.build();
    ProfilePtr p(openFromMemoryContext(ctx, bytes.data(), uint32_t(bytes.size())), &closeProfile);
    ASSERT_TRUE(p);
    EXPECT_FALSE(createTransform(p.get(), FormatRgb8, p.get(), FormatRgb8, 0, 0));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Couldn't link the profiles");
}

TEST_F(Transforms, MalformedCurvesDoNotLink)
{
    ProfileBuilder b;
    for (const char* tag : {"rXYZ", "gXYZ", "bXYZ"}) b.tag(sig(*reinterpret_cast<const char(*)[5]>(tag)), b.addData(xyzTag(0.3, 0.3, 0.3)));
    Bytes curve;
    append32(curve, 4096);   // claims 4096 entries, holds 2
    append32(curve, 0x0000FFFF);
    const size_t block = b.addData(tagData(sig("curv"), curve));
    for (const char* tag : {"rTRC", "gTRC", "bTRC"}) b.tag(sig(*reinterpret_cast<const char(*)[5]>(tag)), block);
    const Bytes bytes = b.build();
    ProfilePtr p(openFromMemoryContext(ctx, bytes.data(), uint32_t(bytes.size())), &closeProfile);
    ASSERT_TRUE(p);
    EXPECT_FALSE(createTransform(p.get(), FormatRgb8, p.get(), FormatRgb8, 0, 0));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.front(), "Corrupted tag 'rTRC'");
    EXPECT_EQ(messages.back(), "Couldn't link the profiles");
}

TEST_F(Transforms, TablesOfTheWrongWidthAreCaught)
{
    // An RGB input profile whose table takes four channels.
    ProfilePtr p(createBlankProfile(ctx), &closeProfile);
    setVersionFromNumber(p.get(), 4.4);
    setProfileDeviceClass(p.get(), ClassInput);
    setProfileColorSpace(p.get(), SpaceRgb);
    setProfilePcs(p.get(), SpaceLab);
    PipelinePtr wide(newPipeline(ctx, 4, 3), &freePipeline);
    ASSERT_TRUE(insertStage(wide.get(), AtEnd, newClut16StageUniform(ctx, 2, 4, 3, nullptr)));
    ASSERT_TRUE(storeTag(p.get(), sig("A2B0"), wide.get()));
    ProfilePtr lab(createLabIdentityV4(ctx, nullptr), &closeProfile);
    EXPECT_FALSE(createTransform(p.get(), FormatRgb16, lab.get(), FormatLab16, 0, 0));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Channel count doesn't match. Profile is corrupted");

    // A CMYK printer whose table gives three inks.
    messages.clear();
    ProfilePtr cmyk(createBlankProfile(ctx), &closeProfile);
    setVersionFromNumber(cmyk.get(), 4.4);
    setProfileDeviceClass(cmyk.get(), ClassOutput);
    setProfileColorSpace(cmyk.get(), SpaceCmyk);
    setProfilePcs(cmyk.get(), SpaceLab);
    PipelinePtr narrow(newPipeline(ctx, 3, 3), &freePipeline);
    ASSERT_TRUE(insertStage(narrow.get(), AtEnd, newClut16StageUniform(ctx, 2, 3, 3, nullptr)));
    ASSERT_TRUE(storeTag(cmyk.get(), sig("B2A0"), narrow.get()));
    EXPECT_FALSE(createTransform(lab.get(), FormatLab16, cmyk.get(), FormatCmyk16, 0, 0));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Channel count doesn't match. Profile is corrupted");
}

TEST_F(Transforms, DamagedRealProfilesNeverCrash)
{
    // Every cut and a sweep of flipped bytes of real profiles: each either
    // fails with a message or gives a transform that runs.
    const std::vector<uint8_t> pixels = ramp<uint8_t>(3 * 64);
    std::vector<uint8_t> out(8 * 64);   // room for 64 pixels of 16-bit Lab or CMYK
    ProfilePtr lab(createLabIdentityV4(ctx, nullptr), &closeProfile);
    for (const char* path : {"/usr/share/color/icc/colord/sRGB.icc", "/usr/share/color/icc/ghostscript/srgb.icc"}) {
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
        const Bytes original = readFile(path);
        std::vector<Bytes> damaged;
        for (size_t cut = 0; cut < original.size(); cut += 53) damaged.emplace_back(original.begin(), original.begin() + long(cut));
        for (size_t at = 128; at < original.size(); at += 29) {
            Bytes b = original;
            b[at] ^= 0xA5;
            damaged.push_back(b);
        }
        for (const Bytes& b : damaged) {
            ProfilePtr p(openFromMemoryContext(ctx, b.data(), uint32_t(b.size())), &closeProfile);
            if (!p) continue;
            TransformPtr t(createTransform(p.get(), FormatRgb8, lab.get(), FormatLab16, 1, 0), &deleteTransform);
            if (t) doTransform(t.get(), pixels.data(), out.data(), 64);
        }
    }
    // The same for the press profile's tables, cut short.
    const Bytes press = readFile("/usr/share/color/icc/ghostscript/default_cmyk.icc");
    ASSERT_FALSE(press.empty());
    for (size_t cut = 1000; cut < press.size(); cut += 7919) {
        ProfilePtr p(openFromMemoryContext(ctx, press.data(), uint32_t(cut)), &closeProfile);
        if (!p) continue;
        TransformPtr t(createTransform(lab.get(), FormatLab16, p.get(), FormatCmyk8, 1, 0), &deleteTransform);
        if (t) doTransform(t.get(), pixels.data(), out.data(), 32);
    }
}

} // namespace
