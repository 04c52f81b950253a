// The .csp reader and writer.
#include "app/core/lutformats/cspformat.h"

#include <algorithm>
#include <cmath>

namespace lutformats {

namespace {

constexpr uint32_t ResampledEntries = 4096;

struct PreLut {
    std::vector<double> in, out;
};

bool evenlySpaced(const std::vector<double>& x)
{
    const double step = (x.back() - x.front()) / double(x.size() - 1);
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i] - (x.front() + step * double(i))) > 1e-6 * (x.back() - x.front())) return false;
    return true;
}

// The pre-LUT's piecewise-linear value at x, held at its ends.
double preLutAt(const PreLut& p, double x)
{
    if (x <= p.in.front()) return p.out.front();
    if (x >= p.in.back()) return p.out.back();
    const size_t i = size_t(std::upper_bound(p.in.begin(), p.in.end(), x) - p.in.begin()) - 1;
    const double f = (x - p.in[i]) / (p.in[i + 1] - p.in[i]);
    return p.out[i] + (p.out[i + 1] - p.out[i]) * f;
}

// The three pre-LUTs as the table's input range and shapers: none when all
// three are straight from 0 to 1, their own outputs when all have the same
// evenly spaced inputs, else each resampled.
void intoShapers(const PreLut (&pre)[3], Lut3D& lut)
{
    bool straight = true, even = true;
    for (size_t c = 0; c < 3; ++c) {
        lut.inputMin[c] = pre[c].in.front();
        lut.inputMax[c] = pre[c].in.back();
        straight = straight && pre[c].in.size() == 2 && pre[c].out[0] == 0 && pre[c].out[1] == 1;
        even = even && evenlySpaced(pre[c].in) && pre[c].in.size() == pre[0].in.size();
    }
    if (straight) return;
    lut.shaperSize = even ? uint32_t(pre[0].in.size()) : ResampledEntries;
    for (size_t c = 0; c < 3; ++c) {
        std::vector<float>& s = lut.shaper[c];
        s.resize(lut.shaperSize);
        for (uint32_t i = 0; i < lut.shaperSize; ++i) {
            const double x = lut.inputMin[c] + (lut.inputMax[c] - lut.inputMin[c]) * double(i) / (lut.shaperSize - 1);
            s[i] = float(even ? pre[c].out[i] : preLutAt(pre[c], x));
        }
    }
}

}   // namespace

