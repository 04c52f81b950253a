#include "curves/core/channelcurve.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

class ChannelCurveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(registerCurveFamilyPlugin()); }
};

ChannelCurve curveOf(CurveFamily f, double value = 1.0, double offset = 0.0)
{
    ChannelCurve c;
    c.selectFamily(f);
    c.setValue(value);
    c.setOffset(offset);
    return c;
}

std::vector<uint16_t> tableOf(const ToneCurve* curve)
{
    const uint16_t* t = tableEntries(curve);
    return {t, t + tableEntryCount(curve)};
}

// Collects what the engine reports.
std::vector<std::string> engineMessages;
void collectMessage(EngineContext*, uint32_t, const char* text) { engineMessages.emplace_back(text); }

QByteArray fromBase64(const QString& text) { return QByteArray::fromBase64(text.toLatin1()); }

// ---------------------------------------------------------------------------
// Tabulated values
// ---------------------------------------------------------------------------

TEST(TabulateValuesTest, Examples)
{
    using V = std::vector<uint16_t>;
    const struct { QList<float> values; bool normalized; V table; } table[] = {
        {{0.0f, 0.5f, 1.0f}, false, {0, 32768, 65535}},          // 32767.5 rounds up
        {{0.0f, 1.0f, 2.0f}, true, {0, 32768, 65535}},
        {{0.0f, 0.25f, 0.5f}, true, {0, 32768, 65535}},          // data below 1 are stretched
        {{0.0f, 0.25f, 0.5f}, false, {0, 16384, 32768}},         // 16383.75, 32767.5
        {{-0.5f, 0.2f, 1.5f}, false, {0, 13107, 65535}},         // clamped; 13107.0
        {{1.0f, 0.0f}, false, {65535, 0}},                       // a falling table
        {{0.0f, 0.0f}, false, {0, 0}},                           // flat, not normalised
        {{0.1f, 0.1f, 0.1f}, true, {65535, 65535, 65535}},
        {{-2.0f, 1.0f}, true, {0, 65535}},                       // the maximum counts, from 0
    };
    for (const auto& row : table) EXPECT_EQ(tabulateValues(row.values, row.normalized), row.table);
}

TEST(TabulateValuesTest, IdentityCases)
{
    EXPECT_TRUE(tabulateValues({}, false).empty());
    EXPECT_TRUE(tabulateValues({0.7f}, false).empty());
    EXPECT_TRUE(tabulateValues({0.7f}, true).empty());
    // Nothing to normalise by: every value at or below 0.
    EXPECT_TRUE(tabulateValues({0.0f, 0.0f, 0.0f}, true).empty());
    EXPECT_TRUE(tabulateValues({-1.0f, -0.5f}, true).empty());
}

// ---------------------------------------------------------------------------
// Point lists
// ---------------------------------------------------------------------------

TEST(SamplePointsTest, NormalisedDataShrinksIntoTheUnitSquare)
{
    const QMap<float, float> points{{0.0f, 0.0f}, {50.0f, 100.0f}};
    const std::vector<float> normal = samplePoints(points, true);
    ASSERT_EQ(normal.size(), 4096u);
    const std::vector<float> raw = samplePoints(points, false);
    ASSERT_EQ(raw.size(), 4096u);
    for (int i = 0; i < 4096; ++i) {
        const double u = i / 4095.0;
        EXPECT_NEAR(normal[size_t(i)], u, 1e-6) << i;     // x over 0..50, y divided by 100: identity
        EXPECT_NEAR(raw[size_t(i)], 2 * u, 2e-6) << i;    // x over 0..1 on the line y = 2x
    }
}

TEST(SamplePointsTest, FlatBeyondTheEndsAndStraightBetweenPoints)
{
    // Flat at 0.3 up to x = 0.2, then to (0.6, 0.7) and (0.8, 0.1), flat at 0.1 after.
    const QMap<float, float> points{{0.2f, 0.3f}, {0.6f, 0.7f}, {0.8f, 0.1f}};
    const std::vector<float> s = samplePoints(points, false);
    ASSERT_EQ(s.size(), 4096u);
    auto reference = [](double u) {
        if (u < 0.2) return 0.3;
        if (u < 0.6) return 0.3 + (u - 0.2);              // slope 0.4 / 0.4
        if (u < 0.8) return 0.7 - 3.0 * (u - 0.6);        // slope -0.6 / 0.2
        return 0.1;
    };
    for (int i = 0; i < 4096; ++i) EXPECT_NEAR(s[size_t(i)], reference(i / 4095.0), 1e-5) << i;
    EXPECT_FLOAT_EQ(s[0], 0.3f);
    EXPECT_FLOAT_EQ(s[4095], 0.1f);
}

