#include "app/core/recipe.h"

#include "profiles/core/builtinspaces.h"

#include <QLocale>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using SheetPtr = std::unique_ptr<CgatsSheet, decltype(&freeCgatsSheet)>;

constexpr uint32_t TargetTag = sig("targ");
constexpr uint32_t DescriptionTag = sig("desc");
constexpr uint32_t CopyrightTag = sig("cprt");

// Correlate choices of the CAM16 editors: J/Q, then C/M/s, then hue alone.
constexpr int CorrelateChoices[CorrelateCount] = {2, 3, 0};

QString sliderLabel(int row)
{
    return QStringLiteral("SLIDER_%1").arg(row);
}

// A free text made writable as a quoted CGATS value: line ends become
// blanks, and with both quote characters present the double ones turn single.
QByteArray quotableText(const QString& text)
{
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String(" "));
    t.replace(QChar('\r'), QChar(' '));
    t.replace(QChar('\n'), QChar(' '));
    if (t.contains(QChar('"')) && t.contains(QChar('\''))) t.replace(QChar('"'), QChar('\''));
    return t.toUtf8();
}

// Empty texts are not written (the sheet then has no such property).
bool setText(CgatsSheet* sheet, const char* key, const QByteArray& value)
{
    return value.isEmpty() || cgatsSetPropertyText(sheet, key, value.constData());
}

bool setNumber(CgatsSheet* sheet, const char* key, double value)
{
    return cgatsSetPropertyNumber(sheet, key, value);
}

// The two-column table of curve states, one row per curve.
template <size_t N>
bool writeCurveRows(CgatsSheet* sheet, const std::array<ChannelCurve, N>& curves)
{
    const QByteArray sets = QByteArray::number(qulonglong(N));
    if (!cgatsSetPropertyText(sheet, "NUMBER_OF_FIELDS", "2") ||
        !cgatsSetPropertyText(sheet, "NUMBER_OF_SETS", sets.constData()) ||
        !cgatsSetDataFormat(sheet, 0, "SAMPLE_ID") || !cgatsSetDataFormat(sheet, 1, "SLIDER_VALUE"))
        return false;
    for (size_t row = 0; row < N; ++row) {
        const QByteArray id = sliderLabel(int(row)).toLatin1();
        const QByteArray state = curves[row].toStateString().toLatin1();
        if (!cgatsSetDataCell(sheet, int32_t(row), 0, id.constData()) ||
            !cgatsSetDataCell(sheet, int32_t(row), 1, state.constData()))
            return false;
    }
    return true;
}

template <size_t N>
void readCurveRows(CgatsSheet* sheet, std::array<ChannelCurve, N>& curves)
{
    for (size_t row = 0; row < N; ++row) {
        const char* cell = cgatsDataCell(sheet, int32_t(row), 1);
        if (cell) curves[row].fromStateString(QString::fromLatin1(cell));
    }
}

QString textProperty(CgatsSheet* sheet, const char* key)
{
    const char* text = cgatsPropertyText(sheet, key);
    return text ? QString::fromUtf8(text) : QString();
}

// A property read as a decimal integer; absent or not an integer gives 0.
int integerProperty(CgatsSheet* sheet, const char* key)
{
    return textProperty(sheet, key).trimmed().toInt();
}

const char* sheetKey(Resolution r)
{
    return resolutionRange(r).sheetKey;
}

// A resolution value as an integer, raised to the least a recipe holds.
int raisedProperty(CgatsSheet* sheet, Resolution r)
{
    return std::max(integerProperty(sheet, sheetKey(r)), int(resolutionRange(r).recipeLowest));
}

std::optional<ViewingConditionsEntry> conditionsProperty(CgatsSheet* sheet, const char* key)
{
    const QString text = textProperty(sheet, key);
    if (text.isEmpty()) return std::nullopt;
    return decodePresetEntry(text);
}

