#include "tools/core/outputembedder.h"

#include "app/core/builder.h"
#include "curves/core/curvefamily.h"
#include "tools/core/toolfiles.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr char PressLab[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";   // printer, Lab PCS
constexpr char PressXyz[] = "/usr/share/color/icc/ghostscript/ps_cmyk.icc";        // printer, XYZ PCS

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

uint32_t be32(const QByteArray& b, qsizetype at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(b.constData() + at);
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The tags of an ICC file, read from its tag table: signature to data.
QMap<uint32_t, QByteArray> tagsOf(const QByteArray& file)
{
    QMap<uint32_t, QByteArray> tags;
    if (file.size() < 132) return tags;
    const uint32_t count = be32(file, 128);
    for (uint32_t i = 0; i < count && 132 + 12 * (i + 1) <= uint32_t(file.size()); ++i) {
        const qsizetype at = 132 + 12 * qsizetype(i);
        const uint32_t offset = be32(file, at + 4), size = be32(file, at + 8);
        if (uint64_t(offset) + size <= uint64_t(file.size())) tags[be32(file, at)] = file.mid(offset, size);
    }
    return tags;
}

// The header without the fields a rewrite changes: size, version, date, ID.
QByteArray stableHeader(const QByteArray& file)
{
    QByteArray h = file.left(128);
    for (const auto& [at, n] : {std::pair{0, 4}, std::pair{8, 4}, std::pair{24, 12}, std::pair{84, 16}})
        h.replace(at, n, QByteArray(n, '\0'));
    return h;
}

// The largest difference (16-bit units) between two profiles' tables for a
// tag on a grid of inputs: 0 for equal bytes; a table rewritten in another
// encoding (an 8-bit version-2 table as a version-4 one) differs only by the
// rounding of the new encoding. -1 when a table is missing.
int tableDifference(const QByteArray& fileA, const QByteArray& fileB, uint32_t tag)
{
    const QMap<uint32_t, QByteArray> a = tagsOf(fileA), b = tagsOf(fileB);
    if (a.value(tag) == b.value(tag)) return 0;
    ProfilePtr pa = adoptProfile(openFromMemory(fileA.constData(), uint32_t(fileA.size())));
    ProfilePtr pb = adoptProfile(openFromMemory(fileB.constData(), uint32_t(fileB.size())));
    const auto* ta = static_cast<const Pipeline*>(loadTag(pa.get(), tag));
    const auto* tb = static_cast<const Pipeline*>(loadTag(pb.get(), tag));
    if (!ta || !tb || pipelineInputs(ta) != pipelineInputs(tb) || pipelineOutputs(ta) != pipelineOutputs(tb))
        return -1;
    const uint32_t inputs = pipelineInputs(ta);
    int worst = 0;
    for (uint32_t i = 0; i < 9 * 9 * 9 * 9; ++i) {
        uint16_t in[4] = {uint16_t(i % 9 * 8191), uint16_t(i / 9 % 9 * 8191), uint16_t(i / 81 % 9 * 8191),
                          uint16_t(i / 729 * 8191)};
        if (inputs < 4 && i >= 729) break;
        uint16_t oa[16], ob[16];
        evalPipeline16(in, oa, ta);
        evalPipeline16(in, ob, tb);
        for (uint32_t c = 0; c < pipelineOutputs(ta); ++c) worst = std::max(worst, std::abs(int(oa[c]) - int(ob[c])));
    }
    return worst;
}

// How far a profile's own PCS-to-device table for an intent lies from the
// chain it should hold (applied directly, unoptimised), in percent ink, over
// colours inside the press gamut.
struct Spread {
    double mean = 0, max = 0;
};

Spread tableSpread(IccProfile* p, uint32_t intent, std::vector<IccProfile*> chain)
{
    std::unique_ptr<Pipeline, decltype(&freePipeline)> table{outputPipelineOf(p, intent), &freePipeline};
    TransformPtr exact{createMultiTransform(nullptr, chain.data(), uint32_t(chain.size()), FormatLabDouble,
                                            FormatCmykDouble, intent, 0x144),
                       &deleteTransform};
    if (!table || !exact) return {1e9, 1e9};
    Spread s;
    int n = 0;
    for (double L = 30; L <= 90; L += 5)
        for (double a = -30; a <= 30; a += 10)
            for (double b = -30; b <= 30; b += 10) {
                const double in[3] = {L, a, b};
                const float normal[3] = {float(L / 100), float((a + 128) / 255), float((b + 128) / 255)};
                double want[4];
                float got[4];
                doTransform(exact.get(), in, want, 1);
                evalPipelineFloat(normal, got, table.get());
                for (int c = 0; c < 4; ++c) {
                    const double d = std::fabs(got[c] * 100.0 - want[c]);
                    s.mean += d;
                    s.max = std::max(s.max, d);
                    ++n;
                }
            }
    s.mean /= n;
    return s;
}

// The largest difference between two profiles' PCS-to-device tables for an
// intent, over a Lab grid (0 … 1 device units), as the engine reads them.
double tableChange(IccProfile* a, IccProfile* b, uint32_t intent)
{
    std::unique_ptr<Pipeline, decltype(&freePipeline)> ta{outputPipelineOf(a, intent), &freePipeline};
    std::unique_ptr<Pipeline, decltype(&freePipeline)> tb{outputPipelineOf(b, intent), &freePipeline};
    if (!ta || !tb) return 1e9;
    double worst = 0;
    for (int i = 0; i < 11 * 11 * 11; ++i) {
        const float in[3] = {float(i % 11) / 10, float(i / 11 % 11) / 10, float(i / 121) / 10};
        float x[4], y[4];
        evalPipelineFloat(in, x, ta.get());
        evalPipelineFloat(in, y, tb.get());
        for (int c = 0; c < 4; ++c) worst = std::max(worst, double(std::fabs(x[c] - y[c])));
    }
    return worst;
}

// CMYK → Lab through a profile's own device-to-PCS table.
CieLab tableLab(IccProfile* p, uint32_t intent, std::initializer_list<float> cmyk)
{
    std::unique_ptr<Pipeline, decltype(&freePipeline)> lut{inputPipelineOf(p, intent), &freePipeline};
    float in[4], out[3] = {};
    std::copy(cmyk.begin(), cmyk.end(), in);
    if (lut) evalPipelineFloat(in, out, lut.get());
    return {out[0] * 100.0, out[1] * 255.0 - 128.0, out[2] * 255.0 - 128.0};
}

QString text(IccProfile* p, uint32_t which)
{
    char buffer[512] = {};
    profileTextUtf8(p, which, "en", "US", buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

class EmbedderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registerCurveFamilyPlugin());
        ASSERT_TRUE(QFile::exists(QString::fromLatin1(PressLab))) << PressLab << " is missing";
        ASSERT_TRUE(QFile::exists(QString::fromLatin1(PressXyz))) << PressXyz << " is missing";
        ASSERT_TRUE(dir_.isValid());
        // A look that darkens and desaturates, saved like the program saves it.
        Recipe look;
        look.tab = RecipeTab::Cam16;
        look.correlates[0].selectFamily(CurveFamily::Gamma);
        look.correlates[0].setValue(1.4);
        look.correlates[1].selectFamily(CurveFamily::Gamma);
        look.correlates[1].setValue(1.5);
        BuildResult built = buildProfileWithRecipe(look, ResolutionPreferences{});
        ASSERT_TRUE(built.ok());
        abstract_ = dir_.filePath(QStringLiteral("look.icc"));
        ASSERT_TRUE(saveProfileToFile(built.profile.get(), abstract_));
    }

    EmbedRequest request(const char* base, const char* out)
    {
        EmbedRequest r;
        r.baseProfile = QString::fromLatin1(base);
        r.abstractProfile = abstract_;
        r.outputFile = dir_.filePath(QString::fromLatin1(out));
        r.perceptual = r.saturation = r.relativeColorimetric = false;
        r.gridPoints = 17;
        ProfilePtr p = adoptProfile(openProfileByName(r.baseProfile));
        r.description = text(p.get(), InfoDescription);
        r.copyright = text(p.get(), InfoCopyright);
        return r;
    }

    QTemporaryDir dir_;
    QString abstract_;
};

