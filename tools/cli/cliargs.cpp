// The command line's shared parts: argument parsing, values, output.
#include "tools/cli/cliargs.h"

#include "app/core/recipe.h"
#include "profiles/core/profilecatalogue.h"
#include "tools/core/toolfiles.h"

#include <unistd.h>

namespace cli {

const char* const ResolutionOptions = R"(Resolution:
  --version 4.3|2.1     ICC version of the profile
  --grid-lstar N        CLUT points along L* (7..64)
  --grid-abstar N       CLUT points along a* and b* (7..64; version 2.1 uses the L* grid)
  --curve-points N      entries of each prelinearisation curve (0..4096)
  --sigmoid K           shape of the a*/b* prelinearisation (1..9)
)";


const QStringList ResolutionValueOptions = {"--version", "--grid-lstar", "--grid-abstar", "--curve-points",
                                            "--sigmoid"};


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
    if (a.has("--version")) {
        const QString v = a.value("--version");
        if (v == QLatin1String("4.3") || v == QLatin1String("4")) res.versionIndex = 0;
        else if (v == QLatin1String("2.1") || v == QLatin1String("2")) res.versionIndex = 1;
        else return QStringLiteral("--version must be 4.3 or 2.1");
    }
    const struct { const char* name; int* target; int lo, hi; } grids[] = {
        {"--grid-lstar", &res.gridLstar, 7, 64},
        {"--grid-abstar", &res.gridAbstar, 7, 64},
        {"--curve-points", &res.gridCurves, 0, 4096},
    };
    for (const auto& g : grids) {
        if (!a.has(g.name)) continue;
        const std::optional<int> v = integerValue(a.value(g.name));
        if (!v || *v < g.lo || *v > g.hi)
            return QStringLiteral("%1 must be a whole number from %2 to %3").arg(QLatin1String(g.name)).arg(g.lo).arg(g.hi);
        *g.target = *v;
    }
    if (a.has("--sigmoid")) {
        const std::optional<double> k = numberValue(a.value("--sigmoid"));
        if (!k || *k < 1.0 || *k > 9.0) return QStringLiteral("--sigmoid must be a number from 1 to 9");
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

QString utf8Text(IccProfile* p, uint32_t which)
{
    const uint32_t size = profileTextUtf8(p, which, "en", "US", nullptr, 0);
    if (size == 0) return {};
    QByteArray bytes(qsizetype(size), '\0');
    profileTextUtf8(p, which, "en", "US", bytes.data(), size);
    return QString::fromUtf8(bytes.constData());
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
