// The recipe document around the main window's controls: its undo history,
// the list of recently used profiles, and saving it as a profile file that a
// failure never damages.
#pragma once

#include "app/core/builder.h"
#include "app/core/recipe.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

class QSettings;

namespace DocumentText {
inline constexpr char OpenTitle[] = "Open ICC profile";
inline constexpr char SaveTitle[] = "Save ICC profile";
inline constexpr char ProfileFilter[] = "ICC profiles (*.icc *.icm *.pf);;All files (*.*)";
inline constexpr char Unsaved[] = "Profile has not been saved\nDo you want to save it now?";
inline constexpr char CannotWrite[] = "Could not open file for writing: ";
inline constexpr char SoftproofMissing[] = "WARNING: Softproofing profile not found";
inline constexpr char LutSpaceMissing[] = "WARNING: Color space of the imported LUT not found: %1";
inline constexpr char CubeMissing[] = "WARNING: The .cube file of this profile was not found: %1";
inline constexpr char RecentMissing[] = "%1 is no longer there; it has been removed from the recent profiles.";
inline constexpr char RecentMenu[] = "Recent profiles";
}   // namespace DocumentText

// Snapshots of the recipe, one per change, to walk back and forth through.
// Two recipes are the same step when they would be saved alike at the same
// resolution. One step can be marked as the saved one.
class RecipeHistory {
public:
    static constexpr int Limit = 100;

    // A history of this one recipe; `saved` marks it as the saved step.
    void reset(const Recipe& recipe, bool saved = true);

    // Records the recipe after a change made with the control `source`.
    // Nothing is recorded when it is the current step's recipe. With `merge`,
    // a change made with the same control as the current step replaces that
    // step (a slider drag, typing), unless it is the saved step or steps were
    // undone since. Steps that were undone are dropped. Returns whether the
    // history changed.
    bool record(const Recipe& recipe, const QString& source, bool merge);

    bool canUndo() const { return current_ > 0; }
    bool canRedo() const { return current_ + 1 < int(steps_.size()); }
    // Moves one step and returns the recipe now current (the current one
    // when there is nowhere to go).
    const Recipe& undo();
    const Recipe& redo();
    const Recipe& current() const { return steps_[size_t(current_)].recipe; }
    int size() const { return int(steps_.size()); }

    void markSaved() { saved_ = current_; }
    bool isSaved() const { return saved_ == current_; }

private:
    struct Step {
        Recipe recipe;
        QByteArray text;     // the recipe as saved at the default resolution
        QString source;
    };
    static QByteArray comparable(const Recipe& recipe);

    std::vector<Step> steps_{Step{}};
    int current_ = 0;
    int saved_ = 0;          // -1 when the saved step is no longer in the history
    bool mergeable_ = false; // false after undo and redo
};

// The profiles opened or saved last, newest first, at most eight, kept in
// the settings under "recent_profiles".
namespace RecentProfiles {
inline constexpr int Limit = 8;
inline constexpr char Key[] = "recent_profiles";
QStringList list(const QSettings& settings);
// Puts the file (as an absolute path) first.
void remember(QSettings& settings, const QString& path);
void forget(QSettings& settings, const QString& path);
}   // namespace RecentProfiles

// Whether a file starts like an ICC profile (the 'acsp' signature).
bool looksLikeProfile(const QString& path);

// Saving: the recipe built at the given resolution, carrying the recipe,
// written to a temporary file beside `path` that replaces it only when
// everything succeeded. The messages, in order, say why it failed.
struct SaveOutcome {
    bool ok = false;
    QStringList messages;
};
SaveOutcome saveRecipeProfile(const QString& path, const Recipe& recipe, const ResolutionPreferences& preferences,
                              const ProfileOpener& open = openProfileByName);
