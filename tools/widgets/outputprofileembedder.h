// The output-profile embedder dialog: picks a base output profile and an
// abstract profile, the intents to carry the effect, the version, grid and
// texts of the result, and writes the rewritten output profile to a new file.
// Run modally by the main window; it reads and writes its settings under
// "outgen/" itself.
#pragma once

#include "tools/core/outputembedder.h"
#include "tools/widgets/tooldialog.h"

#include <QString>

#include <memory>

class QSettings;

namespace Ui {
class OutputProfileEmbedder;
}

class OutputProfileEmbedder : public ToolDialog {
    Q_OBJECT

public:
    // `settings` (not owned) must outlive the dialog.
    explicit OutputProfileEmbedder(QSettings* settings, QWidget* parent = nullptr);
    ~OutputProfileEmbedder() override;

    // What the controls ask for, written to `outputFile`.
    EmbedRequest embedRequest(const QString& outputFile) const;

public slots:
    // The texts of the newly chosen base profile become the new texts.
    void setVersionCopyright();
    // Asks for the file, embeds, and closes on success or tells why not.
    void saveOutputProfile();

private:
    void restoreSettings();
    void storeSettings();

    std::unique_ptr<Ui::OutputProfileEmbedder> ui;
};
