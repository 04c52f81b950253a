// Transforms: creation checks and their messages, the one-pixel cache, gamut
// alarms, changing formats, plug-in and scheduler workers, threads, and
// conversions through real profiles against published reference values.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
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
    TransformPtr t = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8);
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
    TransformPtr plain = fromPipeline(countingPipeline(ctx), FormatRgb8, FormatRgb8, XformNoCache);
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
    EXPECT_NEAR(out[0], 0.8f, 1e-6);
    EXPECT_NEAR(out[2], 0.0f, 1e-6);

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

} // namespace
