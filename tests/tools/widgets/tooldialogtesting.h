// What the tests of the two tool dialogs share: a dialog whose file question
// the test answers, a catcher that answers the message boxes and keeps what
// they said, and a file's bytes.
#pragma once

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

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
