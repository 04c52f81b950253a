#include "cam16/widgets/viewingconditions.h"

#include "cam16/core/whitepoints.h"
#include "osl.h"
#include "ui_viewingconditions.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QInputDialog>
#include <QMessageBox>
#include <QSettings>

#include <cmath>

namespace {

QString translated(const char* text)
{
    return QCoreApplication::translate("viewingConditions", text);
}

double finiteOrZero(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

}   // namespace

class ViewingConditions::Updating {
public:
    explicit Updating(bool& flag) : flag_(flag) { flag_ = true; }
    ~Updating() { flag_ = false; }
    Updating(const Updating&) = delete;
    Updating& operator=(const Updating&) = delete;

private:
    bool& flag_;
};

ViewingConditions::ViewingConditions(QSettings* settings, const QString& key, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::viewingConditions>()),
      settings_(settings),
      key_(key)
{
    registerViewingConditionsTypes();
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/tonemolder.png")));
    setWindowModality(Qt::ApplicationModal);

    for (const WhitePointRow& row : whitePointTable())
        ui->comboWhitePoint->addItem(QString::fromLatin1(row.name));
    ui->labelWhitePointCmt->clear();

    if (settings_ != nullptr)
        presets_.load(*settings_, key_);

    connect(ui->comboWhitePoint, &QComboBox::currentIndexChanged, this, &ViewingConditions::loadWhitePointPreset);
    connect(ui->editX, &QDoubleSpinBox::valueChanged, this, &ViewingConditions::guessWhitePointPreset);
    connect(ui->editY, &QDoubleSpinBox::valueChanged, this, &ViewingConditions::guessWhitePointPreset);
    connect(ui->editTempK, &QSpinBox::valueChanged, this, &ViewingConditions::tempChanged);
    connect(ui->comboSurround, &QComboBox::currentIndexChanged, this, &ViewingConditions::loadSurroundPreset);
    connect(ui->editSurround, &QDoubleSpinBox::valueChanged, this, &ViewingConditions::surroundChanged);
    connect(ui->sliderSurround, &QSlider::valueChanged, this, &ViewingConditions::sliderSurroundChanged);
    connect(ui->editLa, &QDoubleSpinBox::valueChanged, this, &ViewingConditions::LaChanged);
    connect(ui->sliderLa, &QSlider::valueChanged, this, &ViewingConditions::sliderLaChanged);
    connect(ui->editYb, &QSpinBox::valueChanged, this, &ViewingConditions::YbChanged);
    connect(ui->sliderYb, &QSlider::valueChanged, this, &ViewingConditions::sliderYbChanged);
    connect(ui->comboPreset, &QComboBox::currentIndexChanged, this, &ViewingConditions::loadPreset);
    connect(ui->btnSave, &QPushButton::clicked, this, &ViewingConditions::save);
    connect(ui->btnAdd, &QPushButton::clicked, this, &ViewingConditions::cloneConditions);
    connect(ui->btnRemove, &QPushButton::clicked, this, &ViewingConditions::removeConditions);
    connect(ui->btnClose, &QPushButton::clicked, this, &ViewingConditions::close);
}

ViewingConditions::~ViewingConditions() = default;

// ---------------------------------------------------------------------------
// Services for the main window
// ---------------------------------------------------------------------------

void ViewingConditions::fillPresetCombo(QComboBox* box, int index) const
{
    box->clear();
    const QStringList names = presets_.names();
    for (int i = 0; i < names.size(); ++i)
        box->addItem(QIcon(QString::fromLatin1(ViewingConditionsPresets::iconFor(i))), names[i], QVariant());
    if (index >= 0)
        box->setCurrentIndex(index < box->count() ? index : 0);
    else
        box->setCurrentIndex(-1);
}

std::optional<ViewingConditionsEntry> ViewingConditions::presetAt(int index) const
{
    return presets_.at(index);
}

int ViewingConditions::editPreset(int& index)
{
    fillPresetCombo(ui->comboPreset, index);
    const int result = exec();
    index = ui->comboPreset->currentIndex();
    return result;
}

int ViewingConditions::decodePreset(const QString& text)
{
    return presets_.decode(text);
}

void ViewingConditions::storePresets()
{
    if (settings_ != nullptr)
        presets_.store(*settings_, key_);
}

// ---------------------------------------------------------------------------
// White point
// ---------------------------------------------------------------------------

void ViewingConditions::loadWhitePointPreset(int index)
{
    const auto table = whitePointTable();
    const bool valid = index >= 0 && index < int(table.size());
    ui->labelWhitePointCmt->setText(valid ? translated(table[index].description) : QString());
    if (updating_ || !valid)
        return;
    Updating guard(updating_);
    ui->editTempK->setValue(table[index].kelvin);
    ui->editX->setValue(table[index].x);
    ui->editY->setValue(table[index].y);
}

// Selects the white-point row of the chromaticity in the boxes, or "Other"
// with the correlated colour temperature when no row is that close.
void ViewingConditions::searchWhitePoint()
{
    const double x = ui->editX->value();
    const double y = ui->editY->value();
    const int row = whitePointRowForChromaticity(x, y);
    if (row >= 0) {
        ui->comboWhitePoint->setCurrentIndex(row);
        ui->editTempK->setValue(whitePointTable()[row].kelvin);
        return;
    }
    ui->comboWhitePoint->setCurrentIndex(0);
    int kelvin;
    if (temperatureForChromaticity(x, y, &kelvin))
        ui->editTempK->setValue(kelvin);
}

void ViewingConditions::guessWhitePointPreset()
{
    if (updating_)
        return;
    Updating guard(updating_);
    searchWhitePoint();
}

void ViewingConditions::tempChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    const int kelvin = ui->editTempK->value();
    const int row = whitePointRowForTemperature(kelvin);
    if (row >= 0) {
        ui->comboWhitePoint->setCurrentIndex(row);
        ui->editX->setValue(whitePointTable()[row].x);
        ui->editY->setValue(whitePointTable()[row].y);
        return;
    }
    ui->comboWhitePoint->setCurrentIndex(0);
    double x, y;
    if (chromaticityForTemperature(kelvin, &x, &y)) {
        ui->editX->setValue(x);
        ui->editY->setValue(y);
    }
}

