#include "tools/widgets/cubegenerator.h"

#include "app/core/lutformats/lutfile.h"
#include "tools/widgets/toolprogress.h"
#include "ui_cubegenerator.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSettings>

#include <algorithm>

namespace {

constexpr char UndecoratedKey[] = "gui/undecorated";
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

// Abstract profiles in any space; RGB output, colour-space and display profiles.
constexpr int AbstractClass = 4;
constexpr int AnySpace = 31;
constexpr int OutputSpaceOrDisplayClass = 25;
constexpr int RgbOnly = 2;

}   // namespace

CubeGenerator::CubeGenerator(QSettings* settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::CubeGenerator>()),
      settings_(settings)
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

    const bool light = !(settings_ && settings_->value(UndecoratedKey, false).toBool());
    ui->abstractProfile->setPclass(AbstractClass);
    ui->abstractProfile->setSpace(AnySpace);
    ui->abstractProfile->setFolderIconLight(light);
    ui->abstractProfile->bindSettings(settings_, AbstractDirKey, AbstractFileKey);
    ui->RgbWorkSpace->setPclass(OutputSpaceOrDisplayClass);
    ui->RgbWorkSpace->setSpace(RgbOnly);
    ui->RgbWorkSpace->setFolderIconLight(light);
    ui->RgbWorkSpace->bindSettings(settings_, RgbDirKey, RgbFileKey);
    reportUnavailableStoredFiles(this, {{ui->abstractProfile, ui->abstractProfile->prompt()},
                                        {ui->RgbWorkSpace, ui->RgbWorkSpace->prompt()}});

    connect(ui->abstractProfile, &ICCProfileSelector::valueChanged, this, &CubeGenerator::setDescriptionAndCopyright);
    setDescriptionAndCopyright();
    connect(ui->buttonSave, &QPushButton::clicked, this, &CubeGenerator::saveCubeFile);
    connect(ui->buttonClose, &QPushButton::clicked, this, &QDialog::accept);
}

CubeGenerator::~CubeGenerator()
{
    ui->abstractProfile->storeSelection();
    ui->RgbWorkSpace->storeSelection();
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

QString CubeGenerator::askSaveFileName(const QString& caption, const QString& directory, const QString& filter)
{
    return QFileDialog::getSaveFileName(this, caption, directory, filter);
}

void CubeGenerator::saveCubeFile()
{
    const std::optional<lutformats::LutFormat> format =
        lutformats::formatFromKey(ui->comboFormat->currentData().toString().toStdString());
    const QString filter = !format || *format == lutformats::LutFormat::Cube
                               ? tr("LUT files (*.cube *.lut)")
                               : QStringLiteral("%1 (*%2)").arg(tr(lutformats::formatLabel(*format)),
                                                               QLatin1String(lutformats::formatExtension(*format)));
    const QString fileName = askSaveFileName(tr("Save LUT file"), QString(), filter + tr(";;All files (*.*)"));
    if (fileName.isEmpty()) return;

    ToolResult result;
    {
        ToolProgress progress(this, tr("Writing the table..."));
        result = writeCubeFile(cubeRequest(fileName), openProfileByName,
                               [&progress](int done, int total) { progress.advance(done, total); });
    }
    if (result.ok) {
        writtenFile_ = fileName;
        accept();
        return;
    }
    QMessageBox::critical(this, QGuiApplication::applicationDisplayName(),
                          tr("Something went wrong...\n\n") + result.message, QMessageBox::Ok);
}
