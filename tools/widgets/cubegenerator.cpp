#include "tools/widgets/cubegenerator.h"

#include "app/core/lutformats/lutfile.h"
#include "profiles/core/profilecatalogue.h"
#include "ui_cubegenerator.h"

#include <QSettings>

#include <algorithm>

namespace {

constexpr char GridKey[] = "cubegen/grid";
constexpr char FormatKey[] = "cubegen/format";
constexpr char HaldLevelKey[] = "cubegen/hald_level";
constexpr char AbstractDirKey[] = "cubegen/abstract_dir";
constexpr char AbstractFileKey[] = "cubegen/abstract_prf";
constexpr char RgbDirKey[] = "cubegen/output_dir";
constexpr char RgbFileKey[] = "cubegen/output_prf";

constexpr int DefaultGridPoints = 33;
constexpr int HaldLevels[] = {8, 12, 16};
constexpr int HaldBits = 16;

}   // namespace

CubeGenerator::CubeGenerator(QSettings* settings, QWidget* parent)
    : ToolDialog(settings, parent), ui(std::make_unique<Ui::CubeGenerator>())
{
    ui->setupUi(this);
    if (settings_) ui->editGridPoints->setValue(settings_->value(GridKey, DefaultGridPoints).toInt());
    for (const lutformats::LutFormat f : lutformats::allFormats())
        ui->comboFormat->addItem(tr(lutformats::formatLabel(f)), QString::fromLatin1(lutformats::formatKey(f)));
    for (const int level : HaldLevels) ui->comboHaldLevel->addItem(QString::number(level), level);
    if (settings_) {
        const int format = ui->comboFormat->findData(settings_->value(FormatKey, QStringLiteral("cube")));
        ui->comboFormat->setCurrentIndex(std::max(format, 0));
        const int level = ui->comboHaldLevel->findData(settings_->value(HaldLevelKey, HaldLevels[0]));
        ui->comboHaldLevel->setCurrentIndex(std::max(level, 0));
    }
    // A Hald CLUT's grid is its level's; the other formats take the points.
    const auto showGrid = [this] {
        const bool hald = ui->comboFormat->currentData().toString().startsWith(QLatin1String("hald"));
        ui->comboHaldLevel->setEnabled(hald);
        ui->editGridPoints->setEnabled(!hald);
    };
    connect(ui->comboFormat, &QComboBox::currentIndexChanged, this, showGrid);
    showGrid();

    // Abstract profiles in any space; RGB output, colour-space and display profiles.
    setUpSelectors({{ui->abstractProfile, ClassMask::Abstract, SpaceMask::All, AbstractDirKey, AbstractFileKey},
                    {ui->RgbWorkSpace, ClassMask::Output | ClassMask::ColorSpace | ClassMask::Display, SpaceMask::Rgb,
                     RgbDirKey, RgbFileKey}});

    connect(ui->abstractProfile, &ICCProfileSelector::valueChanged, this, &CubeGenerator::setDescriptionAndCopyright);
    setDescriptionAndCopyright();
    connect(ui->buttonSave, &QPushButton::clicked, this, &CubeGenerator::saveCubeFile);
    connect(ui->buttonClose, &QPushButton::clicked, this, &QDialog::accept);
}

CubeGenerator::~CubeGenerator()
{
    if (settings_) {
        settings_->setValue(GridKey, ui->editGridPoints->value());
        settings_->setValue(FormatKey, ui->comboFormat->currentData());
        settings_->setValue(HaldLevelKey, ui->comboHaldLevel->currentData());
    }
}

CubeRequest CubeGenerator::cubeRequest(const QString& outputFile) const
{
    CubeRequest request;
    request.outputFile = outputFile;
    request.abstractProfile = ui->abstractProfile->currentName();
    request.rgbProfile = ui->RgbWorkSpace->currentName();
    request.title = ui->editDescription->text();
    request.copyright = ui->editCopyright->text();
    request.gridPoints = ui->editGridPoints->value();
    request.format = ui->comboFormat->currentData().toString();
    request.haldLevel = ui->comboHaldLevel->currentData().toInt();
    request.haldBits = HaldBits;
    return request;
}

void CubeGenerator::setDescriptionAndCopyright()
{
    ui->editDescription->setText(ui->abstractProfile->currentDescription());
    ui->editCopyright->setText(ui->abstractProfile->currentCopyright());
}

void CubeGenerator::saveCubeFile()
{
    const std::optional<lutformats::LutFormat> format =
        lutformats::formatFromKey(ui->comboFormat->currentData().toString().toStdString());
    const QString filter = !format || *format == lutformats::LutFormat::Cube
                               ? tr("LUT files (*.cube *.lut)")
                               : QStringLiteral("%1 (*%2)").arg(tr(lutformats::formatLabel(*format)),
                                                               QLatin1String(lutformats::formatExtension(*format)));
    saveWith(tr("Save LUT file"), QString(), filter + tr(";;All files (*.*)"),
             tr("Writing the table..."), [this](const QString& fileName, const CubeProgress& progress) {
                 return writeCubeFile(cubeRequest(fileName), openProfileByName, progress);
             });
}
