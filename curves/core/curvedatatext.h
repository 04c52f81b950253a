// Free-form curve data as the curve data dialogs show it: numbers as text,
// rows read back into values and points, and text pasted or dropped on the
// tabulated dialog cut into rows.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <utility>

// A number as a row shows it: fixed notation, three decimals.
QString formatCurveNumber(double v);

// A row's text as a single-precision number. Blanks around the number are
// ignored; text that does not read as a number, and numbers a float cannot
// hold (infinities, NaN, overflow), give 0.
float readCurveNumber(const QString& text);

// Text cut at every comma, tab, line feed and carriage return, empty pieces
// dropped; the pieces are kept as they stand (blanks included).
QStringList splitCurveText(const QString& text);

// The rows of a tabulated list, in order.
QList<float> readCurveValues(const QStringList& rows);

// The rows of a point list as (x text, y text); a later row with the same x
// replaces an earlier one.
QMap<float, float> readCurvePoints(const QList<std::pair<QString, QString>>& rows);