TEST_F(EmbedderTest, NoIntentChangesOnlyTextsAndVersion)
{
    EmbedRequest r = request(PressLab, "same.icc");
    r.description = QStringLiteral("Renamed press");
    r.copyright = QStringLiteral("Mine");
    r.versionIndex = 1;
    const ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();

    const QByteArray before = readFile(r.baseProfile), after = readFile(r.outputFile);
    EXPECT_EQ(stableHeader(after), stableHeader(before));
    const QMap<uint32_t, QByteArray> a = tagsOf(before), b = tagsOf(after);
    EXPECT_EQ(a.keys(), b.keys());
    for (uint32_t tag : a.keys()) {
        if (tag == sig("desc") || tag == sig("cprt")) continue;
        EXPECT_EQ(a[tag], b[tag]) << std::hex << tag;
    }
    ProfilePtr p = adoptProfile(openProfileFile(r.outputFile));
    ASSERT_TRUE(p);
    EXPECT_EQ(profileVersion(p.get()), 0x02100000u);
    EXPECT_EQ(text(p.get(), InfoDescription), QStringLiteral("Renamed press"));
    EXPECT_EQ(text(p.get(), InfoCopyright), QStringLiteral("Mine"));
}

TEST_F(EmbedderTest, SameDescriptionLeavesTheTagAlone)
{
    EmbedRequest r = request(PressLab, "texts.icc");
    r.versionIndex = 1;   // the base profile's own version 2, so nothing else changes type
    ASSERT_TRUE(embedAbstractProfile(r).ok);
    // Not replaced: still the version-2 description type with the same text
    // (a replacement would be a new one-language text).
    ProfilePtr before = adoptProfile(openProfileFile(r.baseProfile));
    ProfilePtr after = adoptProfile(openProfileFile(r.outputFile));
    EXPECT_EQ(text(after.get(), InfoDescription), text(before.get(), InfoDescription));
    loadTag(after.get(), sig("desc"));
    EXPECT_EQ(linkedTypeOf(after.get(), sig("desc")), sig("desc"));
}