TEST(SamplePointsTest, NormalisingLeavesUnitDataAlone)
{
    const QMap<float, float> points{{0.0f, 0.2f}, {0.5f, 0.9f}, {1.0f, 0.4f}};
    EXPECT_EQ(samplePoints(points, true), samplePoints(points, false));
    // Only y above 1: x keeps its scale, y is divided by 4.
    const QMap<float, float> tall{{0.0f, 0.0f}, {1.0f, 4.0f}};
    const std::vector<float> s = samplePoints(tall, true);
    EXPECT_NEAR(s[2047], 2047 / 4095.0, 1e-6);
}

TEST(SamplePointsTest, FewerThanTwoPointsGiveNothing)
{
    EXPECT_TRUE(samplePoints({}, true).empty());
    EXPECT_TRUE(samplePoints({{0.5f, 0.5f}}, false).empty());
}

// ---------------------------------------------------------------------------
// Building curves
// ---------------------------------------------------------------------------

TEST_F(ChannelCurveTest, FamilyCurvesEvaluate)
{
    const struct { CurveFamily f; double value, offset; float x, y; } table[] = {
        {CurveFamily::Gamma, 1, 0, 0.37f, 0.37f},
        {CurveFamily::Gamma, 2, 0, 0.5f, 0.25f},
        {CurveFamily::Offset, 1, 0.3, 0.5f, 0.6f},
        {CurveFamily::Sigmoidal, 0, 0.7, 0.3f, 0.3f},         // identity whatever the offset
        {CurveFamily::Sigmoidal, 3, 0, 0.0f, 0.0f},
        {CurveFamily::Sigmoidal, 3, 0, 0.5f, 0.5f},
        {CurveFamily::Sigmoidal, 3, 0, 1.0f, 1.0f},
        {CurveFamily::Sigmoidal, -3, 0, 0.3f, 0.3736f},
        {CurveFamily::InverseSigmoid, 0, 0, 0.3f, 0.7f},
        {CurveFamily::InverseSigmoid, 0, 0.3, 0.3f, 0.6f},     // 1 - x - 0.1
        {CurveFamily::InverseGamma, 1, 0, 0.2f, 0.8f},
        {CurveFamily::PrelinSigmoid, 1, 0, 0.3f, 0.28644f},   // (σ(-0.4) - 1/2) / (σ(1) - 1/2) / 2 + 1/2
        {CurveFamily::Preserve, 0, 0, 0.3f, 0.3f},
    };
    for (const auto& row : table) {
        const ToneCurvePtr curve = curveOf(row.f, row.value, row.offset).buildCurvePtr();
        ASSERT_TRUE(curve) << int(row.f);
        EXPECT_NEAR(evalCurveFloat(curve.get(), row.x), row.y, 1e-4) << int(row.f) << " at " << row.x;
    }
}

TEST_F(ChannelCurveTest, ParametricFamiliesCarryTheirTypeAndParameters)
{
    const struct { CurveFamily f; int32_t type; double p0, p1; } table[] = {
        {CurveFamily::Gamma, 110, 2.2, -0.5},     {CurveFamily::Sigmoidal, 111, 4.5, 0.25},
        {CurveFamily::Offset, 112, -0.5, 0},      {CurveFamily::InverseGamma, 113, 2.2, -0.5},
        {CurveFamily::InverseSigmoid, 114, -4.5, 0.25}, {CurveFamily::PrelinSigmoid, 109, 2.2, 0},
    };
    for (const auto& row : table) {
        ChannelCurve c;
        c.selectFamily(row.f);
        c.setValue(row.p0);
        c.setOffset(row.f == CurveFamily::Offset ? row.p0 : row.p1);
        const ToneCurvePtr built = c.buildCurvePtr();
        ASSERT_TRUE(built);
        EXPECT_EQ(parametricTypeOf(built.get()), row.type);
        const CurveSegment* s = curveSegment(built.get(), 0);
        ASSERT_NE(s, nullptr);
        EXPECT_DOUBLE_EQ(s->params[0], row.p0);
        EXPECT_DOUBLE_EQ(s->params[1], row.p1);
    }
}

