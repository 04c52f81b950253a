// The curve editors of the Softproofing and CIE CAM16 tabs and the panels
// that draw their curves: which editors show and how they are labelled, the
// curves above them, and the resets.
#pragma once

#include <QList>
#include <QObject>

#include <array>

struct PanelCurve;
struct Recipe;
class ChannelModifier;
class QGraphicsViewMap;
class QSettings;

namespace Ui {
class TonemolderClass;
}

class RecipeCurvePanels : public QObject {
    Q_OBJECT

public:
    static constexpr int SoftproofEditors = 4;
    static constexpr int CorrelateSlot = 4;
    static constexpr int CorrelateEditors = 3;
    // 0-3: chan_1..chan_4 (Softproofing); 4-6: corr_1..corr_3 (CIE CAM16).
    using Editors = std::array<ChannelModifier*, SoftproofEditors + CorrelateEditors>;

    RecipeCurvePanels(Ui::TonemolderClass& ui, QSettings* settings, bool undecorated, QObject* parent);

    const Editors& editors() const { return editors_; }

    // A new document: every editor "preserve" and reset, both panels redrawn.
    void clearAll();
    // The recipe's curves into the editors, without a redraw for each.
    void restoreCurves(const Recipe& recipe);

public slots:
    void resetCurves();
    void resetCorrelates();
    void setSlidersSoftProof();
    void drawSlidersSoftProof();
    void setSlidersCorrelates();
    void drawSlidersCorrelates();
    void autoArrange();

signals:
    // A panel was redrawn after its curves changed.
    void curvesChanged();

private:
    // Clears the view, then draws the legend and one curve per entry, the
    // curves taken from the editors from `firstSlot` on.
    void drawCurvePanel(QGraphicsViewMap* view, const QList<PanelCurve>& curves, int firstSlot);

    Ui::TonemolderClass& ui_;
    QSettings* settings_;   // not owned
    Editors editors_{};
    // While set, the panel redraws return at once.
    bool bulkUpdate_ = false;
};