TEST_F(EmbedderTest, OnlyTheTickedIntentChanges)
{
    EmbedRequest r = request(PressLab, "perceptual.icc");
    r.perceptual = true;
    r.versionIndex = 1;   // the base's own version: no table changes its reference medium
    const ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    const QByteArray before = readFile(r.baseProfile), after = readFile(r.outputFile);
    EXPECT_GT(tableDifference(before, after, sig("B2A0")), 2000);
    // The base profile's B2A1 and B2A2 share the B2A0 data; they keep it.
    for (const uint32_t tag : {sig("B2A1"), sig("B2A2"), sig("A2B0"), sig("A2B1"), sig("A2B2")}) {
        const int d = tableDifference(before, after, tag);
        EXPECT_GE(d, 0) << std::hex << tag;
        EXPECT_LE(d, 32) << std::hex << tag;
    }

    // The new perceptual table applies the look first: Lab → CMYK through it
    // agrees with Lab → look → the base profile's own table.
    ProfilePtr base = adoptProfile(openProfileFile(r.baseProfile));
    ProfilePtr look = adoptProfile(openProfileFile(abstract_));
    ProfilePtr embedded = adoptProfile(openProfileFile(r.outputFile));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    IccProfile* viaLook[3] = {lab.get(), look.get(), base.get()};
    IccProfile* direct[2] = {lab.get(), embedded.get()};
    TransformPtr expected{createMultiTransform(nullptr, viaLook, 3, FormatLabDouble, FormatCmykDouble, 0, 0x144),
                          &deleteTransform};
    TransformPtr got{createMultiTransform(nullptr, direct, 2, FormatLabDouble, FormatCmykDouble, 0, 0x144),
                     &deleteTransform};
    ASSERT_TRUE(expected && got);
    double worst = 0, changed = 0;
    for (double L : {30.0, 50.0, 70.0})
        for (double ab : {-20.0, 0.0, 20.0}) {
            const double in[3] = {L, ab, -ab};
            double e[4], g[4], plain[4];
            doTransform(expected.get(), in, e, 1);
            doTransform(got.get(), in, g, 1);
            IccProfile* old[2] = {lab.get(), base.get()};
            TransformPtr t{createMultiTransform(nullptr, old, 2, FormatLabDouble, FormatCmykDouble, 0, 0x144),
                           &deleteTransform};
            doTransform(t.get(), in, plain, 1);
            for (int c = 0; c < 4; ++c) {
                worst = std::max(worst, std::fabs(e[c] - g[c]));
                changed = std::max(changed, std::fabs(plain[c] - g[c]));
            }
        }
    EXPECT_LT(worst, 3.5);     // percent ink: the resampling of a 17-point table
    EXPECT_GT(changed, 5.0);   // the look is there
}

