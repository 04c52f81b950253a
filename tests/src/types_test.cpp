// Tag types: byte layouts against hand-written bytes, round trips through
// profiles of version 2 and 4, the type chosen for each version, the limits
// and messages of the readers and writers, plug-in types, and every tag of
// every installed profile.
#include "oslinternal.h"
#include "tag_objects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <tuple>
#include <string>
#include <vector>

using namespace testbytes;
using namespace tagtest;

namespace {

class TypesTest : public TagTypesTest {};

// ---------------------------------------------------------------------------
// Building blocks
// ---------------------------------------------------------------------------

using OwnedText = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;
using OwnedCurve = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using OwnedPipeline = std::unique_ptr<Pipeline, decltype(&freePipeline)>;

Bytes be16s(std::initializer_list<uint16_t> values)
{
    Bytes b;
    for (uint16_t v : values) {
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
    }
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes be32s(std::initializer_list<uint32_t> values)
{
    Bytes b;
    for (uint32_t v : values) append32(b, v);
    return b;
}

Bytes chars(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// A profile of one tag holding `data` (type base included).
Bytes oneTagProfile(uint32_t tag, const Bytes& data, uint32_t version = 0x04300000)
{
    ProfileBuilder b;
    b.version = version;
    b.tag(tag, b.addData(data));
    return b.build();
}

OwnedCurve gamma(EngineContext* ctx, double g)
{
    return OwnedCurve(buildGammaCurve(ctx, g), &freeCurve);
}

OwnedCurve parametric(EngineContext* ctx, int32_t type, std::initializer_list<double> params)
{
    std::vector<double> p(params);
    p.resize(10);
    return OwnedCurve(buildParametricCurve(ctx, type, p.data()), &freeCurve);
}

// sRGB's curve: ICC function type 3, engine type 4.
OwnedCurve srgbCurve(EngineContext* ctx)
{
    return parametric(ctx, 4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045});
}

Stage* curves(EngineContext* ctx, uint32_t n, const ToneCurve* c)
{
    std::vector<const ToneCurve*> list(n, c);
    return newCurvesStage(ctx, n, list.data());
}

// A 16-bit CLUT whose outputs are smooth mixes of the node's coordinates.
Stage* clut(EngineContext* ctx, std::vector<uint32_t> grid, uint32_t outputs)
{
    const uint32_t inputs = uint32_t(grid.size());
    Stage* s = newClut16Stage(ctx, grid.data(), inputs, outputs, nullptr);
    uint16_t* t = clutTable16(s);
    const uint32_t nodes = clutEntryCount(s) / outputs;
    for (uint32_t node = 0; node < nodes; ++node) {
        double x[16];
        for (uint32_t i = inputs, rest = node; i-- > 0; rest /= grid[i]) x[i] = double(rest % grid[i]) / (grid[i] - 1);
        for (uint32_t o = 0; o < outputs; ++o) {
            const double v = 0.5 * x[o % inputs] + 0.3 * x[(o + 1) % inputs] + 0.2 * x[(o + 2) % inputs] * x[o % inputs];
            t[node * outputs + o] = uint16_t(v * 65535 + 0.5);
        }
    }
    return s;
}

OwnedPipeline pipeline(EngineContext* ctx, uint32_t inputs, uint32_t outputs, std::initializer_list<Stage*> stages)
{
    OwnedPipeline p(newPipeline(ctx, inputs, outputs), &freePipeline);
    for (Stage* s : stages) EXPECT_TRUE(insertStage(p.get(), AtEnd, s));
    return p;
}

// [A curves, CLUT, B curves] of 3 inputs and `outputs` outputs.
OwnedPipeline curvesClutCurves(EngineContext* ctx, std::vector<uint32_t> grid, uint32_t outputs)
{
    // Parameters that s15Fixed16 holds exactly; continuous at 0.25.
    OwnedCurve g = gamma(ctx, 1.75);
    OwnedCurve s = parametric(ctx, 4, {2, 0.5, 0.5, 1.5625, 0.25});
    const uint32_t inputs = uint32_t(grid.size());
    return pipeline(ctx, inputs, outputs,
                    {curves(ctx, inputs, g.get()), clut(ctx, grid, outputs), curves(ctx, outputs, s.get())});
}

OwnedText text(EngineContext* ctx, std::initializer_list<std::tuple<const char*, const char*, const char*>> entries)
{
    OwnedText t(newLocalizedText(ctx, 2), &freeLocalizedText);
    for (auto [language, country, s] : entries) EXPECT_TRUE(setTextUtf8(t.get(), language, country, s));
    return t;
}

// ---------------------------------------------------------------------------
// Byte layouts, written out by hand
// ---------------------------------------------------------------------------

TEST_F(TypesTest, WrittenBytesFollowTheIccLayouts)
{
    OwnedCurve g22 = gamma(ctx, 2.2);
    const uint16_t three[] = {0x0000, 0x8000, 0xFFFF};
    OwnedCurve table(buildTabulatedCurve16(ctx, 3, three), &freeCurve);
    const CieXyz xyz{0.5, 1.0, -0.25};
    OwnedText hello = text(ctx, {{"en", "US", "Hi"}, {"de", "DE", "Hallo"}});
    OwnedText ab = text(ctx, {{"", "", "ab"}});
    OwnedText abc = text(ctx, {{"", "", "abc"}});

    struct Case {
        const char* name;
        double version;
        uint32_t tag;
        const void* object;
        Bytes expected;
    };
    const Case cases[] = {
        // Gamma 2.2 in u8Fixed8 is 2.2 × 256 = 563.2 → 0x0233.
        {"v2 gamma as curv", 2.1, sig("rTRC"), g22.get(), tagData(sig("curv"), be32s({1}) + be16s({0x0233}))},
        // ICC function type 0 with g = 2.2 × 65536 = 144179.2 → 0x00023333.
        {"v4 gamma as para", 4.3, sig("rTRC"), g22.get(), tagData(sig("para"), be16s({0, 0}) + be32s({0x00023333}))},
        {"table as curv", 4.3, sig("gTRC"), table.get(),
         tagData(sig("curv"), be32s({3}) + be16s({0x0000, 0x8000, 0xFFFF}))},
        {"XYZ", 4.3, sig("wtpt"), &xyz, tagData(sig("XYZ "), be32s({0x8000, 0x10000, 0xFFFFC000}))},
        // Records of 12 bytes; texts start after 16 + 2 × 12 = 40 bytes.
        {"mluc", 4.3, sig("desc"), hello.get(),
         tagData(sig("mluc"), be32s({2, 12}) + chars("enUS") + be32s({4, 40}) + chars("deDE") + be32s({10, 44}) +
                                  be16s({'H', 'i', 'H', 'a', 'l', 'l', 'o'}))},
        {"text", 2.1, sig("cprt"), abc.get(), tagData(sig("text"), chars("abc") + Bytes{0})},
        // ASCII with its NUL, Unicode of as many characters with its 0, an
        // empty ScriptCode, padded to 100 bytes (3 × 2 + 93 = 99).
        {"desc", 2.1, sig("desc"), ab.get(),
         tagData(sig("desc"), be32s({3}) + chars("ab") + Bytes{0} + be32s({0, 3}) + be16s({'a', 'b', 0}) +
                                  be16s({0}) + Bytes(1 + 67 + 1, 0))},
    };
    for (const Case& c : cases) {
        ProfilePtr p = blank(c.version);
        ASSERT_TRUE(storeTag(p.get(), c.tag, c.object)) << c.name;
        const Bytes saved = save(p.get());
        EXPECT_EQ(tagBytes(saved, c.tag), c.expected) << c.name;
    }
    EXPECT_TRUE(reports().empty()) << reportText();
}

TEST_F(TypesTest, LutTablesFollowTheIccLayouts)
{
    // One channel: identity input curve, a two-node CLUT, identity output curve.
    const uint16_t nodes[] = {0x1000, 0xF000};
    OwnedPipeline lut = pipeline(ctx, 1, 1,
                                 {newCurvesStage(ctx, 1, nullptr), newClut16StageUniform(ctx, 2, 1, 1, nodes),
                                  newCurvesStage(ctx, 1, nullptr)});
    ProfilePtr v2 = blank(2.1);
    ASSERT_TRUE(storeTag(v2.get(), sig("A2B0"), lut.get()));
    const Bytes identity = be32s({0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x10000});
    EXPECT_EQ(tagBytes(save(v2.get()), sig("A2B0")),
              tagData(sig("mft2"), Bytes{1, 1, 2, 0} + identity + be16s({2, 2, 0, 0xFFFF, 0x1000, 0xF000, 0, 0xFFFF})));

    setPipelineSaveAs8Bits(lut.get(), true);
    ASSERT_TRUE(storeTag(v2.get(), sig("A2B0"), lut.get()));
    Bytes ramp(256);
    for (int i = 0; i < 256; ++i) ramp[i] = uint8_t(i);
    // 0x1000 → (4096 × 65281 + 0x800000) >> 24 = 16; 0xF000 → 239.
    EXPECT_EQ(tagBytes(save(v2.get()), sig("A2B0")),
              tagData(sig("mft1"), Bytes{1, 1, 2, 0} + identity + ramp + Bytes{16, 239} + ramp));

    // Version 4: [B curves] of gamma 2.2 as 'mAB ' with the curve at 32.
    OwnedCurve g22 = gamma(ctx, 2.2);
    OwnedPipeline b = pipeline(ctx, 1, 1, {curves(ctx, 1, g22.get())});
    ProfilePtr v4 = blank(4.3);
    ASSERT_TRUE(storeTag(v4.get(), sig("A2B0"), b.get()));
    EXPECT_EQ(tagBytes(save(v4.get()), sig("A2B0")),
              tagData(sig("mAB "), Bytes{1, 1, 0, 0} + be32s({32, 0, 0, 0, 0}) +
                                       tagData(sig("para"), be16s({0, 0}) + be32s({0x00023333}))));
    EXPECT_TRUE(reports().empty()) << reportText();
}

uint32_t floatBits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

TEST_F(TypesTest, MultiProcessElementsFollowTheIccLayout)
{
    // A curve set of one segmented curve: the identity up to 0.5, samples
    // up to 1 (the first point is where the identity ends), then 1.
    const uint32_t one = floatBits(1), half = floatBits(0.5f), p6 = floatBits(0.6f);
    const Bytes curf = tagData(sig("curf"), be16s({3, 0}) + be32s({half, one}) +
                                                tagData(sig("parf"), be16s({0, 0}) + be32s({one, one, 0, 0})) +
                                                tagData(sig("samf"), be32s({2, p6, one})) +
                                                tagData(sig("parf"), be16s({0, 0}) + be32s({one, 0, 0, one})));
    const Bytes cvst = tagData(sig("cvst"), be16s({1, 1}) + be32s({20, uint32_t(curf.size())}) + curf);
    const Bytes mpet = tagData(sig("mpet"), be16s({1, 1}) + be32s({1, 24, uint32_t(cvst.size())}) + cvst);
    ASSERT_EQ(mpet.size(), 140u);

    ProfilePtr p = open(oneTagProfile(sig("D2B0"), mpet));
    auto* read = static_cast<Pipeline*>(loadTag(p.get(), sig("D2B0")));
    ASSERT_NE(read, nullptr) << reportText();
    const ToneCurve* curve = stageCurves(pipelineFirstStage(read))[0];
    for (auto [x, y] : {std::pair{0.25f, 0.25f}, {0.5f, 0.5f}, {0.625f, 0.55f}, {0.875f, 0.8f}, {2.0f, 1.0f}})
        EXPECT_NEAR(evalCurveFloat(curve, x), y, 1e-6) << x;

    // The same curve built by hand writes the same bytes.
    const float samples[3] = {0.5f, 0.6f, 1.0f};
    const CurveSegment pieces[3] = {{MinusInfinity, 0.5f, 6, {1, 1, 0, 0}, 0, nullptr},
                                    {0.5f, 1.0f, 0, {}, 3, const_cast<float*>(samples)},
                                    {1.0f, PlusInfinity, 6, {1, 0, 0, 1}, 0, nullptr}};
    OwnedCurve built(buildSegmentedCurve(ctx, 3, pieces), &freeCurve);
    OwnedPipeline lut = pipeline(ctx, 1, 1, {curves(ctx, 1, built.get())});
    ProfilePtr out = blank(4.3);
    ASSERT_TRUE(storeTag(out.get(), sig("D2B0"), lut.get()));
    EXPECT_EQ(tagBytes(save(out.get()), sig("D2B0")), mpet);
    EXPECT_TRUE(reports().empty()) << reportText();
}

// ---------------------------------------------------------------------------
// Reading hand-made tags
// ---------------------------------------------------------------------------

TEST_F(TypesTest, CurvesReadAsTheirBytesSay)
{
    struct Case {
        const char* name;
        Bytes data;
        double (*expected)(double);
    };
    const Case cases[] = {
        {"curv count 0 is the identity", tagData(sig("curv"), be32s({0})), [](double x) { return x; }},
        {"curv count 1 is a gamma", tagData(sig("curv"), be32s({1}) + be16s({0x0233})),
         [](double x) { return std::pow(x, 563 / 256.0); }},
        {"para type 0", tagData(sig("para"), be16s({0, 0}) + be32s({0x00020000})),
         [](double x) { return x * x; }},
        // Y = (0.5·X + 0.5)^2 for X ≥ -1.
        {"para type 1", tagData(sig("para"), be16s({1, 0}) + be32s({0x20000, 0x8000, 0x8000})),
         [](double x) { return std::pow(0.5 * x + 0.5, 2); }},
        // Y = (X)^2 + 0.25 above 0, 0.25 below; at 0 the base is not positive, so 0.
        {"para type 2", tagData(sig("para"), be16s({2, 0}) + be32s({0x20000, 0x10000, 0, 0x4000})),
         [](double x) { return x > 0 ? x * x + 0.25 : 0.0; }},
        // Y = X^2 from 0.5, 0.5·X below.
        {"para type 3", tagData(sig("para"), be16s({3, 0}) + be32s({0x20000, 0x10000, 0, 0x8000, 0x8000})),
         [](double x) { return x >= 0.5 ? x * x : 0.5 * x; }},
        // Y = X^2 + 0.125 from 0.5, 0.5·X + 0.0625 below.
        {"para type 4",
         tagData(sig("para"), be16s({4, 0}) + be32s({0x20000, 0x10000, 0, 0x8000, 0x8000, 0x2000, 0x1000})),
         [](double x) { return x >= 0.5 ? x * x + 0.125 : 0.5 * x + 0.0625; }},
    };
    for (const Case& c : cases) {
        ProfilePtr p = open(oneTagProfile(sig("rTRC"), c.data));
        auto* curve = static_cast<ToneCurve*>(loadTag(p.get(), sig("rTRC")));
        ASSERT_NE(curve, nullptr) << c.name << reportText();
        for (double x = 0.0; x <= 1.0; x += 1.0 / 64) EXPECT_NEAR(evalCurveFloat(curve, float(x)), c.expected(x), 1e-5) << c.name << " at " << x;
    }

    const uint16_t entries[] = {0, 0x1000, 0x4000, 0xFFFF};
    ProfilePtr p = open(oneTagProfile(sig("kTRC"), tagData(sig("curv"), be32s({4}) + be16s({0, 0x1000, 0x4000, 0xFFFF}))));
    auto* table = static_cast<ToneCurve*>(loadTag(p.get(), sig("kTRC")));
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(tableEntryCount(table), 4u);
    EXPECT_TRUE(std::equal(entries, entries + 4, tableEntries(table)));
    EXPECT_TRUE(reports().empty()) << reportText();
}

TEST_F(TypesTest, MalformedTagsGiveTheirMessageAndNoObject)
{
    Bytes longCurv = tagData(sig("curv"), be32s({32768}));
    longCurv.resize(longCurv.size() + 2 * 32768);
    Bytes shortMft2 = tagData(sig("mft2"), Bytes{3, 3, 1, 0} + Bytes(36, 0) + be16s({2, 2}));
    Bytes bigDict = tagData(sig("dict"), be32s({1, 20}) + Bytes(20, 0));
    Bytes noName = tagData(sig("dict"), be32s({1, 16, 0, 0, 0, 0}));
    struct Case {
        const char* name;
        uint32_t tag;
        Bytes data;
        std::vector<std::string> messages;   // in order; the last is the container's
    };
    const std::vector<Case> cases = {
        {"para type 5", sig("rTRC"), tagData(sig("para"), be16s({5, 0}) + be32s({0x10000})),
         {"Unknown parametric curve type '5'", "Corrupted tag 'rTRC'"}},
        {"curv of 32768 entries", sig("rTRC"), longCurv, {"Corrupted tag 'rTRC'"}},
        {"mluc record of 16 bytes", sig("desc"), tagData(sig("mluc"), be32s({1, 16}) + Bytes(16, 0)),
         {"multiLocalizedUnicodeType of len != 12 is not supported.", "Corrupted tag 'desc'"}},
        {"mft2 grid of one point", sig("A2B0"), shortMft2, {"Corrupted tag 'A2B0'"}},
        {"dict record of 20 bytes", sig("meta"), bigDict,
         {"Unknown record length in dictionary '20'", "Corrupted tag 'meta'"}},
        {"dict entry without name", sig("meta"), noName, {"Bad dictionary Name/Value", "Corrupted tag 'meta'"}},
        {"clrt of 17 colorants", sig("clrt"), tagData(sig("clrt"), be32s({17}) + Bytes(17 * 38, 0)),
         {"Too many colorants '17'", "Corrupted tag 'clrt'"}},
        {"ncl2 of 17 coordinates", sig("ncl2"), tagData(sig("ncl2"), be32s({0, 1, 17}) + Bytes(64 + 72, 0)),
         {"Too many device coordinates '17'", "Corrupted tag 'ncl2'"}},
        {"ncl2 of 65537 colours", sig("ncl2"), tagData(sig("ncl2"), be32s({0, 65537, 0}) + Bytes(64 + 38, 0)),
         {"Too many named colors '65537'", "Corrupted tag 'ncl2'"}},
        {"vcgt of 2 channels", sig("vcgt"), tagData(sig("vcgt"), be32s({0}) + be16s({2, 256, 2})),
         {"Unsupported number of channels for VCGT '2'", "Corrupted tag 'vcgt'"}},
        {"vcgt of 3 bytes", sig("vcgt"), tagData(sig("vcgt"), be32s({0}) + be16s({3, 2, 3}) + Bytes(18, 0)),
         {"Unsupported bit depth for VCGT '24'", "Corrupted tag 'vcgt'"}},
        {"vcgt of form 2", sig("vcgt"), tagData(sig("vcgt"), be32s({2}) + Bytes(36, 0)),
         {"Unsupported tag type for VCGT '2'", "Corrupted tag 'vcgt'"}},
        {"mpet of an unknown element", sig("D2B0"),
         tagData(sig("mpet"), be16s({1, 1}) + be32s({1, 24, 12}) + tagData(sig("bACS"), be16s({1, 1}))),
         {"Unknown MPE type 'bACS' found.", "Corrupted tag 'D2B0'"}},
        {"mAB CLUT of precision 3", sig("A2B0"),
         tagData(sig("mAB "), Bytes{1, 1, 0, 0} + be32s({0, 0, 0, 32, 0}) + Bytes{2} + Bytes(15, 0) +
                                  Bytes{3, 0, 0, 0} + be16s({0, 0xFFFF})),
         {"Unknown precision of '3'", "Corrupted tag 'A2B0'"}},
        {"mAB curve of type XYZ", sig("A2B0"),
         tagData(sig("mAB "), Bytes{1, 1, 0, 0} + be32s({32, 0, 0, 0, 0}) + xyzTag(1, 1, 1)),
         {"Unknown curve type 'XYZ '", "Corrupted tag 'A2B0'"}},
        {"cvst segment of kind 'junk'", sig("D2B0"),
         tagData(sig("mpet"), be16s({1, 1}) + be32s({1, 24, 44}) +
                                  tagData(sig("cvst"), be16s({1, 1}) + be32s({20, 24}) +
                                                           tagData(sig("curf"), be16s({1, 0}) + chars("junk") +
                                                                                    be32s({0, 0, 0})))),
         {"Unknown curve element type 'junk' found.", "Corrupted tag 'D2B0'"}},
    };
    for (const Case& c : cases) {
        ProfilePtr p = open(oneTagProfile(c.tag, c.data));
        ASSERT_TRUE(p) << c.name;
        reports().clear();
        EXPECT_EQ(loadTag(p.get(), c.tag), nullptr) << c.name;
        std::vector<std::string> got;
        for (const Report& r : reports()) got.push_back(r.text);
        EXPECT_EQ(got, c.messages) << c.name;
    }
}

// An 'mpet' of 1 channel whose elements all share one CLUT of 255 points.
Bytes sharedClutMpet(uint32_t elements)
{
    Bytes clutElement = tagData(sig("clut"), be16s({1, 1}) + Bytes{255} + Bytes(15, 0));
    for (int i = 0; i < 255; ++i) append32(clutElement, 0x3F000000);   // 0.5f
    const uint32_t at = 16 + 8 * elements;
    Bytes table;
    for (uint32_t i = 0; i < elements; ++i) table = table + be32s({at, uint32_t(clutElement.size())});
    return tagData(sig("mpet"), be16s({1, 1}) + be32s({elements}) + table + clutElement);
}

TEST_F(TypesTest, PartsSharedOutOfAllProportionAreRefused)
{
    // Two elements on one CLUT read; eight would read the CLUT eight times
    // from a tag hardly larger than one.
    ProfilePtr two = open(oneTagProfile(sig("D2B0"), sharedClutMpet(2)));
    auto* lut = static_cast<Pipeline*>(loadTag(two.get(), sig("D2B0")));
    ASSERT_NE(lut, nullptr) << reportText();
    EXPECT_EQ(pipelineStageCount(lut), 2u);
    ProfilePtr eight = open(oneTagProfile(sig("D2B0"), sharedClutMpet(8)));
    EXPECT_EQ(loadTag(eight.get(), sig("D2B0")), nullptr);
    expectOnly(ErrCorruptionDetected, "Corrupted tag 'D2B0'");

    // Eight dictionary names on one string of 200 bytes.
    reports().clear();
    Bytes records;
    for (int i = 0; i < 8; ++i) records = records + be32s({144, 200, 0, 0});
    ProfilePtr dict = open(oneTagProfile(sig("meta"), tagData(sig("dict"), be32s({8, 16}) + records + Bytes(200, 0x41))));
    EXPECT_EQ(loadTag(dict.get(), sig("meta")), nullptr);
    ASSERT_EQ(reports().size(), 2u) << reportText();
    EXPECT_EQ(reports()[0].text, "Bad dictionary Name/Value");
}

TEST_F(TypesTest, BrokenAliasesReadLikeTheirTypes)
{
    ProfileBuilder b;
    b.tag(sig("wtpt"), b.addData(tagData(0x17A505B8, be32s({0x8000, 0x10000, 0x4000}))));
    b.tag(sig("rTRC"), b.addData(tagData(0x9478EE00, be32s({1}) + be16s({0x0200}))));
    b.tag(sig("kTRC"), b.addData(tagData(0x9478EE00, be32s({1}) + be16s({0x0200}))));   // not taken here
    ProfilePtr p = open(b.build());
    auto* white = static_cast<CieXyz*>(loadTag(p.get(), sig("wtpt")));
    ASSERT_NE(white, nullptr);
    EXPECT_EQ(white->X, 0.5);
    EXPECT_EQ(white->Z, 0.25);
    auto* red = static_cast<ToneCurve*>(loadTag(p.get(), sig("rTRC")));
    ASSERT_NE(red, nullptr);
    EXPECT_NEAR(evalCurveFloat(red, 0.5f), 0.25, 1e-6);
    EXPECT_EQ(loadTag(p.get(), sig("kTRC")), nullptr);
    // Written back as the real types.
    const Bytes saved = save(p.get());
    EXPECT_EQ(be32(tagBytes(saved, sig("wtpt")), 0), sig("XYZ "));
    EXPECT_EQ(be32(tagBytes(saved, sig("rTRC")), 0), sig("para"));
    EXPECT_TRUE(reports().empty()) << reportText();
}

TEST_F(TypesTest, DescKeepsItsAsciiWhenTheUnicodePartIsCutShort)
{
    const Bytes ascii = be32s({6}) + chars("Hello") + Bytes{0};
    struct Case {
        const char* name;
        Bytes data;
        std::string unicode;   // what the Unicode entry holds, "<none>" without one
    };
    const Case cases[] = {
        {"no Unicode part", tagData(sig("desc"), ascii), "Hello"},
        {"Unicode header cut", tagData(sig("desc"), ascii + be32s({0})), "Hello"},
        {"Unicode count past the end", tagData(sig("desc"), ascii + be32s({0, 50}) + be16s({'H', 'i'})), "Hello"},
        {"Unicode without ScriptCode", tagData(sig("desc"), ascii + be32s({0, 3}) + be16s({0xE9, 't', 0})),
         "\xC3\xA9t"},
        {"complete", tagData(sig("desc"), ascii + be32s({0, 3}) + be16s({0xE9, 't', 0}) + Bytes(70, 0)),
         "\xC3\xA9t"},
    };
    for (const Case& c : cases) {
        ProfilePtr p = open(oneTagProfile(sig("desc"), c.data, 0x02100000));
        auto* t = static_cast<LocalizedText*>(loadTag(p.get(), sig("desc")));
        ASSERT_NE(t, nullptr) << c.name;
        EXPECT_EQ(narrow(t, "", ""), "Hello") << c.name;
        EXPECT_EQ(utf8(t, "\xff\xff", "\xff\xff"), c.unicode) << c.name;
        wchar_t wide[16];
        EXPECT_EQ(profileText(p.get(), InfoDescription, "en", "US", wide, 16), 6u) << c.name;
        EXPECT_EQ(std::wstring(wide), L"Hello") << c.name;
    }
    // An ASCII count past the end spoils the tag.
    ProfilePtr bad = open(oneTagProfile(sig("desc"), tagData(sig("desc"), be32s({60}) + chars("Hello")), 0x02100000));
    EXPECT_EQ(loadTag(bad.get(), sig("desc")), nullptr);
}

TEST_F(TypesTest, SequencesOfVersionTwoDescriptionsReadItemByItem)
{
    // Descriptions as other writers make them: no Unicode text, a full
    // ScriptCode part; the second item starts right after the first.
    auto desc = [](const std::string& s) {
        return tagData(sig("desc"), be32s({uint32_t(s.size() + 1)}) + chars(s) + Bytes{0} + be32s({0, 0}) +
                                        Bytes(70, 0));
    };
    auto item = [&](uint32_t model, const std::string& maker, const std::string& name) {
        return be32s({sig("OSTL"), model, 0, 7, sig("CRT ")}) + desc(maker) + desc(name);
    };
    const Bytes data =
        tagData(sig("pseq"), be32s({2}) + item(sig("M001"), "Osterlane", "First") + item(sig("M002"), "Ost", "Second"));
    ProfilePtr p = open(oneTagProfile(sig("pseq"), data, 0x02100000));
    auto* seq = static_cast<ProfileSequence*>(loadTag(p.get(), sig("pseq")));
    ASSERT_NE(seq, nullptr) << reportText();
    ASSERT_EQ(seq->count, 2u);
    EXPECT_EQ(seq->items[1].model, sig("M002"));
    EXPECT_EQ(seq->items[1].attributes, 7u);
    EXPECT_EQ(seq->items[1].technology, sig("CRT "));
    EXPECT_EQ(narrow(seq->items[0].manufacturerText, "", ""), "Osterlane");
    EXPECT_EQ(narrow(seq->items[0].modelText, "", ""), "First");
    EXPECT_EQ(narrow(seq->items[1].manufacturerText, "", ""), "Ost");
    EXPECT_EQ(narrow(seq->items[1].modelText, "", ""), "Second");
}

TEST_F(TypesTest, MalformedMlucGivesNoTextAndNoCrash)
{
    // One record; texts may start at 16 + 12 = 28 from the start of the tag.
    auto mluc = [](uint32_t length, uint32_t offset, size_t poolBytes) {
        Bytes pool(poolBytes, 0x41);
        return tagData(sig("mluc"), be32s({1, 12}) + chars("enUS") + be32s({length, offset}) + pool);
    };
    struct Case {
        const char* name;
        Bytes data;
        bool readable;
    };
    const Case cases[] = {
        {"well formed", mluc(4, 28, 4), true},
        {"odd offset", mluc(4, 29, 5), false},
        {"offset inside the records", mluc(4, 24, 4), false},
        {"length wrapping around", mluc(0xFFFFFFF0u, 28, 4), false},
        {"pool past the end", mluc(6, 28, 4), false},
        {"offset past the end", mluc(0, 4000, 4), false},
        {"odd pool", mluc(3, 28, 4), false},
        {"record count past the end", tagData(sig("mluc"), be32s({1000, 12}) + Bytes(24, 0)), false},
        {"no records", tagData(sig("mluc"), be32s({0, 12})), true},
    };
    for (const Case& c : cases) {
        ProfilePtr p = open(oneTagProfile(sig("desc"), c.data));
        ASSERT_TRUE(p) << c.name;
        auto* t = static_cast<LocalizedText*>(loadTag(p.get(), sig("desc")));
        EXPECT_EQ(t != nullptr, c.readable) << c.name;
        char buffer[8] = "x";
        const uint32_t n = profileTextUtf8(p.get(), InfoDescription, "en", "US", buffer, sizeof buffer);
        if (c.readable && t && localizedTextEntryCount(t)) {
            EXPECT_EQ(n, 7u);
            EXPECT_STREQ(buffer, "\xE4\x85\x81\xE4\x85\x81") << c.name;   // two units 0x4141
        } else {
            EXPECT_EQ(n, 0u) << c.name;
        }
    }
}

// ---------------------------------------------------------------------------
// Round trips through version 2 and version 4 profiles
// ---------------------------------------------------------------------------

// Values that fixed-point fields hold exactly.
constexpr double exact(double v)
{
    return double(int64_t(v * 65536)) / 65536;
}

// One object of every kind, built with exactly storable values.
struct Samples {
    EngineContext* ctx;
    CieXyz xyz{exact(0.9642), 1.0, exact(0.8249)};
    Chromaticities chrm{1, {exact(0.64), exact(0.33), 1}, {exact(0.3), exact(0.6), 1}, {exact(0.15), exact(0.06), 1}};
    ColorantOrder order{4, {3, 1, 0, 2}};
    double chad[9] = {exact(1.0479), exact(0.0229), exact(-0.0502), exact(0.0296), exact(0.9904),
                      exact(-0.0171), exact(-0.0092), exact(0.0151), exact(0.7519)};
    std::tm date{};
    uint32_t technology = sig("CRT ");
    IccMeasurement meas{1, {exact(0.1), exact(0.2), exact(0.3)}, 2, exact(0.01), 3};
    IccViewingConditions view{{exact(19.6445), exact(20.3718), exact(16.8089)}, {exact(3.9289), exact(4.0744), 3.5}, 1};
    IccScreening screen{};
    VideoSignalType cicp{9, 16, 0, 1};
    uint8_t dataBytes[5] = {1, 2, 3, 0, 255};
    IccData data{1, 5, dataBytes};
    std::vector<double> mhcCurves[3];
    Mhc2 mhc{};

    OwnedText ascii{nullptr, &freeLocalizedText}, multi{nullptr, &freeLocalizedText},
        crd{nullptr, &freeLocalizedText};
    OwnedCurve g225{nullptr, &freeCurve}, para4{nullptr, &freeCurve}, table{nullptr, &freeCurve},
        table8{nullptr, &freeCurve};
    OwnedPipeline aToB{nullptr, &freePipeline}, bToA{nullptr, &freePipeline}, lut8{nullptr, &freePipeline},
        mpe{nullptr, &freePipeline};
    std::unique_ptr<NamedColorList, decltype(&freeNamedColorList)> named{nullptr, &freeNamedColorList},
        colorants{nullptr, &freeNamedColorList};
    std::unique_ptr<ProfileSequence, decltype(&freeProfileSequence)> sequence{nullptr, &freeProfileSequence};
    std::unique_ptr<IccDictionary, decltype(&freeDictionary)> dict{nullptr, &freeDictionary};
    UcrBg ucrbg{};
    VideoCardGamma vcgtTable{}, vcgtFormula{};

    explicit Samples(EngineContext* c) : ctx(c)
    {
        date.tm_year = 124, date.tm_mon = 1, date.tm_mday = 29, date.tm_hour = 13, date.tm_min = 45;
        screen.flags = 1;
        screen.channels = 2;
        screen.channel[0] = {exact(150.5), exact(45), 1};
        screen.channel[1] = {exact(133), exact(75), 3};
        ascii = text(ctx, {{"", "", "Osterlane sample"}});
        multi = text(ctx, {{"en", "US", "Colour"}, {"en", "GB", "Colour (GB)"}, {"de", "DE", "Farbe \xC3\xBC"}});
        crd = text(ctx, {{"PS", "nm", "Product"}, {"PS", "#0", "Perceptual"}, {"PS", "#1", "Relative"},
                         {"PS", "#2", "Saturation"}, {"PS", "#3", "Absolute"}});
        g225 = gamma(ctx, 2.25);
        // Continuous at 0.25: 1.5625 × 0.25 = (0.5 × 0.25 + 0.5)².
        para4 = parametric(ctx, 4, {2, 0.5, 0.5, 1.5625, 0.25});
        std::vector<uint16_t> ramp(256);
        for (int i = 0; i < 256; ++i) ramp[i] = uint16_t(std::min(65535.0, std::pow(i / 255.0, 0.8) * 65535 + 0.5));
        table.reset(buildTabulatedCurve16(ctx, 256, ramp.data()));
        for (uint16_t& v : ramp) v = uint16_t((v >> 8) * 257);   // what 8 bits hold
        table8.reset(buildTabulatedCurve16(ctx, 256, ramp.data()));

        aToB = pipeline(ctx, 3, 3, {curves(ctx, 3, g225.get()), clut(ctx, {9, 9, 9}, 3), curves(ctx, 3, para4.get())});
        bToA = pipeline(ctx, 3, 4, {curves(ctx, 3, table.get()), clut(ctx, {5, 5, 5}, 4), curves(ctx, 4, g225.get())});
        lut8 = pipeline(ctx, 3, 3, {curves(ctx, 3, table8.get()), clut(ctx, {3, 3, 3}, 3), curves(ctx, 3, table8.get())});
        for (uint16_t& v : std::span(clutTable16(pipelineFirstStage(lut8.get())->next), 81)) v = uint16_t((v >> 8) * 257);
        setPipelineSaveAs8Bits(lut8.get(), true);
        mpe = mpePipeline();

        named.reset(newNamedColorList(ctx, 2, 4, "Ost ", " gloss"));
        const uint16_t pcs1[3] = {0x8000, 0x7F00, 0x8100}, pcs2[3] = {0xFFFF, 0x8000, 0x8000};
        const uint16_t dev1[4] = {1, 2, 3, 4}, dev2[4] = {0xFFFF, 0, 0x1234, 0};
        appendNamedColor(named.get(), "Harbour blue", pcs1, dev1);
        appendNamedColor(named.get(), "A name of exactly thirty-two ch.", pcs2, dev2);
        colorants.reset(newNamedColorList(ctx, 2, 0, "", ""));
        appendNamedColor(colorants.get(), "Cyan", pcs1, nullptr);
        appendNamedColor(colorants.get(), "Magenta", pcs2, nullptr);

        sequence.reset(newProfileSequence(ctx, 2));
        for (uint32_t i = 0; i < 2; ++i) {
            ProfileSequenceItem& item = sequence->items[i];
            item.manufacturer = sig("OSTL");
            item.model = sig("TM19") + i;
            item.attributes = 0x0102030405060708ull * (i + 1);
            item.technology = sig("dcam");
            item.profileId[0] = uint8_t(i + 1);
            item.profileId[15] = 0xAB;
            item.manufacturerText = newLocalizedText(ctx, 1);
            setText8(item.manufacturerText, "", "", "Osterlane");
            item.modelText = newLocalizedText(ctx, 1);
            setText8(item.modelText, "", "", i ? "Tonemolder abstract" : "Tonemolder");
            item.description = newLocalizedText(ctx, 1);
            setText8(item.description, "en", "US", "Step");
        }

        dict.reset(newDictionary(ctx));
        addDictionaryEntry(dict.get(), L"Model", L"Tonemolder \u00e9", multi.get(), ascii.get());
        addDictionaryEntry(dict.get(), L"EmptyValue", L"", nullptr, nullptr);
        addDictionaryEntry(dict.get(), L"NoValue \U0001F600", nullptr, nullptr, multi.get());

        ucrbg = UcrBg{table.get(), table.get(), ascii.get()};
        vcgtTable = VideoCardGamma{{table.get(), table.get(), table.get()}};
        OwnedCurve f = parametric(ctx, 5, {2.5, 0.75, 0, 0, 0, 0.125, 0});
        formula[0] = std::move(f);
        formula[1] = parametric(ctx, 5, {1.75, 1, 0, 0, 0, 0, 0});
        formula[2] = parametric(ctx, 5, {2, 0.5, 0, 0, 0, 0.25, 0});
        vcgtFormula = VideoCardGamma{{formula[0].get(), formula[1].get(), formula[2].get()}};

        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 5; ++i) mhcCurves[c].push_back(exact(i / 4.0 + c / 16.0));
        mhc = Mhc2{5, exact(0.25), 250, {}, mhcCurves[0].data(), mhcCurves[1].data(), mhcCurves[2].data()};
        for (int i = 0; i < 12; ++i) mhc.matrix[i] = exact((i % 5) / 3.0);
    }

    OwnedCurve formula[3] = {{nullptr, &freeCurve}, {nullptr, &freeCurve}, {nullptr, &freeCurve}};

    // Segmented curves with formula and sampled pieces, a matrix with
    // offsets and a float CLUT: what 'mpet' holds.
    OwnedPipeline mpePipeline()
    {
        const float samples[5] = {0.25f, 0.375f, 0.5f, 0.75f, 1.0f};
        CurveSegment pieces[3] = {};
        pieces[0] = {MinusInfinity, 0.25f, 6, {1, 1, 0, 0}, 0, nullptr};          // the identity
        pieces[1] = {0.25f, 0.75f, 0, {}, 5, const_cast<float*>(samples)};
        pieces[2] = {0.75f, PlusInfinity, 8, {0.5, 2, 1, -0.75, 0.5}, 0, nullptr};
        OwnedCurve segmented(buildSegmentedCurve(ctx, 3, pieces), &freeCurve);
        OwnedCurve log = parametric(ctx, 7, {1, 0.5, 1, 0.25, 0.125});
        const ToneCurve* set[3] = {segmented.get(), log.get(), g225.get()};
        const double m[9] = {0.5, 0.25, 0.125, 0, 1, 0, 0.25, 0.25, 0.5};
        const double offsets[3] = {0.0625, 0, -0.125};
        Stage* floatClut = newClutFloatStageUniform(ctx, 3, 3, 2, nullptr);
        float* t = clutTableFloat(floatClut);
        for (uint32_t i = 0; i < clutEntryCount(floatClut); ++i) t[i] = float(i % 7) / 8.0f;
        return pipeline(ctx, 3, 2, {newCurvesStage(ctx, 3, set), newMatrixStage(ctx, 3, 3, m, offsets), floatClut});
    }
};

struct RoundTripCase {
    const char* name;
    uint32_t tag;
    const void* (*pick)(const Samples&);
    uint32_t typeV2, typeV4;
};

template <auto Member>
const void* field(const Samples& s)
{
    const auto& m = s.*Member;
    if constexpr (requires { m.get(); })
        return m.get();
    else
        return &m;
}

const RoundTripCase RoundTrips[] = {
    {"XYZ", sig("wtpt"), field<&Samples::xyz>, sig("XYZ "), sig("XYZ ")},
    {"chromaticity", sig("chrm"), field<&Samples::chrm>, sig("chrm"), sig("chrm")},
    {"colorant order", sig("clro"), field<&Samples::order>, sig("clro"), sig("clro")},
    {"colorant table", sig("clot"), field<&Samples::colorants>, sig("clrt"), sig("clrt")},
    {"s15 matrix", sig("chad"), [](const Samples& s) -> const void* { return s.chad; }, sig("sf32"),
     sig("sf32")},
    {"recipe text", sig("targ"), field<&Samples::ascii>, sig("text"), sig("text")},
    {"copyright", sig("cprt"), field<&Samples::ascii>, sig("text"), sig("mluc")},
    {"description", sig("desc"), field<&Samples::ascii>, sig("desc"), sig("mluc")},
    {"manufacturer", sig("dmnd"), field<&Samples::ascii>, sig("desc"), sig("mluc")},
    {"mluc only", sig("dscm"), field<&Samples::multi>, sig("mluc"), sig("mluc")},
    {"gamma curve", sig("rTRC"), field<&Samples::g225>, sig("curv"), sig("para")},
    {"table curve", sig("gTRC"), field<&Samples::table>, sig("curv"), sig("curv")},
    {"date", sig("calt"), field<&Samples::date>, sig("dtim"), sig("dtim")},
    {"A to B", sig("A2B0"), field<&Samples::aToB>, sig("mft2"), sig("mAB ")},
    {"B to A", sig("B2A0"), field<&Samples::bToA>, sig("mft2"), sig("mBA ")},
    {"8-bit A to B", sig("A2B1"), field<&Samples::lut8>, sig("mft1"), sig("mAB ")},
    {"multi-process", sig("D2B0"), field<&Samples::mpe>, 0, sig("mpet")},   // none in version 2
    {"named colours", sig("ncl2"), field<&Samples::named>, sig("ncl2"), sig("ncl2")},
    {"sequence", sig("pseq"), field<&Samples::sequence>, sig("pseq"), sig("pseq")},
    {"sequence ids", sig("psid"), field<&Samples::sequence>, sig("psid"), sig("psid")},
    {"signature", sig("tech"), field<&Samples::technology>, sig("sig "), sig("sig ")},
    {"measurement", sig("meas"), field<&Samples::meas>, sig("meas"), sig("meas")},
    {"viewing", sig("view"), field<&Samples::view>, sig("view"), sig("view")},
    {"data", sig("ps2i"), field<&Samples::data>, sig("data"), sig("data")},
    {"ucr and bg", sig("bfd "), field<&Samples::ucrbg>, sig("bfd "), sig("bfd ")},
    {"crd info", sig("crdi"), field<&Samples::crd>, sig("crdi"), sig("crdi")},
    {"screening", sig("scrn"), field<&Samples::screen>, sig("scrn"), sig("scrn")},
    {"dictionary", sig("meta"), field<&Samples::dict>, sig("dict"), sig("dict")},
    {"cicp", sig("cicp"), field<&Samples::cicp>, sig("cicp"), sig("cicp")},
    {"video card table", sig("vcgt"), field<&Samples::vcgtTable>, sig("vcgt"), sig("vcgt")},
    {"MHC2", sig("MHC2"), field<&Samples::mhc>, sig("MHC2"), sig("MHC2")},
};

class RoundTrip : public TagTypesTest, public ::testing::WithParamInterface<double> {};

TEST_P(RoundTrip, EveryTypeReadsBackWhatWasStored)
{
    const double version = GetParam();
    const Samples samples(ctx);
    ProfilePtr p = blank(version);
    for (const RoundTripCase& c : RoundTrips) ASSERT_TRUE(storeTag(p.get(), c.tag, c.pick(samples))) << c.name;
    const Bytes saved = save(p.get());
    ASSERT_FALSE(saved.empty()) << reportText();
    ProfilePtr again = open(saved);
    ASSERT_TRUE(again);
    for (const RoundTripCase& c : RoundTrips) {
        const uint32_t type = version < 4 ? c.typeV2 : c.typeV4;
        if (type == 0) {
            EXPECT_FALSE(hasTag(again.get(), c.tag)) << c.name;
            continue;
        }
        EXPECT_EQ(be32(tagBytes(saved, c.tag), 0), type) << c.name;
        const void* back = loadTag(again.get(), c.tag);
        if (type == sig("mft2") || type == sig("mft1")) {
            // Parametric curves become their 16-bit tables.
            expectSameTables(static_cast<const Pipeline*>(c.pick(samples)), static_cast<const Pipeline*>(back), c.name);
            continue;
        }
        expectSameTagObject(c.tag, type, c.pick(samples), back, c.name);
        // The copy in the profile is the one saved, and it reads back the same.
        expectSameTagObject(c.tag, type, loadTag(p.get(), c.tag), back, std::string(c.name) + " (stored copy)");
    }
    EXPECT_TRUE(reports().empty()) << reportText();

    // Several languages: version 4 keeps them all, version 2's 'desc' keeps
    // what the lookup without language finds, as ASCII and as Unicode.
    ASSERT_TRUE(storeTag(p.get(), sig("dmdd"), samples.multi.get()));
    ProfilePtr withModel = open(save(p.get()));
    auto* model = static_cast<const LocalizedText*>(loadTag(withModel.get(), sig("dmdd")));
    if (version >= 4) {
        expectSameText(samples.multi.get(), model, "dmdd");
    } else {
        EXPECT_EQ(localizedTextEntryCount(model), 2u);
        EXPECT_EQ(narrow(model, "", ""), "Colour");
        EXPECT_EQ(utf8(model, "\xff\xff", "\xff\xff"), "Colour");
    }

    // Embedded descriptions follow the version too.
    const Bytes pseq = tagBytes(saved, sig("pseq"));
    EXPECT_EQ(be32(pseq, 32), version < 4 ? sig("desc") : sig("mluc"));
    // A formula 'vcgt' stays a formula.
    ASSERT_TRUE(storeTag(p.get(), sig("vcgt"), &samples.vcgtFormula));
    const Bytes withFormula = save(p.get());
    EXPECT_EQ(be32(tagBytes(withFormula, sig("vcgt")), 8), 1u);
    ProfilePtr third = open(withFormula);
    auto* formula = static_cast<const VideoCardGamma*>(loadTag(third.get(), sig("vcgt")));
    ASSERT_NE(formula, nullptr);
    // The maximum is stored, not the scale: the curves agree within 16-bit rounding.
    for (int i = 0; i < 3; ++i) expectSameCurve(samples.vcgtFormula.curves[i], formula->curves[i], "formula", 1);
}

INSTANTIATE_TEST_SUITE_P(Versions, RoundTrip, ::testing::Values(2.1, 4.3),
                         [](const ::testing::TestParamInfo<double>& info) {
                             return info.param < 4 ? std::string("V2") : std::string("V4");
                         });

// ---------------------------------------------------------------------------
// Which form a curve or pipeline takes, and what cannot be written
// ---------------------------------------------------------------------------

uint32_t savedType(const Bytes& saved, uint32_t tag)
{
    const Bytes data = tagBytes(saved, tag);
    return data.size() >= 4 ? be32(data, 0) : 0;
}

TEST_F(TypesTest, CurvesTakeTheFormOfTheirVersion)
{
    OwnedCurve g = gamma(ctx, 2.25);   // exact in u8Fixed8
    OwnedCurve s = srgbCurve(ctx);
    OwnedCurve inverse(reverseCurve(g.get()), &freeCurve);
    OwnedCurve six = parametric(ctx, 6, {2, 1, 0, 0.5});
    const float samples[] = {0, 0.25f, 1};
    OwnedCurve floats(buildTabulatedCurveFloat(ctx, 3, samples), &freeCurve);
    struct Case {
        const char* name;
        const ToneCurve* curve;
        uint32_t v2, v4;
    };
    const Case cases[] = {
        {"gamma", g.get(), sig("curv"), sig("para")},
        {"sRGB", s.get(), sig("curv"), sig("para")},
        {"inverse gamma", inverse.get(), sig("curv"), sig("curv")},
        {"type 6", six.get(), sig("curv"), sig("curv")},
        {"float table", floats.get(), sig("curv"), sig("curv")},
    };
    for (double version : {2.1, 4.3}) {
        ProfilePtr p = blank(version);
        for (const Case& c : cases) {
            ASSERT_TRUE(storeTag(p.get(), sig("rTRC"), c.curve)) << c.name;
            const Bytes saved = save(p.get());
            EXPECT_EQ(savedType(saved, sig("rTRC")), version < 4 ? c.v2 : c.v4) << c.name << " " << version;
            ProfilePtr back = open(saved);
            auto* read = static_cast<ToneCurve*>(loadTag(back.get(), sig("rTRC")));
            ASSERT_NE(read, nullptr) << c.name;
            if (savedType(saved, sig("rTRC")) == sig("curv") && c.curve != g.get()) {
                expectSameTable(c.curve, read, c.name);   // the curve's own 16-bit table
            } else {
                // Formulas keep their parameters to s15Fixed16 or u8Fixed8.
                expectSameCurve(c.curve, read, c.name, 1);
            }
        }
    }
    // A table the 'curv' reader would refuse is not written.
    OwnedCurve huge(buildTabulatedCurve16(ctx, 40000, nullptr), &freeCurve);
    ProfilePtr p = blank(2.1);
    ASSERT_TRUE(storeTag(p.get(), sig("kTRC"), huge.get()));
    reports().clear();
    EXPECT_TRUE(save(p.get()).empty());
    ASSERT_EQ(reports().size(), 2u) << reportText();
    EXPECT_EQ(reports()[0].text, "Curve of 40000 entries is too long for 'curv'");
    EXPECT_EQ(reports()[1].text, "Couldn't write type 'curv'");
}

TEST_F(TypesTest, PipelinesTakeTheFormOfTheirVersion)
{
    OwnedPipeline lut = curvesClutCurves(ctx, {5, 5, 5}, 3);
    struct Case {
        double version;
        bool eightBits;
        uint32_t type;
    };
    for (const Case& c : {Case{2.1, false, sig("mft2")}, Case{2.1, true, sig("mft2")}, Case{4.3, false, sig("mAB ")},
                          Case{4.3, true, sig("mAB ")}, Case{2.4, false, sig("mft2")}, Case{4.0, false, sig("mAB ")}}) {
        setPipelineSaveAs8Bits(lut.get(), c.eightBits);
        ProfilePtr p = blank(c.version);
        ASSERT_TRUE(storeTag(p.get(), sig("A2B0"), lut.get()));
        ASSERT_TRUE(storeTag(p.get(), sig("B2A0"), lut.get()));
        reports().clear();
        const Bytes saved = save(p.get());
        // 8 bits at version 2 need 256-entry curves; the builder's curves have 4096.
        if (c.version < 4 && c.eightBits) {
            EXPECT_TRUE(saved.empty());
            EXPECT_EQ(reports().front().text, "LUT8 needs 256 entries on prelinearization");
            continue;
        }
        ASSERT_FALSE(saved.empty()) << reportText();
        EXPECT_EQ(savedType(saved, sig("A2B0")), c.type) << c.version;
        EXPECT_EQ(savedType(saved, sig("B2A0")), c.type == sig("mAB ") ? sig("mBA ") : c.type) << c.version;
        // The precision byte of the version-4 CLUT element.
        if (c.version >= 4) {
            const Bytes data = tagBytes(saved, sig("A2B0"));
            EXPECT_EQ(data[be32(data, 24) + 16], c.eightBits ? 1 : 2);
        }
    }
}

TEST_F(TypesTest, ClutOfSeventeenCubedFillsTheLut16Table)
{
    OwnedPipeline lut = pipeline(ctx, 3, 3, {clut(ctx, {17, 17, 17}, 3)});
    ProfilePtr p = blank(2.1);
    ASSERT_TRUE(storeTag(p.get(), sig("A2B0"), lut.get()));
    const Bytes saved = save(p.get());
    // Type base 8, header 4, matrix 36, entry counts 4, identity tables of 2
    // entries (2 × 3 × 2 bytes each way), and 17³ × 3 = 14739 values.
    EXPECT_EQ(tagBytes(saved, sig("A2B0")).size(), 8u + 4 + 36 + 4 + 12 + 2 * 14739 + 12);
    ProfilePtr back = open(saved);
    auto* read = static_cast<Pipeline*>(loadTag(back.get(), sig("A2B0")));
    ASSERT_NE(read, nullptr);
    ASSERT_EQ(pipelineStageCount(read), 3u);
    const Stage* table = stageNext(pipelineFirstStage(read));
    EXPECT_EQ(clutEntryCount(table), 14739u);
    expectSamePipeline(lut.get(), read, "17 cubed");
}

TEST_F(TypesTest, UnequalGridsNeedTheVersionFourForm)
{
    OwnedPipeline lut = curvesClutCurves(ctx, {9, 5, 3}, 3);
    ProfilePtr v2 = blank(2.1);
    ASSERT_TRUE(storeTag(v2.get(), sig("A2B0"), lut.get()));
    EXPECT_TRUE(save(v2.get()).empty());
    ASSERT_EQ(reports().size(), 2u) << reportText();
    EXPECT_EQ(reports()[0].code, ErrUnknownExtension);
    EXPECT_EQ(reports()[0].text, "LUT with different samples per dimension not suitable to be saved as LUT16");
    EXPECT_EQ(reports()[1].code, ErrWrite);
    EXPECT_EQ(reports()[1].text, "Couldn't write type 'mft2'");

    reports().clear();
    ProfilePtr v4 = blank(4.3);
    ASSERT_TRUE(storeTag(v4.get(), sig("A2B0"), lut.get()));
    const Bytes saved = save(v4.get());
    EXPECT_EQ(savedType(saved, sig("A2B0")), sig("mAB "));
    // Grid points of the CLUT element: one byte per input.
    const Bytes data = tagBytes(saved, sig("A2B0"));
    const uint32_t clutAt = be32(data, 24);
    EXPECT_EQ(Bytes(data.begin() + clutAt, data.begin() + clutAt + 4), (Bytes{9, 5, 3, 0}));
    ProfilePtr back = open(saved);
    expectSamePipeline(lut.get(), static_cast<Pipeline*>(loadTag(back.get(), sig("A2B0"))), "9×5×3");
    EXPECT_TRUE(reports().empty()) << reportText();
}

TEST_F(TypesTest, FloatClutsAreNotWrittenInTables)
{
    OwnedCurve g = gamma(ctx, 1.8);
    for (double version : {2.1, 4.3}) {
        OwnedPipeline lut = pipeline(ctx, 3, 3,
                                     {curves(ctx, 3, g.get()), newClutFloatStageUniform(ctx, 5, 3, 3, nullptr),
                                      curves(ctx, 3, g.get())});
        ProfilePtr p = blank(version);
        ASSERT_TRUE(storeTag(p.get(), sig("A2B0"), lut.get()));
        reports().clear();
        EXPECT_TRUE(save(p.get()).empty());
        ASSERT_EQ(reports().size(), 2u) << reportText();
        EXPECT_EQ(reports()[0].code, ErrNotSuitable);
        EXPECT_EQ(reports()[0].text, "Cannot save floating point data, CLUT are 8 or 16 bit only");
        EXPECT_EQ(reports()[1].text, version < 4 ? "Couldn't write type 'mft2'" : "Couldn't write type 'mAB '");
        // A failed save leaves the tag for another try.
        EXPECT_NE(loadTag(p.get(), sig("A2B0")), nullptr);
    }
}

TEST_F(TypesTest, ShapesTheFormsCannotHoldAreRefused)
{
    OwnedCurve g = gamma(ctx, 1.8);
    const double m[9] = {0.5, 0.25, 0.25, 0, 1, 0, 0.125, 0.125, 0.75};
    struct Case {
        const char* name;
        double version;
        bool eightBits;
        uint32_t tag;
        OwnedPipeline lut;
        std::string message;   // empty: saved, as `type`
        uint32_t type;
        int tolerance = 2;     // 16-bit tables of parametric curves
    };
    std::vector<Case> cases;
    cases.push_back({"two CLUTs in LUT16", 2.1, false, sig("A2B0"),
                     pipeline(ctx, 3, 3, {clut(ctx, {3, 3, 3}, 3), clut(ctx, {3, 3, 3}, 3)}),
                     "LUT is not suitable to be saved as LUT16", 0});
    cases.push_back({"two CLUTs in LutAToB", 4.3, false, sig("A2B0"),
                     pipeline(ctx, 3, 3, {clut(ctx, {3, 3, 3}, 3), clut(ctx, {3, 3, 3}, 3)}),
                     "LUT is not suitable to be saved as LutAToB", 0});
    cases.push_back({"matrix first in LutBToA", 4.3, false, sig("B2A0"),
                     pipeline(ctx, 3, 3, {newMatrixStage(ctx, 3, 3, m, nullptr), curves(ctx, 3, g.get())}),
                     "", sig("mft2")});   // version 4 keeps the 16-bit table for what only it can hold
    cases.push_back({"empty LUT8", 2.1, true, sig("A2B0"), OwnedPipeline(newPipeline(ctx, 3, 3), &freePipeline),
                     "empty LUT8 is not supported", 0});
    cases.push_back({"two CLUTs in LUT8", 2.1, true, sig("A2B0"),
                     pipeline(ctx, 3, 3, {clut(ctx, {3, 3, 3}, 3), clut(ctx, {3, 3, 3}, 3)}),
                     "LUT is not suitable to be saved as LUT8", 0});
    cases.push_back({"unequal grids in LUT8", 2.1, true, sig("A2B0"), pipeline(ctx, 3, 3, {clut(ctx, {3, 4, 3}, 3)}),
                     "LUT with different samples per dimension not suitable to be saved as LUT16", 0});
    cases.push_back({"identity curves in LUT8", 2.1, true, sig("A2B0"),
                     pipeline(ctx, 3, 3,
                              {newCurvesStage(ctx, 3, nullptr), clut(ctx, {3, 3, 3}, 3), newCurvesStage(ctx, 3, nullptr)}),
                     "", sig("mft1"), 128});   // the CLUT keeps 8 bits
    for (Case& c : cases) {
        setPipelineSaveAs8Bits(c.lut.get(), c.eightBits);
        ProfilePtr p = blank(c.version);
        ASSERT_TRUE(storeTag(p.get(), c.tag, c.lut.get())) << c.name;
        reports().clear();
        const Bytes saved = save(p.get());
        if (c.message.empty()) {
            EXPECT_EQ(savedType(saved, c.tag), c.type) << c.name << reportText();
            ProfilePtr back = open(saved);
            expectSamePipeline(c.lut.get(), static_cast<Pipeline*>(loadTag(back.get(), c.tag)), c.name, c.tolerance);
            continue;
        }
        EXPECT_TRUE(saved.empty()) << c.name;
        ASSERT_FALSE(reports().empty()) << c.name;
        EXPECT_EQ(reports()[0].text, c.message) << c.name;
    }
}

double sigmoid(int32_t type, const double p[10], double x)
{
    const double k = 1 / (1 + std::exp(-p[0]));
    const double y = (1 / (1 + std::exp(-p[0] * (2 * x - 1))) - 0.5) / (k - 0.5) * 0.5 + 0.5;
    return type > 0 ? y : x;   // the inverse is not needed here
}

TEST_F(TypesTest, CurvesInsideLutAToBMustBeIccFormulasOrTables)
{
    PluginParametricCurves plugin{{PluginMagic, 2160, PluginParametricCurveSig, nullptr}, 1, {109}, {1}, sigmoid};
    ASSERT_TRUE(registerPlugins(ctx, &plugin));
    OwnedCurve s = parametric(ctx, 109, {4});
    std::vector<float> samples(256);
    for (int i = 0; i < 256; ++i) samples[i] = evalCurveFloat(s.get(), float(i / 255.0));
    OwnedCurve tabulated(buildTabulatedCurveFloat(ctx, 256, samples.data()), &freeCurve);
    CurveSegment two[2] = {{MinusInfinity, 0.5f, 1, {1}, 0, nullptr}, {0.5f, PlusInfinity, 1, {2}, 0, nullptr}};
    OwnedCurve pieces(buildSegmentedCurve(ctx, 2, two), &freeCurve);
    OwnedCurve six = parametric(ctx, 6, {2, 1, 0, 0.5});
    OwnedCurve g = gamma(ctx, 2.2);
    OwnedCurve inverse(reverseCurve(g.get()), &freeCurve);

    struct Case {
        const char* name;
        const ToneCurve* curve;
        const char* message;   // null: written as `type`
        uint32_t type;
    };
    const Case cases[] = {
        {"plug-in type 109", s.get(), "Unsupported parametric curve", 0},
        {"type 6", six.get(), "Unsupported parametric curve", 0},
        {"two pieces", pieces.get(), "Multisegment or Inverted parametric curves cannot be written", 0},
        {"109 tabulated as floats", tabulated.get(), nullptr, sig("curv")},
        {"inverse gamma", inverse.get(), nullptr, sig("curv")},
        {"gamma", g.get(), nullptr, sig("para")},
    };
    for (const Case& c : cases) {
        for (uint32_t tag : {sig("A2B0"), sig("B2A0")}) {
            OwnedPipeline lut = pipeline(ctx, 1, 1, {curves(ctx, 1, c.curve)});
            ProfilePtr p = blank(4.3);
            ASSERT_TRUE(storeTag(p.get(), tag, lut.get()));
            reports().clear();
            const Bytes saved = save(p.get());
            if (c.message) {
                EXPECT_TRUE(saved.empty()) << c.name;
                ASSERT_EQ(reports().size(), 2u) << c.name << reportText();
                EXPECT_EQ(reports()[0].code, ErrUnknownExtension);
                EXPECT_EQ(reports()[0].text, c.message) << c.name;
                EXPECT_EQ(reports()[1].text, tag == sig("A2B0") ? "Couldn't write type 'mAB '"
                                                                : "Couldn't write type 'mBA '");
                continue;
            }
            // The B curves sit right after the 32-byte header.
            EXPECT_EQ(be32(tagBytes(saved, tag), 32), c.type) << c.name;
            ProfilePtr back = open(saved);
            auto* read = static_cast<Pipeline*>(loadTag(back.get(), tag));
            ASSERT_NE(read, nullptr) << c.name;
            const ToneCurve* curve = stageCurves(pipelineFirstStage(read))[0];
            if (c.type == sig("curv"))
                expectSameTable(c.curve, curve, c.name);
            else
                expectSameCurve(c.curve, curve, c.name, 1);
        }
    }
}

TEST_F(TypesTest, FiveElementFormsKeepTheirOrder)
{
    OwnedCurve g = gamma(ctx, 1.75);
    OwnedCurve s = parametric(ctx, 4, {2, 0.5, 0.5, 1.5625, 0.25});
    const uint16_t table[] = {0, 0x3000, 0x9000, 0xFFFF};
    OwnedCurve t(buildTabulatedCurve16(ctx, 4, table), &freeCurve);
    const double m[9] = {0.5, 0.25, 0.125, 0.0625, 0.75, 0.125, 0.25, 0.25, 0.5};
    const double offsets[3] = {0.0625, -0.125, 0.25};
    OwnedPipeline aToB = pipeline(ctx, 4, 3,
                                  {curves(ctx, 4, t.get()), clut(ctx, {3, 4, 5, 2}, 3), curves(ctx, 3, g.get()),
                                   newMatrixStage(ctx, 3, 3, m, offsets), curves(ctx, 3, s.get())});
    OwnedPipeline bToA = pipeline(ctx, 3, 4,
                                  {curves(ctx, 3, s.get()), newMatrixStage(ctx, 3, 3, m, offsets),
                                   curves(ctx, 3, g.get()), clut(ctx, {6, 5, 4}, 4), curves(ctx, 4, t.get())});
    ProfilePtr p = blank(4.3);
    ASSERT_TRUE(storeTag(p.get(), sig("A2B2"), aToB.get()));
    ASSERT_TRUE(storeTag(p.get(), sig("B2A2"), bToA.get()));
    const Bytes saved = save(p.get());
    ProfilePtr back = open(saved);
    struct Case {
        uint32_t tag;
        const Pipeline* lut;
        std::array<uint32_t, 5> kinds;
    };
    const Case cases[] = {
        {sig("A2B2"), aToB.get(), {StageCurvesKind, StageClutKind, StageCurvesKind, StageMatrixKind, StageCurvesKind}},
        {sig("B2A2"), bToA.get(), {StageCurvesKind, StageMatrixKind, StageCurvesKind, StageClutKind, StageCurvesKind}},
    };
    for (const Case& c : cases) {
        auto* read = static_cast<Pipeline*>(loadTag(back.get(), c.tag));
        ASSERT_NE(read, nullptr);
        Stage* stages[5];
        EXPECT_TRUE(matchStageKinds(read, 5, c.kinds.data(), stages)) << sigText(c.tag).text;
        expectSamePipeline(c.lut, read, sigText(c.tag).text);
        // Every part lies on a 4-byte boundary after the 32-byte header.
        const Bytes data = tagBytes(saved, c.tag);
        for (int i = 0; i < 5; ++i) {
            const uint32_t at = be32(data, 12 + 4 * i);
            EXPECT_TRUE(at >= 32 && at % 4 == 0 && at < data.size()) << sigText(c.tag).text << " " << i;
        }
    }
    EXPECT_TRUE(reports().empty()) << reportText();
}

// ---------------------------------------------------------------------------
// Plug-in types, descriptors and elements
// ---------------------------------------------------------------------------

// A private type holding one number, written twice for a check.
void* counterRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t size)
{
    uint32_t a, b;
    if (size < 8 || !readUInt32(io, &a) || !readUInt32(io, &b) || a != ~b) return nullptr;
    *count = 1;
    return engineDup(self->ctx, &a, 4);
}
bool counterWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    const uint32_t v = *static_cast<uint32_t*>(object);
    return writeUInt32(io, v) && writeUInt32(io, ~v);
}
void* counterDuplicate(TagTypeHandler* self, const void* object, uint32_t)
{
    return engineDup(self->ctx, object, 4);
}
void counterFree(TagTypeHandler* self, void* object)
{
    engineFree(self->ctx, object);
}

