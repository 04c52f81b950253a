// The device-link dialog (Tools ▸ Make device link): a source profile, a
// look and a destination profile, the intent, black-point compensation,
// version and grid, and the link written through tools/core/devicelink.
// Run modally by the main window; it keeps its choices under "devlink/".
#pragma once

#include "tools/core/devicelink.h"
#include "tools/widgets/tooldialog.h"

#include <memory>

class QSettings;

namespace Ui {
class DeviceLinkDialog;
}

class DeviceLinkDialog : public ToolDialog {
    Q_OBJECT

public:
    // `settings` (not owned) must outlive the dialog.
    explicit DeviceLinkDialog(QSettings* settings, QWidget* parent = nullptr);
    ~DeviceLinkDialog() override;

    // What the controls ask for, written to `outputFile`.
    DeviceLinkRequest linkRequest(const QString& outputFile) const;

public slots:
    // Asks for the file, writes the link, and closes on success or tells why not.
    void saveLink();

private:
    std::unique_ptr<Ui::DeviceLinkDialog> ui;
};
