// The preview pane of the main window: the sample image (chosen, dropped or
// pasted), the image and monitor profiles, and the original and proofed views.
#include "app/tonemolder.h"

#include "app/messages.h"
#include "app/previewimage.h"
#include "app/previewmodel.h"
#include "profiles/preferencesettings.h"
#include "tools/imagefiles/imagefile.h"
#include "ui_tonemolder.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeData>
#include <QPixmap>
#include <QSettings>
#include <QStandardPaths>

namespace {

// Where a file dialog starts the first time after program start: the last of
// the standard locations of a kind, or the current directory.
QString firstStartDirectory(QStandardPaths::StandardLocation kind)
{
    const QStringList places = QStandardPaths::standardLocations(kind);
    return places.isEmpty() ? QDir::currentPath() : places.last();
}

QStringList imageMimeTypes()
{
    QStringList types;
    for (const QByteArray& type : QImageReader::supportedMimeTypes()) types << QString::fromLatin1(type);
    if (!types.contains(QStringLiteral("image/tiff"))) types << QStringLiteral("image/tiff");
    types.sort();
    return types;
}

}   // namespace

void Tonemolder::loadImage()
{
    if (imageDialogDir_.isEmpty()) imageDialogDir_ = firstStartDirectory(QStandardPaths::PicturesLocation);
    QFileDialog dialog(this, tr(PreviewText::SelectImage), imageDialogDir_);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setMimeTypeFilters(imageMimeTypes());
    dialog.selectMimeTypeFilter(QStringLiteral("image/jpeg"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    imageDialogDir_ = dialog.directory().absolutePath();
    loadImageFile(dialog.selectedFiles().constFirst());
}

void Tonemolder::loadImageFile(const QString& fileName)
{
    if (!QFileInfo(fileName).isFile()) {
        criticalBox(this, tr(PreviewText::NotAnImage));
        return;
    }
    // TIFF goes through the program's own reader; the toolkit reads the rest.
    const bool tiff = imagefiles::fileKindOfContent(fileName.toStdString()) == imagefiles::FileKind::Tiff;
    if (!tiff && !QImageReader(fileName).canRead()) {
        criticalBox(this, tr(PreviewText::CannotRead).arg(QDir::toNativeSeparators(fileName)));
        return;
    }
    QString error;
    const QImage image = readSampleImage(fileName, &error);
    if (image.isNull()) {
        informationBox(this, tr(PreviewText::CannotLoad).arg(QDir::toNativeSeparators(fileName), error));
        return;
    }

    previewImage_ = image;
    for (QWidget* w : {static_cast<QWidget*>(ui_->btnOriginal), static_cast<QWidget*>(ui_->btnPreview),
                       static_cast<QWidget*>(ui_->chkLive), static_cast<QWidget*>(ui_->iccPreviewImage)})
        w->setEnabled(true);
    for (QAction* a : {ui_->action_view_original, ui_->action_view_abstract, ui_->action_zoom_in,
                       ui_->action_zoom_out})
        a->setEnabled(true);
    origImage();
}

void Tonemolder::pasteImage()
{
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data || !data->hasImage()) return;
    const QVariant value = data->imageData();
    const QPixmap pixmap = value.canConvert<QPixmap>() ? value.value<QPixmap>()
                                                       : QPixmap::fromImage(value.value<QImage>());
    if (pixmap.isNull()) return;

    previewImage_ = pixmap.toImage();
    ui_->action_view_original->setEnabled(true);
    ui_->action_view_abstract->setEnabled(true);
    ui_->chkLive->setEnabled(true);
    ui_->iccPreviewImage->setEnabled(true);
    origImage();
}

void Tonemolder::origImage()
{
    if (!previewImage_.isNull())
        showImageOnView(ui_->imageViewer, transformImage(previewImage_, {imageProfile_, monitorProfile_}));
    ui_->btnPreview->setEnabled(true);
    ui_->chkLive->setEnabled(true);
    ui_->chkLive->setChecked(false);
}

void Tonemolder::proofImage()
{
    if (previewImage_.isNull()) return;
    if (IccProfile* built = rebuildProfile())
        showImageOnView(ui_->imageViewer, transformImage(previewImage_, {imageProfile_, built, monitorProfile_}));
    ui_->btnOriginal->setEnabled(true);
    ui_->chkLive->setEnabled(true);
}

void Tonemolder::setPreviewProfiles()
{
    closeProfile(monitorProfile_);
    MonitorProfileChoice monitor = chooseMonitorProfile(PreferenceSettings::read(*settings_).monitorSrgb != 0);
    monitorProfile_ = monitor.profile.release();
    if (monitor.corrupted) criticalBox(this, tr(PreviewText::MonitorCorrupted));

    closeProfile(imageProfile_);
    imageProfile_ = openImageProfile(ui_->iccPreviewImage->currentName()).release();
}
