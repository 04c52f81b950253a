// The Help menu: the user manual and the update check.
#include "app/core/appinfo.h"
#include "app/widgets/tonemolder.h"
#include "app/widgets/updateprobe.h"
#include "ui_tonemolder.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>

namespace {

constexpr char UpdatesActionName[] = "actionCheck_for_updates";

void complain(QWidget* parent, const QString& text)
{
    QMessageBox::critical(parent, QApplication::applicationDisplayName(), text);
}

} // namespace

void Tonemolder::setUpHelpMenu()
{
    auto* updates = new QAction(tr("Check for updates"), this);
    updates->setObjectName(QString::fromLatin1(UpdatesActionName));
    ui_->menuAbout->insertAction(ui_->actionUser_manual, updates);
    ui_->menuAbout->insertSeparator(ui_->actionUser_manual);
    connect(updates, &QAction::triggered, this, &Tonemolder::checkForUpdates);

    ui_->actionUser_manual->setShortcut(QKeySequence::HelpContents);
}

void Tonemolder::userManual()
{
    const QString path = AppInfo::userManualPath(QApplication::applicationDirPath());
    if (!QFileInfo(path).isFile()) {
        complain(this, tr("The user manual was not found.\nIt was looked for at:\n%1").arg(QDir::toNativeSeparators(path)));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        complain(this, tr("No program to show the user manual was found.\nThe manual is at:\n%1")
                           .arg(QDir::toNativeSeparators(path)));
}

void Tonemolder::checkForUpdates()
{
    const QString page = settings_->value(QString::fromLatin1(AppInfo::UpdatePageKey),
                                          QString::fromLatin1(AppInfo::DefaultUpdatePage)).toString();
    const QUrl url = AppInfo::updateCheckUrl(page);
    if (!url.isValid()) {
        complain(this, tr("The update page \"%1\" in the settings (key \"%2\") is not a web address.")
                           .arg(page, QString::fromLatin1(AppInfo::UpdatePageKey)));
        return;
    }

    // One check at a time; the window stays usable while it runs.
    auto* action = findChild<QAction*>(QString::fromLatin1(UpdatesActionName));
    if (action) action->setEnabled(false);
    auto* probe = new UpdateProbe(this);
    connect(probe, &UpdateProbe::finished, this, [this, probe, action](const QUrl& url, bool reached, const QString& reason) {
        probe->deleteLater();
        if (action) action->setEnabled(true);
        const QString where = url.toString(QUrl::RemoveQuery);
        if (!reached) {
            complain(this, tr("Could not check for updates: %1 cannot be reached.\n%2\n\nCheck the network connection.")
                               .arg(where, reason));
        } else if (!QDesktopServices::openUrl(url)) {
            complain(this, tr("No web browser was found to show the update page %1.").arg(where));
        }
    });
    probe->start(url);
}