TEST_F(ChannelCurveTest, PreserveIsTheTwoEntryIdentity)
{
    const ToneCurvePtr curve = curveOf(CurveFamily::Preserve).buildCurvePtr();
    ASSERT_TRUE(curve);
    EXPECT_EQ(tableOf(curve.get()), (std::vector<uint16_t>{0, 65535}));
}

TEST_F(ChannelCurveTest, TabulatedBuildsTheTable)
{
    ChannelCurve c = curveOf(CurveFamily::Tabulated);
    c.setUserData(false, 0.0, {0.0f, 0.5f, 1.0f});
    ToneCurvePtr curve = c.buildCurvePtr();
    ASSERT_TRUE(curve);
    EXPECT_EQ(tableOf(curve.get()), (std::vector<uint16_t>{0, 32768, 65535}));
    c.setUserData(true, 0.0, {0.0f, 1.0f, 2.0f});
    curve = c.buildCurvePtr();
    EXPECT_EQ(tableOf(curve.get()), (std::vector<uint16_t>{0, 32768, 65535}));

    // One value, none, or nothing to normalise by: the identity.
    for (const QList<float>& values : {QList<float>{0.3f}, QList<float>{}, QList<float>{0.0f, -1.0f}}) {
        c.setUserData(true, 0.0, values);
        curve = c.buildCurvePtr();
        ASSERT_TRUE(curve);
        EXPECT_EQ(tableOf(curve.get()), (std::vector<uint16_t>{0, 65535}));
    }
}

TEST_F(ChannelCurveTest, TabulatedSmoothingKeepsTheSmoothedTable)
{
    // A rising ramp of 64 entries with alternate entries pulled down.
    QList<float> values;
    for (int i = 0; i < 64; ++i) values.append(i / 63.0f - (i % 2 ? 0.05f : 0.0f));
    ChannelCurve c = curveOf(CurveFamily::Tabulated);
    c.setUserData(false, 0.0, values);
    const ToneCurvePtr rough = c.buildCurvePtr();
    ASSERT_TRUE(rough);
    EXPECT_FALSE(isMonotonic(rough.get()));
    const std::vector<uint16_t> raw = tableOf(rough.get());
    c.setUserData(false, 5.0, values);
    const ToneCurvePtr smoothed = c.buildCurvePtr();
    ASSERT_TRUE(smoothed);
    const std::vector<uint16_t> table = tableOf(smoothed.get());
    ASSERT_EQ(table.size(), 64u);
    EXPECT_NE(table, raw);
    // The teeth are gone: smoothing makes the ramp rise steadily.
    EXPECT_TRUE(isMonotonic(smoothed.get()));

    // A table that stays non-monotonic after smoothing is reported and kept.
    engineMessages.clear();
    setErrorHandler(collectMessage);
    c.setUserData(false, 0.1, {0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f});
    const ToneCurvePtr jagged = c.buildCurvePtr();
    setErrorHandler(nullptr);
    ASSERT_TRUE(jagged);
    EXPECT_EQ(tableEntryCount(jagged.get()), 7u);
    EXPECT_NE(std::find(engineMessages.begin(), engineMessages.end(), "oslSmoothToneCurve: Non-Monotonic."),
              engineMessages.end());
}

TEST_F(ChannelCurveTest, TabulatedTooLongForTheEngineBuildsNothing)
{
    ChannelCurve c = curveOf(CurveFamily::Tabulated);
    c.setUserData(false, 0.0, QList<float>(65531, 0.5f));
    EXPECT_FALSE(c.buildCurvePtr());
    c.setUserData(false, 0.0, QList<float>(65530, 0.5f));
    EXPECT_TRUE(c.buildCurvePtr());
}

TEST_F(ChannelCurveTest, PointListBuildsAFloatCurve)
{
    ChannelCurve c = curveOf(CurveFamily::PointList);
    c.setUserData(false, {{0.0f, 0.0f}, {0.5f, 0.8f}, {1.0f, 1.0f}});
    ToneCurvePtr curve = c.buildCurvePtr();
    ASSERT_TRUE(curve);
    EXPECT_EQ(curveSegmentCount(curve.get()), 3u);
    EXPECT_NEAR(evalCurveFloat(curve.get(), 0.25f), 0.4f, 1e-4);
    EXPECT_NEAR(evalCurveFloat(curve.get(), 0.75f), 0.9f, 1e-4);

    c.setUserData(true, {{0.4f, 0.4f}});
    curve = c.buildCurvePtr();
    ASSERT_TRUE(curve);
    EXPECT_EQ(tableOf(curve.get()), (std::vector<uint16_t>{0, 65535}));
}

