#include "profiles/core/profilecatalogue.h"

#include "profiles/core/builtinspaces.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QSettings>

#include <cstring>
#include <memory>

namespace {

using SheetPtr = std::unique_ptr<CgatsSheet, decltype(&freeCgatsSheet)>;

constexpr char RecipeSheetType[] = "TONEMOLDER";
constexpr char SrgbName[] = "*srgb";
constexpr char NoAbstractChoice[] = "*lab4";

// Info texts are read into 4096 bytes of UTF-16: at most 2047 characters.
constexpr uint32_t InfoTextChars = 2048;

QString translated(const char* text)
{
    return QCoreApplication::translate("ICCProfileSelector", text);
}

QString infoText(IccProfile* profile, ProfileInfo which)
{
    wchar_t buffer[InfoTextChars] = {};
    if (profileText(profile, which, "EN", "us", buffer, InfoTextChars) == 0) return {};
    buffer[InfoTextChars - 1] = L'\0';
    return QString::fromWCharArray(buffer).trimmed();
}

bool isProfileFileName(const QString& name)
{
    return name.endsWith(QLatin1String(".icc"), Qt::CaseInsensitive) ||
           name.endsWith(QLatin1String(".icm"), Qt::CaseInsensitive) ||
           name.endsWith(QLatin1String(".pf"), Qt::CaseInsensitive);
}

bool isBuiltinStyleName(const QString& name)
{
    return name.startsWith(QLatin1Char('*'));
}

// A folder as its entries name it: canonical when it exists.
QString canonicalFolder(const QString& folder)
{
    const QDir dir(folder);
    const QString canonical = dir.canonicalPath();
    return canonical.isEmpty() ? dir.absolutePath() : canonical;
}

}   // namespace

int classBitOf(uint32_t deviceClass)
{
    switch (deviceClass) {
    case ClassOutput: return ClassMask::Output;
    case ClassInput: return ClassMask::Input;
    case ClassAbstract: return ClassMask::Abstract;
    case ClassColorSpace: return ClassMask::ColorSpace;
    case ClassDisplay: return ClassMask::Display;
    default: return 0;
    }
}

int spaceCodeOf(uint32_t colorSpace)
{
    switch (colorSpace) {
    case SpaceGray: return SpaceMask::Gray;
    case SpaceRgb: return SpaceMask::Rgb;
    case SpaceCmyk: return SpaceMask::Cmyk;
    case SpaceLab: return SpaceMask::Lab;
    default: return 0;
    }
}

bool passesFilter(const IccProfile* profile, int classMask, int spaceMask)
{
    if (!profile) return false;
    return (classBitOf(profileDeviceClass(profile)) & classMask) != 0 &&
           (spaceCodeOf(profileColorSpace(profile)) & spaceMask) != 0;
}

bool isTableBased(IccProfile* profile)
{
    return profile && !isMatrixShaper(profile);
}

bool isOwnRecipe(IccProfile* profile)
{
    if (!profile) return false;
    const uint32_t deviceClass = profileDeviceClass(profile);
    if (deviceClass != ClassAbstract && deviceClass != ClassLink) return false;
    const QByteArray text = profileTargetText(profile);
    if (text.isEmpty()) return false;
    SheetPtr sheet{cgatsParseMemory(nullptr, text.constData(), uint32_t(text.size())), &freeCgatsSheet};
    if (!sheet) return false;
    const char* type = cgatsSheetType(sheet.get());
    return type && std::strcmp(type, RecipeSheetType) == 0;
}

ProfileEntry entryFor(IccProfile* profile, const QString& name)
{
    ProfileEntry e;
    e.name = name;
    e.manufacturer = infoText(profile, InfoManufacturer);
    e.model = infoText(profile, InfoModel);
    e.description = infoText(profile, InfoDescription);
    e.copyright = infoText(profile, InfoCopyright);
    e.isVersion4 = versionAsNumber(profile) >= 4.0;
    const uint32_t deviceClass = profileDeviceClass(profile);
    e.isAbstractOrLink = deviceClass == ClassAbstract || deviceClass == ClassLink;
    e.isBuiltin = isBuiltinStyleName(name);
    e.isOwnRecipe = isOwnRecipe(profile);
    e.isTableBased = isTableBased(profile);
    e.spaceCode = spaceCodeOf(profileColorSpace(profile));
    e.pcsCode = spaceCodeOf(profilePcs(profile));
    return e;
}

