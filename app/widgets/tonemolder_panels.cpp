// The curve panels of the Softproofing and CIE CAM16 tabs: which channel
// editors show, and the curves drawn above them.
#include "app/widgets/tonemolder.h"

#include "app/core/curvepanels.h"
#include "curves/widgets/channelmodifier.h"
#include "curves/widgets/curvesscene.h"
#include "profiles/core/preferencesettings.h"
#include "ui_tonemolder.h"

#include <QSettings>

namespace {

constexpr QRectF CurveSceneRect(0, 0, 1024, 512);

}   // namespace

void Tonemolder::setUpCurveScenes()
{
    // The panels fit their curves again whenever their views change size,
    // as they do when the number of editors below them changes.
    for (QGraphicsViewMap* view : {ui_->curvesGraphicsView, ui_->correlatesGraphicsView}) {
        view->setScene(new CurvesScene(CurveSceneRect, false, view));
        view->setFitOnResize(true);
    }
}

void Tonemolder::setSlidersSoftProof()
{
    const QList<PanelCurve> channels = softproofChannels(ui_->iccProfile->currentSpaceCode());
    bulkUpdate_ = true;
    if (!channels.isEmpty()) {
        for (int i = 0; i < SoftproofEditors; ++i) {
            if (i < channels.size())
                modifiers_[i]->setLabel(channels[i].name);
            else
                modifiers_[i]->hide();
        }
    }
    bulkUpdate_ = false;
    drawSlidersSoftProof();
    autoArrange();
    ui_->comboIntent->setEnabled(ui_->iccProfile->currentIsTableBased());
}

void Tonemolder::drawSlidersSoftProof()
{
    if (bulkUpdate_) return;
    drawCurvePanel(ui_->curvesGraphicsView, softproofChannels(ui_->iccProfile->currentSpaceCode()), 0);
    livePreviewChanged();
}

void Tonemolder::setSlidersCorrelates()
{
    bulkUpdate_ = true;
    modifiers_[CorrelateSlot]->setCorrelates(CorrelateText::Lightness);
    modifiers_[CorrelateSlot + 1]->setCorrelates(CorrelateText::Chroma);
    modifiers_[CorrelateSlot + 2]->setLabel(tr(CorrelateText::Hue));
    bulkUpdate_ = false;
    drawSlidersCorrelates();
}

void Tonemolder::drawSlidersCorrelates()
{
    if (bulkUpdate_) return;
    QList<PanelCurve> correlates;
    for (int i = 0; i < CorrelateEditors; ++i)
        correlates.append({modifiers_[CorrelateSlot + i]->componentName(), correlateColors().value(i)});
    drawCurvePanel(ui_->correlatesGraphicsView, correlates, CorrelateSlot);
    livePreviewChanged();
}

void Tonemolder::drawCurvePanel(QGraphicsViewMap* view, const QList<PanelCurve>& curves, int firstSlot)
{
    view->clearCurves();
    if (curves.isEmpty()) return;
    const int points = PreferenceSettings::read(*settings_).drawCurveRes;
    const int width = view->drawingWidth();
    const int height = view->drawingHeight();

    QStringList names;
    QList<QRgb> colors;
    for (const PanelCurve& c : curves) {
        names << c.name;
        colors << c.color;
    }
    view->setLegend(names, colors);
    for (int i = 0; i < curves.size(); ++i)
        view->addCurve(modifiers_[size_t(firstSlot + i)]->curvePath(width, height, points));
}