// ---------------------------------------------------------------------------
// Families, parameters, lock and correlates
// ---------------------------------------------------------------------------

TEST(ChannelCurveModelTest, ParametersAreRoundedAndClampedToTheFamilyRanges)
{
    const struct { CurveFamily f; double in; double value; double offsetIn; double offset; } table[] = {
        {CurveFamily::Gamma, 10.0, 4.0, 2.0, 1.0},
        {CurveFamily::Gamma, 0.1, 0.25, -3.0, -1.0},
        {CurveFamily::Gamma, 1.234, 1.23, 0.456, 0.46},
        {CurveFamily::InverseSigmoid, -20.0, -9.0, 0.125, 0.13},
        {CurveFamily::Sigmoidal, 4.444, 4.44, -0.994, -0.99},
        {CurveFamily::Offset, 5.0, 1.0, 0.3, 0.3},
        {CurveFamily::PrelinSigmoid, -1.0, 1.0, 5.0, 5.0},   // no offset control: rounding only
        {CurveFamily::PrelinSigmoid, 12.0, 9.0, 0.0, 0.0},
    };
    for (const auto& row : table) {
        const ChannelCurve c = curveOf(row.f, row.in, row.offsetIn);
        EXPECT_DOUBLE_EQ(c.value(), row.value) << int(row.f) << " " << row.in;
        EXPECT_DOUBLE_EQ(c.offset(), row.offset) << int(row.f) << " " << row.offsetIn;
    }
    ChannelCurve c = curveOf(CurveFamily::Gamma, 2.0, 0.5);
    c.setValue(std::nan(""));
    c.setOffset(std::nan(""));
    EXPECT_DOUBLE_EQ(c.value(), 2.0);
    EXPECT_DOUBLE_EQ(c.offset(), 0.5);
}

TEST(ChannelCurveModelTest, FamiliesOnOffer)
{
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    EXPECT_EQ(c.family(), CurveFamily::Preserve);
    EXPECT_TRUE(c.selectFamily(CurveFamily::InverseSigmoid));
    EXPECT_FALSE(c.selectFamily(CurveFamily::PrelinSigmoid));   // not offered
    EXPECT_FALSE(c.selectFamily(CurveFamily(0)));
    EXPECT_EQ(c.family(), CurveFamily::InverseSigmoid);

    c.setFamilies(PrelinFamilies);
    EXPECT_EQ(c.family(), CurveFamily::PrelinSigmoid);
    EXPECT_DOUBLE_EQ(c.value(), 2.5);
    EXPECT_DOUBLE_EQ(c.offset(), 0.0);
    EXPECT_FALSE(c.selectFamily(CurveFamily::Gamma));
    EXPECT_EQ(c.family(), CurveFamily::PrelinSigmoid);

    // Nothing on offer: any family, but only families.
    ChannelCurve free;
    EXPECT_TRUE(free.selectFamily(CurveFamily::Tabulated));
    EXPECT_FALSE(free.selectFamily(CurveFamily(1000)));
    EXPECT_EQ(free.family(), CurveFamily::Tabulated);
}

TEST(ChannelCurveModelTest, FamilyChangeResetsUnlessLocked)
{
    ChannelCurve c;
    c.setFamilies(Cam16Families);
    c.selectFamily(CurveFamily::Gamma);
    EXPECT_DOUBLE_EQ(c.value(), 1.0);
    c.setValue(3.0);
    c.setOffset(0.5);
    c.selectFamily(CurveFamily::Sigmoidal);
    EXPECT_DOUBLE_EQ(c.value(), 0.0);
    EXPECT_DOUBLE_EQ(c.offset(), 0.0);

    c.setValue(7.5);
    c.setOffset(-0.4);
    c.setLocked(true);
    EXPECT_FALSE(c.reset());
    c.selectFamily(CurveFamily::Gamma);                  // kept, but clamped to the gamma range
    EXPECT_DOUBLE_EQ(c.value(), 4.0);
    EXPECT_DOUBLE_EQ(c.offset(), -0.4);
    c.setValue(2.0);                                      // the setters work while locked
    EXPECT_DOUBLE_EQ(c.value(), 2.0);

    c.setLocked(false);
    EXPECT_TRUE(c.reset());
    EXPECT_DOUBLE_EQ(c.value(), 1.0);
    EXPECT_DOUBLE_EQ(c.offset(), 0.0);
}

