#include "app/core/recipe.h"

#include <gtest/gtest.h>

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace {

class RecipeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(registerCurveFamilyPlugin()); }
};

ViewingConditionsEntry userConditions(const char* name, double La)
{
    return {false, QString::fromLatin1(name), {95.047, 100.0, 108.883, 18.0, La, 1.5, 0}};
}

// A recipe in which every field differs from a new document's.
Recipe fullRecipe()
{
    Recipe r;
    r.description = QStringLiteral("Warm press look");
    r.copyright = QStringLiteral("(c) the printer");
    r.tab = RecipeTab::Cam16;
    r.resolution = {1, 33, 21, 2048, 4.5};
    r.softproofProfile = QStringLiteral("default_cmyk.icc");
    r.softproofIntent = 2;
    r.channels[0].selectFamily(CurveFamily::Gamma);
    r.channels[0].setValue(1.4);
    r.channels[1].selectFamily(CurveFamily::Offset);
    r.channels[1].setOffset(-0.25);
    r.channels[2].selectFamily(CurveFamily::Tabulated);
    r.channels[2].setUserData(false, 0.5, QList<float>{0.0f, 0.3f, 0.8f, 1.0f});
    r.channels[3].selectFamily(CurveFamily::PointList);
    r.channels[3].setUserData(true, QMap<float, float>{{0.0f, 0.0f}, {0.5f, 0.4f}, {1.0f, 1.0f}});
    r.sourceConditions = userConditions("Dim studio", 64.0);
    r.destConditions = userConditions("Bright office", 318.0);
    r.separateDestination = true;
    r.correlates[0].setCorrelateIndex(1);
    r.correlates[0].selectFamily(CurveFamily::Sigmoidal);
    r.correlates[0].setValue(2.0);
    r.correlates[1].setCorrelateIndex(2);
    r.correlates[1].selectFamily(CurveFamily::Gamma);
    r.correlates[1].setValue(0.8);
    r.correlates[2].selectFamily(CurveFamily::Offset);
    r.correlates[2].setOffset(0.1);
    r.lutProfile = QStringLiteral("*argb");
    r.lutIntent = 3;
    r.cubeFile = QStringLiteral("/luts/warm.cube");
    return r;
}

QStringList lines(const QByteArray& text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The value of a property line "KEY<blank>VALUE" in the text, or a null string.
QString propertyLine(const QByteArray& text, const QString& key)
{
    for (const QString& line : lines(text)) {
        const QString t = line.trimmed();
        if (t.startsWith(key) && t.size() > key.size() && t.at(key.size()).isSpace())
            return t.mid(key.size()).trimmed();
    }
    return {};
}

void expectSameConditions(const std::optional<ViewingConditionsEntry>& a,
                          const std::optional<ViewingConditionsEntry>& b)
{
    ASSERT_EQ(a.has_value(), b.has_value());
    if (a) {
        EXPECT_TRUE(sameViewingConditions(*a, *b)) << a->name.toStdString() << " / " << b->name.toStdString();
    }
}

void expectSameRecipe(const Recipe& a, const Recipe& b)
{
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.copyright, b.copyright);
    EXPECT_EQ(a.tab, b.tab);
    EXPECT_EQ(a.resolution, b.resolution);
    EXPECT_EQ(a.softproofProfile, b.softproofProfile);
    EXPECT_EQ(a.softproofIntent, b.softproofIntent);
    for (size_t i = 0; i < a.channels.size(); ++i)
        EXPECT_EQ(a.channels[i].toStateString(), b.channels[i].toStateString()) << "channel " << i;
    expectSameConditions(a.sourceConditions, b.sourceConditions);
    expectSameConditions(a.destConditions, b.destConditions);
    EXPECT_EQ(a.separateDestination, b.separateDestination);
    for (size_t i = 0; i < a.correlates.size(); ++i)
        EXPECT_EQ(a.correlates[i].toStateString(), b.correlates[i].toStateString()) << "correlate " << i;
    EXPECT_EQ(a.lutProfile, b.lutProfile);
    EXPECT_EQ(a.lutIntent, b.lutIntent);
    EXPECT_EQ(a.cubeFile, b.cubeFile);
}

