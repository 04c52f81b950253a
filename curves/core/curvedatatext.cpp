#include "curves/core/curvedatatext.h"

#include <QRegularExpression>

#include <cmath>

QString formatCurveNumber(double v)
{
    return QString::number(v, 'f', 3);
}

float readCurveNumber(const QString& text)
{
    bool ok = false;
    const float v = text.trimmed().toFloat(&ok);
    return ok && std::isfinite(v) ? v : 0.0f;
}

QStringList splitCurveText(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[,\t\n\r]"));
    return text.split(separators, Qt::SkipEmptyParts);
}

QList<float> readCurveValues(const QStringList& rows)
{
    QList<float> values;
    values.reserve(rows.size());
    for (const QString& row : rows) values.append(readCurveNumber(row));
    return values;
}

QMap<float, float> readCurvePoints(const QList<std::pair<QString, QString>>& rows)
{
    QMap<float, float> points;
    for (const auto& [x, y] : rows) points.insert(readCurveNumber(x), readCurveNumber(y));
    return points;
}