bool writeSheet(CgatsSheet* sheet, const Recipe& r)
{
    const ResolutionPreferences& res = r.resolution;
    // Table 0: the program, the resolution, the texts and Softproofing.
    if (cgatsSelectTable(sheet, 0) != 0 || !cgatsSetSheetType(sheet, RecipeText::SheetType) ||
        !cgatsAddComment(sheet, RecipeText::Comment) ||
        !cgatsSetPropertyText(sheet, "TONEMOLDER_VERSION", RecipeText::ProgramVersion) ||
        !setNumber(sheet, sheetKey(Resolution::Version), res.versionIndex) ||
        !setNumber(sheet, sheetKey(Resolution::GridLStar), res.gridLstar) ||
        !setNumber(sheet, sheetKey(Resolution::GridAbStar), res.gridAbstar) ||
        !setNumber(sheet, sheetKey(Resolution::CurvePoints), res.gridCurves) ||
        !setNumber(sheet, sheetKey(Resolution::SigmoidShape), res.sigmoidShape) ||
        !setText(sheet, "DESCRIPTION", quotableText(r.description)) ||
        !setText(sheet, "COPYRIGHT", quotableText(r.copyright)) ||
        !setNumber(sheet, "GENERATOR", int(r.tab)) ||
        !setText(sheet, "SOFTPROOF_ICC", r.softproofProfile.toUtf8()) ||
        !setNumber(sheet, "SOFTPROOF_INTENT_INDEX", r.softproofIntent) || !writeCurveRows(sheet, r.channels))
        return false;

    // Table 1: CIE CAM16. Without a separate destination the source is
    // written again.
    const ViewingConditionsEntry* dest = r.destinationConditions();
    if (cgatsSelectTable(sheet, 1) != 1 || !cgatsAddComment(sheet, "CIE CAM16") ||
        (r.sourceConditions && !setText(sheet, "SOURCE_VC", encodePreset(*r.sourceConditions).toLatin1())) ||
        (dest && !setText(sheet, "DEST_VC", encodePreset(*dest).toLatin1())) ||
        !writeCurveRows(sheet, r.correlates))
        return false;

    // Table 2: CUBE import. Besides the table's file, the RGB space and the
    // intent it is applied with, without which the recipe could not be
    // rebuilt as it was saved.
    return cgatsSelectTable(sheet, 2) == 2 && cgatsAddComment(sheet, "CUBE import") &&
           setText(sheet, "CUBE_FILE", r.cubeFile.toUtf8()) && setText(sheet, "CUBE_ICC", r.lutProfile.toUtf8()) &&
           setNumber(sheet, "CUBE_INTENT_INDEX", r.lutIntent);
}

void readSheet(CgatsSheet* sheet, RecipeReadResult& result)
{
    Recipe& r = result.recipe;
    ResolutionPreferences& res = r.resolution;
    res.versionIndex = integerProperty(sheet, sheetKey(Resolution::Version));
    res.gridLstar = raisedProperty(sheet, Resolution::GridLStar);
    res.gridAbstar = raisedProperty(sheet, Resolution::GridAbStar);
    res.gridCurves = raisedProperty(sheet, Resolution::CurvePoints);
    res.sigmoidShape = cgatsPropertyNumber(sheet, sheetKey(Resolution::SigmoidShape));

    r.description = textProperty(sheet, "DESCRIPTION");
    r.copyright = textProperty(sheet, "COPYRIGHT");
    r.tab = RecipeTab(integerProperty(sheet, "GENERATOR"));
    r.softproofProfile = textProperty(sheet, "SOFTPROOF_ICC");
    r.softproofIntent = integerProperty(sheet, "SOFTPROOF_INTENT_INDEX");
    readCurveRows(sheet, r.channels);

    const uint32_t tables = cgatsTableCount(sheet);
    if (tables > 1 && cgatsSelectTable(sheet, 1) == 1) {
        r.sourceConditions = conditionsProperty(sheet, "SOURCE_VC");
        r.destConditions = conditionsProperty(sheet, "DEST_VC");
        r.separateDestination = r.sourceConditions.has_value() != r.destConditions.has_value() ||
                                (r.sourceConditions && !sameViewingConditions(*r.sourceConditions,
                                                                              *r.destConditions));
        readCurveRows(sheet, r.correlates);
    }
    if (tables > 2 && cgatsSelectTable(sheet, 2) == 2) {
        r.cubeFile = textProperty(sheet, "CUBE_FILE");
        // Sheets without these keep the defaults.
        if (cgatsPropertyText(sheet, "CUBE_ICC")) r.lutProfile = textProperty(sheet, "CUBE_ICC");
        if (cgatsPropertyText(sheet, "CUBE_INTENT_INDEX")) r.lutIntent = integerProperty(sheet, "CUBE_INTENT_INDEX");
    }
}

