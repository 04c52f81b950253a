// CGATS sheets: building, writing, parsing, and the messages of bad text.
#include "oslinternal.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using SheetPtr = std::unique_ptr<CgatsSheet, decltype(&freeCgatsSheet)>;

class CgatsTest : public EngineFixture {
protected:

    SheetPtr newSheet() { return SheetPtr(newCgatsSheet(ctx), &freeCgatsSheet); }
    SheetPtr parse(const std::string& text)
    {
        return SheetPtr(cgatsParseMemory(ctx, text.data(), uint32_t(text.size())), &freeCgatsSheet);
    }

    // Measures, then writes into a buffer of exactly the measured size.
    static std::string save(CgatsSheet* sheet)
    {
        uint32_t size = 0;
        EXPECT_TRUE(cgatsSaveToMemory(sheet, nullptr, &size));
        std::string text(size, '\x7f');
        uint32_t written = size;
        EXPECT_TRUE(cgatsSaveToMemory(sheet, text.data(), &written));
        EXPECT_EQ(written, size);
        EXPECT_EQ(text.back(), '\0');
        text.pop_back();
        return text;
    }

    bool reported(const std::string& text) const
    {
        for (const Reported& r : reports)
            if (r.text == text) return true;
        return false;
    }

};

// ---------------------------------------------------------------------------
// The recipe sheet the application embeds in its profiles
// ---------------------------------------------------------------------------

const char* const SliderStates[] = {
    "AAAAAQAAAAA/8AAAAAAAAD/wAAAAAAAA",
    "AAAAAkAIAAAAAAAAP+AAAAAAAAA+/w==",
    "AAAAAQ==",
    "",
};

SheetPtr buildRecipe(EngineContext* ctx)
{
    SheetPtr sheet(newCgatsSheet(ctx), &freeCgatsSheet);
    CgatsSheet* s = sheet.get();
    EXPECT_EQ(cgatsSelectTable(s, 0), 0);
    EXPECT_TRUE(cgatsSetSheetType(s, "TONEMOLDER"));
    EXPECT_TRUE(cgatsAddComment(s, "This profile has been created by Osterlane Tonemolder"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "TONEMOLDER_VERSION", "1.9"));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "ICC_VERSION_INDEX", 0));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "ICC_GRIDS_LSTAR", 23));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "ICC_GRIDS_ABSTAR", 17));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "ICC_GRIDS_CURVES", 1024));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "ICC_SIGMOID_VAL", 3.0));
    EXPECT_TRUE(cgatsSetPropertyText(s, "DESCRIPTION", "Dad's warm look"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "COPYRIGHT", "No copyright"));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "GENERATOR", 2));
    EXPECT_TRUE(cgatsSetPropertyText(s, "SOFTPROOF_ICC", "*srgb"));
    EXPECT_TRUE(cgatsSetPropertyNumber(s, "SOFTPROOF_INTENT_INDEX", 1));
    EXPECT_TRUE(cgatsSetPropertyText(s, "NUMBER_OF_FIELDS", "2"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "NUMBER_OF_SETS", "4"));
    EXPECT_TRUE(cgatsSetDataFormat(s, 0, "SAMPLE_ID"));
    EXPECT_TRUE(cgatsSetDataFormat(s, 1, "SLIDER_VALUE"));
    for (int row = 0; row < 4; ++row) {
        EXPECT_TRUE(cgatsSetDataCell(s, row, 0, ("SLIDER_" + std::to_string(row)).c_str()));
        EXPECT_TRUE(cgatsSetDataCell(s, row, 1, SliderStates[row]));
    }

    EXPECT_EQ(cgatsSelectTable(s, 1), 1);
    EXPECT_TRUE(cgatsAddComment(s, "CIE CAM16"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "SOURCE_VC", "AAAAAAEAAAAUAEEAdgBlAHIAYQBnAGUAQFkAAAAAAAA="));
    EXPECT_TRUE(cgatsSetPropertyText(s, "DEST_VC", "AAAAAAEAAAAUAEEAdgBlAHIAYQBnAGUAQFkAAAAAAAA="));
    EXPECT_TRUE(cgatsSetPropertyText(s, "NUMBER_OF_FIELDS", "2"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "NUMBER_OF_SETS", "3"));
    EXPECT_TRUE(cgatsSetDataFormat(s, 0, "SAMPLE_ID"));
    EXPECT_TRUE(cgatsSetDataFormat(s, 1, "SLIDER_VALUE"));
    for (int row = 0; row < 3; ++row) {
        EXPECT_TRUE(cgatsSetDataCell(s, row, 0, ("SLIDER_" + std::to_string(row)).c_str()));
        EXPECT_TRUE(cgatsSetDataCell(s, row, 1, SliderStates[row]));
    }

    EXPECT_EQ(cgatsSelectTable(s, 2), 2);
    EXPECT_TRUE(cgatsAddComment(s, "CUBE import"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "CUBE_FILE", "/home/ana/luts/warm \"film\".cube"));
    return sheet;
}

