// The main window: the recipe document and the three recipe tabs, the tools
// and settings menus, and the wiring between its components, which it owns:
// the preview pane (previewpane.h), the Import LUT tab (luttab.h), the curve
// editors and panels (recipecurvepanels.h) and the Help menu (helpmenu.h).
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct IccProfile;
struct Recipe;
class HelpMenu;
class LutTab;
class PreviewPane;
class QAction;
class QComboBox;
class QMenu;
class QSettings;
class RecipeCurvePanels;
class RecipeHistory;
class ViewingConditions;

using ProfileOpener = std::function<IccProfile*(const QString& name)>;

namespace Ui {
class TonemolderClass;
}

class Tonemolder : public QMainWindow {
    Q_OBJECT

public:
    explicit Tonemolder(QSettings* settings, QWidget* parent = nullptr);
    ~Tonemolder() override;

    // The recipe the controls hold, as the builder and the document take it.
    // Profiles are named as the recipe stores them: built-in names, or file
    // names without their folders.
    Recipe recipeFromControls() const;
    // Opens the profile names of that recipe: the selectors' file names open
    // the selected files.
    ProfileOpener selectedProfileOpener() const;

    // Opens files named on the command line: profiles as File ▸ Open does
    // (without asking for a file), anything else as a preview image.
    void openFiles(const QStringList& paths);
    // File ▸ Open after its file dialog. Returns whether the recipe was read.
    bool openProfileFile(const QString& fileName);
    // Whether the document needs no saving before it is closed.
    bool isSaved() const;

    // The components.
    PreviewPane* previewPane() const { return preview_; }
    LutTab* lutTab() const { return lutTab_; }
    RecipeCurvePanels* curvePanels() const { return panels_; }

public slots:
    // Recipe document.
    void newProfile();
    void loadProfile();
    // Both return whether the profile was written.
    bool saveProfile();
    bool saveProfileAs();
    void undo();
    void redo();

    // Viewing conditions.
    void editViewingConditionsSrc();
    void editViewingConditionsDst();
    void enableViewingConditionsDst();

    // Tools, settings and help.
    void outputProfileEmbedder();
    void cubeExporter();
    void deviceLinkMaker();
    void preferences();
    void about();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setUpSelectors(bool undecorated);
    void connectActions();
    // The recipe document (tonemolder_document.cpp).
    void setUpDocument();
    void connectRecording();
    void fillRecentMenu();
    void openRecent(const QString& path);
    bool mayDiscardDocument();
    void updateWindowTitle();
    QString askProfileFileName(bool forSaving);
    // Records the controls' recipe as an undo step after a change made with
    // the control `source`.
    void recipeEdited(const QString& source);
    void updateUndoActions();
    // What a restored recipe named that this machine does not have.
    struct RestoreReport {
        bool softproofMissing = false;
        bool lutSpaceMissing = false;
        bool cubeMissing = false;
        bool complete() const { return !softproofMissing && !lutSpaceMissing && !cubeMissing; }
    };
    // Puts a recipe into the controls: Open, Undo and Redo.
    RestoreReport restoreRecipe(const Recipe& recipe);
    void selectPresets(const Recipe& recipe);
    void editViewingConditions(QComboBox* edited, QComboBox* other);

    std::unique_ptr<Ui::TonemolderClass> ui_;
    QSettings* settings_;   // not owned
    // Children of the window.
    PreviewPane* preview_ = nullptr;
    LutTab* lutTab_ = nullptr;
    RecipeCurvePanels* panels_ = nullptr;
    HelpMenu* help_ = nullptr;

    QString fileName_;
    // The saved flag is the history's: the current step is the saved one.
    std::unique_ptr<RecipeHistory> history_;
    // While set, control changes are neither recorded nor previewed.
    bool restoring_ = false;
    // The editor whose slider is being dragged: its changes make one step.
    QString dragSource_;
    int dragCount_ = 0;
    QMenu* recentMenu_ = nullptr;
    QAction* undoAction_ = nullptr;
    QAction* redoAction_ = nullptr;

    // The window's size and the split between recipe and preview.
    void restoreWindowState();
    void storeWindowState();
    // Tells in the status bar which file a tool wrote.
    void reportWrittenFile(const QString& path);

    ViewingConditions* viewingConditions_ = nullptr;   // a child of the window; owns the preset list
};