// The ghostscript press profile shares one table among its three intents
// (and one among its A2B tables). Each chosen intent gets the look once, from
// the base profile; the others keep the base profile's tables.
TEST_F(EmbedderTest, SharedTablesGetTheLookOnceAndOnlyWhereChosen)
{
    ProfilePtr base = adoptProfile(openProfileFile(QString::fromLatin1(PressLab)));
    ProfilePtr look = adoptProfile(openProfileFile(abstract_));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    ASSERT_TRUE(base && look && lab);

    EmbedRequest r = request(PressLab, "shared.icc");
    r.perceptual = r.saturation = true;
    r.versionIndex = 1;
    r.gridPoints = 33;
    ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr embedded = adoptProfile(openProfileFile(r.outputFile));
    ASSERT_TRUE(embedded);
    for (const uint32_t intent : {IntentPerceptual, IntentSaturation}) {
        // Against the look applied once, then the base profile.
        const Spread once = tableSpread(embedded.get(), intent, {look.get(), base.get()});
        EXPECT_LT(once.mean, 0.5) << "intent " << intent;
        EXPECT_LT(once.max, 3.0) << "intent " << intent;
    }
    EXPECT_LT(tableChange(embedded.get(), base.get(), IntentRelativeColorimetric), 1e-4);

    // Every table rebuilt, the look only in the perceptual one.
    r = request(PressLab, "all.icc");
    r.perceptual = true;
    r.regenerateAll = true;
    r.versionIndex = 1;
    result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr all = adoptProfile(openProfileFile(r.outputFile));
    ASSERT_TRUE(all);
    // (17 points per axis here, so the resampling leaves more.)
    const Spread looked = tableSpread(all.get(), IntentPerceptual, {look.get(), base.get()});
    EXPECT_LT(looked.mean, 0.75);
    EXPECT_LT(looked.max, 10.0);
    for (const uint32_t intent : {IntentRelativeColorimetric, IntentSaturation}) {
        const Spread plain = tableSpread(all.get(), intent, {lab.get(), base.get()});
        EXPECT_LT(plain.mean, 0.75) << "intent " << intent;
        EXPECT_LT(plain.max, 10.0) << "intent " << intent;
    }
    // The file's K-only node holds L* 14592 / 652.8 = 22.35 (version-2 Lab);
    // the rebuilt relative colorimetric table keeps it.
    EXPECT_NEAR(tableLab(all.get(), IntentRelativeColorimetric, {0, 0, 0, 1}).L, 14592 / 652.8, 0.3);
}

// A float table is preferred to the 16-bit one of its intent: one whose
// 16-bit table gets the look goes (absolute colorimetric's with relative
// colorimetric's), else colour engines would keep using it; the others stay.
TEST_F(EmbedderTest, FloatTablesOfRebuiltIntentsGo)
{
    ProfilePtr base = adoptProfile(openProfileFile(QString::fromLatin1(PressLab)));
    ASSERT_TRUE(base);
    setVersionFromNumber(base.get(), 4.3);
    const std::vector<float> ink(2 * 2 * 2 * 4, 0.5f);
    const uint32_t grid[3] = {2, 2, 2};
    std::unique_ptr<Pipeline, decltype(&freePipeline)> table{newPipeline(nullptr, 3, 4), &freePipeline};
    ASSERT_TRUE(insertStage(table.get(), AtEnd, newClutFloatStage(nullptr, grid, 3, 4, ink.data())));
    for (const uint32_t tag : {sig("B2D0"), sig("B2D1"), sig("B2D2"), sig("B2D3")})
        ASSERT_TRUE(storeTag(base.get(), tag, table.get()));
    const QString floats = dir_.filePath(QStringLiteral("floats.icc"));
    ASSERT_TRUE(saveProfileToFile(base.get(), floats));

    EmbedRequest r = request(PressLab, "floats-out.icc");
    r.baseProfile = floats;
    r.relativeColorimetric = true;
    const ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr out = adoptProfile(openProfileFile(r.outputFile));
    ASSERT_TRUE(out);
    const struct { uint32_t tag; bool kept; } rows[] = {
        {sig("B2D0"), true}, {sig("B2D1"), false}, {sig("B2D2"), true}, {sig("B2D3"), false}, {sig("B2A1"), true}};
    for (const auto& row : rows) EXPECT_EQ(hasTag(out.get(), row.tag), row.kept) << std::hex << row.tag;
}

