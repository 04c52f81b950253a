// The Help menu of the main window: the user manual and the update check.
#pragma once

#include <QObject>

class QSettings;
class QWidget;

namespace Ui {
class TonemolderClass;
}

class HelpMenu : public QObject {
    Q_OBJECT

public:
    HelpMenu(Ui::TonemolderClass& ui, QSettings* settings, QWidget* window);

public slots:
    void userManual();
    void checkForUpdates();

private:
    QSettings* settings_;   // not owned
    QWidget* window_;       // the parent
};
