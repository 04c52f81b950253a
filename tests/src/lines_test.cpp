// Whole-line workers: every path (plain loops, SSE4.1, AVX2, AVX-512, as far
// as the processor has them) gives the bytes of the pipeline's own evaluator,
// over every 8-bit input and a million random 16-bit ones.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

const std::string Colord = "/usr/share/color/icc/colord/";
const std::string Press = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
const std::string Warm = "*warm";   // an abstract profile made here

#ifdef OSL_SANITIZED
constexpr uint32_t FirstValueStep = 5;   // the sanitizers run many times slower
constexpr uint32_t RandomPixels = 200000;
#else
constexpr uint32_t FirstValueStep = 1;
constexpr uint32_t RandomPixels = 1000000;
#endif

ProfilePtr open(const std::string& path)
{
    ProfilePtr p(openFromFile(nullptr, path.c_str(), "r"), &closeProfile);
    EXPECT_NE(p, nullptr) << path << " is missing";
    return p;
}

// The transform's pipeline run pixel by pixel through its 16-bit evaluator,
// packed as the 8- and 16-bit packers pack; extra samples are copied when the
// transform copies them and otherwise left as they were in `out`.
void byEvaluator(const Transform* t, const void* in, void* out, size_t pixels)
{
    const PixelLayout& I = t->inLayout;
    const PixelLayout& O = t->outLayout;
    const bool wideIn = I.sampleBytes == 2, wideOut = O.sampleBytes == 2;
    auto* in8 = static_cast<const uint8_t*>(in);
    auto* in16 = static_cast<const uint16_t*>(in);
    auto* out8 = static_cast<uint8_t*>(out);
    auto* out16 = static_cast<uint16_t*>(out);
    const bool alpha = (t->flags & XformCopyAlpha) && I.extra == 1 && O.extra == 1;
    for (size_t i = 0; i < pixels; ++i) {
        uint16_t words[MaxStageChannels], result[MaxStageChannels];
        for (uint32_t c = 0; c < I.channels; ++c) {
            const size_t at = i * I.samples + I.position[c];
            words[c] = wideIn ? in16[at] : uint16_t(in8[at] * 257);
        }
        evalPipeline16(words, result, t->lut);
        for (uint32_t c = 0; c < O.channels; ++c) {
            const size_t at = i * O.samples + O.position[c];
            if (wideOut)
                out16[at] = result[c];
            else
                out8[at] = uint8_t((result[c] * 65281u + 0x800000u) >> 24);
        }
        if (alpha) {
            const size_t from = i * I.samples + I.position[I.channels], to = i * O.samples + O.position[O.channels];
            if (wideOut)
                out16[to] = in16[from];
            else
                out8[to] = in8[from];
        }
    }
}

struct Case {
    const char* name;
    std::vector<std::string> chain;
    uint32_t in, out, flags;
    const char* kinds;   // of the optimised pipeline
};

std::string kindsOf(const Pipeline* p)
{
    std::string s;
    for (const Stage* st = pipelineFirstStage(p); st; st = stageNext(st)) {
        if (!s.empty()) s += ' ';
        for (int shift = 24; shift >= 0; shift -= 8) s += char((stageKind(st) >> shift) & 0xFF);
    }
    return s;
}

