// Test helpers for tag objects: an error collector, profile round trips and
// comparisons of decoded tag objects by what they mean (curves and pipelines
// by evaluation, texts by lookup).
#pragma once

#include "osl.h"
#include "profile_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tagtest {

using testbytes::Bytes;
using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;

struct Report {
    uint32_t code;
    std::string text;
};

inline std::vector<Report>& reports()
{
    static std::vector<Report> all;
    return all;
}

inline void collect(EngineContext*, uint32_t code, const char* text)
{
    reports().push_back({code, text});
}

inline std::string reportText()
{
    std::string s;
    for (const Report& r : reports()) s += "[" + std::to_string(r.code) + "] " + r.text + "\n";
    return s;
}

// A fresh context whose errors go to reports().
class TagTypesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reports().clear();
        ctx = createContext(nullptr, nullptr);
        setContextErrorHandler(ctx, collect);
    }
    void TearDown() override { deleteContext(ctx); }

    ProfilePtr open(const Bytes& b)
    {
        return ProfilePtr(openFromMemoryContext(ctx, b.data(), uint32_t(b.size())), &closeProfile);
    }
    ProfilePtr blank(double version)
    {
        ProfilePtr p(createBlankProfile(ctx), &closeProfile);
        setVersionFromNumber(p.get(), version);
        return p;
    }
    // The saved bytes, or empty when the save fails.
    Bytes save(IccProfile* p)
    {
        uint32_t size = 0;
        if (!saveToMemory(p, nullptr, &size)) return {};
        Bytes out(size);
        if (!saveToMemory(p, out.data(), &size)) return {};
        return out;
    }
    void expectOnly(uint32_t code, const std::string& text)
    {
        ASSERT_EQ(reports().size(), 1u) << reportText();
        EXPECT_EQ(reports()[0].code, code);
        EXPECT_EQ(reports()[0].text, text);
    }

    EngineContext* ctx = nullptr;
};

// The data of a tag in saved profile bytes (type base included).
inline Bytes tagBytes(const Bytes& profile, uint32_t tag)
{
    for (const testbytes::Entry& e : testbytes::directory(profile))
        if (e.sig == tag) return Bytes(profile.begin() + e.offset, profile.begin() + e.offset + e.size);
    return {};
}

inline std::string utf8(const LocalizedText* t, const char* language, const char* country)
{
    const uint32_t n = getTextUtf8(t, language, country, nullptr, 0);
    if (n == 0) return "<none>";
    std::string s(n, '\0');
    getTextUtf8(t, language, country, s.data(), n);
    s.resize(n - 1);
    return s;
}

inline std::string narrow(const LocalizedText* t, const char* language, const char* country)
{
    const uint32_t n = getText8(t, language, country, nullptr, 0);
    if (n == 0) return "<none>";
    std::string s(n, '\0');
    getText8(t, language, country, s.data(), n);
    s.resize(n - 1);
    return s;
}

// Texts agree when every entry of either gives the same text in both
// (the text without language compared as 8-bit text, which is all that
// 'text' and 'desc' keep of it).
inline void expectSameText(const LocalizedText* a, const LocalizedText* b, const std::string& where)
{
    ASSERT_TRUE(a && b) << where;
    for (const LocalizedText* t : {a, b}) {
        for (uint32_t i = 0; i < localizedTextEntryCount(t); ++i) {
            char language[3], country[3];
            localizedTextEntryCodes(t, i, language, country);
            if (!language[0] && !country[0]) {
                EXPECT_EQ(narrow(a, language, country), narrow(b, language, country)) << where;
            } else {
                EXPECT_EQ(utf8(a, language, country), utf8(b, language, country)) << where << " " << language;
            }
        }
    }
}

// Curves holding the same 16-bit table.
inline void expectSameTable(const ToneCurve* a, const ToneCurve* b, const std::string& where)
{
    ASSERT_TRUE(a && b) << where;
    ASSERT_EQ(tableEntryCount(a), tableEntryCount(b)) << where;
    EXPECT_EQ(0, std::memcmp(tableEntries(a), tableEntries(b), 2 * tableEntryCount(a))) << where;
}

// Curves agree at every 16-bit input and, in float, at many points.
inline void expectSameCurve(const ToneCurve* a, const ToneCurve* b, const std::string& where, int tolerance16 = 0)
{
    ASSERT_TRUE(a && b) << where;
    int worst = 0;
    for (uint32_t v = 0; v <= 65535; v += 3) worst = std::max(worst, std::abs(int(evalCurve16(a, uint16_t(v))) -
                                                                            int(evalCurve16(b, uint16_t(v)))));
    EXPECT_LE(worst, tolerance16) << where;
    for (int i = 0; i <= 1000; ++i) {
        const float x = float(i / 1000.0);
        // A table quantises its input to 16 bits as well as its output.
        EXPECT_NEAR(evalCurveFloat(a, x), evalCurveFloat(b, x), tolerance16 ? (tolerance16 + 1) / 65535.0 : 1e-6)
            << where << " at " << x;
    }
}

