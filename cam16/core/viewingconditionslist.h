// Viewing-condition presets: the entry and list types with their data-stream
// form, the eleven built-in presets, the user presets kept in the settings,
// the text form a recipe stores, and the scales of the editor's controls.
#pragma once

#include "cam16/core/cam16.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>

class QDataStream;
class QSettings;

// One preset.
struct ViewingConditionsEntry {
    bool builtIn = false;           // stored as one byte: 1 for the built-in presets
    QString name;
    Cam16Conditions values{};
};

using ViewingConditionsList = QList<ViewingConditionsEntry>;

// Data-stream form: built-in flag (signed byte, read as bool), name, Xw, Yw,
// Zw, Yb, La, S (doubles), discounting (qint32). Fields past the end of the
// stream read as zero, false or empty; numbers that are not finite read as 0.
QDataStream& operator<<(QDataStream& stream, const ViewingConditionsEntry& entry);
QDataStream& operator>>(QDataStream& stream, ViewingConditionsEntry& entry);

// A list: a qint32 count, then the entries. A negative count or a list cut
// short reads as an empty list with the stream's status set.
QDataStream& operator<<(QDataStream& stream, const ViewingConditionsList& list);
QDataStream& operator>>(QDataStream& stream, ViewingConditionsList& list);

// Registers "ViewingConditionsList" with the meta-type system so that the
// settings can store and read the list. Safe to call more than once.
void registerViewingConditionsTypes();

// Same flag, same name (case-sensitive), and every number within 1e-4.
bool sameViewingConditions(const ViewingConditionsEntry& a, const ViewingConditionsEntry& b);

// Standard Base64 (with padding) of the entry's data-stream form.
QString encodePreset(const ViewingConditionsEntry& entry);

// The entry a text holds. Text that is not valid Base64 reads as an empty
// stream, so every field is zero, false or empty.
// `ok` (optional): whether the text was a whole encoded entry.
ViewingConditionsEntry decodePresetEntry(const QString& text, bool* ok = nullptr);

// The user presets stored under `key`: empty when the key is missing or its
// value cannot be converted to the list.
ViewingConditionsList loadUserPresets(const QSettings& settings, const QString& key);
void storeUserPresets(QSettings& settings, const QString& key, const ViewingConditionsList& list);

// The built-in presets followed by the user presets, addressed by one combined
// index: 0 to 10 are the built-ins in table order, 11 onward the user presets.
class ViewingConditionsPresets {
public:
    static constexpr int BuiltInCount = 11;
    static const ViewingConditionsList& builtIns();

    static constexpr const char* BuiltInIcon = ":/viewing_icon_black.png";
    static constexpr const char* UserIcon = ":/viewing_icon_user.png";
    // The icon of a combo position (chosen by position, not by the flag).
    static const char* iconFor(int index) { return index < BuiltInCount ? BuiltInIcon : UserIcon; }

    int count() const { return BuiltInCount + int(user_.size()); }
    bool isUser(int index) const { return index >= BuiltInCount && index < count(); }
    std::optional<ViewingConditionsEntry> at(int index) const;
    QStringList names() const;

    const ViewingConditionsList& userList() const { return user_; }
    void setUserList(const ViewingConditionsList& list) { user_ = list; }

    // Changes the values of a user preset; false for any other index.
    bool setValues(int index, const Cam16Conditions& values);

    // Appends a user preset and returns its combined index.
    int append(const ViewingConditionsEntry& entry);

    // Removes a user preset; false for any other index.
    bool remove(int index);

    // Combined index of the first preset equal to `entry`; -1 when none.
    int find(const ViewingConditionsEntry& entry) const;

    // The index of the preset a text holds: -1 for empty text; an equal
    // preset's index when there is one; else the decoded entry is appended,
    // flag included, and its new index returned (the settings are not written).
    int decode(const QString& text);

    void load(const QSettings& settings, const QString& key) { user_ = loadUserPresets(settings, key); }
    void store(QSettings& settings, const QString& key) const { storeUserPresets(settings, key, user_); }

private:
    ViewingConditionsList user_;
};

// The first free name for a copy of `name` among `taken`: "name - Copy", then
// "name - Copy (1)", "name - Copy (2)" ...
QString proposeCloneName(const QString& name, const QStringList& taken);

// Scales of the editor's controls.
namespace ViewingScales {

// The logarithmic L_A slider (0 to 120).
int sliderFromLa(double La);     // trunc(ln((La + 4.5) / 4.79675) · 100 / 5.665185)
double laFromSlider(int value);  // trunc(4.79675 · e^(value · 5.665185 / 100) − 4.5)

// Illuminance of a white surface under L_A cd/m², rounded: round(La · 5 · π).
double lux(double La);
QString luxNumber(double La);    // shortest exact 'g' form of lux(La)

// The surround slider (0 to 20) and combo (dark, dim, average).
int sliderFromSurround(double S);      // trunc(S · 10)
int comboFromSurround(double S);       // floor(S)
double surroundFromSlider(int value);  // value / 10

}   // namespace ViewingScales