// ---------------------------------------------------------------------------
// Surround, background and adapting luminance
// ---------------------------------------------------------------------------

void ViewingConditions::loadSurroundPreset(int index)
{
    if (updating_ || index < 0)
        return;
    Updating guard(updating_);
    ui->editSurround->setValue(index);
    ui->sliderSurround->setValue(10 * index);
}

void ViewingConditions::surroundChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    const double S = ui->editSurround->value();
    ui->sliderSurround->setValue(ViewingScales::sliderFromSurround(S));
    ui->comboSurround->setCurrentIndex(ViewingScales::comboFromSurround(S));
}

void ViewingConditions::sliderSurroundChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    const double S = ViewingScales::surroundFromSlider(ui->sliderSurround->value());
    ui->editSurround->setValue(S);
    ui->comboSurround->setCurrentIndex(ViewingScales::comboFromSurround(S));
}

void ViewingConditions::showLux(double La)
{
    ui->labelLux->setText(translated("%1 lux").arg(ViewingScales::luxNumber(La)));
}

void ViewingConditions::LaChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    const double La = ui->editLa->value();
    ui->sliderLa->setValue(ViewingScales::sliderFromLa(La));
    showLux(La);
}

void ViewingConditions::sliderLaChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    const double La = ViewingScales::laFromSlider(ui->sliderLa->value());
    ui->editLa->setValue(La);
    showLux(La);
}

void ViewingConditions::YbChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    ui->sliderYb->setValue(ui->editYb->value());
}

