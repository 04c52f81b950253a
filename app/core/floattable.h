// The floating-point table of a version-4 abstract profile ('D2B0', a
// multiProcessElements tag) beside its 16-bit 'A2B0'.
//
// The 16-bit table holds Lab in steps of 1/257 of a unit of a* and b* and
// nothing beyond a* and b* -128 … 127; near a colour whose RGB channel is 0
// a power-law space turns those steps into whole 8-bit steps, and Adobe RGB's
// green (a* about -129) does not fit at all. The float table keeps the
// recipe's results as they are, on the same nodes as the 16-bit table (so one
// sampling of the recipe serves both) plus one node more beyond each end of
// a* and b*. Its input curves put every node exactly where the recipe was
// sampled: linear between nodes, a linear recipe (the identity among them)
// comes back exactly.
#pragma once

#include "osl.h"

#include <cstddef>
#include <vector>

// Where a table's nodes lie, in Lab, axis by axis; the nodes in table order
// are every (L[i], a[j], b[k]) with k running fastest.
struct LabGrid {
    std::vector<double> L, a, b;

    size_t size() const { return L.size() * a.size() * b.size(); }
    size_t index(size_t i, size_t j, size_t k) const { return (i * a.size() + j) * b.size() + k; }
    std::vector<CieLab> colours() const;
};

// The Lab of the nodes of a 16-bit 3-in 3-out CLUT whose a* and b* inputs
// went through S (decoded through `inverse` as the 16-bit samplers decode a
// node). Empty for anything else.
LabGrid clutNodeGrid(Stage* clut16, const ToneCurve* inverse);

// The grid with one more node beyond each end of a* and b*, as far out as
// the edge cell is wide.
LabGrid widenedChroma(const LabGrid& grid);

// A node's value as the float table holds it: L* within 0 … 100, a* and b*
// no further out than the grid's own nodes reach (one node beyond the 16-bit
// table's box), so that colours far outside the space a recipe was made in,
// where it can run away, come out in a plausible range. The 16-bit table
// holds the same values cut to its narrower box, so the float one is
// never the further from the recipe at a node.
CieLab plausibleNodeValue(const LabGrid& grid, const CieLab& value);

// The float table: real Lab in, node curves, a float CLUT holding `values`
// (real Lab, in table order of `grid`, made plausible as above). Null on
// failure.
Pipeline* floatTablePipeline(const LabGrid& grid, const std::vector<CieLab>& values);

// A curve through (x[k], k / (n - 1)), linear between those points, 0 below
// the first and 1 above the last. Null when x is not rising.
ToneCurve* nodePositionCurve(const std::vector<double>& x);

// Whether a profile of this version can carry the float table.
constexpr bool carriesFloatTable(uint32_t version)
{
    return version >= 0x04000000;
}
