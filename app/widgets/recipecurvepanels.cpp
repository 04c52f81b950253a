// The curve editors and panels of the Softproofing and CIE CAM16 tabs.
#include "app/widgets/recipecurvepanels.h"

#include "app/core/curvepanels.h"
#include "app/core/recipe.h"
#include "curves/core/curvefamily.h"
#include "curves/widgets/channelmodifier.h"
#include "curves/widgets/curvesscene.h"
#include "profiles/core/preferencesettings.h"
#include "ui_tonemolder.h"

#include <QPushButton>
#include <QSettings>

namespace {

constexpr QRectF CurveSceneRect(0, 0, 1024, 512);

// Family masks of the editors: every family but the prelinearisation
// sigmoid for the colour-space channels; no inverse families for the correlates.
constexpr int ChannelFamilies = int(SoftproofFamilies);
constexpr int CorrelateFamilies = int(Cam16Families);

}   // namespace

RecipeCurvePanels::RecipeCurvePanels(Ui::TonemolderClass& ui, QSettings* settings, bool undecorated, QObject* parent)
    : QObject(parent), ui_(ui), settings_(settings)
{
    // The panels fit their curves again whenever their views change size,
    // as they do when the number of editors below them changes.
    for (QGraphicsViewMap* view : {ui_.curvesGraphicsView, ui_.correlatesGraphicsView}) {
        view->setScene(new CurvesScene(CurveSceneRect, false, view));
        view->setFitOnResize(true);
    }

    editors_ = {ui_.chan_1, ui_.chan_2, ui_.chan_3, ui_.chan_4, ui_.corr_1, ui_.corr_2, ui_.corr_3};
    for (size_t i = 0; i < editors_.size(); ++i) {
        ChannelModifier* m = editors_[i];
        const bool channel = i < SoftproofEditors;
        m->setLockIconsLight(!undecorated);
        m->setLockVisible(true);
        m->setFamilies(channel ? ChannelFamilies : CorrelateFamilies);
        connect(m, &ChannelModifier::valueChanged, this,
                channel ? &RecipeCurvePanels::drawSlidersSoftProof : &RecipeCurvePanels::drawSlidersCorrelates);
    }
    connect(ui_.iccProfile, &ICCProfileSelector::valueChanged, this, &RecipeCurvePanels::setSlidersSoftProof);
    connect(ui_.pushButtonResetAll, &QPushButton::clicked, this, &RecipeCurvePanels::resetCurves);
    connect(ui_.btnResetCorrelates, &QPushButton::clicked, this, &RecipeCurvePanels::resetCurves);
    connect(ui_.btnResetCorrelates, &QPushButton::clicked, this, &RecipeCurvePanels::resetCorrelates);
}

void RecipeCurvePanels::clearAll()
{
    for (ChannelModifier* m : editors_) m->selectFamily(1);
    bulkUpdate_ = true;
    for (int i = 0; i < SoftproofEditors; ++i) editors_[size_t(i)]->reset();
    bulkUpdate_ = false;
    drawSlidersSoftProof();
    autoArrange();
    resetCorrelates();
}

void RecipeCurvePanels::restoreCurves(const Recipe& r)
{
    const bool was = bulkUpdate_;
    bulkUpdate_ = true;
    for (int i = 0; i < SoftproofEditors; ++i)
        editors_[size_t(i)]->fromStateString(r.channels[size_t(i)].toStateString());
    for (int i = 0; i < CorrelateEditors; ++i)
        editors_[size_t(CorrelateSlot + i)]->fromStateString(r.correlates[size_t(i)].toStateString());
    bulkUpdate_ = was;
}

void RecipeCurvePanels::resetCurves()
{
    bulkUpdate_ = true;
    for (int i = 0; i < SoftproofEditors; ++i) editors_[size_t(i)]->reset();
    bulkUpdate_ = false;
    drawSlidersSoftProof();
    autoArrange();
}

void RecipeCurvePanels::resetCorrelates()
{
    bulkUpdate_ = true;
    for (size_t i = CorrelateSlot; i < editors_.size(); ++i) editors_[i]->reset();
    bulkUpdate_ = false;
    drawSlidersCorrelates();
}

void RecipeCurvePanels::autoArrange()
{
    ui_.curvesGraphicsView->autoFit();
    ui_.correlatesGraphicsView->autoFit();
}

void RecipeCurvePanels::setSlidersSoftProof()
{
    const QList<PanelCurve> channels = softproofChannels(ui_.iccProfile->currentSpaceCode());
    bulkUpdate_ = true;
    if (!channels.isEmpty()) {
        for (int i = 0; i < SoftproofEditors; ++i) {
            if (i < channels.size())
                editors_[i]->setLabel(channels[i].name);
            else
                editors_[i]->hide();
        }
    }
    bulkUpdate_ = false;
    drawSlidersSoftProof();
    autoArrange();
    ui_.comboIntent->setEnabled(ui_.iccProfile->currentIsTableBased());
}

void RecipeCurvePanels::drawSlidersSoftProof()
{
    if (bulkUpdate_) return;
    drawCurvePanel(ui_.curvesGraphicsView, softproofChannels(ui_.iccProfile->currentSpaceCode()), 0);
    emit curvesChanged();
}

void RecipeCurvePanels::setSlidersCorrelates()
{
    bulkUpdate_ = true;
    editors_[CorrelateSlot]->setCorrelates(CorrelateText::Lightness);
    editors_[CorrelateSlot + 1]->setCorrelates(CorrelateText::Chroma);
    editors_[CorrelateSlot + 2]->setLabel(tr(CorrelateText::Hue));
    bulkUpdate_ = false;
    drawSlidersCorrelates();
}

void RecipeCurvePanels::drawSlidersCorrelates()
{
    if (bulkUpdate_) return;
    QList<PanelCurve> correlates;
    for (int i = 0; i < CorrelateEditors; ++i)
        correlates.append({editors_[CorrelateSlot + i]->componentName(), correlateColors().value(i)});
    drawCurvePanel(ui_.correlatesGraphicsView, correlates, CorrelateSlot);
    emit curvesChanged();
}

void RecipeCurvePanels::drawCurvePanel(QGraphicsViewMap* view, const QList<PanelCurve>& curves, int firstSlot)
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
        view->addCurve(editors_[size_t(firstSlot + i)]->curvePath(width, height, points));
}
