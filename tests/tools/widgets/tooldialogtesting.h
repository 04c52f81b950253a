// What the tests of the two tool dialogs share: a dialog whose file question
// the test answers, a catcher that answers the message boxes and keeps what
// they said, and a file's bytes.
#pragma once

#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QtTest>

// The dialog D with the file question answered by the test.
template <class D>
class Answered : public D {
public:
    using D::D;

    QString answer;
    QStringList asked;   // caption, directory, filter of the last question

    template <class T>
    T* control(const char* name) const
    {
        T* w = this->template findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no control %s", name);
        return w;
    }

protected:
    QString askSaveFileName(const QString& caption, const QString& directory, const QString& filter) override
    {
        asked = {caption, directory, filter};
        return answer;
    }
};

// Answers the next message box with OK and keeps what it said. Other modal
// windows (the progress window) are left alone.
class MessageCatcher : public QObject {
public:
    MessageCatcher()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            ++count;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        });
        timer_.start(10);
    }

    int count = 0;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;

private:
    QTimer timer_;
};

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Saves through a dialog D whose stored abstract profile is gone onto a
// target that already holds `earlier`: the user hears of the gone profile,
// then of the failure with `reason`; the dialog stays open and the target
// keeps what it held.
template <class D>
void failureKeepsTheTarget(QSettings* settings, const QString& target, const QString& reason)
{
    const QByteArray earlier = "an earlier file";
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(earlier);
    }
    Answered<D> dialog(settings);
    dialog.answer = target;
    MessageCatcher messages;
    dialog.template control<QPushButton>("buttonSave")->click();
    QCOMPARE(messages.count, 2);
    QCOMPARE(messages.icon, QMessageBox::Critical);
    QCOMPARE(messages.title, QGuiApplication::applicationDisplayName());
    QCOMPARE(messages.text, QStringLiteral("Something went wrong...\n\n") + reason);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(readFile(target), earlier);
}
