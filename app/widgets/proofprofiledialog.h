// Preview ▸ Proof profile…: the output profile the preview is proofed
// against, its rendering intent and whether paper white and black are
// simulated. Reads and writes the proof settings; the caller runs it with exec.
#pragma once

#include "app/core/proofing.h"

#include <QDialog>

class ICCProfileSelector;
class QCheckBox;
class QComboBox;
class QSettings;

class ProofProfileDialog : public QDialog {
    Q_OBJECT

public:
    // `fallback` is proofed against while nothing was chosen yet.
    ProofProfileDialog(QSettings* settings, const QString& fallback, QWidget* parent = nullptr);

    // The settings as the controls hold them.
    ProofSettings chosen() const;

public slots:
    void accept() override;

private:
    void enableChoices();

    QSettings* settings_;   // not owned
    ProofSettings initial_;
    QCheckBox* enabled_ = nullptr;
    ICCProfileSelector* profile_ = nullptr;
    QComboBox* intent_ = nullptr;
    QCheckBox* paper_ = nullptr;
};