void ViewingConditions::sliderYbChanged()
{
    if (updating_)
        return;
    Updating guard(updating_);
    ui->editYb->setValue(ui->sliderYb->value());
}

// ---------------------------------------------------------------------------
// Presets
// ---------------------------------------------------------------------------

void ViewingConditions::loadPreset(int index)
{
    const auto entry = presets_.at(index);
    if (!entry || updating_)
        return;
    Updating guard(updating_);
    const Cam16Conditions& v = entry->values;

    const CieXyY white = xyzToXyY({v.Xw, v.Yw, v.Zw});
    ui->editX->setValue(finiteOrZero(white.x));
    ui->editY->setValue(finiteOrZero(white.y));
    ui->editSurround->setValue(v.surround);
    ui->editLa->setValue(v.La);
    ui->editYb->setValue(int(std::trunc(std::fmin(std::fmax(v.Yb, -1e9), 1e9))));
    ui->checkBoxDiscounting->setChecked(v.discounting != 0);
    // A user position may hold an entry flagged built-in (decoded from a
    // recipe); it can still be removed, but not edited.
    ui->btnSave->setEnabled(!entry->builtIn);
    ui->btnRemove->setEnabled(!entry->builtIn || presets_.isUser(index));

    searchWhitePoint();

    const double S = ui->editSurround->value();
    ui->sliderSurround->setValue(ViewingScales::sliderFromSurround(S));
    ui->comboSurround->setCurrentIndex(ViewingScales::comboFromSurround(S));
    ui->sliderLa->setValue(ViewingScales::sliderFromLa(ui->editLa->value()));
    showLux(ui->editLa->value());
    ui->sliderYb->setValue(ui->editYb->value());
}

void ViewingConditions::save()
{
    const int index = ui->comboPreset->currentIndex();
    if (!presets_.isUser(index))
        return;

    // xyY to XYZ divides by y: a white with y = 0 does not exist.
    const double x = ui->editX->value();
    const double y = ui->editY->value();
    if (!(y > 0)) {
        QMessageBox::critical(this, QGuiApplication::applicationDisplayName(),
                              translated("The white point needs a y coordinate above zero."), QMessageBox::Ok);
        return;
    }

    const CieXyz white = xyYToXyz({x, y, 100});
    const Cam16Conditions values{white.X, white.Y, white.Z, double(ui->editYb->value()), ui->editLa->value(),
                                 ui->editSurround->value(), ui->checkBoxDiscounting->isChecked() ? 1 : 0};
    presets_.setValues(index, values);
    storePresets();
    accept();
}

void ViewingConditions::cloneConditions()
{
    const auto source = presets_.at(ui->comboPreset->currentIndex());
    if (!source)
        return;

    QStringList taken;
    for (int i = 0; i < ui->comboPreset->count(); ++i)
        taken << ui->comboPreset->itemText(i);

    bool ok = false;
    const QString name = QInputDialog::getText(
        this, QGuiApplication::applicationDisplayName(), translated("Clone preset as:"), QLineEdit::Normal,
        proposeCloneName(source->name, taken), &ok,
        Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    if (!ok || name.isEmpty())
        return;
    if (taken.contains(name, Qt::CaseSensitive)) {
        QMessageBox::critical(this, QGuiApplication::applicationDisplayName(),
                              translated("'%1' already exists.").arg(name), QMessageBox::Ok);
        return;
    }

    const int index = presets_.append({false, name, source->values});
    fillPresetCombo(ui->comboPreset, index);
}

void ViewingConditions::removeConditions()
{
    const int index = ui->comboPreset->currentIndex();
    const auto answer = QMessageBox::question(this, QGuiApplication::applicationDisplayName(),
                                              translated("Remove %1?").arg(ui->comboPreset->currentText()),
                                              QMessageBox::Yes | QMessageBox::Cancel);
    if (answer != QMessageBox::Yes)
        return;
    if (presets_.remove(index)) {
        storePresets();
        fillPresetCombo(ui->comboPreset, 0);
    }
}
