// The proofing tools of the preview pane: the proof profile (Preview ▸ Proof
// profile…, Simulate paper), the gamut warning, the look-strength and
// proof-error maps with their legend, and the before/after comparison (a
// split view with a divider the mouse drags, and the original while the
// backslash key is held). The colour work is the scheduler's and the
// proofing model's; this component moves settings and frames.
#pragma once

#include "app/core/proofing.h"
#include "app/widgets/qgraphicsviewmap.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

class PreviewScheduler;
class QAction;
class QActionGroup;
class QGraphicsLineItem;
class QGraphicsPixmapItem;
class QGraphicsRectItem;
class QGraphicsScene;

class QMainWindow;
class QSettings;
class QWidget;
struct PreviewFrame;

namespace Ui {
class TonemolderClass;
}

class ProofingTools : public QObject {
    Q_OBJECT

public:
    enum class Split { None, Vertical, Horizontal };

    // `refresh` asks again for what the pane shows.
    ProofingTools(Ui::TonemolderClass& ui, QSettings* settings, QMainWindow* window, PreviewScheduler* scheduler,
                  std::function<void()> refresh);
    ~ProofingTools() override;

    // What the preview is proofed with now, the Softproofing tab's output
    // profile standing in while nothing was chosen.
    ProofSettings proofSettings() const;
    // The proof profile opened (none when the preview is not proofed) with the settings.
    std::pair<std::shared_ptr<IccProfile>, ProofSettings> proof() const;
    Split split() const { return split_; }
    // Where the divider stands, 0 to 1 of the image's width (height).
    double dividerPosition() const { return divider_; }
    void setDividerPosition(double fraction);
    bool showsOriginalHeld() const { return holding_; }

    // Hands the current settings to the scheduler, for the next request.
    void takeSettings();

public slots:
    void chooseProofProfile();
    // Takes the settings again (after the proof profile, the Softproofing
    // colour space or the preferences changed) and refreshes the preview.
    void proofingChanged();
    void setSplit(Split split);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setUpActions();
    void showFrame(const PreviewFrame& frame);
    void placeDivider();
    void removeOverlay();
    void holdOriginal(bool held);

    Ui::TonemolderClass& ui_;
    QSettings* settings_;   // not owned
    QMainWindow* window_;
    PreviewScheduler* scheduler_;
    std::function<void()> refresh_;

    QPointer<QGraphicsViewMap> view_;
    QPointer<QAction> previewAction_;   // enabled while there is an image to compare
    QAction* proofAction_ = nullptr;
    QAction* paperAction_ = nullptr;
    QAction* gamutAction_ = nullptr;
    QAction* strengthAction_ = nullptr;
    QAction* proofErrorAction_ = nullptr;
    QAction* splitAction_ = nullptr;
    QAction* splitHorizontalAction_ = nullptr;
    QWidget* legend_ = nullptr;

    Split split_ = Split::None;
    double divider_ = 0.5;
    bool dragging_ = false;
    bool holding_ = false;
    // The original over the left (upper) part of the image scene.
    QPointer<QGraphicsScene> overlayScene_;
    QGraphicsRectItem* clip_ = nullptr;
    QGraphicsPixmapItem* original_ = nullptr;
    QGraphicsLineItem* line_ = nullptr;
};
