// How faithfully an abstract profile reproduces the recipe it was built
// from: ΔE76 between the profile, evaluated in float as a colour engine
// evaluates it, and the recipe applied to the same colours directly, in
// double precision and without any table, over colours inside sRGB and
// Adobe RGB and on the surfaces of both gamuts.
#pragma once

#include "app/core/recipe.h"
#include "osl.h"
#include "profiles/core/builtinspaces.h"

#include <QString>

#include <memory>
#include <vector>

struct FidelityFigures {
    double mean = 0;
    double p95 = 0;     // 95th percentile
    double max = 0;
    size_t colours = 0;
    size_t worst = 0;   // index of the colour with the largest error
};

// The colours measured on: 10 000 random colours inside sRGB and as many
// inside Adobe RGB (uniform in their RGB cubes), then the six faces of both
// RGB cubes on a 33 × 33 grid each, as D50 Lab. Always the same colours.
const std::vector<CieLab>& fidelityColours();

// A recipe as a function from Lab to Lab, evaluated without a table.
class ExactRecipe {
public:
    virtual ~ExactRecipe() = default;
    virtual void apply(const std::vector<CieLab>& in, std::vector<CieLab>& out) const = 0;

    // The recipe's own results, unclipped (a float table holds them as they
    // are; a 16-bit one only within the Lab box). The recipe of the current tab: a CUBE table applied in a matrix-shaper
    // RGB space is evaluated in double from the space's colorants and curves
    // and the table's nodes (interpolated tetrahedrally, extrapolated from
    // the edge cells beyond the table's domain); any other space and the
    // Softproofing recipe through the recipe's own colour chain, colour by
    // colour; CIE CAM16 through the model. Null, with `error` set, when the
    // recipe cannot be built.
    static std::unique_ptr<ExactRecipe> forRecipe(const Recipe& recipe, const ProfileOpener& open,
                                                  QString* error = nullptr);
};

// The profile evaluated on the colours as a colour engine evaluates it (its
// float 'D2B0' table when it has one, else its 'A2B0'; Lab in and out as
// doubles, no optimisation) against the exact recipe, held in the Lab box
// for a profile without a float table and in the float table's plausible
// range (L* 0 … 100, a* and b* as far as its nodes reach) for one with.
FidelityFigures measureFidelity(IccProfile* abstract, const ExactRecipe& exact,
                                const std::vector<CieLab>& colours = fidelityColours());

// ΔE76 between two profiles on the same colours.
FidelityFigures compareProfiles(IccProfile* a, IccProfile* b, const std::vector<CieLab>& colours = fidelityColours());

// The profile as another program reads it: saved to memory and opened again.
ProfilePtr savedCopy(IccProfile* profile);
// The same, as a colour engine that reads no float tables sees it: without
// the 'D2B0' table.
ProfilePtr sixteenBitCopy(IccProfile* profile);
