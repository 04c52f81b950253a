// Pixel formatters: sample positions, widths, inversion, byte order, planes,
// the float units of each colour space, half floats and extra channels, seen
// through identity transforms.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> messages;
void collect(EngineContext*, uint32_t, const char* text)
{
    messages.push_back(text);
}

class Formatters : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        ctx = createContext(nullptr, nullptr);
        setContextErrorHandler(ctx, collect);
    }
    void TearDown() override
    {
        for (Transform* t : made) deleteTransform(t);
        deleteContext(ctx);
    }

    // A transform whose pipeline passes `channels` values through unchanged.
    Transform* identity(uint32_t channels, uint32_t inputFormat, uint32_t outputFormat, uint32_t flags = 0)
    {
        TransformSetup setup;
        setup.inputFormat = inputFormat;
        setup.outputFormat = outputFormat;
        setup.flags = flags;
        Transform* t = transformFromPipeline(ctx, newPipeline(ctx, channels, channels), setup);
        if (t) made.push_back(t);
        return t;
    }

    EngineContext* ctx = nullptr;
    std::vector<Transform*> made;
};

template <typename T>
std::vector<T> run(Transform* t, const void* in, size_t outCount, uint32_t pixels, T fill = T())
{
    std::vector<T> out(outCount, fill);
    doTransform(t, in, out.data(), pixels);
    return out;
}

// ---------------------------------------------------------------------------
// Sample positions
// ---------------------------------------------------------------------------

struct OrderCase {
    const char* name;
    uint32_t format;
    std::vector<uint8_t> pixel;     // one pixel as stored
    uint8_t red, green, blue;       // the colour it holds
    std::vector<size_t> extras;     // where the extra channels are stored
};

class SampleOrder : public Formatters, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(SampleOrder, UnpacksToRgbAndPacksBackInPlace)
{
    const OrderCase& c = GetParam();
    Transform* in = identity(3, c.format, FormatRgb16);
    ASSERT_NE(in, nullptr) << c.name;
    const std::vector<uint16_t> words = run<uint16_t>(in, c.pixel.data(), 3, 1);
    EXPECT_EQ(words, (std::vector<uint16_t>{uint16_t(c.red * 257), uint16_t(c.green * 257), uint16_t(c.blue * 257)}))
        << c.name;

