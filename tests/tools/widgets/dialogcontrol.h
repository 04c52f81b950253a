// A control of a dialog under test by its object name; the test stops when
// the form has no such control.
#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

template <class T>
T* dialogControl(const QObject* dialog, const char* name)
{
    T* w = dialog->findChild<T*>(QString::fromLatin1(name));
    if (!w) qFatal("no control %s", name);
    return w;
}