// Pipelines agree on many random inputs within 16-bit rounding.
inline void expectSamePipeline(const Pipeline* a, const Pipeline* b, const std::string& where, int tolerance = 1)
{
    ASSERT_TRUE(a && b) << where;
    ASSERT_EQ(pipelineInputs(a), pipelineInputs(b)) << where;
    ASSERT_EQ(pipelineOutputs(a), pipelineOutputs(b)) << where;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> word(0, 65535);
    uint16_t in[16], outA[16], outB[16];
    int worst = 0;
    for (int n = 0; n < 2000; ++n) {
        for (uint32_t i = 0; i < pipelineInputs(a); ++i) in[i] = uint16_t(n < 2 ? n * 65535 : word(random));
        evalPipeline16(in, outA, a);
        evalPipeline16(in, outB, b);
        for (uint32_t o = 0; o < pipelineOutputs(a); ++o) worst = std::max(worst, std::abs(outA[o] - outB[o]));
    }
    EXPECT_LE(worst, tolerance) << where;
}

// Pipelines of the same stages holding the same 16-bit tables, matrices and
// CLUT values (what the 8- and 16-bit LUT types keep of any curve).
inline void expectSameTables(const Pipeline* a, const Pipeline* b, const std::string& where)
{
    ASSERT_TRUE(a && b) << where;
    ASSERT_EQ(pipelineStageCount(a), pipelineStageCount(b)) << where;
    for (const Stage *x = pipelineFirstStage(a), *y = pipelineFirstStage(b); x && y; x = stageNext(x), y = stageNext(y)) {
        ASSERT_EQ(stageKind(x), stageKind(y)) << where;
        ASSERT_EQ(stageInputs(x), stageInputs(y)) << where;
        ASSERT_EQ(stageOutputs(x), stageOutputs(y)) << where;
        if (stageKind(x) == StageCurvesKind) {
            for (uint32_t i = 0; i < stageInputs(x); ++i) {
                const ToneCurve *cx = stageCurves(x)[i], *cy = stageCurves(y)[i];
                ASSERT_EQ(tableEntryCount(cx), tableEntryCount(cy)) << where;
                EXPECT_EQ(0, std::memcmp(tableEntries(cx), tableEntries(cy), 2 * tableEntryCount(cx))) << where;
            }
        } else if (stageKind(x) == StageClutKind) {
            ASSERT_EQ(clutEntryCount(x), clutEntryCount(y)) << where;
            EXPECT_EQ(0, std::memcmp(clutTable16(x), clutTable16(y), 2 * clutEntryCount(x))) << where;
        } else if (stageKind(x) == StageMatrixKind) {
            for (uint32_t i = 0; i < stageInputs(x) * stageOutputs(x); ++i)
                EXPECT_EQ(stageMatrix(x)[i], stageMatrix(y)[i]) << where;
        }
    }
}

inline void expectSameNamedColors(const NamedColorList* a, const NamedColorList* b, const std::string& where)
{
    ASSERT_TRUE(a && b) << where;
    ASSERT_EQ(namedColorCount(a), namedColorCount(b)) << where;
    ASSERT_EQ(namedColorDeviceCoordinates(a), namedColorDeviceCoordinates(b)) << where;
    for (uint32_t i = 0; i < namedColorCount(a); ++i) {
        char na[33], nb[33], pa[33], pb[33], sa[33], sb[33];
        uint16_t pcsA[3], pcsB[3], devA[16] = {}, devB[16] = {};
        namedColorInfo(a, i, na, pa, sa, pcsA, devA);
        namedColorInfo(b, i, nb, pb, sb, pcsB, devB);
        EXPECT_STREQ(na, nb) << where;
        EXPECT_STREQ(pa, pb) << where;
        EXPECT_STREQ(sa, sb) << where;
        EXPECT_EQ(0, std::memcmp(pcsA, pcsB, sizeof pcsA)) << where;
        EXPECT_EQ(0, std::memcmp(devA, devB, sizeof devA)) << where;
    }
}

