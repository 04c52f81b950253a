// Viewing-condition presets: the data-stream and text forms, lookup and
// appending by decode, persistence in the settings, and the editor's scales.
#include "cam16/core/viewingconditionslist.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDataStream>
#include <QFile>
#include <QIODevice>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>
#include <limits>
#include <random>

namespace {

const ViewingConditionsEntry UserPreset{false, QStringLiteral("Gallery wall, 200 lx — ünïcode"),
                                        {95.5, 100, 100.5, 18, 12.5, 1.35, 0}};

void expectSameFields(const ViewingConditionsEntry& got, const ViewingConditionsEntry& want)
{
    EXPECT_EQ(got.builtIn, want.builtIn);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.values.Xw, want.values.Xw);
    EXPECT_EQ(got.values.Yw, want.values.Yw);
    EXPECT_EQ(got.values.Zw, want.values.Zw);
    EXPECT_EQ(got.values.Yb, want.values.Yb);
    EXPECT_EQ(got.values.La, want.values.La);
    EXPECT_EQ(got.values.surround, want.values.surround);
    EXPECT_EQ(got.values.discounting, want.values.discounting);
}

QByteArray bigEndianDouble(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    QByteArray out;
    for (int shift = 56; shift >= 0; shift -= 8) out.append(char((bits >> shift) & 0xFF));
    return out;
}

// ---------------------------------------------------------------------------
// Built-in presets
// ---------------------------------------------------------------------------

TEST(BuiltInPresets, ElevenInTableOrder)
{
    const ViewingConditionsList& list = ViewingConditionsPresets::builtIns();
    ASSERT_EQ(list.size(), 11);
    struct Row { const char* name; double Xw, Zw, La, S; };
    const Row rows[] = {
        {"ICC Standard", 96.42, 82.49, 31.83, 2},
        {"ISO 3664:2009 P2 - Practical Reflection Print", 95.047, 108.883, 32, 2},
        {"CIE 116:1995  Print evaluation", 96.42, 82.49, 64, 2},
        {"ISO 3664:2009 P1 - Critical print evaluation environment", 96.42, 82.49, 127, 2},
        {"Monitor in typical work environment", 95.047, 108.883, 22, 2},
        {"Bright monitor in bright work environment", 96.42, 82.49, 42, 2},
        {"Monitor in darkened work environment", 96.42, 82.49, 4, 1},
        {"Projector in dim environment", 96.42, 82.49, 10, 1},
        {"Projector in dark environment", 96.42, 82.49, 10, 0},
        {"Photo CD - original scene outdoors", 96.42, 82.49, 320, 2},
        {"Original scene - bright Outdoors", 96.42, 82.49, 2000, 2},
    };
    for (int i = 0; i < 11; ++i) {
        const ViewingConditionsEntry& e = list[i];
        EXPECT_TRUE(e.builtIn);
        EXPECT_EQ(e.name, QString::fromLatin1(rows[i].name));
        EXPECT_EQ(e.values.Xw, rows[i].Xw);
        EXPECT_EQ(e.values.Yw, 100);
        EXPECT_EQ(e.values.Zw, rows[i].Zw);
        EXPECT_EQ(e.values.Yb, 20);
        EXPECT_EQ(e.values.La, rows[i].La);
        EXPECT_EQ(e.values.surround, rows[i].S);
        EXPECT_EQ(e.values.discounting, 1);
        // Every built-in makes a model.
        Cam16ModelPtr model(createCam16Model(nullptr, e.values), &freeCam16Model);
        EXPECT_TRUE(model) << i;
    }
}

TEST(ViewingConditionsPresets, CombinedIndexAndIcons)
{
    ViewingConditionsPresets presets;
    EXPECT_EQ(presets.count(), 11);
    EXPECT_FALSE(presets.at(-1));
    EXPECT_FALSE(presets.at(11));
    EXPECT_EQ(presets.at(0)->name, QStringLiteral("ICC Standard"));

    EXPECT_EQ(presets.append(UserPreset), 11);
    EXPECT_EQ(presets.count(), 12);
    EXPECT_EQ(presets.at(11)->name, UserPreset.name);
    EXPECT_EQ(presets.names().size(), 12);
    EXPECT_EQ(presets.names().last(), UserPreset.name);

    // The icon goes by position: a flagged entry in a user position is a user icon.
    ViewingConditionsEntry flagged = UserPreset;
    flagged.builtIn = true;
    presets.append(flagged);
    EXPECT_STREQ(ViewingConditionsPresets::iconFor(0), ":/viewing_icon_black.png");
    EXPECT_STREQ(ViewingConditionsPresets::iconFor(10), ":/viewing_icon_black.png");
    EXPECT_STREQ(ViewingConditionsPresets::iconFor(12), ":/viewing_icon_user.png");

    // Built-ins cannot be changed or removed.
    EXPECT_FALSE(presets.setValues(3, UserPreset.values));
    EXPECT_FALSE(presets.remove(3));
    EXPECT_FALSE(presets.remove(13));
    EXPECT_TRUE(presets.setValues(11, ViewingConditionsPresets::builtIns()[0].values));
    EXPECT_EQ(presets.at(11)->values.La, 31.83);
    EXPECT_TRUE(presets.remove(11));
    EXPECT_EQ(presets.count(), 12);
    EXPECT_TRUE(presets.at(11)->builtIn);
}

