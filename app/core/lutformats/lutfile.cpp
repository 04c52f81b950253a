// The formats by name and extension, whole-file reading and writing, and the
// text scanner of the line-based formats.
#include "app/core/lutformats/lutfile.h"

#include "app/core/lutformats/clfformat.h"
#include "app/core/lutformats/cspformat.h"
#include "app/core/lutformats/cubeformat.h"
#include "app/core/lutformats/haldformat.h"
#include "app/core/lutformats/spi3dformat.h"
#include "app/core/lutformats/threedlformat.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

namespace lutformats {

namespace {

struct FormatInfo {
    LutFormat format;
    const char* key;
    const char* label;
    const char* extension;
};

constexpr FormatInfo Formats[] = {
    {LutFormat::Cube, "cube", "Resolve .cube", ".cube"},
    {LutFormat::ThreeDl, "3dl", "Autodesk .3dl", ".3dl"},
    {LutFormat::Csp, "csp", "Cinespace .csp", ".csp"},
    {LutFormat::Spi3d, "spi3d", "Sony Imageworks .spi3d", ".spi3d"},
    {LutFormat::Clf, "clf", "Common LUT Format .clf", ".clf"},
    {LutFormat::HaldPng, "hald-png", "Hald CLUT (PNG)", ".png"},
    {LutFormat::HaldTiff, "hald-tiff", "Hald CLUT (TIFF)", ".tif"},
};

const FormatInfo& info(LutFormat format)
{
    for (const FormatInfo& f : Formats)
        if (f.format == format) return f;
    return Formats[0];
}

std::string lowered(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

constexpr size_t MaxFileBytes = size_t(1) << 30;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

}   // namespace

LutRead refused(const std::string& file, size_t line, const std::string& what)
{
    LutRead result;
    result.error = lineError(file, line, what);
    return result;
}

const char* formatKey(LutFormat format)
{
    return info(format).key;
}

const char* formatLabel(LutFormat format)
{
    return info(format).label;
}

const char* formatExtension(LutFormat format)
{
    return info(format).extension;
}

std::optional<LutFormat> formatFromKey(std::string_view key)
{
    const std::string k = lowered(key);
    for (const FormatInfo& f : Formats)
        if (k == f.key) return f.format;
    return std::nullopt;
}

std::optional<LutFormat> formatOfName(std::string_view path)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return std::nullopt;
    const std::string ext = lowered(path.substr(dot));
    if (ext == ".lut") return LutFormat::Cube;
    if (ext == ".tiff") return LutFormat::HaldTiff;
    for (const FormatInfo& f : Formats)
        if (ext == f.extension) return f.format;
    return std::nullopt;
}

const std::vector<LutFormat>& allFormats()
{
    static const std::vector<LutFormat> all = [] {
        std::vector<LutFormat> v;
        for (const FormatInfo& f : Formats) v.push_back(f.format);
        return v;
    }();
    return all;
}

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error)
{
    std::unique_ptr<FILE, decltype(&std::fclose)> file{std::fopen(path.c_str(), "rb"), &std::fclose};
    if (!file) {
        error = path + ": cannot be opened";
        return false;
    }
    bytes.clear();
    char block[1 << 16];
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, file.get());
        if (got == 0) break;
        if (bytes.size() + got > MaxFileBytes) {
            error = path + ": larger than the 1 GiB a table file may have";
            return false;
        }
        bytes.append(block, got);
    }
    if (std::ferror(file.get())) {
        error = path + ": cannot be read";
        return false;
    }
    return true;
}

LutRead readLutFile(const std::string& path, LutFormat format)
{
    LutRead result;
    if (format == LutFormat::HaldPng || format == LutFormat::HaldTiff) {
        result = readHald(path);
    } else {
        std::string bytes;
        if (!readWholeFile(path, bytes, result.error)) return result;
        switch (format) {
        case LutFormat::ThreeDl: result = readThreeDl(bytes, path); break;
        case LutFormat::Csp: result = readCsp(bytes, path); break;
        case LutFormat::Spi3d: result = readSpi3d(bytes, path); break;
        case LutFormat::Clf: result = readClf(bytes, path); break;
        default: result.error = path + ": .cube tables are read by the engine's reader"; return result;
        }
    }
    if (result.ok()) {
        const std::string why = result.lut.validate();
        if (!why.empty()) result.error = path + ": " + why;
    }
    return result;
}

std::string lutText(const Lut3D& lut, LutFormat format)
{
    switch (format) {
    case LutFormat::Cube: return cubeText(lut);
    case LutFormat::ThreeDl: return threeDlText(lut);
    case LutFormat::Csp: return cspText(lut);
    case LutFormat::Spi3d: return spi3dText(lut);
    case LutFormat::Clf: return clfText(lut);
    case LutFormat::HaldPng:
    case LutFormat::HaldTiff: break;
    }
    return {};
}

// ---------------------------------------------------------------------------
// The text scanner
// ---------------------------------------------------------------------------

TextScanner::TextScanner(std::string_view text) : text_(text)
{
    // A UTF-8 byte-order mark before the first line is no part of it.
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
}

bool TextScanner::nextLine(std::vector<std::string_view>& words, bool comments)
{
    while (at_ < text_.size()) {
        size_t end = at_;
        while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
        current_ = text_.substr(at_, end - at_);
        ++line_;
        // \r\n is one line end.
        at_ = end + ((end + 1 < text_.size() && text_[end] == '\r' && text_[end + 1] == '\n') ? 2 : 1);
        std::string_view body = current_;
        if (comments) body = body.substr(0, body.find('#'));
        words.clear();
        size_t i = 0;
        while (i < body.size()) {
            while (i < body.size() && isBlank(body[i])) ++i;
            const size_t start = i;
            while (i < body.size() && !isBlank(body[i])) ++i;
            if (i > start) words.push_back(body.substr(start, i - start));
        }
        if (!words.empty()) return true;
    }
    current_ = {};
    return false;
}

std::optional<double> parseNumber(std::string_view word)
{
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    double v = 0;
    const auto r = std::from_chars(word.data(), word.data() + word.size(), v);
    if (r.ec != std::errc() || r.ptr != word.data() + word.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<long long> parseInteger(std::string_view word)
{
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    long long v = 0;
    const auto r = std::from_chars(word.data(), word.data() + word.size(), v);
    if (r.ec != std::errc() || r.ptr != word.data() + word.size()) return std::nullopt;
    return v;
}

void appendShortest(std::string& out, float value)
{
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, value == 0.0f ? 0.0f : value);
    out.append(text, r.ptr);
}

std::string oneLine(std::string_view text)
{
    std::string out(text);
    std::replace_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return out;
}

}   // namespace lutformats
