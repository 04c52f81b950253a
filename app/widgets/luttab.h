// The Import LUT tab of the main window: choosing a .cube or .lut table, its
// title and the picture of its contents, and the intent into its RGB space.
#pragma once

#include <QObject>
#include <QString>

class QWidget;

namespace Ui {
class TonemolderClass;
}

class LutTab : public QObject {
    Q_OBJECT

public:
    LutTab(Ui::TonemolderClass& ui, QWidget* window);

    // The table in use; empty when none is loaded.
    const QString& cubeFileName() const { return cubeFileName_; }

public slots:
    void loadCUBE();
    // A table that cannot be read leaves none loaded and, when `complain` is
    // set, says so.
    void loadCubeFile(const QString& fileName, bool complain = true);
    void clearCubeTable();
    void enableIntentIfNeededForLUT();

signals:
    // After every load: whether a table is now in use.
    void tableChanged(bool loaded);

private:
    Ui::TonemolderClass& ui_;
    QWidget* window_;   // the parent, for dialogs and message boxes
    QString cubeFileName_;
    // Where the table dialog opens after its first use.
    QString cubeDialogDir_;
};
