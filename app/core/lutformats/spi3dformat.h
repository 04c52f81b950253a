// Sony Pictures Imageworks .spi3d tables: "SPILUT 1.0", "3 3", the grid
// size, then one line per node holding its red, green and blue indices and
// its three outputs. Every node must be given exactly once, in any order.
#pragma once

#include "app/core/lutformats/lutfile.h"

#include <string>
#include <string_view>

namespace lutformats {

LutRead readSpi3d(std::string_view text, const std::string& name);

// Nodes with blue varying fastest, outputs as shortest exact decimals. The
// format holds no title, comment, input range or shaper: a table with a
// shaper or another input range is refused (empty text).
std::string spi3dText(const Lut3D& lut);

}   // namespace lutformats