const char* const RecipeText =
    "TONEMOLDER\n"
    "#\n# This profile has been created by Osterlane Tonemolder\n#\n"
    "TONEMOLDER_VERSION\t\"1.9\"\n"
    "ICC_VERSION_INDEX\t0\n"
    "ICC_GRIDS_LSTAR\t23\n"
    "ICC_GRIDS_ABSTAR\t17\n"
    "ICC_GRIDS_CURVES\t1024\n"
    "ICC_SIGMOID_VAL\t3\n"
    "DESCRIPTION\t\"Dad's warm look\"\n"
    "COPYRIGHT\t\"No copyright\"\n"
    "GENERATOR\t2\n"
    "SOFTPROOF_ICC\t\"*srgb\"\n"
    "SOFTPROOF_INTENT_INDEX\t1\n"
    "NUMBER_OF_FIELDS\t\"2\"\n"
    "NUMBER_OF_SETS\t\"4\"\n"
    "BEGIN_DATA_FORMAT\n"
    " SAMPLE_ID\tSLIDER_VALUE\n"
    "END_DATA_FORMAT\n"
    "BEGIN_DATA\n"
    " SLIDER_0\tAAAAAQAAAAA/8AAAAAAAAD/wAAAAAAAA\n"
    " SLIDER_1\tAAAAAkAIAAAAAAAAP+AAAAAAAAA+/w==\n"
    " SLIDER_2\tAAAAAQ==\n"
    " SLIDER_3\t\"\"\n"
    "END_DATA\n"
    "\n"
    "#\n# CIE CAM16\n#\n"
    "SOURCE_VC\t\"AAAAAAEAAAAUAEEAdgBlAHIAYQBnAGUAQFkAAAAAAAA=\"\n"
    "DEST_VC\t\"AAAAAAEAAAAUAEEAdgBlAHIAYQBnAGUAQFkAAAAAAAA=\"\n"
    "NUMBER_OF_FIELDS\t\"2\"\n"
    "NUMBER_OF_SETS\t\"3\"\n"
    "BEGIN_DATA_FORMAT\n"
    " SAMPLE_ID\tSLIDER_VALUE\n"
    "END_DATA_FORMAT\n"
    "BEGIN_DATA\n"
    " SLIDER_0\tAAAAAQAAAAA/8AAAAAAAAD/wAAAAAAAA\n"
    " SLIDER_1\tAAAAAkAIAAAAAAAAP+AAAAAAAAA+/w==\n"
    " SLIDER_2\tAAAAAQ==\n"
    "END_DATA\n"
    "\n"
    "#\n# CUBE import\n#\n"
    "CUBE_FILE\t'/home/ana/luts/warm \"film\".cube'\n";

TEST_F(CgatsTest, RecipeSheetIsWrittenAsExpected)
{
    SheetPtr sheet = buildRecipe(ctx);
    EXPECT_EQ(save(sheet.get()), RecipeText);
    EXPECT_TRUE(reports.empty());
}

TEST_F(CgatsTest, RecipeSheetRoundTripsToTheSameText)
{
    SheetPtr built = buildRecipe(ctx);
    const std::string first = save(built.get());
    SheetPtr parsed = parse(first);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(save(parsed.get()), first);
    EXPECT_TRUE(reports.empty()) << reports[0].text;

    // And the values read back as the application reads them.
    CgatsSheet* s = parsed.get();
    EXPECT_EQ(cgatsTableCount(s), 3u);
    ASSERT_EQ(cgatsSelectTable(s, 0), 0);
    EXPECT_STREQ(cgatsSheetType(s), "TONEMOLDER");
    EXPECT_EQ(cgatsPropertyNumber(s, "TONEMOLDER_VERSION"), 1.9);
    EXPECT_EQ(cgatsPropertyNumber(s, "ICC_GRIDS_CURVES"), 1024);
    EXPECT_EQ(cgatsPropertyNumber(s, "ICC_SIGMOID_VAL"), 3.0);
    EXPECT_STREQ(cgatsPropertyText(s, "DESCRIPTION"), "Dad's warm look");
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(std::string(cgatsDataCell(s, row, 0)), "SLIDER_" + std::to_string(row));
        EXPECT_STREQ(cgatsDataCell(s, row, 1), SliderStates[row]);
    }
    ASSERT_EQ(cgatsSelectTable(s, 1), 1);
    EXPECT_STREQ(cgatsSheetType(s), "");
    EXPECT_STREQ(cgatsPropertyText(s, "DEST_VC"), "AAAAAAEAAAAUAEEAdgBlAHIAYQBnAGUAQFkAAAAAAAA=");
    EXPECT_STREQ(cgatsDataCell(s, 2, 1), "AAAAAQ==");
    EXPECT_EQ(cgatsDataCell(s, 3, 1), nullptr);   // only three sets
    ASSERT_EQ(cgatsSelectTable(s, 2), 2);
    EXPECT_STREQ(cgatsPropertyText(s, "CUBE_FILE"), "/home/ana/luts/warm \"film\".cube");
    EXPECT_EQ(cgatsPropertyText(s, "SOURCE_VC"), nullptr);   // belongs to table 1
}

TEST_F(CgatsTest, NewSheetHasOneCgatsTable)
{
    SheetPtr sheet = newSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(cgatsTableCount(sheet.get()), 1u);
    EXPECT_STREQ(cgatsSheetType(sheet.get()), "CGATS.17");
    EXPECT_EQ(save(sheet.get()), "CGATS.17\n");
    freeCgatsSheet(nullptr);   // ignored
}

// ---------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------

struct NumberCase {
    double value;
    const char* text;
};

