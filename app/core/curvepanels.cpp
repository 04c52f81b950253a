#include "app/core/curvepanels.h"

QList<PanelCurve> softproofChannels(int spaceClass)
{
    switch (spaceClass) {
    case SpaceClassGray: return {{QStringLiteral("G"), 0xFF7F7F7F}};
    case SpaceClassRgb:
        return {{QStringLiteral("R"), 0xFFFF3232}, {QStringLiteral("G"), 0xFF32FF32}, {QStringLiteral("B"), 0xFF0033FF}};
    case SpaceClassCmyk:
        return {{QStringLiteral("C"), 0xFF00BCD4},
                {QStringLiteral("M"), 0xFFE91E63},
                {QStringLiteral("Y"), 0xFFFFEB3B},
                {QStringLiteral("K"), 0xFFC8C8C8}};
    case SpaceClassLab:
        return {{QStringLiteral("L"), 0xFFFFFFFF}, {QStringLiteral("a"), 0xFF03A9F4}, {QStringLiteral("b"), 0xFFFFEB3B}};
    default: return {};
    }
}

const QList<uint32_t>& correlateColors()
{
    static const QList<uint32_t> colors{0xFFFFFFFF, 0xFF03A9F4, 0xFFFFEB3B};
    return colors;
}
