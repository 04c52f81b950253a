// The whole application started with the plain system appearance
// ("gui/undecorated" set): names, style, splash, main window and About box.
#include "app/widgets/tonemolder.h"
#include "app/widgets/tonemolderapp.h"

#include <QDialog>
#include <QPushButton>
#include <QSettings>
#include <QSplashScreen>
#include <QStyle>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

class TonemolderAppTest : public QObject {
    Q_OBJECT

public:
    explicit TonemolderAppTest(TonemolderApp* app) : app_(app) {}

private slots:
    void namesTheApplication();
    void plainAppearanceInstallsNoStyleSheet();
    void selectorsGetDarkFolderIcons();
    void splashClosesAfterTheMainWindowIsShown();
    void aboutBoxTextIsStyledDark();

private:
    TonemolderApp* app_;
};

void TonemolderAppTest::namesTheApplication()
{
    QCOMPARE(QCoreApplication::organizationName(), QString("Osterlane"));
    QCOMPARE(QCoreApplication::applicationName(), QString("Osterlane Color Tonemolder"));
    QCOMPARE(QCoreApplication::applicationVersion(), QString("1.9"));
    QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
    QCOMPARE(QApplication::applicationDisplayName(), QString("Osterlane Color Tonemolder"));
    QVERIFY(app_->quitOnLastWindowClosed());

    // The one settings store: native format, user scope, the program's names.
    QSettings* settings = app_->settings();
    QCOMPARE(settings->parent(), app_);
    QCOMPARE(settings->format(), QSettings::NativeFormat);
    QCOMPARE(settings->scope(), QSettings::UserScope);
    QCOMPARE(settings->organizationName(), QString("Osterlane"));
    QCOMPARE(settings->applicationName(), QString("Osterlane Color Tonemolder"));
    QVERIFY(settings->value("gui/undecorated").toBool());
}

void TonemolderAppTest::plainAppearanceInstallsNoStyleSheet()
{
    QCOMPARE(app_->style()->name(), QString("fusion"));
    QVERIFY(app_->styleSheet().isEmpty());
    QVERIFY(!QApplication::overrideCursor());
}

void TonemolderAppTest::selectorsGetDarkFolderIcons()
{
    const QImage dark = QIcon(":/folder_black.png").pixmap(24, 24).toImage();
    const QImage light = QIcon(":/folder_white.png").pixmap(24, 24).toImage();
    QVERIFY(dark != light);
    for (const char* name : {"iccProfile", "iccProfileLUT", "iccPreviewImage"}) {
        auto* selector = app_->mainWindow()->findChild<QWidget*>(name);
        QVERIFY2(selector, name);
        auto* button = selector->findChild<QPushButton*>();
        QVERIFY2(button, name);
        QCOMPARE(button->icon().pixmap(24, 24).toImage(), dark);
    }
}

void TonemolderAppTest::splashClosesAfterTheMainWindowIsShown()
{
    Tonemolder* window = app_->mainWindow();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QSplashScreen* splash = app_->splash();
    QVERIFY(splash);
    QVERIFY(splash->isVisible());
    QVERIFY(splash->message().startsWith("Version 1.9 \n\n"));
    QVERIFY(splash->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!splash->pixmap().isNull());

    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(app_->splash() == nullptr, 10000);
    // The test started after construction, so at most the full 1500 ms remain.
    QVERIFY(clock.elapsed() <= TonemolderApp::SplashMs + 500);
    QVERIFY(window->isVisible());
}

void TonemolderAppTest::aboutBoxTextIsStyledDark()
{
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(box);
        seen = true;
        auto* text = box->findChild<QTextBrowser*>("textBrowser");
        QVERIFY(text);
        QCOMPARE(text->styleSheet(), QString("background-color: #4f4f4f;color: white;border: 0px none transparent; "));
        box->reject();
    });
    app_->mainWindow()->about();
    QVERIFY(seen);
}

int main(int argc, char* argv[])
{
    Q_INIT_RESOURCE(tonemolder);
    qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir config;
    if (!config.isValid()) return 1;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    {
        QSettings stored(QStringLiteral("Osterlane"), QStringLiteral("Osterlane Color Tonemolder"));
        stored.setValue(QStringLiteral("gui/undecorated"), true);
    }

    TonemolderApp app(argc, argv);
    TonemolderAppTest test(&app);
    return QTest::qExec(&test, argc, argv);
}

#include "tonemolderapp_qtest.moc"
