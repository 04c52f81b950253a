// The preview pane of the main window.
#include "app/widgets/previewpane.h"

#include "app/widgets/messages.h"
#include "app/widgets/previewimage.h"
#include "app/core/previewmodel.h"
#include "app/widgets/previewscheduler.h"
#include "app/widgets/proofingtools.h"
#include "app/widgets/readoutpanel.h"
#include "app/widgets/imageexport.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/core/builder.h"
#include "app/core/recipe.h"
#include "profiles/core/preferencesettings.h"
#include "tools/imagefiles/imagefile.h"
#include "ui_tonemolder.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QMainWindow>
#include <QMenu>
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

PreviewPane::PreviewPane(Ui::TonemolderClass& ui, QSettings* settings, QMainWindow* window, PreviewSource source)
    : QObject(window), ui_(ui), settings_(settings), window_(window), source_(std::move(source))
{
    setUpScheduler();
    setUpZoomActions();
    setUpImageMenu();
    proofing_ = new ProofingTools(ui_, settings_, window_, preview_, [this] { refreshShownImage(); });
    setUpReadout();
    // Nothing to show or zoom until an image is loaded.
    enableImageControls(false);

    connect(ui_.iccPreviewImage, &ICCProfileSelector::valueChanged, this, &PreviewPane::setPreviewProfiles);
    connect(ui_.imageViewer, &QGraphicsViewMap::fileDropped, this, &PreviewPane::loadImageFile);
    connect(ui_.actionLoad_image, &QAction::triggered, this, &PreviewPane::loadImage);
    connect(ui_.action_paste_image, &QAction::triggered, this, &PreviewPane::pasteImage);
    connect(ui_.action_view_original, &QAction::triggered, this, &PreviewPane::origImage);
    connect(ui_.action_view_abstract, &QAction::triggered, this, &PreviewPane::proofImage);
    connect(ui_.action_zoom_in, &QAction::triggered, this, &PreviewPane::zoomIn);
    connect(ui_.action_zoom_out, &QAction::triggered, this, &PreviewPane::zoomOut);
    connect(ui_.btnOriginal, &QPushButton::clicked, ui_.action_view_original, &QAction::trigger);
    connect(ui_.btnPreview, &QPushButton::clicked, ui_.action_view_abstract, &QAction::trigger);
    connect(ui_.chkLive, &QCheckBox::stateChanged, this, &PreviewPane::livePreviewChanged);
}

// Zoom in and out by Ctrl++ and Ctrl+- anywhere in the window; the bare
// + and - only while the image view has the focus, so that they stay
// characters in every field.
void PreviewPane::setUpZoomActions()
{
    const std::pair<QKeySequence, QAction*> keys[] = {{QKeySequence(Qt::Key_Plus), ui_.action_zoom_in},
                                                      {QKeySequence(Qt::Key_Equal), ui_.action_zoom_in},
                                                      {QKeySequence(Qt::Key_Minus), ui_.action_zoom_out}};
    for (const auto& [key, action] : keys) {
        auto* local = new QAction(ui_.imageViewer);
        local->setShortcut(key);
        local->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        ui_.imageViewer->addAction(local);
        connect(local, &QAction::triggered, action, &QAction::trigger);
    }

    zoomFitAction_ = new QAction(tr("Fit"), window_);
    zoomFitAction_->setObjectName(QStringLiteral("action_zoom_fit"));
    zoomFitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    zoomActualAction_ = new QAction(tr("100 %"), window_);
    zoomActualAction_->setObjectName(QStringLiteral("action_zoom_actual"));
    zoomActualAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    ui_.menuPreview->addAction(zoomFitAction_);
    ui_.menuPreview->addAction(zoomActualAction_);
    connect(zoomFitAction_, &QAction::triggered, this, &PreviewPane::zoomToFit);
    connect(zoomActualAction_, &QAction::triggered, this, &PreviewPane::zoomToActualSize);
}

void PreviewPane::setUpImageMenu()
{
    imageMenu_ = new QMenu(window_);
    imageMenu_->addAction(ui_.actionLoad_image);
    imageMenu_->addAction(ui_.action_paste_image);
    imageMenu_->addSeparator();
    imageMenu_->addAction(ui_.action_view_original);
    imageMenu_->addAction(ui_.action_view_abstract);
    imageMenu_->addSeparator();
    imageMenu_->addAction(ui_.action_zoom_in);
    imageMenu_->addAction(ui_.action_zoom_out);
    imageMenu_->addAction(zoomFitAction_);
    imageMenu_->addAction(zoomActualAction_);
    ui_.imageViewer->setContextMenu(imageMenu_);
}

