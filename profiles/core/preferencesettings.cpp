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

// v within lowest and the setting's highest.
int clampedInt(int v, Resolution r, double lowest)
{
    return std::clamp(v, int(lowest), int(resolutionRange(r).highest));
}

}   // namespace

// ---------------------------------------------------------------------------
// The resolution
// ---------------------------------------------------------------------------

ResolutionPreferences ResolutionPreferences::clamped() const
{
    using R = Resolution;
    ResolutionPreferences p = *this;
    p.versionIndex = clampedInt(p.versionIndex, R::Version, resolutionRange(R::Version).lowest);
    p.gridLstar = clampedInt(p.gridLstar, R::GridLStar, resolutionRange(R::GridLStar).lowest);
    p.gridAbstar = clampedInt(p.gridAbstar, R::GridAbStar, resolutionRange(R::GridAbStar).lowest);
    p.gridCurves = clampedInt(p.gridCurves, R::CurvePoints, resolutionRange(R::CurvePoints).lowest);
    if (p.gridCurves < 2) p.gridCurves = int(resolutionRange(R::CurvePoints).recipeLowest);   // too few to tabulate
    const ResolutionRange& shape = resolutionRange(R::SigmoidShape);
    p.sigmoidShape = std::isnan(p.sigmoidShape) ? shape.lowest : std::clamp(p.sigmoidShape, shape.lowest, shape.highest);
    return p;
}

ResolutionPreferences resolutionPreferences(const QSettings& settings)
{
    using R = Resolution;
    const ResolutionPreferences defaults;
    const auto value = [&settings](Resolution r, const QVariant& fallback) {
        return settings.value(QLatin1String(resolutionRange(r).key), fallback);
    };
    ResolutionPreferences p;
    p.versionIndex = value(R::Version, defaults.versionIndex).toInt();
    p.gridLstar = value(R::GridLStar, defaults.gridLstar).toInt();
    p.gridAbstar = value(R::GridAbStar, defaults.gridAbstar).toInt();
    p.gridCurves = value(R::CurvePoints, defaults.gridCurves).toInt();
    p.sigmoidShape = value(R::SigmoidShape, defaults.sigmoidShape).toDouble();
    return p;
}

void storeResolutionPreferences(QSettings& settings, const ResolutionPreferences& p)
{
    using R = Resolution;
    const auto store = [&settings](Resolution r, const QVariant& v) {
        settings.setValue(QLatin1String(resolutionRange(r).key), v);
    };
    store(R::Version, p.versionIndex);
    store(R::GridLStar, p.gridLstar);
    store(R::GridAbStar, p.gridAbstar);
    store(R::CurvePoints, p.gridCurves);
    store(R::SigmoidShape, p.sigmoidShape);
}

// ---------------------------------------------------------------------------
// All the preferences
// ---------------------------------------------------------------------------

PreferenceSettings PreferenceSettings::read(const QSettings& settings)
{
    using namespace PreferenceKeys;
    const PreferenceSettings defaults;
    PreferenceSettings p;
    p.resolution = resolutionPreferences(settings);
    p.drawCurveRes = settings.value(QLatin1String(DrawCurveRes), defaults.drawCurveRes).toInt();
    p.undecorated = settings.value(QLatin1String(Undecorated), defaults.undecorated).toBool();
    p.monitorSrgb = settings.value(QLatin1String(MonitorSrgb), defaults.monitorSrgb).toInt();
    return p.clamped();
}

void PreferenceSettings::write(QSettings& settings) const
{
    using namespace PreferenceKeys;
    const PreferenceSettings p = clamped();
    storeResolutionPreferences(settings, p.resolution);
    settings.setValue(QLatin1String(DrawCurveRes), p.drawCurveRes);
    settings.setValue(QLatin1String(Undecorated), p.undecorated);
    settings.setValue(QLatin1String(MonitorSrgb), p.monitorSrgb);
}

PreferenceSettings PreferenceSettings::clamped() const
{
    using R = Resolution;
    PreferenceSettings p = *this;
    ResolutionPreferences& r = p.resolution;
    r.versionIndex = clampedInt(r.versionIndex, R::Version, resolutionRange(R::Version).offeredLowest);
    r.gridLstar = clampedInt(r.gridLstar, R::GridLStar, resolutionRange(R::GridLStar).offeredLowest);
    r.gridAbstar = clampedInt(r.gridAbstar, R::GridAbStar, resolutionRange(R::GridAbStar).offeredLowest);
    r.gridCurves = clampedInt(r.gridCurves, R::CurvePoints, resolutionRange(R::CurvePoints).offeredLowest);
    // Two decimals, as the shape's spin box keeps them; what is not a number
    // reads as 0 first, as a spin box reads such text.
    const ResolutionRange& shape = resolutionRange(R::SigmoidShape);
    const double k = std::isfinite(r.sigmoidShape) ? r.sigmoidShape : 0.0;
    r.sigmoidShape = std::round(std::clamp(k, shape.offeredLowest, shape.highest) * 100.0) / 100.0;
    p.drawCurveRes = std::clamp(p.drawCurveRes, PreferenceLimits::MinDrawRes, PreferenceLimits::MaxDrawRes);
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
