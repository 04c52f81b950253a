#include "profiles/iccprofileselector.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>

namespace {

constexpr QSize ListIconSize(32, 40);

// The wait cursor for as long as the folder is being read.
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}   // namespace

ICCProfileSelector::ICCProfileSelector(QWidget* parent)
    : QWidget(parent), label_(new QLabel(this)), list_(new QComboBox(this)), folderButton_(new QPushButton(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    label_->setAcceptDrops(true);
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
    connect(folderButton_, &QPushButton::clicked, this, &ICCProfileSelector::selectDirectory);
    updateTooltip();
}

// ---------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------

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
        list_->setIconSize(ListIconSize);
    } else {
        list_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        list_->setMinimumSize(0, 0);
        list_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    applyIcons();
}

int ICCProfileSelector::pclass() const
{
    return catalogue_.classMask();
}

void ICCProfileSelector::setPclass(int mask)
{
    catalogue_.setClassMask(mask);
}

int ICCProfileSelector::space() const
{
    return catalogue_.spaceMask();
}

void ICCProfileSelector::setSpace(int mask)
{
    catalogue_.setSpaceMask(mask);
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
    return catalogue_.builtins();
}

void ICCProfileSelector::setBuiltins(const QStringList& names)
{
    catalogue_.setBuiltins(names);
}

void ICCProfileSelector::setFolderIconLight(bool light)
{
    folderButton_->setIcon(QIcon(light ? QStringLiteral(":/folder_white.png") : QStringLiteral(":/folder_black.png")));
}

// ---------------------------------------------------------------------------
// Selection
// ---------------------------------------------------------------------------

bool ICCProfileSelector::bindSettings(QSettings* settings, const QString& folderKey, const QString& fileKey)
{
    settings_ = settings;
    folderKey_ = folderKey;
    fileKey_ = fileKey;
    if (!settings_) return false;

    // A stored file that is gone or no longer passes the filter is refused
    // and leaves the list as it is, so that the owner sees no choice rather
    // than one the user never made.
    const StoredSelection stored = readStoredSelection(*settings_, folderKey_, fileKey_, catalogue_.classMask());
    return setSelection(stored.folder, stored.file);
}

bool ICCProfileSelector::setSelection(const QString& folder, const QString& file)
{
    const WaitCursor wait;
    const std::optional<int> index = catalogue_.select(folder, file);
    if (!index) return false;
    fillList();
    {
        const QSignalBlocker block(list_);
        list_->setCurrentIndex(*index);
    }
    updateTooltip();
    emit valueChanged();
    return true;
}

bool ICCProfileSelector::selectByName(const QString& name)
{
    const int index = catalogue_.indexOfName(catalogue_.keyFor(name));
    list_->setCurrentIndex(index >= 0 ? index : 0);
    updateTooltip();
    return index >= 0;
}

void ICCProfileSelector::storeSelection()
{
    if (settings_) settings_->setValue(fileKey_, currentFileName());
}

void ICCProfileSelector::selectDirectory()
{
    const QString dir = askDirectory(catalogue_.folder());
    if (dir.isEmpty()) return;

    catalogue_.setFolder(dir);
    if (settings_) {
        settings_->setValue(folderKey_, dir);
        settings_->setValue(fileKey_, currentFileName());
    }
    refill();
}

void ICCProfileSelector::slotValueChanged()
{
    updateTooltip();
    emit valueChanged();
}

QString ICCProfileSelector::askDirectory(const QString& start)
{
    return QFileDialog::getExistingDirectory(this, tr("Select profile directory"), start,
                                             QFileDialog::ShowDirsOnly);
}

// ---------------------------------------------------------------------------
// The list
// ---------------------------------------------------------------------------

// The folder listed anew with its first entry chosen.
void ICCProfileSelector::refill()
{
    {
        const WaitCursor wait;
        catalogue_.refill();
    }
    fillList();
    updateTooltip();
    emit valueChanged();
}

// The items of the catalogue's entries, the first one current; the list's
// own notifications are held back, the caller tells the owners once.
void ICCProfileSelector::fillList()
{
    const QSignalBlocker block(list_);
    list_->clear();
    for (const ProfileEntry& e : catalogue_.entries()) list_->addItem(e.description);
    list_->setCurrentIndex(list_->count() > 0 ? 0 : -1);
    applyIcons();
}

void ICCProfileSelector::applyIcons()
{
    const QList<ProfileEntry>& entries = catalogue_.entries();
    for (int i = 0; i < list_->count() && i < entries.size(); ++i) {
        const QString resource = icons_ ? iconResourceFor(entries[i]) : QString();
        list_->setItemIcon(i, resource.isEmpty() ? QIcon() : QIcon(resource));
    }
}

void ICCProfileSelector::updateTooltip()
{
    list_->setToolTip(tooltipFor(currentEntry()));
}

// ---------------------------------------------------------------------------
// Dropping a folder or a profile
// ---------------------------------------------------------------------------

void ICCProfileSelector::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData() && event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void ICCProfileSelector::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData() && event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void ICCProfileSelector::dropEvent(QDropEvent* event)
{
    const std::optional<StoredSelection> target =
        event->mimeData() ? dropSelection(event->mimeData()->urls()) : std::nullopt;
    if (!target || !setSelection(target->folder, target->file)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::LinkAction);
    event->accept();
}

// ---------------------------------------------------------------------------
// The current entry
// ---------------------------------------------------------------------------

QString ICCProfileSelector::folder() const
{
    return catalogue_.folder();
}

const QList<ProfileEntry>& ICCProfileSelector::entries() const
{
    return catalogue_.entries();
}

int ICCProfileSelector::currentIndex() const
{
    return list_->currentIndex();
}

const ProfileEntry* ICCProfileSelector::currentEntry() const
{
    return catalogue_.entryAt(list_->currentIndex());
}

QString ICCProfileSelector::currentName() const
{
    const ProfileEntry* e = currentEntry();
    return e ? e->name : QString();
}

QString ICCProfileSelector::currentFileName() const
{
    const ProfileEntry* e = currentEntry();
    return e ? ProfileCatalogue::fileNameOf(*e) : QString();
}

QString ICCProfileSelector::currentDescription() const
{
    const ProfileEntry* e = currentEntry();
    return e ? e->description : QString();
}

QString ICCProfileSelector::currentCopyright() const
{
    const ProfileEntry* e = currentEntry();
    return e ? e->copyright : QString();
}

int ICCProfileSelector::currentSpaceCode() const
{
    const ProfileEntry* e = currentEntry();
    return e ? e->spaceCode : 0;
}

bool ICCProfileSelector::currentIsTableBased() const
{
    const ProfileEntry* e = currentEntry();
    return e && e->isTableBased;
}
