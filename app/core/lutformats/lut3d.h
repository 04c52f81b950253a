// The 3D look-up table every LUT file format is read into and written from:
// optional per-channel 1D shapers, then an N × N × N table of RGB outputs,
// with the range of input values the first stage spans. Each format's reader
// fills one, validate() says whether it is whole, and the device link of the
// Import LUT recipe is built from it; each writer takes one.
//
// Plain C++ over the engine's header, so that the fuzz targets read files
// through exactly the code the program uses.
#pragma once

#include "osl.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace lutformats {

constexpr uint32_t MaxGridPoints = 256;      // Hald CLUT level 16
constexpr uint32_t MaxShaperEntries = 65536;

struct Lut3D {
    std::string title;
    std::string comment;   // copyright or other free text the file carries

    // Input value that lands on the first and on the last entry of the first
    // stage (the shaper when there is one, else the grid), per channel.
    std::array<double, 3> inputMin{0, 0, 0};
    std::array<double, 3> inputMax{1, 1, 1};

    // 1D shapers, all three empty or all of shaperSize entries spread evenly
    // over the input range; an entry is the 3D table's input, 0 reaching its
    // first node and 1 its last.
    uint32_t shaperSize = 0;
    std::array<std::vector<float>, 3> shaper;

    // size³ nodes of red, green, blue outputs, red varying fastest: node
    // (r, g, b) at ((b · size + g) · size + r) · 3.
    uint32_t size = 0;
    std::vector<float> data;

    bool hasShaper() const { return shaperSize > 0; }
    size_t nodeCount() const { return size_t(size) * size * size; }
    size_t offset(uint32_t r, uint32_t g, uint32_t b) const { return ((size_t(b) * size + g) * size + r) * 3; }

    // Empty when the table is whole and usable: 2 to 256 grid points, every
    // value finite, shapers all or none of 2 to 65536 entries, input ranges
    // of positive width; else what is wrong.
    std::string validate() const;

    // The table on one colour: shaper (linear), then trilinear interpolation
    // of the grid, inputs held within the ranges. The slow reference the
    // writers and tests sample with.
    std::array<double, 3> evaluate(const std::array<double, 3>& rgb) const;
};

// An identity table of n points (tests, and the grid writers fill).
Lut3D identityLut(uint32_t n);

// How a reader tells why it refused a file: the file's name, then where
// (line or field), then what.
std::string lineError(const std::string& file, size_t line, const std::string& what);
std::string fieldError(const std::string& file, const std::string& field, const std::string& what);

// An RGB device link (version 4.4, 'link', RGB to RGB) applying the table:
// the input range as a scale and offset, the shapers as float curves, then
// a float CLUT, as 'A2B0'; the title in 'desc'. Null when the engine refuses.
IccProfile* lutDeviceLink(const Lut3D& lut);

}   // namespace lutformats
