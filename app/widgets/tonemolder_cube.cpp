// The CUBE import tab of the main window: choosing a table (.cube, .lut and
// the other LUT formats), its title and the picture of its contents.
#include "app/widgets/tonemolder.h"

#include "app/core/cubecache.h"
#include "app/core/lutdump.h"
#include "app/widgets/messages.h"
#include "app/widgets/previewimage.h"
#include "app/core/previewmodel.h"
#include "profiles/core/builtinspaces.h"
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
    dialog.setNameFilters({tr("CUBE files (*.cube)"), tr("LUT files (*.lut)"),
                           tr("3D LUT files (*.cube *.lut *.3dl *.csp *.spi3d *.clf)"),
                           tr("Hald CLUT images (*.png *.tif *.tiff)"), tr("Any files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    cubeDialogDir_ = dialog.directory().absolutePath();
    loadCubeFile(dialog.selectedFiles().constFirst(), true);
}

void Tonemolder::loadCubeFile(const QString& fileName, bool complain)
{
    // The table as the reader stores it: the dump pictures its nodes as they are.
    const bool isFile = QFileInfo(fileName).isFile();
    ProfilePtr link{nullptr, &closeProfile};
    QString why;
    if (isFile) link = adoptProfile(readLutDeviceLink(fileName, {}, &why));
    if (!link) {
        // Nothing of an earlier table stays: no title, no picture, no effect.
        cubeFileName_.clear();
        ui_->titleLUT->setText(tr(PreviewText::CubeTitle));
        ui_->imageViewerLUT->clearImage();
        if (shown_ == Shown::Proof) proofImage();
        if (complain && isFile) criticalBox(this, tr(PreviewText::NotACube) + QLatin1Char('\n') + why);
        return;
    }

    const QString title = lutTitle(link.get());
    ui_->titleLUT->setText(title.isEmpty() ? tr(PreviewText::NoTitle) : title);
    const std::optional<LutDump> dump = lutDump(link.get());
    const QImage picture = dump ? lutDumpImage(*dump) : QImage();
    if (picture.isNull())
        ui_->imageViewerLUT->clearImage();
    else
        showImageOnView(ui_->imageViewerLUT, picture);
    link.reset();

    cubeFileName_ = fileName;
    proofImage();
}
