#include "profiles/widgets/preferences.h"

#include "ui_preferences.h"

#include "curves/widgets/channelmodifier.h"
#include "curves/widgets/curvesscene.h"
#include "profiles/core/builtinspaces.h"

#include <QColorDialog>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QVBoxLayout>
#include <QMessageBox>
#include <QSettings>

namespace {

constexpr QRgb LegendColor = 0xFF03A9F4;

// The preview's gamut warning (read there with the proof settings).
constexpr char GamutToleranceKey[] = "proofing/gamut_tolerance";
constexpr char GamutColourKey[] = "proofing/gamut_colour";
constexpr double DefaultGamutTolerance = 2.0;
constexpr uint32_t DefaultGamutColour = 0xFF00FF;

}   // namespace

Preferences::Preferences(QSettings* settings, QWidget* parent, MonitorSource monitor)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::Preferences>()), settings_(settings)
{
    ui_->setupUi(this);
    scene_ = new CurvesScene(QRectF(0, 0, 1024, 512), false, this);
    ui_->curvesGraphicsView->setScene(scene_);

    const PreferenceSettings stored = settings_ ? PreferenceSettings::read(*settings_) : PreferenceSettings{};
    ui_->cbDontDark->setChecked(stored.undecorated);

    fillMonitors(monitor);
    ui_->comboMonitors->setCurrentIndex(stored.monitorSrgb);

    // The resolution controls: labels, ranges and steps from the settings' table.
    const struct { QLabel* label; QSpinBox* edit; Resolution setting; } resolution[] = {
        {ui_->labelLstar, ui_->editLStar, Resolution::GridLStar},
        {ui_->labelAbStar, ui_->editAbStar, Resolution::GridAbStar},
        {ui_->label, ui_->editCurvePoints, Resolution::CurvePoints},
    };
    for (const auto& r : resolution) {
        const ResolutionRange& range = resolutionRange(r.setting);
        r.label->setText(tr(range.label));
        r.edit->setRange(int(range.offeredLowest), int(range.highest));
        r.edit->setSingleStep(range.step);
    }
    ui_->editDrawCurveRes->setRange(PreferenceLimits::MinDrawRes, PreferenceLimits::MaxDrawRes);
    ui_->editDrawCurveRes->setSingleStep(PreferenceLimits::DrawResStep);

    ChannelModifier* prelin = ui_->prelin;
    prelin->setLockIconsLight(!stored.undecorated);
    prelin->setLabel(tr(resolutionRange(Resolution::SigmoidShape).label));
    prelin->setLockVisible(false);
    prelin->setFamilies(PrelinFamilies);

    connect(prelin, &ChannelModifier::valueChanged, this, &Preferences::drawCurves);
    connect(ui_->editDrawCurveRes, &QSpinBox::valueChanged, this, &Preferences::drawCurves);
    connect(ui_->comboProfileVersion, &QComboBox::currentIndexChanged, this, &Preferences::profileVersionChanged);

    ui_->comboProfileVersion->setCurrentIndex(stored.resolution.versionIndex);
    ui_->editLStar->setValue(stored.resolution.gridLstar);
    ui_->editAbStar->setValue(stored.resolution.gridAbstar);
    ui_->editCurvePoints->setValue(stored.resolution.gridCurves);
    prelin->setValue(stored.resolution.sigmoidShape);
    ui_->editDrawCurveRes->setValue(stored.drawCurveRes);

    profileVersionChanged(ui_->comboProfileVersion->currentIndex());
    drawCurves();
    addGamutWarningControls();
}