TEST_F(CgatsTest, NumbersArePrintedWithTenSignificantDigits)
{
    const NumberCase cases[] = {
        {0.5, "0.5"},          {1.0 / 3.0, "0.3333333333"}, {1e-12, "1e-12"}, {3.0, "3"},
        {1024, "1024"},        {-2.25, "-2.25"},            {1e20, "1e+20"},  {123456789012.0, "1.23456789e+11"},
        {2.0 / 3.0, "0.6666666667"},
    };
    for (const NumberCase& c : cases) {
        SheetPtr sheet = newSheet();
        ASSERT_TRUE(cgatsSetPropertyNumber(sheet.get(), "VALUE", c.value));
        EXPECT_STREQ(cgatsPropertyText(sheet.get(), "VALUE"), c.text);
        EXPECT_EQ(save(sheet.get()), std::string("CGATS.17\nVALUE\t") + c.text + "\n");

        // Written, read back, and read as a number again.
        const std::string text = "CGATS.17\nVALUE\t" + std::string(c.text) + "\n";
        SheetPtr parsed = parse(text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_STREQ(cgatsPropertyText(parsed.get(), "VALUE"), c.text);
        EXPECT_EQ(save(parsed.get()), text);
        EXPECT_NEAR(cgatsPropertyNumber(parsed.get(), "VALUE"), c.value, std::abs(c.value) * 1e-9);
    }
}

TEST_F(CgatsTest, PropertyNumberReaderIgnoresTheLocaleAndStopsAtText)
{
    const NumberCase cases[] = {
        {1500, "1.5e3"}, {-0.25, "-0.25"}, {0, "abc"}, {12, "12abc"}, {0.5, ".5"},
        {1e-5, "1E-05"}, {42, "  42"},     {0, "0x1F"}, {7, "+7"},
    };
    for (const NumberCase& c : cases) {
        SheetPtr sheet = newSheet();
        ASSERT_TRUE(cgatsSetPropertyText(sheet.get(), "VALUE", c.text));
        EXPECT_DOUBLE_EQ(cgatsPropertyNumber(sheet.get(), "VALUE"), c.value) << c.text;
    }
    SheetPtr sheet = newSheet();
    EXPECT_EQ(cgatsPropertyNumber(sheet.get(), "ABSENT"), 0);
    EXPECT_EQ(cgatsPropertyText(sheet.get(), "ABSENT"), nullptr);
}

TEST_F(CgatsTest, TextPropertiesAreQuotedAndEmptyOnesRefused)
{
    SheetPtr sheet = newSheet();
    CgatsSheet* s = sheet.get();
    EXPECT_FALSE(cgatsSetPropertyText(s, "DESCRIPTION", ""));
    EXPECT_FALSE(cgatsSetPropertyText(s, "DESCRIPTION", nullptr));
    EXPECT_FALSE(cgatsAddComment(s, ""));
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(cgatsSetPropertyText(s, "A", "plain"));
    EXPECT_TRUE(cgatsSetPropertyText(s, "B", "say \"hi\""));
    EXPECT_EQ(save(s), "CGATS.17\nA\t\"plain\"\nB\t'say \"hi\"'\n");

    // What no quoting can carry is refused rather than written wrong.
    EXPECT_FALSE(cgatsSetPropertyText(s, "C", "Dad's \"warm\" look"));
    EXPECT_FALSE(cgatsSetPropertyText(s, "C", "two\nlines"));
    EXPECT_FALSE(cgatsSetPropertyText(s, "MY KEY", "x"));
    EXPECT_FALSE(cgatsSetPropertyNumber(s, "BEGIN_DATA", 1));
    EXPECT_FALSE(cgatsSetSheetType(s, "TWO\nLINES"));
    EXPECT_EQ(reports.size(), 5u);
    EXPECT_EQ(reports[0].text, ": Line 1, Property value cannot be written: it holds a line end or both quote characters");
    EXPECT_EQ(reports[2].text, ": Line 1, Invalid property name 'MY KEY'");
    EXPECT_STREQ(cgatsSheetType(s), "CGATS.17");
    EXPECT_EQ(cgatsPropertyText(s, "C"), nullptr);
}

TEST_F(CgatsTest, KeysIgnoreLetterCase)
{
    SheetPtr sheet = parse("CGATS.17\nnumber_of_fields 2\nNumber_Of_Sets 1\nBEGIN_DATA_FORMAT\nA B\n"
                           "END_DATA_FORMAT\nBEGIN_DATA\n1 2\nEND_DATA\n");
    ASSERT_TRUE(sheet);
    EXPECT_EQ(cgatsPropertyNumber(sheet.get(), "NUMBER_OF_FIELDS"), 2);
    EXPECT_STREQ(cgatsPropertyText(sheet.get(), "NUMBER_OF_sets"), "1");
    EXPECT_STREQ(cgatsDataCell(sheet.get(), 0, 1), "2");
}

TEST_F(CgatsTest, RepeatedCountKeepsTheFirstValueAndParsingGoesOn)
{
    SheetPtr sheet = parse("CGATS.17\nNUMBER_OF_FIELDS 2\nNUMBER_OF_FIELDS 5\nNUMBER_OF_SETS 1\n"
                           "BEGIN_DATA_FORMAT\nA B\nEND_DATA_FORMAT\nBEGIN_DATA\nx y\nEND_DATA\n");
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(reported(": Line 3, duplicate key <NUMBER_OF_FIELDS>"));
    EXPECT_EQ(reports[0].code, uint32_t(ErrCorruptionDetected));
    EXPECT_EQ(cgatsPropertyNumber(sheet.get(), "NUMBER_OF_FIELDS"), 2);

    SheetPtr built = newSheet();
    EXPECT_TRUE(cgatsSetPropertyText(built.get(), "NUMBER_OF_SETS", "3"));
    EXPECT_FALSE(cgatsSetPropertyText(built.get(), "NUMBER_OF_SETS", "4"));
    EXPECT_TRUE(reported(": Line 1, duplicate key <NUMBER_OF_SETS>"));
}

TEST_F(CgatsTest, RepeatedPropertyIsReplacedInPlace)
{
    SheetPtr sheet = parse("CGATS.17\nFIRST 1\nSECOND \"two\"\nTHIRD 3\nfirst \"one\"\n");
    ASSERT_TRUE(sheet);
    EXPECT_EQ(save(sheet.get()), "CGATS.17\nFIRST\t\"one\"\nSECOND\t\"two\"\nTHIRD\t3\n");
}

TEST_F(CgatsTest, PairPropertiesAreSplitAndWrittenOnePairPerLine)
{
    SheetPtr sheet = parse("CGATS.17\nWEIGHTING_FUNCTION \"name, CIE 1931;  observer ,2 degrees\"\n"
                           "WEIGHTING_FUNCTION \"illuminant,D50\"\n");
    ASSERT_TRUE(sheet);
    EXPECT_STREQ(cgatsPropertyText(sheet.get(), "WEIGHTING_FUNCTION"), "CIE 1931");
    const std::string text = save(sheet.get());
    EXPECT_EQ(text, "CGATS.17\n"
                    "WEIGHTING_FUNCTION\t\"name,CIE 1931\"\n"
                    "WEIGHTING_FUNCTION\t\"observer,2 degrees\"\n"
                    "WEIGHTING_FUNCTION\t\"illuminant,D50\"\n");
    SheetPtr again = parse(text);
    ASSERT_TRUE(again);
    EXPECT_EQ(save(again.get()), text);
}

TEST_F(CgatsTest, BadPairValuesFailTheParse)
{
    EXPECT_FALSE(parse("CGATS.17\nWEIGHTING_FUNCTION \"name,CIE 1931;\"\n"));
    EXPECT_TRUE(reported(": Line 2, Invalid value for property 'WEIGHTING_FUNCTION'."));
    EXPECT_FALSE(parse("CGATS.17\nCOMPUTATIONAL_PARAMETER 12\n"));
    EXPECT_TRUE(reported(": Line 2, Invalid value '12' for property 'COMPUTATIONAL_PARAMETER'."));
    EXPECT_FALSE(parse("CGATS.17\nWEIGHTING_FUNCTION \"name,\"\n"));
}

TEST_F(CgatsTest, KeywordLineMakesLaterValuesUnquotedKnownKeys)
{
    SheetPtr sheet = parse("CGATS.17\nKEYWORD \"MY_KEY\"\nMY_KEY \"x\"\nDATA_FORMAT_IDENTIFIER \"MY_FIELD\"\n");
    ASSERT_TRUE(sheet);
    EXPECT_STREQ(cgatsPropertyText(sheet.get(), "MY_KEY"), "x");
    EXPECT_FALSE(parse("CGATS.17\nKEYWORD 12\n"));
    EXPECT_TRUE(reported(": Line 2, Keyword expected"));
}

TEST_F(CgatsTest, LongValuesSurviveTheRoundTrip)
{
    SheetPtr sheet = newSheet();
    const std::string longValue(5000, 'Q');
    ASSERT_TRUE(cgatsSetPropertyText(sheet.get(), "LONG", longValue.c_str()));
    SheetPtr parsed = parse(save(sheet.get()));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::string(cgatsPropertyText(parsed.get(), "LONG")), longValue);

    // Long keys too: cut short, these two would become one key, and a key of
    // digits followed by letters would become a number.
    const std::string digits(130, '7');
    const std::string text = "CGATS.17\n" + digits + "A 1\n" + digits + "B 2\n";
    SheetPtr keys = parse(text);
    ASSERT_TRUE(keys);
    EXPECT_STREQ(cgatsPropertyText(keys.get(), (digits + "A").c_str()), "1");
    EXPECT_STREQ(cgatsPropertyText(keys.get(), (digits + "B").c_str()), "2");
    EXPECT_EQ(save(keys.get()), "CGATS.17\n" + digits + "A\t1\n" + digits + "B\t2\n");
}

