// Academy/ASC Common LUT Format (.clf, SMPTE ST 2136-1): an XML ProcessList
// of process nodes. Range, Matrix, LUT1D and LUT3D nodes are read, at any
// bit depth and in any order; any other node is refused with its name.
//
// A list that is per-channel nodes (Range, LUT1D, a matrix without cross
// terms) followed by one LUT3D is read exactly: a leading clamping Range
// onto 0 … 1 becomes the input range, a LUT1D the shapers, any other
// per-channel part is resampled as shapers of 4096 entries. Any other list
// (a node after the LUT3D, a matrix mixing channels before it, no LUT3D or
// two) is resampled whole onto a grid of the first LUT3D's size (33 points
// when there is none) over inputs 0 … 1.
//
// The XML read is the part CLF files use: elements, attributes, text, the
// five named entities and character references, comments, CDATA,
// processing instructions; a DOCTYPE is refused.
#pragma once

#include "app/core/lutformats/lutfile.h"

#include <string>
#include <string_view>

namespace lutformats {

LutRead readClf(std::string_view text, const std::string& name);

// A ProcessList (CLF 3.0) of the input range as a Range (or a Matrix and a
// clamping Range when the channels' ranges differ), the shapers as a LUT1D,
// and the grid as a LUT3D, all 32-bit float, values as shortest exact
// decimals.
std::string clfText(const Lut3D& lut);

}   // namespace lutformats
