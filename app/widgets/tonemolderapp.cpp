#include "app/widgets/tonemolderapp.h"

#include "app/core/appinfo.h"
#include "app/widgets/tonemolder.h"

#include <osl.h>

#include <QFile>
#include <QPixmap>
#include <QSettings>
#include <QSplashScreen>
#include <QStyle>
#include <QTimer>

QString applicationStyleSheet(const QSettings& settings)
{
    if (settings.value(QStringLiteral("gui/undecorated"), false).toBool()) return {};
    QFile file(QStringLiteral(":/style_sheet.qss"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

TonemolderApp::TonemolderApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setOverrideCursor(Qt::WaitCursor);

    setOrganizationName(QString::fromLatin1(AppInfo::OrganizationName));
    setApplicationVersion(QString::fromLatin1(AppInfo::Version));
    setOrganizationDomain(QString::fromLatin1(AppInfo::OrganizationDomain));
    setApplicationName(QString::fromLatin1(AppInfo::ApplicationName));
    // Ties the windows to the installed desktop entry (name and icon in the task bar).
    setDesktopFileName(QString::fromLatin1(AppInfo::DesktopId));
    setQuitOnLastWindowClosed(true);

    settings_ = new QSettings(this);

    setStyle(QStringLiteral("Fusion"));
    const QString sheet = applicationStyleSheet(*settings_);
    if (!sheet.isEmpty()) setStyleSheet(sheet);

    splash_ = std::make_unique<QSplashScreen>(QPixmap(QStringLiteral(":/logo.png")),
                                              Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint);
    splash_->setFont(QFont(QStringLiteral("Arial"), 12));
    splash_->showMessage(QStringLiteral("Version %1 \n\n%2\nAbstract ICC profiles from curves, CAM16 and 3D LUTs")
                             .arg(QString::fromLatin1(AppInfo::Version), QString::fromLatin1(AppInfo::ApplicationName)),
                         Qt::AlignBottom | Qt::AlignHCenter, Qt::white);
    splash_->show();

    mainWindow_ = std::make_unique<Tonemolder>(settings_);
    mainWindow_->show();

    QTimer::singleShot(SplashMs, this, &TonemolderApp::doneSplash);
    restoreOverrideCursor();

    // Profiles and images named on the command line, once the window shows.
    const QStringList files = arguments().mid(1);
    if (!files.isEmpty())
        QTimer::singleShot(0, mainWindow_.get(), [window = mainWindow_.get(), files] { window->openFiles(files); });
}

TonemolderApp::~TonemolderApp()
{
    setOverrideCursor(Qt::WaitCursor);
    // Whatever the window still holds goes before the engine forgets its plug-ins.
    mainWindow_.reset();
    unregisterPlugins(nullptr);
    splash_.reset();
    restoreOverrideCursor();
}

QSettings* TonemolderApp::settings() const
{
    return settings_;
}

Tonemolder* TonemolderApp::mainWindow() const
{
    return mainWindow_.get();
}

QSplashScreen* TonemolderApp::splash() const
{
    return splash_.get();
}

void TonemolderApp::doneSplash()
{
    if (!splash_) return;
    splash_->finish(mainWindow_.get());
    splash_.reset();
    mainWindow_->show();
}
