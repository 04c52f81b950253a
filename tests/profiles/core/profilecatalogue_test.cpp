#include "profiles/core/profilecatalogue.h"

#include "app/core/recipe.h"
#include "profiles/core/builtinspaces.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// A slow reference: the header fields and the description read straight from
// the bytes of a profile file.
// ---------------------------------------------------------------------------

uint32_t be32(const QByteArray& b, qsizetype at)
{
    if (at < 0 || at + 4 > b.size()) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at);
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

struct RawHeader {
    int majorVersion = 0;
    std::string deviceClass, space, pcs;
    QString description;
};

std::string fourcc(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// 'desc' as a version-2 text description (its ASCII part) or as the first
// record of a multi-localised Unicode text (UTF-16BE).
QString rawDescription(const QByteArray& b)
{
    const uint32_t count = be32(b, 128);
    for (uint32_t i = 0; i < count && i < 100; ++i) {
        const qsizetype entry = 132 + 12 * qsizetype(i);
        if (be32(b, entry) != 0x64657363) continue;   // 'desc'
        const qsizetype at = be32(b, entry + 4);
        const uint32_t type = be32(b, at);
        if (type == 0x64657363) {   // 'desc'
            const uint32_t length = be32(b, at + 8);
            return QString::fromLatin1(b.mid(at + 12, length).constData()).trimmed();
        }
        if (type == 0x6D6C7563) {   // 'mluc'
            const uint32_t length = be32(b, at + 16 + 4);
            const uint32_t offset = be32(b, at + 16 + 8);
            QString s;
            for (uint32_t k = 0; k + 1 < length; k += 2) {
                const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at + offset + k);
                s.append(QChar(char16_t(p[0] << 8 | p[1])));
            }
            return s.trimmed();
        }
    }
    return {};
}

RawHeader rawHeader(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray b = f.readAll();
    RawHeader h;
    h.majorVersion = b.size() > 8 ? static_cast<unsigned char>(b[8]) : 0;
    h.deviceClass = fourcc(be32(b, 12));
    h.space = fourcc(be32(b, 16));
    h.pcs = fourcc(be32(b, 20));
    h.description = rawDescription(b);
    return h;
}

int referenceClassBit(const std::string& c)
{
    static const std::map<std::string, int> bits = {
        {"prtr", 1}, {"scnr", 2}, {"abst", 4}, {"spac", 8}, {"mntr", 16}};
    const auto it = bits.find(c);
    return it == bits.end() ? 0 : it->second;
}