TEST(ChannelCurveModelTest, FreeFormDataSurviveFamilySwitches)
{
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    c.selectFamily(CurveFamily::Tabulated);
    c.setUserData(true, 2.5, {0.1f, 0.2f});
    c.setUserData(false, {{0.0f, 1.0f}, {1.0f, 0.0f}});
    c.selectFamily(CurveFamily::Gamma);
    c.selectFamily(CurveFamily::PointList);
    EXPECT_EQ(c.values(), (QList<float>{0.1f, 0.2f}));
    EXPECT_EQ(c.points(), (QMap<float, float>{{0.0f, 1.0f}, {1.0f, 0.0f}}));
    EXPECT_FALSE(c.normalized());     // one flag for both kinds of data
    EXPECT_DOUBLE_EQ(c.smoothing(), 2.5);
}

TEST(ChannelCurveModelTest, FreeFormDataAreSanitised)
{
    ChannelCurve c;
    const float inf = INFINITY;
    c.setUserData(false, 42.0, {0.5f, NAN, inf});
    EXPECT_EQ(c.values(), (QList<float>{0.5f, 0.0f, 0.0f}));
    EXPECT_DOUBLE_EQ(c.smoothing(), 10.0);
    c.setUserData(false, -3.0, {});
    EXPECT_DOUBLE_EQ(c.smoothing(), 0.0);
    c.setUserData(false, 1.26, {});
    EXPECT_DOUBLE_EQ(c.smoothing(), 1.3);
    c.setUserData(false, NAN, {});
    EXPECT_DOUBLE_EQ(c.smoothing(), 0.0);
    c.setUserData(true, QMap<float, float>{{0.5f, NAN}, {-inf, 0.25f}});
    EXPECT_EQ(c.points(), (QMap<float, float>{{0.0f, 0.25f}, {0.5f, 0.0f}}));
}

TEST(ChannelCurveModelTest, Correlates)
{
    ChannelCurve c;
    c.setFamilies(Cam16Families);
    EXPECT_FALSE(c.setCorrelateIndex(1));   // no correlates: always 0
    EXPECT_EQ(c.correlateIndex(), 0);
    c.setCorrelateCount(3);
    EXPECT_TRUE(c.hasCorrelates());
    c.selectFamily(CurveFamily::Gamma);
    c.setValue(2.0);
    EXPECT_TRUE(c.setCorrelateIndex(2));
    EXPECT_EQ(c.correlateIndex(), 2);
    EXPECT_DOUBLE_EQ(c.value(), 1.0);       // another correlate resets an unlocked curve
    c.setValue(2.0);
    c.setLocked(true);
    EXPECT_TRUE(c.setCorrelateIndex(1));
    EXPECT_DOUBLE_EQ(c.value(), 2.0);
    EXPECT_FALSE(c.setCorrelateIndex(3));
    EXPECT_FALSE(c.setCorrelateIndex(-1));
    EXPECT_EQ(c.correlateIndex(), 1);
}

// ---------------------------------------------------------------------------
// The state stream
// ---------------------------------------------------------------------------

TEST(ChannelStateTest, PreserveIsNineBytes)
{
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    const QString text = c.toStateString();
    EXPECT_EQ(text.size(), 12);
    // Bytes 00 00 00 00 | 00 00 00 01 | 00, in groups of three: AAAA AAAA AAEA.
    EXPECT_EQ(text, QStringLiteral("AAAAAAAAAAEA"));
    EXPECT_EQ(fromBase64(text), QByteArray("\0\0\0\0\0\0\0\1\0", 9));
}

TEST(ChannelStateTest, GammaRecordLayout)
{
    ChannelCurve c;
    c.setFamilies(Cam16Families);
    c.setCorrelateCount(2);
    c.setCorrelateIndex(1);
    c.selectFamily(CurveFamily::Gamma);
    c.setValue(2.5);
    c.setOffset(-0.5);
    c.setLocked(true);
    // 1, 2, locked, then 2.5 = 0x4004000000000000 and -0.5 = 0xBFE0000000000000, big-endian.
    const QByteArray expected("\0\0\0\1" "\0\0\0\2" "\1"
                              "\x40\x04\0\0\0\0\0\0" "\xBF\xE0\0\0\0\0\0\0", 25);
    EXPECT_EQ(fromBase64(c.toStateString()), expected);
}