TEST_F(CgatsTest, CommentsKeepTheirLinesAndPlaceInTheHeader)
{
    SheetPtr sheet = newSheet();
    ASSERT_TRUE(cgatsSetPropertyNumber(sheet.get(), "A", 1));
    ASSERT_TRUE(cgatsAddComment(sheet.get(), "first line\nsecond line\n  indented"));
    ASSERT_TRUE(cgatsSetPropertyNumber(sheet.get(), "B", 2));
    const std::string text = save(sheet.get());
    EXPECT_EQ(text, "CGATS.17\nA\t1\n#\n# first line\n# second line\n#   indented\n#\nB\t2\n");
    SheetPtr parsed = parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(save(parsed.get()), text);

    // Foreign single comment lines become comments of their own; comments
    // inside data are dropped.
    SheetPtr foreign = parse("CGATS.17\n# made by hand\nA 1 # trailing\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\n"
                             "BEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\nBEGIN_DATA\n# inside\n5\nEND_DATA\n");
    ASSERT_TRUE(foreign);
    EXPECT_EQ(save(foreign.get()), "CGATS.17\n#\n# made by hand\n#\nA\t1\n#\n# trailing\n#\n"
                                   "NUMBER_OF_FIELDS\t1\nNUMBER_OF_SETS\t1\n"
                                   "BEGIN_DATA_FORMAT\n X\nEND_DATA_FORMAT\nBEGIN_DATA\n 5\nEND_DATA\n");
}

