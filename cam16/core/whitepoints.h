// White points of the viewing-conditions editor: the table of named
// illuminants, the Planckian locus below 4000 K, and the conversions between
// temperature and chromaticity the editor offers.
#pragma once

#include <cstdint>
#include <span>

struct WhitePointRow {
    const char* name;          // combo text ("D50")
    double x, y;               // CIE 1931 chromaticity
    int kelvin;                // correlated colour temperature
    const char* description;   // shown beside the combo
};

// "Other" first, then A, B, C, D50 ... F12, in combo order.
std::span<const WhitePointRow> whitePointTable();

// First row whose x and y both lie within 1e-4 of (x, y); -1 when none.
int whitePointRowForChromaticity(double x, double y);

// First row whose temperature is exactly `kelvin`; -1 when none.
int whitePointRowForTemperature(int kelvin);

struct LocusRow {
    int64_t kelvin;
    double x, y;
};

// The black body from 1000 K to 4000 K in steps of 10 K (301 rows).
std::span<const LocusRow> lowTemperatureLocus();

// Chromaticity for a temperature: below 4000 K the locus row at or below it
// (1000 K at least), from 4000 K the engine's CIE daylight locus, which
// declines above 25000 K. False below 1000 K or when the engine declines.
bool chromaticityForTemperature(int kelvin, double* x, double* y);

// Correlated colour temperature of a chromaticity (Robertson's method),
// truncated to whole kelvin. False when the engine declines.
bool temperatureForChromaticity(double x, double y, int* kelvin);
