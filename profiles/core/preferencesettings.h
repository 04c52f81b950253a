// The preferences as the settings store holds them: how abstract profiles are
// written, how finely curves are drawn, the look of the program and the
// monitor profile of the preview. Values are read with their defaults and
// kept within the ranges the preferences dialog offers.
#pragma once

#include "osl.h"

#include <QString>

class QSettings;

namespace PreferenceKeys {
inline constexpr char ProfileVersion[] = "icc/version";
inline constexpr char GridLStar[] = "icc/grid_lstar";
inline constexpr char GridAbStar[] = "icc/grid_abstar";
inline constexpr char GridCurves[] = "icc/grid_curves";
inline constexpr char SigmoidShape[] = "icc/sigmoid_sh";
inline constexpr char DrawCurveRes[] = "draw_curve_res";
inline constexpr char Undecorated[] = "gui/undecorated";
inline constexpr char MonitorSrgb[] = "monitor_sRGB";
}   // namespace PreferenceKeys

// How abstract profiles are written unless the user chose otherwise. The
// fidelity report (bench/fidelity) found this the smallest table that keeps
// the strong looks it tries within about half a ΔE76 of their recipes on
// average, while a build takes a few tens of milliseconds: a*/b* as fine as
// L*, so that both ICC versions (version 2 has one grid size) give the same
// profile, and a gentle sigmoid, so that saturated colours get cells nearly
// as fine as greys.
namespace PreferenceDefaults {
inline constexpr int ProfileVersion = 0;
inline constexpr int GridLStar = 33;
inline constexpr int GridAbStar = 33;
inline constexpr int GridCurves = 1024;
inline constexpr double SigmoidShape = 1.5;
}   // namespace PreferenceDefaults

// The ranges of the dialog's controls.
namespace PreferenceLimits {
inline constexpr int MinGrid = 7, MaxGrid = 64;
inline constexpr int MinCurvePoints = 512, MaxCurvePoints = 4096, CurvePointsStep = 16;
inline constexpr double MinShape = 0.0, MaxShape = 9.0;
inline constexpr int MinDrawRes = 5, MaxDrawRes = 4096, DrawResStep = 16;
}   // namespace PreferenceLimits

struct PreferenceSettings {
    int profileVersion = PreferenceDefaults::ProfileVersion;   // 0: ICC 4.3, 1: ICC 2.1
    int gridLStar = PreferenceDefaults::GridLStar;
    int gridAbStar = PreferenceDefaults::GridAbStar;
    int gridCurves = PreferenceDefaults::GridCurves;
    double sigmoidShape = PreferenceDefaults::SigmoidShape;
    int drawCurveRes = 64;
    bool undecorated = false;
    int monitorSrgb = 0;        // 0: the system's monitor profile, 1: sRGB

    // Every key with its default when absent; values outside the dialog's
    // ranges (or not numbers at all) are brought within them.
    static PreferenceSettings read(const QSettings& settings);
    // Writes every key, in the dialog's order, after clamping.
    void write(QSettings& settings) const;

    // Within the ranges: grids 7 to 64, curve points 512 to 4096, shape 0 to
    // 9 at two decimals, drawing resolution 5 to 4096, the two choices 0 or 1.
    PreferenceSettings clamped() const;

    bool operator==(const PreferenceSettings&) const = default;
};

// The description of a monitor profile as the monitor list shows it: read
// with empty language and country (at most 4095 characters) and trimmed.
QString monitorDescription(IccProfile* profile);
// The first item of the monitor list: "Monitor: " and the description, a
// description longer than 21 characters cut to its first 25 followed by " ...".
QString monitorEntryText(const QString& description);