// ---------------------------------------------------------------------------
// The value
// ---------------------------------------------------------------------------

TEST_F(RecipeTest, NewDocumentDefaults)
{
    const Recipe r;
    EXPECT_EQ(r.description, QStringLiteral("New abstract profile"));
    EXPECT_EQ(r.copyright, QStringLiteral("No copyright"));
    EXPECT_EQ(r.resolution, (ResolutionPreferences{0, 33, 33, 1024, 1.5}));
    for (const ChannelCurve& c : r.channels) {
        EXPECT_EQ(c.family(), CurveFamily::Preserve);
        EXPECT_EQ(c.families(), SoftproofFamilies);
    }
    EXPECT_EQ(r.correlates[0].correlateCount(), 2);
    EXPECT_EQ(r.correlates[1].correlateCount(), 3);
    EXPECT_EQ(r.correlates[2].correlateCount(), 0);
    ASSERT_TRUE(r.sourceConditions.has_value());
    EXPECT_TRUE(sameViewingConditions(*r.sourceConditions, ViewingConditionsPresets::builtIns().first()));
    EXPECT_FALSE(r.separateDestination);
    EXPECT_TRUE(r.cubeFile.isEmpty());
}

TEST_F(RecipeTest, CorrelateFlagsFollowTheChoices)
{
    const struct { int first, second; uint32_t flags; } table[] = {
        {0, 0, 0x00}, {1, 0, 0x01}, {0, 1, 0x10}, {0, 2, 0x20}, {1, 2, 0x21},
    };
    for (const auto& row : table) {
        Recipe r;
        r.correlates[0].setCorrelateIndex(row.first);
        r.correlates[1].setCorrelateIndex(row.second);
        EXPECT_EQ(r.correlateFlags(), row.flags) << row.first << ", " << row.second;
    }
}

TEST_F(RecipeTest, DestinationConditionsOnlyWhenSeparate)
{
    Recipe r = fullRecipe();
    ASSERT_NE(r.destinationConditions(), nullptr);
    EXPECT_EQ(r.destinationConditions()->name, QStringLiteral("Bright office"));
    r.separateDestination = false;
    EXPECT_EQ(r.destinationConditions()->name, QStringLiteral("Dim studio"));
    r.separateDestination = true;
    r.destConditions.reset();   // a destination with no selection stands for the source
    EXPECT_EQ(r.destinationConditions()->name, QStringLiteral("Dim studio"));
    r.sourceConditions.reset();
    EXPECT_EQ(r.destinationConditions(), nullptr);
}

// ---------------------------------------------------------------------------
// The sheet
// ---------------------------------------------------------------------------

