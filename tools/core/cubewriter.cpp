#include "tools/core/cubewriter.h"
#include "tools/core/toolfiles.h"


#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

constexpr int MinGridPoints = 2;
constexpr int MaxGridPoints = 255;
constexpr uint32_t TableTransformFlags = XformNoOptimise | XformNoCache | XformNoWhiteFixup;

// Where the text goes, piece by piece; false stops the writing.
using TextSink = std::function<bool(const char* data, size_t size)>;

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

void appendNumber(std::string& out, float value)
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

// The header lines. Line breaks in the title become blanks and its double
// quotes single ones (no reader takes a double quote inside the quoted
// title), and every line of the copyright gets its own comment mark, so the
// file stays a table every reader accepts.
std::string headerText(const CubeRequest& request, int n)
{
    QString title = request.title;
    title.replace(QLatin1String("\r\n"), QLatin1String(" "));
    title.replace(QChar('\r'), QChar(' '));
    title.replace(QChar('\n'), QChar(' '));
    title.replace(QChar('"'), QChar('\''));
    std::string out = "TITLE \"" + title.toStdString() + "\"\n";
    QString copyright = request.copyright;
    copyright.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    copyright.replace(QChar('\r'), QChar('\n'));
    for (const QString& line : copyright.split(QChar('\n'))) out += "# " + line.toStdString() + "\n";
    out += "DOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\nLUT_3D_SIZE " + std::to_string(n) + "\n";
    return out;
}

// One blue slice: n × n pixels through the transform, as text lines.
void sliceText(Transform* transform, int n, float step, int blue, std::vector<float>& in, std::vector<float>& out,
               std::string& text)
{
    const size_t pixels = size_t(n) * size_t(n);
    in.resize(pixels * 3);
    out.resize(pixels * 3);
    const float b = float(blue) * step;
    size_t k = 0;
    for (int g = 0; g < n; ++g) {
        for (int r = 0; r < n; ++r, k += 3) {
            in[k] = float(r) * step;
            in[k + 1] = float(g) * step;
            in[k + 2] = b;
        }
    }
    doTransform(transform, in.data(), out.data(), uint32_t(pixels));
    text.clear();
    text.reserve(pixels * 28);
    for (size_t i = 0; i < pixels * 3; i += 3) {
        appendNumber(text, out[i]);
        text += ' ';
        appendNumber(text, out[i + 1]);
        text += ' ';
        appendNumber(text, out[i + 2]);
        text += '\n';
    }
}

Transform* cubeTransform(IccProfile* rgbSpace, IccProfile* abstract)
{
    if (!rgbSpace || !abstract) return nullptr;
    IccProfile* const chain[3] = {rgbSpace, abstract, rgbSpace};
    return createMultiTransform(nullptr, chain, 3, FormatRgbFloat, FormatRgbFloat, IntentRelativeColorimetric,
                                TableTransformFlags);
}

// The whole table into the sink, slices computed on all processors and
// written in order.
bool writeCube(const CubeRequest& request, Transform* transform, const TextSink& sink, const CubeProgress& progress)
{
    const int n = std::clamp(request.gridPoints, MinGridPoints, MaxGridPoints);
    const float step = float(1.0 / double(n - 1));
    const std::string header = headerText(request, n);
    if (!sink(header.data(), header.size())) return false;

    const int threads =
        std::clamp(int(std::thread::hardware_concurrency()), 1, std::max(1, n * n * n / (64 * 1024) + 1));
    struct Worker {
        std::vector<float> in, out;
        std::string text;
    };
    std::vector<Worker> workers(size_t(threads), Worker{});
    for (int first = 0; first < n; first += threads) {
        const int count = std::min(threads, n - first);
        std::vector<std::thread> running;
        for (int t = 1; t < count; ++t) {
            Worker& w = workers[size_t(t)];
            running.emplace_back([&, t, first] { sliceText(transform, n, step, first + t, w.in, w.out, w.text); });
        }
        sliceText(transform, n, step, first, workers[0].in, workers[0].out, workers[0].text);
        for (std::thread& th : running) th.join();
        for (int t = 0; t < count; ++t) {
            const std::string& text = workers[size_t(t)].text;
            if (!sink(text.data(), text.size())) return false;
        }
        if (progress) progress(first + count, n);
    }
    return true;
}

}   // namespace

QByteArray formatCubeNumber(float value)
{
    std::string s;
    appendNumber(s, value);
    return QByteArray::fromStdString(s);
}

QByteArray cubeText(const CubeRequest& request, IccProfile* rgbSpace, IccProfile* abstract,
                    const CubeProgress& progress, QString* error)
{
    TransformPtr transform{cubeTransform(rgbSpace, abstract), &deleteTransform};
    if (!transform) {
        if (error) *error = CubeWriterText::CannotTransform;
        return {};
    }
    QByteArray text;
    writeCube(request, transform.get(), [&text](const char* data, size_t size) {
        text.append(data, qsizetype(size));
        return true;
    }, progress);
    return text;
}

ToolResult writeCubeFile(const CubeRequest& request, const ProfileOpener& open, const CubeProgress& progress)
{
    ToolResult result;
    ProfilePtr rgbSpace = adoptProfile(open(request.rgbProfile));
    ProfilePtr abstract = adoptProfile(open(request.abstractProfile));
    if (!rgbSpace || !abstract) {
        result.message = CubeWriterText::CannotOpen;
        return result;
    }
    TransformPtr transform{cubeTransform(rgbSpace.get(), abstract.get()), &deleteTransform};
    if (!transform) {
        result.message = CubeWriterText::CannotTransform;
        return result;
    }
    // Text is written as it is made; the target gets the file only when complete.
    QString error;
    const bool written = writeFileThrough(
        request.outputFile,
        [&](QFileDevice& file) {
            return writeCube(request, transform.get(), [&file](const char* data, size_t size) {
                return file.write(data, qint64(size)) == qint64(size);
            }, progress);
        },
        request.overwrite, &error);
    if (!written) {
        result.message = CubeWriterText::CannotWrite + error;
        return result;
    }
    result.ok = true;
    return result;
}
