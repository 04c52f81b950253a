// The .CUBE generator dialog: picks an abstract profile and an RGB working
// space, a title, a copyright and a grid size, and writes the abstract
// profile's effect in that space as a .cube 3D table. Run modally by the main
// window; it reads and writes its settings under "cubegen/" itself.
#pragma once

#include "tools/core/cubewriter.h"
#include "tools/widgets/tooldialog.h"

#include <QString>

#include <memory>

class QSettings;

namespace Ui {
class CubeGenerator;
}

class CubeGenerator : public ToolDialog {
    Q_OBJECT

public:
    // `settings` (not owned) must outlive the dialog.
    explicit CubeGenerator(QSettings* settings, QWidget* parent = nullptr);
    ~CubeGenerator() override;

    // What the controls ask for, written to `outputFile`.
    CubeRequest cubeRequest(const QString& outputFile) const;

public slots:
    // The texts of the newly chosen abstract profile become title and copyright.
    void setDescriptionAndCopyright();
    // Asks for the file, writes the table, and closes on success or tells why not.
    void saveCubeFile();

private:
    std::unique_ptr<Ui::CubeGenerator> ui;
};