    // Packing writes the colour where it was read and leaves the extra
    // channels as they were.
    Transform* out = identity(3, FormatRgb16, c.format);
    ASSERT_NE(out, nullptr);
    std::vector<uint8_t> packed(c.pixel.size(), 0xEE);
    doTransform(out, words.data(), packed.data(), 1);
    std::vector<uint8_t> expected = c.pixel;
    for (size_t i : c.extras) expected[i] = 0xEE;
    EXPECT_EQ(packed, expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SampleOrder,
    ::testing::Values(OrderCase{"RGB", FormatRgb8, {10, 20, 30}, 10, 20, 30, {}},
                      OrderCase{"BGR", FormatBgr8, {30, 20, 10}, 10, 20, 30, {}},
                      OrderCase{"RGBA", FormatRgba8, {10, 20, 30, 99}, 10, 20, 30, {3}},
                      OrderCase{"ABGR", FormatAbgr8, {99, 30, 20, 10}, 10, 20, 30, {0}},
                      OrderCase{"ARGB", FormatArgb8, {99, 10, 20, 30}, 10, 20, 30, {0}},
                      OrderCase{"BGRA", FormatBgra8, {30, 20, 10, 99}, 10, 20, 30, {3}},
                      OrderCase{"RGBAA", pixelFormat(PixelRgb, 3, 1, 2), {10, 20, 30, 98, 99}, 10, 20, 30, {3, 4}},
                      OrderCase{"AABGR", pixelFormat(PixelRgb, 3, 1, 2, PixelReversed), {99, 98, 30, 20, 10}, 10,
                                20, 30, {0, 1}},
                      OrderCase{"inverted RGB", pixelFormat(PixelRgb, 3, 1, 0, PixelInverted),
                                {245, 235, 225}, 10, 20, 30, {}}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

TEST_F(Formatters, CmykOrdersAndInversion)
{
    const uint8_t cmyk[4] = {1, 2, 3, 4};
    const uint8_t kymc[4] = {4, 3, 2, 1};
    const uint8_t kcmy[4] = {4, 1, 2, 3};
    const uint8_t inverted[4] = {254, 253, 252, 251};
    const std::vector<uint16_t> expected{257, 514, 771, 1028};
    EXPECT_EQ(run<uint16_t>(identity(4, FormatCmyk8, FormatCmyk16), cmyk, 4, 1), expected);
    EXPECT_EQ(run<uint16_t>(identity(4, FormatKymc8, FormatCmyk16), kymc, 4, 1), expected);
    EXPECT_EQ(run<uint16_t>(identity(4, pixelFormat(PixelCmyk, 4, 1, 0, PixelSwapFirst), FormatCmyk16), kcmy, 4, 1),
              expected);
    EXPECT_EQ(run<uint16_t>(identity(4, FormatCmyk8Inverted, FormatCmyk16), inverted, 4, 1), expected);
    // Packing an inverted format complements again.
    const uint16_t words[4] = {257, 514, 771, 1028};
    EXPECT_EQ(run<uint8_t>(identity(4, FormatCmyk16, FormatCmyk8Inverted), words, 4, 1),
              (std::vector<uint8_t>{254, 253, 252, 251}));
}

// ---------------------------------------------------------------------------
// Widths
// ---------------------------------------------------------------------------

TEST_F(Formatters, EightBitSamplesWidenByTwoHundredFiftySeven)
{
    std::vector<uint8_t> gray(256);
    for (int i = 0; i < 256; ++i) gray[i] = uint8_t(i);
    const std::vector<uint16_t> words = run<uint16_t>(identity(1, FormatGray8, FormatGray16), gray.data(), 256, 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(words[i], i * 257) << i;
}

TEST_F(Formatters, SixteenBitWordsRoundToTheNearestByte)
{
    std::vector<uint16_t> words(65536);
    for (uint32_t v = 0; v < 65536; ++v) words[v] = uint16_t(v);
    const std::vector<uint8_t> bytes =
        run<uint8_t>(identity(1, FormatGray16, FormatGray8, XformNoCache), words.data(), 65536, 65536);
    for (uint32_t v = 0; v < 65536; ++v) ASSERT_EQ(bytes[v], uint8_t(std::floor(v / 257.0 + 0.5))) << v;
}

TEST_F(Formatters, BigEndianWordsAreSwapped)
{
    const uint8_t stored[6] = {0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF};
    const std::vector<uint16_t> words = run<uint16_t>(identity(3, FormatRgb16BigEndian, FormatRgb16), stored, 3, 1);
    EXPECT_EQ(words, (std::vector<uint16_t>{0x1234, 0xABCD, 0x00FF}));
    const std::vector<uint8_t> back = run<uint8_t>(identity(3, FormatRgb16, FormatRgb16BigEndian), words.data(), 6, 1);
    EXPECT_EQ(back, std::vector<uint8_t>(stored, stored + 6));
}

TEST_F(Formatters, LabVersion2WordsMeetTheVersion4Encoding)
{
    // L* 100 and a* = b* = 0 in both encodings.
    const uint16_t v2[3] = {0xFF00, 0x8000, 0x8000};
    EXPECT_EQ(run<uint16_t>(identity(3, FormatLabV2_16, FormatLab16), v2, 3, 1),
              (std::vector<uint16_t>{0xFFFF, 0x8080, 0x8080}));
    const uint16_t v4[3] = {0xFFFF, 0x8080, 0x0000};
    EXPECT_EQ(run<uint16_t>(identity(3, FormatLab16, FormatLabV2_16), v4, 3, 1),
              (std::vector<uint16_t>{0xFF00, 0x8000, 0x0000}));
}

// ---------------------------------------------------------------------------
// Planes and strides
// ---------------------------------------------------------------------------

TEST_F(Formatters, PlanarImagesUseOnePlanePerChannel)
{
    // Two lines of three pixels, each line padded to 4 bytes per plane row.
    const uint8_t planes[3][8] = {{1, 2, 3, 0, 4, 5, 6, 0}, {11, 12, 13, 0, 14, 15, 16, 0}, {21, 22, 23, 0, 24, 25, 26, 0}};
    std::vector<uint8_t> flat;
    for (const auto& plane : planes) flat.insert(flat.end(), plane, plane + 8);
    Transform* t = identity(3, FormatRgb8Planar, FormatRgb8);
    ASSERT_NE(t, nullptr);
    std::vector<uint8_t> out(2 * 9, 0);
    doTransformLineStride(t, flat.data(), out.data(), 3, 2, 4, 9, 8, 0);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24, 5, 15, 25, 6, 16, 26}));

    // And back into 16-bit planes.
    Transform* back = identity(3, FormatRgb8, FormatRgb16Planar);
    std::vector<uint16_t> words(3 * 6, 0);
    doTransformLineStride(back, out.data(), words.data(), 3, 2, 9, 6, 0, 12);
    EXPECT_EQ(words[0], 257);
    EXPECT_EQ(words[6], 11 * 257);
    EXPECT_EQ(words[12 + 5], 26 * 257);
}

TEST_F(Formatters, LinesAdvanceByTheirStrides)
{
    Transform* t = identity(3, FormatRgb8, FormatBgr8);
    const uint8_t in[2][5] = {{1, 2, 3, 77, 77}, {4, 5, 6, 77, 77}};   // 5 bytes per line
    uint8_t out[2][4] = {{0, 0, 0, 9}, {0, 0, 0, 9}};                  // 4 bytes per line
    doTransformLineStride(t, in, out, 1, 2, 5, 4, 0, 0);
    EXPECT_EQ(std::vector<uint8_t>(out[0], out[0] + 4), (std::vector<uint8_t>{3, 2, 1, 9}));
    EXPECT_EQ(std::vector<uint8_t>(out[1], out[1] + 4), (std::vector<uint8_t>{6, 5, 4, 9}));
}

// ---------------------------------------------------------------------------
// Float units
// ---------------------------------------------------------------------------

TEST_F(Formatters, FloatSamplesCarryRealUnits)
{
    // Lab in real units to 16-bit Lab words (version-4 encoding).
    const double lab[3] = {100.0, 0.0, -128.0};
    EXPECT_EQ(run<uint16_t>(identity(3, FormatLabDouble, FormatLab16), lab, 3, 1),
              (std::vector<uint16_t>{0xFFFF, 0x8080, 0x0000}));
    // XYZ in real units to 1.15 fixed point.
    const float xyz[3] = {0.9642f, 1.0f, 0.8249f};
    EXPECT_EQ(run<uint16_t>(identity(3, FormatXyzFloat, FormatXyz16), xyz, 3, 1),
              (std::vector<uint16_t>{uint16_t(std::floor(0.9642 * 32768 + 0.5)), 32768,
                                     uint16_t(std::floor(0.8249 * 32768 + 0.5))}));
    // Inks are percentages.
    const float cmyk[4] = {100.0f, 50.0f, 0.0f, 25.0f};
    EXPECT_EQ(run<uint16_t>(identity(4, FormatCmykFloat, FormatCmyk16), cmyk, 4, 1),
              (std::vector<uint16_t>{65535, 32768, 0, 16384}));
    // RGB is 0 … 1, and values past the ends survive a float round trip.
    const float rgb[3] = {-0.25f, 0.5f, 1.5f};
    const std::vector<double> d = run<double>(identity(3, FormatRgbFloat, FormatRgbDouble), rgb, 3, 1);
    EXPECT_NEAR(d[0], -0.25, 1e-7);
    EXPECT_NEAR(d[1], 0.5, 1e-7);
    EXPECT_NEAR(d[2], 1.5, 1e-7);
}

TEST_F(Formatters, LabRoundTripsThroughEveryFloatWidth)
{
    const double lab[3] = {53.25, -31.5, 70.125};   // exact in half floats too
    for (uint32_t format : {FormatLabFloat, FormatLabDouble, pixelFormat(PixelLab, 3, 2, 0, PixelFloat)}) {
        Transform* to = identity(3, FormatLabDouble, format);
        Transform* from = identity(3, format, FormatLabDouble);
        ASSERT_TRUE(to && from);
        uint8_t middle[24];
        double back[3];
        doTransform(to, lab, middle, 1);
        doTransform(from, middle, back, 1);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], lab[i], 1e-4) << std::hex << format;
    }
}