// Lab moved by the black-point scaling between the reference media: per
// XYZ component X' = to + (X − from)(W − to)/(W − from), D50 white.
CieLab scaledBlack(const CieLab& lab, const CieXyz& from, const CieXyz& to)
{
    const CieXyz x = labToXyz(nullptr, lab);
    auto move = [](double v, double f, double t, double w) { return t + (v - f) * (w - t) / (w - f); };
    const CieXyz moved{move(x.X, from.X, to.X, D50.X), move(x.Y, from.Y, to.Y, D50.Y), move(x.Z, from.Z, to.Z, D50.Z)};
    return xyzToLab(nullptr, moved);
}

const CieXyz MediumBlack{0.00336, 0.0034731, 0.00287};   // the version-4 perceptual reference medium's

// A Lab abstract profile doing that scaling, for chains in the tests.
ProfilePtr blackScalingProfile(const CieXyz& from, const CieXyz& to)
{
    ProfilePtr p = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    Stage* clut = newClut16StageUniform(nullptr, 65, 3, 3, nullptr);
    struct Ends {
        CieXyz from, to;
    } ends{from, to};
    auto sampler = [](const uint16_t in[], uint16_t out[], void* cargo) {
        const auto* e = static_cast<const Ends*>(cargo);
        const CieLab lab{in[0] * 100.0 / 65535, in[1] * 255.0 / 65535 - 128, in[2] * 255.0 / 65535 - 128};
        const CieLab m = scaledBlack(lab, e->from, e->to);
        auto word = [](double v) { return uint16_t(std::clamp(std::floor(v * 65535 + 0.5), 0.0, 65535.0)); };
        out[0] = word(m.L / 100);
        out[1] = word((m.a + 128) / 255);
        out[2] = word((m.b + 128) / 255);
        return true;
    };
    std::unique_ptr<Pipeline, decltype(&freePipeline)> table{newPipeline(nullptr, 3, 3), &freePipeline};
    if (!p || !clut || !sampleClut16(clut, sampler, &ends, 0) || !insertStage(table.get(), AtEnd, clut) ||
        !storeTag(p.get(), sig("A2B0"), table.get()))
        return adoptProfile(nullptr);
    return p;
}

// A version-2 base written as 4.3: the relative colorimetric tables keep
// their colours (the file's white node holds 65280, 32768, 32768: L* 100, a*
// 0, b* 0 in version-2 Lab). The perceptual and saturation ones are moved to
// the version-4 reference medium: towards the connection space the base's
// own black (CMYK 400 % through its table, neutral) becomes the medium's,
// and the perceptual table with the look takes the medium's black back to
// zero before the base's table. The new file has its own date and ID.
TEST_F(EmbedderTest, Version2BaseWrittenAs43KeepsItsTables)
{
    EmbedRequest r = request(PressLab, "v4.icc");
    r.perceptual = true;
    r.versionIndex = 0;
    r.gridPoints = 33;
    const std::time_t started = std::time(nullptr);
    const ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr base = adoptProfile(openProfileFile(r.baseProfile));
    ProfilePtr embedded = adoptProfile(openProfileFile(r.outputFile));
    ProfilePtr look = adoptProfile(openProfileFile(abstract_));
    ASSERT_TRUE(base && embedded && look);
    EXPECT_EQ(profileVersion(embedded.get()), 0x04300000u);

    for (const uint32_t intent : {IntentPerceptual, IntentRelativeColorimetric, IntentSaturation}) {
        SCOPED_TRACE(intent);
        const bool moved = intent != IntentRelativeColorimetric;
        CieLab black = tableLab(base.get(), intent, {1, 1, 1, 1});
        black = {std::clamp(black.L, 0.0, 50.0), 0, 0};
        const CieXyz baseBlack = labToXyz(nullptr, black);
        auto expected = [&](const CieLab& lab) { return moved ? scaledBlack(lab, baseBlack, MediumBlack) : lab; };
        const CieLab white = tableLab(embedded.get(), intent, {0, 0, 0, 0});
        EXPECT_NEAR(white.L, 100.0, 0.005);
        EXPECT_NEAR(white.a, 0.0, 0.005);
        EXPECT_NEAR(white.b, 0.0, 0.005);
        EXPECT_NEAR(tableLab(embedded.get(), intent, {0, 0, 0, 1}).L, expected({14592 / 652.8, 0, 0}).L, 0.05);
        double worst = 0;
        for (uint32_t i = 0; i < 6 * 6 * 6 * 6; ++i) {
            const std::initializer_list<float> cmyk = {float(i % 6) / 5, float(i / 6 % 6) / 5, float(i / 36 % 6) / 5,
                                                       float(i / 216) / 5};
            const CieLab x = tableLab(embedded.get(), intent, cmyk), y = expected(tableLab(base.get(), intent, cmyk));
            worst = std::max(worst, std::hypot(x.L - y.L, x.a - y.a, x.b - y.b));
        }
        // Converted tables are resampled on the base's own grid and curves.
        EXPECT_LT(worst, moved ? 0.1 : 0.01);
    }
    // Relative colorimetric is left alone; the perceptual table has the look.
    EXPECT_LT(tableChange(embedded.get(), base.get(), IntentRelativeColorimetric), 1e-4);
    ProfilePtr toZero = blackScalingProfile(MediumBlack, CieXyz{0, 0, 0});
    ASSERT_TRUE(toZero);
    const Spread once = tableSpread(embedded.get(), IntentPerceptual, {look.get(), toZero.get(), base.get()});
    EXPECT_LT(once.mean, 0.5);
    EXPECT_LT(once.max, 4.5);   // the scaling moves dark colours across the base's cells

    // Its own creation date, not the base profile's, and its own ID.
    std::tm date = profileCreationDate(embedded.get());
    const std::time_t written = timegm(&date);
    EXPECT_GE(written, started - 2);
    EXPECT_LE(written, std::time(nullptr) + 2);
    const QByteArray bytes = readFile(r.outputFile);
    uint8_t id[16];
    ASSERT_TRUE(computeProfileId(bytes.constData(), uint32_t(bytes.size()), id));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(id), 16), bytes.mid(84, 16));
    EXPECT_NE(bytes.mid(84, 16), QByteArray(16, '\0'));
}

