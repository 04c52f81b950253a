// The viewing-conditions editor: shows, clones, edits, saves and removes the
// presets, and serves the main window's preset combos and recipe text.
#pragma once

#include "cam16/core/viewingconditionslist.h"

#include <QDialog>

#include <memory>
#include <optional>

class QComboBox;
class QSettings;

namespace Ui {
class viewingConditions;
}

class ViewingConditions : public QDialog {
    Q_OBJECT

public:
    // Reads the user presets stored under `key` in `settings` (not owned).
    ViewingConditions(QSettings* settings, const QString& key, QWidget* parent = nullptr);
    ~ViewingConditions() override;

    // Fills `box` with every preset name in combined-index order and selects
    // `index` (0 when it is past the end); a negative index selects nothing.
    void fillPresetCombo(QComboBox* box, int index) const;

    // The preset at a combined index; nothing when out of range.
    std::optional<ViewingConditionsEntry> presetAt(int index) const;
    int presetCount() const { return presets_.count(); }
    const ViewingConditionsPresets& presets() const { return presets_; }

    // Runs the editor modally on preset `index` and writes back the index
    // selected when it closes. Returns the exec result.
    int editPreset(int& index);

    // Index of the preset a recipe text holds, appending it when unknown
    // (not written to the settings until the next Save or Remove); -1 for
    // empty text.
    int decodePreset(const QString& text);

public slots:
    void loadWhitePointPreset(int index);
    void guessWhitePointPreset();
    void tempChanged();
    void loadSurroundPreset(int index);
    void surroundChanged();
    void sliderSurroundChanged();
    void LaChanged();
    void sliderLaChanged();
    void YbChanged();
    void sliderYbChanged();
    void loadPreset(int index);
    void save();
    void cloneConditions();
    void removeConditions();

private:
    // Sets the updating flag for its lifetime, so that the change signals of
    // the controls a slot fills do nothing.
    class Updating;

    void searchWhitePoint();
    void showLux(double La);
    void storePresets();

    std::unique_ptr<Ui::viewingConditions> ui;
    QSettings* settings_;
    QString key_;
    bool updating_ = false;
    ViewingConditionsPresets presets_;
};
