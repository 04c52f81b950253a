// The widget with which the user picks a colour profile: a prompt, a list of
// profiles and a folder button.
//
// This is the selector's outer face: its properties (set by the forms), the
// settings binding, the folder icon and the accessors of the current entry.
// The list is filled once profiles can be opened by name.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;
class QSettings;

class ICCProfileSelector : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool showDir READ showDir WRITE setShowDir)
    Q_PROPERTY(bool icons READ icons WRITE setIcons)
    Q_PROPERTY(int pclass READ pclass WRITE setPclass)
    Q_PROPERTY(int space READ space WRITE setSpace)
    Q_PROPERTY(QString prompt READ prompt WRITE setPrompt)
    Q_PROPERTY(QStringList builtins READ builtins WRITE setBuiltins)

public:
    explicit ICCProfileSelector(QWidget* parent = nullptr);

    bool showDir() const;
    void setShowDir(bool show);
    bool icons() const;
    void setIcons(bool icons);
    int pclass() const;
    void setPclass(int mask);
    int space() const;
    void setSpace(int mask);
    QString prompt() const;
    void setPrompt(const QString& text);
    QStringList builtins() const;
    void setBuiltins(const QStringList& names);

    // Remembers where the folder and the choice are kept, and selects the stored choice.
    bool bindSettings(QSettings* settings, const QString& folderKey, const QString& fileKey);
    // Writes the current choice under the file key.
    void storeSelection();

    void setFolderIconLight(bool light);

    QString currentName() const;
    QString currentFileName() const;
    QString currentDescription() const;
    QString currentCopyright() const;
    int currentSpaceCode() const;
    bool currentIsTableBased() const;

signals:
    void valueChanged();

protected slots:
    void slotValueChanged();

private:
    QLabel* label_ = nullptr;
    QComboBox* list_ = nullptr;
    QPushButton* folderButton_ = nullptr;
    QSettings* settings_ = nullptr;
    QString folderKey_;
    QString fileKey_;
    QStringList builtins_;
    int classMask_ = 31;
    int spaceMask_ = 31;
    bool icons_ = true;
    bool showDir_ = true;
};