int referenceSpaceCode(const std::string& s)
{
    static const std::map<std::string, int> codes = {{"GRAY", 1}, {"RGB ", 2}, {"CMYK", 4}, {"Lab ", 8}};
    const auto it = codes.find(s);
    return it == codes.end() ? 0 : it->second;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The real profile collections the folder is made of: (source folder, name
// filter, prefix of the copies).
struct Source {
    const char* dir;
    const char* filter;
    const char* prefix;
};
constexpr Source Sources[] = {
    {"/usr/share/color/icc/colord", "*.icc", "colord-"},
    {"/usr/share/color/icc/ghostscript", "*.icc", "gs-"},
    {"/usr/share/color/argyll/ref", "*.icm", "argyll-"},
};

using SheetPtr = std::unique_ptr<CgatsSheet, decltype(&freeCgatsSheet)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

bool storeTarget(IccProfile* p, const char* text)
{
    TextPtr t{newLocalizedText(nullptr, 1), &freeLocalizedText};
    return t && setText8(t.get(), "", "", text) && storeTag(p, sig("targ"), t.get());
}

// A folder of real profiles, profiles this program makes, and junk.
class ProfileCatalogueTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(registerCurveFamilyPlugin()); }

    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        folder_ = QDir(dir_.path()).canonicalPath();
        for (const Source& s : Sources) {
            const QDir source(QString::fromLatin1(s.dir));
            const QStringList names = source.entryList({QString::fromLatin1(s.filter)}, QDir::Files);
            ASSERT_FALSE(names.isEmpty()) << "no real profiles in " << s.dir;
            for (const QString& name : names) {
                const QString copy = QString::fromLatin1(s.prefix) + name;
                ASSERT_TRUE(QFile::copy(source.filePath(name), path(copy)));
                realFiles_.push_back(copy);
            }
        }
        const QByteArray srgb = readAll(QStringLiteral("/usr/share/color/icc/colord/sRGB.icc"));
        ASSERT_FALSE(srgb.isEmpty());

        // Other spellings of the extensions, and what must never be listed.
        ASSERT_TRUE(writeAll(path("Upper.ICC"), srgb));
        ASSERT_TRUE(writeAll(path("mixed.Icm"), srgb));
        ASSERT_TRUE(writeAll(path("old-style.pf"), srgb));
        ASSERT_TRUE(writeAll(path("profile.txt"), srgb));
        ASSERT_TRUE(writeAll(path("profile.icc.bak"), srgb));
        ASSERT_TRUE(QDir(folder_).mkdir(QStringLiteral("nested.icc")));
        ASSERT_TRUE(writeAll(path("nested.icc/inner.icc"), srgb));
        ASSERT_TRUE(writeAll(path("truncated.icc"), srgb.left(200)));
        ASSERT_TRUE(writeAll(path("header-only.icc"), srgb.left(128)));
        ASSERT_TRUE(writeAll(path("empty.icm"), QByteArray()));
        ASSERT_TRUE(writeAll(path("readme.icc"), QByteArray("This is not a colour profile.\n")));
        QByteArray noise(5000, '\0');
        for (int i = 0; i < noise.size(); ++i) noise[i] = char((i * 7919 + 13) & 0xFF);
        ASSERT_TRUE(writeAll(path("noise.icc"), noise));
        // A header that claims far more than the file holds.
        QByteArray lying = srgb.left(132);
        lying[0] = char(0x7F);
        lying[128] = char(0xFF);
        lying[129] = char(0xFF);
        ASSERT_TRUE(writeAll(path("lying.icc"), lying));

        // Abstract profiles: one saved with a recipe, one with a foreign
        // 'targ' sheet, one with text that is no sheet, one with none.
        ProfilePtr recipe = adoptProfile(openProfileByName(QStringLiteral("*lab")));
        ASSERT_TRUE(recipe);
        ASSERT_TRUE(storeRecipe(recipe.get(), Recipe{}));
        ASSERT_TRUE(saveToFile(recipe.get(), path("own-recipe.icc").toLocal8Bit().constData()));
        ProfilePtr foreign = adoptProfile(openProfileByName(QStringLiteral("*lab")));
        ASSERT_TRUE(storeTarget(foreign.get(), "CGATS.17\nBEGIN_DATA_FORMAT\nSAMPLE_ID\nEND_DATA_FORMAT\n"
                                               "NUMBER_OF_SETS 1\nBEGIN_DATA\n1\nEND_DATA\n"));
        ASSERT_TRUE(saveToFile(foreign.get(), path("foreign-targ.icc").toLocal8Bit().constData()));
        ProfilePtr garbled = adoptProfile(openProfileByName(QStringLiteral("*lab")));
        ASSERT_TRUE(storeTarget(garbled.get(), "TONEMOLDER\n\"unterminated"));
        ASSERT_TRUE(saveToFile(garbled.get(), path("garbled-targ.icc").toLocal8Bit().constData()));
        ProfilePtr plain = adoptProfile(openProfileByName(QStringLiteral("*lab")));
        ASSERT_TRUE(saveToFile(plain.get(), path("plain-abstract.icc").toLocal8Bit().constData()));
        for (const char* made : {"own-recipe.icc", "foreign-targ.icc", "garbled-targ.icc", "plain-abstract.icc"})
            madeFiles_.push_back(QString::fromLatin1(made));
    }

    QString path(const QString& name) const { return folder_ + QLatin1Char('/') + name; }
    QString path(const char* name) const { return path(QString::fromLatin1(name)); }

    // Every file that a complete listing holds: the real and made profiles
    // and the three extra spellings.
    std::vector<QString> listableFiles() const
    {
        std::vector<QString> all = realFiles_;
        all.insert(all.end(), madeFiles_.begin(), madeFiles_.end());
        for (const char* n : {"Upper.ICC", "mixed.Icm", "old-style.pf"}) all.push_back(QString::fromLatin1(n));
        return all;
    }

    // The file names (without folder) a catalogue lists, in its order.
    static QStringList fileEntries(const ProfileCatalogue& c)
    {
        QStringList names;
        for (const ProfileEntry& e : c.entries()) {
            if (!e.isBuiltin) names.append(QFileInfo(e.name).fileName());
        }
        return names;
    }

    QTemporaryDir dir_;
    QString folder_;
    std::vector<QString> realFiles_;
    std::vector<QString> madeFiles_;
};

