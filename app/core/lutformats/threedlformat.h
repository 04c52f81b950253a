// Autodesk .3dl tables (Lustre and Flame): an optional "3DMESH" and
// "Mesh <input bits> <output bits>" header, an optional mesh line of the N
// input levels, then N³ lines of three integer outputs with blue varying
// fastest. Without a "Mesh" header the output depth is the smallest of 10,
// 12, 14 and 16 bits (or more) that holds the largest output; the mesh
// line's levels are taken as evenly spaced, and only their count matters.
// A mesh line of three levels is told from a table line by the line count.
#pragma once

#include "app/core/lutformats/lutfile.h"

#include <string>
#include <string_view>

namespace lutformats {

LutRead readThreeDl(std::string_view text, const std::string& name);

// Comment lines with the title and comment, the 10-bit mesh line, and the
// outputs as 12-bit integers (clipped to 0 … 4095).
std::string threeDlText(const Lut3D& lut);

}   // namespace lutformats
