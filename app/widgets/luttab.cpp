// The Import LUT tab of the main window.
#include "app/widgets/luttab.h"

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

namespace {

constexpr char CubeTitlePrompt[] = "Select the file to use ";

}   // namespace

LutTab::LutTab(Ui::TonemolderClass& ui, QWidget* window) : QObject(window), ui_(ui), window_(window)
{
    connect(ui_.iccProfileLUT, &ICCProfileSelector::valueChanged, this, &LutTab::enableIntentIfNeededForLUT);
    connect(ui_.selectLUTbutton, &QPushButton::clicked, this, &LutTab::loadCUBE);
    enableIntentIfNeededForLUT();
}

void LutTab::enableIntentIfNeededForLUT()
{
    // The intent matters only for profiles built from tables.
    ui_.comboIntentLUT->setEnabled(ui_.iccProfileLUT->currentIsTableBased());
}

void LutTab::clearCubeTable()
{
    cubeFileName_.clear();
    ui_.titleLUT->setText(tr(CubeTitlePrompt));
    ui_.imageViewerLUT->setImageScene(nullptr);
}

void LutTab::loadCUBE()
{
    if (cubeDialogDir_.isEmpty()) {
        const QStringList places = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
        cubeDialogDir_ = places.isEmpty() ? QDir::currentPath() : places.last();
    }
    QFileDialog dialog(window_, tr(PreviewText::SelectCube), cubeDialogDir_);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({tr("CUBE files (*.cube)"), tr("LUT files (*.lut)"),
                           tr("3D LUT files (*.cube *.lut *.3dl *.csp *.spi3d *.clf)"),
                           tr("Hald CLUT images (*.png *.tif *.tiff)"), tr("Any files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    cubeDialogDir_ = dialog.directory().absolutePath();
    loadCubeFile(dialog.selectedFiles().constFirst(), true);
}

void LutTab::loadCubeFile(const QString& fileName, bool complain)
{
    // The table as the reader stores it: the dump pictures its nodes as they are.
    const bool isFile = QFileInfo(fileName).isFile();
    ProfilePtr link{nullptr, &closeProfile};
    QString why;
    if (isFile) link = adoptProfile(readLutDeviceLink(fileName, {}, &why));
    if (!link) {
        // Nothing of an earlier table stays: no title, no picture, no effect.
        cubeFileName_.clear();
        ui_.titleLUT->setText(tr(PreviewText::CubeTitle));
        ui_.imageViewerLUT->clearImage();
        emit tableChanged(false);
        if (complain && isFile) criticalBox(window_, tr(PreviewText::NotACube) + QLatin1Char('\n') + why);
        return;
    }

    const QString title = lutTitle(link.get());
    ui_.titleLUT->setText(title.isEmpty() ? tr(PreviewText::NoTitle) : title);
    const std::optional<LutDump> dump = lutDump(link.get());
    const QImage picture = dump ? lutDumpImage(*dump) : QImage();
    if (picture.isNull())
        ui_.imageViewerLUT->clearImage();
    else
        showImageOnView(ui_.imageViewerLUT, picture);
    link.reset();

    cubeFileName_ = fileName;
    emit tableChanged(true);
}