// ---------------------------------------------------------------------------
// The folder listing
// ---------------------------------------------------------------------------

TEST_F(ProfileCatalogueTest, ListsProfileExtensionsInAnyCaseAndNothingElse)
{
    QStringList names;
    for (const QString& p : profileFilesIn(folder_)) {
        EXPECT_EQ(QFileInfo(p).absolutePath(), folder_) << p.toStdString();
        names.append(QFileInfo(p).fileName());
    }
    std::set<QString> expected;
    for (const QString& n : listableFiles()) expected.insert(n);
    for (const char* junk : {"truncated.icc", "header-only.icc", "empty.icm", "readme.icc", "noise.icc", "lying.icc"})
        expected.insert(QString::fromLatin1(junk));
    EXPECT_EQ(std::set<QString>(names.begin(), names.end()), expected);
    EXPECT_EQ(names.size(), qsizetype(expected.size()));   // each once
}

TEST_F(ProfileCatalogueTest, MissingFolderListsNothingAndEmptyFolderIsTheCurrentDirectory)
{
    EXPECT_TRUE(profileFilesIn(path("no-such-folder")).isEmpty());
    EXPECT_TRUE(profileFilesIn(path("colord-sRGB.icc")).isEmpty());   // a file, not a folder

    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(path("nested.icc")));
    const QStringList here = profileFilesIn(QString());
    QDir::setCurrent(previous);
    ASSERT_EQ(here.size(), 1);
    EXPECT_EQ(here[0], path("nested.icc/inner.icc"));
}

// For each pair of masks, the catalogue lists exactly the files whose raw
// header has a listed class and space (junk never), after the built-ins.
TEST_F(ProfileCatalogueTest, FiltersByClassAndSpaceAsTheHeadersSay)
{
    struct Case {
        int classMask, spaceMask;
    };
    const Case cases[] = {{31, 31}, {25, 31}, {25, 2}, {27, 31}, {4, 31}, {1, 6}, {8, 8}, {16, 1}, {2, 8}, {0, 31}};
    for (const Case& c : cases) {
        ProfileCatalogue catalogue;
        catalogue.setClassMask(c.classMask);
        catalogue.setSpaceMask(c.spaceMask);
        catalogue.setFolder(folder_);
        catalogue.refill();

        std::multiset<QString> expected;
        for (const QString& name : listableFiles()) {
            const RawHeader h = rawHeader(path(name));
            if ((referenceClassBit(h.deviceClass) & c.classMask) && (referenceSpaceCode(h.space) & c.spaceMask))
                expected.insert(name);
        }
        const QStringList listed = fileEntries(catalogue);
        EXPECT_EQ(std::multiset<QString>(listed.begin(), listed.end()), expected)
            << "class mask " << c.classMask << ", space mask " << c.spaceMask;

        // Built-ins come first, then files only.
        bool inFiles = false;
        for (const ProfileEntry& e : catalogue.entries()) {
            if (!e.isBuiltin) inFiles = true;
            EXPECT_FALSE(inFiles && e.isBuiltin) << e.name.toStdString();
        }
    }
}