TEST_F(TypesTest, PluginTypesAndDescriptorsComeFirst)
{
    PluginTagType type{{PluginMagic, 2160, PluginTagTypeSig, nullptr},
                       {sig("cnt "), counterRead, counterWrite, counterDuplicate, counterFree, nullptr, 0}};
    PluginTag counterTag{{PluginMagic, 2160, PluginTagSig, &type.base}, sig("Tcnt"), {1, 1, {sig("cnt ")}, nullptr}};
    // 'targ' rewired to Unicode text.
    PluginTag recipe{{PluginMagic, 2160, PluginTagSig, &counterTag.base}, sig("targ"), {1, 1, {sig("mluc")}, nullptr}};
    ASSERT_TRUE(registerPlugins(ctx, &recipe));

    const uint32_t value = 0x12345678;
    OwnedText t = text(ctx, {{"en", "", "recipe"}});
    ProfilePtr p = blank(2.1);
    ASSERT_TRUE(storeTag(p.get(), sig("Tcnt"), &value));
    ASSERT_TRUE(storeTag(p.get(), sig("targ"), t.get()));
    const Bytes saved = save(p.get());
    EXPECT_EQ(tagBytes(saved, sig("Tcnt")), tagData(sig("cnt "), be32s({0x12345678, 0xEDCBA987})));
    EXPECT_EQ(savedType(saved, sig("targ")), sig("mluc"));
    ProfilePtr back = open(saved);
    auto* read = static_cast<uint32_t*>(loadTag(back.get(), sig("Tcnt")));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(*read, value);
    EXPECT_EQ(utf8(static_cast<LocalizedText*>(loadTag(back.get(), sig("targ"))), "en", ""), "recipe");
    EXPECT_TRUE(reports().empty()) << reportText();

    // Without the plug-ins the tag is unknown and 'targ' holds only 'text'.
    ProfilePtr plain(openFromMemory(saved.data(), uint32_t(saved.size())), &closeProfile);
    EXPECT_EQ(loadTag(plain.get(), sig("Tcnt")), nullptr);
    EXPECT_EQ(loadTag(plain.get(), sig("targ")), nullptr);
}

