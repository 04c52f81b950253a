// The program's message boxes: modal, titled with the application display
// name, one OK button.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>

inline void criticalBox(QWidget* parent, const QString& text)
{
    QMessageBox::critical(parent, QApplication::applicationDisplayName(), text);
}

inline void warningBox(QWidget* parent, const QString& text)
{
    QMessageBox::warning(parent, QApplication::applicationDisplayName(), text);
}

inline void informationBox(QWidget* parent, const QString& text)
{
    QMessageBox::information(parent, QApplication::applicationDisplayName(), text);
}
