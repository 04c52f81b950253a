// tonemolder-cli link: a device link of source → look → destination.
#include "tools/cli/commands.h"

#include "tools/core/devicelink.h"

namespace cli {

namespace {

const char* const LinkHelp = R"(Usage: tonemolder-cli link SOURCE LOOK DESTINATION -o OUT [options]

Makes an ICC device link of the chain SOURCE -> LOOK -> DESTINATION, where
LOOK is an abstract profile (one made by this program carries its recipe
into the link): for example *srgb -> look.icc -> a press CMYK profile, as
prepress RIPs and image editors load it.

  -o, --output FILE     the device link to write
  --intent I            perceptual (default), relative, saturation,
                        absolute; or 0 to 3 in that order
  --bpc                 black-point compensation
  --version 4.3|2.1     ICC version of the link (default 4.3)
  --grid N              grid points of the link's table, 9..255 (default 33)
  --description TEXT    the link's description (default: the look's)
  --copyright TEXT      the link's copyright (default: the look's)
)";

std::optional<int> engineIntent(const QString& text)
{
    const QString t = text.trimmed().toLower();
    const QStringList names = {"perceptual", "relative", "saturation", "absolute"};
    if (names.contains(t)) return int(names.indexOf(t));
    const std::optional<int> n = integerValue(t);
    if (n && *n >= 0 && *n <= 3) return n;
    return std::nullopt;
}

}   // namespace

int linkCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, LinkHelp), Success;
    const Arguments a(args, {"--output", "--intent", "--version", "--grid", "--description", "--copyright"},
                      {"--bpc"});
    if (!a.error().isEmpty()) return usage(a.error());
    if (a.positional().size() != 3)
        return usage(QStringLiteral("link needs a source profile, a look and a destination profile"));
    if (!a.has("--output")) return usage(QStringLiteral("link needs --output"));
    const std::optional<int> intent = engineIntent(a.value("--intent", QStringLiteral("perceptual")));
    if (!intent) return usage(QStringLiteral("unknown intent %1").arg(a.value("--intent")));
    const QString version = a.value("--version", QStringLiteral("4.3"));
    if (version != QLatin1String("4.3") && version != QLatin1String("2.1"))
        return usage(QStringLiteral("--version must be 4.3 or 2.1"));
    const std::optional<int> grid = integerValue(a.value("--grid", QStringLiteral("33")));
    if (!grid || *grid < 9 || *grid > 255) return usage(QStringLiteral("--grid must be from 9 to 255"));

    DeviceLinkRequest request;
    request.source = ctx.resolve(a.positional()[0]);
    request.look = ctx.resolve(a.positional()[1]);
    request.destination = ctx.resolve(a.positional()[2]);
    request.outputFile = a.value("--output");
    request.intent = *intent;
    request.blackPointCompensation = a.flag("--bpc");
    request.versionIndex = version == QLatin1String("2.1") ? 1 : 0;
    request.gridPoints = *grid;
    request.description = a.value("--description");
    request.copyright = a.value("--copyright");
    const ToolResult result = writeLookDeviceLink(request, openProfileByName);
    return result.ok ? Success : fail(result.message);
}

}   // namespace cli