inline void expectSameDictionary(const IccDictionary* a, const IccDictionary* b, const std::string& where)
{
    ASSERT_TRUE(a && b) << where;
    const DictEntry* x = dictionaryEntries(a);
    const DictEntry* y = dictionaryEntries(b);
    for (; x && y; x = x->next, y = y->next) {
        EXPECT_EQ(std::wstring(x->name), std::wstring(y->name)) << where;
        EXPECT_EQ(x->value == nullptr, y->value == nullptr) << where;
        if (x->value && y->value) {
            EXPECT_EQ(std::wstring(x->value), std::wstring(y->value)) << where;
        }
        EXPECT_EQ(x->displayName == nullptr, y->displayName == nullptr) << where;
        if (x->displayName && y->displayName) expectSameText(x->displayName, y->displayName, where + " name");
        EXPECT_EQ(x->displayValue == nullptr, y->displayValue == nullptr) << where;
        if (x->displayValue && y->displayValue) expectSameText(x->displayValue, y->displayValue, where + " value");
    }
    EXPECT_TRUE(!x && !y) << where << ": entry counts differ";
}

// 'pseq' keeps the device fields and texts, 'psid' the identifiers and descriptions.
inline void expectSameSequence(const ProfileSequence* a, const ProfileSequence* b, bool identifiers,
                               const std::string& where)
{
    ASSERT_TRUE(a && b) << where;
    ASSERT_EQ(a->count, b->count) << where;
    for (uint32_t i = 0; i < a->count; ++i) {
        const ProfileSequenceItem &x = a->items[i], &y = b->items[i];
        if (identifiers) {
            EXPECT_EQ(0, std::memcmp(x.profileId, y.profileId, 16)) << where;
            expectSameText(x.description, y.description, where);
            continue;
        }
        EXPECT_EQ(x.manufacturer, y.manufacturer) << where;
        EXPECT_EQ(x.model, y.model) << where;
        EXPECT_EQ(x.attributes, y.attributes) << where;
        EXPECT_EQ(x.technology, y.technology) << where;
        expectSameText(x.manufacturerText, y.manufacturerText, where);
        expectSameText(x.modelText, y.modelText, where);
    }
}

