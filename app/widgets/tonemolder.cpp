#include "app/widgets/tonemolder.h"

#include "app/core/appinfo.h"
#include "app/core/document.h"
#include "app/core/previewmodel.h"
#include "cam16/widgets/viewingconditions.h"
#include "curves/core/curvefamily.h"
#include "profiles/core/profilecatalogue.h"
#include "profiles/widgets/preferences.h"
#include "tools/widgets/cubegenerator.h"
#include "tools/widgets/outputprofileembedder.h"
#include "ui_tonemolder.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QSettings>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

// Family masks of the channel editors: every family but the prelinearisation
// sigmoid for the colour-space channels; no inverse families for the correlates.
constexpr int ChannelFamilies = int(SoftproofFamilies);
constexpr int CorrelateFamilies = int(Cam16Families);

// Profile-class masks of the selectors: output, colour space and display
// profiles; the image profile may be an input profile as well.
constexpr int ProofClasses = ClassMask::Output | ClassMask::ColorSpace | ClassMask::Display;
constexpr int ImageClasses = ProofClasses | ClassMask::Input;
constexpr int RgbOnly = SpaceMask::Rgb;

constexpr char UndecoratedKey[] = "gui/undecorated";
constexpr char GeometryKey[] = "gui/geometry";
constexpr char SplitterKey[] = "gui/splitter";

constexpr char UndecoratedAboutStyle[] = "background-color: #4f4f4f;color: white;border: 0px none transparent; ";

} // namespace

Tonemolder::Tonemolder(QSettings* settings, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::TonemolderClass>()), settings_(settings)
{
    ui_->setupUi(this);
    // The recipe keeps its width when the window grows; the preview takes the
    // rest. Neither side is squeezed below what its controls need, which
    // still fits a small screen (800 × 480).
    ui_->splitter->setStretchFactor(0, 0);
    ui_->splitter->setStretchFactor(1, 1);
    ui_->splitter->setChildrenCollapsible(false);
    ui_->splitter->setSizes({500, 613});
    setUpPreview();

    // The program's own parametric curve types (109 to 114), before any curve
    // of those types exists.
    registerCurveFamilyPlugin();

    const bool undecorated = settings_->value(UndecoratedKey, false).toBool();
    setUpSelectors(undecorated);

    // Nothing to show or zoom until an image is loaded.
    for (QWidget* w : {static_cast<QWidget*>(ui_->btnOriginal), static_cast<QWidget*>(ui_->btnPreview),
                       static_cast<QWidget*>(ui_->chkLive), static_cast<QWidget*>(ui_->iccPreviewImage)}) {
        w->setEnabled(false);
    }
    setUpZoomActions();
    for (QAction* a : {ui_->action_view_original, ui_->action_view_abstract, ui_->action_zoom_in,
                       ui_->action_zoom_out, zoomFitAction_, zoomActualAction_}) {
        a->setEnabled(false);
    }

    setUpImageMenu();
    setUpHelpMenu();

    fileName_.clear();
    history_ = std::make_unique<RecipeHistory>();
    viewingConditions_ = new ViewingConditions(settings_, QStringLiteral("vclist"), this);

    connect(ui_->iccProfile, &ICCProfileSelector::valueChanged, this, &Tonemolder::setSlidersSoftProof);
    connect(ui_->iccProfileLUT, &ICCProfileSelector::valueChanged, this, &Tonemolder::livePreviewChanged);
    connect(ui_->iccProfileLUT, &ICCProfileSelector::valueChanged, this, &Tonemolder::enableIntentIfNeededForLUT);
    connect(ui_->generator, &QTabWidget::currentChanged, this, &Tonemolder::autoArrangeAndRefreshImage);
    connect(ui_->iccPreviewImage, &ICCProfileSelector::valueChanged, this, &Tonemolder::setPreviewProfiles);

    viewingConditions_->fillPresetCombo(ui_->comboSourceVC, -1);
    viewingConditions_->fillPresetCombo(ui_->comboDestVC, -1);
    connect(ui_->comboSourceVC, &QComboBox::currentIndexChanged, this, &Tonemolder::livePreviewChanged);
    connect(ui_->comboDestVC, &QComboBox::currentIndexChanged, this, &Tonemolder::livePreviewChanged);
    connect(ui_->cbDestVC, &QCheckBox::stateChanged, this, &Tonemolder::enableViewingConditionsDst);

    setUpCurveScenes();

    connect(ui_->imageViewer, &QGraphicsViewMap::fileDropped, this, &Tonemolder::loadImageFile);

    setUpModifiers(undecorated);

    ui_->comboIntent->setEnabled(ui_->iccProfile->currentIsTableBased());
    enableIntentIfNeededForLUT();
    connect(ui_->comboIntent, &QComboBox::currentIndexChanged, this, &Tonemolder::livePreviewChanged);
    connect(ui_->comboIntentLUT, &QComboBox::currentIndexChanged, this, &Tonemolder::livePreviewChanged);

    connectActions();
    setUpDocument();
    newProfile();
    restoreWindowState();
}

