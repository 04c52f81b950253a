// The proof profile dialog.
#include "app/widgets/proofprofiledialog.h"

#include "profiles/core/profilecatalogue.h"
#include "profiles/widgets/iccprofileselector.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QSettings>
#include <QVBoxLayout>

ProofProfileDialog::ProofProfileDialog(QSettings* settings, const QString& fallback, QWidget* parent)
    : QDialog(parent), settings_(settings), initial_(ProofSettings::read(*settings, fallback))
{
    setObjectName(QStringLiteral("proofProfileDialog"));
    setWindowTitle(tr("Proof profile"));

    enabled_ = new QCheckBox(tr("Proof the preview against an output profile"), this);
    enabled_->setObjectName(QStringLiteral("proofEnabled"));
    profile_ = new ICCProfileSelector(this);
    profile_->setObjectName(QStringLiteral("proofProfile"));
    profile_->setPrompt(tr("Proof profile:"));
    profile_->setPclass(ClassMask::Output | ClassMask::Display | ClassMask::ColorSpace);
    profile_->bindSettings(settings_, QStringLiteral("proofing/dir"), QStringLiteral("proofing/file"));
    if (!initial_.profile.isEmpty() && !profile_->selectByName(initial_.profile)) {
        const QFileInfo file(initial_.profile);
        profile_->setSelection(file.absolutePath(), file.fileName());
    }
    intent_ = new QComboBox(this);
    intent_->setObjectName(QStringLiteral("proofIntent"));
    intent_->addItems({tr("Perceptual"), tr("Relative colorimetric"),
                       tr("Relative colorimetric plus black point compensation"), tr("Saturation")});
    intent_->setCurrentIndex(int(initial_.intent));
    paper_ = new QCheckBox(tr(ProofText::SimulatePaper), this);
    paper_->setObjectName(QStringLiteral("proofPaper"));
    paper_->setChecked(initial_.simulatePaper);
    enabled_->setChecked(initial_.enabled);

    auto* form = new QFormLayout;
    form->addRow(tr("Rendering intent:"), intent_);
    form->addRow(QString(), paper_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &ProofProfileDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ProofProfileDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(enabled_);
    layout->addWidget(profile_);
    layout->addLayout(form);
    layout->addWidget(buttons);

    connect(enabled_, &QCheckBox::toggled, this, &ProofProfileDialog::enableChoices);
    enableChoices();
}

void ProofProfileDialog::enableChoices()
{
    for (QWidget* w : {static_cast<QWidget*>(profile_), static_cast<QWidget*>(intent_), static_cast<QWidget*>(paper_)})
        w->setEnabled(enabled_->isChecked());
}

ProofSettings ProofProfileDialog::chosen() const
{
    ProofSettings s = initial_;
    s.profile = profile_->currentName();
    s.enabled = enabled_->isChecked() && !s.profile.isEmpty();
    s.intent = ProofIntent(intent_->currentIndex());
    s.simulatePaper = paper_->isChecked();
    return s;
}

void ProofProfileDialog::accept()
{
    chosen().write(*settings_);
    profile_->storeSelection();
    QDialog::accept();
}
