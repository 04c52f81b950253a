// .cube tables (the Resolve form: TITLE, DOMAIN_MIN/MAX, LUT_1D_SIZE and
// LUT_3D_SIZE, red fastest). They are read by the engine's .cube reader
// straight into a device link; this file writes them, and holds the number
// form every .cube the program writes uses.
#pragma once

#include "app/core/lutformats/lut3d.h"

#include <string>

namespace lutformats {

// The engine's reader, its refusal (the file, the line, the reason) in `error`.
IccProfile* readCubeLink(const std::string& path, std::string& error);

// A real number as the .CUBE generator prints it: %g with six significant
// digits, ties rounded away from zero as a C-locale text stream does.
void appendCubeNumber(std::string& out, float value);

// TITLE (line breaks as blanks, double quotes as single ones), the comment
// with "# " before each of its lines, DOMAIN_MIN 0 0 0, DOMAIN_MAX 1 1 1 and
// LUT_3D_SIZE n.
std::string cubeHeader(const std::string& title, const std::string& comment, uint32_t n);

// The whole table: the header, the shapers as LUT_1D_SIZE lines, an input
// range other than 0 … 1 as LUT_1D_INPUT_RANGE or LUT_3D_INPUT_RANGE.
// Empty when the channels' input ranges differ, which .cube cannot hold.
std::string cubeText(const Lut3D& lut);

}   // namespace lutformats
