#include "tools/core/cubewriter.h"
#include "tools/core/toolfiles.h"

#include "app/core/lutformats/cubeformat.h"
#include "app/core/lutformats/haldformat.h"
#include "app/core/lutformats/lutfile.h"

#include <QFile>

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

// The header lines (see cubeHeader).
std::string headerText(const CubeRequest& request, int n)
{
    return lutformats::cubeHeader(request.title.toStdString(), request.copyright.toStdString(), uint32_t(n));
}

// The inputs of one blue slice, red fastest, each product in float.
void sliceInputs(int n, float step, int blue, std::vector<float>& in)
{
    in.resize(size_t(n) * size_t(n) * 3);
    const float b = float(blue) * step;
    size_t k = 0;
    for (int g = 0; g < n; ++g) {
        for (int r = 0; r < n; ++r, k += 3) {
            in[k] = float(r) * step;
            in[k + 1] = float(g) * step;
            in[k + 2] = b;
        }
    }
}

// One blue slice: n × n pixels through the transform, as text lines.
void sliceText(Transform* transform, int n, float step, int blue, std::vector<float>& in, std::vector<float>& out,
               std::string& text)
{
    const size_t pixels = size_t(n) * size_t(n);
    out.resize(pixels * 3);
    sliceInputs(n, step, blue, in);
    doTransform(transform, in.data(), out.data(), uint32_t(pixels));
    text.clear();
    text.reserve(pixels * 28);
    for (size_t i = 0; i < pixels * 3; i += 3) {
        lutformats::appendCubeNumber(text, out[i]);
        text += ' ';
        lutformats::appendCubeNumber(text, out[i + 1]);
        text += ' ';
        lutformats::appendCubeNumber(text, out[i + 2]);
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
    lutformats::appendCubeNumber(s, value);
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

QString cubeRequestFormat(const QString& outputFile, const QString& format)
{
    using namespace lutformats;
    std::optional<LutFormat> f = formatFromKey(format.toStdString());
    if (!f) f = formatOfName(outputFile.toStdString());
    return QString::fromLatin1(formatKey(f.value_or(LutFormat::Cube)));
}

lutformats::Lut3D sampleLut(const CubeRequest& request, IccProfile* rgbSpace, IccProfile* abstract,
                            const CubeProgress& progress)
{
    TransformPtr transform{cubeTransform(rgbSpace, abstract), &deleteTransform};
    if (!transform) return {};
    const bool hald = request.format.startsWith(QLatin1String("hald"));
    const int n = hald ? std::clamp(request.haldLevel, 2, 16) * std::clamp(request.haldLevel, 2, 16)
                       : std::clamp(request.gridPoints, MinGridPoints, MaxGridPoints);
    const float step = float(1.0 / double(n - 1));
    lutformats::Lut3D lut;
    lut.title = request.title.toStdString();
    lut.comment = request.copyright.toStdString();
    lut.size = uint32_t(n);
    lut.data.resize(lut.nodeCount() * 3);
    // A slice at a time, which the engine's workers split.
    std::vector<float> in;
    const size_t slice = size_t(n) * size_t(n);
    for (int blue = 0; blue < n; ++blue) {
        sliceInputs(n, step, blue, in);
        doTransform(transform.get(), in.data(), &lut.data[size_t(blue) * slice * 3], uint32_t(slice));
        if (progress) progress(blue + 1, n);
    }
    return lut;
}

namespace {

// A table in a format other than .cube: sampled whole, then written.
ToolResult writeOtherFormat(const CubeRequest& request, IccProfile* rgbSpace, IccProfile* abstract,
                            const CubeProgress& progress)
{
    using namespace lutformats;
    ToolResult result;
    const LutFormat format = formatFromKey(request.format.toStdString()).value_or(LutFormat::Cube);
    const Lut3D lut = sampleLut(request, rgbSpace, abstract, progress);
    if (lut.size == 0) {
        result.message = CubeWriterText::CannotTransform;
        return result;
    }
    const std::string path = QFile::encodeName(request.outputFile).toStdString();
    if (format == LutFormat::HaldPng || format == LutFormat::HaldTiff) {
        const std::string why = writeHald(lut, path, format == LutFormat::HaldTiff, request.haldBits);
        result.message = QString::fromStdString(why);
        result.ok = why.empty();
        return result;
    }
    const std::string text = lutText(lut, format);
    if (text.empty()) {
        result.message = CubeWriterText::CannotHold;
        return result;
    }
    QString error;
    result.ok = writeFileAtomically(request.outputFile, QByteArray::fromStdString(text), &error, request.overwrite);
    if (!result.ok) result.message = CubeWriterText::CannotWrite + error;
    return result;
}

}   // namespace

ToolResult writeCubeFile(const CubeRequest& request, const ProfileOpener& open, const CubeProgress& progress)
{
    ToolResult result;
    ProfilePtr rgbSpace = adoptProfile(open(request.rgbProfile));
    ProfilePtr abstract = adoptProfile(open(request.abstractProfile));
    if (!rgbSpace || !abstract) {
        result.message = CubeWriterText::CannotOpen;
        return result;
    }
    CubeRequest resolved = request;
    resolved.format = cubeRequestFormat(request.outputFile, request.format);
    if (resolved.format != QLatin1String("cube")) return writeOtherFormat(resolved, rgbSpace.get(), abstract.get(), progress);
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
