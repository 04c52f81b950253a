#include "profiles/core/preferencesettings.h"

#include "profiles/core/builtinspaces.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include <limits>

namespace {

class PreferenceSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        settings_ = std::make_unique<QSettings>(dir_.filePath("prefs.ini"), QSettings::IniFormat);
    }

    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;
};

TEST_F(PreferenceSettingsTest, EmptySettingsGiveTheDefaults)
{
    const PreferenceSettings p = PreferenceSettings::read(*settings_);
    EXPECT_EQ(p.resolution.versionIndex, 0);
    EXPECT_EQ(p.resolution.gridLstar, 33);
    EXPECT_EQ(p.resolution.gridAbstar, 33);
    EXPECT_EQ(p.resolution.gridCurves, 1024);
    EXPECT_EQ(p.resolution.sigmoidShape, 1.5);
    EXPECT_EQ(p.drawCurveRes, 64);
    EXPECT_FALSE(p.undecorated);
    EXPECT_EQ(p.monitorSrgb, 0);
    EXPECT_EQ(p, PreferenceSettings{});
}

TEST_F(PreferenceSettingsTest, WritesEveryKeyAndReadsItBack)
{
    PreferenceSettings p;
    p.resolution.versionIndex = 1;
    p.resolution.gridLstar = 33;
    p.resolution.gridAbstar = 9;
    p.resolution.gridCurves = 2048;
    p.resolution.sigmoidShape = 4.25;
    p.drawCurveRes = 128;
    p.undecorated = true;
    p.monitorSrgb = 1;
    p.write(*settings_);
    settings_->sync();

    const QSettings reread(dir_.filePath("prefs.ini"), QSettings::IniFormat);
    EXPECT_EQ(reread.value("icc/version").toInt(), 1);
    EXPECT_EQ(reread.value("icc/grid_lstar").toInt(), 33);
    EXPECT_EQ(reread.value("icc/grid_abstar").toInt(), 9);
    EXPECT_EQ(reread.value("icc/grid_curves").toInt(), 2048);
    EXPECT_EQ(reread.value("icc/sigmoid_sh").toDouble(), 4.25);
    EXPECT_EQ(reread.value("draw_curve_res").toInt(), 128);
    EXPECT_TRUE(reread.value("gui/undecorated").toBool());
    EXPECT_EQ(reread.value("monitor_sRGB").toInt(), 1);
    EXPECT_EQ(PreferenceSettings::read(reread), p);
}

// Stored values outside the dialog's ranges come back within them; text
// that is not a number reads as 0 before clamping.
TEST_F(PreferenceSettingsTest, ClampsToTheControlsRanges)
{
    struct Case {
        const char* key;
        QVariant stored;
        double expected;
    };
    const Case cases[] = {
        {"icc/version", 5, 1},           {"icc/version", -3, 0},
        {"icc/grid_lstar", 3, 7},        {"icc/grid_lstar", 65, 64},      {"icc/grid_lstar", "many", 7},
        {"icc/grid_abstar", 0, 7},       {"icc/grid_abstar", 1000, 64},   {"icc/grid_abstar", 64, 64},
        {"icc/grid_curves", 100, 512},   {"icc/grid_curves", 5000, 4096}, {"icc/grid_curves", 1000, 1000},
        {"icc/sigmoid_sh", -1.0, 1.0},   {"icc/sigmoid_sh", 12.5, 9.0},   {"icc/sigmoid_sh", 2.345678, 2.35},
        {"icc/sigmoid_sh", "x", 1.0},    {"icc/sigmoid_sh", 0.5, 1.0},    {"draw_curve_res", 2, 5},
        {"draw_curve_res", 10000, 4096}, {"draw_curve_res", 5, 5},        {"monitor_sRGB", 7, 1},
        {"monitor_sRGB", -1, 0},
    };
    for (const Case& c : cases) {
        settings_->clear();
        settings_->setValue(c.key, c.stored);
        const PreferenceSettings p = PreferenceSettings::read(*settings_);
        const QString key = QString::fromLatin1(c.key);
        const double got = key == "icc/version"      ? p.resolution.versionIndex
                           : key == "icc/grid_lstar"  ? p.resolution.gridLstar
                           : key == "icc/grid_abstar" ? p.resolution.gridAbstar
                           : key == "icc/grid_curves" ? p.resolution.gridCurves
                           : key == "icc/sigmoid_sh"  ? p.resolution.sigmoidShape
                           : key == "draw_curve_res"  ? p.drawCurveRes
                                                      : p.monitorSrgb;
        EXPECT_DOUBLE_EQ(got, c.expected) << c.key << " = " << c.stored.toString().toStdString();

        // Written back clamped.
        p.write(*settings_);
        EXPECT_DOUBLE_EQ(settings_->value(c.key).toDouble(), c.expected) << c.key;
    }
}

TEST_F(PreferenceSettingsTest, ClampedKeepsValuesInsideAndRoundsTheShape)
{
    PreferenceSettings p;
    // A shape that is not a number reads as 0, below the lowest the builder
    // uses (1), which the dialog offers instead.
    p.resolution.sigmoidShape = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(p.clamped().resolution.sigmoidShape, 1.0);
    p.resolution.sigmoidShape = std::numeric_limits<double>::infinity();
    EXPECT_EQ(p.clamped().resolution.sigmoidShape, 1.0);
    p.resolution.sigmoidShape = 0.5;
    EXPECT_EQ(p.clamped().resolution.sigmoidShape, 1.0);
    p.resolution.sigmoidShape = 2.125;
    EXPECT_DOUBLE_EQ(p.clamped().resolution.sigmoidShape, 2.13);
    const PreferenceSettings inside;
    EXPECT_EQ(inside.clamped(), inside);
}

TEST(MonitorEntry, ShortensLongDescriptions)
{
    struct Case {
        QString description, shown;
    };
    const QString d21 = QString(21, 'a');
    const QString d22 = QString(22, 'b');
    const QString d40 = QStringLiteral("0123456789012345678901234567890123456789");
    const Case cases[] = {
        {"", "Monitor: "},
        {"sRGB", "Monitor: sRGB"},
        {d21, "Monitor: " + d21},
        {d22, "Monitor: " + d22 + " ..."},
        {d40, "Monitor: 0123456789012345678901234 ..."},
    };
    for (const Case& c : cases) EXPECT_EQ(monitorEntryText(c.description), c.shown) << c.description.toStdString();
}

TEST(MonitorEntry, DescriptionOfAProfile)
{
    ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
    ASSERT_TRUE(srgb);
    EXPECT_EQ(monitorDescription(srgb.get()), "sRGB-like color space");
    EXPECT_EQ(monitorDescription(nullptr), "");
}

}   // namespace
