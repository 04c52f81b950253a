// The main window: its components and the wiring between them, the
// selectors, viewing conditions, tools, settings and About, and the recipe
// its controls hold.
#include "app/widgets/tonemolder.h"

#include "app/core/appinfo.h"
#include "app/core/document.h"
#include "app/core/previewmodel.h"
#include "app/core/recipe.h"
#include "app/widgets/helpmenu.h"
#include "app/widgets/luttab.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/recipecurvepanels.h"
#include "curves/widgets/channelmodifier.h"
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
    preview_ = new PreviewPane(*ui_, settings_, this,
                               {[this] { return recipeFromControls(); }, [this] { return selectedProfileOpener(); },
                                [this] { return restoring_; }});
    preview_->setObjectName(QStringLiteral("previewPane"));

    // The program's own parametric curve types (109 to 114), before any curve
    // of those types exists.
    registerCurveFamilyPlugin();

    const bool undecorated = settings_->value(UndecoratedKey, false).toBool();
    setUpSelectors(undecorated);
    help_ = new HelpMenu(*ui_, settings_, this);

    fileName_.clear();
    history_ = std::make_unique<RecipeHistory>();
    viewingConditions_ = new ViewingConditions(settings_, QStringLiteral("vclist"), this);

    connect(ui_->iccProfileLUT, &ICCProfileSelector::valueChanged, preview_, &PreviewPane::livePreviewChanged);
    connect(ui_->generator, &QTabWidget::currentChanged, this, [this] {
        panels_->autoArrange();
        preview_->livePreviewChanged();
    });

    viewingConditions_->fillPresetCombo(ui_->comboSourceVC, -1);
    viewingConditions_->fillPresetCombo(ui_->comboDestVC, -1);
    connect(ui_->comboSourceVC, &QComboBox::currentIndexChanged, preview_, &PreviewPane::livePreviewChanged);
    connect(ui_->comboDestVC, &QComboBox::currentIndexChanged, preview_, &PreviewPane::livePreviewChanged);
    connect(ui_->cbDestVC, &QCheckBox::stateChanged, this, &Tonemolder::enableViewingConditionsDst);

    panels_ = new RecipeCurvePanels(*ui_, settings_, undecorated, this);
    panels_->setObjectName(QStringLiteral("curvePanels"));
    connect(panels_, &RecipeCurvePanels::curvesChanged, preview_, &PreviewPane::livePreviewChanged);

    ui_->comboIntent->setEnabled(ui_->iccProfile->currentIsTableBased());
    lutTab_ = new LutTab(*ui_, this);
    lutTab_->setObjectName(QStringLiteral("lutTab"));
    // A new table is shown at once; a failed one takes its effect off a proof.
    connect(lutTab_, &LutTab::tableChanged, this, [this](bool loaded) {
        if (loaded || preview_->showsProof()) preview_->proofImage();
    });
    connect(ui_->comboIntent, &QComboBox::currentIndexChanged, preview_, &PreviewPane::livePreviewChanged);
    connect(ui_->comboIntentLUT, &QComboBox::currentIndexChanged, preview_, &PreviewPane::livePreviewChanged);

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

void Tonemolder::connectActions()
{
    connect(ui_->actionNew, &QAction::triggered, this, &Tonemolder::newProfile);
    connect(ui_->actionOpen, &QAction::triggered, this, &Tonemolder::loadProfile);
    connect(ui_->actionSave, &QAction::triggered, this, &Tonemolder::saveProfile);
    connect(ui_->actionSave_as, &QAction::triggered, this, &Tonemolder::saveProfileAs);
    connect(ui_->action_Quit, &QAction::triggered, this, &QWidget::close);

    connect(ui_->actionPreferences, &QAction::triggered, this, &Tonemolder::preferences);
    connect(ui_->action_Embed_to_output_profile, &QAction::triggered, this, &Tonemolder::outputProfileEmbedder);
    connect(ui_->actionConvert_to_CUBE_file, &QAction::triggered, this, &Tonemolder::cubeExporter);
    connect(ui_->actionAbout, &QAction::triggered, this, &Tonemolder::about);

    connect(ui_->btnEditSrcVC, &QPushButton::clicked, this, &Tonemolder::editViewingConditionsSrc);
    connect(ui_->btnEditDestVC, &QPushButton::clicked, this, &Tonemolder::editViewingConditionsDst);
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
    preview_->livePreviewChanged();
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
    preview_->setPreviewProfiles();
    // The drawing resolution and the profile's resolution may have changed.
    restoring_ = true;
    panels_->drawSlidersSoftProof();
    panels_->drawSlidersCorrelates();
    restoring_ = false;
    preview_->livePreviewChanged();
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
    panels_->autoArrange();
}

void Tonemolder::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    panels_->autoArrange();
}

// ---------------------------------------------------------------------------
// The recipe the controls hold
// ---------------------------------------------------------------------------

Recipe Tonemolder::recipeFromControls() const
{
    Recipe r;
    r.description = ui_->edit_description->text();
    r.copyright = ui_->edit_copyright->text();
    r.tab = RecipeTab(ui_->generator->currentIndex());
    r.resolution = resolutionPreferences(*settings_);

    r.softproofProfile = ui_->iccProfile->currentFileName();
    r.softproofIntent = ui_->comboIntent->currentIndex();
    for (int i = 0; i < RecipeCurvePanels::SoftproofEditors; ++i) r.channels[size_t(i)] = panels_->editors()[size_t(i)]->curve();

    r.sourceConditions = viewingConditions_->presetAt(ui_->comboSourceVC->currentIndex());
    r.destConditions = viewingConditions_->presetAt(ui_->comboDestVC->currentIndex());
    r.separateDestination = ui_->cbDestVC->isChecked();
    for (int i = 0; i < RecipeCurvePanels::CorrelateEditors; ++i) r.correlates[size_t(i)] = panels_->editors()[size_t(RecipeCurvePanels::CorrelateSlot + i)]->curve();

    r.lutProfile = ui_->iccProfileLUT->currentFileName();
    r.lutIntent = ui_->comboIntentLUT->currentIndex();
    r.cubeFile = lutTab_->cubeFileName();
    return r;
}

ProfileOpener Tonemolder::selectedProfileOpener() const
{
    return selectionOpener({{ui_->iccProfile->currentFileName(), ui_->iccProfile->currentName()},
                            {ui_->iccProfileLUT->currentFileName(), ui_->iccProfileLUT->currentName()}});
}
