// What the two tool dialogs (the output-profile embedder and the .CUBE
// generator) share: the window flags, two profile selectors bound to the
// dialog's settings keys and stored again when the dialog goes, the file
// question (which tests answer themselves), and the run of the tool under a
// progress window that closes the dialog on success or tells why it failed.
#pragma once

#include "tools/core/outputembedder.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <initializer_list>
#include <vector>

class ICCProfileSelector;
class QSettings;

class ToolDialog : public QDialog {
    Q_OBJECT

public:
    ~ToolDialog() override;

    // The file the dialog wrote, empty until it has written one.
    QString writtenFile() const { return writtenFile_; }

protected:
    // `settings` (not owned, may be null) must outlive the dialog.
    ToolDialog(QSettings* settings, QWidget* parent);

    // One profile selector: the classes and spaces it lists (ClassMask,
    // SpaceMask) and the settings keys of its folder and its file.
    struct Selector {
        ICCProfileSelector* selector;
        int classes;
        int spaces;
        const char* folderKey;
        const char* fileKey;
    };
    // Filters and binds the selectors, with folder icons for the program's
    // look ("gui/undecorated"), and reports the stored files that are gone.
    void setUpSelectors(std::initializer_list<Selector> selectors);

    // The file to write, or empty when the user cancels.
    virtual QString askSaveFileName(const QString& caption, const QString& directory, const QString& filter);

    // Asks for the file; then runs `tool` on it under a progress window
    // labelled `working`, and closes the dialog when it succeeds or shows
    // its message when it fails.
    using ToolRun = std::function<ToolResult(const QString& fileName, const std::function<void(int, int)>& progress)>;
    void saveWith(const QString& caption, const QString& directory, const QString& filter, const QString& working,
                  const ToolRun& tool);

    QSettings* settings_;

private:
    std::vector<ICCProfileSelector*> selectors_;
    QString writtenFile_;
};
