// Tag types: byte layouts against hand-written bytes, round trips through
// profiles of version 2 and 4, the type chosen for each version, the limits
// and messages of the readers and writers, plug-in types, and every tag of
// every installed profile.
#include "oslinternal.h"
#include "tag_objects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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
    OwnedCurve g = gamma(ctx, 1.8);
    OwnedCurve s = srgbCurve(ctx);
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
    Measurement meas{1, {exact(0.1), exact(0.2), exact(0.3)}, 2, exact(0.01), 3};
    IccViewingConditions view{{exact(19.6445), exact(20.3718), exact(16.8089)}, {exact(3.9289), exact(4.0744), 3.5}, 1};
    Screening screen{};
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
    std::unique_ptr<Dictionary, decltype(&freeDictionary)> dict{nullptr, &freeDictionary};
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
    {"multi-process", sig("D2B0"), field<&Samples::mpe>, sig("mpet"), sig("mpet")},
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
