// The CUBE import tab of the main window: choosing a .cube or .lut table,
// its title and the picture of its contents.
#include "app/tonemolder.h"

#include "app/lutdump.h"
#include "app/messages.h"
#include "app/previewimage.h"
#include "app/previewmodel.h"
#include "profiles/builtinspaces.h"
#include "ui_tonemolder.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

void Tonemolder::loadCUBE()
{
    if (cubeDialogDir_.isEmpty()) {
        const QStringList places = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
        cubeDialogDir_ = places.isEmpty() ? QDir::currentPath() : places.last();
    }
    QFileDialog dialog(this, tr(PreviewText::SelectCube), cubeDialogDir_);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({tr("CUBE files (*.cube)"), tr("LUT files (*.lut)"), tr("Any files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    cubeDialogDir_ = dialog.directory().absolutePath();
    loadCubeFile(dialog.selectedFiles().constFirst(), true);
}

void Tonemolder::loadCubeFile(const QString& fileName, bool complain)
{
    cubeFileName_.clear();
    if (!QFileInfo(fileName).isFile()) return;

    // The table as the reader stores it: the dump pictures its nodes as they are.
    ProfilePtr link = adoptProfile(readCubeFile(QFile::encodeName(fileName).constData()));
    if (!link) {
        if (complain) criticalBox(this, tr(PreviewText::NotACube));
        return;
    }

    const QString title = lutTitle(link.get());
    ui_->titleLUT->setText(title.isEmpty() ? tr(PreviewText::NoTitle) : title);
    if (const std::optional<LutDump> dump = lutDump(link.get())) {
        const QImage picture = lutDumpImage(*dump);
        if (!picture.isNull()) showImageOnView(ui_->imageViewerLUT, picture);
    }
    link.reset();

    cubeFileName_ = fileName;
    proofImage();
}