Tonemolder::~Tonemolder() = default;

void Tonemolder::setUpSelectors(bool undecorated)
{
    for (ICCProfileSelector* s : {ui_->iccProfile, ui_->iccProfileLUT, ui_->iccPreviewImage}) {
        s->setFolderIconLight(!undecorated);
    }
    ui_->iccProfile->setPclass(ProofClasses);
    ui_->iccProfile->bindSettings(settings_, QStringLiteral("proof_dir"), QStringLiteral("proof_prf"));
    ui_->iccProfileLUT->setPclass(ProofClasses);
    ui_->iccProfileLUT->setSpace(RgbOnly);
    ui_->iccProfileLUT->bindSettings(settings_, QStringLiteral("lut_dir"), QStringLiteral("lut_prf"));
    ui_->iccPreviewImage->setPclass(ImageClasses);
    ui_->iccPreviewImage->bindSettings(settings_, QStringLiteral("img_dir"), QStringLiteral("img_prf"));

    // Profiles chosen in an earlier session that are gone: the selectors have
    // fallen back to sRGB; the user hears which files once the window is up.
    const auto where = [this](QWidget* tab, ICCProfileSelector* s) {
        return ui_->generator->tabText(ui_->generator->indexOf(tab)).trimmed() + QLatin1String(", ") + s->prompt();
    };
    reportUnavailableStoredFiles(this, {{ui_->iccProfile, where(ui_->tabAdjusts, ui_->iccProfile)},
                                        {ui_->iccProfileLUT, where(ui_->tabLUT, ui_->iccProfileLUT)},
                                        {ui_->iccPreviewImage, ui_->iccPreviewImage->prompt()}});
}

// Zoom in and out by Ctrl++ and Ctrl+- anywhere in the window; the bare
// + and - only while the image view has the focus, so that they stay
// characters in every field.
void Tonemolder::setUpZoomActions()
{
    const std::pair<QKeySequence, QAction*> keys[] = {{QKeySequence(Qt::Key_Plus), ui_->action_zoom_in},
                                                      {QKeySequence(Qt::Key_Equal), ui_->action_zoom_in},
                                                      {QKeySequence(Qt::Key_Minus), ui_->action_zoom_out}};
    for (const auto& [key, action] : keys) {
        auto* local = new QAction(ui_->imageViewer);
        local->setShortcut(key);
        local->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        ui_->imageViewer->addAction(local);
        connect(local, &QAction::triggered, action, &QAction::trigger);
    }

    zoomFitAction_ = new QAction(tr("Fit"), this);
    zoomFitAction_->setObjectName(QStringLiteral("action_zoom_fit"));
    zoomFitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    zoomActualAction_ = new QAction(tr("100 %"), this);
    zoomActualAction_->setObjectName(QStringLiteral("action_zoom_actual"));
    zoomActualAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    ui_->menuPreview->addAction(zoomFitAction_);
    ui_->menuPreview->addAction(zoomActualAction_);
    connect(zoomFitAction_, &QAction::triggered, this, &Tonemolder::zoomToFit);
    connect(zoomActualAction_, &QAction::triggered, this, &Tonemolder::zoomToActualSize);
}

void Tonemolder::setUpImageMenu()
{
    imageMenu_ = new QMenu(this);
    imageMenu_->addAction(ui_->actionLoad_image);
    imageMenu_->addAction(ui_->action_paste_image);
    imageMenu_->addSeparator();
    imageMenu_->addAction(ui_->action_view_original);
    imageMenu_->addAction(ui_->action_view_abstract);
    imageMenu_->addSeparator();
    imageMenu_->addAction(ui_->action_zoom_in);
    imageMenu_->addAction(ui_->action_zoom_out);
    imageMenu_->addAction(zoomFitAction_);
    imageMenu_->addAction(zoomActualAction_);
    ui_->imageViewer->setContextMenu(imageMenu_);
}

void Tonemolder::setUpModifiers(bool undecorated)
{
    modifiers_ = {ui_->chan_1, ui_->chan_2, ui_->chan_3, ui_->chan_4, ui_->corr_1, ui_->corr_2, ui_->corr_3};
    for (size_t i = 0; i < modifiers_.size(); ++i) {
        ChannelModifier* m = modifiers_[i];
        const bool channel = i < 4;
        m->setLockIconsLight(!undecorated);
        m->setLockVisible(true);
        m->setFamilies(channel ? ChannelFamilies : CorrelateFamilies);
        connect(m, &ChannelModifier::valueChanged, this,
                channel ? &Tonemolder::drawSlidersSoftProof : &Tonemolder::drawSlidersCorrelates);
    }
}

