#include "profiles/widgets/iccprofileselector.h"
#include "profiles/widgets/waitcursor.h"

#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QTimer>

namespace {

constexpr QSize ListIconSize(32, 40);

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

    unavailableStoredFile_.clear();
    const StoredSelection stored = readStoredSelection(*settings_, folderKey_, fileKey_, catalogue_.classMask());
    if (setSelection(stored.folder, stored.file)) return true;

    // The stored file is gone or filtered out: the folder and the built-ins
    // stay listed with the default choice, and the owner can tell the user.
    const StoredSelection request = ProfileCatalogue::normalised(stored.folder, stored.file);
    unavailableStoredFile_ = QDir(request.folder).filePath(request.file);
    setSelection(request.folder, defaultSelection(catalogue_.classMask()));
    return false;
}

QString ICCProfileSelector::unavailableStoredFile() const
{
    return unavailableStoredFile_;
}

bool ICCProfileSelector::setSelection(const QString& folder, const QString& file)
{
    const WaitCursor wait;
    const std::optional<int> index = catalogue_.select(folder, file);
    if (!index) return false;
    fillList();
    {
        const QSignalBlocker block(list_);
        list_->setCurrentIndex(rowOf(*index));
    }
    updateTooltip();
    emit valueChanged();
    return true;
}

bool ICCProfileSelector::selectByName(const QString& name)
{
    const int index = catalogue_.indexOfFile(name);
    list_->setCurrentIndex(rowOf(index >= 0 ? index : 0));
    updateTooltip();
    return index >= 0;
}

void ICCProfileSelector::storeSelection()
{
    if (!settings_) return;
    const ProfileEntry* e = currentEntry();
    const QString folder = readStoredSelection(*settings_, folderKey_, fileKey_, catalogue_.classMask()).folder;
    settings_->setValue(fileKey_, e ? storedNameFor(*e, folder) : QString());
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

// The items of the catalogue's entries, the first one current; files of
// subfolders come under a heading per subfolder that cannot be chosen. The
// list's own notifications are held back, the caller tells the owners once.
void ICCProfileSelector::fillList()
{
    const QSignalBlocker block(list_);
    list_->clear();
    const QList<ProfileEntry>& entries = catalogue_.entries();
    const QStringList texts = listTexts(entries, catalogue_.folder());
    QString group;
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].group != group) {
            group = entries[i].group;
            list_->addItem(QDir::toNativeSeparators(group) + QDir::separator(), -1);
            if (auto* model = qobject_cast<QStandardItemModel*>(list_->model()))
                model->item(list_->count() - 1)->setFlags(Qt::NoItemFlags);
        }
        list_->addItem(texts[i], i);
    }
    list_->setCurrentIndex(rowOf(entries.isEmpty() ? -1 : 0));
    applyIcons();
}

int ICCProfileSelector::rowOf(int entryIndex) const
{
    return entryIndex < 0 ? -1 : list_->findData(entryIndex);
}

int ICCProfileSelector::entryOfRow(int row) const
{
    if (row < 0 || row >= list_->count()) return -1;
    bool ok = false;
    const int index = list_->itemData(row).toInt(&ok);
    return ok ? index : -1;
}

void ICCProfileSelector::applyIcons()
{
    const QList<ProfileEntry>& entries = catalogue_.entries();
    for (int row = 0; row < list_->count(); ++row) {
        const int i = entryOfRow(row);
        const QString resource = icons_ && i >= 0 ? iconResourceFor(entries[i]) : QString();
        list_->setItemIcon(row, resource.isEmpty() ? QIcon() : QIcon(resource));
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
    return entryOfRow(list_->currentIndex());
}

const ProfileEntry* ICCProfileSelector::currentEntry() const
{
    return catalogue_.entryAt(currentIndex());
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

void reportUnavailableStoredFiles(QWidget* owner,
                                  const std::vector<std::pair<const ICCProfileSelector*, QString>>& places)
{
    QStringList gone;
    bool srgb = false, none = false;
    for (const auto& [s, place] : places) {
        if (s->unavailableStoredFile().isEmpty()) continue;
        gone << place + QLatin1Char(' ') + QDir::toNativeSeparators(s->unavailableStoredFile());
        (s->currentName().isEmpty() ? none : srgb) = true;
    }
    if (gone.isEmpty()) return;
    const QString instead = !none ? ICCProfileSelector::tr("The built-in sRGB is used in their place.")
                            : !srgb ? ICCProfileSelector::tr("Choose them again, or others, in their lists.")
                                    : ICCProfileSelector::tr("The built-in sRGB stands in where the list offers it; "
                                                             "choose the others again.");
    const QString text = ICCProfileSelector::tr("These profiles chosen before cannot be opened any more:\n\n%1\n\n%2")
                             .arg(gone.join(QLatin1Char('\n')), instead);
    QTimer::singleShot(0, owner, [owner, text] {
        QMessageBox::warning(owner, QGuiApplication::applicationDisplayName(), text);
    });
}