TEST(ChannelStateTest, FamilyRecordsReadBack)
{
    struct Case {
        CurveFamily f;
        double value, offset;
        double expectValue, expectOffset;   // as read into a fresh curve on the same offer
    };
    const Case cases[] = {
        {CurveFamily::Gamma, 2.2, 0.3, 2.2, 0.3},
        {CurveFamily::Sigmoidal, -4.5, -0.25, -4.5, -0.25},
        {CurveFamily::InverseGamma, 0.5, 1.0, 0.5, 1.0},
        {CurveFamily::InverseSigmoid, 9.0, -1.0, 9.0, -1.0},
        {CurveFamily::Offset, 0.0, 0.75, 0.0, 0.75},
    };
    for (const Case& row : cases) {
        ChannelCurve c;
        c.setFamilies(SoftproofFamilies);
        c.selectFamily(row.f);
        c.setValue(row.value);
        c.setOffset(row.offset);
        ChannelCurve back;
        back.setFamilies(SoftproofFamilies);
        EXPECT_TRUE(back.fromStateString(c.toStateString()));
        EXPECT_EQ(back.family(), row.f);
        EXPECT_DOUBLE_EQ(back.value(), row.expectValue) << int(row.f);
        EXPECT_DOUBLE_EQ(back.offset(), row.expectOffset) << int(row.f);
        EXPECT_FALSE(back.isLocked());
    }

    ChannelCurve prelin;
    prelin.setFamilies(PrelinFamilies);
    prelin.setValue(6.3);
    const QString text = prelin.toStateString();
    EXPECT_EQ(fromBase64(text).size(), 9 + 8);
    ChannelCurve back;
    back.setFamilies(PrelinFamilies);
    back.setOffset(0.7);
    EXPECT_TRUE(back.fromStateString(text));
    EXPECT_DOUBLE_EQ(back.value(), 6.3);
    EXPECT_DOUBLE_EQ(back.offset(), 0.0);
}

// The record as read, before anything is applied: only the stored family's
// fields are filled.
TEST(ChannelStateTest, RecordHoldsWhatTheStateCarries)
{
    // Correlate 1, gamma, locked, 2.5 and -0.5 (the layout above).
    const QByteArray gamma("\0\0\0\1" "\0\0\0\2" "\1" "\x40\x04\0\0\0\0\0\0" "\xBF\xE0\0\0\0\0\0\0", 25);
    ChannelStateRecord r;
    bool complete = false;
    ASSERT_TRUE(readStateString(QString::fromLatin1(gamma.toBase64()), r, &complete));
    EXPECT_TRUE(complete);
    EXPECT_EQ(r.correlate, 1);
    EXPECT_EQ(r.family, 2);
    EXPECT_TRUE(r.locked);
    EXPECT_EQ(r.value, 2.5);
    EXPECT_EQ(r.offset, -0.5);
    EXPECT_TRUE(r.values.isEmpty());

    // A point list: normalised, two points; the record's other fields stay zero.
    const QByteArray list("\0\0\0\0" "\0\0\1\0" "\0" "\1" "\0\0\0\2"
                          "\0\0\0\0\0\0\0\0" "\x3F\xE0\0\0\0\0\0\0"
                          "\x3F\xF0\0\0\0\0\0\0" "\x3F\xF0\0\0\0\0\0\0", 46);
    r.value = 9.0;
    ASSERT_TRUE(readStateString(QString::fromLatin1(list.toBase64()), r, &complete));
    EXPECT_TRUE(complete);
    EXPECT_EQ(r.family, 256);
    EXPECT_TRUE(r.normalized);
    EXPECT_EQ(r.points, (QMap<float, float>{{0.0f, 0.5f}, {1.0f, 1.0f}}));
    EXPECT_EQ(r.value, 0.0);

    // Cut after the lock: what came is there, the rest is zero.
    ASSERT_TRUE(readStateString(QString::fromLatin1(gamma.left(13).toBase64()), r, &complete));
    EXPECT_FALSE(complete);
    EXPECT_EQ(r.family, 2);
    EXPECT_EQ(r.value, 0.0);

    EXPECT_FALSE(readStateString(QStringLiteral("  "), r, &complete));
    EXPECT_FALSE(complete);
}

