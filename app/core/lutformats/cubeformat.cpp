// The .cube writer, and the engine's reader with its message.
#include "app/core/lutformats/cubeformat.h"

#include "app/core/enginemessages.h"
#include "app/core/lutformats/lutfile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

namespace lutformats {

namespace {

// "%g" rounds a decimal tie to even, as the exact binary value decides; the
// text stream rounds ties away from zero. A tie at six digits means the
// exact value has seven significant digits, the last a 5.
bool isTieAtSixDigits(double v, const char* seven, const char* sevenEnd)
{
    // "d.dddddd" then 'e': the seventh digit is just before the 'e'.
    const char* e = std::find(seven, sevenEnd, 'e');
    if (e == sevenEnd || e - seven < 8 || e[-1] != '5') return false;
    char exact[96];
    const auto r = std::to_chars(exact, exact + sizeof exact, v, std::chars_format::scientific, 60);
    const char* ee = std::find(exact, r.ptr, 'e');
    // digits 8 … 61 all zero: nothing beyond the 5.
    const char* p = exact + 8;
    if (v < 0) ++p;
    return std::all_of(p, ee, [](char c) { return c == '0'; });
}

}   // namespace

void appendCubeNumber(std::string& out, float value)
{
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (value == 0.0f) {   // also -0, which the text stream prints as 0
        out += '0';
        return;
    }
    double v = value;
    char seven[48];
    const auto s = std::to_chars(seven, seven + sizeof seven, v, std::chars_format::scientific, 6);
    if (s.ec == std::errc() && isTieAtSixDigits(v, seven, s.ptr)) {
        // Round the six digits away from zero: one unit of the sixth digit
        // beyond the truncated value, then reprint (no longer a tie).
        char six[48];
        const char* e = std::find(seven, s.ptr, 'e');
        const size_t mantissaEnd = size_t(e - seven) - 1;   // drop the seventh digit
        std::memcpy(six, seven, mantissaEnd);
        std::memcpy(six + mantissaEnd, e, size_t(s.ptr - e));
        double truncated = 0;
        std::from_chars(six, six + mantissaEnd + size_t(s.ptr - e), truncated);
        const char* digits = e + 1 + ((e[1] == '+' || e[1] == '-') ? 1 : 0);
        int exponent = 0;
        std::from_chars(digits, s.ptr, exponent);
        if (e[1] == '-') exponent = -exponent;
        const double unit = std::pow(10.0, exponent - 5);
        v = truncated + (v < 0 ? -unit : unit);
    }
    char text[48];
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::general, 6);
    out.append(text, r.ptr);
}

IccProfile* readCubeLink(const std::string& path, std::string& error)
{
    EngineMessageCapture capture;
    IccProfile* link = readCubeFile(path.c_str());
    if (!link) {
        const std::string message = capture.latest();
        error = message.empty() ? path + ": not a .cube table" : message;
    }
    return link;
}

std::string cubeHeader(const std::string& title, const std::string& comment, uint32_t n)
{
    std::string t;
    for (size_t i = 0; i < title.size(); ++i) {
        if (title[i] == '\r' && i + 1 < title.size() && title[i + 1] == '\n') continue;   // \r\n: one blank
        t += title[i] == '\r' || title[i] == '\n' ? ' ' : title[i] == '"' ? '\'' : title[i];
    }
    std::string out = "TITLE \"" + t + "\"\n";
    // Every line of the comment gets its own mark; \r\n, \r and \n end lines.
    std::string line;
    for (size_t i = 0; i <= comment.size(); ++i) {
        if (i == comment.size() || comment[i] == '\n' || comment[i] == '\r') {
            out += "# " + line + "\n";
            line.clear();
            if (i + 1 < comment.size() && comment[i] == '\r' && comment[i + 1] == '\n') ++i;
        } else {
            line += comment[i];
        }
    }
    out += "DOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\nLUT_3D_SIZE " + std::to_string(n) + "\n";
    return out;
}

std::string cubeText(const Lut3D& lut)
{
    for (size_t c = 1; c < 3; ++c)
        if (lut.inputMin[c] != lut.inputMin[0] || lut.inputMax[c] != lut.inputMax[0]) return {};
    std::string out = cubeHeader(lut.title, lut.comment, lut.size);
    const bool unit = lut.inputMin[0] == 0 && lut.inputMax[0] == 1;
    std::string range;
    if (!unit) {
        appendCubeNumber(range, float(lut.inputMin[0]));
        range += ' ';
        appendCubeNumber(range, float(lut.inputMax[0]));
        range += '\n';
    }
    if (lut.hasShaper()) {
        out += "LUT_1D_SIZE " + std::to_string(lut.shaperSize) + "\n";
        if (!unit) out += "LUT_1D_INPUT_RANGE " + range;
    } else if (!unit) {
        out += "LUT_3D_INPUT_RANGE " + range;
    }
    auto line = [&out](const float* v) {
        for (size_t c = 0; c < 3; ++c) {
            appendCubeNumber(out, v[c]);
            out += c < 2 ? ' ' : '\n';
        }
    };
    for (uint32_t i = 0; i < lut.shaperSize; ++i) {
        const float v[3] = {lut.shaper[0][i], lut.shaper[1][i], lut.shaper[2][i]};
        line(v);
    }
    out.reserve(out.size() + lut.data.size() * 9);
    for (size_t i = 0; i < lut.data.size(); i += 3) line(&lut.data[i]);
    return out;
}

}   // namespace lutformats