using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

bool storeText(IccProfile* profile, uint32_t tag, const QString& text)
{
    TextPtr mlu{newLocalizedText(nullptr, 1), &freeLocalizedText};
    return mlu && setTextUtf8(mlu.get(), "en", "US", text.toUtf8().constData()) && storeTag(profile, tag, mlu.get());
}

// The ICC text type that holds the sheet is 7-bit: each byte of a character
// beyond ASCII reads back as '?'. This is what a text looks like after that.
QString asStoredInSheet(const QString& text)
{
    QString folded;
    for (const QChar c : QString::fromUtf8(quotableText(text))) {
        if (c.unicode() < 0x80) folded += c;
        else folded += QString(QString(c).toUtf8().size(), QLatin1Char('?'));
    }
    return folded;
}

// The sheet's text, or the profile's own text when that is the same text
// with the characters the sheet could not hold.
QString fullText(IccProfile* profile, ProfileInfo which, const QString& sheetText)
{
    const QString tagText = profileUtf8Text(profile, which);
    if (!sheetText.contains(QLatin1Char('?')) || tagText == sheetText) return sheetText;
    return asStoredInSheet(tagText) == sheetText ? tagText : sheetText;
}

RecipeReadResult failure(RecipeReadResult::Status status, const QString& message)
{
    RecipeReadResult result;
    result.status = status;
    result.message = message;
    return result;
}

}   // namespace

// ---------------------------------------------------------------------------
// The recipe value
// ---------------------------------------------------------------------------

void configureSoftproofChannel(ChannelCurve& curve)
{
    curve.setFamilies(SoftproofFamilies);
    curve.selectFamily(CurveFamily::Preserve);
    curve.reset();
}

void configureCorrelate(ChannelCurve& curve, int index)
{
    curve.setFamilies(Cam16Families);
    curve.setCorrelateCount(index >= 0 && index < CorrelateCount ? CorrelateChoices[index] : 0);
    curve.selectFamily(CurveFamily::Preserve);
    curve.reset();
}

Recipe::Recipe()
{
    for (ChannelCurve& c : channels) configureSoftproofChannel(c);
    for (int i = 0; i < CorrelateCount; ++i) configureCorrelate(correlates[size_t(i)], i);
    const ViewingConditionsList& presets = ViewingConditionsPresets::builtIns();
    if (!presets.isEmpty()) {
        sourceConditions = presets.first();
        destConditions = presets.first();
    }
}

const ViewingConditionsEntry* Recipe::destinationConditions() const
{
    if (separateDestination && destConditions) return &*destConditions;
    return sourceConditions ? &*sourceConditions : nullptr;
}

uint32_t Recipe::correlateFlags() const
{
    uint32_t flags = 0;
    if (correlates[0].correlateIndex() == 1) flags |= Cam16FromQ;
    switch (correlates[1].correlateIndex()) {
    case 1: flags |= Cam16FromM; break;
    case 2: flags |= Cam16FromS; break;
    default: break;
    }
    return flags;
}