// An element that turns each value v into 1 - v.
void evalNegate(const float in[], float out[], const Stage* stage)
{
    for (uint32_t i = 0; i < stageInputs(stage); ++i) out[i] = 1.0f - in[i];
}
void* negateRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t size)
{
    uint16_t in, out;
    if (size < 4 || !readUInt16(io, &in) || !readUInt16(io, &out) || in != out || in == 0 || in > 15) return nullptr;
    *count = 1;
    return newStage(self->ctx, sig("neg "), in, out, evalNegate, nullptr, nullptr, nullptr);
}
bool negateWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    auto* stage = static_cast<Stage*>(object);
    return writeUInt16(io, uint16_t(stageInputs(stage))) && writeUInt16(io, uint16_t(stageOutputs(stage)));
}
void* negateDuplicate(TagTypeHandler*, const void* object, uint32_t)
{
    return duplicateStage(static_cast<const Stage*>(object));
}
void negateFree(TagTypeHandler*, void* object)
{
    freeStage(static_cast<Stage*>(object));
}

TEST_F(TypesTest, PluginElementsTravelInMultiProcessTags)
{
    OwnedCurve g = gamma(ctx, 2);
    auto build = [&] {
        return pipeline(ctx, 3, 3,
                        {curves(ctx, 3, g.get()),
                         newStage(ctx, sig("neg "), 3, 3, evalNegate, nullptr, nullptr, nullptr)});
    };
    OwnedPipeline lut = build();
    ProfilePtr p = blank(4.3);
    ASSERT_TRUE(storeTag(p.get(), sig("D2B0"), lut.get()));
    EXPECT_TRUE(save(p.get()).empty());
    ASSERT_FALSE(reports().empty());
    EXPECT_EQ(reports()[0].text, "Found unknown MPE type 'neg '");

    PluginTagType element{{PluginMagic, 2160, PluginMpeTypeSig, nullptr},
                          {sig("neg "), negateRead, negateWrite, negateDuplicate, negateFree, nullptr, 0}};
    ASSERT_TRUE(registerPlugins(ctx, &element));
    reports().clear();
    const Bytes saved = save(p.get());
    ASSERT_FALSE(saved.empty()) << reportText();
    ProfilePtr back = open(saved);
    auto* read = static_cast<Pipeline*>(loadTag(back.get(), sig("D2B0")));
    ASSERT_NE(read, nullptr) << reportText();
    EXPECT_EQ(stageKind(pipelineLastStage(read)), sig("neg "));
    const float in[3] = {0.25f, 0.5f, 1.0f};
    float out[3];
    evalPipelineFloat(in, out, read);
    EXPECT_FLOAT_EQ(out[0], 1 - 0.0625f);
    EXPECT_FLOAT_EQ(out[1], 0.75f);
    EXPECT_FLOAT_EQ(out[2], 0.0f);
    EXPECT_TRUE(reports().empty()) << reportText();
}

