// The command line's shared parts: argument parsing, values, output.
#include "tools/cli/cliargs.h"

#include "app/core/recipe.h"
#include "profiles/core/profilecatalogue.h"
#include "tools/core/toolfiles.h"

#include <unistd.h>

namespace cli {

namespace {

QString rangeText(const ResolutionRange& r)
{
    return QStringLiteral("%1..%2").arg(r.lowest).arg(r.highest);
}

// One line a setting: the option and its value, then from the 25th column
// the help with the range the option accepts.
QString resolutionHelp()
{
    QString text = QStringLiteral("Resolution:\n");
    for (const ResolutionRange& r : ResolutionRanges) {
        const QString option = QStringLiteral("  %1 %2").arg(QLatin1String(r.option), QLatin1String(r.argument));
        const QString help = QString::fromUtf8(r.help);
        text += option.leftJustified(24) + (help.contains(QLatin1String("%1")) ? help.arg(rangeText(r)) : help) +
                QLatin1Char('\n');
    }
    return text;
}

// "--grid-lstar must be a whole number from 7 to 64"
QString rangeError(const ResolutionRange& r, const char* what)
{
    return QStringLiteral("%1 must be %2 from %3 to %4")
        .arg(QLatin1String(r.option), QLatin1String(what))
        .arg(r.lowest)
        .arg(r.highest);
}

QStringList resolutionOptionNames()
{
    QStringList names;
    for (const ResolutionRange& r : ResolutionRanges) names << QLatin1String(r.option);
    return names;
}

}   // namespace

const QString ResolutionOptions = resolutionHelp();
const QStringList ResolutionValueOptions = resolutionOptionNames();


void printText(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

void printEngineMessage(EngineContext*, uint32_t, const char* text)
{
    std::fprintf(stderr, "%s: engine: %s\n", Program, text ? text : "");
}

int fail(const QString& message, int code)
{
    printText(stderr, QStringLiteral("%1: %2\n").arg(QLatin1String(Program), message));
    return code;
}

int usage(const QString& message)
{
    return fail(message + QStringLiteral("\nTry \"%1 --help\".").arg(QLatin1String(Program)), UsageError);
}

std::optional<int> integerValue(const QString& text)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}

std::optional<double> numberValue(const QString& text)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

// An intent index 0..3 of the recipe combos, by number or name.
std::optional<int> intentIndex(const QString& text)
{
    const QString t = text.trimmed().toLower();
    const QStringList names = {"perceptual", "relative", "relative-bpc", "saturation"};
    if (names.contains(t)) return int(names.indexOf(t));
    const std::optional<int> n = integerValue(t);
    if (n && *n >= 0 && *n < IntentChoiceCount) return n;
    return std::nullopt;
}

// Applies the resolution options over `res`; an error text for a bad value.
QString readResolution(const Arguments& a, ResolutionPreferences& res)
{
    const char* version = resolutionRange(Resolution::Version).option;
    if (a.has(version)) {
        const QString v = a.value(version);
        if (v == QLatin1String("4.3") || v == QLatin1String("4")) res.versionIndex = 0;
        else if (v == QLatin1String("2.1") || v == QLatin1String("2")) res.versionIndex = 1;
        else return QStringLiteral("%1 must be 4.3 or 2.1").arg(QLatin1String(version));
    }
    const struct { Resolution setting; int* target; } counts[] = {
        {Resolution::GridLStar, &res.gridLstar},
        {Resolution::GridAbStar, &res.gridAbstar},
        {Resolution::CurvePoints, &res.gridCurves},
    };
    for (const auto& c : counts) {
        const ResolutionRange& r = resolutionRange(c.setting);
        if (!a.has(r.option)) continue;
        const std::optional<int> v = integerValue(a.value(r.option));
        if (!v || *v < r.lowest || *v > r.highest) return rangeError(r, "a whole number");
        *c.target = *v;
    }
    const ResolutionRange& shape = resolutionRange(Resolution::SigmoidShape);
    if (a.has(shape.option)) {
        const std::optional<double> k = numberValue(a.value(shape.option));
        if (!k || *k < shape.lowest || *k > shape.highest) return rangeError(shape, "a number");
        res.sigmoidShape = *k;
    }
    return {};
}

QString signatureText(uint32_t s)
{
    if (s == 0) return QStringLiteral("(none)");
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((s >> shift) & 0xFF);
        text += (c >= 32 && c < 127) ? QChar(c) : QChar('?');
    }
    return text;
}

bool wantsHelp(const QStringList& args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

int saveBuilt(BuildResult& built, const QString& output)
{
    if (!built.ok()) return fail(built.message);
    QString error;
    if (!saveProfileToFile(built.profile.get(), output, &error))
        return fail(QStringLiteral("%1: %2").arg(QLatin1String(RecipeText::SaveFailed),
                                                 error.isEmpty() ? output : error));
    return Success;
}

}   // namespace cli
