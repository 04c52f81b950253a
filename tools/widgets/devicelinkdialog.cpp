// The device-link dialog: selectors and options in, the link written out.
#include "tools/widgets/devicelinkdialog.h"

#include "tools/widgets/toolprogress.h"
#include "ui_devicelinkdialog.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSettings>

#include <algorithm>

namespace {

constexpr char UndecoratedKey[] = "gui/undecorated";
constexpr char IntentKey[] = "devlink/intent";
constexpr char BpcKey[] = "devlink/bpc";
constexpr char VersionKey[] = "devlink/version";
constexpr char GridKey[] = "devlink/grid";

// Source and destination: any device class but abstract (output, input,
// colour-space, display); the look: abstract profiles.
constexpr int DeviceClasses = 1 | 2 | 8 | 16;
constexpr int AbstractClass = 4;
constexpr int AnySpace = 31;

struct SelectorKeys {
    const char* dir;
    const char* file;
};
constexpr SelectorKeys SourceKeys{"devlink/source_dir", "devlink/source_prf"};
constexpr SelectorKeys LookKeys{"devlink/look_dir", "devlink/look_prf"};
constexpr SelectorKeys DestinationKeys{"devlink/destination_dir", "devlink/destination_prf"};

}   // namespace

DeviceLinkDialog::DeviceLinkDialog(QSettings* settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::DeviceLinkDialog>()),
      settings_(settings)
{
    ui->setupUi(this);
    const bool light = !(settings_ && settings_->value(UndecoratedKey, false).toBool());
    const struct {
        ICCProfileSelector* selector;
        int classes;
        SelectorKeys keys;
    } selectors[] = {{ui->sourceProfile, DeviceClasses, SourceKeys},
                     {ui->lookProfile, AbstractClass, LookKeys},
                     {ui->destinationProfile, DeviceClasses, DestinationKeys}};
    for (const auto& s : selectors) {
        s.selector->setPclass(s.classes);
        s.selector->setSpace(AnySpace);
        s.selector->setFolderIconLight(light);
        s.selector->bindSettings(settings_, s.keys.dir, s.keys.file);
    }
    if (settings_) {
        ui->comboIntent->setCurrentIndex(std::clamp(settings_->value(IntentKey, 0).toInt(), 0, 3));
        ui->checkBpc->setChecked(settings_->value(BpcKey, false).toBool());
        ui->comboVersion->setCurrentIndex(std::clamp(settings_->value(VersionKey, 0).toInt(), 0, 1));
        ui->editGridPoints->setValue(settings_->value(GridKey, 33).toInt());
    }
    connect(ui->buttonSave, &QPushButton::clicked, this, &DeviceLinkDialog::saveLink);
    connect(ui->buttonClose, &QPushButton::clicked, this, &QDialog::accept);
}

DeviceLinkDialog::~DeviceLinkDialog()
{
    ui->sourceProfile->storeSelection();
    ui->lookProfile->storeSelection();
    ui->destinationProfile->storeSelection();
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

QString DeviceLinkDialog::askSaveFileName(const QString& caption, const QString& filter)
{
    return QFileDialog::getSaveFileName(this, caption, QString(), filter);
}

void DeviceLinkDialog::saveLink()
{
    const QString fileName = askSaveFileName(tr("Save device link"), tr("ICC profiles (*.icc *.icm);;All files (*.*)"));
    if (fileName.isEmpty()) return;
    ToolResult result;
    {
        ToolProgress progress(this, tr("Linking the profiles..."));
        result = writeLookDeviceLink(linkRequest(fileName), openProfileByName);
    }
    if (result.ok) {
        writtenFile_ = fileName;
        accept();
        return;
    }
    QMessageBox::critical(this, QGuiApplication::applicationDisplayName(), tr("Something went wrong...\n\n") + result.message,
                          QMessageBox::Ok);
}
