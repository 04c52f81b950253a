#include "profiles/core/preferencesettings.h"

#include <QCoreApplication>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

// Monitor descriptions are read into 8192 bytes of UTF-16.
constexpr uint32_t MonitorTextChars = 4096;
constexpr int LongDescription = 21;
constexpr int ShownCharacters = 25;

int intValue(const QSettings& settings, const char* key, int fallback)
{
    const QVariant v = settings.value(QLatin1String(key), fallback);
    bool ok = false;
    const int n = v.toInt(&ok);
    return ok ? n : 0;   // as a spin box reads text that is not a number
}

double doubleValue(const QSettings& settings, const char* key, double fallback)
{
    const QVariant v = settings.value(QLatin1String(key), fallback);
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok && std::isfinite(d) ? d : 0.0;
}

// Two decimals, as the shape's spin box keeps them.
double roundedShape(double v)
{
    return std::round(std::clamp(v, PreferenceLimits::MinShape, PreferenceLimits::MaxShape) * 100.0) / 100.0;
}

}   // namespace

PreferenceSettings PreferenceSettings::read(const QSettings& settings)
{
    using namespace PreferenceKeys;
    const PreferenceSettings defaults;
    PreferenceSettings p;
    p.profileVersion = intValue(settings, ProfileVersion, defaults.profileVersion);
    p.gridLStar = intValue(settings, GridLStar, defaults.gridLStar);
    p.gridAbStar = intValue(settings, GridAbStar, defaults.gridAbStar);
    p.gridCurves = intValue(settings, GridCurves, defaults.gridCurves);
    p.sigmoidShape = doubleValue(settings, SigmoidShape, defaults.sigmoidShape);
    p.drawCurveRes = intValue(settings, DrawCurveRes, defaults.drawCurveRes);
    p.undecorated = settings.value(QLatin1String(Undecorated), defaults.undecorated).toBool();
    p.monitorSrgb = intValue(settings, MonitorSrgb, defaults.monitorSrgb);
    return p.clamped();
}

void PreferenceSettings::write(QSettings& settings) const
{
    using namespace PreferenceKeys;
    const PreferenceSettings p = clamped();
    settings.setValue(QLatin1String(ProfileVersion), p.profileVersion);
    settings.setValue(QLatin1String(GridLStar), p.gridLStar);
    settings.setValue(QLatin1String(GridAbStar), p.gridAbStar);
    settings.setValue(QLatin1String(GridCurves), p.gridCurves);
    settings.setValue(QLatin1String(SigmoidShape), p.sigmoidShape);
    settings.setValue(QLatin1String(DrawCurveRes), p.drawCurveRes);
    settings.setValue(QLatin1String(Undecorated), p.undecorated);
    settings.setValue(QLatin1String(MonitorSrgb), p.monitorSrgb);
}

PreferenceSettings PreferenceSettings::clamped() const
{
    using namespace PreferenceLimits;
    PreferenceSettings p = *this;
    p.profileVersion = std::clamp(p.profileVersion, 0, 1);
    p.gridLStar = std::clamp(p.gridLStar, MinGrid, MaxGrid);
    p.gridAbStar = std::clamp(p.gridAbStar, MinGrid, MaxGrid);
    p.gridCurves = std::clamp(p.gridCurves, MinCurvePoints, MaxCurvePoints);
    p.sigmoidShape = roundedShape(std::isfinite(p.sigmoidShape) ? p.sigmoidShape : 0.0);
    p.drawCurveRes = std::clamp(p.drawCurveRes, MinDrawRes, MaxDrawRes);
    p.monitorSrgb = std::clamp(p.monitorSrgb, 0, 1);
    return p;
}

QString monitorDescription(IccProfile* profile)
{
    if (!profile) return {};
    wchar_t buffer[MonitorTextChars] = {};
    if (profileText(profile, InfoDescription, "", "", buffer, MonitorTextChars) == 0) return {};
    buffer[MonitorTextChars - 1] = L'\0';
    return QString::fromWCharArray(buffer).trimmed();
}

QString monitorEntryText(const QString& description)
{
    QString shown = description;
    if (shown.size() > LongDescription) shown = shown.left(ShownCharacters) + QLatin1String(" ...");
    return QCoreApplication::translate("Preferences", "Monitor: ") + shown;
}