// ---------------------------------------------------------------------------
// Seeds of the profile fuzz target: one small profile per tag type.
// Run with --gtest_also_run_disabled_tests --gtest_filter=*WriteFuzzSeeds*.
// ---------------------------------------------------------------------------

TEST_F(TypesTest, DISABLED_WriteFuzzSeeds)
{
    const std::filesystem::path root = std::filesystem::path(OSL_TEST_DATA).lexically_normal().parent_path().parent_path();
    const std::filesystem::path dir = root / "fuzz" / "corpus" / "profile_fuzz";
    ASSERT_TRUE(std::filesystem::is_directory(dir));
    const Samples samples(ctx);
    // Small tables keep the seeds small.
    OwnedPipeline small = pipeline(ctx, 3, 3, {curves(ctx, 3, samples.table8.get()), clut(ctx, {3, 3, 3}, 3),
                                               curves(ctx, 3, samples.table8.get())});
    OwnedPipeline small8 = pipeline(ctx, 3, 3, {clut(ctx, {3, 3, 3}, 3), curves(ctx, 3, samples.table8.get())});
    setPipelineSaveAs8Bits(small8.get(), true);
    std::vector<std::string> written;
    for (const RoundTripCase& c : RoundTrips) {
        for (double version : {2.1, 4.3}) {
            const uint32_t type = version < 4 ? c.typeV2 : c.typeV4;
            if (type == 0) continue;
            // Each type once ('pseq' in both versions, for its embedded texts).
            const std::string key = std::string(sigText(type).text) + (type == sig("pseq") && version > 4 ? "4" : "");
            if (std::find(written.begin(), written.end(), key) != written.end()) continue;
            written.push_back(key);
            ProfilePtr p = blank(version);
            const void* object = c.pick(samples);
            if (c.tag == sig("A2B0") || c.tag == sig("B2A0")) object = small.get();
            if (c.tag == sig("A2B1")) object = small8.get();
            ASSERT_TRUE(storeTag(p.get(), c.tag, object));
            const Bytes bytes = save(p.get());
            std::string name = std::string("type-") + sigText(type).text + "-" + sigText(c.tag).text +
                               (version < 4 ? "-v2" : "-v4") + ".icc";
            std::replace(name.begin(), name.end(), ' ', '_');
            std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                              std::streamsize(bytes.size()));
        }
    }
}