LutRead readCsp(std::string_view text, const std::string& name)
{
    LutRead result;
    Lut3D& lut = result.lut;
    TextScanner scan(text);
    std::vector<std::string_view> words;
    auto next = [&](const char* what) {
        if (scan.nextLine(words, false)) return true;
        result.error = lineError(name, scan.lineNumber(), std::string("the file ends before ") + what);
        return false;
    };

    if (!next("its first line") || words.size() != 1 || words[0] != "CSPLUTV100")
        return refused(name, scan.lineNumber(), "a .csp file starts with \"CSPLUTV100\"");
    if (!next("the table kind")) return result;
    if (words.size() != 1 || words[0] != "3D")
        return refused(name, scan.lineNumber(), "only 3D tables are read (the line must be \"3D\")");
    if (!next("the pre-LUTs")) return result;
    if (words.size() == 2 && words[0] == "BEGIN" && words[1] == "METADATA") {
        for (;;) {
            if (!next("\"END METADATA\"")) return result;
            if (words.size() == 2 && words[0] == "END" && words[1] == "METADATA") break;
            std::string_view line = scan.lineText();
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
            if (lut.title.empty()) lut.title = std::string(line);
            else lut.comment += (lut.comment.empty() ? "" : " ") + std::string(line);
        }
        if (!next("the pre-LUTs")) return result;
    }

    PreLut pre[3];
    static const char* const Channels[3] = {"red", "green", "blue"};
    for (size_t c = 0; c < 3; ++c) {
        if (c > 0 && !next("the pre-LUTs")) return result;
        const std::string what = std::string("the ") + Channels[c] + " pre-LUT";
        const auto count = words.size() == 1 ? parseInteger(words[0]) : std::nullopt;
        if (!count || *count < 2 || *count > MaxShaperEntries)
            return refused(name, scan.lineNumber(), what + " needs its number of entries (2 to 65536)");
        for (std::vector<double>* row : {&pre[c].in, &pre[c].out}) {
            if (!next(what.c_str())) return result;
            if (words.size() != size_t(*count))
                return refused(name, scan.lineNumber(), what + " has " + std::to_string(*count) + " entries, this line " +
                                                   std::to_string(words.size()));
            for (std::string_view w : words) {
                const auto v = parseNumber(w);
                if (!v) return refused(name, scan.lineNumber(), "\"" + std::string(w) + "\" is not a number");
                if (row == &pre[c].in && !row->empty() && *v <= row->back())
                    return refused(name, scan.lineNumber(), what + ": the input levels must rise");
                row->push_back(*v);
            }
        }
    }
    intoShapers(pre, lut);

    if (!next("the grid size")) return result;
    const size_t sizeLine = scan.lineNumber();
    long long n = 0;
    for (size_t c = 0; c < words.size(); ++c) {
        const auto v = parseInteger(words[c]);
        if (words.size() != 3 || !v || *v < 2 || *v > MaxGridPoints || (c > 0 && *v != n))
            return refused(name, sizeLine, "the grid size must be three equal numbers from 2 to 256");
        n = *v;
    }
    lut.size = uint32_t(n);
    const size_t nodes = lut.nodeCount();
    lut.data.reserve(std::min<size_t>(nodes, size_t(1) << 16) * 3);
    while (scan.nextLine(words, false)) {
        if (lut.data.size() == nodes * 3) return refused(name, scan.lineNumber(), "more table lines than the grid holds");
        if (words.size() != 3)
            return refused(name, scan.lineNumber(), "a table line holds three numbers, found " + std::to_string(words.size()) +
                                               " words");
        for (std::string_view w : words) {
            const auto v = parseNumber(w);
            if (!v || std::fabs(*v) > 3.4e38) return refused(name, scan.lineNumber(), "\"" + std::string(w) + "\" is not a number");
            lut.data.push_back(float(*v));
        }
    }
    if (lut.data.size() != nodes * 3)
        return refused(name, scan.lineNumber(), "the grid of " + std::to_string(n) + " points needs " + std::to_string(nodes) +
                                           " table lines, found " + std::to_string(lut.data.size() / 3));
    return result;
}

std::string cspText(const Lut3D& lut)
{
    std::string out = "CSPLUTV100\n3D\n\nBEGIN METADATA\n";
    out += oneLine(lut.title.empty() ? std::string("Untitled") : lut.title) + "\n";
    if (!lut.comment.empty()) out += oneLine(lut.comment) + "\n";
    out += "END METADATA\n\n";
    for (size_t c = 0; c < 3; ++c) {
        const uint32_t n = lut.hasShaper() ? lut.shaperSize : 2;
        out += std::to_string(n) + "\n";
        for (uint32_t i = 0; i < n; ++i) {
            const double x = lut.inputMin[c] + (lut.inputMax[c] - lut.inputMin[c]) * double(i) / double(n - 1);
            appendShortest(out, float(x));
            out += i + 1 < n ? ' ' : '\n';
        }
        for (uint32_t i = 0; i < n; ++i) {
            appendShortest(out, lut.hasShaper() ? lut.shaper[c][i] : float(i));
            out += i + 1 < n ? ' ' : '\n';
        }
    }
    out += "\n" + std::to_string(lut.size) + " " + std::to_string(lut.size) + " " + std::to_string(lut.size) + "\n";
    out.reserve(out.size() + lut.data.size() * 10);
    for (size_t i = 0; i < lut.data.size(); i += 3) {
        for (size_t c = 0; c < 3; ++c) {
            appendShortest(out, lut.data[i + c]);
            out += c < 2 ? ' ' : '\n';
        }
    }
    return out;
}

}   // namespace lutformats