TEST_F(RecipeTest, SheetLayout)
{
    const Recipe r = fullRecipe();
    const QByteArray text = recipeToText(r);
    ASSERT_FALSE(text.isEmpty());
    const QStringList l = lines(text);
    EXPECT_EQ(l.first().trimmed(), QStringLiteral("TONEMOLDER"));
    EXPECT_TRUE(text.contains("This profile has been created by Osterlane Tonemolder"));

    const struct { const char* key; const char* value; } table0[] = {
        {"TONEMOLDER_VERSION", "\"1.9\""}, {"ICC_VERSION_INDEX", "1"},      {"ICC_GRIDS_LSTAR", "33"},
        {"ICC_GRIDS_ABSTAR", "21"},        {"ICC_GRIDS_CURVES", "2048"},    {"ICC_SIGMOID_VAL", "4.5"},
        {"DESCRIPTION", "\"Warm press look\""}, {"COPYRIGHT", "\"(c) the printer\""}, {"GENERATOR", "1"},
        {"SOFTPROOF_ICC", "\"default_cmyk.icc\""}, {"SOFTPROOF_INTENT_INDEX", "2"},
        {"CUBE_FILE", "\"/luts/warm.cube\""},
    };
    for (const auto& row : table0)
        EXPECT_EQ(propertyLine(text, QString::fromLatin1(row.key)), QString::fromLatin1(row.value)) << row.key;

    // The three tables in order, each after its comment.
    const qsizetype cam = text.indexOf("CIE CAM16");
    const qsizetype cube = text.indexOf("CUBE import");
    ASSERT_GT(cam, text.indexOf("SOFTPROOF_ICC"));
    ASSERT_GT(cube, text.indexOf("SOURCE_VC"));
    EXPECT_GT(text.indexOf("CUBE_FILE"), cube);
    EXPECT_EQ(text.count("BEGIN_DATA_FORMAT"), 2);
    EXPECT_EQ(text.count("SLIDER_VALUE"), 2);

    // Curve states are the channel model's Base64 state, row by row.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(propertyLine(text, QStringLiteral("SLIDER_%1").arg(i)), r.channels[size_t(i)].toStateString()) << i;
    // Viewing conditions in the preset encoding.
    EXPECT_EQ(propertyLine(text, QStringLiteral("SOURCE_VC")),
              QLatin1Char('"') + encodePreset(*r.sourceConditions) + QLatin1Char('"'));
    EXPECT_EQ(propertyLine(text, QStringLiteral("DEST_VC")),
              QLatin1Char('"') + encodePreset(*r.destConditions) + QLatin1Char('"'));
}

TEST_F(RecipeTest, RoundTripKeepsEveryField)
{
    const Recipe r = fullRecipe();
    const RecipeReadResult back = readRecipeText(recipeToText(r));
    ASSERT_TRUE(back.ok()) << back.message.toStdString();
    EXPECT_TRUE(back.message.isEmpty());
    EXPECT_DOUBLE_EQ(back.storedVersion, 1.9);
    expectSameRecipe(r, back.recipe);
}

TEST_F(RecipeTest, NewDocumentRoundTrips)
{
    const Recipe r;
    const RecipeReadResult back = readRecipeText(recipeToText(r));
    ASSERT_TRUE(back.ok());
    expectSameRecipe(r, back.recipe);
    EXPECT_FALSE(back.resolutionDiffers(ResolutionPreferences{}));
}

TEST_F(RecipeTest, EmptyTextsAreAbsentAndLoadEmpty)
{
    Recipe r;
    r.description.clear();
    r.copyright.clear();
    const QByteArray text = recipeToText(r);
    EXPECT_FALSE(text.contains("DESCRIPTION"));
    EXPECT_FALSE(text.contains("COPYRIGHT"));
    EXPECT_FALSE(text.contains("CUBE_FILE"));
    const RecipeReadResult back = readRecipeText(text);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(back.recipe.description.isEmpty());
    EXPECT_TRUE(back.recipe.copyright.isEmpty());
    EXPECT_TRUE(back.recipe.cubeFile.isEmpty());
}

TEST_F(RecipeTest, UnwritableTextsAreMadeWritable)
{
    Recipe r;
    r.description = QStringLiteral("two\nlines");
    r.copyright = QStringLiteral("\"quoted\" and 'single'");
    const RecipeReadResult back = readRecipeText(recipeToText(r));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.recipe.description, QStringLiteral("two lines"));
    EXPECT_EQ(back.recipe.copyright, QStringLiteral("'quoted' and 'single'"));
}

TEST_F(RecipeTest, DestinationFlagFollowsTheConditions)
{
    Recipe r = fullRecipe();
    r.separateDestination = false;   // the source is written as the destination too
    QByteArray text = recipeToText(r);
    EXPECT_EQ(propertyLine(text, QStringLiteral("DEST_VC")), propertyLine(text, QStringLiteral("SOURCE_VC")));
    RecipeReadResult back = readRecipeText(text);
    ASSERT_TRUE(back.ok());
    EXPECT_FALSE(back.recipe.separateDestination);
    EXPECT_EQ(back.recipe.destinationConditions()->name, QStringLiteral("Dim studio"));

    r.separateDestination = true;    // two different presets
    back = readRecipeText(recipeToText(r));
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(back.recipe.separateDestination);
    EXPECT_EQ(back.recipe.destinationConditions()->name, QStringLiteral("Bright office"));
}