// ---------------------------------------------------------------------------
// Cells
// ---------------------------------------------------------------------------

struct CellCase {
    const char* source;
    const char* cell;
};

TEST_F(CgatsTest, CellsReadFromTextAreNormalised)
{
    const CellCase cases[] = {
        {"0.500", "0.5"},       {"0x1F", "31"},          {"0b101", "5"},           {"-7", "-7"},
        {"007", "7"},           {"1e3", "1000"},         {"2.5E-3", "0.0025"},     {"-.5", "-0.5"},
        {"2147483648", "2147483648"}, {"99999999999", "1e+11"}, {"'a b'", "a b"}, {"\"it's\"", "it's"},
        {"007abc", "007abc"},   {"0x1G", "0x1G"},        {"1.2.3", "1.2.3"},       {"-", "-"},
        {"1e", "1e"},           {"-0x10", "16"},         {"ABC", "ABC"},           {"+5", "+5"},
        {"\"\"", ""},
    };
    for (const CellCase& c : cases) {
        const std::string text = std::string("CGATS.17\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\nBEGIN_DATA_FORMAT\n"
                                             "X\nEND_DATA_FORMAT\nBEGIN_DATA\n") + c.source + "\nEND_DATA\n";
        SheetPtr sheet = parse(text);
        ASSERT_TRUE(sheet) << c.source;
        EXPECT_STREQ(cgatsDataCell(sheet.get(), 0, 0), c.cell) << c.source;
    }
}

