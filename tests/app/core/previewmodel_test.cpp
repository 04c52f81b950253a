#include "app/core/previewmodel.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

constexpr char AdobeRgb[] = "/usr/share/color/icc/colord/AdobeRGB1998.icc";
constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

QByteArray fileBytes(const char* path)
{
    QFile file(QString::fromLatin1(path));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path << " is missing";
    return file.readAll();
}

// Whether a profile shows RGB like the engine's sRGB: the same Lab for a few
// colours sent through each.
bool behavesLikeSrgb(IccProfile* profile)
{
    ProfilePtr srgb = adoptProfile(createSrgbProfile(nullptr));
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    auto toLab = [&](IccProfile* p, const uint8_t rgb[3]) {
        std::unique_ptr<Transform, decltype(&deleteTransform)> t{
            createTransform(p, FormatRgb8, lab.get(), FormatLabDouble, 1, 0), &deleteTransform};
        CieLab out{};
        if (t) doTransform(t.get(), rgb, &out, 1);
        return out;
    };
    for (const auto& rgb : {std::array<uint8_t, 3>{0, 255, 0}, {200, 30, 90}, {128, 128, 128}}) {
        const CieLab a = toLab(profile, rgb.data());
        const CieLab b = toLab(srgb.get(), rgb.data());
        if (std::abs(a.L - b.L) > 0.01 || std::abs(a.a - b.a) > 0.01 || std::abs(a.b - b.b) > 0.01) return false;
    }
    return true;
}

class PreviewSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        settings_ = std::make_unique<QSettings>(dir_.filePath("settings.ini"), QSettings::IniFormat);
    }
    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;
};

}   // namespace

TEST_F(PreviewSettingsTest, ResolutionPreferencesTakeTheStoredValuesOrTheDefaults)
{
    EXPECT_EQ(resolutionPreferences(*settings_), ResolutionPreferences{});   // 0, 33, 33, 1024, 1.5

    settings_->setValue("icc/version", 1);
    settings_->setValue("icc/grid_lstar", 33);
    settings_->setValue("icc/grid_abstar", "21");
    settings_->setValue("icc/grid_curves", 4096);
    settings_->setValue("icc/sigmoid_sh", 4.5);
    const ResolutionPreferences read = resolutionPreferences(*settings_);
    EXPECT_EQ(read.versionIndex, 1);
    EXPECT_EQ(read.gridLstar, 33);
    EXPECT_EQ(read.gridAbstar, 21);
    EXPECT_EQ(read.gridCurves, 4096);
    EXPECT_EQ(read.sigmoidShape, 4.5);
}

TEST(PreviewProfiles, AnEmptySelectionOpensTheBuiltInSrgb)
{
    QStringList asked;
    auto recorder = [&](const QString& name) -> IccProfile* {
        asked << name;
        return openProfileByName(name);
    };
    EXPECT_TRUE(openImageProfile(QString(), recorder));
    EXPECT_TRUE(openImageProfile("*argb", recorder));
    EXPECT_FALSE(openImageProfile("/no/such/profile.icc", recorder));
    EXPECT_EQ(asked, (QStringList{"*srgb", "*argb", "/no/such/profile.icc"}));
}

TEST(PreviewProfiles, RecipeNamesOpenTheSelectedFiles)
{
    QStringList asked;
    auto recorder = [&](const QString& name) -> IccProfile* {
        asked << name;
        return nullptr;
    };
    const ProfileOpener open = selectionOpener({{"press.icc", "/profiles/press/press.icc"},
                                                {"screen.icm", "/profiles/screen.icm"},
                                                {"press.icc", "/elsewhere/press.icc"},
                                                {"", "/nameless.icc"}},
                                               recorder);
    for (const char* name : {"press.icc", "screen.icm", "*srgb", "other.icc", "/full/path.icc", ""}) open(name);
    EXPECT_EQ(asked, (QStringList{"/profiles/press/press.icc", "/profiles/screen.icm", "*srgb", "other.icc",
                                  "/full/path.icc", ""}));
}

TEST(PreviewProfiles, WithMonitorSrgbTheDisplayIsNeverAsked)
{
    bool asked = false;
    MonitorProfileChoice choice = chooseMonitorProfile(true, [&] {
        asked = true;
        return fileBytes(AdobeRgb);
    });
    EXPECT_FALSE(asked);
    EXPECT_FALSE(choice.corrupted);
    ASSERT_TRUE(choice.profile);
    EXPECT_TRUE(behavesLikeSrgb(choice.profile.get()));
}

TEST(PreviewProfiles, TheDisplaysProfileIsUsedWhenItCanShowRgb)
{
    MonitorProfileChoice choice = chooseMonitorProfile(false, [] { return fileBytes(AdobeRgb); });
    EXPECT_FALSE(choice.corrupted);
    ASSERT_TRUE(choice.profile);
    EXPECT_EQ(profileColorSpace(choice.profile.get()), SpaceRgb);
    EXPECT_FALSE(behavesLikeSrgb(choice.profile.get()));
}

TEST(PreviewProfiles, NoDisplayProfileMeansSrgbSilently)
{
    MonitorProfileChoice choice = chooseMonitorProfile(false, [] { return QByteArray(); });
    EXPECT_FALSE(choice.corrupted);
    ASSERT_TRUE(choice.profile);
    EXPECT_TRUE(behavesLikeSrgb(choice.profile.get()));
}

TEST(PreviewProfiles, AnUnusableDisplayProfileMeansSrgbAndATellingOff)
{
    const QByteArray adobe = fileBytes(AdobeRgb);
    struct Case {
        const char* name;
        QByteArray data;
    };
    const Case cases[] = {
        {"not a profile", QByteArray("this is no profile at all, just some words")},
        {"cut short", adobe.left(200)},
        {"a press profile", fileBytes(PressProfile)},
    };
    for (const Case& c : cases) {
        MonitorProfileChoice choice = chooseMonitorProfile(false, [&] { return c.data; });
        EXPECT_TRUE(choice.corrupted) << c.name;
        ASSERT_TRUE(choice.profile) << c.name;
        EXPECT_TRUE(behavesLikeSrgb(choice.profile.get())) << c.name;
    }
}