ProfileEntry bypassEntry()
{
    ProfileEntry e;
    e.name = QString::fromLatin1(BypassName);
    e.description = translated("Unused slot");
    e.isBuiltin = true;
    e.isAbstractOrLink = true;
    e.spaceCode = SpaceMask::Lab;
    e.pcsCode = SpaceMask::Lab;
    return e;
}

QString iconResourceFor(const ProfileEntry& entry)
{
    if (entry.name == QLatin1String(BypassName)) return {};
    if (entry.isBuiltin) return QStringLiteral(":/iccb.png");
    if (entry.isOwnRecipe) return QStringLiteral(":/iccAbsLnk.png");
    if (entry.isVersion4) return QStringLiteral(":/icc4.png");
    return QStringLiteral(":/icc2.png");
}

QString tooltipFor(const ProfileEntry* entry)
{
    if (!entry) return translated("No profile selected");
    if (entry->isBuiltin) return entry->description;
    return entry->description + QLatin1Char('\n') + entry->copyright + QLatin1String("\n\n") + entry->name;
}

QStringList profileFilesIn(const QString& folder, bool subfolders)
{
    const QDir dir(folder);
    if (!dir.exists() || !dir.isReadable()) return {};
    const QString base = canonicalFolder(folder);
    QStringList files;
    QDirIterator it(dir.path(), QDir::Files);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (!info.isFile() || !isProfileFileName(info.fileName())) continue;
        files.append(base + QLatin1Char('/') + info.fileName());
    }
    if (!subfolders) return files;

    const QDir::SortFlags byName = QDir::Name | QDir::IgnoreCase;
    for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Readable, byName)) {
        const QDir inner(dir.filePath(sub));
        for (const QFileInfo& info : inner.entryInfoList(QDir::Files, byName)) {
            if (isProfileFileName(info.fileName()))
                files.append(base + QLatin1Char('/') + sub + QLatin1Char('/') + info.fileName());
        }
    }
    return files;
}

QString systemColorDirectory()
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty()) dataHome = QDir::homePath() + QLatin1String("/.local/share");
    for (const QString& candidate : {dataHome + QLatin1String("/icc"), QStringLiteral("/usr/share/color/icc")}) {
        if (QFileInfo(candidate).isDir()) return candidate;
    }
    return {};
}

bool isSystemColorDirectory(const QString& folder)
{
    const QString system = systemColorDirectory();
    return !system.isEmpty() && !folder.isEmpty() && canonicalFolder(folder) == canonicalFolder(system);
}

QStringList listTexts(const QList<ProfileEntry>& entries, const QString& folder)
{
    QHash<QString, int> uses;
    for (const ProfileEntry& e : entries) ++uses[e.description];
    const QDir base(canonicalFolder(folder));
    QStringList texts;
    for (const ProfileEntry& e : entries) {
        if (uses.value(e.description) < 2) {
            texts.append(e.description);
            continue;
        }
        const QString where = e.isBuiltin ? e.name : QDir::toNativeSeparators(base.relativeFilePath(e.name));
        texts.append(e.description + QLatin1String(" (") + where + QLatin1Char(')'));
    }
    return texts;
}

QString storedNameFor(const ProfileEntry& entry, const QString& folder)
{
    if (entry.isBuiltin) return entry.name;
    const QString base = canonicalFolder(folder) + QLatin1Char('/');
    if (!folder.isEmpty() && entry.name.startsWith(base)) return entry.name.mid(base.size());
    return entry.name;
}

QString defaultSelection(int classMask)
{
    return QString::fromLatin1((classMask & ClassMask::Abstract) ? NoAbstractChoice : SrgbName);
}