void Tonemolder::connectActions()
{
    connect(ui_->actionNew, &QAction::triggered, this, &Tonemolder::newProfile);
    connect(ui_->actionOpen, &QAction::triggered, this, &Tonemolder::loadProfile);
    connect(ui_->actionSave, &QAction::triggered, this, &Tonemolder::saveProfile);
    connect(ui_->actionSave_as, &QAction::triggered, this, &Tonemolder::saveProfileAs);
    connect(ui_->action_Quit, &QAction::triggered, this, &QWidget::close);

    connect(ui_->actionLoad_image, &QAction::triggered, this, &Tonemolder::loadImage);
    connect(ui_->action_paste_image, &QAction::triggered, this, &Tonemolder::pasteImage);
    connect(ui_->action_view_original, &QAction::triggered, this, &Tonemolder::origImage);
    connect(ui_->action_view_abstract, &QAction::triggered, this, &Tonemolder::proofImage);
    connect(ui_->action_zoom_in, &QAction::triggered, this, &Tonemolder::zoomIn);
    connect(ui_->action_zoom_out, &QAction::triggered, this, &Tonemolder::zoomOut);

    connect(ui_->actionPreferences, &QAction::triggered, this, &Tonemolder::preferences);
    connect(ui_->action_Embed_to_output_profile, &QAction::triggered, this, &Tonemolder::outputProfileEmbedder);
    connect(ui_->actionConvert_to_CUBE_file, &QAction::triggered, this, &Tonemolder::cubeExporter);
    connect(ui_->actionUser_manual, &QAction::triggered, this, &Tonemolder::userManual);
    connect(ui_->actionAbout, &QAction::triggered, this, &Tonemolder::about);

    connect(ui_->btnOriginal, &QPushButton::clicked, ui_->action_view_original, &QAction::trigger);
    connect(ui_->btnPreview, &QPushButton::clicked, ui_->action_view_abstract, &QAction::trigger);
    connect(ui_->chkLive, &QCheckBox::stateChanged, this, &Tonemolder::livePreviewChanged);

    connect(ui_->pushButtonResetAll, &QPushButton::clicked, this, &Tonemolder::resetCurves);
    connect(ui_->btnResetCorrelates, &QPushButton::clicked, this, &Tonemolder::resetCurves);
    connect(ui_->btnResetCorrelates, &QPushButton::clicked, this, &Tonemolder::resetCorrelates);
    connect(ui_->btnEditSrcVC, &QPushButton::clicked, this, &Tonemolder::editViewingConditionsSrc);
    connect(ui_->btnEditDestVC, &QPushButton::clicked, this, &Tonemolder::editViewingConditionsDst);
    connect(ui_->selectLUTbutton, &QPushButton::clicked, this, &Tonemolder::loadCUBE);
}

// ---------------------------------------------------------------------------
// Preview pane
// ---------------------------------------------------------------------------

void Tonemolder::livePreviewChanged()
{
    if (restoring_ || previewImage_.isNull() || !ui_->chkLive->isChecked()) return;
    ui_->btnPreview->setEnabled(false);
    liveRequest_ = true;
    proofImage();
    liveRequest_ = false;
}

void Tonemolder::zoomIn()
{
    ui_->imageViewer->zoomIn();
}

void Tonemolder::zoomOut()
{
    ui_->imageViewer->zoomOut();
}

void Tonemolder::zoomToFit()
{
    ui_->imageViewer->autoFit();
}

void Tonemolder::zoomToActualSize()
{
    ui_->imageViewer->actualSize();
}

// ---------------------------------------------------------------------------
// CUBE import
// ---------------------------------------------------------------------------

void Tonemolder::enableIntentIfNeededForLUT()
{
    // The intent matters only for profiles built from tables.
    ui_->comboIntentLUT->setEnabled(ui_->iccProfileLUT->currentIsTableBased());
}

// ---------------------------------------------------------------------------
// Curve panels
// ---------------------------------------------------------------------------

void Tonemolder::resetCurves()
{
    bulkUpdate_ = true;
    for (size_t i = 0; i < 4; ++i) modifiers_[i]->reset();
    bulkUpdate_ = false;
    drawSlidersSoftProof();
    autoArrange();
}

void Tonemolder::resetCorrelates()
{
    bulkUpdate_ = true;
    for (size_t i = 4; i < modifiers_.size(); ++i) modifiers_[i]->reset();
    bulkUpdate_ = false;
    drawSlidersCorrelates();
}

