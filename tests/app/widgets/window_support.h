// What the tests of the main window share: a private settings store, finding
// the window's controls, and answering the modal dialogs an action brings up.
#pragma once

#include "app/core/appinfo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace WindowTest {

// The program's names with a settings store inside `dir`.
inline void useSettingsIn(const QTemporaryDir& dir)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QCoreApplication::setOrganizationName(AppInfo::OrganizationName);
    QCoreApplication::setApplicationName(AppInfo::ApplicationName);
}

template <class T>
T* child(const QObject* parent, const char* name)
{
    T* w = parent->findChild<T*>(QString::fromLatin1(name));
    if (!w) qWarning("no child %s", name);
    return w;
}

// A message box as it was seen.
struct Box {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    bool operator==(const Box&) const = default;
};

inline Box critical(const QString& text)
{
    return {QMessageBox::Critical, text};
}

inline Box question(const QString& text)
{
    return {QMessageBox::Question, text};
}

// Answers, one after the other, the modal dialogs that appear while an
// action runs. Message boxes are recorded in `boxes`; a dialog beyond the
// answers given is rejected and counted in `unexpected`.
class Answers {
public:
    using Answer = std::function<void(QWidget*)>;

    // The next dialog, whatever it is.
    Answers& then(Answer answer)
    {
        answers_.append(std::move(answer));
        return *this;
    }
    // The next dialog is a message box: press `button`.
    Answers& box(QMessageBox::StandardButton button = QMessageBox::Ok)
    {
        return then([button](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box) {
                qWarning("expected a message box, got %s", w->metaObject()->className());
                static_cast<QDialog*>(w)->reject();
                return;
            }
            if (QAbstractButton* b = box->button(button))
                b->click();
            else
                box->done(button);
        });
    }
    // The next dialog is a file dialog: choose `path`.
    Answers& file(const QString& path)
    {
        return then([path](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            if (!dialog) {
                qWarning("expected a file dialog, got %s", w->metaObject()->className());
                static_cast<QDialog*>(w)->reject();
                return;
            }
            // The dialog leaves a name being typed alone: type none.
            if (QWidget* typing = dialog->focusWidget()) typing->clearFocus();
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->accept();
        });
    }
    // The next dialog is cancelled.
    Answers& cancel()
    {
        return then([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
    }

    void run(const std::function<void()>& action)
    {
        QTimer watch;
        watch.setInterval(0);
        // Dialogs answered and still showing (one that shows again later is
        // a new question).
        QList<QPointer<QWidget>> answered;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            answered.removeIf([](const QPointer<QWidget>& w) { return !w || !w->isVisible(); });
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible() || answered.contains(modal)) return;
            answered.append(modal);
            if (auto* box = qobject_cast<QMessageBox*>(modal)) boxes.append({box->icon(), box->text()});
            Answer answer = next_ < answers_.size() ? answers_[next_++] : Answer([this](QWidget* w) {
                ++unexpected;
                if (auto* dialog = qobject_cast<QDialog*>(w)) dialog->reject();
                else w->close();
            });
            // Answered from the event loop, so that a dialog the answer opens
            // is answered in turn.
            QTimer::singleShot(0, modal, [answer, modal] { answer(modal); });
        });
        watch.start();
        action();
        watch.stop();
    }

    bool allUsed() const { return next_ == answers_.size() && unexpected == 0; }

    QList<Box> boxes;
    int unexpected = 0;

private:
    QList<Answer> answers_;
    qsizetype next_ = 0;
};

}   // namespace WindowTest

inline char* toString(const WindowTest::Box& box)
{
    return QTest::toString(QStringLiteral("(icon %1) %2").arg(int(box.icon)).arg(box.text));
}