TEST_F(RecipeTest, VersionCheck)
{
    const QByteArray text = recipeToText(Recipe{});
    const struct { const char* version; bool accepted; } table[] = {
        {"1.9", true}, {"1.0", true}, {"0.5", true}, {"1.90", true}, {"2", false}, {"1.91", false}, {"10", false},
    };
    for (const auto& row : table) {
        QByteArray changed = text;
        changed.replace("\"1.9\"", QByteArray("\"") + row.version + "\"");
        const RecipeReadResult r = readRecipeText(changed);
        EXPECT_EQ(r.ok(), row.accepted) << row.version;
        if (!row.accepted) {
            EXPECT_EQ(r.status, RecipeReadResult::NewerVersion);
            EXPECT_TRUE(r.message.startsWith(
                QStringLiteral("This profile was created by tonemolder version %1, and this program is version 1.9.")
                    .arg(QString::fromLatin1(row.version))))
                << r.message.toStdString();
            EXPECT_TRUE(r.message.contains(QStringLiteral(".\n\n")));
        }
    }
}

TEST_F(RecipeTest, OtherSheetsAreRefused)
{
    const QByteArray recipe = recipeToText(Recipe{});
    QByteArray otherType = recipe;
    otherType.replace("TONEMOLDER\n", "TONEMOLDERX\n");
    QByteArray lowerCase = recipe;
    lowerCase.replace("TONEMOLDER\n", "tonemolder\n");
    const QByteArray inputs[] = {
        QByteArray(),
        QByteArray("not a CGATS text at all"),
        otherType,
        lowerCase,
        QByteArray("IT8.7/2\nNUMBER_OF_FIELDS 1\nBEGIN_DATA_FORMAT\nSAMPLE_ID\nEND_DATA_FORMAT\n"
                   "NUMBER_OF_SETS 1\nBEGIN_DATA\nA1\nEND_DATA\n"),
        recipe.left(recipe.size() / 3),    // cut inside the first table
    };
    for (const QByteArray& in : inputs) {
        const RecipeReadResult r = readRecipeText(in);
        EXPECT_EQ(r.status, RecipeReadResult::NotOurs) << in.left(40).toStdString();
        EXPECT_EQ(r.message, QStringLiteral("This profile was not created by Osterlane Color Tonemolder"));
    }
}

TEST_F(RecipeTest, ResolutionIsRaisedBeforeTheComparison)
{
    Recipe r;
    r.resolution = {0, 0, 3, 0, 3.0};
    const RecipeReadResult back = readRecipeText(recipeToText(r));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.recipe.resolution, (ResolutionPreferences{0, 7, 7, 16, 3.0}));
    EXPECT_TRUE(back.resolutionDiffers(ResolutionPreferences{}));
    EXPECT_FALSE(back.resolutionDiffers(ResolutionPreferences{0, 7, 7, 16, 3.0}));

    // Each of the five counts on its own; the sigmoid exactly.
    const ResolutionPreferences base;
    const RecipeReadResult same = readRecipeText(recipeToText(Recipe{}));
    ResolutionPreferences p = base;
    p.versionIndex = 1;
    EXPECT_TRUE(same.resolutionDiffers(p));
    p = base;
    p.gridCurves = 1023;
    EXPECT_TRUE(same.resolutionDiffers(p));
    p = base;
    p.sigmoidShape = 3.0000001;
    EXPECT_TRUE(same.resolutionDiffers(p));
}

