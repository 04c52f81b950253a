// Virtual profiles: their headers and tags, their bytes once saved, the same
// colours before and after a save in both versions, and transforms turned
// into device links, abstract, input, output and named-colour profiles.
#include "oslinternal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;
using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

constexpr const char* SrgbPath = "/usr/share/color/icc/colord/sRGB.icc";
constexpr const char* CmykPath = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
constexpr const char* NamedPath = "/usr/share/color/icc/colord/x11-colors.icc";

ProfilePtr adopt(IccProfile* p)
{
    return ProfilePtr(p, &closeProfile);
}

ProfilePtr openFile(const char* path)
{
    ProfilePtr p = adopt(openFromFile(nullptr, path, "r"));
    EXPECT_NE(p, nullptr) << path << " is missing";
    return p;
}

std::vector<uint8_t> saved(IccProfile* p)
{
    uint32_t size = 0;
    EXPECT_TRUE(saveToMemory(p, nullptr, &size));
    std::vector<uint8_t> bytes(size);
    EXPECT_TRUE(saveToMemory(p, bytes.data(), &size));
    return bytes;
}

ProfilePtr reopened(IccProfile* p)
{
    const std::vector<uint8_t> bytes = saved(p);
    return adopt(openFromMemory(bytes.data(), uint32_t(bytes.size())));
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The tag directory of saved bytes: signature, offset, size.
struct TagEntry {
    uint32_t sig, offset, size;
};

std::vector<TagEntry> tagTable(const std::vector<uint8_t>& b)
{
    std::vector<TagEntry> tags;
    const uint32_t count = be32(b, 128);
    for (uint32_t i = 0; i < count; ++i)
        tags.push_back({be32(b, 132 + 12 * i), be32(b, 136 + 12 * i), be32(b, 140 + 12 * i)});
    return tags;
}

const TagEntry* findEntry(const std::vector<TagEntry>& tags, const char (&name)[5])
{
    for (const TagEntry& t : tags)
        if (t.sig == sig(name)) return &t;
    return nullptr;
}

// The type signature of a tag in saved bytes, 0 when absent.
uint32_t savedType(const std::vector<uint8_t>& b, const char (&name)[5])
{
    const std::vector<TagEntry> tags = tagTable(b);
    const TagEntry* e = findEntry(tags, name);
    return e ? be32(b, e->offset) : 0;
}

std::string text(IccProfile* p, uint32_t which)
{
    char buffer[256] = {};
    profileTextUtf8(p, which, "en", "US", buffer, sizeof buffer);
    return buffer;
}

// The same profile re-typed for version 2.1: every tag stored again, so that
// the version-2 types are chosen. Links become copies.
void asVersion2(IccProfile* p)
{
    setVersionFromNumber(p, 2.1);
    std::vector<uint32_t> tags;
    for (uint32_t i = 0; i < tagCount(p); ++i) tags.push_back(tagSignatureAt(p, i));
    for (uint32_t tag : tags) {
        const void* object = loadTag(p, tag);
        ASSERT_NE(object, nullptr);
        ASSERT_TRUE(storeTag(p, tag, object)) << sigText(tag).text;
    }
}

// Outputs of a transform over a lattice of inputs, as doubles.
std::vector<double> sampleTransform(Transform* t, uint32_t inputs)
{
    std::vector<double> in;
    const uint32_t steps = inputs >= 4 ? 5 : 9;
    uint32_t n = 1;
    for (uint32_t i = 0; i < inputs; ++i) n *= steps;
    for (uint32_t k = 0; k < n; ++k) {
        uint32_t r = k;
        for (uint32_t i = 0; i < inputs; ++i) {
            in.push_back(double(r % steps) / (steps - 1));
            r /= steps;
        }
    }
    const uint32_t outputs = formatChannels(transformOutputFormat(t));
    std::vector<double> out(size_t(n) * outputs);
    // Float formats carry percentages for CMYK and real units for Lab and XYZ;
    // the inputs are scaled accordingly by the caller's formats.
    std::vector<double> scaled = in;
    const uint32_t code = formatColorSpace(transformInputFormat(t));
    for (size_t i = 0; i < scaled.size(); ++i) {
        if (code == PixelCmyk) scaled[i] *= 100.0;
        if (code == PixelLab) scaled[i] = (i % 3 == 0) ? scaled[i] * 100.0 : scaled[i] * 255.0 - 128.0;
        if (code == PixelXyz) scaled[i] *= 1.0;
    }
    doTransform(t, scaled.data(), out.data(), n);
    return out;
}

uint32_t doubleFormat(uint32_t space)
{
    return formatForSpace(space, 0, true);
}

// A transform of one profile, or of [profile, Lab identity] when it maps a
// device space to the PCS, in doubles without optimisation.
TransformPtr measuring(IccProfile* p)
{
    const uint32_t cls = profileDeviceClass(p);
    const uint32_t flags = XformNoOptimise | XformNoCache;
    if (cls == ClassLink || cls == ClassAbstract)
        return TransformPtr(createTransform(p, doubleFormat(profileColorSpace(p)), nullptr,
                                            doubleFormat(profilePcs(p)), IntentPerceptual, flags),
                            &deleteTransform);
    ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
    if (cls == ClassOutput)
        return TransformPtr(createTransform(lab.get(), doubleFormat(SpaceLab), p,
                                            doubleFormat(profileColorSpace(p)), IntentPerceptual, flags),
                            &deleteTransform);
    return TransformPtr(createTransform(p, doubleFormat(profileColorSpace(p)), lab.get(), doubleFormat(SpaceLab),
                                        IntentPerceptual, flags),
                        &deleteTransform);
}

double largestDifference(const std::vector<double>& a, const std::vector<double>& b)
{
    EXPECT_EQ(a.size(), b.size());
    double worst = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

class VirtTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (ToneCurve* c : curves) freeCurve(c);
    }
    ToneCurve* keep(ToneCurve* c)
    {
        curves.push_back(c);
        return c;
    }
    ToneCurve* gamma(double g) { return keep(buildGammaCurve(nullptr, g)); }
    std::vector<ToneCurve*> curves;
};

