// The .3dl reader and writer.
#include "app/core/lutformats/threedlformat.h"

#include <algorithm>
#include <cmath>

namespace lutformats {

namespace {

constexpr int WrittenOutputBits = 12;
constexpr int WrittenMeshBits = 10;

// The output depth that holds `largest`: 10, 12, 14 or 16 bits, or more.
int likelyDepth(long long largest)
{
    int bits = 10;
    while (bits < 62 && largest > (1LL << bits) - 1) bits += bits < 16 ? 2 : 1;
    return bits;
}

}   // namespace

LutRead readThreeDl(std::string_view text, const std::string& name)
{
    LutRead result;
    TextScanner scan(text);
    std::vector<std::string_view> words;
    int outputBits = 0;
    uint32_t meshCount = 0;
    std::vector<long long> values;   // three per line, in file order
    size_t firstDataLine = 0;
    while (scan.nextLine(words)) {
        const size_t line = scan.lineNumber();
        if (values.empty() && meshCount == 0) {
            if (words[0] == "3DMESH" && words.size() == 1) continue;
            if (words[0] == "Mesh") {
                const auto in = words.size() == 3 ? parseInteger(words[1]) : std::nullopt;
                const auto out = words.size() == 3 ? parseInteger(words[2]) : std::nullopt;
                if (!in || !out || *in < 1 || *in > 8 || *out < 8 || *out > 31)
                    return refused(name, line, "\"Mesh\" needs the input bits (1 to 8) and the output bits (8 to 31)");
                outputBits = int(*out);
                continue;
            }
            if (words.size() > 3 || words.size() == 2) {
                // The mesh line: the input levels of the grid, rising from 0.
                long long previous = -1;
                for (std::string_view w : words) {
                    const auto v = parseInteger(w);
                    if (!v || *v <= previous || (previous < 0 && *v != 0))
                        return refused(name, line, "the mesh line must hold whole numbers rising from 0, found \"" +
                                              std::string(w) + "\"");
                    previous = *v;
                }
                if (words.size() > MaxGridPoints)
                    return refused(name, line, "the mesh line has " + std::to_string(words.size()) +
                                          " levels (at most 256 are read)");
                meshCount = uint32_t(words.size());
                continue;
            }
        }
        if (words.size() != 3)
            return refused(name, line, "a table line holds three whole numbers, found " + std::to_string(words.size()) +
                                  " words");
        if (firstDataLine == 0) firstDataLine = line;
        for (std::string_view w : words) {
            const auto v = parseInteger(w);
            if (!v || *v < 0 || *v > (1LL << 31) - 1)
                return refused(name, line, "\"" + std::string(w) + "\" is not a whole number from 0 to 2147483647");
            values.push_back(*v);
        }
        const size_t most = size_t(meshCount ? meshCount : MaxGridPoints);
        if (values.size() / 3 > most * most * most)
            return refused(name, line, "more table lines than the grid holds");
    }

    // A mesh line of three levels looks like a table line: 3³ + 1 lines
    // whose first rises from 0 have one.
    if (meshCount == 0 && values.size() == (27 + 1) * 3 && values[0] == 0 && values[1] > 0 && values[2] > values[1]) {
        values.erase(values.begin(), values.begin() + 3);
        meshCount = 3;
    }
    const size_t lines = values.size() / 3;
    if (lines == 0) return refused(name, std::max<size_t>(scan.lineNumber(), 1), "the file holds no table");
    uint32_t n = meshCount;
    if (n == 0) {
        n = uint32_t(std::lround(std::cbrt(double(lines))));
        if (n < 2 || size_t(n) * n * n != lines)
            return refused(name, scan.lineNumber(), std::to_string(lines) + " table lines are no N × N × N grid");
    } else if (lines != size_t(n) * n * n) {
        return refused(name, scan.lineNumber(), "the mesh line gives " + std::to_string(n) + " levels, so " +
                                           std::to_string(size_t(n) * n * n) + " table lines are needed, found " +
                                           std::to_string(lines));
    }
    if (outputBits == 0) outputBits = likelyDepth(*std::max_element(values.begin(), values.end()));
    const double top = double((1LL << outputBits) - 1);

    Lut3D& lut = result.lut;
    lut.size = n;
    lut.data.resize(lut.nodeCount() * 3);
    // Blue varies fastest in the file.
    size_t k = 0;
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t g = 0; g < n; ++g)
            for (uint32_t b = 0; b < n; ++b, k += 3) {
                float* node = &lut.data[lut.offset(r, g, b)];
                for (size_t c = 0; c < 3; ++c) node[c] = float(double(values[k + c]) / top);
            }
    return result;
}

std::string threeDlText(const Lut3D& lut)
{
    std::string out;
    if (!lut.title.empty()) out += "# " + oneLine(lut.title) + "\n";
    if (!lut.comment.empty()) out += "# " + oneLine(lut.comment) + "\n";
    const uint32_t n = lut.size;
    const double meshTop = double((1 << WrittenMeshBits) - 1);
    const double top = double((1 << WrittenOutputBits) - 1);
    for (uint32_t i = 0; i < n; ++i) {
        out += std::to_string(std::lround(double(i) * meshTop / double(n - 1)));
        out += i + 1 < n ? ' ' : '\n';
    }
    out.reserve(out.size() + lut.nodeCount() * 15);
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t g = 0; g < n; ++g)
            for (uint32_t b = 0; b < n; ++b) {
                const float* node = &lut.data[lut.offset(r, g, b)];
                for (size_t c = 0; c < 3; ++c) {
                    out += std::to_string(std::lround(std::clamp(double(node[c]), 0.0, 1.0) * top));
                    out += c < 2 ? ' ' : '\n';
                }
            }
    return out;
}

}   // namespace lutformats