StoredSelection readStoredSelection(const QSettings& settings, const QString& folderKey, const QString& fileKey,
                                    int classMask)
{
    StoredSelection s;
    s.folder = settings.contains(folderKey) ? settings.value(folderKey).toString() : systemColorDirectory();
    s.file = settings.contains(fileKey) ? settings.value(fileKey).toString() : defaultSelection(classMask);
    return s;
}

std::optional<StoredSelection> dropSelection(const QList<QUrl>& urls)
{
    for (const QUrl& url : urls) {
        if (!url.isValid()) continue;
        const QString path = url.toLocalFile();
        if (path.isEmpty()) continue;
        const QFileInfo info(path);
        if (info.isDir()) return StoredSelection{info.absoluteFilePath(), QString::fromLatin1(SrgbName)};
        return StoredSelection{info.absolutePath(), info.fileName()};
    }
    return std::nullopt;
}

ProfileCatalogue::ProfileCatalogue() : builtins_(BuiltinSpaces::selectorNames()) {}

void ProfileCatalogue::refill()
{
    entries_.clear();
    for (const QString& name : builtins_) {
        if (name == QLatin1String(BypassName)) {
            entries_.append(bypassEntry());
            continue;
        }
        ProfilePtr p = adoptProfile(openProfileByName(name));
        if (p && passesFilter(p.get(), classMask_, spaceMask_)) entries_.append(entryFor(p.get(), name));
    }
    const QString base = canonicalFolder(folder_);
    for (const QString& path : profileFilesIn(folder_, isSystemColorDirectory(folder_))) {
        ProfilePtr p = adoptProfile(openProfileFile(path));
        if (!p || !passesFilter(p.get(), classMask_, spaceMask_)) continue;
        ProfileEntry e = entryFor(p.get(), path);
        const QString dir = QFileInfo(path).path();
        if (dir != base) e.group = QDir(base).relativeFilePath(dir);
        entries_.append(e);
    }
}

const ProfileEntry* ProfileCatalogue::entryAt(int index) const
{
    return index >= 0 && index < entries_.size() ? &entries_[index] : nullptr;
}

QString ProfileCatalogue::keyFor(const QString& file) const
{
    if (isBuiltinStyleName(file)) return file;
    const QFileInfo info(QDir(folder_), file);
    return canonicalFolder(info.absolutePath()) + QLatin1Char('/') + info.fileName();
}

int ProfileCatalogue::indexOfName(const QString& name) const
{
    for (int i = 0; i < entries_.size(); ++i) {
        if (entries_[i].name == name) return i;
    }
    return -1;
}

int ProfileCatalogue::indexOfFile(const QString& file) const
{
    const int exact = indexOfName(keyFor(file));
    if (exact >= 0 || isBuiltinStyleName(file) || file.contains(QLatin1Char('/'))) return exact;
    for (int i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].isBuiltin && !entries_[i].group.isEmpty() && fileNameOf(entries_[i]) == file) return i;
    }
    return -1;
}

QString ProfileCatalogue::fileNameOf(const ProfileEntry& entry)
{
    return entry.isBuiltin ? entry.name : QFileInfo(entry.name).fileName();
}

StoredSelection ProfileCatalogue::normalised(const QString& folder, const QString& file)
{
    if (folder.isEmpty() || file.isEmpty()) return {QString(), QString::fromLatin1(SrgbName)};
    const QFileInfo info(file);
    if (!isBuiltinStyleName(file) && info.isAbsolute() &&
        !info.absoluteFilePath().startsWith(canonicalFolder(folder) + QLatin1Char('/')))
        return {info.absolutePath(), info.fileName()};
    return {folder, file};
}

bool ProfileCatalogue::accepts(const StoredSelection& request) const
{
    if (isBuiltinStyleName(request.file)) return true;
    ProfilePtr p = adoptProfile(openProfileByName(QDir(request.folder).filePath(request.file)));
    return p && passesFilter(p.get(), classMask_, spaceMask_);
}

std::optional<int> ProfileCatalogue::select(const QString& folder, const QString& file)
{
    const StoredSelection request = normalised(folder, file);
    if (!accepts(request)) return std::nullopt;
    folder_ = request.folder;
    refill();
    return indexOfFile(request.file);
}
