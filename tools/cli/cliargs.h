// The command line's shared parts: the arguments of a command, the values
// they carry, the profile folders that names are looked up in, and what the
// commands print (messages, progress, profile texts).
#pragma once

#include "app/core/builder.h"
#include "osl.h"
#include "profiles/core/builtinspaces.h"
#include "profiles/core/preferencesettings.h"
#include "profiles/core/profilecatalogue.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

namespace cli {

inline constexpr char Program[] = "tonemolder-cli";

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

// The resolution options' help, shared by the commands that build profiles.
extern const QString ResolutionOptions;
extern const QStringList ResolutionValueOptions;

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

void printText(FILE* stream, const QString& text);
void printEngineMessage(EngineContext*, uint32_t, const char* text);
// "tonemolder-cli: message" on the error stream; returns `code`.
int fail(const QString& message, int code = Failure);
// The same for a misused command, with a pointer to the help.
int usage(const QString& message);

// A progress line on a terminal, redrawn in place; nothing elsewhere.
class Progress {
public:
    Progress(const QString& what, bool enabled) : what_(what.toLocal8Bit()), enabled_(enabled && isatty(STDERR_FILENO))
    {
    }
    ~Progress() { finish(); }
    void operator()(int done, int total)
    {
        if (!enabled_ || total <= 0) return;
        const int percent = int(qint64(done) * 100 / total);
        if (percent == last_) return;
        last_ = percent;
        std::fprintf(stderr, "\r%s: %3d%%", what_.constData(), percent);
        std::fflush(stderr);
        shown_ = true;
    }
    void finish()
    {
        if (shown_) std::fputs("\n", stderr);
        shown_ = false;
    }

private:
    QByteArray what_;
    bool enabled_;
    bool shown_ = false;
    int last_ = -1;
};

// Writes a built profile, or says why it was not built or not written.
int saveBuilt(BuildResult& built, const QString& output);

// A four-character code as text; "(none)" for 0.
QString signatureText(uint32_t s);

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// The arguments of one command: options with values, flags and positionals.
class Arguments {
public:
    Arguments(const QStringList& args, const QStringList& valueOptions, const QStringList& flags)
    {
        for (int i = 0; i < args.size(); ++i) {
            const QString& a = args[i];
            if (a == QLatin1String("--")) {
                positional_ += args.mid(i + 1);
                break;
            }
            if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
                positional_ << a;
                continue;
            }
            QString name = a;
            QString value;
            bool inlineValue = false;
            if (a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('='))) {
                name = a.left(a.indexOf(QLatin1Char('=')));
                value = a.mid(a.indexOf(QLatin1Char('=')) + 1);
                inlineValue = true;
            }
            if (name == QLatin1String("-o")) name = QStringLiteral("--output");
            if (name == QLatin1String("-h")) name = QStringLiteral("--help");
            if (valueOptions.contains(name)) {
                if (!inlineValue) {
                    if (i + 1 >= args.size()) {
                        error_ = QStringLiteral("option %1 needs a value").arg(name);
                        return;
                    }
                    value = args[++i];
                }
                values_.append({name, value});
            } else if (flags.contains(name) && !inlineValue) {
                flags_ << name;
            } else {
                error_ = QStringLiteral("unknown option %1").arg(a);
                return;
            }
        }
    }

    const QString& error() const { return error_; }
    const QStringList& positional() const { return positional_; }
    bool flag(const char* name) const { return flags_.contains(QLatin1String(name)); }
    bool has(const char* name) const { return !all(name).isEmpty(); }
    QString value(const char* name, const QString& fallback = {}) const
    {
        const QStringList v = all(name);
        return v.isEmpty() ? fallback : v.last();
    }
    QStringList all(const char* name) const
    {
        QStringList out;
        for (const auto& [n, v] : values_)
            if (n == QLatin1String(name)) out << v;
        return out;
    }

private:
    QStringList positional_;
    QStringList flags_;
    QList<QPair<QString, QString>> values_;
    QString error_;
};

std::optional<int> integerValue(const QString& text);
std::optional<double> numberValue(const QString& text);
// An intent index 0..3 of the recipe combos, by number or name.
std::optional<int> intentIndex(const QString& text);
// Applies the resolution options over `res`; an error text for a bad value.
QString readResolution(const Arguments& a, ResolutionPreferences& res);
bool wantsHelp(const QStringList& args);

// ---------------------------------------------------------------------------
// Profile names
// ---------------------------------------------------------------------------

struct Context {
    QStringList profileDirs;
    bool quiet = false;

    // Built-ins, then the name as a path, then each folder in turn.
    QString resolve(const QString& name, const QStringList& firstDirs = {}) const
    {
        if (name.startsWith(QLatin1Char('*')) || QFileInfo(name).isFile()) return name;
        if (QFileInfo(name).isAbsolute()) return name;
        QStringList dirs = firstDirs + profileDirs;
        const QString system = systemColorDirectory();
        if (!system.isEmpty()) dirs << system;
        for (const QString& dir : dirs) {
            const QString candidate = QDir(dir).filePath(name);
            if (QFileInfo(candidate).isFile()) return candidate;
        }
        return name;
    }

    ProfileOpener opener(const QStringList& firstDirs = {}) const
    {
        return [this, firstDirs](const QString& name) { return openProfileByName(resolve(name, firstDirs)); };
    }
};

}   // namespace cli