void Tonemolder::autoArrange()
{
    ui_->curvesGraphicsView->autoFit();
    ui_->correlatesGraphicsView->autoFit();
}

void Tonemolder::autoArrangeAndRefreshImage()
{
    autoArrange();
    livePreviewChanged();
}

// ---------------------------------------------------------------------------
// Viewing conditions
// ---------------------------------------------------------------------------

void Tonemolder::editViewingConditionsSrc()
{
    editViewingConditions(ui_->comboSourceVC, ui_->comboDestVC);
}

void Tonemolder::editViewingConditionsDst()
{
    editViewingConditions(ui_->comboDestVC, ui_->comboSourceVC);
}

// The editor may add, change and remove presets: both combos are filled
// anew, the edited one on the preset chosen in the editor.
void Tonemolder::editViewingConditions(QComboBox* edited, QComboBox* other)
{
    int index = edited->currentIndex();
    viewingConditions_->editPreset(index);
    const int otherIndex = other->currentIndex();
    restoring_ = true;
    viewingConditions_->fillPresetCombo(edited, index);
    viewingConditions_->fillPresetCombo(other, otherIndex);
    restoring_ = false;
    recipeEdited(edited->objectName());
    livePreviewChanged();
}

void Tonemolder::enableViewingConditionsDst()
{
    const bool own = ui_->cbDestVC->isChecked();
    ui_->comboDestVC->setEnabled(own);
    ui_->btnEditDestVC->setEnabled(own);
}

// ---------------------------------------------------------------------------
// Tools, settings and help
// ---------------------------------------------------------------------------

void Tonemolder::outputProfileEmbedder()
{
    OutputProfileEmbedder dialog(settings_, this);
    dialog.exec();
    reportWrittenFile(dialog.writtenFile());
}

void Tonemolder::cubeExporter()
{
    CubeGenerator dialog(settings_, this);
    dialog.exec();
    reportWrittenFile(dialog.writtenFile());
}

void Tonemolder::reportWrittenFile(const QString& path)
{
    if (!path.isEmpty()) statusBar()->showMessage(tr("Written: %1").arg(QDir::toNativeSeparators(path)), StatusMessageMs);
}

void Tonemolder::preferences()
{
    Preferences dialog(settings_, this);
    dialog.exec();
    setPreviewProfiles();
    // The drawing resolution and the profile's resolution may have changed.
    restoring_ = true;
    drawSlidersSoftProof();
    drawSlidersCorrelates();
    restoring_ = false;
    livePreviewChanged();
}

void Tonemolder::about()
{
    QDialog box(this, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    box.setObjectName(QStringLiteral("about"));
    box.setWindowTitle(tr("About Osterlane Tonemolder"));
    box.resize(651, 583);

    auto* layout = new QVBoxLayout(&box);
    auto* text = new QTextBrowser(&box);
    text->setObjectName(QStringLiteral("textBrowser"));
    text->setOpenExternalLinks(true);
    if (settings_->value(UndecoratedKey, false).toBool()) text->setStyleSheet(QString::fromLatin1(UndecoratedAboutStyle));
    text->setSource(QUrl(QStringLiteral("qrc:/about.htm")));
    layout->addWidget(text);

    auto* aboutQt = new QPushButton(tr("About Qt"), &box);
    aboutQt->setObjectName(QStringLiteral("pushButton"));
    layout->addWidget(aboutQt);
    connect(aboutQt, &QPushButton::clicked, &box, &QDialog::accept);

    if (box.exec() == QDialog::Accepted) QMessageBox::aboutQt(this, QApplication::applicationDisplayName());
}

// ---------------------------------------------------------------------------
// Window events
// ---------------------------------------------------------------------------

void Tonemolder::closeEvent(QCloseEvent* event)
{
    if (!mayDiscardDocument()) {
        event->ignore();
        return;
    }
    for (ICCProfileSelector* s : {ui_->iccProfile, ui_->iccProfileLUT, ui_->iccPreviewImage}) s->storeSelection();
    storeWindowState();
    event->accept();
}

void Tonemolder::restoreWindowState()
{
    const QByteArray geometry = settings_->value(GeometryKey).toByteArray();
    if (!geometry.isEmpty()) restoreGeometry(geometry);
    const QByteArray split = settings_->value(SplitterKey).toByteArray();
    if (!split.isEmpty()) ui_->splitter->restoreState(split);
}

void Tonemolder::storeWindowState()
{
    settings_->setValue(GeometryKey, saveGeometry());
    settings_->setValue(SplitterKey, ui_->splitter->saveState());
}

void Tonemolder::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    autoArrange();
}

void Tonemolder::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    autoArrange();
}
