// The preferences as the settings store holds them: how abstract profiles are
// written (the resolution, whose table of ranges every reader of it shares),
// how finely curves are drawn, the look of the program and the monitor profile
// of the preview. Values are read with their defaults and kept within the
// ranges the preferences dialog offers.
#pragma once

#include "curves/core/curvefamily.h"
#include "osl.h"

#include <QString>

#include <array>
#include <cstdint>

class QSettings;

namespace PreferenceKeys {
inline constexpr char DrawCurveRes[] = "draw_curve_res";
inline constexpr char Undecorated[] = "gui/undecorated";
inline constexpr char MonitorSrgb[] = "monitor_sRGB";
}   // namespace PreferenceKeys

// ---------------------------------------------------------------------------
// The resolution of abstract profiles
// ---------------------------------------------------------------------------

// The five resolution settings, in the order the dialog, the settings store,
// the recipe sheet and the command line list them.
enum class Resolution : int { Version, GridLStar, GridAbStar, CurvePoints, SigmoidShape };

// One resolution setting as every place that stores, offers, reads or checks
// it sees it: the Preferences dialog, the builder, the recipe sheet, the
// settings store and the command line all read this table.
struct ResolutionRange {
    const char* key;          // in the settings store
    const char* sheetKey;     // in the recipe sheet a profile carries
    const char* option;       // on the command line
    const char* argument;     // the option's value in the help
    const char* help;         // the help's text; %1 stands for the range
    const char* label;        // the dialog's label (empty: the control has its own)
    double defaultValue;
    // The values a profile is built with: the builder brings others within,
    // the command line accepts these and no others.
    double lowest;
    double highest;
    // The dialog offers offeredLowest to highest: fewer curve points than 512
    // are not worth offering, though the builder takes from 2 on.
    double offeredLowest;
    int step;                 // the dialog's step
    // A recipe's value is raised to at least this when it is read (NoLowest:
    // it is read as it is).
    double recipeLowest;
};

inline constexpr double NoLowest = -1e300;

// How abstract profiles are written unless the user chose otherwise. The
// fidelity report (bench/fidelity) found this the smallest table that keeps
// the strong looks it tries within about half a ΔE76 of their recipes on
// average, while a build takes a few tens of milliseconds: a*/b* as fine as
// L*, so that both ICC versions (version 2 has one grid size) give the same
// profile, and a gentle sigmoid, so that saturated colours get cells nearly
// as fine as greys. The sigmoid's range is that of its editor (the
// prelinearisation family's control).
inline constexpr std::array<ResolutionRange, 5> ResolutionRanges = {{
    {"icc/version", "ICC_VERSION_INDEX", "--version", "4.3|2.1", "ICC version of the profile", "",
     0, 0, 1, 0, 1, NoLowest},
    {"icc/grid_lstar", "ICC_GRIDS_LSTAR", "--grid-lstar", "N", "CLUT points along L* (%1)", "L* Grid points:",
     33, 7, 64, 7, 1, 7},
    {"icc/grid_abstar", "ICC_GRIDS_ABSTAR", "--grid-abstar", "N",
     "CLUT points along a* and b* (%1; version 2.1 uses the L* grid)", "a*/b* grid points:",
     33, 7, 64, 7, 1, 7},
    {"icc/grid_curves", "ICC_GRIDS_CURVES", "--curve-points", "N", "entries of each prelinearisation curve (%1)",
     "Prelin curve points:", 1024, 0, 4096, 512, 16, 16},
    {"icc/sigmoid_sh", "ICC_SIGMOID_VAL", "--sigmoid", "K", "shape of the a*/b* prelinearisation (%1)", "PCS prelin:",
     1.5, PrelinShapeMinimum, PrelinShapeMaximum, PrelinShapeMinimum, 0, NoLowest},
}};

constexpr const ResolutionRange& resolutionRange(Resolution r)
{
    return ResolutionRanges[size_t(r)];
}

// Raw ICC versions of the two choices.
constexpr uint32_t ProfileVersion4 = 0x04300000;
constexpr uint32_t ProfileVersion2 = 0x02100000;

// The five resolution settings as one value: as stored, as a recipe carries
// them, and (clamped) as the builder uses them.
struct ResolutionPreferences {
    int versionIndex = int(resolutionRange(Resolution::Version).defaultValue);   // 0 ICC 4.3, 1 ICC 2.1
    int gridLstar = int(resolutionRange(Resolution::GridLStar).defaultValue);
    int gridAbstar = int(resolutionRange(Resolution::GridAbStar).defaultValue);
    int gridCurves = int(resolutionRange(Resolution::CurvePoints).defaultValue);
    double sigmoidShape = resolutionRange(Resolution::SigmoidShape).defaultValue;

    bool operator==(const ResolutionPreferences&) const = default;   // the sigmoid compared exactly

    // As profiles are built: each value within lowest and highest, a NaN
    // shape at its lowest, and curve points too few to tabulate (0 or 1) as
    // many as a recipe holds at the least (16).
    ResolutionPreferences clamped() const;
    // The raw ICC version of versionIndex (4.3 unless it is 1).
    uint32_t profileVersion() const { return versionIndex == 1 ? ProfileVersion2 : ProfileVersion4; }
};

// The five keys as stored, with the defaults for absent keys and 0 for text
// that is not a number; not clamped (the builder clamps).
ResolutionPreferences resolutionPreferences(const QSettings& settings);
// Writes the five keys as they are.
void storeResolutionPreferences(QSettings& settings, const ResolutionPreferences& preferences);

// ---------------------------------------------------------------------------
// All the preferences
// ---------------------------------------------------------------------------

// The ranges of the dialog's other controls.
namespace PreferenceLimits {
inline constexpr int MinDrawRes = 5, MaxDrawRes = 4096, DrawResStep = 16;
}   // namespace PreferenceLimits

struct PreferenceSettings {
    ResolutionPreferences resolution;
    int drawCurveRes = 64;
    bool undecorated = false;
    int monitorSrgb = 0;        // 0: the system's monitor profile, 1: sRGB

    // Every key with its default when absent; values outside the dialog's
    // ranges (or not numbers at all) are brought within them.
    static PreferenceSettings read(const QSettings& settings);
    // Writes every key, in the dialog's order, after clamping.
    void write(QSettings& settings) const;

    // Within the ranges the dialog offers: the resolution from offeredLowest
    // to highest, the shape at two decimals, drawing resolution 5 to 4096,
    // the two choices 0 or 1.
    PreferenceSettings clamped() const;

    bool operator==(const PreferenceSettings&) const = default;
};

// The description of a monitor profile as the monitor list shows it: read
// with empty language and country (at most 4095 characters) and trimmed.
QString monitorDescription(IccProfile* profile);
// The first item of the monitor list: "Monitor: " and the description, a
// description longer than 21 characters cut to its first 25 followed by " ...".
QString monitorEntryText(const QString& description);