// ---------------------------------------------------------------------------
// Data-stream and text forms
// ---------------------------------------------------------------------------

TEST(PresetText, StreamLayoutByHand)
{
    const ViewingConditionsEntry entry{true, QStringLiteral("A"), {1, 2, 3, 4, 5, 6, 7}};
    QByteArray want;
    want.append('\x01');                                   // flag
    want.append(QByteArray::fromHex("00000002" "0041"));   // "A", UTF-16 with its byte count
    for (double v : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}) want.append(bigEndianDouble(v));
    want.append(QByteArray::fromHex("00000007"));
    EXPECT_EQ(encodePreset(entry), QString::fromLatin1(want.toBase64()));
    EXPECT_EQ(encodePreset(entry).size() % 4, 0);   // padded
}

TEST(PresetText, RoundTripsEveryField)
{
    for (const ViewingConditionsEntry& e : ViewingConditionsPresets::builtIns())
        expectSameFields(decodePresetEntry(encodePreset(e)), e);
    expectSameFields(decodePresetEntry(encodePreset(UserPreset)), UserPreset);
    ViewingConditionsEntry empty;
    expectSameFields(decodePresetEntry(encodePreset(empty)), empty);
}

TEST(PresetText, DecodeFindsBuiltInsAndAppendsTheUnknown)
{
    ViewingConditionsPresets presets;
    EXPECT_EQ(presets.decode(QString()), -1);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(presets.decode(encodePreset(ViewingConditionsPresets::builtIns()[i])), i);
    EXPECT_EQ(presets.count(), 11);

    EXPECT_EQ(presets.decode(encodePreset(UserPreset)), 11);
    EXPECT_EQ(presets.count(), 12);
    EXPECT_EQ(presets.decode(encodePreset(UserPreset)), 11);   // found the second time
    EXPECT_EQ(presets.count(), 12);

    // Numbers within 1e-4 are the same preset; the name and flag must match exactly.
    ViewingConditionsEntry close = UserPreset;
    close.values.La += 0.5e-4;
    close.values.Xw -= 0.9e-4;
    EXPECT_EQ(presets.decode(encodePreset(close)), 11);

    ViewingConditionsEntry other = UserPreset;
    other.values.surround += 2e-4;
    EXPECT_EQ(presets.decode(encodePreset(other)), 12);
    other = UserPreset;
    other.name = other.name.toUpper();
    EXPECT_EQ(presets.decode(encodePreset(other)), 13);
    other = UserPreset;
    other.values.discounting = 1;
    EXPECT_EQ(presets.decode(encodePreset(other)), 14);

    // A built-in from elsewhere, unknown here, is appended with its flag.
    ViewingConditionsEntry foreign = ViewingConditionsPresets::builtIns()[0];
    foreign.name = QStringLiteral("ICC Standard (older)");
    EXPECT_EQ(presets.decode(encodePreset(foreign)), 15);
    EXPECT_TRUE(presets.at(15)->builtIn);
}

TEST(PresetText, GarbageReadsAsAZeroedEntry)
{
    for (const char* text : {"!!! not base64 !!!", "QUJD=x", "====", "A", "ÿÿÿÿ"}) {
        const ViewingConditionsEntry e = decodePresetEntry(QString::fromUtf8(text));
        expectSameFields(e, ViewingConditionsEntry{});
    }
    ViewingConditionsPresets presets;
    EXPECT_EQ(presets.decode(QStringLiteral("%%%")), 11);     // appended like any other
    EXPECT_EQ(presets.decode(QStringLiteral("@@@@")), 11);    // and found again
}

