// The picture of an imported 3D table: one 8-bit RGB pixel per CLUT node,
// nodes in table order row by row, and the table's title. Both read the
// device link the .cube reader makes, whose CLUT holds each file line in
// reverse order (blue, green, red).
#pragma once

#include "osl.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

struct LutDump {
    int width = 0;
    int height = 0;
    // width × height × 3 bytes, R, G, B, rows packed one after the other.
    // Pixels past the last node are black.
    std::vector<uint8_t> rgb;
};

// Width of the dump of an N × N × N table: N · ⌊⌈√(N³)⌉ / N⌋, a multiple of
// N near the square root of the node count. 0 for N = 0.
int lutDumpWidth(uint32_t gridPoints);

// A node output as a byte: 0 below 0 (and for NaN), 255 above 1, else the
// value × 255 truncated toward zero.
uint8_t lutDumpByte(float value);

// The dump of a device link whose 'A2B0' is a CLUT alone or curves then a
// CLUT, float, N × N × N with three outputs. Pixel k (row ⌊k / W⌋, column
// k mod W) shows the .cube file's line k, red fastest: the node for red
// k mod N, green ⌊k / N⌋ mod N, blue ⌊k / N²⌋, its outputs as red, green,
// blue. Nothing for any other table.
std::optional<LutDump> lutDump(IccProfile* link);

// The link's description (English, US; at most 4095 characters, up to the
// first NUL), the .cube file's title read as UTF-8; empty when it has none.
QString lutTitle(IccProfile* link);
