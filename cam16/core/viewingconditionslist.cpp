#include "cam16/core/viewingconditionslist.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QLocale>
#include <QSettings>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace {

ViewingConditionsEntry builtIn(const char* name, double Xw, double Yw, double Zw, double La, double S)
{
    return {true, QString::fromLatin1(name), {Xw, Yw, Zw, 20, La, S, 1}};
}

double finiteOrZero(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

bool near(double a, double b)
{
    return std::fabs(a - b) < 1e-4;
}

// Whole part of a control value; 0 for what is not a number, and no overflow.
int wholePart(double v)
{
    if (std::isnan(v))
        return 0;
    return int(std::clamp(std::trunc(v), -1e9, 1e9));
}

}   // namespace

// ---------------------------------------------------------------------------
// Data-stream form
// ---------------------------------------------------------------------------

QDataStream& operator<<(QDataStream& stream, const ViewingConditionsEntry& entry)
{
    const Cam16Conditions& v = entry.values;
    stream << qint8(entry.builtIn ? 1 : 0) << entry.name;
    stream << v.Xw << v.Yw << v.Zw << v.Yb << v.La << v.surround << qint32(v.discounting);
    return stream;
}

QDataStream& operator>>(QDataStream& stream, ViewingConditionsEntry& entry)
{
    entry = ViewingConditionsEntry{};
    Cam16Conditions& v = entry.values;
    qint32 discounting = 0;
    stream >> entry.builtIn >> entry.name;
    stream >> v.Xw >> v.Yw >> v.Zw >> v.Yb >> v.La >> v.surround >> discounting;
    v.discounting = discounting;
    for (double* field : {&v.Xw, &v.Yw, &v.Zw, &v.Yb, &v.La, &v.surround})
        *field = finiteOrZero(*field);
    return stream;
}

QDataStream& operator<<(QDataStream& stream, const ViewingConditionsList& list)
{
    stream << qint32(list.size());
    for (const ViewingConditionsEntry& entry : list)
        stream << entry;
    return stream;
}

QDataStream& operator>>(QDataStream& stream, ViewingConditionsList& list)
{
    list.clear();
    qint32 count = 0;
    stream >> count;
    if (stream.status() != QDataStream::Ok)
        return stream;
    if (count < 0) {
        stream.setStatus(QDataStream::ReadCorruptData);
        return stream;
    }
    // No reservation: the count comes from outside and the stream ends first.
    for (qint32 i = 0; i < count; ++i) {
        ViewingConditionsEntry entry;
        stream >> entry;
        if (stream.status() != QDataStream::Ok) {
            list.clear();
            return stream;
        }
        list.append(entry);
    }
    return stream;
}

void registerViewingConditionsTypes()
{
    qRegisterMetaType<ViewingConditionsList>("ViewingConditionsList");
}

// ---------------------------------------------------------------------------
// Equality and the text form
// ---------------------------------------------------------------------------

bool sameViewingConditions(const ViewingConditionsEntry& a, const ViewingConditionsEntry& b)
{
    const Cam16Conditions& u = a.values;
    const Cam16Conditions& v = b.values;
    return a.builtIn == b.builtIn && a.name == b.name && near(u.Xw, v.Xw) && near(u.Yw, v.Yw) &&
           near(u.Zw, v.Zw) && u.discounting == v.discounting && near(u.La, v.La) && near(u.Yb, v.Yb) &&
           near(u.surround, v.surround);
}

QString encodePreset(const ViewingConditionsEntry& entry)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << entry;
    return QString::fromLatin1(bytes.toBase64());
}

ViewingConditionsEntry decodePresetEntry(const QString& text, bool* ok)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray bytes = decoded ? *decoded : QByteArray();
    QDataStream stream(bytes);
    ViewingConditionsEntry entry;
    stream >> entry;
    if (ok) *ok = decoded && stream.status() == QDataStream::Ok;
    return entry;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

ViewingConditionsList loadUserPresets(const QSettings& settings, const QString& key)
{
    registerViewingConditionsTypes();
    QVariant value = settings.value(key);
    if (!value.isValid())
        return {};
    const QMetaType listType = QMetaType::fromType<ViewingConditionsList>();
    if (value.metaType() != listType && !value.convert(listType))
        return {};
    return value.value<ViewingConditionsList>();
}

