// The colour readout panel (View ▸ Colour readout, a dock beside the
// preview): the values of the pixel under the cursor and of up to four
// pinned samplers (Shift+click pins one, Alt+click removes the nearest),
// which follow every new frame of the preview, so that they update live as
// the look changes. The values come from the readout model.
#pragma once

#include "app/core/colourreadout.h"
#include "app/widgets/previewscheduler.h"
#include "app/widgets/qgraphicsviewmap.h"

#include <QImage>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

class QDockWidget;
class QGraphicsItem;
class QGraphicsScene;

class QLabel;
class QMainWindow;

// What the panel asks of the pane: the sample image, its profile, the proof
// profile with its settings, and the viewing conditions of the CIE CAM16
// tab (none on the other tabs).
struct ReadoutSource {
    std::function<QImage()> image;
    std::function<SharedProfile()> imageProfile;
    std::function<std::pair<SharedProfile, ProofSettings>()> proof;
    std::function<std::optional<Cam16Conditions>()> conditions;
};

class ReadoutPanel : public QObject {
    Q_OBJECT

public:
    ReadoutPanel(QMainWindow* window, QGraphicsViewMap* view, PreviewScheduler* scheduler, ReadoutSource source);

    const SamplerList& samplers() const { return samplers_; }
    // The readouts of the samplers, in their order, as last shown.
    const QList<PixelReadout>& samplerReadouts() const { return samplerReadouts_; }
    // The readout of one image position with the current look and proof.
    std::optional<PixelReadout> readAt(const QPoint& pixel) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeFrame(const PreviewFrame& frame);
    void rebuildModel();
    void showSamplers();
    void markSamplers();

    QMainWindow* window_;
    QPointer<QGraphicsViewMap> view_;
    ReadoutSource source_;
    QDockWidget* dock_ = nullptr;
    QLabel* cursor_ = nullptr;
    QLabel* list_ = nullptr;

    SharedProfile look_;
    ReadoutModel model_;
    SamplerList samplers_;
    QList<PixelReadout> samplerReadouts_;
    QPointer<QGraphicsScene> markedScene_;
    QList<QGraphicsItem*> marks_;
};
