#include "tools/widgets/cubegenerator.h"

#include "profiles/core/profilecatalogue.h"
#include "ui_cubegenerator.h"

#include <QSettings>

namespace {

constexpr char GridKey[] = "cubegen/grid";
constexpr char AbstractDirKey[] = "cubegen/abstract_dir";
constexpr char AbstractFileKey[] = "cubegen/abstract_prf";
constexpr char RgbDirKey[] = "cubegen/output_dir";
constexpr char RgbFileKey[] = "cubegen/output_prf";

constexpr int DefaultGridPoints = 33;

}   // namespace

CubeGenerator::CubeGenerator(QSettings* settings, QWidget* parent)
    : ToolDialog(settings, parent), ui(std::make_unique<Ui::CubeGenerator>())
{
    ui->setupUi(this);
    if (settings_) ui->editGridPoints->setValue(settings_->value(GridKey, DefaultGridPoints).toInt());

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
    if (settings_) settings_->setValue(GridKey, ui->editGridPoints->value());
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
    return request;
}

void CubeGenerator::setDescriptionAndCopyright()
{
    ui->editDescription->setText(ui->abstractProfile->currentDescription());
    ui->editCopyright->setText(ui->abstractProfile->currentCopyright());
}

void CubeGenerator::saveCubeFile()
{
    saveWith(tr("Save LUT file"), QString(), tr("LUT files (*.cube *.lut);;All files (*.*)"),
             tr("Writing the table..."), [this](const QString& fileName, const CubeProgress& progress) {
                 return writeCubeFile(cubeRequest(fileName), openProfileByName, progress);
             });
}