TEST(ChannelStateTest, TabulatedStateReadsBackEqual)
{
    ChannelCurve c;
    c.setFamilies(Cam16Families);
    c.selectFamily(CurveFamily::Tabulated);
    const QList<float> values{0.1f, 0.7f, 1.0f / 3.0f};
    c.setUserData(true, 2.5, values);
    c.setLocked(true);
    const QString text = c.toStateString();
    EXPECT_EQ(fromBase64(text).size(), 9 + 1 + 8 + 4 + 3 * 8);

    ChannelCurve back;
    back.setFamilies(Cam16Families);
    EXPECT_TRUE(back.fromStateString(text));
    EXPECT_EQ(back.family(), CurveFamily::Tabulated);
    EXPECT_EQ(back.values(), values);   // floats, exactly
    EXPECT_TRUE(back.normalized());
    EXPECT_DOUBLE_EQ(back.smoothing(), 2.5);
    EXPECT_TRUE(back.isLocked());
}

TEST(ChannelStateTest, PointListStateReadsBackEqual)
{
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    c.selectFamily(CurveFamily::PointList);
    const QMap<float, float> points{{0.0f, 0.1f}, {0.3f, 0.35f}, {1.0f, 0.9f}};
    c.setUserData(true, points);
    ChannelCurve back;
    back.setFamilies(SoftproofFamilies);
    EXPECT_TRUE(back.fromStateString(c.toStateString()));
    EXPECT_EQ(back.family(), CurveFamily::PointList);
    EXPECT_EQ(back.points(), points);
    EXPECT_TRUE(back.normalized());
}

TEST(ChannelStateTest, ContainersUseQtsOwnEncoding)
{
    // A record written field by field with Qt's own container operators.
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << qint32(0) << qint32(16) << false << true << 1.5 << QList<float>{0.25f, 0.5f};
        out << qint32(0) << qint32(256) << true << false << QMap<float, float>{{0.5f, 0.25f}, {1.0f, 1.0f}};
    }
    QDataStream in(bytes);
    ChannelCurve c;
    in >> c;
    EXPECT_EQ(c.family(), CurveFamily::Tabulated);
    EXPECT_EQ(c.values(), (QList<float>{0.25f, 0.5f}));
    EXPECT_DOUBLE_EQ(c.smoothing(), 1.5);
    in >> c;
    EXPECT_EQ(in.status(), QDataStream::Ok);
    EXPECT_EQ(c.family(), CurveFamily::PointList);
    EXPECT_EQ(c.points(), (QMap<float, float>{{0.5f, 0.25f}, {1.0f, 1.0f}}));
    EXPECT_TRUE(c.isLocked());

    // And what the curve writes, Qt reads.
    QByteArray written;
    {
        QDataStream out(&written, QIODevice::WriteOnly);
        out << c;
    }
    QDataStream check(written);
    qint32 correlate, family;
    bool locked, normalized;
    QMap<float, float> points;
    check >> correlate >> family >> locked >> normalized >> points;
    EXPECT_EQ(check.status(), QDataStream::Ok);
    EXPECT_TRUE(check.atEnd());
    EXPECT_EQ(points, c.points());
}

TEST(ChannelStateTest, StoredFamilyNotOnOfferStillReadsItsParameters)
{
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    c.selectFamily(CurveFamily::InverseGamma);
    c.setValue(3.0);
    c.setOffset(0.5);
    const QString text = c.toStateString();

    ChannelCurve cam;
    cam.setFamilies(Cam16Families);          // no inverse gamma here
    cam.selectFamily(CurveFamily::Sigmoidal);
    EXPECT_TRUE(cam.fromStateString(text));
    EXPECT_EQ(cam.family(), CurveFamily::Sigmoidal);
    EXPECT_DOUBLE_EQ(cam.value(), 3.0);
    EXPECT_DOUBLE_EQ(cam.offset(), 0.5);
}

TEST(ChannelStateTest, EmptyTextChangesNothing)
{
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    c.selectFamily(CurveFamily::Gamma);
    c.setValue(2.0);
    c.setLocked(true);
    EXPECT_FALSE(c.fromStateString(QString()));
    EXPECT_EQ(c.family(), CurveFamily::Gamma);
    EXPECT_DOUBLE_EQ(c.value(), 2.0);
    EXPECT_TRUE(c.isLocked());
}

