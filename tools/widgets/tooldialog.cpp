#include "tools/widgets/tooldialog.h"

#include "profiles/widgets/iccprofileselector.h"
#include "tools/widgets/toolprogress.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSettings>

namespace {

constexpr char UndecoratedKey[] = "gui/undecorated";

}   // namespace

ToolDialog::ToolDialog(QSettings* settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      settings_(settings)
{
}

// The selectors are the dialog's children and still there: QWidget deletes
// them after this.
ToolDialog::~ToolDialog()
{
    for (ICCProfileSelector* s : selectors_) s->storeSelection();
}

void ToolDialog::setUpSelectors(std::initializer_list<Selector> selectors)
{
    const bool light = !(settings_ && settings_->value(UndecoratedKey, false).toBool());
    std::vector<std::pair<const ICCProfileSelector*, QString>> prompts;
    for (const Selector& s : selectors) {
        s.selector->setPclass(s.classes);
        s.selector->setSpace(s.spaces);
        s.selector->setFolderIconLight(light);
        s.selector->bindSettings(settings_, s.folderKey, s.fileKey);
        selectors_.push_back(s.selector);
        prompts.emplace_back(s.selector, s.selector->prompt());
    }
    reportUnavailableStoredFiles(this, prompts);
}

QString ToolDialog::askSaveFileName(const QString& caption, const QString& directory, const QString& filter)
{
    return QFileDialog::getSaveFileName(this, caption, directory, filter);
}

void ToolDialog::saveWith(const QString& caption, const QString& directory, const QString& filter,
                          const QString& working, const ToolRun& tool)
{
    const QString fileName = askSaveFileName(caption, directory, filter);
    if (fileName.isEmpty()) return;

    ToolResult result;
    {
        ToolProgress progress(this, working);
        result = tool(fileName, [&progress](int done, int total) { progress.advance(done, total); });
    }
    if (result.ok) {
        writtenFile_ = fileName;
        accept();
        return;
    }
    QMessageBox::critical(this, QGuiApplication::applicationDisplayName(),
                          tr("Something went wrong...\n\n") + result.message, QMessageBox::Ok);
}
