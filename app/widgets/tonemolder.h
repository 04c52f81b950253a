// The main window: the three recipe tabs, the preview pane, the menus that
// open the tools, and the wiring between them.
#pragma once

#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

struct IccProfile;
struct PanelCurve;
struct PreviewFrame;
struct Recipe;
class ChannelModifier;
class PreviewScheduler;
class QAction;
class QGraphicsViewMap;
class QComboBox;
class QMenu;
class QProgressBar;
class QSettings;
class QTimer;
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

public slots:
    // Recipe document.
    void newProfile();
    void loadProfile();
    // Both return whether the profile was written.
    bool saveProfile();
    bool saveProfileAs();
    void undo();
    void redo();

    // Preview pane.
    void loadImage();
    void loadImageFile(const QString& fileName);
    void pasteImage();
    void origImage();
    void proofImage();
    void livePreviewChanged();
    void setPreviewProfiles();
    void zoomIn();
    void zoomOut();
    void zoomToFit();
    void zoomToActualSize();

    // CUBE import.
    void loadCUBE();
    void loadCubeFile(const QString& fileName, bool complain = true);
    void enableIntentIfNeededForLUT();

    // Curve panels.
    void resetCurves();
    void resetCorrelates();
    void setSlidersSoftProof();
    void drawSlidersSoftProof();
    void setSlidersCorrelates();
    void drawSlidersCorrelates();
    void autoArrange();
    void autoArrangeAndRefreshImage();

    // Viewing conditions.
    void editViewingConditionsSrc();
    void editViewingConditionsDst();
    void enableViewingConditionsDst();

    // Tools, settings and help.
    void outputProfileEmbedder();
    void cubeExporter();
    void preferences();
    void about();
    void userManual();
    void checkForUpdates();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setUpSelectors(bool undecorated);
    void setUpZoomActions();
    void setUpImageMenu();
    void setUpHelpMenu();
    void setUpModifiers(bool undecorated);
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
    void clearCubeTable();
    void editViewingConditions(QComboBox* edited, QComboBox* other);

    std::unique_ptr<Ui::TonemolderClass> ui_;
    QSettings* settings_;   // not owned
    QMenu* imageMenu_ = nullptr;
    QAction* zoomFitAction_ = nullptr;
    QAction* zoomActualAction_ = nullptr;

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
    QImage previewImage_;
    QString cubeFileName_;

    // While set, the curve-panel redraws return at once.
    bool bulkUpdate_ = false;

    // 0-3: chan_1..chan_4 (Softproofing); 4-6: corr_1..corr_3 (CIE CAM16).
    std::array<ChannelModifier*, 7> modifiers_{};

    // Preview pane, CUBE import, curve panels and the recipe they build
    // (tonemolder_preview.cpp, tonemolder_cube.cpp, tonemolder_panels.cpp,
    // tonemolder_recipe.cpp).
    static constexpr int SoftproofEditors = 4;
    static constexpr int CorrelateSlot = 4;
    static constexpr int CorrelateEditors = 3;

    void setUpCurveScenes();
    // Clears the view, then draws the legend and one curve per entry, the
    // curves taken from the editors from `firstSlot` on.
    void drawCurvePanel(QGraphicsViewMap* view, const QList<PanelCurve>& curves, int firstSlot);

    // The preview pane's work (tonemolder_preview.cpp): the scheduler owns the
    // image and display profiles and builds the abstract profile of each
    // request; the view shows its frames.
    void setUpPreview();
    void enableImageControls();
    void showPreviewFrame(const PreviewFrame& frame);
    void previewBusyChanged(bool busy);
    // Asks again for what the pane shows, after the image's profile changed.
    void refreshShownImage();
    enum class Shown { Nothing, Original, Proof };
    PreviewScheduler* preview_ = nullptr;   // a child of the window
    Shown shown_ = Shown::Nothing;
    bool fitPending_ = false;          // a new image: fit it when its first frame comes
    bool liveRequest_ = false;         // the proof asked for is a live refresh
    quint64 explicitProof_ = 0;        // the request of the last Preview the user asked for
    QTimer* busyTimer_ = nullptr;
    QProgressBar* busyBar_ = nullptr;

    // The window's size and the split between recipe and preview.
    void restoreWindowState();
    void storeWindowState();
    // Tells in the status bar which file a tool wrote.
    void reportWrittenFile(const QString& path);

    ViewingConditions* viewingConditions_ = nullptr;   // a child of the window; owns the preset list
    // Where the image and table dialogs open after their first use.
    QString imageDialogDir_;
    QString cubeDialogDir_;
};