// Two decoded objects of a tag whose data were of `type`.
inline void expectSameTagObject(uint32_t tag, uint32_t type, const void* a, const void* b, const std::string& where)
{
    ASSERT_TRUE(a) << where << ": first object missing";
    ASSERT_TRUE(b) << where << ": second object missing";
    switch (type) {
    case sig("XYZ "): {
        auto *x = static_cast<const CieXyz*>(a), *y = static_cast<const CieXyz*>(b);
        EXPECT_EQ(x->X, y->X) << where;
        EXPECT_EQ(x->Y, y->Y) << where;
        EXPECT_EQ(x->Z, y->Z) << where;
        break;
    }
    case sig("curv"):
    case sig("para"):
        expectSameCurve(static_cast<const ToneCurve*>(a), static_cast<const ToneCurve*>(b), where);
        break;
    case sig("mft1"):
    case sig("mft2"):
    case sig("mAB "):
    case sig("mBA "):
    case sig("mpet"):
        expectSamePipeline(static_cast<const Pipeline*>(a), static_cast<const Pipeline*>(b), where);
        break;
    case sig("text"):
    case sig("desc"):
    case sig("mluc"):
    case sig("crdi"):
        expectSameText(static_cast<const LocalizedText*>(a), static_cast<const LocalizedText*>(b), where);
        break;
    case sig("sf32"):
    case sig("uf32"): {
        const int n = (tag == sig("chad") || tag == sig("arts")) ? 9 : 1;
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(static_cast<const double*>(a)[i], static_cast<const double*>(b)[i]) << where;
        break;
    }
    case sig("sig "): EXPECT_EQ(*static_cast<const uint32_t*>(a), *static_cast<const uint32_t*>(b)) << where; break;
    case sig("chrm"): {
        auto *x = static_cast<const Chromaticities*>(a), *y = static_cast<const Chromaticities*>(b);
        EXPECT_EQ(x->colorantType, y->colorantType) << where;
        for (auto [p, q] : {std::pair{x->red, y->red}, std::pair{x->green, y->green}, std::pair{x->blue, y->blue}}) {
            EXPECT_EQ(p.x, q.x) << where;
            EXPECT_EQ(p.y, q.y) << where;
        }
        break;
    }
    case sig("view"): {
        auto *x = static_cast<const IccViewingConditions*>(a), *y = static_cast<const IccViewingConditions*>(b);
        EXPECT_EQ(x->illuminant.Y, y->illuminant.Y) << where;
        EXPECT_EQ(x->surround.X, y->surround.X) << where;
        EXPECT_EQ(x->illuminantType, y->illuminantType) << where;
        break;
    }
    case sig("meas"): {
        auto *x = static_cast<const IccMeasurement*>(a), *y = static_cast<const IccMeasurement*>(b);
        EXPECT_EQ(x->observer, y->observer) << where;
        EXPECT_EQ(x->backing.Z, y->backing.Z) << where;
        EXPECT_EQ(x->geometry, y->geometry) << where;
        EXPECT_EQ(x->flare, y->flare) << where;
        EXPECT_EQ(x->illuminantType, y->illuminantType) << where;
        break;
    }
    case sig("dict"):
        expectSameDictionary(static_cast<const IccDictionary*>(a), static_cast<const IccDictionary*>(b), where);
        break;
    case sig("ncl2"):
    case sig("clrt"):
        expectSameNamedColors(static_cast<const NamedColorList*>(a), static_cast<const NamedColorList*>(b), where);
        break;
    case sig("pseq"):
    case sig("psid"):
        expectSameSequence(static_cast<const ProfileSequence*>(a), static_cast<const ProfileSequence*>(b),
                           type == sig("psid"), where);
        break;
    case sig("vcgt"):
        for (int i = 0; i < 3; ++i)
            expectSameCurve(static_cast<const VideoCardGamma*>(a)->curves[i],
                            static_cast<const VideoCardGamma*>(b)->curves[i], where);
        break;
    case sig("clro"): {
        auto *x = static_cast<const ColorantOrder*>(a), *y = static_cast<const ColorantOrder*>(b);
        ASSERT_EQ(x->count, y->count) << where;
        EXPECT_EQ(0, std::memcmp(x->order, y->order, x->count)) << where;
        break;
    }
    case sig("dtim"): {
        auto *x = static_cast<const std::tm*>(a), *y = static_cast<const std::tm*>(b);
        EXPECT_EQ(x->tm_year, y->tm_year) << where;
        EXPECT_EQ(x->tm_mon, y->tm_mon) << where;
        EXPECT_EQ(x->tm_mday, y->tm_mday) << where;
        EXPECT_EQ(x->tm_hour, y->tm_hour) << where;
        EXPECT_EQ(x->tm_min, y->tm_min) << where;
        EXPECT_EQ(x->tm_sec, y->tm_sec) << where;
        break;
    }
    case sig("data"): {
        auto *x = static_cast<const IccData*>(a), *y = static_cast<const IccData*>(b);
        EXPECT_EQ(x->flag, y->flag) << where;
        ASSERT_EQ(x->length, y->length) << where;
        EXPECT_EQ(0, std::memcmp(x->bytes, y->bytes, x->length)) << where;
        break;
    }
    case sig("bfd "): {
        auto *x = static_cast<const UcrBg*>(a), *y = static_cast<const UcrBg*>(b);
        expectSameCurve(x->ucr, y->ucr, where + " ucr");
        expectSameCurve(x->bg, y->bg, where + " bg");
        expectSameText(x->description, y->description, where);
        break;
    }
    case sig("scrn"): {
        auto *x = static_cast<const IccScreening*>(a), *y = static_cast<const IccScreening*>(b);
        EXPECT_EQ(x->flags, y->flags) << where;
        ASSERT_EQ(x->channels, y->channels) << where;
        for (uint32_t i = 0; i < x->channels; ++i) {
            EXPECT_EQ(x->channel[i].frequency, y->channel[i].frequency) << where;
            EXPECT_EQ(x->channel[i].angle, y->channel[i].angle) << where;
            EXPECT_EQ(x->channel[i].spotShape, y->channel[i].spotShape) << where;
        }
        break;
    }
    case sig("cicp"): EXPECT_EQ(0, std::memcmp(a, b, sizeof(VideoSignalType))) << where; break;
    case sig("MHC2"): {
        auto *x = static_cast<const Mhc2*>(a), *y = static_cast<const Mhc2*>(b);
        ASSERT_EQ(x->entryCount, y->entryCount) << where;
        EXPECT_EQ(x->minLuminance, y->minLuminance) << where;
        EXPECT_EQ(x->peakLuminance, y->peakLuminance) << where;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(x->matrix[i], y->matrix[i]) << where;
        for (uint32_t i = 0; i < x->entryCount; ++i) {
            EXPECT_EQ(x->red[i], y->red[i]) << where;
            EXPECT_EQ(x->green[i], y->green[i]) << where;
            EXPECT_EQ(x->blue[i], y->blue[i]) << where;
        }
        break;
    }
    default: ADD_FAILURE() << where << ": no comparison for this type"; break;
    }
}

} // namespace tagtest
