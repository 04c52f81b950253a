// The profile catalogue behind a profile selector: the built-in colour spaces
// followed by the ICC profiles of one folder, both filtered by device class
// and colour space, each described by the texts and flags a selector shows.
//
// Everything here is plain data and engine calls; the selector widget only
// shows what the catalogue holds.
#pragma once

#include "osl.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QSettings;

// Device classes a selector may list, as bits of its class mask.
namespace ClassMask {
inline constexpr int Output = 1;        // 'prtr'
inline constexpr int Input = 2;         // 'scnr'
inline constexpr int Abstract = 4;      // 'abst'
inline constexpr int ColorSpace = 8;    // 'spac'
inline constexpr int Display = 16;      // 'mntr'
inline constexpr int All = 31;
}   // namespace ClassMask

// Data colour spaces a selector may list, as bits of its space mask; the same
// codes describe an entry's data and connection spaces.
namespace SpaceMask {
inline constexpr int Gray = 1;
inline constexpr int Rgb = 2;
inline constexpr int Cmyk = 4;
inline constexpr int Lab = 8;
inline constexpr int All = 31;
}   // namespace SpaceMask

// The class bit of a device class signature; 0 for classes never listed
// (device links, named colours, anything unknown).
int classBitOf(uint32_t deviceClass);
// The space code of a colour space signature; 0 for any other space (XYZ ...).
int spaceCodeOf(uint32_t colorSpace);
// Whether a profile may be listed under the two masks.
bool passesFilter(const IccProfile* profile, int classMask, int spaceMask);

// Whether the rendering intent can change what a profile does: true unless it
// is a matrix-shaper (GRAY with 'kTRC', or RGB with the three colorants and
// the three curves), whose intents all give the same result.
bool isTableBased(IccProfile* profile);
// Whether a profile carries this program's recipe: an abstract or link
// profile whose 'targ' text parses as a "TONEMOLDER" CGATS sheet.
bool isOwnRecipe(IccProfile* profile);

// One item of a selector's list.
struct ProfileEntry {
    QString name;               // "*srgb" ... or the file's path
    QString manufacturer;
    QString model;
    QString description;        // the text shown in the list
    QString copyright;
    bool isVersion4 = false;
    bool isAbstractOrLink = false;
    bool isBuiltin = false;
    bool isOwnRecipe = false;
    bool isTableBased = false;
    int spaceCode = 0;
    int pcsCode = 0;
    // The subfolder of the listed folder the file lies in ("colord"), empty
    // for built-ins and files of the folder itself.
    QString group;
};

// The name a selector understands besides the built-ins: an empty slot that
// opens nothing.
inline constexpr char BypassName[] = "*bypass";

// The entry of an open profile under a name.
ProfileEntry entryFor(IccProfile* profile, const QString& name);
// The pseudo-entry of "*bypass".
ProfileEntry bypassEntry();

// The icon of an entry in a list with icons: a resource path, empty for none.
QString iconResourceFor(const ProfileEntry& entry);
// The tooltip of the list for the current entry (null: nothing selected).
QString tooltipFor(const ProfileEntry* entry);

// The profile files of a folder: its regular files named "*.icc", "*.icm" or
// "*.pf" in any case, in the directory iterator's order, as paths under the
// folder's canonical path. With `subfolders`, then those of each subfolder
// one level down, folder by folder and file by file in name order. An empty
// folder text is the current directory; a missing or unreadable folder has
// none.
QStringList profileFilesIn(const QString& folder, bool subfolders = false);

// The system's colour profile directory: the first existing one of
// $XDG_DATA_HOME/icc (by default ~/.local/share/icc) and /usr/share/color/icc,
// else empty.
QString systemColorDirectory();
// Whether a folder is that directory, which keeps its profiles in subfolders
// by maker (colord, ghostscript ...) and is therefore listed one level deep.
bool isSystemColorDirectory(const QString& folder);

// The texts a list shows for its entries: each description, and where two
// entries share one, the file's path under `folder` (or the built-in name)
// after it in brackets, so that no two items read the same.
QStringList listTexts(const QList<ProfileEntry>& entries, const QString& folder);

// What a selector stores for an entry so that the same file comes back: the
// built-in name; a file under `folder` by its path relative to it
// ("sRGB.icc", "colord/sRGB.icc"); any other file by its absolute path.
QString storedNameFor(const ProfileEntry& entry, const QString& folder);

// Where a stored choice lives and what it holds.
struct StoredSelection {
    QString folder;
    QString file;
};
// The choice of a selector that has none stored: "*lab4" (which selects
// nothing) for selectors of abstract profiles, else "*srgb".
QString defaultSelection(int classMask);
// The folder and file values under two keys, with the defaults of a selector
// that has never stored anything: the system colour directory, and "*lab4"
// (which selects nothing) for selectors of abstract profiles, else "*srgb".
StoredSelection readStoredSelection(const QSettings& settings, const QString& folderKey, const QString& fileKey,
                                    int classMask);

// What a drop of URLs asks for: the first valid URL with a local path
// decides; a folder selects "*srgb" in it, a file selects that file in its
// folder. Nothing when no URL qualifies.
std::optional<StoredSelection> dropSelection(const QList<QUrl>& urls);

// The list of one selector: its masks, built-ins, folder and entries.
class ProfileCatalogue {
public:
    ProfileCatalogue();

    void setClassMask(int mask) { classMask_ = mask; }
    int classMask() const { return classMask_; }
    void setSpaceMask(int mask) { spaceMask_ = mask; }
    int spaceMask() const { return spaceMask_; }
    void setBuiltins(const QStringList& names) { builtins_ = names; }
    const QStringList& builtins() const { return builtins_; }
    void setFolder(const QString& folder) { folder_ = folder; }
    const QString& folder() const { return folder_; }

    // Lists anew: each built-in that can be made and passes the filter, in
    // order ("*bypass" as its pseudo-entry), then each profile file of the
    // folder that opens and passes the filter. Every profile is opened,
    // read and closed again.
    void refill();
    const QList<ProfileEntry>& entries() const { return entries_; }
    const ProfileEntry* entryAt(int index) const;

    // The name an entry for a file of the current folder carries: a built-in
    // name as it is, any other under the folder's canonical path.
    QString keyFor(const QString& file) const;
    // The first entry with that name, or -1.
    int indexOfName(const QString& name) const;
    // The name an entry is stored under: the built-in name, or the file name
    // without its folder.
    static QString fileNameOf(const ProfileEntry& entry);

    // The entry a name stands for: a built-in name, a file of the current
    // folder by its path relative to it, or by its absolute path; failing
    // that, a bare file name (as a recipe keeps it) finds the first listed
    // file of that name in a subfolder. -1 when none.
    int indexOfFile(const QString& file) const;

    // A selection request (folder, file) after the empty-value rule: an empty
    // folder or file means the empty folder with "*srgb". An absolute file
    // outside the folder is taken in its own folder.
    static StoredSelection normalised(const QString& folder, const QString& file);
    // Whether the file of a normalised request may be selected: a built-in
    // name always; a file only if it opens as a profile that passes the
    // filter.
    bool accepts(const StoredSelection& request) const;
    // Takes a request: refused (nothing changes, nullopt) unless accepted;
    // otherwise the folder is set, the list refilled, and the result is the
    // index of the file's entry (-1 when it is not listed).
    std::optional<int> select(const QString& folder, const QString& file);

private:
    int classMask_ = ClassMask::All;
    int spaceMask_ = SpaceMask::All;
    QStringList builtins_;
    QString folder_;
    QList<ProfileEntry> entries_;
};
