// A tool run on the GUI thread: the wait cursor while it lasts, and a
// progress window once it has taken a moment. The window has no cancel
// button (the operations run to their end) and keeps the user away from the
// dialog that started the run.
#pragma once

#include "profiles/widgets/waitcursor.h"

#include <QProgressDialog>
#include <QString>

class QWidget;

class ToolProgress {
public:
    ToolProgress(QWidget* parent, const QString& label);
    ~ToolProgress();
    ToolProgress(const ToolProgress&) = delete;
    ToolProgress& operator=(const ToolProgress&) = delete;

    // The operation's report: `done` steps of `total`.
    void advance(int done, int total);

private:
    WaitCursor cursor_;   // before the window, and gone after it
    QProgressDialog window_;
};
