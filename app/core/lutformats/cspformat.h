// Cinespace .csp 3D tables: "CSPLUTV100", "3D", an optional METADATA block,
// one pre-LUT per channel (a count, that many input levels, as many
// outputs), the grid size, then the outputs with red varying fastest. A
// pre-LUT maps the channel's input onto the 3D table's 0 … 1; one with
// unevenly spaced input levels is resampled on 4096 even steps.
#pragma once

#include "app/core/lutformats/lutfile.h"

#include <string>
#include <string_view>

namespace lutformats {

LutRead readCsp(std::string_view text, const std::string& name);

// The title and comment as metadata, the shapers (or the input range) as
// pre-LUTs, the outputs as shortest exact decimals.
std::string cspText(const Lut3D& lut);

}   // namespace lutformats