// The engine's error handler is the caller's again after an embedding, and
// hears the engine's messages during it.
TEST_F(EmbedderTest, PutsTheErrorHandlerBack)
{
    static QStringList heard;
    heard.clear();
    const ErrorHandler listen = [](EngineContext*, uint32_t, const char* message) {
        heard << QString::fromUtf8(message);
    };
    setErrorHandler(listen);
    EmbedRequest r = request(PressLab, "handler.icc");
    r.perceptual = true;
    r.abstractProfile = dir_.filePath(QStringLiteral("garbage.icc"));
    {
        QFile f(r.abstractProfile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(256, 'x'));
    }
    EXPECT_FALSE(embedAbstractProfile(r).ok);
    EXPECT_EQ(heard, QStringList{QStringLiteral("not an ICC profile, invalid signature")});
    r = request(PressLab, "handler.icc");
    EXPECT_TRUE(embedAbstractProfile(r).ok);
    EXPECT_EQ(errorHandler(), listen);
    reportError(nullptr, ErrRange, "after the embedding");
    setErrorHandler(nullptr);
    EXPECT_EQ(heard.last(), QStringLiteral("after the embedding"));
}

TEST_F(EmbedderTest, RegeneratingAllRebuildsEveryTable)
{
    EmbedRequest r = request("*srgb", "display.icc");
    r.perceptual = true;
    r.regenerateAll = true;
    std::vector<std::pair<int, int>> steps;
    const ToolResult result =
        embedAbstractProfile(r, openProfileByName, [&](int done, int total) { steps.emplace_back(done, total); });
    // Three PCS-to-device tables and three device-to-PCS ones.
    EXPECT_EQ(steps, (std::vector<std::pair<int, int>>{{1, 6}, {2, 6}, {3, 6}, {4, 6}, {5, 6}, {6, 6}}));
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr p = adoptProfile(openProfileFile(r.outputFile));
    ASSERT_TRUE(p);
    for (const uint32_t tag : {sig("B2A0"), sig("B2A1"), sig("B2A2"), sig("A2B0"), sig("A2B1"), sig("A2B2")})
        EXPECT_TRUE(hasTag(p.get(), tag)) << std::hex << tag;
    for (const uint32_t tag : {sig("rXYZ"), sig("gXYZ"), sig("bXYZ"), sig("rTRC"), sig("gTRC"), sig("bTRC")})
        EXPECT_FALSE(hasTag(p.get(), tag)) << std::hex << tag;
}