void PreviewPane::livePreviewChanged()
{
    if (source_.holding() || image_.isNull() || !ui_.chkLive->isChecked()) return;
    ui_.btnPreview->setEnabled(false);
    liveRequest_ = true;
    proofImage();
    liveRequest_ = false;
}

void PreviewPane::zoomIn()
{
    ui_.imageViewer->zoomIn();
}

void PreviewPane::zoomOut()
{
    ui_.imageViewer->zoomOut();
}

void PreviewPane::zoomToFit()
{
    ui_.imageViewer->autoFit();
}

void PreviewPane::zoomToActualSize()
{
    ui_.imageViewer->actualSize();
}

// ---------------------------------------------------------------------------
// Images and views
// ---------------------------------------------------------------------------

void PreviewPane::loadImage()
{
    if (imageDialogDir_.isEmpty()) imageDialogDir_ = firstStartDirectory(QStandardPaths::PicturesLocation);
    QFileDialog dialog(window_, tr(PreviewText::SelectImage), imageDialogDir_);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setMimeTypeFilters(imageMimeTypes());
    dialog.selectMimeTypeFilter(QStringLiteral("image/jpeg"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    imageDialogDir_ = dialog.directory().absolutePath();
    loadImageFile(dialog.selectedFiles().constFirst());
}

void PreviewPane::loadImageFile(const QString& fileName)
{
    if (!QFileInfo(fileName).isFile()) {
        criticalBox(window_, tr(PreviewText::NotAnImage));
        return;
    }
    // TIFF goes through the program's own reader; the toolkit reads the rest.
    const bool tiff = imagefiles::fileKindOfContent(fileName.toStdString()) == imagefiles::FileKind::Tiff;
    if (!tiff && !QImageReader(fileName).canRead()) {
        criticalBox(window_, tr(PreviewText::CannotRead).arg(QDir::toNativeSeparators(fileName)));
        return;
    }
    QString error;
    const QImage image = readSampleImage(fileName, &error);
    if (image.isNull()) {
        informationBox(window_, tr(PreviewText::CannotLoad).arg(QDir::toNativeSeparators(fileName), error));
        return;
    }

    imageFile_ = fileName;
    takeImage(image);
}

void PreviewPane::pasteImage()
{
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data || !data->hasImage()) return;
    const QVariant value = data->imageData();
    const QImage image = value.canConvert<QImage>() ? value.value<QImage>() : value.value<QPixmap>().toImage();
    if (image.isNull()) return;

    imageFile_.clear();
    takeImage(image);
}

void PreviewPane::takeImage(const QImage& image)
{
    image_ = transformableImage(image);
    preview_->setImage(image_);
    fitPending_ = true;
    enableImageControls(true);
    origImage();
}

// Everything that works on an image, once there is one.
void PreviewPane::enableImageControls(bool enabled)
{
    for (QWidget* w : {static_cast<QWidget*>(ui_.btnOriginal), static_cast<QWidget*>(ui_.btnPreview),
                       static_cast<QWidget*>(ui_.chkLive), static_cast<QWidget*>(ui_.iccPreviewImage)})
        w->setEnabled(enabled);
    for (QAction* a : {ui_.action_view_original, ui_.action_view_abstract, ui_.action_zoom_in,
                       ui_.action_zoom_out, zoomFitAction_, zoomActualAction_})
        a->setEnabled(enabled);
}

void PreviewPane::origImage()
{
    if (!image_.isNull()) {
        shown_ = Shown::Original;
        preview_->setProxyLimit(viewDevicePixels(ui_.imageViewer));
        preview_->showOriginal();
    }
    ui_.btnPreview->setEnabled(true);
    ui_.chkLive->setEnabled(true);
    ui_.chkLive->setChecked(false);
}

void PreviewPane::proofImage()
{
    if (image_.isNull()) return;
    shown_ = Shown::Proof;
    const Recipe recipe = source_.recipe();
    const ResolutionPreferences resolution = resolutionPreferences(*settings_);
    const ProfileOpener open = source_.opener();
    preview_->setProxyLimit(viewDevicePixels(ui_.imageViewer));
    const quint64 request =
        preview_->showProof([recipe, resolution, open] { return buildRecipe(recipe, resolution, open); });
    if (!liveRequest_) explicitProof_ = request;
    if (recipe.tab == RecipeTab::CubeImport && recipe.cubeFile.isEmpty())
        window_->statusBar()->showMessage(tr(PreviewText::NoCubeLoaded), StatusMessageMs);
    else if (window_->statusBar()->currentMessage() == tr(PreviewText::NoCubeLoaded))
        window_->statusBar()->clearMessage();   // a table came, or another tab: no longer true
    ui_.btnOriginal->setEnabled(true);
    ui_.chkLive->setEnabled(true);
}

void PreviewPane::setPreviewProfiles()
{
    MonitorProfileChoice monitor = chooseMonitorProfile(PreferenceSettings::read(*settings_).monitorSrgb != 0);
    if (monitor.corrupted) criticalBox(window_, tr(PreviewText::MonitorCorrupted));
    preview_->setProfiles(shareProfile(openImageProfile(ui_.iccPreviewImage->currentName())),
                          shareProfile(std::move(monitor.profile)));
    proofing_->takeSettings();
    refreshShownImage();
}

void PreviewPane::refreshShownImage()
{
    if (image_.isNull()) return;
    preview_->setProxyLimit(viewDevicePixels(ui_.imageViewer));
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

void PreviewPane::setUpScheduler()
{
    preview_ = new PreviewScheduler(this);
    preview_->setObjectName(QStringLiteral("previewScheduler"));
    connect(preview_, &PreviewScheduler::frameReady, this, &PreviewPane::showPreviewFrame);
    connect(preview_, &PreviewScheduler::busyChanged, this, &PreviewPane::previewBusyChanged);

    // Work the user waits on for longer than this shows a busy cursor over
    // the image and a progress bar in the status bar.
    busyBar_ = new QProgressBar(window_);
    busyBar_->setObjectName(QStringLiteral("previewProgress"));
    busyBar_->setMaximumWidth(160);
    busyBar_->setMaximumHeight(14);
    busyBar_->setTextVisible(false);
    busyBar_->hide();
    window_->statusBar()->addPermanentWidget(busyBar_);
    busyTimer_ = new QTimer(this);
    busyTimer_->setSingleShot(true);
    busyTimer_->setInterval(BusyDelayMs);
    connect(busyTimer_, &QTimer::timeout, this, [this] {
        if (!preview_->isBusy()) return;
        busyBar_->setRange(0, 0);
        busyBar_->show();
        ui_.imageViewer->viewport()->setCursor(Qt::BusyCursor);
    });
    connect(preview_, &PreviewScheduler::progress, this, [this](int percent) {
        busyBar_->setRange(0, 100);
        busyBar_->setValue(percent);
    });
}

void PreviewPane::setUpReadout()
{
    ReadoutSource source;
    source.image = [this] { return image_; };
    source.imageProfile = [this] { return shareProfile(openImageProfile(ui_.iccPreviewImage->currentName())); };
    source.proof = [this] { return proofing_->proof(); };
    source.conditions = [this]() -> std::optional<Cam16Conditions> {
        const Recipe recipe = source_.recipe();
        if (recipe.tab != RecipeTab::Cam16 || !recipe.sourceConditions) return std::nullopt;
        return recipe.sourceConditions->values;
    };
    readout_ = new ReadoutPanel(window_, ui_.imageViewer, preview_, std::move(source));

    ExportSource exported;
    exported.imageFile = [this] { return imageFile_; };
    exported.image = [this] { return image_; };
    exported.imageProfile = [this] {
        const QString name = ui_.iccPreviewImage->currentName();
        return name.isEmpty() ? QStringLiteral("*srgb") : name;
    };
    exported.proof = [this] { return proofing_->proof(); };
    export_ = new ImageExport(window_, preview_, std::move(exported));
}

void PreviewPane::showPreviewFrame(const PreviewFrame& frame)
{
    showImageOnView(ui_.imageViewer, frame.image, frame.sceneSize);
    if (fitPending_) {
        ui_.imageViewer->autoFit();
        fitPending_ = false;
    }
    if (!frame.message.isEmpty()) {
        // A Preview the user asked for says why in a box; live refreshes,
        // which come on every change, in the status bar.
        if (frame.request == explicitProof_)
            criticalBox(window_, frame.message);
        else
            window_->statusBar()->showMessage(frame.message, StatusMessageMs);
    }
    // Waiting starts over with each frame shown.
    busyBar_->hide();
    ui_.imageViewer->viewport()->unsetCursor();
    if (preview_->isBusy()) busyTimer_->start();
}

void PreviewPane::previewBusyChanged(bool busy)
{
    if (busy) {
        busyTimer_->start();
        return;
    }
    busyTimer_->stop();
    busyBar_->hide();
    ui_.imageViewer->viewport()->unsetCursor();
}
