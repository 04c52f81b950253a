#include "app/core/document.h"

#include "profiles/core/preferencesettings.h"
#include "tools/core/toolfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

// ---------------------------------------------------------------------------
// Undo history
// ---------------------------------------------------------------------------

QByteArray RecipeHistory::comparable(const Recipe& recipe)
{
    Recipe r = recipe;
    r.resolution = ResolutionPreferences{};
    return recipeToText(r);
}

void RecipeHistory::reset(const Recipe& recipe, bool saved)
{
    steps_.clear();
    steps_.push_back({recipe, comparable(recipe), QString()});
    current_ = 0;
    saved_ = saved ? 0 : -1;
    mergeable_ = false;
}

bool RecipeHistory::record(const Recipe& recipe, const QString& source, bool merge)
{
    QByteArray text = comparable(recipe);
    if (text == steps_[size_t(current_)].text) return false;

    const bool undoneSince = canRedo();
    steps_.resize(size_t(current_) + 1);
    if (saved_ > current_) saved_ = -1;

    Step& top = steps_.back();
    if (merge && mergeable_ && !undoneSince && current_ > 0 && current_ != saved_ && top.source == source) {
        top.recipe = recipe;
        top.text = std::move(text);
    } else {
        steps_.push_back({recipe, std::move(text), source});
        if (int(steps_.size()) > Limit) {
            steps_.erase(steps_.begin());
            saved_ = saved_ > 0 ? saved_ - 1 : -1;
        }
        current_ = int(steps_.size()) - 1;
    }
    mergeable_ = true;
    return true;
}

const Recipe& RecipeHistory::undo()
{
    if (canUndo()) --current_;
    mergeable_ = false;
    return current();
}

const Recipe& RecipeHistory::redo()
{
    if (canRedo()) ++current_;
    mergeable_ = false;
    return current();
}

// ---------------------------------------------------------------------------
// Recent profiles
// ---------------------------------------------------------------------------

QStringList RecentProfiles::list(const QSettings& settings)
{
    QStringList files = settings.value(QLatin1String(Key)).toStringList();
    files.removeAll(QString());
    files.removeDuplicates();
    return files.mid(0, Limit);
}

void RecentProfiles::remember(QSettings& settings, const QString& path)
{
    const QString file = QFileInfo(path).absoluteFilePath();
    QStringList files = list(settings);
    files.removeAll(file);
    files.prepend(file);
    settings.setValue(QLatin1String(Key), files.mid(0, Limit));
}

void RecentProfiles::forget(QSettings& settings, const QString& path)
{
    QStringList files = list(settings);
    files.removeAll(path);
    settings.setValue(QLatin1String(Key), files);
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

bool looksLikeProfile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = file.read(40);
    return head.size() == 40 && head.mid(36, 4) == "acsp";
}

SaveOutcome saveRecipeProfile(const QString& path, const Recipe& recipe, const ResolutionPreferences& preferences,
                              const ProfileOpener& open)
{
    SaveOutcome outcome;
    // The temporary file first, so that a folder that cannot be written is
    // reported before the build.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        outcome.messages << QLatin1String(DocumentText::CannotWrite) + file.errorString();
        return outcome;
    }

    const BuildResult built = buildProfileWithRecipe(recipe, preferences, open);
    const QByteArray bytes = built.ok() ? profileBytes(built.profile.get()) : QByteArray();
    if (bytes.isEmpty()) {
        file.cancelWriting();
        if (!built.message.isEmpty() && built.message != QLatin1String(RecipeText::SaveFailed))
            outcome.messages << built.message;
        outcome.messages << QLatin1String(RecipeText::SaveFailed);
        return outcome;
    }

    if (!writeWhole(file, bytes) || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        outcome.messages << QLatin1String(RecipeText::SaveFailed) + QLatin1Char('\n') + reason;
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}