TEST_F(RecipeTest, MissingPartsKeepTheDefaults)
{
    // Only the first table, with no curves: a recipe written by hand.
    const QByteArray text = "TONEMOLDER\nTONEMOLDER_VERSION \"1.5\"\nGENERATOR 2\n";
    const RecipeReadResult r = readRecipeText(text);
    ASSERT_TRUE(r.ok()) << r.message.toStdString();
    EXPECT_DOUBLE_EQ(r.storedVersion, 1.5);
    EXPECT_EQ(r.recipe.tab, RecipeTab::CubeImport);
    EXPECT_EQ(r.recipe.resolution, (ResolutionPreferences{0, 7, 7, 16, 0.0}));
    EXPECT_TRUE(r.recipe.description.isEmpty());
    const Recipe fresh;
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(r.recipe.channels[i].toStateString(), fresh.channels[i].toStateString());
    ASSERT_TRUE(r.recipe.sourceConditions.has_value());   // the new document's, untouched
    EXPECT_EQ(r.recipe.lutProfile, QStringLiteral("*srgb"));
}

TEST_F(RecipeTest, SheetsWithoutTheCubeSpaceKeepTheDefaults)
{
    Recipe r = fullRecipe();
    QByteArray text = recipeToText(r);
    const qsizetype at = text.indexOf("CUBE_ICC");
    ASSERT_GT(at, 0);
    text.truncate(at);   // a sheet of the earlier layout ends after CUBE_FILE
    const RecipeReadResult back = readRecipeText(text);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.recipe.cubeFile, QStringLiteral("/luts/warm.cube"));
    EXPECT_EQ(back.recipe.lutProfile, QStringLiteral("*srgb"));
    EXPECT_EQ(back.recipe.lutIntent, 0);
}

TEST_F(RecipeTest, EmptyAndDamagedCurveStates)
{
    Recipe r = fullRecipe();
    QByteArray text = recipeToText(r);
    const QByteArray state = r.channels[0].toStateString().toLatin1();
    // An empty cell leaves the curve as it was; a damaged one reads what it can.
    QByteArray emptied = text;
    emptied.replace(state, "\"\"");
    RecipeReadResult back = readRecipeText(emptied);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.recipe.channels[0].family(), CurveFamily::Preserve);

    QByteArray damaged = text;
    damaged.replace(state, "@@@@");
    back = readRecipeText(damaged);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.recipe.channels[1].toStateString(), r.channels[1].toStateString());
}

TEST_F(RecipeTest, ViewingConditionsNotAmongThePresetsSurvive)
{
    Recipe r = fullRecipe();
    const RecipeReadResult back = readRecipeText(recipeToText(r));
    ASSERT_TRUE(back.ok());
    ViewingConditionsPresets presets;
    const int before = presets.count();
    EXPECT_EQ(presets.decode(encodePreset(*back.recipe.sourceConditions)), before);   // appended
    EXPECT_EQ(presets.count(), before + 1);
}

}   // namespace

namespace {

// Any text cut short or damaged reads as a recipe or is refused, never worse.
TEST_F(RecipeTest, DamagedTextsAreSurvived)
{
    Recipe r;
    r.channels[2].selectFamily(CurveFamily::Tabulated);
    r.channels[2].setUserData(true, 1.0, QList<float>{0.0f, 0.2f, 0.9f, 1.0f});
    r.cubeFile = QStringLiteral("/some/table.cube");
    const QByteArray text = recipeToText(r);
    for (qsizetype n = 0; n <= text.size(); n += 3) readRecipeText(text.left(n));
    uint32_t seed = 12345;
    for (int i = 0; i < 2000; ++i) {
        QByteArray damaged = text;
        for (int k = 0; k < 4; ++k) {
            seed = seed * 1664525u + 1013904223u;
            damaged[qsizetype(seed % uint32_t(damaged.size()))] = char(seed >> 24);
        }
        const RecipeReadResult result = readRecipeText(damaged);
        if (result.ok()) {
            EXPECT_GE(result.recipe.resolution.gridLstar, 7);
        }
    }
    // Numbers far out of range read as nothing usable, then raised.
    QByteArray huge = text;
    huge.replace("ICC_GRIDS_LSTAR\t33", "ICC_GRIDS_LSTAR\t99999999999999999999");
    ASSERT_NE(huge, text);
    const RecipeReadResult result = readRecipeText(huge);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.recipe.resolution.gridLstar, 7);
}

}   // namespace
