// The preview pane of the main window: the sample image (chosen, dropped or
// pasted), the image and monitor profiles, and the original and proofed views.
#include "app/widgets/tonemolder.h"

#include "app/widgets/messages.h"
#include "app/widgets/previewimage.h"
#include "app/core/previewmodel.h"
#include "app/widgets/previewscheduler.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "profiles/core/preferencesettings.h"
#include "tools/imagefiles/imagefile.h"
#include "ui_tonemolder.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeData>
#include <QPixmap>
#include <QProgressBar>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>

namespace {

// Where a file dialog starts the first time after program start: the last of
// the standard locations of a kind, or the current directory.
QString firstStartDirectory(QStandardPaths::StandardLocation kind)
{
    const QStringList places = QStandardPaths::standardLocations(kind);
    return places.isEmpty() ? QDir::currentPath() : places.last();
}

// The view's extent in device pixels, which a proxy of the image fits.
QSize viewDevicePixels(QGraphicsViewMap* view)
{
    return view->viewport()->size() * view->devicePixelRatioF();
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

    previewImage_ = transformableImage(image);
    preview_->setImage(previewImage_);
    fitPending_ = true;
    enableImageControls();
    origImage();
}

void Tonemolder::pasteImage()
{
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data || !data->hasImage()) return;
    const QVariant value = data->imageData();
    const QImage image = value.canConvert<QImage>() ? value.value<QImage>() : value.value<QPixmap>().toImage();
    if (image.isNull()) return;

    previewImage_ = transformableImage(image);
    preview_->setImage(previewImage_);
    fitPending_ = true;
    enableImageControls();
    origImage();
}

// Everything that works on an image, once there is one.
void Tonemolder::enableImageControls()
{
    for (QWidget* w : {static_cast<QWidget*>(ui_->btnOriginal), static_cast<QWidget*>(ui_->btnPreview),
                       static_cast<QWidget*>(ui_->chkLive), static_cast<QWidget*>(ui_->iccPreviewImage)})
        w->setEnabled(true);
    for (QAction* a : {ui_->action_view_original, ui_->action_view_abstract, ui_->action_zoom_in,
                       ui_->action_zoom_out, zoomFitAction_, zoomActualAction_})
        a->setEnabled(true);
}

void Tonemolder::origImage()
{
    if (!previewImage_.isNull()) {
        shown_ = Shown::Original;
        preview_->setProxyLimit(viewDevicePixels(ui_->imageViewer));
        preview_->showOriginal();
    }
    ui_->btnPreview->setEnabled(true);
    ui_->chkLive->setEnabled(true);
    ui_->chkLive->setChecked(false);
}

void Tonemolder::proofImage()
{
    if (previewImage_.isNull()) return;
    shown_ = Shown::Proof;
    const Recipe recipe = recipeFromControls();
    const ResolutionPreferences resolution = resolutionPreferences(*settings_);
    const ProfileOpener open = selectedProfileOpener();
    preview_->setProxyLimit(viewDevicePixels(ui_->imageViewer));
    const quint64 request =
        preview_->showProof([recipe, resolution, open] { return buildRecipe(recipe, resolution, open); });
    if (!liveRequest_) explicitProof_ = request;
    if (recipe.tab == RecipeTab::CubeImport && recipe.cubeFile.isEmpty())
        statusBar()->showMessage(tr(PreviewText::NoCubeLoaded), StatusMessageMs);
    else if (statusBar()->currentMessage() == tr(PreviewText::NoCubeLoaded))
        statusBar()->clearMessage();   // a table came, or another tab: no longer true
    ui_->btnOriginal->setEnabled(true);
    ui_->chkLive->setEnabled(true);
}

void Tonemolder::setPreviewProfiles()
{
    MonitorProfileChoice monitor = chooseMonitorProfile(PreferenceSettings::read(*settings_).monitorSrgb != 0);
    if (monitor.corrupted) criticalBox(this, tr(PreviewText::MonitorCorrupted));
    preview_->setProfiles(shareProfile(openImageProfile(ui_->iccPreviewImage->currentName())),
                          shareProfile(std::move(monitor.profile)));
    refreshShownImage();
}

void Tonemolder::refreshShownImage()
{
    if (previewImage_.isNull()) return;
    preview_->setProxyLimit(viewDevicePixels(ui_->imageViewer));
    if (shown_ == Shown::Original) preview_->showOriginal();
    if (shown_ == Shown::Proof) {
        liveRequest_ = true;
        proofImage();
        liveRequest_ = false;
    }
}

// ---------------------------------------------------------------------------
// Frames from the scheduler
// ---------------------------------------------------------------------------

void Tonemolder::setUpPreview()
{
    preview_ = new PreviewScheduler(this);
    preview_->setObjectName(QStringLiteral("previewScheduler"));
    connect(preview_, &PreviewScheduler::frameReady, this, &Tonemolder::showPreviewFrame);
    connect(preview_, &PreviewScheduler::busyChanged, this, &Tonemolder::previewBusyChanged);

    // Work the user waits on for longer than this shows a busy cursor over
    // the image and a progress bar in the status bar.
    busyBar_ = new QProgressBar(this);
    busyBar_->setObjectName(QStringLiteral("previewProgress"));
    busyBar_->setMaximumWidth(160);
    busyBar_->setMaximumHeight(14);
    busyBar_->setTextVisible(false);
    busyBar_->hide();
    statusBar()->addPermanentWidget(busyBar_);
    busyTimer_ = new QTimer(this);
    busyTimer_->setSingleShot(true);
    busyTimer_->setInterval(BusyDelayMs);
    connect(busyTimer_, &QTimer::timeout, this, [this] {
        if (!preview_->isBusy()) return;
        busyBar_->setRange(0, 0);
        busyBar_->show();
        ui_->imageViewer->viewport()->setCursor(Qt::BusyCursor);
    });
    connect(preview_, &PreviewScheduler::progress, this, [this](int percent) {
        busyBar_->setRange(0, 100);
        busyBar_->setValue(percent);
    });
}

void Tonemolder::showPreviewFrame(const PreviewFrame& frame)
{
    showImageOnView(ui_->imageViewer, frame.image, frame.sceneSize);
    if (fitPending_) {
        ui_->imageViewer->autoFit();
        fitPending_ = false;
    }
    if (!frame.message.isEmpty()) {
        // A Preview the user asked for says why in a box; live refreshes,
        // which come on every change, in the status bar.
        if (frame.request == explicitProof_)
            criticalBox(this, frame.message);
        else
            statusBar()->showMessage(frame.message, StatusMessageMs);
    }
    // Waiting starts over with each frame shown.
    busyBar_->hide();
    ui_->imageViewer->viewport()->unsetCursor();
    if (preview_->isBusy()) busyTimer_->start();
}

void Tonemolder::previewBusyChanged(bool busy)
{
    if (busy) {
        busyTimer_->start();
        return;
    }
    busyTimer_->stop();
    busyBar_->hide();
    ui_->imageViewer->viewport()->unsetCursor();
}
