// Localized texts (lookup, encodings, sizes), named colour lists and their
// stage, profile sequences and dictionaries.
#include "oslinternal.h"
#include "tag_objects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testbytes;
using namespace tagtest;

namespace {

class NamedTest : public TagTypesTest {
protected:
    OwnedText newText() { return OwnedText(newLocalizedText(ctx, 0), &freeLocalizedText); }
};

using OwnedList = std::unique_ptr<NamedColorList, decltype(&freeNamedColorList)>;

std::wstring wide(const LocalizedText* t, const char* language, const char* country)
{
    const uint32_t n = getTextWide(t, language, country, nullptr, 0);
    if (n == 0) return L"<none>";
    std::wstring s(n, L'\0');
    getTextWide(t, language, country, s.data(), n);
    s.resize(n - 1);
    return s;
}

// ---------------------------------------------------------------------------
// LocalizedText
// ---------------------------------------------------------------------------

TEST_F(NamedTest, LookupTakesTheCodesThenTheLanguageThenTheFirstEntry)
{
    OwnedText t = newText();
    ASSERT_TRUE(setTextUtf8(t.get(), "en", "US", "Color"));
    ASSERT_TRUE(setTextUtf8(t.get(), "en", "GB", "Colour"));
    ASSERT_TRUE(setTextUtf8(t.get(), "de", "DE", "Farbe"));
    ASSERT_TRUE(setTextUtf8(t.get(), "fr", nullptr, "Couleur"));
    struct Case {
        const char* language;
        const char* country;
        const char* expected;
    };
    const Case cases[] = {
        {"en", "US", "Color"},  {"en", "GB", "Colour"}, {"en", "CA", "Color"},  {"de", "AT", "Farbe"},
        {"fr", "", "Couleur"},  {"fr", "CA", "Couleur"}, {"ja", "JP", "Color"}, {"", "", "Color"},
        {nullptr, nullptr, "Color"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(utf8(t.get(), c.language, c.country), c.expected)
            << (c.language ? c.language : "null") << "/" << (c.country ? c.country : "null");

    char language[3], country[3];
    ASSERT_TRUE(localizedTextEntryCodes(t.get(), 3, language, country));
    EXPECT_STREQ(language, "fr");
    EXPECT_STREQ(country, "");
    EXPECT_FALSE(localizedTextEntryCodes(t.get(), 4, language, country));
    EXPECT_EQ(localizedTextEntryCount(t.get()), 4u);

    // Codes pack their letters high byte first.
    EXPECT_EQ(packTextCode("en"), 0x656E);
    EXPECT_EQ(packTextCode(""), 0);
    EXPECT_EQ(packTextCode(nullptr), 0);
    EXPECT_EQ(t->entries[1].country, 0x4742);   // "GB"
}

TEST_F(NamedTest, SizesCountTheTerminatorAndBuffersCutTheText)
{
    OwnedText t = newText();
    ASSERT_TRUE(setText8(t.get(), "", "", "Colour"));
    char small[4];
    wchar_t smallWide[4];
    EXPECT_EQ(getText8(t.get(), "", "", nullptr, 0), 7u);
    EXPECT_EQ(getText8(t.get(), "", "", small, 4), 4u);
    EXPECT_STREQ(small, "Col");
    EXPECT_EQ(getText8(t.get(), "", "", small, 0), 0u);
    EXPECT_EQ(getTextWide(t.get(), "", "", nullptr, 0), 7u);
    EXPECT_EQ(getTextWide(t.get(), "", "", smallWide, 4), 4u);
    EXPECT_EQ(std::wstring(smallWide), L"Col");

    // UTF-8 is cut at whole characters: 'a' (1 byte), U+00E9 (2), U+1F600 (4).
    OwnedText u = newText();
    ASSERT_TRUE(setTextUtf8(u.get(), "", "", "a\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_EQ(getTextUtf8(u.get(), "", "", nullptr, 0), 8u);
    struct Case {
        uint32_t size, returned;
        const char* text;
    };
    for (const Case& c : {Case{1, 1, ""}, Case{2, 2, "a"}, Case{3, 2, "a"}, Case{4, 4, "a\xC3\xA9"},
                          Case{7, 4, "a\xC3\xA9"}, Case{8, 8, "a\xC3\xA9\xF0\x9F\x98\x80"}}) {
        char buffer[16];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(getTextUtf8(u.get(), "", "", buffer, c.size), c.returned) << c.size;
        EXPECT_STREQ(buffer, c.text) << c.size;
    }

    // No entries, no text; an empty entry is a text of one terminator.
    OwnedText none = newText();
    EXPECT_EQ(getText8(none.get(), "", "", nullptr, 0), 0u);
    EXPECT_EQ(getTextUtf8(nullptr, "", "", nullptr, 0), 0u);
    ASSERT_TRUE(setText8(none.get(), "en", "", ""));
    EXPECT_EQ(getText8(none.get(), "", "", nullptr, 0), 1u);
    EXPECT_EQ(narrow(none.get(), "en", ""), "");
}

TEST_F(NamedTest, EncodingsConvertThroughUtf16)
{
    struct Case {
        const char* name;
        const char* utf8In;          // set with setTextUtf8 unless null
        const char* bytesIn;         // set with setText8 unless null
        const wchar_t* wideIn;       // set with setTextWide unless null
        std::vector<uint16_t> units; // what the pool holds
        std::string utf8Out, narrowOut;
        std::wstring wideOut;
    };
    const Case cases[] = {
        {"ASCII", "Tone", nullptr, nullptr, {'T', 'o', 'n', 'e'}, "Tone", "Tone", L"Tone"},
        {"Latin-1 and beyond", "a\xC3\xA9\xE2\x82\xAC", nullptr, nullptr, {'a', 0xE9, 0x20AC},
         "a\xC3\xA9\xE2\x82\xAC", "a\xE9?", L"a\u00e9\u20ac"},
        {"astral plane", "\xF0\x9F\x98\x80", nullptr, nullptr, {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", "??",
         L"\U0001F600"},
        // 8-bit text widens bytes as signed values: 0xE9 becomes 0xFFE9.
        {"8-bit high byte", nullptr, "caf\xE9", nullptr, {'c', 'a', 'f', 0xFFE9}, "caf\xEF\xBF\xA9", "caf?",
         L"caf\uffe9"},
        {"wide", nullptr, nullptr, L"\u03a9\U0001F600", {0x3A9, 0xD83D, 0xDE00}, "\xCE\xA9\xF0\x9F\x98\x80", "???",
         L"\u03a9\U0001F600"},
        // A lone surrogate keeps its unit; UTF-8 shows the replacement character.
        {"lone surrogate", nullptr, nullptr, L"x\xD800", {'x', 0xD800}, "x\xEF\xBF\xBD", "x?", L"x\xD800"},
        // Malformed UTF-8 becomes U+FFFD: a broken pair, an overlong form, a cut sequence.
        {"malformed UTF-8", "\xC3(\xC0\xAF\xE2\x82", nullptr, nullptr, {0xFFFD, '(', 0xFFFD, 0xFFFD, 0xFFFD},
         "\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "?(???", L"\ufffd(\ufffd\ufffd\ufffd"},
    };
    for (const Case& c : cases) {
        OwnedText t = newText();
        const bool set = c.utf8In    ? setTextUtf8(t.get(), "en", "", c.utf8In)
                         : c.bytesIn ? setText8(t.get(), "en", "", c.bytesIn)
                                     : setTextWide(t.get(), "en", "", c.wideIn);
        ASSERT_TRUE(set) << c.name;
        ASSERT_EQ(t->entries[0].length, 2 * c.units.size()) << c.name;
        EXPECT_EQ(0, std::memcmp(t->pool, c.units.data(), 2 * c.units.size())) << c.name;
        EXPECT_EQ(utf8(t.get(), "en", ""), c.utf8Out) << c.name;
        EXPECT_EQ(narrow(t.get(), "en", ""), c.narrowOut) << c.name;
        EXPECT_EQ(wide(t.get(), "en", ""), c.wideOut) << c.name;
    }
}

TEST_F(NamedTest, APairOfCodesTakesOneEntry)
{
    OwnedText t = newText();
    EXPECT_TRUE(setText8(t.get(), "en", "US", "first"));
    EXPECT_FALSE(setText8(t.get(), "en", "US", "second"));
    EXPECT_FALSE(setTextUtf8(t.get(), "en", "US", "third"));
    EXPECT_TRUE(setText8(t.get(), "en", "", "other country"));
    EXPECT_EQ(localizedTextEntryCount(t.get()), 2u);
    EXPECT_EQ(narrow(t.get(), "en", "US"), "first");
    EXPECT_FALSE(setText8(nullptr, "en", "US", "x"));
}

TEST_F(NamedTest, ManyEntriesGrowTheListAndThePool)
{
    OwnedText t(newLocalizedText(ctx, 1), &freeLocalizedText);
    auto codes = [](int i) {
        return std::pair{std::string{char('a' + i / 26), char('a' + i % 26)}, std::string{char('A' + i % 7), 'X'}};
    };
    for (int i = 0; i < 300; ++i) {
        const auto [language, country] = codes(i);
        ASSERT_TRUE(setText8(t.get(), language.c_str(), country.c_str(), std::string(i % 40, char('0' + i % 10)).c_str()));
    }
    EXPECT_EQ(localizedTextEntryCount(t.get()), 300u);
    EXPECT_GE(t->poolSize, t->poolUsed);
    // The pool doubles from 256 bytes.
    EXPECT_EQ(t->poolSize & (t->poolSize - 1), 0u);
    OwnedText copy(duplicateLocalizedText(t.get()), &freeLocalizedText);
    for (int i = 0; i < 300; ++i) {
        const auto [language, country] = codes(i);
        const std::string expected(i % 40, char('0' + i % 10));
        EXPECT_EQ(narrow(t.get(), language.c_str(), country.c_str()), expected) << i;
        EXPECT_EQ(narrow(copy.get(), language.c_str(), country.c_str()), expected) << i;
    }
}

TEST_F(NamedTest, ProfileTextReadsTheFourTextTags)
{
    OwnedText desc = newText(), maker = newText(), copyright = newText();
    setTextUtf8(desc.get(), "en", "US", "Sample");
    setTextUtf8(desc.get(), "de", "DE", "Beispiel");
    setTextUtf8(maker.get(), "", "", "Osterlane");
    setTextUtf8(copyright.get(), "", "", "No rights reserved");
    ProfilePtr p = blank(4.3);
    storeTag(p.get(), sig("desc"), desc.get());
    storeTag(p.get(), sig("dmnd"), maker.get());
    storeTag(p.get(), sig("cprt"), copyright.get());
    ProfilePtr back = open(save(p.get()));
    struct Case {
        uint32_t which;
        const char *language, *country;
        std::string expected;
    };
    const Case cases[] = {
        {InfoDescription, "de", "DE", "Beispiel"}, {InfoDescription, "fr", "FR", "Sample"},
        {InfoManufacturer, "en", "US", "Osterlane"}, {InfoModel, "en", "US", ""},
        {InfoCopyright, "", "", "No rights reserved"}, {4, "en", "US", ""},
    };
    for (const Case& c : cases) {
        char buffer[64] = "";
        const uint32_t n = profileTextUtf8(back.get(), c.which, c.language, c.country, buffer, sizeof buffer);
        EXPECT_EQ(n, c.expected.empty() ? 0u : c.expected.size() + 1) << c.which;
        EXPECT_EQ(std::string(buffer), c.expected) << c.which;
        wchar_t w[64] = L"";
        EXPECT_EQ(profileText(back.get(), c.which, c.language, c.country, w, 64), n) << c.which;
    }
}

// ---------------------------------------------------------------------------
// Named colours
// ---------------------------------------------------------------------------

TEST_F(NamedTest, NamedColoursKeepNamesValuesAndOrder)
{
    OwnedList list(newNamedColorList(ctx, 0, 2, "Osterlane ", " (gloss)"), &freeNamedColorList);
    ASSERT_TRUE(list);
    const uint16_t pcs[3] = {0x8000, 0x1234, 0xFEDC};
    const uint16_t device[2] = {7, 65535};
    ASSERT_TRUE(appendNamedColor(list.get(), "Harbour Blue", pcs, device));
    ASSERT_TRUE(appendNamedColor(list.get(), "A name far longer than thirty-two characters", nullptr, nullptr));
    EXPECT_EQ(namedColorCount(list.get()), 2u);
    EXPECT_EQ(namedColorDeviceCoordinates(list.get()), 2u);

    char name[33], prefix[33], suffix[33];
    uint16_t outPcs[3], outDevice[16];
    ASSERT_TRUE(namedColorInfo(list.get(), 0, name, prefix, suffix, outPcs, outDevice));
    EXPECT_STREQ(name, "Harbour Blue");
    EXPECT_STREQ(prefix, "Osterlane ");
    EXPECT_STREQ(suffix, " (gloss)");
    EXPECT_EQ(outPcs[1], 0x1234);
    EXPECT_EQ(outDevice[1], 65535);
    ASSERT_TRUE(namedColorInfo(list.get(), 1, name, nullptr, nullptr, outPcs, outDevice));
    EXPECT_STREQ(name, "A name far longer than thirty-tw");   // 32 characters
    EXPECT_EQ(outPcs[0], 0);
    EXPECT_EQ(outDevice[0], 0);
    EXPECT_FALSE(namedColorInfo(list.get(), 2, name, nullptr, nullptr, nullptr, nullptr));

    EXPECT_EQ(namedColorIndex(list.get(), "harbour blue"), 0);
    EXPECT_EQ(namedColorIndex(list.get(), "Harbour"), -1);
    EXPECT_EQ(namedColorIndex(list.get(), nullptr), -1);

    OwnedList copy(duplicateNamedColorList(list.get()), &freeNamedColorList);
    list.reset();
    expectSameNamedColors(copy.get(), copy.get(), "copy");
    ASSERT_TRUE(namedColorInfo(copy.get(), 0, name, prefix, nullptr, nullptr, nullptr));
    EXPECT_STREQ(name, "Harbour Blue");
    EXPECT_STREQ(prefix, "Osterlane ");
}

TEST_F(NamedTest, ListsStopAtTheirLimits)
{
    EXPECT_EQ(newNamedColorList(ctx, 1, 17, "", ""), nullptr);
    expectOnly(ErrRange, "Too many device coordinates '17'");
    reports().clear();
    EXPECT_EQ(newNamedColorList(ctx, 65537, 0, "", ""), nullptr);
    expectOnly(ErrRange, "Too many named colors '65537'");
    reports().clear();

    // The capacity doubles from 64; 65536 colours fit, one more does not.
    OwnedList list(newNamedColorList(ctx, 0, 1, "", ""), &freeNamedColorList);
    for (uint32_t i = 0; i < 65536; ++i) ASSERT_TRUE(appendNamedColor(list.get(), "c", nullptr, nullptr)) << i;
    EXPECT_TRUE(reports().empty());
    EXPECT_FALSE(appendNamedColor(list.get(), "one too many", nullptr, nullptr));
    expectOnly(ErrRange, "Too many named colors '65537'");
    EXPECT_EQ(namedColorCount(list.get()), 65536u);
}

TEST_F(NamedTest, TheStageGivesTheColourOfAnIndex)
{
    OwnedList list(newNamedColorList(ctx, 2, 3, "", ""), &freeNamedColorList);
    const uint16_t pcs0[3] = {0, 32768, 65535}, pcs1[3] = {65535, 13107, 0};
    const uint16_t dev0[3] = {1, 2, 3}, dev1[3] = {65535, 0, 32768};
    appendNamedColor(list.get(), "zero", pcs0, dev0);
    appendNamedColor(list.get(), "one", pcs1, dev1);
    using OwnedStage = std::unique_ptr<Stage, decltype(&freeStage)>;
    OwnedStage toPcs(newNamedColorStage(list.get(), true), &freeStage);
    OwnedStage toDevice(newNamedColorStage(list.get(), false), &freeStage);
    ASSERT_TRUE(toPcs && toDevice);
    EXPECT_EQ(stageKind(toPcs.get()), StageNamedColorKind);
    EXPECT_EQ(stageInputs(toPcs.get()), 1u);
    EXPECT_EQ(stageOutputs(toPcs.get()), 3u);
    EXPECT_EQ(stageOutputs(toDevice.get()), 3u);
    list.reset();   // the stages keep their own copies

    float in = 1 / 65535.0f, out[3];
    evalStageFloat(toPcs.get(), &in, out);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[1], 13107 / 65535.0f);
    evalStageFloat(toDevice.get(), &in, out);
    EXPECT_FLOAT_EQ(out[2], 32768 / 65535.0f);
    in = 0;
    evalStageFloat(toPcs.get(), &in, out);
    EXPECT_FLOAT_EQ(out[1], 32768 / 65535.0f);

    in = 2 / 65535.0f;
    evalStageFloat(toPcs.get(), &in, out);
    expectOnly(ErrRange, "Color 2 out of range");
    EXPECT_EQ(out[0], 0.0f);

    OwnedStage copy(duplicateStage(toDevice.get()), &freeStage);
    in = 1 / 65535.0f;
    evalStageFloat(copy.get(), &in, out);
    EXPECT_FLOAT_EQ(out[0], 1.0f);

    OwnedList colorants(newNamedColorList(ctx, 1, 0, "", ""), &freeNamedColorList);
    appendNamedColor(colorants.get(), "Cyan", pcs0, nullptr);
    EXPECT_EQ(newNamedColorStage(colorants.get(), false), nullptr);
}

// ---------------------------------------------------------------------------
// Profile sequences and dictionaries
// ---------------------------------------------------------------------------

TEST_F(NamedTest, SequencesCopyTheirTexts)
{
    std::unique_ptr<ProfileSequence, decltype(&freeProfileSequence)> seq(newProfileSequence(ctx, 3),
                                                                         &freeProfileSequence);
    ASSERT_TRUE(seq);
    EXPECT_EQ(seq->count, 3u);
    EXPECT_EQ(seq->items[2].manufacturer, 0u);
    EXPECT_EQ(seq->items[2].modelText, nullptr);
    seq->items[1].manufacturer = sig("OSTL");
    seq->items[1].manufacturerText = newLocalizedText(ctx, 1);
    setText8(seq->items[1].manufacturerText, "", "", "Osterlane");
    std::unique_ptr<ProfileSequence, decltype(&freeProfileSequence)> copy(duplicateProfileSequence(seq.get()),
                                                                          &freeProfileSequence);
    seq.reset();
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->items[1].manufacturer, sig("OSTL"));
    EXPECT_EQ(narrow(copy->items[1].manufacturerText, "", ""), "Osterlane");
    EXPECT_EQ(copy->items[0].manufacturerText, nullptr);

    std::unique_ptr<ProfileSequence, decltype(&freeProfileSequence)> empty(newProfileSequence(ctx, 0),
                                                                           &freeProfileSequence);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->items, nullptr);
}

TEST_F(NamedTest, DictionariesKeepTheirEntriesInOrder)
{
    std::unique_ptr<IccDictionary, decltype(&freeDictionary)> dict(newDictionary(ctx), &freeDictionary);
    OwnedText display = newText();
    setTextUtf8(display.get(), "en", "US", "Shown name");
    EXPECT_TRUE(addDictionaryEntry(dict.get(), L"first", L"1", display.get(), nullptr));
    EXPECT_TRUE(addDictionaryEntry(dict.get(), L"second", nullptr, nullptr, display.get()));
    EXPECT_TRUE(addDictionaryEntry(dict.get(), L"third", L"", nullptr, nullptr));
    EXPECT_FALSE(addDictionaryEntry(dict.get(), nullptr, L"x", nullptr, nullptr));
    display.reset();

    std::unique_ptr<IccDictionary, decltype(&freeDictionary)> copy(duplicateDictionary(dict.get()), &freeDictionary);
    dict.reset();
    std::vector<std::wstring> names;
    for (const DictEntry* e = dictionaryEntries(copy.get()); e; e = e->next) names.push_back(e->name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"first", L"second", L"third"}));
    const DictEntry* first = dictionaryEntries(copy.get());
    EXPECT_EQ(std::wstring(first->value), L"1");
    EXPECT_EQ(utf8(first->displayName, "en", "US"), "Shown name");
    EXPECT_EQ(first->next->value, nullptr);
    EXPECT_EQ(std::wstring(first->next->next->value), L"");
    EXPECT_EQ(dictionaryEntries(nullptr), nullptr);
}

} // namespace