// An abstract profile that warms colours a little, through a 17-point table.
ProfilePtr warmAbstract()
{
    ProfilePtr p(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    Stage* clut = newClut16StageUniform(nullptr, 17, 3, 3, nullptr);
    auto warm = [](const uint16_t in[], uint16_t out[], void*) {
        out[0] = uint16_t(in[0] * 0.98);
        out[1] = uint16_t(std::min(65535.0, in[1] + 600.0 * in[0] / 65535));
        out[2] = uint16_t(std::min(65535.0, in[2] + 1500.0 * in[0] / 65535));
        return true;
    };
    Pipeline* lut = newPipeline(nullptr, 3, 3);
    EXPECT_TRUE(sampleClut16(clut, warm, nullptr, 0));
    EXPECT_TRUE(insertStage(lut, AtEnd, clut));
    EXPECT_TRUE(storeTag(p.get(), sig("A2B0"), lut));
    freePipeline(lut);
    return p;
}

TransformPtr transformFor(const Case& c, std::vector<ProfilePtr>& keep)
{
    std::vector<IccProfile*> chain;
    for (const std::string& name : c.chain) {
        if (name == "*lab")
            keep.emplace_back(createLabIdentityV4(nullptr, nullptr), &closeProfile);
        else if (name == Warm)
            keep.push_back(warmAbstract());
        else
            keep.push_back(open(name));
        chain.push_back(keep.back().get());
    }
    return TransformPtr(createMultiTransform(nullptr, chain.data(), uint32_t(chain.size()), c.in, c.out,
                                             IntentPerceptual, c.flags),
                        &deleteTransform);
}

// Runs the transform at every vector level and compares with the evaluator.
// `fill` makes the input of one block of pixels; returns false when done.
template <typename Fill>
void comparePaths(const Case& c, Fill fill)
{
    std::vector<ProfilePtr> keep;
    TransformPtr t = transformFor(c, keep);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(kindsOf(transformPipeline(t.get())), c.kinds);
    ASSERT_NE(optimisedWorkerFor(t.get()), nullptr);
    const uint32_t inBytes = t->inLayout.samples * t->inLayout.sampleBytes;
    const uint32_t outBytes = t->outLayout.samples * t->outLayout.sampleBytes;
    std::vector<uint8_t> in, expected, got;
    const int top = highestVectorLevel();
    uint64_t mismatches[4] = {};
    for (uint32_t block = 0; fill(block, in, inBytes); ++block) {
        const size_t pixels = in.size() / inBytes;
        expected.assign(pixels * outBytes, 0xA5);
        byEvaluator(t.get(), in.data(), expected.data(), pixels);
        for (int level = 0; level <= top; ++level) {
            setOptimiserVectorLevel(level);
            got.assign(pixels * outBytes, 0xA5);
            doTransform(t.get(), in.data(), got.data(), uint32_t(pixels));
            if (got != expected)
                for (size_t i = 0; i < got.size(); ++i) mismatches[level] += got[i] != expected[i];
        }
    }
    setOptimiserVectorCode(true);
    for (int level = 0; level <= top; ++level) EXPECT_EQ(mismatches[level], 0u) << "vector level " << level;
}

// All 16.7 million 8-bit inputs, one block per value of the first channel;
// extra samples get values of their own. The pixels come in a scattered
// order, and each block ends with a few of its
// pixels again, more or fewer from block to block, so that the loops' ends
// are reached too.
bool everyByteInput(uint32_t block, std::vector<uint8_t>& in, uint32_t bytesPerPixel)
{
    const uint32_t first = block * FirstValueStep;
    if (first > 255) return false;
    const uint32_t pixels = 65536 + block % 67;
    in.resize(size_t(pixels) * bytesPerPixel);
    uint8_t* p = in.data();
    for (uint32_t k = 0; k < pixels; ++k, p += bytesPerPixel) {
        const uint32_t i = (k * 40503u) & 0xFFFF;
        p[0] = uint8_t(first);
        p[1] = uint8_t(i >> 8);
        p[2] = uint8_t(i);
        for (uint32_t e = 3; e < bytesPerPixel; ++e) p[e] = uint8_t(i * 7 + first);
    }
    return true;
}

// A million random 16-bit pixels in blocks of 65536 (the last one shorter,
// so that the loops' ends are reached too).
bool randomWordInput(uint32_t block, std::vector<uint8_t>& in, uint32_t bytesPerPixel)
{
    const uint32_t start = block * 65536;
    if (start >= RandomPixels) return false;
    const uint32_t pixels = std::min<uint32_t>(65536, RandomPixels - start) - (block % 3);
    std::mt19937 random(block + 19);
    in.resize(size_t(pixels) * bytesPerPixel);
    for (size_t i = 0; i + 1 < in.size(); i += 2) {
        const uint16_t w = uint16_t(random());
        std::memcpy(&in[i], &w, 2);
    }
    // Some samples at the ends of the range, where tables end.
    for (size_t i = 0; i + 2 <= in.size(); i += 2 * 97) {
        const uint16_t w = (i / 194) % 2 ? 0xFFFF : 0;
        std::memcpy(&in[i], &w, 2);
    }
    return true;
}

TEST(LineWorkers, EveryPathGivesTheEvaluatorsBytesForEvery8BitInput)
{
    const Case cases[] = {
        {"matrix-shaper, RGBA with alpha", {Colord + "sRGB.icc", Colord + "AdobeRGB1998.icc"}, FormatRgba8,
         FormatRgba8, XformCopyAlpha, "cvst matf cvst"},
        {"matrix-shaper, RGB to BGRA", {Colord + "AdobeRGB1998.icc", Colord + "sRGB.icc"}, FormatRgb8, FormatBgra8,
         0, "cvst matf cvst"},
        {"RGB to CMYK table", {Colord + "sRGB.icc", Press}, FormatRgba8, FormatCmyk8, 0, "clut"},
        {"RGB to CMYK table, three samples in", {Colord + "sRGB.icc", Press}, FormatRgb8, FormatCmyk8, 0, "clut"},
        {"RGB to RGB through a press", {Colord + "sRGB.icc", Press, Press, Colord + "sRGB.icc"}, FormatRgba8,
         FormatRgba8, XformCopyAlpha, "clut"},
        // The shape is asked for: the optimiser's own choice for this chain
        // is measured, and may be another.
        {"RGB to RGB through a Lab table, curves before the table", {Colord + "sRGB.icc", Warm, Colord + "sRGB.icc"},
         FormatRgb8, FormatBgr8, XformForceClut | XformKeepPreLinearisation, "cvst clut"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        comparePaths(c, everyByteInput);
    }
}

TEST(LineWorkers, EveryPathGivesTheEvaluatorsWordsForRandom16BitInput)
{
    const Case cases[] = {
        {"matrix-shaper, RGBA with alpha", {Colord + "sRGB.icc", Colord + "AdobeRGB1998.icc"}, FormatRgba16,
         FormatRgba16, XformCopyAlpha, "cvst matf cvst"},
        {"matrix-shaper, BGR to RGBA", {Colord + "WideGamutRGB.icc", Colord + "sRGB.icc"}, FormatBgr16,
         FormatRgba16, 0, "cvst matf cvst"},
        {"Lab to a matrix-shaper", {"*lab", Colord + "sRGB.icc"}, FormatLab16, FormatRgb16, 0,
         "cvst l2x  matf cvst"},
        {"RGB to CMYK table", {Colord + "sRGB.icc", Press}, FormatRgb16, FormatCmyk16, 0, "clut"},
        // Shapes asked for: the optimiser's own choice is measured, and may be another.
        {"RGB to RGB through a Lab table, curves on both sides", {Colord + "sRGB.icc", Warm, Colord + "sRGB.icc"},
         FormatRgba16, FormatRgba16, XformCopyAlpha | XformForceClut | XformKeepPreLinearisation, "cvst clut cvst"},
        {"RGB to RGB through a press, stretched post-curves",
         {Colord + "sRGB.icc", Press, Press, Colord + "sRGB.icc"}, FormatRgb16, FormatRgb16, XformForceClut,
         "clut cvst"},
        {"Lab through a press to RGB, stretched post-curves", {"*lab", Press, Press, Colord + "sRGB.icc"}, FormatLab16,
         FormatRgb16, 0, "clut cvst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        comparePaths(c, randomWordInput);
    }
}

} // namespace