// ---------------------------------------------------------------------------
// Every tag of every installed profile
// ---------------------------------------------------------------------------

std::vector<std::string> installedProfiles()
{
    std::vector<std::string> paths;
    for (const char* root : {"/usr/share/color/icc", "/usr/share/color/argyll/ref"}) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::string ext = it->path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
            if (it->is_regular_file() && (ext == ".icc" || ext == ".icm")) paths.push_back(it->path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Tags of the installed profiles that the engine refuses, with the message:
// "file name/tag" → message.
// colord's named-colour profiles carry a 'B2A0' of 3 inputs whose M curves
// run into its matrix: the second M curve has no curve type.
const std::map<std::string, std::string> KnownRefusals = {
    {"Crayons.icc/B2A0", "Corrupted tag 'B2A0'"},
    {"x11-colors.icc/B2A0", "Corrupted tag 'B2A0'"},
};

class InstalledProfile : public TagTypesTest, public ::testing::WithParamInterface<std::string> {};

TEST_F(TypesTest, InstalledProfilesArePresent)
{
    const std::vector<std::string> paths = installedProfiles();
    EXPECT_GE(paths.size(), 40u);
    for (const char* needed : {"/usr/share/color/icc/colord/x11-colors.icc",
                               "/usr/share/color/icc/ghostscript/default_cmyk.icc",
                               "/usr/share/color/argyll/ref/sRGB.icm"})
        EXPECT_NE(std::find(paths.begin(), paths.end(), needed), paths.end()) << needed << " is missing";
}

TEST_P(InstalledProfile, EveryTagLoadsAndSurvivesSaving)
{
    const std::string path = GetParam();
    const std::string file = std::filesystem::path(path).filename().string();
    const Bytes bytes = readFile(path);
    ProfilePtr p = open(bytes);
    ASSERT_TRUE(p) << reportText();

    struct Loaded {
        uint32_t tag, type;
        const void* object;
    };
    std::vector<Loaded> loaded;
    for (uint32_t i = 0; i < tagCount(p.get()); ++i) {
        const uint32_t tag = tagSignatureAt(p.get(), i);
        const std::string where = file + "/" + sigText(tag).text;
        reports().clear();
        const void* object = loadTag(p.get(), tag);
        const auto known = KnownRefusals.find(where);
        if (known != KnownRefusals.end()) {
            EXPECT_EQ(object, nullptr) << where;
            ASSERT_FALSE(reports().empty()) << where;
            EXPECT_EQ(reports().back().text, known->second) << where;
            continue;
        }
        ASSERT_NE(object, nullptr) << where << " " << reportText();
        EXPECT_TRUE(reports().empty()) << where << " " << reportText();
        loaded.push_back({tag, linkedTypeOf(p.get(), tag), object});
    }

    const Bytes saved = save(p.get());
    ASSERT_FALSE(saved.empty()) << file << " " << reportText();
    ProfilePtr again = open(saved);
    ASSERT_TRUE(again);
    for (const Loaded& l : loaded) {
        const std::string where = file + "/" + sigText(l.tag).text;
        expectSameTagObject(l.tag, l.type, l.object, loadTag(again.get(), l.tag), where);
    }
    EXPECT_TRUE(reports().empty()) << reportText();
    // Saving what was read back gives the same bytes again.
    for (const Loaded& l : loaded) loadTag(again.get(), l.tag);
    EXPECT_EQ(save(again.get()), saved) << file;
}

INSTANTIATE_TEST_SUITE_P(Installed, InstalledProfile, ::testing::ValuesIn(installedProfiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = std::filesystem::path(info.param).parent_path().filename().string() +
                                                "_" + std::filesystem::path(info.param).stem().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
