// The two curve panels of the recipe tabs: which channel editors a
// Softproofing colour space uses, with their letters and legend colours, and
// the CAM16 correlates with theirs.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

// Colour-space classes of the profile selectors.
enum SpaceClass : int { SpaceClassNone = 0, SpaceClassGray = 1, SpaceClassRgb = 2, SpaceClassCmyk = 4, SpaceClassLab = 8 };

struct PanelCurve {
    QString name;     // the editor's label and the legend text
    uint32_t color;   // ARGB of the legend entry and the curve
};

// The channels of a Softproofing colour space, in editor order (chan_1 ...):
// gray G; RGB R, G, B; CMYK C, M, Y, K; Lab L, a, b. Empty for any other
// class, which leaves the editors as they are and draws nothing.
QList<PanelCurve> softproofChannels(int spaceClass);

namespace CorrelateText {
inline const QStringList Lightness{QStringLiteral("J - lightness"), QStringLiteral("Q - brightness")};
inline const QStringList Chroma{QStringLiteral("C - chroma"), QStringLiteral("M - colorfulness"),
                                QStringLiteral("s - saturation")};
inline constexpr char Hue[] = "h - hue";
}   // namespace CorrelateText

// Legend colours of corr_1, corr_2, corr_3.
const QList<uint32_t>& correlateColors();