TEST(ChannelStateTest, GarbageReadsAsZeros)
{
    for (const QString& text : {QStringLiteral("!!! not Base64 !!!"), QStringLiteral("AAA"),
                                QStringLiteral("\u00e9t\u00e9")}) {
        ChannelCurve c;
        c.setFamilies(Cam16Families);
        c.setCorrelateCount(3);
        c.setCorrelateIndex(2);
        c.selectFamily(CurveFamily::Gamma);
        c.setValue(2.0);
        c.setLocked(true);
        EXPECT_FALSE(c.fromStateString(text)) << text.toStdString();
        EXPECT_EQ(c.correlateIndex(), 0);
        EXPECT_EQ(c.family(), CurveFamily::Gamma);   // family 0 is none: kept
        EXPECT_FALSE(c.isLocked());
        EXPECT_DOUBLE_EQ(c.value(), 2.0);
    }
}

TEST(ChannelStateTest, EveryCutShortStateReadsWithoutHarm)
{
    ChannelCurve full;
    full.setFamilies(SoftproofFamilies);
    full.selectFamily(CurveFamily::PointList);
    full.setUserData(true, {{0.0f, 0.0f}, {0.5f, 0.6f}, {1.0f, 1.0f}});
    full.setLocked(true);
    const QByteArray bytes = fromBase64(full.toStateString());
    for (int n = 1; n < bytes.size(); ++n) {
        ChannelCurve c;
        c.setFamilies(SoftproofFamilies);
        EXPECT_FALSE(c.fromStateString(QString::fromLatin1(bytes.left(n).toBase64()))) << n;
        // The family arrives with byte 8, the lock with byte 9; a map cut short is empty.
        EXPECT_EQ(c.family(), n >= 8 ? CurveFamily::PointList : CurveFamily::Preserve) << n;
        EXPECT_EQ(c.isLocked(), n >= 9) << n;
        EXPECT_TRUE(c.points().isEmpty()) << n;
    }
}

TEST(ChannelStateTest, HugeCountsDoNotAllocate)
{
    // Tabulated, not normalised, smoothing 0, then a count of 2^32 - 1 and one value.
    const QByteArray list("\0\0\0\0" "\0\0\0\x10" "\0" "\0" "\0\0\0\0\0\0\0\0" "\xFF\xFF\xFF\xFF"
                          "\x3F\xE0\0\0\0\0\0\0", 30);
    ChannelCurve c;
    c.setUserData(false, 0.0, {0.5f, 0.5f});
    EXPECT_FALSE(c.fromStateString(QString::fromLatin1(list.toBase64())));
    EXPECT_EQ(c.family(), CurveFamily::Tabulated);
    EXPECT_TRUE(c.values().isEmpty());

    // Point list, normalised, a count of 2^32 - 2 and one point.
    const QByteArray map("\0\0\0\0" "\0\0\1\0" "\0" "\1" "\xFF\xFF\xFF\xFE"
                         "\x3F\xE0\0\0\0\0\0\0" "\x3F\xE0\0\0\0\0\0\0", 30);
    c.setUserData(false, {{0.5f, 0.5f}});
    EXPECT_FALSE(c.fromStateString(QString::fromLatin1(map.toBase64())));
    EXPECT_EQ(c.family(), CurveFamily::PointList);
    EXPECT_TRUE(c.points().isEmpty());
    EXPECT_TRUE(c.normalized());
}

TEST(ChannelStateTest, WildNumbersAreTamed)
{
    // Gamma with a NaN value and an enormous offset; smoothing beyond range;
    // values a float cannot hold.
    QByteArray gamma("\0\0\0\0" "\0\0\0\2" "\0" "\x7F\xF8\0\0\0\0\0\0" "\x7F\xEF\xFF\xFF\xFF\xFF\xFF\xFF", 25);
    ChannelCurve c;
    c.setFamilies(SoftproofFamilies);
    EXPECT_TRUE(c.fromStateString(QString::fromLatin1(gamma.toBase64())));
    EXPECT_EQ(c.family(), CurveFamily::Gamma);
    EXPECT_DOUBLE_EQ(c.value(), 1.0);     // NaN ignored: the default stays
    EXPECT_DOUBLE_EQ(c.offset(), 1.0);    // clamped

    QByteArray tab("\0\0\0\0" "\0\0\0\x10" "\0" "\1" "\x40\x8F\x40\0\0\0\0\0" "\0\0\0\2"
                   "\x7F\xEF\xFF\xFF\xFF\xFF\xFF\xFF" "\x3F\xE0\0\0\0\0\0\0", 38);
    EXPECT_TRUE(c.fromStateString(QString::fromLatin1(tab.toBase64())));
    EXPECT_DOUBLE_EQ(c.smoothing(), 10.0);   // 1000 clamped
    EXPECT_EQ(c.values(), (QList<float>{0.0f, 0.5f}));
}

} // namespace
