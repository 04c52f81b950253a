// The device-link dialog: selectors and options in, the link written out.
#include "tools/widgets/devicelinkdialog.h"

#include "profiles/core/profilecatalogue.h"
#include "ui_devicelinkdialog.h"

#include <QSettings>

#include <algorithm>

namespace {

constexpr char IntentKey[] = "devlink/intent";
constexpr char BpcKey[] = "devlink/bpc";
constexpr char VersionKey[] = "devlink/version";
constexpr char GridKey[] = "devlink/grid";
constexpr int DefaultGridPoints = 33;

// Source and destination: any device class but abstract; the look: abstract
// profiles.
constexpr int DeviceClasses = ClassMask::Output | ClassMask::Input | ClassMask::ColorSpace | ClassMask::Display;

}   // namespace

DeviceLinkDialog::DeviceLinkDialog(QSettings* settings, QWidget* parent)
    : ToolDialog(settings, parent), ui(std::make_unique<Ui::DeviceLinkDialog>())
{
    ui->setupUi(this);
    setUpSelectors({{ui->sourceProfile, DeviceClasses, SpaceMask::All, "devlink/source_dir", "devlink/source_prf"},
                    {ui->lookProfile, ClassMask::Abstract, SpaceMask::All, "devlink/look_dir", "devlink/look_prf"},
                    {ui->destinationProfile, DeviceClasses, SpaceMask::All, "devlink/destination_dir",
                     "devlink/destination_prf"}});
    if (settings_) {
        ui->comboIntent->setCurrentIndex(std::clamp(settings_->value(IntentKey, 0).toInt(), 0, 3));
        ui->checkBpc->setChecked(settings_->value(BpcKey, false).toBool());
        ui->comboVersion->setCurrentIndex(std::clamp(settings_->value(VersionKey, 0).toInt(), 0, 1));
        ui->editGridPoints->setValue(settings_->value(GridKey, DefaultGridPoints).toInt());
    }
    connect(ui->buttonSave, &QPushButton::clicked, this, &DeviceLinkDialog::saveLink);
    connect(ui->buttonClose, &QPushButton::clicked, this, &QDialog::accept);
}

DeviceLinkDialog::~DeviceLinkDialog()
{
    if (!settings_) return;
    settings_->setValue(IntentKey, ui->comboIntent->currentIndex());
    settings_->setValue(BpcKey, ui->checkBpc->isChecked());
    settings_->setValue(VersionKey, ui->comboVersion->currentIndex());
    settings_->setValue(GridKey, ui->editGridPoints->value());
}

DeviceLinkRequest DeviceLinkDialog::linkRequest(const QString& outputFile) const
{
    DeviceLinkRequest request;
    request.source = ui->sourceProfile->currentName();
    request.look = ui->lookProfile->currentName();
    request.destination = ui->destinationProfile->currentName();
    request.outputFile = outputFile;
    request.intent = ui->comboIntent->currentIndex();
    request.blackPointCompensation = ui->checkBpc->isChecked();
    request.versionIndex = ui->comboVersion->currentIndex();
    request.gridPoints = ui->editGridPoints->value();
    return request;
}

void DeviceLinkDialog::saveLink()
{
    saveWith(tr("Save device link"), QString(), tr("ICC profiles (*.icc *.icm);;All files (*.*)"),
             tr("Linking the profiles..."), [this](const QString& fileName, const std::function<void(int, int)>&) {
                 return writeLookDeviceLink(linkRequest(fileName), openProfileByName);
             });
}
