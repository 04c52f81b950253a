#include "app/core/lutdump.h"

#include <QByteArray>

#include <cmath>

namespace {

constexpr uint32_t TitleBufferSize = 4096;
constexpr uint32_t TableTag = sig("A2B0");
constexpr uint32_t DescriptionTag = sig("desc");

// The CLUT stage of a table made of a CLUT alone or of curves then a CLUT.
Stage* clutOf(const Pipeline* table)
{
    static constexpr uint32_t ClutOnly[] = {StageClutKind};
    static constexpr uint32_t ShaperThenClut[] = {StageCurvesKind, StageClutKind};
    Stage* stages[2] = {};
    if (matchStageKinds(table, 1, ClutOnly, stages)) return stages[0];
    if (matchStageKinds(table, 2, ShaperThenClut, stages)) return stages[1];
    return nullptr;
}

}   // namespace

int lutDumpWidth(uint32_t gridPoints)
{
    if (gridPoints == 0) return 0;
    const double nodes = double(gridPoints) * gridPoints * gridPoints;
    const auto side = uint64_t(std::ceil(std::sqrt(nodes)));
    return int(gridPoints * (side / gridPoints));
}

uint8_t lutDumpByte(float value)
{
    if (!(value >= 0.0f)) return 0;   // below 0, and NaN
    if (value > 1.0f) return 255;
    return uint8_t(value * 255.0f);
}

std::optional<LutDump> lutDump(IccProfile* link)
{
    if (!link) return std::nullopt;
    const auto* table = static_cast<const Pipeline*>(loadTag(link, TableTag));
    if (!table) return std::nullopt;
    const Stage* clut = clutOf(table);
    if (!clut || stageInputs(clut) != 3 || stageOutputs(clut) != 3 || !clutIsFloat(clut)) return std::nullopt;

    const uint32_t* grid = clutGridPoints(clut);
    const float* values = clutTableFloat(clut);
    if (!grid || !values) return std::nullopt;
    const uint32_t n = grid[0];
    if (n == 0 || grid[1] != n || grid[2] != n) return std::nullopt;
    const uint64_t nodes = uint64_t(n) * n * n;
    if (clutEntryCount(clut) != 3 * nodes) return std::nullopt;

    LutDump dump;
    dump.width = lutDumpWidth(n);
    if (dump.width <= 0) return std::nullopt;
    dump.height = int((nodes + dump.width - 1) / dump.width);
    dump.rgb.assign(size_t(dump.width) * size_t(dump.height) * 3, 0);
    // Pixel k shows the file's line k (red fastest); the link's nodes run
    // with blue fastest, its channels red, green, blue.
    for (uint64_t k = 0; k < nodes; ++k) {
        const uint64_t r = k % n, g = (k / n) % n, b = k / (uint64_t(n) * n);
        const float* o = values + 3 * ((r * n + g) * n + b);
        uint8_t* pixel = dump.rgb.data() + 3 * k;   // row k / W, column k mod W of a packed W-wide image
        pixel[0] = lutDumpByte(o[0]);
        pixel[1] = lutDumpByte(o[1]);
        pixel[2] = lutDumpByte(o[2]);
    }
    return dump;
}

QString lutTitle(IccProfile* link)
{
    if (!link) return {};
    const auto* text = static_cast<const LocalizedText*>(loadTag(link, DescriptionTag));
    if (!text) return {};
    wchar_t units[TitleBufferSize] = {};
    if (getTextWide(text, "en", "US", units, TitleBufferSize) == 0) return {};
    units[TitleBufferSize - 1] = L'\0';

    // The reader keeps the file's bytes, each widened as a signed value:
    // 0xFF80 and above are the bytes 0x80 to 0xFF of a UTF-8 title. Text
    // from any other writer is Unicode already.
    QByteArray bytes;
    for (const wchar_t* u = units; *u; ++u) {
        const auto unit = char32_t(*u);
        if (unit >= 0xFF80 && unit <= 0xFFFF)
            bytes.append(char(unit & 0xFF));
        else
            bytes.append(QString::fromUcs4(&unit, 1).toUtf8());
    }
    return QString::fromUtf8(bytes);
}
