// The preferences dialog: ICC version, CLUT grid sizes, prelinearisation
// curve size and shape, curve drawing resolution, the program's look and the
// monitor profile of the preview. It reads the settings when it opens and
// writes every key on OK; Cancel writes nothing.
#pragma once

#include "osl.h"
#include "profiles/core/preferencesettings.h"

#include <QColor>
#include <QDialog>

#include <functional>
#include <memory>

class CurvesScene;
class QDoubleSpinBox;
class QPushButton;
class QSettings;

namespace Ui {
class Preferences;
}

class Preferences : public QDialog {
    Q_OBJECT

public:
    // Gives the monitor's profile, owned by the caller; null when the
    // system's profile cannot be read.
    using MonitorSource = std::function<IccProfile*()>;

    // An empty source is the display's profile (monitorProfile).
    explicit Preferences(QSettings* settings, QWidget* parent = nullptr, MonitorSource monitor = {});
    ~Preferences() override;

    // The values the controls hold now.
    PreferenceSettings values() const;

protected slots:
    void accept() override;
    void drawCurves();

private slots:
    void profileVersionChanged(int index);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fillMonitors(const MonitorSource& monitor);
    // The preview's gamut warning: its tolerance and its colour.
    void addGamutWarningControls();
    void showWarningColour();

    std::unique_ptr<Ui::Preferences> ui_;
    QSettings* settings_ = nullptr;
    CurvesScene* scene_ = nullptr;
    QDoubleSpinBox* gamutTolerance_ = nullptr;
    QPushButton* gamutColourButton_ = nullptr;
    QColor gamutColour_;
};