TEST_F(CgatsTest, CellsAreWrittenSoTheyReadBackUnchanged)
{
    const CellCase cases[] = {
        {"plain", "plain"},       {"0.5", "0.5"},         {"31", "31"},           {"a b", "\"a b\""},
        {"", "\"\""},             {"0.500", "\"0.500\""}, {"0x1F", "\"0x1F\""},   {"tab\there", "\"tab\there\""},
        {"say \"x\"", "'say \"x\"'"}, {"#5", "\"#5\""},   {"END_DATA", "\"END_DATA\""}, {"007abc", "007abc"},
        {"-", "-"},               {"1e-12", "1e-12"},     {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const CellCase& c : cases) {
        SheetPtr sheet = newSheet();
        CgatsSheet* s = sheet.get();
        ASSERT_TRUE(cgatsSetPropertyNumber(s, "NUMBER_OF_FIELDS", 2));
        ASSERT_TRUE(cgatsSetPropertyNumber(s, "NUMBER_OF_SETS", 1));
        ASSERT_TRUE(cgatsSetDataFormat(s, 0, "SAMPLE_ID"));
        ASSERT_TRUE(cgatsSetDataFormat(s, 1, "VALUE"));
        ASSERT_TRUE(cgatsSetDataCell(s, 0, 1, c.source));
        const std::string text = save(s);
        EXPECT_EQ(text, std::string("CGATS.17\nNUMBER_OF_FIELDS\t2\nNUMBER_OF_SETS\t1\nBEGIN_DATA_FORMAT\n"
                                    " SAMPLE_ID\tVALUE\nEND_DATA_FORMAT\nBEGIN_DATA\n \"\"\t") +
                            c.cell + "\nEND_DATA\n");
        SheetPtr parsed = parse(text);
        ASSERT_TRUE(parsed) << c.source;
        EXPECT_STREQ(cgatsDataCell(parsed.get(), 0, 1), c.source);
        EXPECT_STREQ(cgatsDataCell(parsed.get(), 0, 0), "");
    }
}

TEST_F(CgatsTest, CellAndFieldBoundsAreChecked)
{
    SheetPtr sheet = newSheet();
    CgatsSheet* s = sheet.get();
    EXPECT_FALSE(cgatsSetDataFormat(s, 0, "X"));
    EXPECT_TRUE(reported(": Line 1, AllocateDataFormat: Unknown NUMBER_OF_FIELDS"));
    ASSERT_TRUE(cgatsSetPropertyNumber(s, "NUMBER_OF_FIELDS", 2));
    ASSERT_TRUE(cgatsSetPropertyNumber(s, "NUMBER_OF_SETS", 4));
    EXPECT_FALSE(cgatsSetDataFormat(s, 2, "Z"));
    EXPECT_TRUE(reported(": Line 1, More than NUMBER_OF_FIELDS fields."));
    EXPECT_FALSE(cgatsSetDataFormat(s, 0, "TWO WORDS"));
    EXPECT_FALSE(cgatsSetDataCell(s, 4, 0, "x"));
    EXPECT_TRUE(reported(": Line 1, Patch 4 out of range, there are 4 patches"));
    EXPECT_FALSE(cgatsSetDataCell(s, 0, -1, "x"));
    EXPECT_TRUE(reported(": Line 1, Sample -1 out of range, there are 2 samples"));
    EXPECT_TRUE(cgatsSetDataCell(s, 3, 1, "last"));
    EXPECT_STREQ(cgatsDataCell(s, 3, 1), "last");
    EXPECT_EQ(cgatsDataCell(s, 0, 0), nullptr);
    EXPECT_EQ(cgatsDataCell(s, 4, 0), nullptr);
    EXPECT_EQ(cgatsDataCell(s, 0, 2), nullptr);
    EXPECT_EQ(cgatsDataCell(s, -1, 0), nullptr);
}

TEST_F(CgatsTest, CountsChangedAfterTheArraysExistWriteNothingBetweenTheMarkers)
{
    SheetPtr sheet = newSheet();
    CgatsSheet* s = sheet.get();
    ASSERT_TRUE(cgatsSetPropertyNumber(s, "NUMBER_OF_FIELDS", 1));
    ASSERT_TRUE(cgatsSetDataCell(s, 0, 0, "x") == false);   // no sets yet: data has 0 sets
    ASSERT_TRUE(cgatsSetPropertyNumber(s, "NUMBER_OF_SETS", 2));
    EXPECT_EQ(save(s), "CGATS.17\nNUMBER_OF_FIELDS\t1\nNUMBER_OF_SETS\t2\nBEGIN_DATA\nEND_DATA\n");
}

TEST_F(CgatsTest, LabelCellsNamingAPropertyAreExpanded)
{
    SheetPtr sheet = parse("CGATS.17\nMY_PATCH \"deep red\"\nNUMBER_OF_FIELDS 2\nNUMBER_OF_SETS 2\n"
                           "BEGIN_DATA_FORMAT\nSAMPLE_ID LABEL\nEND_DATA_FORMAT\nBEGIN_DATA\n"
                           "1 my_patch\n2 other\nEND_DATA\n");
    ASSERT_TRUE(sheet);
    EXPECT_STREQ(cgatsDataCell(sheet.get(), 0, 1), "my_patch 0 deep red");
    EXPECT_STREQ(cgatsDataCell(sheet.get(), 1, 1), "other");
}

// ---------------------------------------------------------------------------
// Recognition and tables
// ---------------------------------------------------------------------------

TEST_F(CgatsTest, OnlyTextsWithAOneOrTwoWordFirstLineAreRecognised)
{
    const char* const refused[] = {
        "TWO WORDS MORE\nA 1\n",                  // three words
        "X \"open quote\nA 1\nB 2\n",             // quote left open
        "CGATS\x01" "17\nA 1\nB 2\n",             // control character
        "CGATS.17\n",                             // shorter than 10 bytes
        "NO_LINE_END_WITHIN_THE_FIRST_132_CHARACTERS_____________________________________________________"
        "________________________________________________\n",
        "",
    };
    for (const char* text : refused) EXPECT_FALSE(parse(text)) << text;
    EXPECT_EQ(cgatsParseMemory(ctx, nullptr, 20), nullptr);
    EXPECT_TRUE(reports.empty());

    // Two words: the text starts with a property and keeps the default type.
    SheetPtr property = parse("ORIGINATOR \"me\"\nSERIAL 5\n");
    ASSERT_TRUE(property);
    EXPECT_STREQ(cgatsSheetType(property.get()), "CGATS.17");
    EXPECT_STREQ(cgatsPropertyText(property.get(), "ORIGINATOR"), "me");

    // One word: the first line, up to a tab, is the sheet type.
    SheetPtr typed = parse("  IT8.7/2\t \nSERIAL 5\n");
    ASSERT_TRUE(typed);
    EXPECT_STREQ(cgatsSheetType(typed.get()), "IT8.7/2");
}

const char* const TwoTables = "TYPE_A\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\n"
                              "BEGIN_DATA\n1\nEND_DATA\n";

TEST_F(CgatsTest, EachDataSectionClosesATable)
{
    SheetPtr one = parse(TwoTables);
    ASSERT_TRUE(one);
    EXPECT_EQ(cgatsTableCount(one.get()), 1u);

    SheetPtr unnamed = parse(std::string(TwoTables) + "\nSERIAL 7\n");
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(cgatsTableCount(unnamed.get()), 2u);
    ASSERT_EQ(cgatsSelectTable(unnamed.get(), 1), 1);
    EXPECT_STREQ(cgatsSheetType(unnamed.get()), "");
    EXPECT_STREQ(cgatsPropertyText(unnamed.get(), "SERIAL"), "7");

    SheetPtr named = parse(std::string(TwoTables) + "TYPE_B\nSERIAL 7\n");
    ASSERT_TRUE(named);
    ASSERT_EQ(cgatsSelectTable(named.get(), 1), 1);
    EXPECT_STREQ(cgatsSheetType(named.get()), "TYPE_B");

    SheetPtr quoted = parse(std::string(TwoTables) + "\"TYPE C\"\nSERIAL 7\n");
    ASSERT_TRUE(quoted);
    ASSERT_EQ(cgatsSelectTable(quoted.get(), 1), 1);
    EXPECT_STREQ(cgatsSheetType(quoted.get()), "TYPE C");
    const std::string text = save(quoted.get());
    EXPECT_NE(text.find("\n\"TYPE C\"\nSERIAL\t7\n"), std::string::npos);
    SheetPtr again = parse(text);
    ASSERT_TRUE(again);
    EXPECT_EQ(save(again.get()), text);
}

TEST_F(CgatsTest, TablesAreSelectedInSequence)
{
    SheetPtr sheet = newSheet();
    CgatsSheet* s = sheet.get();
    EXPECT_EQ(cgatsSelectTable(s, 2), -1);
    EXPECT_TRUE(reported(": Line 1, Table 2 is out of sequence"));
    EXPECT_EQ(cgatsSelectTable(s, -1), -1);
    EXPECT_EQ(cgatsSelectTable(s, 1), 1);
    EXPECT_EQ(cgatsTableCount(s), 2u);
    EXPECT_STREQ(cgatsSheetType(s), "");
    EXPECT_EQ(cgatsSelectTable(s, 0), 0);
    EXPECT_STREQ(cgatsSheetType(s), "CGATS.17");

    for (int32_t n = 2; n < 255; ++n) ASSERT_EQ(cgatsSelectTable(s, n), n);
    reports.clear();
    EXPECT_EQ(cgatsSelectTable(s, 255), -1);
    EXPECT_TRUE(reported(": Line 1, Too many tables (256 tables, max=255)"));
    EXPECT_EQ(cgatsTableCount(s), 255u);
}

TEST_F(CgatsTest, ParserRefusesA256thTable)
{
    std::string text = "TABLES\n";
    for (int i = 0; i < 255; ++i)
        text += "NUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\nBEGIN_DATA\n1\nEND_DATA\n";
    SheetPtr full = parse(text);   // input ends after the 255th table
    ASSERT_TRUE(full);
    EXPECT_EQ(cgatsTableCount(full.get()), 255u);
    EXPECT_FALSE(parse(text + "SERIAL 1\n"));
    EXPECT_TRUE(reported(": Line 2042, Too many tables (256 tables, max=255)"));
}

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

struct FailureCase {
    const char* text;
    const char* message;
};

TEST_F(CgatsTest, BadTextFailsWithItsLineAndMessage)
{
    const FailureCase cases[] = {
        {"CGATS.17\nA 1\nB \x01\n", ": Line 3, Unrecognized character: 0x1"},
        {"CGATS.17\nA 0x80000000\n", ": Line 2, Invalid hexadecimal number"},
        {"CGATS.17\nA 0b111111111111111111111111111111111\n", ": Line 2, Invalid binary number"},
        {"CGATS.17\nA BEGIN_DATA_FORMAT\n", ": Line 2, Property data expected"},
        {"CGATS.17\n12 3\n", ": Line 2, expected keyword or identifier"},
        {"CGATS.17\nNUMBER_OF_FIELDS 2\nBEGIN_DATA_FORMAT X\n", ": Line 3, Expected separator"},
        {"CGATS.17\nNUMBER_OF_FIELDS 2\nBEGIN_DATA_FORMAT\nX 12\n", ": Line 4, Sample type expected"},
        {"CGATS.17\nNUMBER_OF_FIELDS 3\nBEGIN_DATA_FORMAT\nX Y\nEND_DATA_FORMAT\n",
         ": Line 5, Count mismatch. NUMBER_OF_FIELDS was 3, found 2\n"},
        {"CGATS.17\nNUMBER_OF_FIELDS 1\nBEGIN_DATA_FORMAT\nX Y\nEND_DATA_FORMAT\n",
         ": Line 4, More than NUMBER_OF_FIELDS fields."},
        {"CGATS.17\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\n", ": Line 3, AllocateDataFormat: Unknown NUMBER_OF_FIELDS"},
        {"CGATS.17\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 0\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\nBEGIN_DATA\nEND_DATA\n",
         ": Line 8, Count mismatch. NUMBER_OF_SETS was 0, found 1\n"},
        {"CGATS.17\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 3\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\nBEGIN_DATA\n1\n2\n"
         "END_DATA\n",
         ": Line 10, Count mismatch. NUMBER_OF_SETS was 3, found 2\n"},
        {"CGATS.17\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\nBEGIN_DATA\n1 2\n",
         ": Line 8, Patch 1 out of range, there are 1 patches"},
        {"CGATS.17\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\nBEGIN_DATA_FORMAT\nX\nEND_DATA_FORMAT\nBEGIN_DATA\n"
         "KEYWORD\n",
         ": Line 8, Sample data expected"},
        {"CGATS.17\nNUMBER_OF_FIELDS 1\nNUMBER_OF_SETS 1\nBEGIN_DATA\n1\nEND_DATA\n", ": Line 7, Undefined DATA_FORMAT"},
        {"CGATS.17\nNUMBER_OF_FIELDS 40000\nNUMBER_OF_SETS 1\nBEGIN_DATA\n", ": Line 4, AllocateDataSet: too much data"},
        {"CGATS.17\nNUMBER_OF_FIELDS 2\nNUMBER_OF_SETS -1\nBEGIN_DATA\n", ": Line 4, AllocateDataSet: too much data"},
        // Counts the text could never fill are refused before anything is allocated.
        {"CGATS.17\nNUMBER_OF_FIELDS 30000\nNUMBER_OF_SETS 30000\nBEGIN_DATA\n", ": Line 4, AllocateDataSet: too much data"},
        {"CGATS.17\nNUMBER_OF_FIELDS 40000\nBEGIN_DATA_FORMAT\nX\n", ": Line 4, AllocateDataFormat: too many fields"},
        {"CGATS.17\n$INCLUDE \"other.txt\"\n", ": Line 2, Includes are not allowed in text parsed from memory"},
        {"CGATS.17\n.include \"/etc/passwd\"\n", ": Line 2, Includes are not allowed in text parsed from memory"},
    };
    for (const FailureCase& c : cases) {
        reports.clear();
        EXPECT_FALSE(parse(c.text)) << c.text;
        ASSERT_FALSE(reports.empty()) << c.text;
        EXPECT_EQ(reports.back().text, c.message) << c.text;
        EXPECT_EQ(reports.back().code, uint32_t(ErrCorruptionDetected));
    }
}

TEST_F(CgatsTest, TextEndsAtAZeroByteOrControlZ)
{
    const std::string text = std::string("CGATS.17\nA 1\n") + '\0' + "B 2\n";
    SheetPtr sheet = parse(text);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(cgatsPropertyText(sheet.get(), "B"), nullptr);
    SheetPtr ctrlZ = parse("CGATS.17\nA 1\n\x1a" "B 2\n");
    ASSERT_TRUE(ctrlZ);
    EXPECT_EQ(cgatsPropertyText(ctrlZ.get(), "B"), nullptr);
}

TEST_F(CgatsTest, LineEndsOfEveryKindCountLines)
{
    EXPECT_FALSE(parse("CGATS.17\r\nA 1\rB 2\r\n\nC \x02\n"));
    EXPECT_TRUE(reported(": Line 5, Unrecognized character: 0x2"));
}

// ---------------------------------------------------------------------------
// Writing into a small buffer
// ---------------------------------------------------------------------------

TEST_F(CgatsTest, WritesThatDoNotFitAreDroppedWhole)
{
    SheetPtr sheet = newSheet();
    ASSERT_TRUE(cgatsSetPropertyText(sheet.get(), "NAME", "value"));
    // Writes: "CGATS.17" "\n" "NAME" "\t" "\"" "value" "\"" "\n" = 22 characters.
    uint32_t size = 0;
    ASSERT_TRUE(cgatsSaveToMemory(sheet.get(), nullptr, &size));
    EXPECT_EQ(size, 23u);

    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    uint32_t length = sizeof buffer;
    reports.clear();
    EXPECT_TRUE(cgatsSaveToMemory(sheet.get(), buffer, &length));
    EXPECT_EQ(length, 23u);
    EXPECT_STREQ(buffer, "CGATS.17\nNAME\t\"");   // 15 characters: "value" would pass the limit
    ASSERT_EQ(reports.size(), 3u);                // "value", "\"" and "\n" refused
    EXPECT_EQ(reports[0].code, uint32_t(ErrWrite));
    EXPECT_EQ(reports[0].text, "Write to memory overflows in CGATS parser");
}

// ---------------------------------------------------------------------------
// Files and includes
// ---------------------------------------------------------------------------

class CgatsFileTest : public CgatsTest {
protected:
    void SetUp() override
    {
        CgatsTest::SetUp();
        dir = std::filesystem::temp_directory_path() /
              ("cgats_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir / "sub");
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
        CgatsTest::TearDown();
    }
    std::string write(const std::string& name, const std::string& text)
    {
        const std::filesystem::path path = dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    std::filesystem::path dir;
};

TEST_F(CgatsFileTest, IncludesAreReadRelativeToTheIncludingFile)
{
    write("sub/fields.txt", "NUMBER_OF_FIELDS 2\n$INCLUDE \"sets.txt\"\n");
    write("sub/sets.txt", "NUMBER_OF_SETS 1");
    const std::string main = write("sub/main.txt", "MEASURED\nORIGINATOR \"lab\"\n.INCLUDE \"fields.txt\"\n"
                                                   "BEGIN_DATA_FORMAT\nA B\nEND_DATA_FORMAT\nBEGIN_DATA\n1 2\nEND_DATA\n");
    SheetPtr sheet(cgatsParseFile(ctx, main.c_str()), &freeCgatsSheet);
    ASSERT_TRUE(sheet) << (reports.empty() ? "" : reports.back().text);
    EXPECT_STREQ(cgatsSheetType(sheet.get()), "MEASURED");
    EXPECT_EQ(cgatsPropertyNumber(sheet.get(), "NUMBER_OF_FIELDS"), 2);
    EXPECT_EQ(cgatsPropertyNumber(sheet.get(), "NUMBER_OF_SETS"), 1);
    EXPECT_STREQ(cgatsDataCell(sheet.get(), 0, 1), "2");
}

TEST_F(CgatsFileTest, IncludeFailuresNameTheirFileAndLine)
{
    const std::string loop = write("loop.txt", "LOOPING\nA 1\n$INCLUDE \"loop.txt\"\n");
    EXPECT_FALSE(SheetPtr(cgatsParseFile(ctx, loop.c_str()), &freeCgatsSheet));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().text.rfind(loop + ": Line ", 0), 0u);
    EXPECT_TRUE(reports.back().text.ends_with(", Too many recursion levels"));

    const std::string missing = write("missing.txt", "MISSING\nA 1\n$INCLUDE \"nowhere.txt\"\n");
    EXPECT_FALSE(SheetPtr(cgatsParseFile(ctx, missing.c_str()), &freeCgatsSheet));
    EXPECT_TRUE(reported(missing + ": Line 3, File " + (dir / "nowhere.txt").string() + " not found"));

    const std::string bare = write("bare.txt", "BARE_NAME\nA 1\n$INCLUDE nowhere.txt\n");
    EXPECT_FALSE(SheetPtr(cgatsParseFile(ctx, bare.c_str()), &freeCgatsSheet));
    EXPECT_TRUE(reported(bare + ": Line 3, Filename expected"));

    const std::string tooLong = write("long.txt", "LONG_NAME\n$INCLUDE \"" + std::string(300, 'n') + "\"\n");
    EXPECT_FALSE(SheetPtr(cgatsParseFile(ctx, tooLong.c_str()), &freeCgatsSheet));
    EXPECT_TRUE(reported(tooLong + ": Line 2, File path too long"));

    write("inner.txt", "A 1\nB \x01\n");
    const std::string outer = write("outer.txt", "OUTER_TYPE\n$INCLUDE \"inner.txt\"\n");
    EXPECT_FALSE(SheetPtr(cgatsParseFile(ctx, outer.c_str()), &freeCgatsSheet));
    EXPECT_TRUE(reported((dir / "inner.txt").string() + ": Line 3, Unrecognized character: 0x1"));
}

} // namespace