TEST_F(Formatters, IntegerFormatsMeetFloatOnes)
{
    // 8-bit to float and back through the float path.
    const uint8_t rgb[3] = {0, 128, 255};
    const std::vector<float> f = run<float>(identity(3, FormatRgb8, FormatRgbFloat), rgb, 3, 1);
    EXPECT_FLOAT_EQ(f[1], 128.0f / 255.0f);
    EXPECT_EQ(run<uint8_t>(identity(3, FormatRgbFloat, FormatRgb8), f.data(), 3, 1),
              (std::vector<uint8_t>{0, 128, 255}));
    // Out-of-range floats saturate in integer formats.
    const float wild[3] = {-3.0f, 0.25f, 7.0f};
    EXPECT_EQ(run<uint16_t>(identity(3, FormatRgbFloat, FormatRgb16), wild, 3, 1),
              (std::vector<uint16_t>{0, 16384, 65535}));
}

// ---------------------------------------------------------------------------
// Half floats
// ---------------------------------------------------------------------------

double halfReference(uint16_t h)
{
    const int sign = h >> 15, exponent = (h >> 10) & 31, mantissa = h & 1023;
    const double magnitude = exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024 + mantissa, exponent - 25);
    return sign ? -magnitude : magnitude;
}

TEST(HalfFloat, EveryFiniteHalfConvertsExactlyBothWays)
{
    for (uint32_t h = 0; h < 65536; ++h) {
        if (((h >> 10) & 31) == 31) continue;   // infinities and NaN
        const float f = halfToFloat(uint16_t(h));
        ASSERT_EQ(double(f), halfReference(uint16_t(h))) << h;
        ASSERT_EQ(floatToHalf(f), uint16_t(h)) << h;
    }
}

