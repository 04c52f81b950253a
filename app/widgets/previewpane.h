// The preview pane of the main window: the sample image (chosen, dropped or
// pasted), its profile and the display's, the original and proofed views,
// zoom, and the busy indicator while the scheduler works.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>

struct IccProfile;
struct PreviewFrame;
struct Recipe;
class PreviewScheduler;
class ProofingTools;
class ReadoutPanel;
class ImageExport;
class QAction;
class QMainWindow;
class QMenu;
class QProgressBar;
class QSettings;
class QTimer;

using ProfileOpener = std::function<IccProfile*(const QString& name)>;

namespace Ui {
class TonemolderClass;
}

// What the pane asks of its window: the recipe the controls hold, the opener
// of the profiles they name, and whether changes are being held back (while
// the window puts a whole recipe into its controls).
struct PreviewSource {
    std::function<Recipe()> recipe;
    std::function<ProfileOpener()> opener;
    std::function<bool()> holding;
};

class PreviewPane : public QObject {
    Q_OBJECT

public:
    PreviewPane(Ui::TonemolderClass& ui, QSettings* settings, QMainWindow* window, PreviewSource source);

    bool hasImage() const { return !image_.isNull(); }
    bool showsProof() const { return shown_ == Shown::Proof; }
    ProofingTools* proofingTools() const { return proofing_; }
    ReadoutPanel* readoutPanel() const { return readout_; }
    ImageExport* imageExport() const { return export_; }

public slots:
    void loadImage();
    void loadImageFile(const QString& fileName);
    void pasteImage();
    void origImage();
    void proofImage();
    // A control changed: the proof again when an image is shown live.
    void livePreviewChanged();
    void setPreviewProfiles();
    void zoomIn();
    void zoomOut();
    void zoomToFit();
    void zoomToActualSize();

private:
    void setUpScheduler();
    void setUpZoomActions();
    void setUpImageMenu();
    void setUpReadout();
    void enableImageControls(bool enabled);
    void takeImage(const QImage& image);
    void showPreviewFrame(const PreviewFrame& frame);
    void previewBusyChanged(bool busy);
    // Asks again for what the pane shows, after the image's profile changed.
    void refreshShownImage();

    enum class Shown { Nothing, Original, Proof };

    Ui::TonemolderClass& ui_;
    QSettings* settings_;   // not owned
    QMainWindow* window_;   // the parent, for its status bar and message boxes
    PreviewSource source_;

    PreviewScheduler* preview_ = nullptr;   // owns the image and display profiles
    ProofingTools* proofing_ = nullptr;
    ReadoutPanel* readout_ = nullptr;
    ImageExport* export_ = nullptr;
    QString imageFile_;   // the sample image's file; empty for a pasted image
    QImage image_;
    Shown shown_ = Shown::Nothing;
    bool fitPending_ = false;          // a new image: fit it when its first frame comes
    bool liveRequest_ = false;         // the proof asked for is a live refresh
    quint64 explicitProof_ = 0;        // the request of the last Preview the user asked for
    QTimer* busyTimer_ = nullptr;
    QProgressBar* busyBar_ = nullptr;
    QMenu* imageMenu_ = nullptr;
    QAction* zoomFitAction_ = nullptr;
    QAction* zoomActualAction_ = nullptr;
    // Where the image dialog opens after its first use.
    QString imageDialogDir_;
};