TEST_F(EmbedderTest, XyzConnectionSpaceGoesThroughTheXyzIdentity)
{
    EmbedRequest r = request(PressXyz, "xyz.icc");
    r.saturation = true;
    const ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    const QMap<uint32_t, QByteArray> a = tagsOf(readFile(r.baseProfile)), b = tagsOf(readFile(r.outputFile));
    ASSERT_TRUE(b.contains(sig("B2A2")));
    EXPECT_NE(a.value(sig("B2A2")), b[sig("B2A2")]);
}

TEST_F(EmbedderTest, FailuresWriteNothing)
{
    const QString keep = dir_.filePath(QStringLiteral("keep.icc"));
    {
        QFile f(keep);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    EmbedRequest r = request(PressLab, "keep.icc");
    r.perceptual = true;
    r.abstractProfile = dir_.filePath(QStringLiteral("missing.icc"));
    ToolResult result = embedAbstractProfile(r);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, QStringLiteral("I cannot open the base profiles"));
    EXPECT_EQ(readFile(keep), QByteArray("precious"));

    r = request(PressLab, "no/such/folder/out.icc");
    result = embedAbstractProfile(r);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.message.isEmpty());
    EXPECT_FALSE(QFile::exists(r.outputFile));
}

// Embedding into a matrix-shaper RGB profile, whose connection space is XYZ:
// over colours inside sRGB, Lab → the new perceptual table → RGB and back
// through the original profile lands where Lab → the look → the original
// profile does (both RGB results clipped to the gamut, as a device is).
TEST_F(EmbedderTest, LookInAnXyzMatrixShaperFollowsLookThenProfile)
{
    const char* srgbPath = "/usr/share/color/argyll/ref/sRGB.icm";
    ASSERT_TRUE(QFile::exists(QString::fromLatin1(srgbPath))) << srgbPath << " is missing";
    EmbedRequest r = request(srgbPath, "srgb-look.icc");
    r.perceptual = true;
    r.versionIndex = 1;   // the base's own version: only the table is new
    r.gridPoints = 33;
    const ToolResult result = embedAbstractProfile(r);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr base = adoptProfile(openProfileFile(r.baseProfile));
    ProfilePtr embedded = adoptProfile(openProfileFile(r.outputFile));
    ProfilePtr look = adoptProfile(openProfileFile(abstract_));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    ASSERT_TRUE(base && embedded && look && lab);
    const uint32_t exact = XformNoOptimise | XformNoCache;
    auto transform = [&](std::vector<IccProfile*> chain, uint32_t in, uint32_t out) {
        return TransformPtr{createMultiTransform(nullptr, chain.data(), uint32_t(chain.size()), in, out,
                                                 IntentPerceptual, exact),
                            &deleteTransform};
    };
    TransformPtr fromRgb = transform({base.get(), lab.get()}, FormatRgbDouble, FormatLabDouble);
    TransformPtr viaLook = transform({lab.get(), look.get(), base.get()}, FormatLabDouble, FormatRgbDouble);
    TransformPtr viaTable = transform({lab.get(), embedded.get()}, FormatLabDouble, FormatRgbDouble);
    ASSERT_TRUE(fromRgb && viaLook && viaTable);

    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double sum = 0, worst = 0;
    const int count = 600;
    for (int i = 0; i < count; ++i) {
        // A third of the colours dark, where a table on XYZ has one cell.
        const double scale = i % 3 == 0 ? 0.25 : 1.0;
        const double rgb[3] = {unit(random) * scale, unit(random) * scale, unit(random) * scale};
        CieLab colour, wanted, got;
        double a[3], b[3];
        doTransform(fromRgb.get(), rgb, &colour, 1);
        doTransform(viaLook.get(), &colour, a, 1);
        doTransform(viaTable.get(), &colour, b, 1);
        for (int c = 0; c < 3; ++c) {
            a[c] = std::clamp(a[c], 0.0, 1.0);
            b[c] = std::clamp(b[c], 0.0, 1.0);
        }
        doTransform(fromRgb.get(), a, &wanted, 1);
        doTransform(fromRgb.get(), b, &got, 1);
        const double d = std::hypot(wanted.L - got.L, wanted.a - got.a, wanted.b - got.b);
        sum += d;
        worst = std::max(worst, d);
    }
    EXPECT_LE(sum / count, 1.0);
    EXPECT_LE(worst, 3.0);
}