TEST(HalfFloat, RoundsToNearestEvenAndOverflowsToInfinity)
{
    EXPECT_EQ(floatToHalf(1.0f + 1.0f / 2048.0f), 0x3C00);   // halfway: to even
    EXPECT_EQ(floatToHalf(1.0f + 3.0f / 2048.0f), 0x3C02);
    EXPECT_EQ(floatToHalf(65504.0f), 0x7BFF);
    EXPECT_EQ(floatToHalf(70000.0f), 0x7C00);
    EXPECT_EQ(floatToHalf(-1e-8f), 0x8000);
    EXPECT_TRUE(std::isinf(halfToFloat(0x7C00)));
    EXPECT_TRUE(std::isnan(halfToFloat(floatToHalf(NAN))));
}

// ---------------------------------------------------------------------------
// Extra channels
// ---------------------------------------------------------------------------

TEST_F(Formatters, ExtraChannelsAreCopiedOnlyWhenAsked)
{
    const uint8_t in[2][4] = {{10, 20, 30, 0x80}, {40, 50, 60, 0xFF}};
    std::vector<uint16_t> out = run<uint16_t>(identity(3, FormatRgba8, FormatRgba16), in, 8, 2, 0x1111);
    EXPECT_EQ(out[3], 0x1111);
    EXPECT_EQ(out[7], 0x1111);
    out = run<uint16_t>(identity(3, FormatRgba8, FormatRgba16, XformCopyAlpha), in, 8, 2, 0x1111);
    EXPECT_EQ(out, (std::vector<uint16_t>{2570, 5140, 7710, 0x8080, 10280, 12850, 15420, 0xFFFF}));
}

TEST_F(Formatters, ExtraChannelsFollowTheLayoutAndConvertTheirWidth)
{
    const uint8_t bgra[4] = {30, 20, 10, 0x40};
    EXPECT_EQ(run<uint8_t>(identity(3, FormatBgra8, FormatArgb8, XformCopyAlpha), bgra, 4, 1),
              (std::vector<uint8_t>{0x40, 10, 20, 30}));

    const uint16_t rgba16[4] = {0, 0, 0, 0x8080};
    const std::vector<float> f = run<float>(identity(3, FormatRgba16, FormatRgbaFloat, XformCopyAlpha), rgba16, 4, 1);
    EXPECT_FLOAT_EQ(f[3], float(0x8080 / 65535.0));

    const float rgbaF[4] = {0, 0, 0, 0.25f};
    EXPECT_EQ(run<uint8_t>(identity(3, FormatRgbaFloat, FormatRgba8, XformCopyAlpha), rgbaF, 4, 1)[3], 64);

    // 16 bits to 8 rounds like the colour channels.
    const uint16_t words[4] = {0, 0, 0, 0x7F80};
    EXPECT_EQ(run<uint8_t>(identity(3, FormatRgba16, FormatRgba8, XformCopyAlpha), words, 4, 1)[3], 0x7F);
}

TEST_F(Formatters, ExtraChannelsOfPlanarImages)
{
    const uint8_t planes[8] = {1, 2, 3, 4, 5, 6, 0xA0, 0xB0};   // R, G, B, A planes of 2 pixels
    const uint32_t rgbaPlanar = pixelFormat(PixelRgb, 3, 1, 1, PixelPlanar);
    Transform* t = identity(3, rgbaPlanar, FormatRgba8, XformCopyAlpha);
    ASSERT_NE(t, nullptr);
    std::vector<uint8_t> out(8, 0);
    doTransformLineStride(t, planes, out.data(), 2, 1, 2, 8, 2, 0);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 3, 5, 0xA0, 2, 4, 6, 0xB0}));
}

