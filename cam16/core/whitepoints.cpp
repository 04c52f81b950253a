#include "cam16/core/whitepoints.h"

#include "osl.h"

#include <QtGlobal>

#include <cmath>
#include <iterator>

namespace {

// Descriptions are marked for translation in the editor's context.
constexpr WhitePointRow WhitePoints[] = {
    {"Other", 0, 0, 0, QT_TRANSLATE_NOOP("viewingConditions", "Other")},
    {"A", 0.44757, 0.40745, 2856, QT_TRANSLATE_NOOP("viewingConditions", "Incandescent / Tungsten")},
    {"B", 0.34842, 0.35161, 4874, QT_TRANSLATE_NOOP("viewingConditions", "(obsolete) Direct sunlight at noon")},
    {"C", 0.31006, 0.31616, 6774, QT_TRANSLATE_NOOP("viewingConditions", "(obsolete) Average / North sky Daylight")},
    {"D50", 0.34567, 0.3585, 5003, QT_TRANSLATE_NOOP("viewingConditions", "Horizon Light. ICC profile PCS")},
    {"D55", 0.33242, 0.34743, 5503, QT_TRANSLATE_NOOP("viewingConditions", "Mid-morning / Mid-afternoon Daylight")},
    {"D65", 0.31271, 0.32902, 6504, QT_TRANSLATE_NOOP("viewingConditions", "Noon Daylight: Television, sRGB color space")},
    {"D75", 0.29902, 0.31485, 7504, QT_TRANSLATE_NOOP("viewingConditions", "North sky Daylight")},
    {"E", 1.0 / 3.0, 1.0 / 3.0, 5454, QT_TRANSLATE_NOOP("viewingConditions", "Equal energy")},
    {"F1", 0.3131, 0.33727, 6430, QT_TRANSLATE_NOOP("viewingConditions", "Daylight Fluorescent")},
    {"F2", 0.37208, 0.37529, 4230, QT_TRANSLATE_NOOP("viewingConditions", "Cool White Fluorescent")},
    {"F3", 0.4091, 0.3943, 3450, QT_TRANSLATE_NOOP("viewingConditions", "White Fluorescent")},
    {"F4", 0.44018, 0.40329, 2940, QT_TRANSLATE_NOOP("viewingConditions", "Warm White Fluorescent")},
    {"F5", 0.31379, 0.34531, 6350, QT_TRANSLATE_NOOP("viewingConditions", "Daylight Fluorescent")},
    {"F6", 0.3779, 0.38835, 4150, QT_TRANSLATE_NOOP("viewingConditions", "Lite White Fluorescent")},
    {"F7", 0.31292, 0.32933, 6500, QT_TRANSLATE_NOOP("viewingConditions", "D65 simulator, Daylight simulator")},
    {"F8", 0.34588, 0.35875, 5000, QT_TRANSLATE_NOOP("viewingConditions", "D50 simulator, Sylvania F40 Design 50")},
    {"F9", 0.37417, 0.37281, 4150, QT_TRANSLATE_NOOP("viewingConditions", "Cool White Deluxe Fluorescent")},
    {"F10", 0.34609, 0.35986, 5000, QT_TRANSLATE_NOOP("viewingConditions", "Philips TL85, Ultralume 50")},
    {"F11", 0.38052, 0.37713, 4000, QT_TRANSLATE_NOOP("viewingConditions", "Philips TL84, Ultralume 40")},
    {"F12", 0.43695, 0.40441, 3000, QT_TRANSLATE_NOOP("viewingConditions", "Philips TL83, Ultralume 30")},
};

constexpr LocusRow Locus[] = {
#include "cam16/core/planckianlocus.inc"
};
static_assert(std::size(Locus) == 301, "one row per 10 K from 1000 K to 4000 K");

constexpr int LocusFirst = 1000;
constexpr int LocusStep = 10;
constexpr int DaylightFirst = 4000;

}   // namespace

std::span<const WhitePointRow> whitePointTable()
{
    return WhitePoints;
}

int whitePointRowForChromaticity(double x, double y)
{
    for (size_t i = 0; i < std::size(WhitePoints); ++i)
        if (std::fabs(x - WhitePoints[i].x) < 1e-4 && std::fabs(y - WhitePoints[i].y) < 1e-4)
            return int(i);
    return -1;
}

int whitePointRowForTemperature(int kelvin)
{
    for (size_t i = 0; i < std::size(WhitePoints); ++i)
        if (WhitePoints[i].kelvin == kelvin)
            return int(i);
    return -1;
}

std::span<const LocusRow> lowTemperatureLocus()
{
    return Locus;
}

bool chromaticityForTemperature(int kelvin, double* x, double* y)
{
    if (kelvin < DaylightFirst) {
        if (kelvin < LocusFirst)
            return false;
        const LocusRow& row = Locus[(kelvin - LocusFirst) / LocusStep];
        *x = row.x;
        *y = row.y;
        return true;
    }
    CieXyY white;
    if (!whitePointFromTemp(&white, kelvin))
        return false;
    *x = white.x;
    *y = white.y;
    return true;
}

bool temperatureForChromaticity(double x, double y, int* kelvin)
{
    double t;
    if (!tempFromWhitePoint(&t, {x, y, 100}) || !std::isfinite(t) || t < INT32_MIN || t > INT32_MAX)
        return false;
    *kelvin = int(t);
    return true;
}