TEST(PresetText, TextCutShortKeepsTheFieldsPresent)
{
    const QByteArray full = QByteArray::fromBase64(encodePreset(UserPreset).toLatin1());
    const int nameEnd = 1 + 4 + 2 * int(UserPreset.name.size());
    ASSERT_EQ(full.size(), nameEnd + 6 * 8 + 4);
    const double doubles[6] = {UserPreset.values.Xw, UserPreset.values.Yw, UserPreset.values.Zw,
                               UserPreset.values.Yb, UserPreset.values.La, UserPreset.values.surround};
    for (int n = 0; n < full.size(); ++n) {
        const ViewingConditionsEntry e = decodePresetEntry(QString::fromLatin1(full.left(n).toBase64()));
        EXPECT_EQ(e.builtIn, false) << n;
        EXPECT_EQ(e.name, n >= nameEnd ? UserPreset.name : QString()) << n;
        const double got[6] = {e.values.Xw, e.values.Yw, e.values.Zw, e.values.Yb, e.values.La, e.values.surround};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], n >= nameEnd + 8 * (i + 1) ? doubles[i] : 0.0) << n << " " << i;
        EXPECT_EQ(e.values.discounting, 0) << n;
    }
    // The text itself cut anywhere: each field is either whole or zero.
    const QString text = encodePreset(UserPreset);
    for (int n = 0; n < text.size(); ++n) {
        const ViewingConditionsEntry e = decodePresetEntry(text.left(n));
        EXPECT_TRUE(e.name.isEmpty() || e.name == UserPreset.name) << n;
        const double got[6] = {e.values.Xw, e.values.Yw, e.values.Zw, e.values.Yb, e.values.La, e.values.surround};
        for (int i = 0; i < 6; ++i) EXPECT_TRUE(got[i] == 0 || got[i] == doubles[i]) << n << " " << i;
        EXPECT_EQ(e.values.discounting, 0) << n;
    }
}

TEST(PresetText, RandomBytesNeverCrashAndNumbersStayFinite)
{
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes(int(random() % 120), '\0');
        for (char& c : bytes) c = char(random());
        if (round % 3 == 0 && bytes.size() > 5) bytes[1] = bytes[2] = bytes[3] = bytes[4] = 0;   // short names
        const ViewingConditionsEntry e = decodePresetEntry(QString::fromLatin1(bytes.toBase64()));
        for (double v : {e.values.Xw, e.values.Yw, e.values.Zw, e.values.Yb, e.values.La, e.values.surround})
            EXPECT_TRUE(std::isfinite(v));
    }
    ViewingConditionsEntry notFinite = UserPreset;
    notFinite.values.Xw = std::numeric_limits<double>::quiet_NaN();
    notFinite.values.La = std::numeric_limits<double>::infinity();
    const ViewingConditionsEntry e = decodePresetEntry(encodePreset(notFinite));
    EXPECT_EQ(e.values.Xw, 0.0);
    EXPECT_EQ(e.values.La, 0.0);
    EXPECT_EQ(e.values.Zw, UserPreset.values.Zw);
}

TEST(PresetListStream, RoundTripAndDamagedLists)
{
    const ViewingConditionsList list{UserPreset, ViewingConditionsPresets::builtIns()[4]};
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << list;
    }
    {
        QDataStream in(bytes);
        ViewingConditionsList back;
        in >> back;
        EXPECT_EQ(in.status(), QDataStream::Ok);
        ASSERT_EQ(back.size(), 2);
        expectSameFields(back[0], list[0]);
        expectSameFields(back[1], list[1]);
    }
    struct Damaged { const char* what; QByteArray bytes; QDataStream::Status status; };
    const Damaged damaged[] = {
        {"negative count", QByteArray::fromHex("ffffffff"), QDataStream::ReadCorruptData},
        {"huge count, no entries", QByteArray::fromHex("7fffffff"), QDataStream::ReadPastEnd},
        {"cut in the second entry", bytes.left(bytes.size() - 6), QDataStream::ReadPastEnd},
        {"empty", QByteArray(), QDataStream::ReadPastEnd},
    };
    for (const Damaged& d : damaged) {
        QDataStream in(d.bytes);
        ViewingConditionsList back{UserPreset};
        in >> back;
        EXPECT_TRUE(back.isEmpty()) << d.what;
        EXPECT_EQ(in.status(), d.status) << d.what;
    }
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