TEST_F(Formatters, InPlaceWithTheSameFormatKeepsAlpha)
{
    uint8_t pixels[8] = {10, 20, 30, 0x55, 40, 50, 60, 0x66};
    Transform* t = identity(3, FormatRgba8, FormatRgba8, XformCopyAlpha);
    doTransform(t, pixels, pixels, 2);
    EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 8), (std::vector<uint8_t>{10, 20, 30, 0x55, 40, 50, 60, 0x66}));
}

// ---------------------------------------------------------------------------
// Formats without formatters
// ---------------------------------------------------------------------------

TEST_F(Formatters, FormatsWithoutFormattersAreRefused)
{
    EXPECT_EQ(identity(3, pixelFormat(PixelRgb, 0, 1), FormatRgb8), nullptr);   // no colour channels
    EXPECT_EQ(identity(3, FormatRgb8, pixelFormat(PixelRgb, 3, 3)), nullptr);   // 3-byte samples
    EXPECT_EQ(identity(3, pixelFormat(PixelRgb, 3, 1, 0, PixelFloat), FormatRgbFloat), nullptr);   // 1-byte floats
    ASSERT_EQ(messages.size(), 3u);
    for (const std::string& m : messages) EXPECT_EQ(m, "Unsupported raster format");
    // Both formats 0: a transform without formatters, for later formats.
    EXPECT_NE(identity(3, 0, 0), nullptr);
}

// A formatter plug-in is asked before the built-in ones.
uint8_t* unpackConstant(const Transform*, uint16_t values[], uint8_t* buffer, uint32_t)
{
    values[0] = values[1] = values[2] = 0x1234;
    return buffer + 1;
}

Formatter constantFactory(uint32_t format, FormatterDirection dir, uint32_t flags)
{
    Formatter f{nullptr, nullptr};
    if (dir == FormatterInput && !(flags & FormatterFlagFloat) && formatBytes(format) == 3) f.fmt16 = unpackConstant;
    return f;
}

TEST_F(Formatters, PluginFormattersComeFirst)
{
    PluginFormatters plugin{{PluginMagic, 2160, PluginFormattersSig, nullptr}, constantFactory};
    ASSERT_TRUE(registerPlugins(ctx, &plugin));
    const uint32_t odd = pixelFormat(PixelRgb, 3, 3);
    const uint8_t in[2] = {0, 0};
    EXPECT_EQ(run<uint16_t>(identity(3, odd, FormatRgb16), in, 6, 2),
              (std::vector<uint16_t>{0x1234, 0x1234, 0x1234, 0x1234, 0x1234, 0x1234}));
}

// ---------------------------------------------------------------------------
// Colour spaces
// ---------------------------------------------------------------------------

TEST(PixelSpaces, SignaturesMapToCodesAndChannels)
{
    struct Row {
        const char* space;
        uint32_t code, channels;
    };
    const Row rows[] = {{"GRAY", 3, 1},  {"RGB ", 4, 3},  {"CMY ", 5, 3},  {"CMYK", 6, 4},  {"YCbr", 7, 3},
                        {"Luv ", 8, 3},  {"XYZ ", 9, 3},  {"Lab ", 10, 3}, {"HSV ", 12, 3}, {"HLS ", 13, 3},
                        {"Yxy ", 14, 3}, {"1CLR", 15, 1}, {"2CLR", 16, 2}, {"6CLR", 20, 6}, {"FCLR", 29, 15},
                        {"MCH2", 16, 2}, {"MCH9", 23, 9}, {"MCHF", 29, 15}};
    for (const Row& r : rows) {
        const uint32_t s = sig(*reinterpret_cast<const char(*)[5]>(r.space));
        EXPECT_EQ(pixelSpaceOf(s), r.code) << r.space;
        bool known = false;
        EXPECT_EQ(channelsOfSpace(s, &known), r.channels) << r.space;
        EXPECT_TRUE(known);
    }
    bool known = true;
    EXPECT_EQ(channelsOfSpace(sig("zzzz"), &known), 3u);
    EXPECT_FALSE(known);
    EXPECT_EQ(formatForSpace(sig("CMYK"), 2, false), FormatCmyk16);
    EXPECT_EQ(formatForSpace(sig("Lab "), 0, true), FormatLabDouble);
    EXPECT_EQ(FormatLabDouble, 0x4A0018u);
}

} // namespace