// ---------------------------------------------------------------------------
// Writing and reading the sheet
// ---------------------------------------------------------------------------

QByteArray recipeToText(const Recipe& recipe)
{
    SheetPtr sheet{newCgatsSheet(nullptr), &freeCgatsSheet};
    if (!sheet || !writeSheet(sheet.get(), recipe)) return {};
    uint32_t length = 0;
    if (!cgatsSaveToMemory(sheet.get(), nullptr, &length) || length == 0) return {};
    std::vector<char> buffer(size_t(length) + 1, '\0');
    uint32_t size = uint32_t(buffer.size());
    if (!cgatsSaveToMemory(sheet.get(), buffer.data(), &size)) return {};
    return QByteArray(buffer.data(), qsizetype(qstrnlen(buffer.data(), buffer.size())));
}

QString newerVersionMessage(double storedVersion)
{
    return QStringLiteral("This profile was created by tonemolder version %1, and this program is version %2."
                          "\n\nPlease update this program to open it.")
        .arg(QString::number(storedVersion, 'g', QLocale::FloatingPointShortest),
             QString::number(RecipeText::ProgramVersionNumber, 'g', QLocale::FloatingPointShortest));
}

RecipeReadResult readRecipeText(const QByteArray& text)
{
    if (text.isEmpty()) return failure(RecipeReadResult::NotOurs, RecipeText::NotOurs);
    SheetPtr sheet{cgatsParseMemory(nullptr, text.constData(), uint32_t(text.size())), &freeCgatsSheet};
    if (!sheet || cgatsTableCount(sheet.get()) == 0 || cgatsSelectTable(sheet.get(), 0) != 0)
        return failure(RecipeReadResult::NotOurs, RecipeText::NotOurs);
    const char* type = cgatsSheetType(sheet.get());
    if (!type || qstrcmp(type, RecipeText::SheetType) != 0)
        return failure(RecipeReadResult::NotOurs, RecipeText::NotOurs);

    const double version = cgatsPropertyNumber(sheet.get(), "TONEMOLDER_VERSION");
    if (version > RecipeText::ProgramVersionNumber) {
        RecipeReadResult refused = failure(RecipeReadResult::NewerVersion, newerVersionMessage(version));
        refused.storedVersion = version;
        return refused;
    }

    RecipeReadResult result;
    result.status = RecipeReadResult::Ok;
    result.storedVersion = version;
    readSheet(sheet.get(), result);
    return result;
}

// ---------------------------------------------------------------------------
// The recipe in a profile
// ---------------------------------------------------------------------------

bool storeRecipe(IccProfile* profile, const Recipe& recipe)
{
    if (!profile) return false;
    const QByteArray text = recipeToText(recipe);
    if (text.isEmpty()) return false;
    TextPtr target{newLocalizedText(nullptr, 1), &freeLocalizedText};
    return target && setText8(target.get(), "", "", text.constData()) && storeTag(profile, TargetTag, target.get()) &&
           storeText(profile, DescriptionTag, recipe.description) &&
           storeText(profile, CopyrightTag, recipe.copyright);
}

RecipeReadResult readRecipeFromProfile(IccProfile* profile)
{
    if (!profile) return failure(RecipeReadResult::InvalidProfile, RecipeText::InvalidProfile);
    RecipeReadResult result = readRecipeText(profileTargetText(profile));
    if (result.ok()) {
        Recipe& r = result.recipe;
        r.description = fullText(profile, InfoDescription, r.description);
        r.copyright = fullText(profile, InfoCopyright, r.copyright);
    }
    return result;
}

RecipeReadResult readRecipeFromFile(const QString& fileName)
{
    std::unique_ptr<IccProfile, decltype(&closeProfile)> profile{openProfileFile(fileName), &closeProfile};
    if (!profile) return failure(RecipeReadResult::InvalidProfile, RecipeText::InvalidProfile);
    return readRecipeFromProfile(profile.get());
}
