// The abstract-profile builder (profileassembly.cpp and recipes.cpp; the
// samplers are in samplers.h, the .cube tables in cubecache.h): turns a recipe into an ICC abstract profile
// (class 'abst', Lab to Lab) whose only transform is an 'A2B0' pipeline of
// prelinearisation curves, a 3D CLUT sampled from the recipe, and output
// curves. Three recipes share one generic builder:
//
//   Softproofing  Lab → the chosen space (chosen intent) → channel curves → Lab
//   CIE CAM16     Lab → CAM16 correlates (source) → correlate curves → Lab (destination)
//   CUBE import   Lab → the chosen RGB (chosen intent) → the 3D table → Lab
//
// The a* and b* axes are prelinearised with a sigmoid S (parametric type 109)
// so that the grid nodes crowd around the neutral axis; the CLUT works on
// (L, S(a), S(b)) and the output curves apply S⁻¹.
//
// Version-4 profiles carry the recipe a second time, in floating point, in a
// 'D2B0' table on the same nodes (app/core/floattable.h): colour engines that read
// float tables use it, and with it the recipe's results beyond what 16-bit
// Lab holds. One sampling of the recipe fills both tables.
#pragma once

#include "app/core/cubecache.h"
#include "app/core/recipe.h"
#include "app/core/samplers.h"
#include "cam16/core/cam16.h"
#include "osl.h"
#include "profiles/core/builtinspaces.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace BuilderText {
inline constexpr char InternalError[] = "Internal error";
inline constexpr char NoSpace[] = "No color space for adjusts is selected. Choose one on the Softproofing tab.";
inline constexpr char SpaceUnavailable[] = "The color space for adjusts cannot be opened: %1\nChoose another one.";
inline constexpr char NoLutSpace[] = "No color space is selected for the imported LUT. Choose one on the Import LUT tab.";
inline constexpr char LutSpaceUnavailable[] =
    "The color space for the imported LUT cannot be opened: %1\nChoose another one.";
inline constexpr char CubeUnreadable[] = "Unable to access .cube file: ";
inline constexpr char Description[] = "Tonemolder profile";
inline constexpr char Copyright[] = "No copyright, use freely";
}   // namespace BuilderText

// The rendering-intent choices of the recipe combos.
struct IntentChoice {
    uint32_t intent;
    bool blackPointCompensation;
};
constexpr int IntentChoiceCount = 4;
// Index 0 perceptual, 1 relative colorimetric, 2 the same with black-point
// compensation, 3 saturation; nothing for any other index.
std::optional<IntentChoice> intentChoice(int index);
const QStringList& intentChoiceNames();

// ---------------------------------------------------------------------------
// Building
// ---------------------------------------------------------------------------

// How the per-recipe builders sample: all nodes at once (the default), or
// one node per call, the 16-bit table through the node samplers above, as
// the reference.
enum class Sampling { Batch, NodeByNode };

// The generic builder: the abstract profile around the recipe sampled on the
// nodes of its tables, with S (forward and inverse) for k. The 16-bit table
// holds the results in the Lab box, unless `fill16` fills it instead; a
// version-4 profile also gets the float table. The resolution is taken as it
// is: the recipe builders below are handed it clamped
// (ResolutionPreferences::clamped). Null on any failure.
IccProfile* buildAbstractProfile(const LabRecipe& recipe, const ResolutionPreferences& settings,
                                 const ClutFill& fill16 = {});

// The three recipes. Curves are borrowed. Null on any failure.
IccProfile* buildSoftproofProfile(IccProfile* space, int intentIndex, const ToneCurve* const channelCurves[],
                                  const ResolutionPreferences& settings, Sampling sampling = Sampling::Batch);
IccProfile* buildCubeProfile(IccProfile* rgbSpace, int intentIndex, IccProfile* cubeLink,
                             const ResolutionPreferences& settings, Sampling sampling = Sampling::Batch);
IccProfile* buildCam16Profile(const Cam16Conditions& source, const Cam16Conditions& destination, uint32_t flags,
                              const ToneCurve* const correlateCurves[3], const ResolutionPreferences& settings,
                              Sampling sampling = Sampling::Batch);

// The colour chain of the Softproofing and CUBE recipes on Lab doubles,
// unoptimised: Lab identity → space (the intent of the index) → link (the
// same intent) → space (relative colorimetric) → Lab identity. Null for an
// intent index out of range or when the engine refuses.
Transform* createLabChainTransform(IccProfile* space, IccProfile* link, int intentIndex);

// Channels a Softproofing space has: gray 1, RGB 3, CMYK 4, Lab 3; 0 for
// any other.
uint32_t softproofChannelCount(uint32_t colorSpace);

struct BuildResult {
    ProfilePtr profile{nullptr, &closeProfile};
    QString message;                       // set when nothing was built and the user must be told
    bool ok() const { return profile != nullptr; }
};

// Why the colour space of the recipe's current tab (Softproofing or Import
// LUT) could not be opened: none is chosen, or the one chosen is named.
QString spaceUnavailableMessage(const Recipe& recipe);

// Builds the recipe of its current tab at the given resolution.
BuildResult buildRecipe(const Recipe& recipe, const ResolutionPreferences& preferences,
                        const ProfileOpener& open = openProfileByName, Sampling sampling = Sampling::Batch);

// The profile as it is saved: built, then carrying the recipe (with the
// resolution it was built at) in 'targ' and the recipe's texts in 'desc' and
// 'cprt'. Without a profile, the message says why (RecipeText::SaveFailed
// when the builder itself gave no reason).
BuildResult buildProfileWithRecipe(const Recipe& recipe, const ResolutionPreferences& preferences,
                                   const ProfileOpener& open = openProfileByName);
