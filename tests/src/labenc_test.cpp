// Tables that cross between profile versions keep their colours: a table is
// re-encoded for the Lab encoding of the type it is written as ('mft2' holds
// version-2 Lab, the other types version-4 Lab).
#include "osl.h"
#include "profile_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

using namespace testbytes;

namespace {

constexpr char PressLab[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";   // v2, Lab PCS

using Profile = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using PipelinePtr = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

Profile adopt(IccProfile* p)
{
    return Profile(p, &closeProfile);
}

Bytes saved(IccProfile* p)
{
    uint32_t size = 0;
    EXPECT_TRUE(saveToMemory(p, nullptr, &size));
    Bytes out(size);
    EXPECT_TRUE(saveToMemory(p, out.data(), &size));
    return out;
}

Profile reopen(const Bytes& b)
{
    return adopt(openFromMemory(b.data(), uint32_t(b.size())));
}

uint32_t typeOf(IccProfile* p, uint32_t tag)
{
    loadTag(p, tag);
    return linkedTypeOf(p, tag);
}

// Normalised pipeline values (L/100, (a + 128)/255, (b + 128)/255) and Lab.
CieLab toLab(const float v[3])
{
    return {v[0] * 100.0, v[1] * 255.0 - 128.0, v[2] * 255.0 - 128.0};
}

void fromLab(const CieLab& lab, float v[3])
{
    v[0] = float(lab.L / 100.0);
    v[1] = float((lab.a + 128.0) / 255.0);
    v[2] = float((lab.b + 128.0) / 255.0);
}

double distance(const CieLab& x, const CieLab& y)
{
    return std::sqrt((x.L - y.L) * (x.L - y.L) + (x.a - y.a) * (x.a - y.a) + (x.b - y.b) * (x.b - y.b));
}

// CMYK → Lab through a profile's device-to-PCS table for an intent.
CieLab deviceToLab(IccProfile* p, uint32_t intent, const float cmyk[4])
{
    PipelinePtr lut(inputPipelineOf(p, intent), &freePipeline);
    EXPECT_TRUE(lut);
    float out[3] = {};
    if (lut) evalPipelineFloat(cmyk, out, lut.get());
    return toLab(out);
}

// The largest difference between two Lab-to-CMYK pipelines over a Lab grid
// (L* 0 … 100, a* and b* within ±abMax), in device units 0 … 1.
double largestInkChange(const Pipeline* x, const Pipeline* y, double lStep, double abMax, double abStep)
{
    double worst = 0;
    for (double L = 0; L <= 100; L += lStep)
        for (double a = -abMax; a <= abMax; a += abStep)
            for (double b = -abMax; b <= abMax; b += abStep) {
                float in[3], u[4], v[4];
                fromLab({L, a, b}, in);
                evalPipelineFloat(in, u, x);
                evalPipelineFloat(in, v, y);
                for (int c = 0; c < 4; ++c) worst = std::max(worst, double(std::fabs(u[c] - v[c])));
            }
    return worst;
}

// The corner nodes of the file's 'mft2' A2B0, decoded by hand in the
// version-2 encoding (L = w / 652.8, a = w / 256 - 128). The input tables
// keep 0 and 1, the output tables are identities, so these are the colours
// of the CMYK corners.
struct Corner {
    float cmyk[4];
    CieLab lab;
};

std::vector<Corner> rawCorners(const Bytes& file)
{
    uint32_t at = 0;
    for (const Entry& e : directory(file))
        if (e.sig == fourcc("A2B0")) at = e.offset;
    EXPECT_EQ(be32(file, at), fourcc("mft2"));
    const uint32_t inputs = file[at + 8], outputs = file[at + 9], grid = file[at + 10];
    EXPECT_EQ(inputs, 4u);
    EXPECT_EQ(outputs, 3u);
    const uint32_t inEntries = be16(file, at + 48), outEntries = be16(file, at + 50);
    const size_t inTables = at + 52;
    for (uint32_t c = 0; c < inputs; ++c) {
        EXPECT_EQ(be16(file, inTables + 2 * (c * inEntries)), 0);
        EXPECT_EQ(be16(file, inTables + 2 * (c * inEntries + inEntries - 1)), 0xFFFF);
    }
    const size_t clut = inTables + 2 * size_t(inputs) * inEntries;
    const size_t outTables = clut + 2 * size_t(grid * grid * grid * grid) * outputs;
    EXPECT_EQ(outEntries, 2u);
    for (uint32_t c = 0; c < outputs; ++c) {
        EXPECT_EQ(be16(file, outTables + 4 * c), 0);
        EXPECT_EQ(be16(file, outTables + 4 * c + 2), 0xFFFF);
    }
    std::vector<Corner> corners;
    for (uint32_t k = 0; k < 16; ++k) {
        Corner c{};
        size_t node = 0;
        for (uint32_t i = 0; i < 4; ++i) {
            const uint32_t bit = (k >> (3 - i)) & 1;
            c.cmyk[i] = float(bit);
            node = node * grid + bit * (grid - 1);
        }
        const size_t v = clut + 2 * node * outputs;
        c.lab = {be16(file, v) / 652.8, be16(file, v + 2) / 256.0 - 128.0, be16(file, v + 4) / 256.0 - 128.0};
        corners.push_back(c);
    }
    return corners;
}

// Every table of a version-2 press profile, loaded and written again at
// version 4.3, gives the colours it gave: paper white stays L* 100.
TEST(LabEncodingTest, Version2TablesWrittenAtVersion4KeepTheirColours)
{
    const Bytes file = readFile(PressLab);
    ASSERT_GT(file.size(), 128u) << PressLab << " is missing";
    Profile original = reopen(file);
    Profile p = reopen(file);
    ASSERT_TRUE(original && p);
    for (const char* tag : {"A2B0", "A2B1", "A2B2", "B2A0", "B2A1", "B2A2"}) ASSERT_TRUE(loadTag(p.get(), fourcc(tag)));
    setVersionFromNumber(p.get(), 4.3);
    Profile v4 = reopen(saved(p.get()));
    ASSERT_TRUE(v4);
    EXPECT_EQ(typeOf(v4.get(), sig("A2B0")), sig("mAB "));
    EXPECT_EQ(typeOf(v4.get(), sig("B2A0")), sig("mBA "));

    const std::vector<Corner> corners = rawCorners(file);
    ASSERT_EQ(corners.size(), 16u);
    EXPECT_NEAR(corners[0].lab.L, 100.0, 1e-9);   // paper white as stored
    for (uint32_t intent = 0; intent < 3; ++intent)
        for (const Corner& c : corners)
            EXPECT_LT(distance(deviceToLab(v4.get(), intent, c.cmyk), c.lab), 0.01)
                << "intent " << intent << " CMYK " << c.cmyk[0] << c.cmyk[1] << c.cmyk[2] << c.cmyk[3];

    // Inside the grid as well, and the PCS-to-device tables.
    double worstLab = 0, worstInk = 0;
    for (uint32_t i = 0; i < 7 * 7 * 7 * 7; ++i) {
        const float cmyk[4] = {float(i % 7) / 6, float(i / 7 % 7) / 6, float(i / 49 % 7) / 6, float(i / 343) / 6};
        worstLab = std::max(worstLab, distance(deviceToLab(v4.get(), 0, cmyk), deviceToLab(original.get(), 0, cmyk)));
    }
    for (uint32_t intent = 0; intent < 3; ++intent) {
        PipelinePtr before(outputPipelineOf(original.get(), intent), &freePipeline);
        PipelinePtr after(outputPipelineOf(v4.get(), intent), &freePipeline);
        ASSERT_TRUE(before && after);
        worstInk = std::max(worstInk, largestInkChange(before.get(), after.get(), 12.5, 96, 24));
    }
    EXPECT_LT(worstLab, 0.01);
    EXPECT_LT(worstInk, 1e-4);
}

// A table made for version 2 (Lab in at the version-2 encoding) written at
// version 4 maps each colour to the same device values.
TEST(LabEncodingTest, Version2LabInputTableWrittenAtVersion4)
{
    Profile press = adopt(openFromFile(nullptr, PressLab, "r"));
    Profile lab = adopt(createLabIdentityV4(nullptr, nullptr));
    ASSERT_TRUE(press && lab);
    IccProfile* chain[2] = {lab.get(), press.get()};
    std::unique_ptr<Transform, decltype(&deleteTransform)> t{
        createMultiTransform(nullptr, chain, 2, 0, 0, IntentPerceptual, 0x144), &deleteTransform};
    ASSERT_TRUE(t);
    Profile link = adopt(transformToDeviceLink(t.get(), 2.1, (33u << 16) | 0x31));
    ASSERT_TRUE(link);
    Profile v2 = reopen(saved(link.get()));
    ASSERT_TRUE(v2);
    EXPECT_EQ(typeOf(v2.get(), sig("B2A0")), sig("mft2"));
    setVersionFromNumber(v2.get(), 4.3);
    Profile v4 = reopen(saved(v2.get()));
    ASSERT_TRUE(v4);
    EXPECT_EQ(typeOf(v4.get(), sig("B2A0")), sig("mBA "));

    Profile v2again = reopen(saved(link.get()));
    PipelinePtr before(outputPipelineOf(v2again.get(), 0), &freePipeline);
    PipelinePtr after(outputPipelineOf(v4.get(), 0), &freePipeline);
    std::unique_ptr<Transform, decltype(&deleteTransform)> exact{
        createMultiTransform(nullptr, chain, 2, FormatLabDouble, FormatCmykDouble, IntentPerceptual, 0x144),
        &deleteTransform};
    ASSERT_TRUE(before && after && exact);
    EXPECT_LT(largestInkChange(before.get(), after.get(), 10, 80, 20), 2e-4);   // the re-encoded input curves
    double worstExact = 0;
    for (double L = 20; L <= 100; L += 10)
        for (double a = -40; a <= 40; a += 20)
            for (double b = -40; b <= 40; b += 20) {
                float in[3], y[4];
                fromLab({L, a, b}, in);
                evalPipelineFloat(in, y, after.get());
                const double lab3[3] = {L, a, b};
                double ink[4];
                doTransform(exact.get(), lab3, ink, 1);
                for (int c = 0; c < 4; ++c) worstExact = std::max(worstExact, std::fabs(y[c] * 100.0 - ink[c]));
            }
    EXPECT_LT(worstExact, 3.0);    // percent ink inside the gamut: the 33-point table against the chain
    // Paper white takes no ink.
    float white[3], ink[4];
    fromLab({100, 0, 0}, white);
    evalPipelineFloat(white, ink, after.get());
    for (float v : ink) EXPECT_LT(v, 0.005f);
}

// A table built in the version-4 encoding and stored in a version-2 profile
// works as built in memory and after it is written as 'mft2'.
TEST(LabEncodingTest, Version4TableInAVersion2Profile)
{
    // The affine look (0.9 L + 5, 0.8 a + 10, 0.8 b - 5): trilinear
    // interpolation reproduces it exactly, so only the encodings can err.
    const auto look = [](const CieLab& in) { return CieLab{0.9 * in.L + 5, 0.8 * in.a + 10, 0.8 * in.b - 5}; };
    Profile p = adopt(createBlankProfile(nullptr));
    ASSERT_TRUE(p);
    setProfileDeviceClass(p.get(), ClassAbstract);
    setProfileColorSpace(p.get(), SpaceLab);
    setProfilePcs(p.get(), SpaceLab);
    setVersionFromNumber(p.get(), 2.1);
    PipelinePtr table(newPipeline(nullptr, 3, 3), &freePipeline);
    Stage* clut = newClut16StageUniform(nullptr, 9, 3, 3, nullptr);
    ASSERT_TRUE(table && clut);
    ASSERT_TRUE(sampleClut16(
        clut,
        [](const uint16_t in[], uint16_t out[], void*) {
            const CieLab lab{in[0] / 655.35, in[1] / 257.0 - 128, in[2] / 257.0 - 128};
            const CieLab o{0.9 * lab.L + 5, 0.8 * lab.a + 10, 0.8 * lab.b - 5};
            out[0] = uint16_t(std::lround(o.L * 655.35));
            out[1] = uint16_t(std::lround((o.a + 128) * 257));
            out[2] = uint16_t(std::lround((o.b + 128) * 257));
            return true;
        },
        nullptr, 0));
    ASSERT_TRUE(insertStage(table.get(), AtEnd, clut));
    ASSERT_TRUE(storeTag(p.get(), sig("A2B0"), table.get()));

    const Bytes bytes = saved(p.get());
    Profile back = reopen(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(typeOf(back.get(), sig("A2B0")), sig("mft2"));
    std::mt19937 random(16);
    std::uniform_real_distribution<double> L(0, 100), ab(-100, 100);
    for (IccProfile* profile : {p.get(), back.get()}) {
        PipelinePtr lut(inputPipelineOf(profile, 0), &freePipeline);
        ASSERT_TRUE(lut);
        double worst = 0;
        for (int i = 0; i < 2000; ++i) {
            const CieLab in{L(random), ab(random), ab(random)};
            float v[3], out[3];
            fromLab(in, v);
            evalPipelineFloat(v, out, lut.get());
            worst = std::max(worst, distance(toLab(out), look(in)));
        }
        EXPECT_LT(worst, 0.02) << (profile == p.get() ? "in memory" : "written");
    }
}

}   // namespace