TEST_F(ProfileCatalogueTest, NamedColourAndJunkAreNeverListed)
{
    ProfileCatalogue catalogue;
    catalogue.setFolder(folder_);
    catalogue.refill();
    const QStringList listed = fileEntries(catalogue);
    for (const char* never : {"colord-x11-colors.icc", "colord-Crayons.icc", "truncated.icc", "header-only.icc",
                              "empty.icm", "readme.icc", "noise.icc", "lying.icc", "profile.txt", "inner.icc"})
        EXPECT_FALSE(listed.contains(QString::fromLatin1(never))) << never;
    EXPECT_TRUE(listed.contains(QStringLiteral("gs-default_cmyk.icc")));
    EXPECT_TRUE(listed.contains(QStringLiteral("argyll-lab2lab.icm")));
}

TEST_F(ProfileCatalogueTest, EntriesCarryTheHeaderFieldsAndDescriptions)
{
    ProfileCatalogue catalogue;
    catalogue.setFolder(folder_);
    catalogue.refill();
    int checked = 0;
    for (const ProfileEntry& e : catalogue.entries()) {
        if (e.isBuiltin) continue;
        const RawHeader h = rawHeader(e.name);
        const std::string name = e.name.toStdString();
        EXPECT_EQ(e.isVersion4, h.majorVersion >= 4) << name;
        EXPECT_EQ(e.spaceCode, referenceSpaceCode(h.space)) << name;
        EXPECT_EQ(e.pcsCode, referenceSpaceCode(h.pcs)) << name;
        EXPECT_EQ(e.isAbstractOrLink, h.deviceClass == "abst" || h.deviceClass == "link") << name;
        if (!h.description.isEmpty()) {
            EXPECT_EQ(e.description, h.description) << name;
            ++checked;
        }
    }
    EXPECT_GT(checked, 40);
}

TEST_F(ProfileCatalogueTest, KnownProfilesByHand)
{
    ProfileCatalogue catalogue;
    catalogue.setFolder(folder_);
    catalogue.refill();
    const auto entry = [&](const char* file) {
        const int i = catalogue.indexOfName(path(file));
        EXPECT_GE(i, 0) << file;
        return i >= 0 ? catalogue.entries()[i] : ProfileEntry{};
    };

    const ProfileEntry cmyk = entry("gs-default_cmyk.icc");
    EXPECT_EQ(cmyk.spaceCode, 4);
    EXPECT_EQ(cmyk.pcsCode, 8);
    EXPECT_TRUE(cmyk.isTableBased);
    EXPECT_FALSE(cmyk.isVersion4);

    const ProfileEntry srgb = entry("colord-sRGB.icc");
    EXPECT_EQ(srgb.spaceCode, 2);
    EXPECT_EQ(srgb.pcsCode, 0);   // XYZ
    EXPECT_FALSE(srgb.isTableBased);
    EXPECT_TRUE(srgb.isVersion4);
    EXPECT_FALSE(srgb.copyright.isEmpty());

    const ProfileEntry gray = entry("gs-sgray.icc");
    EXPECT_EQ(gray.spaceCode, 1);
    EXPECT_FALSE(gray.isTableBased);

    const ProfileEntry lab = entry("argyll-lab2lab.icm");
    EXPECT_EQ(lab.spaceCode, 8);
    EXPECT_TRUE(lab.isTableBased);

    const ProfileEntry own = entry("own-recipe.icc");
    EXPECT_TRUE(own.isOwnRecipe);
    EXPECT_TRUE(own.isAbstractOrLink);
    EXPECT_EQ(own.description, QString::fromLatin1(RecipeText::NewDescription));
    for (const char* other : {"foreign-targ.icc", "garbled-targ.icc", "plain-abstract.icc"}) {
        const ProfileEntry e = entry(other);
        EXPECT_FALSE(e.isOwnRecipe) << other;
        EXPECT_TRUE(e.isAbstractOrLink) << other;
    }
}

// ---------------------------------------------------------------------------
// Built-ins
// ---------------------------------------------------------------------------