void storeUserPresets(QSettings& settings, const QString& key, const ViewingConditionsList& list)
{
    registerViewingConditionsTypes();
    settings.setValue(key, QVariant::fromValue(list));
}

// ---------------------------------------------------------------------------
// The combined list
// ---------------------------------------------------------------------------

const ViewingConditionsList& ViewingConditionsPresets::builtIns()
{
    static const ViewingConditionsList list = {
        builtIn("ICC Standard", 96.42, 100, 82.49, 31.83, 2),
        builtIn("ISO 3664:2009 P2 - Practical Reflection Print", 95.047, 100, 108.883, 32, 2),
        builtIn("CIE 116:1995  Print evaluation", 96.42, 100, 82.49, 64, 2),
        builtIn("ISO 3664:2009 P1 - Critical print evaluation environment", 96.42, 100, 82.49, 127, 2),
        builtIn("Monitor in typical work environment", 95.047, 100, 108.883, 22, 2),
        builtIn("Bright monitor in bright work environment", 96.42, 100, 82.49, 42, 2),
        builtIn("Monitor in darkened work environment", 96.42, 100, 82.49, 4, 1),
        builtIn("Projector in dim environment", 96.42, 100, 82.49, 10, 1),
        builtIn("Projector in dark environment", 96.42, 100, 82.49, 10, 0),
        builtIn("Photo CD - original scene outdoors", 96.42, 100, 82.49, 320, 2),
        builtIn("Original scene - bright Outdoors", 96.42, 100, 82.49, 2000, 2),
    };
    return list;
}

std::optional<ViewingConditionsEntry> ViewingConditionsPresets::at(int index) const
{
    if (index < 0 || index >= count())
        return std::nullopt;
    return index < BuiltInCount ? builtIns()[index] : user_[index - BuiltInCount];
}

QStringList ViewingConditionsPresets::names() const
{
    QStringList out;
    for (const ViewingConditionsEntry& e : builtIns())
        out << e.name;
    for (const ViewingConditionsEntry& e : user_)
        out << e.name;
    return out;
}

bool ViewingConditionsPresets::setValues(int index, const Cam16Conditions& values)
{
    if (!isUser(index))
        return false;
    user_[index - BuiltInCount].values = values;
    return true;
}

int ViewingConditionsPresets::append(const ViewingConditionsEntry& entry)
{
    user_.append(entry);
    return count() - 1;
}

bool ViewingConditionsPresets::remove(int index)
{
    if (!isUser(index))
        return false;
    user_.removeAt(index - BuiltInCount);
    return true;
}

int ViewingConditionsPresets::find(const ViewingConditionsEntry& entry) const
{
    for (int i = 0; i < count(); ++i)
        if (sameViewingConditions(*at(i), entry))
            return i;
    return -1;
}

int ViewingConditionsPresets::decode(const QString& text)
{
    if (text.isEmpty())
        return -1;
    const ViewingConditionsEntry entry = decodePresetEntry(text);
    const int found = find(entry);
    return found >= 0 ? found : append(entry);
}

QString proposeCloneName(const QString& name, const QStringList& taken)
{
    const QString base = name + QStringLiteral(" - Copy");
    QString proposal = base;
    for (int n = 1; taken.contains(proposal, Qt::CaseSensitive); ++n)
        proposal = base + QStringLiteral(" (%1)").arg(n);
    return proposal;
}

// ---------------------------------------------------------------------------
// Scales of the editor
// ---------------------------------------------------------------------------

namespace ViewingScales {

int sliderFromLa(double La)
{
    return wholePart(std::log((La + 4.5) / 4.79675) * 100 / 5.665185);
}

double laFromSlider(int value)
{
    return std::trunc(4.79675 * std::exp(value * 5.665185 / 100) - 4.5);
}

double lux(double La)
{
    return std::round(La * 5 * 3.141592653589793);
}

QString luxNumber(double La)
{
    return QString::number(lux(La), 'g', QLocale::FloatingPointShortest);
}

int sliderFromSurround(double S)
{
    return wholePart(S * 10);
}

int comboFromSurround(double S)
{
    return wholePart(std::floor(S));
}

double surroundFromSlider(int value)
{
    return value / 10.0;
}

}   // namespace ViewingScales