TEST(PresetSettings, UserPresetsSurviveARestart)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("settings.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        ViewingConditionsPresets presets;
        presets.load(settings, "vclist");
        EXPECT_EQ(presets.count(), 11);   // a missing key: no user presets
        presets.append(UserPreset);
        presets.append({false, QStringLiteral("Second"), {96.42, 100, 82.49, 20, 4, 0.5, 1}});
        presets.store(settings, "vclist");
        EXPECT_EQ(settings.value("vclist").metaType().name(), QByteArray("QList<ViewingConditionsEntry>"));
    }
    QSettings settings(path, QSettings::IniFormat);
    ViewingConditionsPresets presets;
    presets.load(settings, "vclist");
    ASSERT_EQ(presets.count(), 13);
    expectSameFields(*presets.at(11), UserPreset);
    EXPECT_EQ(presets.at(12)->name, QStringLiteral("Second"));
    EXPECT_EQ(presets.at(12)->values.surround, 0.5);

    EXPECT_EQ(QMetaType::fromName("ViewingConditionsList"), QMetaType::fromType<ViewingConditionsList>());
}

TEST(PresetSettings, ValuesOfAnotherTypeOrDamagedGiveAnEmptyList)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("settings.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("text", QStringLiteral("not a list"));
        settings.setValue("number", 42);
        storeUserPresets(settings, "vclist", {UserPreset, UserPreset});
    }
    // Cut the stored list in the middle of its second entry.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    const int start = text.indexOf("vclist=");
    ASSERT_GE(start, 0);
    const int end = text.indexOf('\n', start);
    text.remove(end - 40, 40);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();

    QSettings settings(path, QSettings::IniFormat);
    EXPECT_TRUE(loadUserPresets(settings, "text").isEmpty());
    EXPECT_TRUE(loadUserPresets(settings, "number").isEmpty());
    EXPECT_TRUE(loadUserPresets(settings, "missing").isEmpty());
    EXPECT_TRUE(loadUserPresets(settings, "vclist").isEmpty());
}

// ---------------------------------------------------------------------------
// Names and scales
// ---------------------------------------------------------------------------

TEST(CloneName, FirstFreeCopyName)
{
    const QStringList none;
    EXPECT_EQ(proposeCloneName("ICC Standard", none), "ICC Standard - Copy");
    const QStringList one{"ICC Standard", "ICC Standard - Copy"};
    EXPECT_EQ(proposeCloneName("ICC Standard", one), "ICC Standard - Copy (1)");
    const QStringList three{"ICC Standard - Copy", "ICC Standard - Copy (1)", "ICC Standard - Copy (2)"};
    EXPECT_EQ(proposeCloneName("ICC Standard", three), "ICC Standard - Copy (3)");
    const QStringList otherCase{"icc standard - copy"};
    EXPECT_EQ(proposeCloneName("ICC Standard", otherCase), "ICC Standard - Copy");
}

TEST(EditorScales, AdaptingLuminanceSliderAndLux)
{
    struct Row { int slider; double La; const char* lux; };
    // La = trunc(4.79675 · e^(v · 0.05665185) − 4.5); lux = round(La · 5π).
    const Row rows[] = {{0, 0, "0"}, {1, 0, "0"}, {35, 30, "471"}, {60, 139, "2183"}, {120, 4294, "67450"}};
    for (const Row& r : rows) {
        EXPECT_EQ(ViewingScales::laFromSlider(r.slider), r.La) << r.slider;
        EXPECT_EQ(ViewingScales::luxNumber(r.La), QString::fromLatin1(r.lux)) << r.slider;
    }
    EXPECT_EQ(ViewingScales::sliderFromLa(31.83), 35);
    EXPECT_EQ(ViewingScales::luxNumber(31.83), "500");
    EXPECT_EQ(ViewingScales::sliderFromLa(0.8), 1);     // ln(5.3 / 4.79675) / 0.05665185 = 1.76
    EXPECT_EQ(ViewingScales::sliderFromLa(4100), 119);
    EXPECT_EQ(ViewingScales::luxNumber(0.8), "13");
    EXPECT_EQ(ViewingScales::sliderFromLa(-10), 0);     // no number: 0, not undefined
}

TEST(EditorScales, Surround)
{
    EXPECT_EQ(ViewingScales::sliderFromSurround(1.55), 15);
    EXPECT_EQ(ViewingScales::comboFromSurround(1.55), 1);
    EXPECT_EQ(ViewingScales::sliderFromSurround(2), 20);
    EXPECT_EQ(ViewingScales::comboFromSurround(2), 2);
    EXPECT_EQ(ViewingScales::comboFromSurround(0.95), 0);
    EXPECT_EQ(ViewingScales::surroundFromSlider(7), 0.7);
}

}   // namespace