TEST(ProfileCatalogueBuiltins, DefaultListFilteredByMasks)
{
    const QStringList rgb = {"*srgb",     "*argb",   "*colormatchrgb", "*applergb", "*srgblin", "*argblin",
                             "*prophoto", "*prophotolin", "*ecirgb", "*oprgb",    "*bt2020",  "*dcip3"};
    struct Case {
        int classMask, spaceMask;
        QStringList names;
    };
    const QStringList gray = {"*gray10", "*gray18", "*gray22", "*gray30"};
    const Case cases[] = {
        {25, 2, rgb},
        {31, 31, rgb + QStringList{"*lab"} + gray},
        {4, 31, {"*lab"}},
        {16, 1, gray},
        {1, 31, {}},
        {31, 4, {}},
    };
    for (const Case& c : cases) {
        ProfileCatalogue catalogue;
        catalogue.setClassMask(c.classMask);
        catalogue.setSpaceMask(c.spaceMask);
        catalogue.setFolder(QStringLiteral("/nonexistent/folder"));
        catalogue.refill();
        QStringList names;
        for (const ProfileEntry& e : catalogue.entries()) names.append(e.name);
        EXPECT_EQ(names, c.names) << c.classMask << "/" << c.spaceMask;
    }
}

TEST(ProfileCatalogueBuiltins, EntriesOfBuiltinsAndBypass)
{
    ProfileCatalogue catalogue;
    catalogue.setBuiltins({"*bypass", "*srgb", "*nothing", "*SRGB", "*gray22", "*lab", "*bypass"});
    catalogue.setFolder(QStringLiteral("/nonexistent/folder"));
    catalogue.refill();
    const QList<ProfileEntry>& e = catalogue.entries();
    ASSERT_EQ(e.size(), 5);

    EXPECT_EQ(e[0].name, "*bypass");
    EXPECT_EQ(e[0].description, "Unused slot");
    EXPECT_TRUE(e[0].isBuiltin && e[0].isAbstractOrLink);
    EXPECT_FALSE(e[0].isVersion4 || e[0].isOwnRecipe || e[0].isTableBased);
    EXPECT_EQ(e[0].spaceCode, 8);
    EXPECT_EQ(e[0].pcsCode, 8);
    EXPECT_TRUE(e[0].copyright.isEmpty());

    EXPECT_EQ(e[1].name, "*srgb");
    EXPECT_EQ(e[1].description, "sRGB-like color space");
    EXPECT_EQ(e[1].copyright, QString::fromLatin1(BuiltinSpaces::Copyright));
    EXPECT_FALSE(e[1].isTableBased);
    EXPECT_EQ(e[1].spaceCode, 2);

    EXPECT_EQ(e[2].name, "*gray22");
    EXPECT_EQ(e[2].description, "Gray color space (gamma 2.2)");
    EXPECT_EQ(e[2].spaceCode, 1);
    EXPECT_FALSE(e[2].isTableBased);

    EXPECT_EQ(e[3].name, "*lab");
    EXPECT_TRUE(e[3].isTableBased);
    EXPECT_TRUE(e[3].isAbstractOrLink);
    EXPECT_FALSE(e[3].isOwnRecipe);
    EXPECT_EQ(e[3].spaceCode, 8);

    EXPECT_EQ(e[4].name, "*bypass");
}

TEST(ProfileCatalogueBuiltins, IconsAndTooltips)
{
    ProfileEntry builtin;
    builtin.name = "*srgb";
    builtin.isBuiltin = true;
    builtin.isVersion4 = true;
    builtin.description = "sRGB-like color space";
    builtin.copyright = "free";
    ProfileEntry own;
    own.name = "/p/own.icc";
    own.isOwnRecipe = true;
    own.isVersion4 = true;
    own.description = "Warm";
    own.copyright = "(c) me";
    ProfileEntry v4 = own;
    v4.isOwnRecipe = false;
    ProfileEntry v2 = v4;
    v2.isVersion4 = false;

    EXPECT_EQ(iconResourceFor(builtin), ":/iccb.png");
    EXPECT_EQ(iconResourceFor(own), ":/iccAbsLnk.png");
    EXPECT_EQ(iconResourceFor(v4), ":/icc4.png");
    EXPECT_EQ(iconResourceFor(v2), ":/icc2.png");
    EXPECT_EQ(iconResourceFor(bypassEntry()), "");

    EXPECT_EQ(tooltipFor(nullptr), "No profile selected");
    EXPECT_EQ(tooltipFor(&builtin), "sRGB-like color space");
    EXPECT_EQ(tooltipFor(&own), "Warm\n(c) me\n\n/p/own.icc");
}

