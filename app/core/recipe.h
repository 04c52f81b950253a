// The recipe: everything the three recipe tabs hold, with the description,
// the copyright and the resolution preferences that shaped the profile, as a
// plain value. It is written as the three-table "TONEMOLDER" CGATS sheet that
// a saved abstract profile carries in its 'targ' tag, and read back from it;
// the checks a reader must make (sheet type, program version, resolution)
// are reported to the caller, which asks the user what to do.
#pragma once

#include "cam16/core/viewingconditionslist.h"
#include "curves/core/channelcurve.h"
#include "osl.h"
#include "profiles/core/preferencesettings.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace RecipeText {

inline constexpr char SheetType[] = "TONEMOLDER";
inline constexpr char ProgramVersion[] = "1.9";
inline constexpr double ProgramVersionNumber = 1.9;
inline constexpr char Comment[] = "This profile has been created by Osterlane Tonemolder";
inline constexpr char NewDescription[] = "New abstract profile";
inline constexpr char NewCopyright[] = "No copyright";

// What a reader reports.
inline constexpr char InvalidProfile[] = "Invalid or corrupted ICC profile";
inline constexpr char NotOurs[] = "This profile was not created by Osterlane Color Tonemolder";
inline constexpr char SaveFailed[] = "Couldn't save the ICC profile";
inline constexpr char ResolutionQuestion[] =
    "This profile was created with different resolution preferences.\n"
    "Do you want to overwrite your preferences with that ones from the profile?\n"
    "Answering 'no' will convert the profile to your actual resolution preferences.";

}   // namespace RecipeText

// The recipe tabs, in tab order.
enum class RecipeTab : int { Softproof = 0, Cam16 = 1, CubeImport = 2 };

constexpr int SoftproofChannels = 4;
constexpr int CorrelateCount = 3;

struct Recipe {
    // A new document: the texts of a new profile, the first viewing
    // conditions preset for both sides, neutral curves, and each channel and
    // correlate offering the families and correlates its editor offers.
    Recipe();

    QString description = RecipeText::NewDescription;
    QString copyright = RecipeText::NewCopyright;
    // The current tab; a sheet may name a tab this version does not have,
    // which builds nothing.
    RecipeTab tab = RecipeTab::Softproof;
    ResolutionPreferences resolution;

    // Softproofing: a built-in name as it is, or a profile's file name.
    QString softproofProfile = "*srgb";
    int softproofIntent = 0;
    std::array<ChannelCurve, SoftproofChannels> channels;

    // CIE CAM16: the destination is used only when separateDestination is
    // set; no source conditions build nothing.
    std::optional<ViewingConditionsEntry> sourceConditions;
    std::optional<ViewingConditionsEntry> destConditions;
    bool separateDestination = false;
    std::array<ChannelCurve, CorrelateCount> correlates;

    // CUBE import: the RGB space the table works in, the intent into it,
    // and the table's file (empty: none loaded).
    QString lutProfile = "*srgb";
    int lutIntent = 0;
    QString cubeFile;

    // The conditions the CAM16 recipe converts back under: the destination
    // when it is in use and set, else the source (null when neither is set).
    const ViewingConditionsEntry* destinationConditions() const;

    // The correlate flags of the CAM16 builder: bit 0 brightness Q for the
    // first curve, bit 4 colourfulness M or bit 5 saturation s for the second.
    uint32_t correlateFlags() const;
};

// The channel curve settings of the editors: Softproofing channels offer
// every family but the prelinearisation shape; the correlates offer the
// CAM16 families, the first choosing J or Q, the second C, M or s.
void configureSoftproofChannel(ChannelCurve& curve);
void configureCorrelate(ChannelCurve& curve, int index);

// The recipe sheet as CGATS text (no terminator). Empty when a property that
// must be kept exactly (a profile or file name) cannot be written.
// Line ends in the description and copyright become blanks, and when they
// hold both quote characters the double quotes become single ones.
QByteArray recipeToText(const Recipe& recipe);

// The outcome of reading a recipe.
struct RecipeReadResult {
    enum Status { Ok, InvalidProfile, NotOurs, NewerVersion };
    Status status = NotOurs;
    QString message;              // empty for Ok; else the text to show
    double storedVersion = 0;     // "TONEMOLDER_VERSION"
    Recipe recipe;                // for Ok: defaults overlaid with what the sheet holds

    bool ok() const { return status == Ok; }
    // Whether the user must be asked about the resolution (see
    // RecipeText::ResolutionQuestion): the recipe's values, already raised to
    // the smallest usable grids, differ from the preferences in force.
    bool resolutionDiffers(const ResolutionPreferences& preferences) const
    {
        return recipe.resolution != preferences;
    }
};

// The text of a newer version's refusal.
QString newerVersionMessage(double storedVersion);

// Reads the sheet. Grid values and curve points are raised to their
// recipeLowest (7 and 16); absent numbers read as 0 before raising. An empty channel state
// leaves that curve as the defaults have it.
RecipeReadResult readRecipeText(const QByteArray& text);

// 'targ' with the sheet, 'desc' and 'cprt' with the texts (English, US).
bool storeRecipe(IccProfile* profile, const Recipe& recipe);
// The recipe in a profile's 'targ' tag.
RecipeReadResult readRecipeFromProfile(IccProfile* profile);
// The recipe of a profile file; the profile is opened and closed here.
RecipeReadResult readRecipeFromFile(const QString& fileName);