// ---------------------------------------------------------------------------
// Headers and tags
// ---------------------------------------------------------------------------

TEST_F(VirtTest, EveryConstructorGivesItsHeaderAndTexts)
{
    const CieXyY d65{0.3127, 0.3290, 1.0};
    const CieXyYTriple primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    ToneCurve* g = gamma(2.2);
    const ToneCurve* const rgbCurves[3] = {g, g, g};
    const ToneCurve* const cmykCurves[4] = {g, g, g, g};
    struct Case {
        const char* name;
        std::function<IccProfile*()> make;
        uint32_t version, cls, space, pcs;
        const char* description;
    };
    const Case cases[] = {
        {"RGB", [&] { return createRgbProfile(nullptr, &d65, &primaries, rgbCurves); }, 0x04400000, ClassDisplay,
         SpaceRgb, SpaceXyz, "RGB built-in"},
        {"gray", [&] { return createGrayProfile(nullptr, &d65, g); }, 0x04400000, ClassDisplay, SpaceGray, SpaceXyz,
         "gray built-in"},
        {"sRGB", [] { return createSrgbProfile(nullptr); }, 0x04400000, ClassDisplay, SpaceRgb, SpaceXyz,
         "sRGB built-in"},
        {"Lab 2", [] { return createLabIdentityV2(nullptr, nullptr); }, 0x02100000, ClassAbstract, SpaceLab, SpaceLab,
         "Lab identity built-in"},
        {"Lab 4", [] { return createLabIdentityV4(nullptr, nullptr); }, 0x04400000, ClassAbstract, SpaceLab, SpaceLab,
         "Lab identity built-in"},
        {"XYZ", [] { return createXyzIdentity(nullptr); }, 0x04400000, ClassAbstract, SpaceXyz, SpaceXyz,
         "XYZ identity built-in"},
        {"linearization", [&] { return createLinearizationLink(nullptr, SpaceCmyk, cmykCurves); }, 0x04400000,
         ClassLink, SpaceCmyk, SpaceCmyk, "Linearization built-in"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProfilePtr p = adopt(c.make());
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(profileVersion(p.get()), c.version);
        EXPECT_EQ(profileDeviceClass(p.get()), c.cls);
        EXPECT_EQ(profileColorSpace(p.get()), c.space);
        EXPECT_EQ(profilePcs(p.get()), c.pcs);
        EXPECT_EQ(profileRenderingIntent(p.get()), 0u);
        EXPECT_EQ(text(p.get(), InfoDescription), c.description);
        EXPECT_EQ(text(p.get(), InfoCopyright), "No copyright, use freely");
        // The same after a save.
        ProfilePtr again = reopened(p.get());
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(text(again.get(), InfoDescription), c.description);
        EXPECT_EQ(profileVersion(again.get()), c.version);
    }
}

TEST_F(VirtTest, RgbProfilesCarryTheirWhiteAdaptationAndColorants)
{
    const CieXyY d65{0.3127, 0.3290, 1.0};
    const CieXyYTriple primaries{{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    const ToneCurve* const curves[3] = {gamma(1.8), gamma(2.2), gamma(2.4)};
    ProfilePtr p = adopt(createRgbProfile(nullptr, &d65, &primaries, curves));
    ASSERT_NE(p, nullptr);

    const auto* white = static_cast<const CieXyz*>(loadTag(p.get(), sig("wtpt")));
    ASSERT_NE(white, nullptr);
    EXPECT_DOUBLE_EQ(white->X, D50.X);
    EXPECT_DOUBLE_EQ(white->Z, D50.Z);
    // 'chad' takes the white to D50.
    const auto* chad = static_cast<const double*>(loadTag(p.get(), sig("chad")));
    ASSERT_NE(chad, nullptr);
    const CieXyz w = xyYToXyz(d65);
    for (int i = 0; i < 3; ++i) {
        const double v = chad[i * 3] * w.X + chad[i * 3 + 1] * w.Y + chad[i * 3 + 2] * w.Z;
        EXPECT_NEAR(v, (i == 0 ? D50.X : i == 1 ? D50.Y : D50.Z), 1e-6);
    }
    // The colorants add up to D50, and the greens' Y dominates.
    const auto* r = static_cast<const CieXyz*>(loadTag(p.get(), sig("rXYZ")));
    const auto* g = static_cast<const CieXyz*>(loadTag(p.get(), sig("gXYZ")));
    const auto* b = static_cast<const CieXyz*>(loadTag(p.get(), sig("bXYZ")));
    ASSERT_TRUE(r && g && b);
    EXPECT_NEAR(r->X + g->X + b->X, D50.X, 1e-4);
    EXPECT_NEAR(r->Y + g->Y + b->Y, 1.0, 1e-4);
    EXPECT_NEAR(r->Z + g->Z + b->Z, D50.Z, 1e-4);
    EXPECT_GT(g->Y, 0.7);
    const auto* chrm = static_cast<const Chromaticities*>(loadTag(p.get(), sig("chrm")));
    ASSERT_NE(chrm, nullptr);
    EXPECT_DOUBLE_EQ(chrm->green.y, 0.60);

    // Three different curves are three tags.
    const std::vector<uint8_t> bytes = saved(p.get());
    const auto tags = tagTable(bytes);
    ASSERT_TRUE(findEntry(tags, "rTRC") && findEntry(tags, "gTRC") && findEntry(tags, "bTRC"));
    EXPECT_NE(findEntry(tags, "gTRC")->offset, findEntry(tags, "rTRC")->offset);
    EXPECT_NE(findEntry(tags, "bTRC")->offset, findEntry(tags, "gTRC")->offset);

    // Without a white, nothing but the texts and curves.
    ProfilePtr bare = adopt(createRgbProfile(nullptr, nullptr, &primaries, curves));
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(hasTag(bare.get(), sig("wtpt")));
    EXPECT_FALSE(hasTag(bare.get(), sig("rXYZ")));
    EXPECT_TRUE(hasTag(bare.get(), sig("bTRC")));
}

TEST_F(VirtTest, SrgbLinksGreenAndBlueToRed)
{
    ProfilePtr p = adopt(createSrgbProfile(nullptr));
    ASSERT_NE(p, nullptr);
    const std::vector<uint8_t> bytes = saved(p.get());
    const auto tags = tagTable(bytes);
    const TagEntry* r = findEntry(tags, "rTRC");
    const TagEntry* g = findEntry(tags, "gTRC");
    const TagEntry* b = findEntry(tags, "bTRC");
    ASSERT_TRUE(r && g && b);
    EXPECT_EQ(g->offset, r->offset);
    EXPECT_EQ(g->size, r->size);
    EXPECT_EQ(b->offset, r->offset);
    EXPECT_EQ(savedType(bytes, "rTRC"), sig("para"));
    EXPECT_EQ(be32(bytes, r->offset + 8) >> 16, 3u);   // ICC function type 3 is the engine's type 4
    EXPECT_EQ(be32(bytes, 8), 0x04400000u);

    // The curve is the sRGB curve: 0.5 gives about 0.214.
    ProfilePtr again = adopt(openFromMemory(bytes.data(), uint32_t(bytes.size())));
    const auto* curve = static_cast<const ToneCurve*>(loadTag(again.get(), sig("bTRC")));
    ASSERT_NE(curve, nullptr);
    EXPECT_NEAR(evalCurveFloat(curve, 0.5f), 0.2140, 1e-4);
    EXPECT_EQ(parametricTypeOf(curve), 4);
}

TEST_F(VirtTest, LabIdentitiesSaveTheirTablesInTheTypesOfTheirVersion)
{
    ProfilePtr v2 = adopt(createLabIdentityV2(nullptr, nullptr));
    ProfilePtr v4 = adopt(createLabIdentityV4(nullptr, nullptr));
    ASSERT_TRUE(v2 && v4);
    const std::vector<uint8_t> b2 = saved(v2.get()), b4 = saved(v4.get());
    EXPECT_EQ(savedType(b2, "A2B0"), sig("mft2"));
    EXPECT_EQ(savedType(b2, "desc"), sig("desc"));
    EXPECT_EQ(savedType(b2, "cprt"), sig("text"));
    EXPECT_EQ(b2[8 + 0], 0x02);
    EXPECT_EQ(b2[9], 0x10);
    EXPECT_EQ(savedType(b4, "A2B0"), sig("mAB "));
    EXPECT_EQ(savedType(b4, "desc"), sig("mluc"));
    // Version 2: a 2-point identity table of 16-bit values.
    const std::vector<TagEntry> tags = tagTable(b2);
    const TagEntry* a2b0 = findEntry(tags, "A2B0");
    ASSERT_NE(a2b0, nullptr);
    EXPECT_EQ(b2[a2b0->offset + 10], 2);   // grid points

    // A D65 white still gives D50 as media white, with the adaptation in 'chad'.
    const CieXyY d65{0.3127, 0.3290, 1.0};
    ProfilePtr onD65 = adopt(createLabIdentityV4(nullptr, &d65));
    ASSERT_NE(onD65, nullptr);
    EXPECT_TRUE(hasTag(onD65.get(), sig("chad")));
    const auto* white = static_cast<const CieXyz*>(loadTag(onD65.get(), sig("wtpt")));
    ASSERT_NE(white, nullptr);
    EXPECT_DOUBLE_EQ(white->X, D50.X);
}

TEST_F(VirtTest, LinearizationLinksCarryTheirCurvesAndASequence)
{
    ToneCurve* g = gamma(1.7);
    const ToneCurve* const curves[4] = {g, gamma(1.0), g, gamma(0.8)};
    ProfilePtr p = adopt(createLinearizationLink(nullptr, SpaceCmyk, curves));
    ASSERT_NE(p, nullptr);
    const auto* table = static_cast<const Pipeline*>(loadTag(p.get(), sig("A2B0")));
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(pipelineStageCount(table), 1u);
    EXPECT_EQ(stageInputs(pipelineFirstStage(table)), 4u);
    EXPECT_NEAR(evalCurveFloat(stageCurves(pipelineFirstStage(table))[3], 0.5f), std::pow(0.5, 0.8), 1e-6);
    const auto* sequence = static_cast<const ProfileSequence*>(loadTag(p.get(), sig("pseq")));
    ASSERT_NE(sequence, nullptr);
    ASSERT_EQ(sequence->count, 1u);
    char buffer[64] = {};
    getText8(sequence->items[0].manufacturerText, "en", "US", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Osterlane");
    getText8(sequence->items[0].modelText, "en", "US", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Linearization built-in");

    // Through a transform the link applies its curves.
    TransformPtr t(createTransform(p.get(), FormatCmyk16, nullptr, FormatCmyk16, IntentPerceptual, XformNoCache),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    const uint16_t in[4] = {32768, 32768, 0, 65535};
    uint16_t out[4];
    doTransform(t.get(), in, out, 1);
    EXPECT_NEAR(out[0], std::pow(32768 / 65535.0, 1.7) * 65535, 2);
    EXPECT_EQ(out[1], 32768);
    EXPECT_EQ(out[3], 65535);
}

TEST_F(VirtTest, RefusedArgumentsGiveNoProfile)
{
    ToneCurve* g = gamma(2.2);
    const ToneCurve* const missing[3] = {g, nullptr, g};
    EXPECT_EQ(createRgbProfile(nullptr, nullptr, nullptr, missing), nullptr);
    EXPECT_EQ(createGrayProfile(nullptr, nullptr, nullptr), nullptr);
    const ToneCurve* const three[3] = {g, g, g};
    EXPECT_EQ(createLinearizationLink(nullptr, sig("abcd"), three), nullptr);
    EXPECT_EQ(createLinearizationLink(nullptr, SpaceRgb, nullptr), nullptr);
    const CieXyY black{0.3, 0.3, 0.0};
    const CieXyYTriple degenerate{{0.3, 0.3, 1.0}, {0.3, 0.3, 1.0}, {0.3, 0.3, 1.0}};
    EXPECT_EQ(createRgbProfile(nullptr, &black, nullptr, nullptr), nullptr);
    const CieXyY d65{0.3127, 0.3290, 1.0};
    EXPECT_EQ(createRgbProfile(nullptr, &d65, &degenerate, nullptr), nullptr);
    EXPECT_EQ(transformToDeviceLink(nullptr, 4.3, 0), nullptr);
}

// ---------------------------------------------------------------------------
// The same colours after a save, in both versions
// ---------------------------------------------------------------------------

TEST_F(VirtTest, SavedProfilesGiveTheColoursTheyGaveBefore)
{
    const CieXyY d65{0.3127, 0.3290, 1.0};
    const CieXyYTriple wide{{0.7347, 0.2653, 1.0}, {0.1152, 0.8264, 1.0}, {0.1566, 0.0177, 1.0}};
    // Exponents that version-2 'curv' tags hold exactly (in steps of 1/256).
    const ToneCurve* const mixed[3] = {gamma(1.75), gamma(2.25), gamma(2.5)};
    ToneCurve* g = gamma(2.2);
    const ToneCurve* const four[4] = {g, gamma(1.3), g, gamma(0.9)};
    ProfilePtr cmyk = openFile(CmykPath);
    ProfilePtr srgb = openFile(SrgbPath);
    ASSERT_TRUE(cmyk && srgb);
    auto link = [&](IccProfile* a, uint32_t in, IccProfile* b, uint32_t out, double version, uint32_t flags) {
        TransformPtr t(createTransform(a, in, b, out, IntentPerceptual, 0), &deleteTransform);
        return t ? transformToDeviceLink(t.get(), version, flags) : nullptr;
    };
    struct Case {
        const char* name;
        std::function<IccProfile*()> make;
        double tolerance;   // in the units of the double formats
    };
    const Case cases[] = {
        {"sRGB", [] { return createSrgbProfile(nullptr); }, 0.02},
        {"RGB", [&] { return createRgbProfile(nullptr, &d65, &wide, mixed); }, 0.02},
        {"gray", [&] { return createGrayProfile(nullptr, &d65, g); }, 0.02},
        {"Lab identity 2", [] { return createLabIdentityV2(nullptr, nullptr); }, 0.01},
        {"Lab identity 4", [] { return createLabIdentityV4(nullptr, nullptr); }, 0.01},
        {"XYZ identity", [] { return createXyzIdentity(nullptr); }, 1e-4},
        {"linearization", [&] { return createLinearizationLink(nullptr, SpaceCmyk, four); }, 0.02},
        {"RGB to CMYK link", [&] { return link(srgb.get(), FormatRgb16, cmyk.get(), FormatCmyk16, 4.3, 0); }, 0.01},
        // Written at version 2 its Lab input is re-encoded: one more 16-bit
        // rounding, where the table is steep near black.
        {"Lab to CMYK output", [&] {
             ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
             return link(lab.get(), FormatLab16, cmyk.get(), FormatCmyk16, 4.3, DeviceLinkGuessClass);
         }, 0.02},
        {"RGB to Lab input", [&] {
             ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
             return link(srgb.get(), FormatRgb16, lab.get(), FormatLab16, 4.3, DeviceLinkGuessClass);
         }, 0.01},
    };
    for (const Case& c : cases) {
        for (bool version2 : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (version2 ? ", version 2" : ", version 4"));
            ProfilePtr p = adopt(c.make());
            ASSERT_NE(p, nullptr);
            if (version2) asVersion2(p.get());
            TransformPtr before = measuring(p.get());
            ASSERT_NE(before, nullptr);
            const uint32_t inputs = formatChannels(transformInputFormat(before.get()));
            const std::vector<double> expected = sampleTransform(before.get(), inputs);
            const std::vector<uint8_t> bytes = saved(p.get());
            EXPECT_EQ(bytes[8], version2 ? 2 : profileVersion(p.get()) >> 24);
            ProfilePtr again = adopt(openFromMemory(bytes.data(), uint32_t(bytes.size())));
            ASSERT_NE(again, nullptr);
            TransformPtr after = measuring(again.get());
            ASSERT_NE(after, nullptr);
            EXPECT_LE(largestDifference(sampleTransform(after.get(), inputs), expected), c.tolerance);
        }
    }
}

// ---------------------------------------------------------------------------
// Transforms as profiles
// ---------------------------------------------------------------------------

TEST_F(VirtTest, LabToCmykWithClassGuessingBecomesAnOutputProfile)
{
    ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
    ProfilePtr cmyk = openFile(CmykPath);
    ASSERT_TRUE(lab && cmyk);
    TransformPtr t(createTransform(lab.get(), FormatLab16, cmyk.get(), FormatCmyk16, IntentRelativeColorimetric, 0),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    struct Case {
        uint32_t flags;
        uint32_t cls, space, pcs;
        const char* table;
        const char* absent;
    };
    const Case cases[] = {
        {DeviceLinkGuessClass, ClassOutput, SpaceCmyk, SpaceLab, "B2A0", "A2B0"},
        {0, ClassLink, SpaceLab, SpaceCmyk, "A2B0", "B2A0"},
    };
    for (const Case& c : cases) {
        for (double version : {2.1, 4.3}) {
            ProfilePtr p = adopt(transformToDeviceLink(t.get(), version, c.flags));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(profileDeviceClass(p.get()), c.cls);
            EXPECT_EQ(profileColorSpace(p.get()), c.space);
            EXPECT_EQ(profilePcs(p.get()), c.pcs);
            EXPECT_EQ(profileRenderingIntent(p.get()), IntentRelativeColorimetric);
            EXPECT_EQ(text(p.get(), InfoDescription), "devicelink");
            EXPECT_TRUE(hasTag(p.get(), sig("wtpt")));
            const std::vector<uint8_t> bytes = saved(p.get());
            const char(&table)[5] = *reinterpret_cast<const char(*)[5]>(c.table);
            const char(&absent)[5] = *reinterpret_cast<const char(*)[5]>(c.absent);
            EXPECT_EQ(savedType(bytes, absent), 0u);
            EXPECT_EQ(savedType(bytes, table),
                      version < 4 ? sig("mft2") : c.cls == ClassOutput ? sig("mBA ") : sig("mAB "));
        }
    }
}

TEST_F(VirtTest, DeviceLinksFollowTheirTransforms)
{
    ProfilePtr srgb = openFile(SrgbPath);
    ProfilePtr cmyk = openFile(CmykPath);
    ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
    ASSERT_TRUE(srgb && cmyk && lab);
    struct Case {
        const char* name;
        IccProfile* from;
        uint32_t in;
        IccProfile* to;
        uint32_t out;
        uint32_t transformFlags;
        int tableTolerance;   // 16-bit units against the transform's own kind of table
        int steps;            // 8-bit steps against the unoptimised chain; -1: not compared
    };
    const Case cases[] = {
        // The transform's table is resampled once more: nearly the same values.
        // Against the chain itself only a loose bound: the press profile's black
        // generation bends sharply where no 33-point grid follows it.
        {"RGB to CMYK, 8-bit transform", srgb.get(), FormatRgb8, cmyk.get(), FormatCmyk8, 0, 2, 16},
        // The table made from the unoptimised chain.
        {"RGB to CMYK, float transform", srgb.get(), FormatRgbFloat, cmyk.get(), FormatCmykFloat,
         XformNoOptimise, 2, 16},
        // Most Lab colours lie outside sRGB, where clipping bends every channel.
        {"Lab to RGB", lab.get(), FormatLab16, srgb.get(), FormatRgb16, 0, 8, -1},
    };
    for (const Case& c : cases) {
        for (double version : {2.1, 4.3}) {
            SCOPED_TRACE(std::string(c.name) + (version < 4 ? ", version 2" : ", version 4"));
            TransformPtr t(createTransform(c.from, c.in, c.to, c.out, IntentPerceptual, c.transformFlags),
                           &deleteTransform);
            ASSERT_NE(t, nullptr);
            ProfilePtr p = adopt(transformToDeviceLink(t.get(), version, 0));
            ASSERT_NE(p, nullptr);
            ProfilePtr again = reopened(p.get());
            ASSERT_NE(again, nullptr);
            const uint32_t inFormat = formatForSpace(transformEntrySpace(t.get()), 2, false);
            const uint32_t outFormat = formatForSpace(transformExitSpace(t.get()), 2, false);
            TransformPtr table(createTransform(c.from, inFormat, c.to, outFormat, IntentPerceptual,
                                               XformForceClut | XformNoCache),
                               &deleteTransform);
            TransformPtr truth(createTransform(c.from, inFormat, c.to, outFormat, IntentPerceptual,
                                               XformNoOptimise | XformNoCache),
                               &deleteTransform);
            TransformPtr viaLink(createTransform(again.get(), inFormat, nullptr, outFormat, IntentPerceptual,
                                                 XformNoOptimise | XformNoCache),
                                 &deleteTransform);
            ASSERT_TRUE(table && truth && viaLink);
            int worstTable = 0, worstSteps = 0;
            const uint32_t outputs = formatChannels(outFormat);
            for (uint32_t i = 0; i < 8192; ++i) {
                const uint16_t in[3] = {uint16_t((i * 2731u) & 0xFFFF), uint16_t((i * 40503u) & 0xFFFF),
                                        uint16_t((i * 9973u) & 0xFFFF)};
                uint16_t a[4] = {}, b[4] = {}, r[4] = {};
                doTransform(table.get(), in, a, 1);
                doTransform(viaLink.get(), in, b, 1);
                doTransform(truth.get(), in, r, 1);
                for (uint32_t o = 0; o < outputs; ++o) {
                    worstTable = std::max(worstTable, std::abs(int(a[o]) - int(b[o])));
                    worstSteps = std::max(worstSteps, std::abs(int(b[o] >> 8) - int(r[o] >> 8)));
                }
            }
            // Version 2 indexes its table by version-2 Lab: another grid.
            if (version >= 4 || transformEntrySpace(t.get()) != SpaceLab) EXPECT_LE(worstTable, c.tableTolerance);
            if (c.steps >= 0) EXPECT_LE(worstSteps, c.steps);
        }
    }
}

TEST_F(VirtTest, TablesOfWritableShapesAreKeptAsTheyAre)
{
    ToneCurve* g = gamma(1.8);
    const ToneCurve* const three[3] = {g, g, g};
    ProfilePtr linearisation = adopt(createLinearizationLink(nullptr, SpaceRgb, three));
    ASSERT_NE(linearisation, nullptr);
    TransformPtr t(createTransform(linearisation.get(), FormatRgbFloat, nullptr, FormatRgbFloat, IntentPerceptual,
                                   XformNoOptimise),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    // Version 4: the one curves stage is written as it is, parametric curves and all.
    ProfilePtr kept = adopt(transformToDeviceLink(t.get(), 4.3, 0));
    ASSERT_NE(kept, nullptr);
    const auto* table = static_cast<const Pipeline*>(loadTag(kept.get(), sig("A2B0")));
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(pipelineStageCount(table), 1u);
    EXPECT_EQ(parametricTypeOf(stageCurves(pipelineFirstStage(table))[0]), 1);
    const std::vector<uint8_t> bytes = saved(kept.get());
    EXPECT_EQ(savedType(bytes, "A2B0"), sig("mAB "));
    EXPECT_EQ(savedType(bytes, "pseq"), 0u);   // the transform kept no sequence

    // Forced into a table: curves, a 2-point-per-side grid would not do; the
    // grid of the flags.
    ProfilePtr forced = adopt(transformToDeviceLink(t.get(), 4.3, XformForceClut | xformGridPoints(9)));
    ASSERT_NE(forced, nullptr);
    const auto* clutTable = static_cast<const Pipeline*>(loadTag(forced.get(), sig("A2B0")));
    ASSERT_NE(clutTable, nullptr);
    const Stage* clut = stageNext(pipelineFirstStage(clutTable));
    ASSERT_EQ(stageKind(clut), StageClutKind);
    EXPECT_EQ(clutGridPoints(clut)[0], 9u);

    // Version 2 has no curves-only form with parametric curves in 'mft2' but
    // holds the curves as tables; 8 bits asks for 'mft1'.
    ProfilePtr v2 = adopt(transformToDeviceLink(t.get(), 2.1, DeviceLink8Bits));
    ASSERT_NE(v2, nullptr);
    EXPECT_EQ(savedType(saved(v2.get()), "A2B0"), sig("mft1"));
}

TEST_F(VirtTest, NamedColourTransformsBecomeNamedColourProfiles)
{
    ProfilePtr named = openFile(NamedPath);
    ASSERT_NE(named, nullptr);
    ASSERT_EQ(profileDeviceClass(named.get()), ClassNamedColor);
    const uint32_t index16 = pixelFormat(0, 1, 2);
    TransformPtr t(createTransform(named.get(), index16, nullptr, FormatLab16, IntentPerceptual, 0),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    ProfilePtr p = adopt(transformToDeviceLink(t.get(), 4.3, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(profileDeviceClass(p.get()), ClassNamedColor);
    EXPECT_EQ(profilePcs(p.get()), SpaceLab);
    EXPECT_EQ(text(p.get(), InfoDescription), "Named color devicelink");
    ProfilePtr again = reopened(p.get());
    ASSERT_NE(again, nullptr);
    const auto* list = static_cast<const NamedColorList*>(loadTag(again.get(), sig("ncl2")));
    const auto* source = static_cast<const NamedColorList*>(loadTag(named.get(), sig("ncl2")));
    ASSERT_TRUE(list && source);
    ASSERT_EQ(namedColorCount(list), namedColorCount(source));
    EXPECT_EQ(namedColorDeviceCoordinates(list), 3u);
    for (uint32_t i : {0u, namedColorCount(list) / 2, namedColorCount(list) - 1}) {
        char name[33], sourceName[33];
        uint16_t device[16], pcs[3], sourcePcs[3];
        ASSERT_TRUE(namedColorInfo(list, i, name, nullptr, nullptr, pcs, device));
        ASSERT_TRUE(namedColorInfo(source, i, sourceName, nullptr, nullptr, sourcePcs, nullptr));
        EXPECT_STREQ(name, sourceName);
        EXPECT_EQ(pcs[0], sourcePcs[0]);
        // The device values are the transform's output for the colour's index.
        const uint16_t in[1] = {uint16_t(i)};
        uint16_t out[3];
        doTransform(t.get(), in, out, 1);
        EXPECT_EQ(device[0], out[0]);
        EXPECT_EQ(device[2], out[2]);
    }
}

TEST_F(VirtTest, VersionTwoLinksCarryLabInTheVersionTwoEncoding)
{
    // An abstract Lab to Lab transform as a version-2 link and as a version-4
    // link: read back, both give the transform's colours.
    const ToneCurve* const curves[3] = {gamma(1.2), gamma(1.0), gamma(1.0)};
    ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
    ProfilePtr bend = adopt(createLinearizationLink(nullptr, SpaceLab, curves));
    ASSERT_TRUE(lab && bend);
    IccProfile* chain[2] = {lab.get(), bend.get()};
    TransformPtr t(createMultiTransform(nullptr, chain, 2, FormatLab16, FormatLab16, IntentPerceptual,
                                        XformNoOptimise),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    for (double version : {2.1, 4.3}) {
        SCOPED_TRACE(version);
        ProfilePtr p = adopt(transformToDeviceLink(t.get(), version, DeviceLinkGuessClass));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(profileDeviceClass(p.get()), ClassAbstract);
        ProfilePtr again = reopened(p.get());
        ASSERT_NE(again, nullptr);
        TransformPtr viaLink(createTransform(again.get(), FormatLab16, nullptr, FormatLab16, IntentPerceptual,
                                             XformNoOptimise | XformNoCache),
                             &deleteTransform);
        ASSERT_NE(viaLink, nullptr);
        int worst = 0;
        for (uint32_t L = 0; L <= 0xFFFF; L += 4369)
            for (uint32_t a = 0x2000; a <= 0xE000; a += 0x3000) {
                const uint16_t in[3] = {uint16_t(L), uint16_t(a), uint16_t(0x10000 - a)};
                uint16_t x[3], y[3];
                doTransform(t.get(), in, x, 1);
                doTransform(viaLink.get(), in, y, 1);
                for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(int(x[k]) - int(y[k])));
            }
        EXPECT_LE(worst, 300) << "in 16-bit units, about one unit of L*";
    }
}

TEST_F(VirtTest, LabLinksKeepWhiteWhiteAtBothVersions)
{
    // Lab through sRGB and back: white is white, and colours brighter than
    // white stop at it. A version-2 table is indexed by version-2 Lab, whose
    // top (L* 100.39) lies beyond white; white itself must not be
    // interpolated towards it.
    ProfilePtr srgb = openFile(SrgbPath);
    ProfilePtr lab = adopt(createLabIdentityV4(nullptr, nullptr));
    ASSERT_TRUE(srgb && lab);
    IccProfile* chain[4] = {lab.get(), srgb.get(), srgb.get(), lab.get()};
    TransformPtr t(createMultiTransform(nullptr, chain, 4, FormatLab16, FormatLab16, IntentRelativeColorimetric, 0),
                   &deleteTransform);
    ASSERT_NE(t, nullptr);
    for (double version : {2.1, 4.3}) {
        SCOPED_TRACE(version);
        ProfilePtr again = reopened(adopt(transformToDeviceLink(t.get(), version, 0)).get());
        ASSERT_NE(again, nullptr);
        TransformPtr f(createTransform(again.get(), FormatLabDouble, nullptr, FormatLabDouble,
                                       IntentRelativeColorimetric, XformNoOptimise),
                       &deleteTransform);
        ASSERT_NE(f, nullptr);
        for (double L : {100.0, 99.0, 50.0}) {
            const CieLab grey{L, 0, 0};
            CieLab out;
            doTransform(f.get(), &grey, &out, 1);
            EXPECT_LT(deltaE76(out, grey), L == 100.0 ? 0.01 : 0.05) << L;
        }
    }
}

} // namespace