TEST(ProfileCatalogueBuiltins, MasksOfClassesAndSpaces)
{
    const std::pair<uint32_t, int> classes[] = {{ClassOutput, 1}, {ClassInput, 2},     {ClassAbstract, 4},
                                                {ClassColorSpace, 8}, {ClassDisplay, 16}, {ClassLink, 0},
                                                {ClassNamedColor, 0}, {sig("xxxx"), 0}};
    for (const auto& [c, bit] : classes) EXPECT_EQ(classBitOf(c), bit) << c;
    const std::pair<uint32_t, int> spaces[] = {{SpaceGray, 1}, {SpaceRgb, 2},       {SpaceCmyk, 4},
                                               {SpaceLab, 8},  {SpaceXyz, 0}, {sig("2CLR"), 0}};
    for (const auto& [s, code] : spaces) EXPECT_EQ(spaceCodeOf(s), code) << s;
    EXPECT_FALSE(passesFilter(nullptr, 31, 31));
    EXPECT_FALSE(isTableBased(nullptr));
    EXPECT_FALSE(isOwnRecipe(nullptr));
}

// ---------------------------------------------------------------------------
// Selection requests
// ---------------------------------------------------------------------------

TEST_F(ProfileCatalogueTest, SelectsFilesByCanonicalPathAndRefusesWhatTheFilterRejects)
{
    ProfileCatalogue catalogue;
    catalogue.setClassMask(25);

    const std::optional<int> cmyk = catalogue.select(folder_, QStringLiteral("gs-default_cmyk.icc"));
    ASSERT_TRUE(cmyk);
    ASSERT_GE(*cmyk, 0);
    EXPECT_EQ(catalogue.entries()[*cmyk].name, path("gs-default_cmyk.icc"));
    EXPECT_EQ(ProfileCatalogue::fileNameOf(catalogue.entries()[*cmyk]), "gs-default_cmyk.icc");
    const qsizetype listed = catalogue.entries().size();

    // Refused: filtered out (input class, named colour), missing, junk. Nothing changes.
    for (const char* refused : {"argyll-lab2lab.icm", "colord-x11-colors.icc", "missing.icc", "truncated.icc",
                                "readme.icc"}) {
        EXPECT_FALSE(catalogue.select(QStringLiteral("/tmp"), QString::fromLatin1(refused)).has_value()) << refused;
        EXPECT_FALSE(catalogue.select(folder_, QString::fromLatin1(refused)).has_value()) << refused;
        EXPECT_EQ(catalogue.folder(), folder_);
        EXPECT_EQ(catalogue.entries().size(), listed);
    }

    // A folder reached through a link and written untidily names the same entries.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString link = elsewhere.filePath(QStringLiteral("profiles"));
    ASSERT_TRUE(QFile::link(folder_, link));
    const std::optional<int> viaLink = catalogue.select(link + QStringLiteral("/./"), QStringLiteral("colord-sRGB.icc"));
    ASSERT_TRUE(viaLink);
    ASSERT_GE(*viaLink, 0);
    EXPECT_EQ(catalogue.entries()[*viaLink].name, path("colord-sRGB.icc"));
}

