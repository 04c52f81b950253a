// The recipe document of the main window: new, open and save, the question
// before unsaved work is dropped, the recent profiles, undo and redo.
#include "app/widgets/tonemolder.h"

#include "app/core/appinfo.h"
#include "app/core/document.h"
#include "app/widgets/luttab.h"
#include "app/widgets/messages.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/recipecurvepanels.h"
#include "app/core/previewmodel.h"
#include "cam16/widgets/viewingconditions.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/core/profilecatalogue.h"
#include "profiles/widgets/waitcursor.h"
#include "ui_tonemolder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QSlider>

#include <algorithm>

namespace {

// Sets a flag for its lifetime.
class Raised {
public:
    explicit Raised(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
    ~Raised() { flag_ = was_; }
    Raised(const Raised&) = delete;
    Raised& operator=(const Raised&) = delete;

private:
    bool& flag_;
    bool was_;
};

}   // namespace

// ---------------------------------------------------------------------------
// Menus and the changes that make undo steps
// ---------------------------------------------------------------------------

void Tonemolder::setUpDocument()
{
    // Ctrl+S and Ctrl+A belong to the preview; these are free.
    ui_->actionNew->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    ui_->actionOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    ui_->actionSave_as->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    ui_->action_Quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    // The recent profiles go between the two separators above Quit.
    recentMenu_ = new QMenu(tr(DocumentText::RecentMenu), this);
    recentMenu_->setObjectName(QStringLiteral("menuRecent"));
    const QList<QAction*> fileActions = ui_->menu_File->actions();
    const qsizetype quit = fileActions.indexOf(ui_->action_Quit);
    ui_->menu_File->insertMenu(quit > 0 ? fileActions[quit - 1] : ui_->action_Quit, recentMenu_);
    fillRecentMenu();

    auto* edit = new QMenu(tr("&Edit"), this);
    edit->setObjectName(QStringLiteral("menuEdit"));
    undoAction_ = edit->addAction(tr("Undo"), this, &Tonemolder::undo);
    undoAction_->setObjectName(QStringLiteral("actionUndo"));
    undoAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    redoAction_ = edit->addAction(tr("Redo"), this, &Tonemolder::redo);
    redoAction_->setObjectName(QStringLiteral("actionRedo"));
    redoAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    menuBar()->insertMenu(ui_->menuPreview->menuAction(), edit);

    connectRecording();
}

void Tonemolder::connectRecording()
{
    const auto by = [this](QObject* control) { return [this, control] { recipeEdited(control->objectName()); }; };
    connect(ui_->edit_description, &QLineEdit::textChanged, this, by(ui_->edit_description));
    connect(ui_->edit_copyright, &QLineEdit::textChanged, this, by(ui_->edit_copyright));
    connect(ui_->generator, &QTabWidget::currentChanged, this, by(ui_->generator));
    connect(ui_->iccProfile, &ICCProfileSelector::valueChanged, this, by(ui_->iccProfile));
    connect(ui_->iccProfileLUT, &ICCProfileSelector::valueChanged, this, by(ui_->iccProfileLUT));
    for (QComboBox* combo : {ui_->comboIntent, ui_->comboIntentLUT, ui_->comboSourceVC, ui_->comboDestVC})
        connect(combo, &QComboBox::currentIndexChanged, this, by(combo));
    connect(ui_->cbDestVC, &QCheckBox::toggled, this, by(ui_->cbDestVC));
    // After the table dialog has done its work.
    connect(ui_->selectLUTbutton, &QPushButton::clicked, this, by(ui_->selectLUTbutton));
    for (ChannelModifier* m : panels_->editors()) {
        connect(m, &ChannelModifier::valueChanged, this, by(m));
        // The lock is kept in the recipe, though it changes no curve.
        if (auto* lock = m->findChild<QAbstractButton*>(QStringLiteral("lockButton")))
            connect(lock, &QAbstractButton::clicked, this, by(m));
        for (QSlider* slider : m->findChildren<QSlider*>()) {
            connect(slider, &QSlider::sliderPressed, this, [this, m] {
                dragSource_ = m->objectName();
                ++dragCount_;
            });
            connect(slider, &QSlider::sliderReleased, this, [this] { dragSource_.clear(); });
        }
    }
}

void Tonemolder::recipeEdited(const QString& source)
{
    if (restoring_) return;
    // One slider drag makes one step, and so does typing into one line edit.
    if (source == dragSource_) {
        if (history_->record(recipeFromControls(), source + QLatin1Char('#') + QString::number(dragCount_), true))
            updateUndoActions();
        return;
    }
    const bool typing = source == ui_->edit_description->objectName() || source == ui_->edit_copyright->objectName();
    if (history_->record(recipeFromControls(), source, typing)) updateUndoActions();
}

void Tonemolder::updateUndoActions()
{
    undoAction_->setEnabled(history_->canUndo());
    redoAction_->setEnabled(history_->canRedo());
}

void Tonemolder::undo()
{
    if (!history_->canUndo()) return;
    restoreRecipe(history_->undo());
    updateUndoActions();
}

void Tonemolder::redo()
{
    if (!history_->canRedo()) return;
    restoreRecipe(history_->redo());
    updateUndoActions();
}

bool Tonemolder::isSaved() const
{
    return history_->isSaved();
}

// ---------------------------------------------------------------------------
// Recent profiles and the command line
// ---------------------------------------------------------------------------

void Tonemolder::fillRecentMenu()
{
    recentMenu_->clear();
    const QStringList files = RecentProfiles::list(*settings_);
    for (const QString& file : files) {
        QAction* a = recentMenu_->addAction(QFileInfo(file).fileName(), this, [this, file] { openRecent(file); });
        a->setToolTip(file);
        a->setData(file);
    }
    recentMenu_->setEnabled(!files.isEmpty());
}

void Tonemolder::openRecent(const QString& path)
{
    if (!QFileInfo(path).isFile()) {
        criticalBox(this, tr(DocumentText::RecentMissing).arg(QDir::toNativeSeparators(path)));
        RecentProfiles::forget(*settings_, path);
        fillRecentMenu();
        return;
    }
    if (!mayDiscardDocument()) return;
    openProfileFile(path);
}

void Tonemolder::openFiles(const QStringList& paths)
{
    for (const QString& path : paths) {
        if (looksLikeProfile(path)) {
            if (mayDiscardDocument()) openProfileFile(path);
        } else {
            preview_->loadImageFile(path);
        }
    }
}

// ---------------------------------------------------------------------------
// New, open and save
// ---------------------------------------------------------------------------

bool Tonemolder::mayDiscardDocument()
{
    if (isSaved()) return true;
    const auto answer = QMessageBox::question(this, QApplication::applicationDisplayName(), tr(DocumentText::Unsaved),
                                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    switch (answer) {
    case QMessageBox::Yes: return saveProfile();   // a save that fails or is cancelled keeps the work
    case QMessageBox::No: return true;
    default: return false;
    }
}

void Tonemolder::updateWindowTitle()
{
    setWindowTitle(AppInfo::windowTitle(fileName_));
}

QString Tonemolder::askProfileFileName(bool forSaving)
{
    QFileDialog dialog(this, tr(forSaving ? DocumentText::SaveTitle : DocumentText::OpenTitle), systemColorDirectory(),
                       tr(DocumentText::ProfileFilter));
    dialog.setObjectName(QStringLiteral("profileFileDialog"));
    if (forSaving) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(QStringLiteral("icc"));
    } else {
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

void Tonemolder::newProfile()
{
    if (!mayDiscardDocument()) return;
    {
        const Raised quiet(restoring_);
        ui_->comboIntent->setCurrentIndex(0);
        ui_->edit_description->setText(tr(RecipeText::NewDescription));
        ui_->edit_copyright->setText(tr(RecipeText::NewCopyright));
        ui_->comboSourceVC->setCurrentIndex(0);
        ui_->comboDestVC->setCurrentIndex(0);
        ui_->cbDestVC->setChecked(false);

        panels_->clearAll();
        enableViewingConditionsDst();

        panels_->setSlidersCorrelates();
        panels_->setSlidersSoftProof();
        preview_->setPreviewProfiles();
    }
    preview_->livePreviewChanged();

    fileName_.clear();
    history_->reset(recipeFromControls());
    updateUndoActions();
    updateWindowTitle();
}

void Tonemolder::loadProfile()
{
    if (!mayDiscardDocument()) return;
    const QString fileName = askProfileFileName(false);
    if (!fileName.isEmpty()) openProfileFile(fileName);
}

bool Tonemolder::openProfileFile(const QString& fileName)
{
    const RecipeReadResult read = readRecipeFromFile(fileName);
    if (!read.ok()) {
        criticalBox(this, read.message);
        return false;
    }

    // A recipe made at another resolution: take its resolution, or convert
    // the recipe to the one in force (the document then differs from the file).
    bool converted = false;
    if (read.resolutionDiffers(resolutionPreferences(*settings_))) {
        const auto answer = QMessageBox::question(this, QApplication::applicationDisplayName(),
                                                  tr(RecipeText::ResolutionQuestion), QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::Yes)
            storeResolutionPreferences(*settings_, read.recipe.resolution);
        else
            converted = true;
    }

    const RestoreReport report = restoreRecipe(read.recipe);
    if (report.softproofMissing) criticalBox(this, tr(DocumentText::SoftproofMissing));
    if (report.lutSpaceMissing) criticalBox(this, tr(DocumentText::LutSpaceMissing).arg(read.recipe.lutProfile));
    if (report.cubeMissing)
        criticalBox(this, tr(DocumentText::CubeMissing).arg(QDir::toNativeSeparators(read.recipe.cubeFile)));

    fileName_ = QFileInfo(fileName).absoluteFilePath();
    history_->reset(recipeFromControls(), !converted && report.complete());
    updateUndoActions();
    RecentProfiles::remember(*settings_, fileName_);
    fillRecentMenu();
    updateWindowTitle();
    return true;
}

bool Tonemolder::saveProfileAs()
{
    const QString fileName = askProfileFileName(true);
    if (fileName.isEmpty()) return false;
    // The document keeps its name unless the new file was written.
    const QString previous = fileName_;
    fileName_ = QFileInfo(fileName).absoluteFilePath();
    if (saveProfile()) return true;
    fileName_ = previous;
    return false;
}

bool Tonemolder::saveProfile()
{
    if (fileName_.isEmpty()) return saveProfileAs();

    SaveOutcome outcome;
    {
        const WaitCursor wait;
        outcome = saveRecipeProfile(fileName_, recipeFromControls(), resolutionPreferences(*settings_),
                                    selectedProfileOpener());
    }
    for (const QString& message : outcome.messages) criticalBox(this, message);
    if (!outcome.ok) return false;

    history_->markSaved();
    RecentProfiles::remember(*settings_, fileName_);
    fillRecentMenu();
    updateWindowTitle();
    return true;
}

// ---------------------------------------------------------------------------
// A recipe into the controls
// ---------------------------------------------------------------------------

Tonemolder::RestoreReport Tonemolder::restoreRecipe(const Recipe& r)
{
    RestoreReport report;
    {
        const Raised quiet(restoring_);
        ui_->edit_description->setText(r.description);
        ui_->edit_copyright->setText(r.copyright);
        ui_->generator->setCurrentIndex(int(r.tab));

        // Selecting a profile relabels the channel editors for its space.
        report.softproofMissing = !ui_->iccProfile->selectByName(r.softproofProfile);
        ui_->comboIntent->setCurrentIndex(r.softproofIntent);
        selectPresets(r);
        panels_->restoreCurves(r);

        report.lutSpaceMissing = !ui_->iccProfileLUT->selectByName(r.lutProfile);
        ui_->comboIntentLUT->setCurrentIndex(r.lutIntent);
        if (r.cubeFile.isEmpty()) {
            lutTab_->clearCubeTable();
        } else if (r.cubeFile != lutTab_->cubeFileName()) {
            lutTab_->loadCubeFile(r.cubeFile, false);
            report.cubeMissing = lutTab_->cubeFileName().isEmpty();
            if (report.cubeMissing) lutTab_->clearCubeTable();
        }

        panels_->drawSlidersSoftProof();
        panels_->drawSlidersCorrelates();
        panels_->autoArrange();
    }
    preview_->livePreviewChanged();
    return report;
}

// The recipe's viewing conditions, added to the presets when this machine
// has no equal preset.
void Tonemolder::selectPresets(const Recipe& r)
{
    const auto indexOf = [this](const std::optional<ViewingConditionsEntry>& entry) {
        return entry ? viewingConditions_->decodePreset(encodePreset(*entry)) : -1;
    };
    const int source = indexOf(r.sourceConditions);
    const int dest = indexOf(r.destConditions);
    for (QComboBox* combo : {ui_->comboSourceVC, ui_->comboDestVC}) {
        if (std::max(source, dest) >= combo->count())
            viewingConditions_->fillPresetCombo(combo, combo->currentIndex());
    }
    ui_->comboSourceVC->setCurrentIndex(source);
    ui_->comboDestVC->setCurrentIndex(dest);
    ui_->cbDestVC->setChecked(r.separateDestination);
    enableViewingConditionsDst();
}
