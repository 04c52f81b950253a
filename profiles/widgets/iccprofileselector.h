// The widget with which the user picks a colour profile: a prompt, a list of
// the built-in colour spaces followed by the profiles of one folder, and a
// folder button. The list, its filter and its entries are the catalogue's
// (profilecatalogue.h); the selector shows them and keeps its folder and its
// choice in the settings under two keys of its own.
#pragma once

#include "profiles/core/profilecatalogue.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <utility>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QSettings;

class ICCProfileSelector : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool showDir READ showDir WRITE setShowDir DESIGNABLE true STORED true)
    Q_PROPERTY(bool icons READ icons WRITE setIcons DESIGNABLE true STORED true)
    Q_PROPERTY(int pclass READ pclass WRITE setPclass DESIGNABLE true STORED true)
    Q_PROPERTY(int space READ space WRITE setSpace DESIGNABLE true STORED true)
    Q_PROPERTY(QString prompt READ prompt WRITE setPrompt DESIGNABLE true STORED true)
    Q_PROPERTY(QStringList builtins READ builtins WRITE setBuiltins DESIGNABLE true STORED true)

public:
    explicit ICCProfileSelector(QWidget* parent = nullptr);

    bool showDir() const;
    void setShowDir(bool show);
    bool icons() const;
    void setIcons(bool icons);
    // The masks and built-ins take effect at the next refill.
    int pclass() const;
    void setPclass(int mask);
    int space() const;
    void setSpace(int mask);
    QString prompt() const;
    void setPrompt(const QString& text);
    QStringList builtins() const;
    void setBuiltins(const QStringList& names);

    // Remembers where the folder and the choice are kept and selects the
    // stored choice. When the stored file no longer opens or no longer passes
    // the filter, the stored folder is listed all the same with the default
    // choice ("*srgb"; nothing for abstract profiles), the file is reported by
    // unavailableStoredFile, and the result is false.
    bool bindSettings(QSettings* settings, const QString& folderKey, const QString& fileKey);
    // The path of the stored file the last bindSettings could not select;
    // empty when it could.
    QString unavailableStoredFile() const;
    // Lists the folder and selects the file in it (a built-in name or a file
    // name). A file that does not open or is filtered out is refused: false,
    // and nothing changes.
    bool setSelection(const QString& folder, const QString& file);
    // Selects the entry of that name (built-in, or file of the current
    // folder); when there is none, the first entry, and false.
    bool selectByName(const QString& name);
    // Writes the current choice under the file key so that bindSettings finds
    // the same file again: a built-in name, a path relative to the stored
    // folder, or an absolute path for a file elsewhere (one that was dropped);
    // empty when nothing is selected.
    void storeSelection();

    void setFolderIconLight(bool light);

    QString folder() const;
    const QList<ProfileEntry>& entries() const;
    // The index of the current entry in entries(), -1 for none.
    int currentIndex() const;

    // The current entry; empty, 0 or false when nothing is selected.
    QString currentName() const;
    QString currentFileName() const;
    QString currentDescription() const;
    QString currentCopyright() const;
    int currentSpaceCode() const;
    bool currentIsTableBased() const;

signals:
    void valueChanged();

protected slots:
    void selectDirectory();
    void slotValueChanged();

protected:
    // The folder the user picks, empty when cancelled.
    virtual QString askDirectory(const QString& start);

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    const ProfileEntry* currentEntry() const;
    // The list row of an entry and back; subfolder headings are rows of no entry.
    int rowOf(int entryIndex) const;
    int entryOfRow(int row) const;
    void refill();
    void fillList();
    void applyIcons();
    void updateTooltip();

    QLabel* label_ = nullptr;
    QComboBox* list_ = nullptr;
    QPushButton* folderButton_ = nullptr;
    ProfileCatalogue catalogue_;
    QSettings* settings_ = nullptr;
    QString folderKey_;
    QString fileKey_;
    QString unavailableStoredFile_;
    bool icons_ = true;
    bool showDir_ = true;
};

// Tells the user once, when the owner's event loop runs, which stored choices
// of these selectors were gone when they were bound (unavailableStoredFile):
// one warning names each file after its place and says what stands in for
// it. Nothing when every stored choice was found.
void reportUnavailableStoredFiles(QWidget* owner,
                                  const std::vector<std::pair<const ICCProfileSelector*, QString>>& places);