TEST_F(ProfileCatalogueTest, BuiltinNamesAndEmptyValues)
{
    ProfileCatalogue catalogue;
    EXPECT_EQ(catalogue.select(folder_, QStringLiteral("*argb")), 1);
    EXPECT_EQ(catalogue.folder(), folder_);

    // An empty folder or file means the empty folder with "*srgb".
    EXPECT_EQ(catalogue.select(QString(), QStringLiteral("x.icc")), 0);
    EXPECT_EQ(catalogue.folder(), QString());
    EXPECT_EQ(catalogue.select(folder_, QString()), 0);
    EXPECT_EQ(catalogue.folder(), QString());

    // A "*" name that is no built-in is accepted and selects nothing.
    catalogue.setClassMask(4);
    EXPECT_EQ(catalogue.select(folder_, QStringLiteral("*lab4")), -1);
    EXPECT_EQ(catalogue.entries().value(0).name, "*lab");
    // The abstract profiles of the folder follow "*lab".
    QStringList files = fileEntries(catalogue);
    files.sort();
    EXPECT_EQ(files, (QStringList{"foreign-targ.icc", "garbled-targ.icc", "own-recipe.icc", "plain-abstract.icc"}));
}

TEST(ProfileCatalogueSettings, StoredSelectionAndItsDefaults)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings settings(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);

    const StoredSelection fresh = readStoredSelection(settings, "proof_dir", "proof_prf", 25);
    EXPECT_EQ(fresh.folder, systemColorDirectory());
    EXPECT_EQ(fresh.file, "*srgb");
    EXPECT_EQ(readStoredSelection(settings, "outgen/abstract_dir", "outgen/abstract_prf", 4).file, "*lab4");
    EXPECT_EQ(readStoredSelection(settings, "x_dir", "x_prf", 31).file, "*lab4");

    settings.setValue("proof_dir", "/some/where");
    settings.setValue("proof_prf", "press.icc");
    const StoredSelection stored = readStoredSelection(settings, "proof_dir", "proof_prf", 25);
    EXPECT_EQ(stored.folder, "/some/where");
    EXPECT_EQ(stored.file, "press.icc");

    // Stored empty values stay empty (the selection rule turns them into "*srgb").
    settings.setValue("proof_dir", "");
    settings.setValue("proof_prf", "");
    const StoredSelection empty = readStoredSelection(settings, "proof_dir", "proof_prf", 25);
    EXPECT_EQ(empty.folder, "");
    EXPECT_EQ(empty.file, "");
}

TEST(ProfileCatalogueSettings, SystemColourDirectory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray savedData = qgetenv("XDG_DATA_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    ASSERT_TRUE(QFileInfo(QStringLiteral("/usr/share/color/icc")).isDir()) << "the system profiles are missing";

    qputenv("XDG_DATA_HOME", dir.path().toLocal8Bit());
    EXPECT_EQ(systemColorDirectory(), "/usr/share/color/icc");   // no icc folder in it yet
    ASSERT_TRUE(QDir(dir.path()).mkdir("icc"));
    EXPECT_EQ(systemColorDirectory(), dir.path() + "/icc");

    qunsetenv("XDG_DATA_HOME");
    qputenv("HOME", dir.path().toLocal8Bit());
    EXPECT_EQ(systemColorDirectory(), "/usr/share/color/icc");
    ASSERT_TRUE(QDir(dir.path()).mkpath(".local/share/icc"));
    EXPECT_EQ(systemColorDirectory(), dir.path() + "/.local/share/icc");

    qputenv("HOME", savedHome);
    if (savedData.isNull()) qunsetenv("XDG_DATA_HOME");
    else qputenv("XDG_DATA_HOME", savedData);
}

TEST(ProfileCatalogueSettings, DropsTakeTheFirstLocalPath)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("x.icc");
    ASSERT_TRUE(writeAll(file, "x"));

    EXPECT_FALSE(dropSelection({}).has_value());
    EXPECT_FALSE(dropSelection({QUrl("https://example.org/x.icc"), QUrl()}).has_value());

    const auto folder = dropSelection({QUrl("https://example.org/x.icc"), QUrl::fromLocalFile(dir.path()),
                                       QUrl::fromLocalFile(file)});
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->folder, dir.path());
    EXPECT_EQ(folder->file, "*srgb");

    const auto picked = dropSelection({QUrl::fromLocalFile(file), QUrl::fromLocalFile(dir.path())});
    ASSERT_TRUE(picked);
    EXPECT_EQ(picked->folder, dir.path());
    EXPECT_EQ(picked->file, "x.icc");
}

}   // namespace