// What a version-2 CMYK base renders, in 8-bit codes, through the chains
// `apply` makes with the built-in sRGB (itself version 4), towards the press
// and back, in each intent.
struct Renders {
    std::vector<uint8_t> cmyk, rgb;
};

Renders rendersOf(IccProfile* press, uint32_t intent)
{
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    Renders r;
    if (!srgb) return r;
    TransformPtr toPress{createTransform(srgb.get(), FormatRgb8, press, FormatCmyk8, intent, XformNoOptimise | XformNoCache),
                         &deleteTransform};
    TransformPtr fromPress{createTransform(press, FormatCmyk8, srgb.get(), FormatRgb8, intent, XformNoOptimise | XformNoCache),
                           &deleteTransform};
    if (!toPress || !fromPress) return r;
    std::vector<uint8_t> rgb, cmyk;
    for (int i = 0; i < 9 * 9 * 9; ++i)
        for (int v : {i % 9, i / 9 % 9, i / 81}) rgb.push_back(uint8_t(std::min(255, v * 32)));
    for (int i = 0; i < 6 * 6 * 6 * 6; ++i)
        for (int v : {i % 6, i / 6 % 6, i / 36 % 6, i / 216}) cmyk.push_back(uint8_t(v * 51));
    r.cmyk.resize(rgb.size() / 3 * 4);
    r.rgb.resize(cmyk.size() / 4 * 3);
    doTransform(toPress.get(), rgb.data(), r.cmyk.data(), uint32_t(rgb.size() / 3));
    doTransform(fromPress.get(), cmyk.data(), r.rgb.data(), uint32_t(cmyk.size() / 4));
    return r;
}

// Mean and largest difference in codes between two renderings.
struct CodeDifference {
    double mean = 256;
    int max = 256;
};

CodeDifference codeDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    CodeDifference d;
    if (a.size() != b.size() || a.empty()) return d;
    double sum = 0;
    d.max = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int step = std::abs(int(a[i]) - int(b[i]));
        sum += step;
        d.max = std::max(d.max, step);
    }
    d.mean = sum / double(a.size());
    return d;
}

// A version-2 base written as 4.3 has its perceptual and saturation tables
// moved to the version-4 reference medium, so that every intent renders as
// before (CMYK 400 % stays the near-black it was); written back as 2.1 it
// renders as the original again. Towards the connection space the moved
// tables are resampled on the base's own nodes and render within a code;
// towards the device the scaling moves the colours across the base's cells,
// and its resampled tables render within a code on average, a few codes at
// worst near black (twice resampled on the way back).
TEST_F(EmbedderTest, VersionChangesKeepWhatEveryIntentRenders)
{
    EmbedRequest up = request(PressLab, "up.icc");
    up.versionIndex = 0;
    ToolResult result = embedAbstractProfile(up);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EmbedRequest down = request(PressLab, "down.icc");
    down.baseProfile = up.outputFile;
    down.versionIndex = 1;
    result = embedAbstractProfile(down);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    ProfilePtr base = adoptProfile(openProfileFile(up.baseProfile));
    ProfilePtr v4 = adoptProfile(openProfileFile(up.outputFile));
    ProfilePtr v2 = adoptProfile(openProfileFile(down.outputFile));
    ASSERT_TRUE(base && v4 && v2);
    ASSERT_EQ(profileVersion(v4.get()), 0x04300000u);
    ASSERT_EQ(profileVersion(v2.get()), 0x02100000u);
    for (const uint32_t intent : {IntentPerceptual, IntentRelativeColorimetric, IntentSaturation}) {
        SCOPED_TRACE(intent);
        const Renders original = rendersOf(base.get(), intent);
        const Renders up4 = rendersOf(v4.get(), intent);
        const Renders down2 = rendersOf(v2.get(), intent);
        EXPECT_LE(codeDifference(up4.rgb, original.rgb).max, 1);
        EXPECT_LE(codeDifference(up4.cmyk, original.cmyk).mean, 0.5);
        EXPECT_LE(codeDifference(up4.cmyk, original.cmyk).max, 8);
        EXPECT_LE(codeDifference(down2.rgb, original.rgb).mean, 0.1);
        EXPECT_LE(codeDifference(down2.rgb, original.rgb).max, 6);
        EXPECT_LE(codeDifference(down2.cmyk, original.cmyk).mean, 0.5);
        EXPECT_LE(codeDifference(down2.cmyk, original.cmyk).max, 12);
    }
}

}   // namespace
