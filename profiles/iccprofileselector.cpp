#include "profiles/iccprofileselector.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

ICCProfileSelector::ICCProfileSelector(QWidget* parent)
    : QWidget(parent), label_(new QLabel(this)), list_(new QComboBox(this)), folderButton_(new QPushButton(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    label_->setBuddy(list_);

    list_->setEditable(false);
    setIcons(true);

    folderButton_->setFlat(true);
    folderButton_->setFixedSize(32, 32);
    folderButton_->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    folderButton_->setStyleSheet(QStringLiteral("min-width: 20px;"));
    folderButton_->setToolTip(tr("Profiles folder: Select here the main repository for your ICC profiles."));
    setFolderIconLight(false);

    layout->addWidget(label_);
    layout->addWidget(list_);
    layout->addWidget(folderButton_);
    setAcceptDrops(true);

    connect(list_, &QComboBox::currentIndexChanged, this, &ICCProfileSelector::slotValueChanged);
    list_->setToolTip(tr("No profile selected"));
}

bool ICCProfileSelector::showDir() const
{
    return showDir_;
}

void ICCProfileSelector::setShowDir(bool show)
{
    showDir_ = show;
    folderButton_->setVisible(show);
}

bool ICCProfileSelector::icons() const
{
    return icons_;
}

void ICCProfileSelector::setIcons(bool icons)
{
    icons_ = icons;
    if (icons) {
        list_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        list_->setMinimumSize(100, 40);
        list_->setMaximumSize(QWIDGETSIZE_MAX, 40);
        list_->setIconSize(QSize(32, 40));
    } else {
        list_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        list_->setMinimumSize(0, 0);
        list_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
}

int ICCProfileSelector::pclass() const
{
    return classMask_;
}

void ICCProfileSelector::setPclass(int mask)
{
    classMask_ = mask;
}

int ICCProfileSelector::space() const
{
    return spaceMask_;
}

void ICCProfileSelector::setSpace(int mask)
{
    spaceMask_ = mask;
}

QString ICCProfileSelector::prompt() const
{
    return label_->text();
}

void ICCProfileSelector::setPrompt(const QString& text)
{
    label_->setText(text);
}

QStringList ICCProfileSelector::builtins() const
{
    return builtins_;
}

void ICCProfileSelector::setBuiltins(const QStringList& names)
{
    builtins_ = names;
}

bool ICCProfileSelector::bindSettings(QSettings* settings, const QString& folderKey, const QString& fileKey)
{
    settings_ = settings;
    folderKey_ = folderKey;
    fileKey_ = fileKey;
    return false;   // nothing to select until profiles can be listed
}

void ICCProfileSelector::storeSelection()
{
    // With an empty list there is no choice worth keeping; the stored one stays.
}

void ICCProfileSelector::setFolderIconLight(bool light)
{
    folderButton_->setIcon(QIcon(light ? QStringLiteral(":/folder_white.png") : QStringLiteral(":/folder_black.png")));
}

QString ICCProfileSelector::currentName() const
{
    return {};
}

QString ICCProfileSelector::currentFileName() const
{
    return {};
}

QString ICCProfileSelector::currentDescription() const
{
    return {};
}

QString ICCProfileSelector::currentCopyright() const
{
    return {};
}

int ICCProfileSelector::currentSpaceCode() const
{
    return 0;
}

bool ICCProfileSelector::currentIsTableBased() const
{
    return false;
}

void ICCProfileSelector::slotValueChanged()
{
    emit valueChanged();
}
