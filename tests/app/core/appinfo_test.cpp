// Window title, update page and user manual addresses.
#include "app/core/appinfo.h"

#include <gtest/gtest.h>

#include <QUrlQuery>

namespace {

struct TitleCase {
    const char* name;
    const char* fileName;
    const char* title;
};

class WindowTitle : public testing::TestWithParam<TitleCase> {};

TEST_P(WindowTitle, NamesTheDocumentOnceItHasAPath)
{
    EXPECT_EQ(AppInfo::windowTitle(QString::fromUtf8(GetParam().fileName)).toStdString(), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, WindowTitle,
    testing::Values(TitleCase{"NewDocument", "", "Osterlane Color Tonemolder"},
                    TitleCase{"Path", "/home/ann/press.icc", "Osterlane Color Tonemolder - /home/ann/press.icc"},
                    TitleCase{"SpacesAndAccents", "/tmp/a b/Ünïcode - copy.icm", "Osterlane Color Tonemolder - /tmp/a b/Ünïcode - copy.icm"},
                    TitleCase{"BlankName", " ", "Osterlane Color Tonemolder -  "}),
    [](const testing::TestParamInfo<TitleCase>& info) { return std::string(info.param.name); });

TEST(UpdateCheckUrl, AsksTheMakersUpdatePageForThisProgramAndVersion)
{
    const QUrl url = AppInfo::updateCheckUrl();
    ASSERT_TRUE(url.isValid());
    EXPECT_EQ(url.scheme().toStdString(), "https");
    EXPECT_EQ(url.host().toStdString(), "www.osterlane.com");
    EXPECT_EQ(url.path().toStdString(), "/update.php");

    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItems().size(), 1);
    EXPECT_EQ(query.queryItemValue("app", QUrl::FullyDecoded).toStdString(),
              std::string("linux_") + AppInfo::ApplicationId + "_1.9");
}

// The page comes from the settings, where anything may stand.
struct PageCase {
    const char* name;
    const char* page;
    const char* url;   // empty: refused
};

class UpdatePage : public testing::TestWithParam<PageCase> {};

TEST_P(UpdatePage, TakesWebAddressesOnly)
{
    const QUrl url = AppInfo::updateCheckUrl(QString::fromUtf8(GetParam().page), "{id}", "1.9");
    EXPECT_EQ(url.toString(QUrl::FullyDecoded).toStdString(), GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, UpdatePage,
    testing::Values(PageCase{"Https", "https://updates.example.org/check", "https://updates.example.org/check?app=linux_%7Bid%7D_1.9"},
                    PageCase{"HttpWithPortAndBlanks", "  http://127.0.0.1:8080/u.php ", "http://127.0.0.1:8080/u.php?app=linux_%7Bid%7D_1.9"},
                    PageCase{"KeepsOtherQueryItems", "https://h.org/u?channel=beta&app=old", "https://h.org/u?channel=beta&app=linux_%7Bid%7D_1.9"},
                    PageCase{"Empty", "", ""},
                    PageCase{"NoScheme", "www.osterlane.com/update.php", ""},
                    PageCase{"File", "file:///etc/passwd", ""},
                    PageCase{"NoHost", "https:///update.php", ""},
                    PageCase{"Garbage", "ht tp://a b", ""}),
    [](const testing::TestParamInfo<PageCase>& info) { return std::string(info.param.name); });

TEST(UpdateCheckUrl, IdentifierIsABracedGuid)
{
    const QString id = QString::fromLatin1(AppInfo::ApplicationId);
    ASSERT_EQ(id.size(), 38);
    EXPECT_TRUE(id.startsWith('{') && id.endsWith('}'));
    for (int dash : {9, 14, 19, 24}) EXPECT_EQ(id[dash], QLatin1Char('-')) << dash;
}

TEST(UpdateCheckUrl, SurvivesCharactersThatNeedEscaping)
{
    const QUrl url = AppInfo::updateCheckUrl(AppInfo::DefaultUpdatePage, "{a&b=c}", "2.0 beta");
    EXPECT_EQ(QUrlQuery(url).queryItemValue("app", QUrl::FullyDecoded).toStdString(), "linux_{a&b=c}_2.0 beta");
}

TEST(UserManualUrl, IsManualPdfBesideTheExecutable)
{
    const QUrl url = AppInfo::userManualUrl("/opt/tonemolder/bin");
    EXPECT_TRUE(url.isLocalFile());
    EXPECT_EQ(url.toLocalFile().toStdString(), "/opt/tonemolder/bin/manual.pdf");
}

} // namespace
