// Hald CLUT images: a square RGB image of level L, L³ pixels on a side,
// holding the L² × L² × L² table's nodes in reading order, red fastest, as
// the common generators make them (the identity image of level 8 is
// 512 × 512). PNG or TIFF, 8 or 16 bits per sample; an alpha channel is
// ignored. Images go through tools/imagefiles.
#pragma once

#include "app/core/lutformats/lutfile.h"

#include <string>

namespace lutformats {

LutRead readHald(const std::string& path);

// The level of a grid of n points per side (n = L²), 0 when n is no square.
uint32_t haldLevel(uint32_t gridPoints);

// Writes the image (TIFF or PNG, 8 or 16 bits) with values clipped to
// 0 … 1; the table must have L² points per side for a level L from 2 to 16.
// Empty on success, else why.
std::string writeHald(const Lut3D& lut, const std::string& path, bool tiff, int bits);

}   // namespace lutformats