void Preferences::addGamutWarningControls()
{
    auto* group = new QGroupBox(tr("Gamut warning"), this);
    group->setObjectName(QStringLiteral("groupGamutWarning"));
    auto* form = new QFormLayout(group);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    gamutTolerance_ = new QDoubleSpinBox(group);
    gamutTolerance_->setObjectName(QStringLiteral("editGamutTolerance"));
    gamutTolerance_->setRange(0.5, 20.0);
    gamutTolerance_->setSingleStep(0.5);
    gamutTolerance_->setDecimals(1);
    gamutTolerance_->setValue(settings_ ? settings_->value(GamutToleranceKey, DefaultGamutTolerance).toDouble()
                                        : DefaultGamutTolerance);
    gamutColour_ = QColor::fromRgb(QRgb(
        (settings_ ? settings_->value(GamutColourKey, DefaultGamutColour).toUInt() : DefaultGamutColour) & 0xFFFFFF));
    gamutColourButton_ = new QPushButton(group);
    gamutColourButton_->setObjectName(QStringLiteral("buttonGamutColour"));
    connect(gamutColourButton_, &QPushButton::clicked, this, [this] {
        const QColor chosen = QColorDialog::getColor(gamutColour_, this, tr("Gamut warning colour"));
        if (chosen.isValid()) gamutColour_ = chosen;
        showWarningColour();
    });
    showWarningColour();
    form->addRow(tr("Tolerance (ΔE76):"), gamutTolerance_);
    form->addRow(tr("Warning colour:"), gamutColourButton_);
    // Above the OK and Cancel row.
    ui_->verticalLayout->insertWidget(ui_->verticalLayout->count() - 1, group);
}

void Preferences::showWarningColour()
{
    gamutColourButton_->setText(gamutColour_.name());
    gamutColourButton_->setStyleSheet(QStringLiteral("background-color: %1; color: %2;")
                                          .arg(gamutColour_.name(), gamutColour_.lightness() > 128 ? "black" : "white"));
}

Preferences::~Preferences() = default;

// Item 0 names the display's profile, item 1 forces sRGB. A display profile
// the engine rejects is reported and sRGB stands in for it.
void Preferences::fillMonitors(const MonitorSource& monitor)
{
    ProfilePtr profile = adoptProfile(monitor ? monitor() : monitorProfile());
    if (!profile) {
        QMessageBox::critical(this, QGuiApplication::applicationDisplayName(),
                              tr("The profile you have assiged to your monitor is corrupted!") + QLatin1Char('\n') +
                                  tr("assuming sRGB"));
        profile = adoptProfile(createSrgbProfile(nullptr));
    }
    ui_->comboMonitors->clear();
    ui_->comboMonitors->addItem(monitorEntryText(monitorDescription(profile.get())));
    ui_->comboMonitors->addItem(tr("Forced sRGB Monitor"));
}

PreferenceSettings Preferences::values() const
{
    PreferenceSettings p;
    p.resolution.versionIndex = ui_->comboProfileVersion->currentIndex();
    p.resolution.gridLstar = ui_->editLStar->value();
    p.resolution.gridAbstar = ui_->editAbStar->value();
    p.resolution.gridCurves = ui_->editCurvePoints->value();
    p.resolution.sigmoidShape = ui_->prelin->curve().value();
    p.drawCurveRes = ui_->editDrawCurveRes->value();
    p.undecorated = ui_->cbDontDark->isChecked();
    p.monitorSrgb = ui_->comboMonitors->currentIndex();
    return p.clamped();
}

void Preferences::accept()
{
    if (settings_) {
        values().write(*settings_);
        settings_->setValue(GamutToleranceKey, gamutTolerance_->value());
        settings_->setValue(GamutColourKey, uint32_t(gamutColour_.rgb() & 0xFFFFFF));
    }
    QDialog::accept();
}

void Preferences::profileVersionChanged(int index)
{
    // Version 2 profiles use one grid size for all three axes.
    const bool singleGrid = index == 1;
    ui_->labelLstar->setText(singleGrid ? tr("Grid points:") : tr(resolutionRange(Resolution::GridLStar).label));
    ui_->labelAbStar->setVisible(!singleGrid);
    ui_->editAbStar->setVisible(!singleGrid);
    update();
}

void Preferences::drawCurves()
{
    QGraphicsViewMap* view = ui_->curvesGraphicsView;
    view->clearCurves();
    view->setLegend({tr("PCS a*/b* prelinearization")}, {LegendColor});
    view->addCurve(ui_->prelin->curvePath(view->drawingWidth(), view->drawingHeight(), ui_->editDrawCurveRes->value()));
}

void Preferences::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    ui_->curvesGraphicsView->autoFit();
}

void Preferences::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    ui_->curvesGraphicsView->autoFit();
}
