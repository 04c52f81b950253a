// The Help menu: the user manual and the update check.
#include "app/core/appinfo.h"
#include "app/widgets/helpmenu.h"
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

HelpMenu::HelpMenu(Ui::TonemolderClass& ui, QSettings* settings, QWidget* window)
    : QObject(window), settings_(settings), window_(window)
{
    auto* updates = new QAction(tr("Check for updates"), window_);
    updates->setObjectName(QString::fromLatin1(UpdatesActionName));
    ui.menuAbout->insertAction(ui.actionUser_manual, updates);
    ui.menuAbout->insertSeparator(ui.actionUser_manual);
    connect(updates, &QAction::triggered, this, &HelpMenu::checkForUpdates);

    ui.actionUser_manual->setShortcut(QKeySequence::HelpContents);
    connect(ui.actionUser_manual, &QAction::triggered, this, &HelpMenu::userManual);
}

void HelpMenu::userManual()
{
    const QString path = AppInfo::userManualPath(QApplication::applicationDirPath());
    if (!QFileInfo(path).isFile()) {
        complain(window_, tr("The user manual was not found.\nIt was looked for at:\n%1").arg(QDir::toNativeSeparators(path)));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        complain(window_, tr("No program to show the user manual was found.\nThe manual is at:\n%1")
                           .arg(QDir::toNativeSeparators(path)));
}

void HelpMenu::checkForUpdates()
{
    const QString page = settings_->value(QString::fromLatin1(AppInfo::UpdatePageKey),
                                          QString::fromLatin1(AppInfo::DefaultUpdatePage)).toString();
    const QUrl url = AppInfo::updateCheckUrl(page);
    if (!url.isValid()) {
        complain(window_, tr("The update page \"%1\" in the settings (key \"%2\") is not a web address.")
                           .arg(page, QString::fromLatin1(AppInfo::UpdatePageKey)));
        return;
    }

    // One check at a time; the window stays usable while it runs.
    auto* action = window_->findChild<QAction*>(QString::fromLatin1(UpdatesActionName));
    if (action) action->setEnabled(false);
    auto* probe = new UpdateProbe(this);
    connect(probe, &UpdateProbe::finished, this, [this, probe, action](const QUrl& url, bool reached, const QString& reason) {
        probe->deleteLater();
        if (action) action->setEnabled(true);
        const QString where = url.toString(QUrl::RemoveQuery);
        if (!reached) {
            complain(window_, tr("Could not check for updates: %1 cannot be reached.\n%2\n\nCheck the network connection.")
                               .arg(where, reason));
        } else if (!QDesktopServices::openUrl(url)) {
            complain(window_, tr("No web browser was found to show the update page %1.").arg(where));
        }
    });
    probe->start(url);
}
