// The .spi3d reader and writer.
#include "app/core/lutformats/spi3dformat.h"

#include <cmath>

namespace lutformats {

LutRead readSpi3d(std::string_view text, const std::string& name)
{
    LutRead result;
    Lut3D& lut = result.lut;
    TextScanner scan(text);
    std::vector<std::string_view> words;
    if (!scan.nextLine(words) || words[0] != "SPILUT")
        return refused(name, scan.lineNumber(), "a .spi3d file starts with \"SPILUT 1.0\"");
    if (!scan.nextLine(words) || words.size() != 2 || words[0] != "3" || words[1] != "3")
        return refused(name, scan.lineNumber(), "only 3D tables of three channels are read (the line must be \"3 3\")");
    if (!scan.nextLine(words)) return refused(name, scan.lineNumber(), "the file ends before the grid size");
    long long n = 0;
    for (size_t c = 0; c < words.size(); ++c) {
        const auto v = parseInteger(words[c]);
        if (words.size() != 3 || !v || *v < 2 || *v > MaxGridPoints || (c > 0 && *v != n))
            return refused(name, scan.lineNumber(), "the grid size must be three equal numbers from 2 to 256");
        n = *v;
    }
    lut.size = uint32_t(n);
    const size_t nodes = lut.nodeCount();
    std::vector<bool> seen;
    size_t found = 0;
    while (scan.nextLine(words)) {
        const size_t line = scan.lineNumber();
        if (words.size() != 6)
            return refused(name, line, "a table line holds three indices and three numbers, found " +
                                  std::to_string(words.size()) + " words");
        uint32_t index[3];
        for (size_t c = 0; c < 3; ++c) {
            const auto v = parseInteger(words[c]);
            if (!v || *v < 0 || *v >= n)
                return refused(name, line, "the index \"" + std::string(words[c]) + "\" is not from 0 to " +
                                      std::to_string(n - 1));
            index[c] = uint32_t(*v);
        }
        float value[3];
        for (size_t c = 0; c < 3; ++c) {
            const auto v = parseNumber(words[c + 3]);
            if (!v || std::fabs(*v) > 3.4e38) return refused(name, line, "\"" + std::string(words[c + 3]) + "\" is not a number");
            value[c] = float(*v);
        }
        // Memory for the grid once the first line shows it is meant.
        if (seen.empty()) {
            seen.assign(nodes, false);
            lut.data.assign(nodes * 3, 0.0f);
        }
        const size_t at = lut.offset(index[0], index[1], index[2]);
        if (seen[at / 3])
            return refused(name, line, "the node " + std::to_string(index[0]) + " " + std::to_string(index[1]) + " " +
                                  std::to_string(index[2]) + " is given twice");
        seen[at / 3] = true;
        ++found;
        for (size_t c = 0; c < 3; ++c) lut.data[at + c] = value[c];
    }
    if (found != nodes)
        return refused(name, scan.lineNumber(), "the grid of " + std::to_string(n) + " points needs " + std::to_string(nodes) +
                                           " table lines, found " + std::to_string(found));
    return result;
}

std::string spi3dText(const Lut3D& lut)
{
    if (lut.hasShaper()) return {};
    for (size_t c = 0; c < 3; ++c)
        if (lut.inputMin[c] != 0 || lut.inputMax[c] != 1) return {};
    const uint32_t n = lut.size;
    std::string out = "SPILUT 1.0\n3 3\n" + std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(n) + "\n";
    out.reserve(out.size() + lut.nodeCount() * 40);
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t g = 0; g < n; ++g)
            for (uint32_t b = 0; b < n; ++b) {
                out += std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b);
                const float* node = &lut.data[lut.offset(r, g, b)];
                for (size_t c = 0; c < 3; ++c) {
                    out += ' ';
                    appendShortest(out, node[c]);
                }
                out += '\n';
            }
    return out;
}

}   // namespace lutformats
