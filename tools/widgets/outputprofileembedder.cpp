#include "tools/widgets/outputprofileembedder.h"

#include "profiles/core/preferencesettings.h"
#include "profiles/core/profilecatalogue.h"
#include "ui_outputprofileembedder.h"

#include <QSettings>

namespace {

constexpr char GridKey[] = "outgen/grid";
constexpr char DescriptionKey[] = "outgen/description";
constexpr char CopyrightKey[] = "outgen/copyright";
constexpr char PerceptualKey[] = "outgen/perceptual";
constexpr char SaturationKey[] = "outgen/saturation";
constexpr char RelColKey[] = "outgen/relcol";
constexpr char AllLutsKey[] = "outgen/all_luts";
constexpr char OutputDirKey[] = "outgen/output_dir";
constexpr char OutputFileKey[] = "outgen/output_prf";
constexpr char AbstractDirKey[] = "outgen/abstract_dir";
constexpr char AbstractFileKey[] = "outgen/abstract_prf";

constexpr int DefaultGridPoints = 33;

}   // namespace

OutputProfileEmbedder::OutputProfileEmbedder(QSettings* settings, QWidget* parent)
    : ToolDialog(settings, parent), ui(std::make_unique<Ui::OutputProfileEmbedder>())
{
    ui->setupUi(this);
    restoreSettings();

    // Output profiles in RGB or CMYK; abstract profiles in any space.
    setUpSelectors({{ui->baseOutputProfile, ClassMask::Output, SpaceMask::Rgb | SpaceMask::Cmyk, OutputDirKey,
                     OutputFileKey},
                    {ui->abstractProfile, ClassMask::Abstract, SpaceMask::All, AbstractDirKey, AbstractFileKey}});

    // Connected only now: the stored texts stay until the user picks another base profile.
    connect(ui->baseOutputProfile, &ICCProfileSelector::valueChanged, this, &OutputProfileEmbedder::setVersionCopyright);
    connect(ui->buttonSave, &QPushButton::clicked, this, &OutputProfileEmbedder::saveOutputProfile);
    connect(ui->buttonClose, &QPushButton::clicked, this, &QDialog::accept);
}

OutputProfileEmbedder::~OutputProfileEmbedder()
{
    storeSettings();
}

void OutputProfileEmbedder::restoreSettings()
{
    if (!settings_) return;
    ui->comboProfileVersion->setCurrentIndex(resolutionPreferences(*settings_).versionIndex == 1 ? 1 : 0);
    ui->editGridPoints->setValue(settings_->value(GridKey, DefaultGridPoints).toInt());
    ui->newDescription->setText(settings_->value(DescriptionKey).toString());
    ui->newCopyright->setText(settings_->value(CopyrightKey).toString());
    ui->checkBoxPerceptual->setChecked(settings_->value(PerceptualKey, true).toBool());
    ui->checkBoxSaturation->setChecked(settings_->value(SaturationKey, true).toBool());
    ui->checkBoxRelCol->setChecked(settings_->value(RelColKey, false).toBool());
    ui->checkBoxGenAll->setChecked(settings_->value(AllLutsKey, false).toBool());
}

// The version is the preferences' to keep; it is not written here.
void OutputProfileEmbedder::storeSettings()
{
    if (!settings_) return;
    settings_->setValue(GridKey, ui->editGridPoints->value());
    settings_->setValue(DescriptionKey, ui->newDescription->text());
    settings_->setValue(CopyrightKey, ui->newCopyright->text());
    settings_->setValue(PerceptualKey, ui->checkBoxPerceptual->isChecked());
    settings_->setValue(SaturationKey, ui->checkBoxSaturation->isChecked());
    settings_->setValue(RelColKey, ui->checkBoxRelCol->isChecked());
    settings_->setValue(AllLutsKey, ui->checkBoxGenAll->isChecked());
}

EmbedRequest OutputProfileEmbedder::embedRequest(const QString& outputFile) const
{
    EmbedRequest request;
    request.outputFile = outputFile;
    request.baseProfile = ui->baseOutputProfile->currentName();
    request.abstractProfile = ui->abstractProfile->currentName();
    request.description = ui->newDescription->text();
    request.copyright = ui->newCopyright->text();
    request.regenerateAll = ui->checkBoxGenAll->isChecked();
    request.versionIndex = ui->comboProfileVersion->currentIndex() == 1 ? 1 : 0;
    request.gridPoints = ui->editGridPoints->value();
    request.perceptual = ui->checkBoxPerceptual->isChecked();
    request.relativeColorimetric = ui->checkBoxRelCol->isChecked();
    request.saturation = ui->checkBoxSaturation->isChecked();
    return request;
}

void OutputProfileEmbedder::setVersionCopyright()
{
    ui->newDescription->setText(ui->baseOutputProfile->currentDescription());
    ui->newCopyright->setText(ui->baseOutputProfile->currentCopyright());
}

void OutputProfileEmbedder::saveOutputProfile()
{
    saveWith(tr("Save modified output profile"), systemColorDirectory(),
             tr("ICC profiles_tweaked (*.icc *.icm *.pf);;All files (*.*)"), tr("Building the tables..."),
             [this](const QString& fileName, const EmbedProgress& progress) {
                 return embedAbstractProfile(embedRequest(fileName), openProfileByName, progress);
             });
}
