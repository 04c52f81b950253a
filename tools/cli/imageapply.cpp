#include "tools/cli/imageapply.h"

#include "tools/cli/toolkitimages.h"
#include "tools/core/toolfiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

using namespace imagefiles;

namespace {

using TransformPtr = std::shared_ptr<Transform>;
using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// Profiles larger than this are not read from files.
constexpr qint64 MaxProfileBytes = qint64(256) << 20;
// Bytes of one band of rows, and how many bands may be in flight beyond
// those the transforming threads hold: the reader runs ahead (while the
// transform is being made, too), and finished bands wait for the writer.
// Bands this small keep a lane's input and output in the processor's own
// cache while it transforms them and the writer copies them out (2 MB bands
// made a CMYK run 5 ms slower).
constexpr size_t StripBytes = size_t(512) << 10;
constexpr int SpareInputStrips = 3;
constexpr int SpareOutputStrips = 2;
constexpr int MaxLanes = 16;

const char* const SoftProofHint =
    "A soft-proof chain names the press profile twice, once to go into the press space and once to "
    "come back: *srgb,press.icc,press.icc,*srgb";

// ---------------------------------------------------------------------------
// Profiles of the chain
// ---------------------------------------------------------------------------

struct LoadedProfile {
    QString name;      // as messages show it
    QString builtin;   // the built-in colour space it is, if any
    QByteArray bytes;
    ProfilePtr profile{nullptr, &closeProfile};
    uint32_t cls = 0, space = 0, pcs = 0;

    bool isDevice() const { return cls != ClassLink && cls != ClassAbstract && cls != ClassNamedColor; }
};

bool fromBytes(LoadedProfile& p)
{
    if (p.bytes.isEmpty()) return false;
    p.profile = adoptProfile(openFromMemory(p.bytes.constData(), uint32_t(p.bytes.size())));
    if (!p.profile) return false;
    p.cls = profileDeviceClass(p.profile.get());
    p.space = profileColorSpace(p.profile.get());
    p.pcs = profilePcs(p.profile.get());
    return true;
}

// A profile by name: a file is kept byte for byte (it is embedded as it is);
// a built-in is used as made and embedded as the engine writes it.
QString loadProfile(const QString& name, const ProfileOpener& open, LoadedProfile& out)
{
    const QString failed = QStringLiteral("Cannot open profile: %1").arg(name);
    out.name = name.startsWith(QLatin1Char('*')) ? name : QFileInfo(name).fileName();
    if (!name.startsWith(QLatin1Char('*')) && QFileInfo(name).isFile()) {
        QFile file(name);
        if (file.size() > MaxProfileBytes || !file.open(QIODevice::ReadOnly)) return failed;
        out.bytes = file.readAll();
        return fromBytes(out) ? QString() : failed;
    }
    out.profile = adoptProfile(open(name));
    if (!out.profile) return failed;
    if (name.startsWith(QLatin1Char('*'))) out.builtin = name;
    out.bytes = profileBytes(out.profile.get());
    out.cls = profileDeviceClass(out.profile.get());
    out.space = profileColorSpace(out.profile.get());
    out.pcs = profilePcs(out.profile.get());
    return out.bytes.isEmpty() ? failed : QString();
}

// Gray without a profile is read as the neutral axis of sRGB.
IccProfile* createSrgbGray()
{
    CieXyY white{};
    if (!whitePointFromTemp(&white, 6504.0)) return nullptr;
    const double srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    CurvePtr curve{buildParametricCurve(nullptr, 4, srgb), &freeCurve};
    return curve ? createGrayProfile(nullptr, &white, curve.get()) : nullptr;
}

uint32_t spaceOfModel(ColorModel m)
{
    return m == ColorModel::Gray ? SpaceGray : m == ColorModel::Rgb ? SpaceRgb : SpaceCmyk;
}

std::optional<ColorModel> modelOfSpace(uint32_t space)
{
    if (space == SpaceGray) return ColorModel::Gray;
    if (space == SpaceRgb) return ColorModel::Rgb;
    if (space == SpaceCmyk) return ColorModel::Cmyk;
    return std::nullopt;
}

QString spaceName(uint32_t s)
{
    switch (s) {
    case SpaceGray: return QStringLiteral("gray");
    case SpaceRgb: return QStringLiteral("RGB");
    case SpaceCmyk: return QStringLiteral("CMYK");
    case SpaceLab: return QStringLiteral("Lab");
    case SpaceXyz: return QStringLiteral("XYZ");
    default: break;
    }
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((s >> shift) & 0xFF);
        if (c > 32 && c < 127) text += QLatin1Char(c);
    }
    return text.isEmpty() ? QStringLiteral("unknown") : text;
}

bool isPcs(uint32_t s)
{
    return s == SpaceLab || s == SpaceXyz;
}

// Walks the chain as the engine links it: the first profile and any profile
// reached in device values take device values in, a profile reached in the
// PCS gives device values out, links and abstract profiles go their own
// way. A message naming the two neighbours that do not meet, if any.
QString walkChain(const std::vector<const LoadedProfile*>& chain, uint32_t& entry, uint32_t& exit)
{
    uint32_t current = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        const LoadedProfile& p = *chain[i];
        const bool forward = !p.isDevice() || i == 0 || !isPcs(current);
        const uint32_t in = forward ? p.space : p.pcs;
        const uint32_t out = forward ? p.pcs : p.space;
        if (i == 0) entry = current = in;
        if (current != in && !(isPcs(current) && isPcs(in)))
            return QStringLiteral("The profiles %1 and %2 do not meet: %1 gives %3 values where %2 takes %4 "
                                  "values. %5")
                .arg(chain[i - 1]->name, p.name, spaceName(current), spaceName(in), QLatin1String(SoftProofHint));
        current = out;
    }
    exit = current;
    return {};
}

uint32_t engineFormat(const PixelLayout& l)
{
    const uint32_t space = l.model == ColorModel::Gray ? PixelGray : l.model == ColorModel::Rgb ? PixelRgb : PixelCmyk;
    return pixelFormat(space, l.colorChannels(), l.bits / 8, l.extraChannels);
}

// ---------------------------------------------------------------------------
// Reading, transforming and writing side by side
// ---------------------------------------------------------------------------

// Values handed from thread to thread, in the order pushed, or in an order
// of places given with them (0, 1, 2 …: pop() waits for the next place).
template <class T>
class Channel {
public:
    void push(T value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.emplace(pushed_++, std::move(value));
        ready_.notify_one();
    }
    void pushAt(uint64_t place, T value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.emplace(place, std::move(value));
        ready_.notify_all();
    }
    // Nothing once the channel is closed and the next value is not there.
    std::optional<T> pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return items_.count(next_) || closed_; });
        const auto at = items_.find(next_);
        if (at == items_.end()) return std::nullopt;
        T value = std::move(at->second);
        items_.erase(at);
        ++next_;
        return value;
    }
    void close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::map<uint64_t, T> items_;
    uint64_t pushed_ = 0, next_ = 0;
    bool closed_ = false;
};

struct Strip {
    uint8_t* data = nullptr;
    uint32_t rows = 0;
    bool input = true;   // which pool it returns to
    uint32_t index = 0;  // its place among the image's bands
};

// Gray rows as RGB, extra channels after.
void expandGray(const uint8_t* src, uint8_t* dst, const PixelLayout& gray, uint32_t rows)
{
    const size_t sample = gray.bits / 8, extras = gray.extraChannels;
    const size_t pixels = size_t(gray.width) * rows;
    for (size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c, dst += sample) std::memcpy(dst, src, sample);
        src += sample;
        std::memcpy(dst, src, extras * sample);
        src += extras * sample;
        dst += extras * sample;
    }
}

// A band's bytes, rounded up to whole cache lines so that no two threads
// write into one.
size_t bandBytes(size_t bytes)
{
    return (bytes + 63) / 64 * 64;
}

// The reader, the transforming threads ("lanes", each taking whole bands,
// so that a lane the system pauses holds up no other) and the writer, side
// by side.
class Pipeline3 {
public:
    Pipeline3(ImageReader& reader, bool grayToRgb, ImageWriter& writer, bool transforms, const PixelLayout& in,
              const PixelLayout& out, int lanes)
        : reader_(reader), grayToRgb_(grayToRgb), writer_(writer), transforms_(transforms), in_(in), out_(out),
          lanes_(transforms ? std::clamp(lanes, 1, MaxLanes) : 1)
    {
    }

    ~Pipeline3()
    {
        if (!reading_.joinable()) return;
        fail(readError_, "abandoned");
        done_.close();
        reading_.join();
        writing_.join();
    }

    // The reader and the writer start; the reader fills the bands it has.
    void start()
    {
        const size_t widest = std::max(in_.rowBytes(), out_.rowBytes());
        stripRows_ = uint32_t(std::clamp<size_t>(StripBytes / widest, 8, in_.height));
        const size_t inBytes = bandBytes(in_.rowBytes() * stripRows_);
        const size_t outBytes = bandBytes(out_.rowBytes() * stripRows_);
        const uint32_t bands = (in_.height + stripRows_ - 1) / stripRows_;
        lanes_ = std::min<int>(lanes_, int(bands));
        const int inputStrips = lanes_ + SpareInputStrips, outputStrips = transforms_ ? lanes_ + SpareOutputStrips : 0;
        // Left uninitialised: every band is filled before it is read.
        bands_.reset(new uint8_t[inBytes * size_t(inputStrips) + outBytes * size_t(outputStrips) + 64]);
        uint8_t* next = bands_.get() + (64 - reinterpret_cast<uintptr_t>(bands_.get()) % 64) % 64;
        for (int i = 0; i < inputStrips; ++i, next += inBytes) freeIn_.push(Strip{next, 0, true});
        for (int i = 0; i < outputStrips; ++i, next += outBytes) freeOut_.push(Strip{next, 0, false});
        reading_ = std::thread([this] { readAll(); });
        writing_ = std::thread([this] { writeAll(); });
    }

    // Every band through the transform (or copied, when the pipeline was
    // made without one) to the writer. False with the reason on the side
    // that failed.
    bool run(Transform* transform, const ApplyProgress& progress, QString& readError, QString& writeError)
    {
        if (!transforms_) {
            while (std::optional<Strip> s = filled_.pop()) {
                if (failed_) continue;
                const uint32_t rows = s->rows;
                done_.pushAt(s->index, *s);
                report(rows, progress);
            }
        } else {
            // Each lane transforms whole bands on its own thread: with one
            // call split among threads, a thread paused for the reader or the
            // writer would keep the others waiting at the end of every band.
            std::vector<std::thread> lanes;
            for (int l = 1; l < lanes_; ++l) lanes.emplace_back([&] { transformBands(transform, progress); });
            transformBands(transform, progress);
            for (std::thread& lane : lanes) lane.join();
        }
        done_.close();
        reading_.join();
        writing_.join();
        readError = QString::fromStdString(readError_);
        writeError = QString::fromStdString(writeError_);
        return !failed_;
    }

private:
    // Bands until the reader is done. A lane takes its output band before
    // its input band: every band taken from the reader then has a place for
    // its result, and the band the writer waits for is always being made.
    void transformBands(Transform* transform, const ApplyProgress& progress)
    {
        const TransformWorker worker = transformWorker(transform);
        while (std::optional<Strip> o = freeOut_.pop()) {
            std::optional<Strip> s = filled_.pop();
            if (!s) {
                freeOut_.push(*o);
                return;
            }
            if (!failed_) {
                const Stride stride{uint32_t(in_.rowBytes()), uint32_t(out_.rowBytes()),
                                    uint32_t(in_.rowBytes() * s->rows), uint32_t(out_.rowBytes() * s->rows)};
                worker(transform, s->data, o->data, in_.width, s->rows, &stride);
            }
            o->rows = s->rows;
            o->index = s->index;
            freeIn_.push(*s);
            done_.pushAt(o->index, *o);
            report(s->rows, progress);
        }
    }

    void report(uint32_t rows, const ApplyProgress& progress)
    {
        const uint32_t done = rowsDone_ += rows;
        if (progress) progress(int(done), int(in_.height));
    }

    void fail(std::string& slot, const std::string& message)
    {
        {
            std::lock_guard<std::mutex> lock(errorMutex_);
            if (!failed_) slot = message.empty() ? std::string("unknown error") : message;
            failed_ = true;
        }
        freeIn_.close();
        freeOut_.close();
    }

    void readAll()
    {
        std::vector<uint8_t> gray;
        PixelLayout grayLayout = in_;
        if (grayToRgb_) {
            grayLayout.model = ColorModel::Gray;
            gray.resize(grayLayout.rowBytes() * stripRows_);
        }
        for (uint32_t y = 0, index = 0; y < in_.height && !failed_; y += stripRows_, ++index) {
            std::optional<Strip> s = freeIn_.pop();
            if (!s || failed_) break;
            s->rows = std::min(stripRows_, in_.height - y);
            s->index = index;
            const bool ok = grayToRgb_ ? reader_.readRows(gray.data(), grayLayout.rowBytes(), s->rows)
                                       : reader_.readRows(s->data, in_.rowBytes(), s->rows);
            if (!ok) {
                fail(readError_, reader_.error());
                break;
            }
            if (grayToRgb_) expandGray(gray.data(), s->data, grayLayout, s->rows);
            filled_.push(std::move(*s));
        }
        filled_.close();
    }

    void writeAll()
    {
        while (std::optional<Strip> s = done_.pop()) {
            if (!failed_ && !writer_.writeRows(s->data, out_.rowBytes(), s->rows)) fail(writeError_, writer_.error());
            (s->input ? freeIn_ : freeOut_).push(std::move(*s));
        }
    }

    ImageReader& reader_;
    bool grayToRgb_;
    ImageWriter& writer_;
    bool transforms_;
    PixelLayout in_, out_;
    std::unique_ptr<uint8_t[]> bands_;   // before the channels holding pointers into it
    std::thread reading_, writing_;
    int lanes_;
    uint32_t stripRows_ = 1;
    Channel<Strip> freeIn_, freeOut_, filled_;
    Channel<Strip> done_;   // in the image's order
    std::atomic<uint32_t> rowsDone_{0};
    std::atomic<bool> failed_{false};
    std::mutex errorMutex_;
    std::string readError_, writeError_;
};

Compression defaultCompression(const ImageReader& reader)
{
    switch (reader.kind()) {
    case FileKind::Tiff: return reader.compression() == Compression::Other ? Compression::Deflate : reader.compression();
    case FileKind::Png:
    case FileKind::Jpeg: return Compression::Deflate;
    case FileKind::Other: break;
    }
    return Compression::None;
}

}   // namespace

// ---------------------------------------------------------------------------
// The applier
// ---------------------------------------------------------------------------

struct ImageApplier::State {
    ApplySettings settings;
    ProfileOpener open;
    std::vector<LoadedProfile> chain;
    LoadedProfile source;   // --source-profile
    LoadedProfile srgb, srgbGray;
    bool prepared = false;

    std::mutex mutex;   // profile objects are not shared between threads
    std::map<QByteArray, TransformPtr> transforms;

    // Whether the chain starts with the image's own profile: a device link
    // taking the image's values, or two profiles or more, the first a device
    // profile of the image's space. Gray images read through an RGB profile
    // are made RGB.
    bool chainNamesSource(ColorModel model, bool& grayToRgb) const
    {
        grayToRgb = false;
        const bool link = chain.front().cls == ClassLink;
        if ((chain.size() < 2 && !link) || chain.front().cls == ClassAbstract) return false;
        const uint32_t takes = chain.front().space;
        if (takes == spaceOfModel(model)) return true;
        grayToRgb = model == ColorModel::Gray && takes == SpaceRgb;
        return grayToRgb;
    }

    TransformPtr transformFor(const std::vector<const LoadedProfile*>& profiles, uint32_t inFormat,
                              uint32_t outFormat, uint32_t flags, QString& error)
    {
        QCryptographicHash key(QCryptographicHash::Md5);
        for (const LoadedProfile* p : profiles) key.addData(p->bytes);
        key.addData(QByteArray::number(inFormat) + ':' + QByteArray::number(outFormat) + ':' +
                    QByteArray::number(flags));
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = transforms.find(key.result());
        if (found != transforms.end()) return found->second;
        std::vector<IccProfile*> handles;
        for (const LoadedProfile* p : profiles) handles.push_back(p->profile.get());
        TransformPtr t{createMultiTransform(nullptr, handles.data(), uint32_t(handles.size()), inFormat, outFormat,
                                            uint32_t(settings.intent), flags),
                       &deleteTransform};
        if (!t) {
            error = QStringLiteral("I cannot create a color transformation for those profiles");
            return nullptr;
        }
        // Images with profiles of their own each add one: the cache stays small.
        if (transforms.size() >= 16) transforms.clear();
        transforms.emplace(key.result(), t);
        return t;
    }
};

ImageApplier::ImageApplier(ApplySettings settings, ProfileOpener open) : state_(std::make_unique<State>())
{
    state_->settings = std::move(settings);
    state_->open = std::move(open);
}

ImageApplier::~ImageApplier() = default;

QString ImageApplier::prepare()
{
    State& s = *state_;
    if (s.settings.chain.isEmpty()) return QStringLiteral("No profiles to apply");
    if (s.settings.bits != 0 && s.settings.bits != 8 && s.settings.bits != 16)
        return QStringLiteral("Bits per channel must be 8 or 16");
    s.chain.clear();
    for (const QString& name : s.settings.chain) {
        LoadedProfile p;
        if (const QString e = loadProfile(name, s.open, p); !e.isEmpty()) return e;
        s.chain.push_back(std::move(p));
    }
    if (!s.settings.sourceProfile.isEmpty()) {
        if (const QString e = loadProfile(s.settings.sourceProfile, s.open, s.source); !e.isEmpty()) return e;
        if (!s.source.isDevice() || !modelOfSpace(s.source.space))
            return QStringLiteral("%1 does not describe gray, RGB or CMYK images").arg(s.source.name);
    }
    if (const QString e = loadProfile(QStringLiteral("*srgb"), openProfileByName, s.srgb); !e.isEmpty()) return e;
    s.srgb.name = QStringLiteral("sRGB (the image has no profile)");
    s.srgbGray.bytes = profileBytes(adoptProfile(createSrgbGray()).get());
    if (!fromBytes(s.srgbGray)) return QStringLiteral("Cannot make the sRGB gray profile");
    s.srgbGray.name = QStringLiteral("sRGB gray (the image has no profile)");
    s.prepared = true;
    return {};
}

ApplyResult ImageApplier::apply(const QString& input, const QString& output, const ApplyProgress& progress) const
{
    State& s = *state_;
    ApplyResult result;
    const auto fail = [&result](const QString& message) {
        result.ok = false;
        result.message = message;
        return result;
    };
    if (!s.prepared) return fail(QStringLiteral("No profiles to apply"));
    // What is no image, and a result no writer can write, before any work.
    const QString unreadable = QStringLiteral("Cannot read image %1: %2");
    const QFileInfo inputInfo(input);
    if (inputInfo.isDir()) return fail(unreadable.arg(input, QStringLiteral("it is a folder")));
    if (!inputInfo.exists()) return fail(unreadable.arg(input, QStringLiteral("no such file")));
    if (inputInfo.isFile() && inputInfo.size() == 0) return fail(unreadable.arg(input, QStringLiteral("the file is empty")));
    std::string why;
    const FileKind namedKind = fileKindOfName(output.toStdString());
    if (namedKind == FileKind::Other && !QFileInfo(output).suffix().isEmpty() && !toolkitCanWrite(output, why))
        return fail(QStringLiteral("Cannot write image %1: %2").arg(output, QString::fromStdString(why)));
    // The image.
    std::unique_ptr<ImageReader> reader;
    if (fileKindOfContent(input.toStdString()) != FileKind::Other) {
        reader = openImageFile(input.toStdString(), why);
    } else {
        reader = openToolkitImage(input, why);
    }
    if (!reader) return fail(unreadable.arg(input, QString::fromStdString(why)));
    // Every page through the chain would need a writer of many pages; one
    // page alone would lose the others in silence.
    if (reader->pages() > 1)
        return fail(unreadable.arg(input, QStringLiteral("it holds %1 pages, and a result holds one: split it first "
                                                         "(tiffsplit) and apply the chain to each page")
                                              .arg(reader->pages())));
    const PixelLayout& image = reader->layout();
    if (!s.settings.overwrite && QFileInfo::exists(output))
        return fail(QStringLiteral("%1 exists; use --overwrite to replace it").arg(output));

    // Its profile, unless the chain starts with one.
    std::vector<const LoadedProfile*> chain;
    LoadedProfile embedded;
    bool grayToRgb = false;
    if (!s.settings.sourceProfile.isEmpty()) {
        chain.push_back(&s.source);
    } else if (s.chainNamesSource(image.model, grayToRgb)) {
    } else if (!reader->iccProfile().empty() || !reader->profileProblem().empty()) {
        const QString skipped = QStringLiteral("%1: the embedded ICC profile cannot be used (%2); file skipped. "
                                               "Name the image's profile with --source-profile.");
        if (!reader->profileProblem().empty())
            return fail(skipped.arg(input, QString::fromStdString(reader->profileProblem())));
        embedded.bytes = QByteArray(reinterpret_cast<const char*>(reader->iccProfile().data()),
                                    qsizetype(reader->iccProfile().size()));
        if (!fromBytes(embedded)) return fail(skipped.arg(input, QStringLiteral("it is not a valid profile")));
        if (!embedded.isDevice() || embedded.space != spaceOfModel(image.model))
            return fail(skipped.arg(input, QStringLiteral("it is a %1 profile of class %2 and the image is %3")
                                               .arg(spaceName(embedded.space), spaceName(embedded.cls),
                                                    QLatin1String(modelName(image.model)))));
        embedded.name = QStringLiteral("the profile embedded in %1").arg(QFileInfo(input).fileName());
        chain.push_back(&embedded);
    } else if (image.model == ColorModel::Cmyk) {
        return fail(QStringLiteral("%1 is a CMYK image without an embedded profile: name its profile with "
                                   "--source-profile")
                        .arg(input));
    } else {
        chain.push_back(image.model == ColorModel::Gray ? &s.srgbGray : &s.srgb);
        result.assumedDefaultProfile = true;
    }
    for (const LoadedProfile& p : s.chain) chain.push_back(&p);

    uint32_t entry = 0, exit = 0;
    if (const QString broken = walkChain(chain, entry, exit); !broken.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(input, broken));
    PixelLayout in = image;
    if (grayToRgb) in.model = ColorModel::Rgb;
    if (entry != spaceOfModel(in.model))
        return fail(QStringLiteral("%1 is a %2 image, but %3 takes %4 values")
                        .arg(input, QLatin1String(modelName(image.model)), chain.front()->name, spaceName(entry)));
    const std::optional<ColorModel> outModel = modelOfSpace(exit);
    if (!outModel)
        return fail(QStringLiteral("%1: the last profile must give RGB, gray or CMYK values (%2 gives %3)")
                        .arg(input, chain.back()->name, spaceName(exit)));
    if (in.extraChannels > 7) return fail(QStringLiteral("%1 has too many extra channels").arg(input));

    // The result's layout, as far as its kind of file holds it.
    PixelLayout out = in;
    out.model = *outModel;
    if (s.settings.bits) out.bits = uint32_t(s.settings.bits);
    // The kind of file its name asks for; a name without an extension keeps the input's.
    FileKind outKind = namedKind;
    if (outKind == FileKind::Other && QFileInfo(output).suffix().isEmpty()) outKind = reader->kind();
    if (outKind == FileKind::Other && QFileInfo(output).suffix().isEmpty() && !toolkitCanWrite(input, why))
        return fail(QStringLiteral("Cannot write image %1: %2").arg(output, QString::fromStdString(why)));
    if (outKind == FileKind::Jpeg) {
        if (out.bits != 8) result.notes << QStringLiteral("JPEG holds 8 bits per channel");
        if (out.extraChannels) result.notes << QStringLiteral("JPEG holds no alpha: alpha dropped");
        out.bits = 8;
        out.extraChannels = 0;
        out.alpha = false;
    } else if (outKind != FileKind::Tiff && (out.extraChannels > 1 || (out.extraChannels && !out.alpha))) {
        result.notes << QStringLiteral("extra channels dropped");
        out.extraChannels = 0;
        out.alpha = false;
    }
    // The toolkit's writers (BMP, PPM ...) write 8 bits per channel.
    if (outKind == FileKind::Other && out.bits == 16) {
        result.notes << QStringLiteral("this kind of file is written with 8 bits per channel");
        out.bits = 8;
    }

    // The result, with the last profile embedded when it describes images.
    WriteOptions options;
    options.compression = s.settings.compression.value_or(defaultCompression(*reader));
    options.quality = s.settings.quality;
    options.orientation = reader->orientation();   // rows are written as read
    options.resolution = reader->resolution();
    if (!chain.back()->isDevice())
        result.notes << QStringLiteral("no profile embedded: the chain ends in %1").arg(chain.back()->name);
    else if (outKind == FileKind::Other && chain.back()->builtin != QLatin1String("*srgb"))
        result.notes << QStringLiteral("this kind of file carries no ICC profile: its values are %1's, and a reader "
                                       "will take them as sRGB")
                            .arg(chain.back()->name);
    else
        options.iccProfile.assign(chain.back()->bytes.constBegin(), chain.back()->bytes.constEnd());
    std::unique_ptr<ImageWriter> writer;
    if (outKind != FileKind::Other) {
        writer = createImageFile(output.toStdString(), outKind, out, options, why);
    } else {
        writer = createToolkitImage(output, out, why);
    }
    if (!writer) return fail(QStringLiteral("Cannot write image %1: %2").arg(output, QString::fromStdString(why)));

    // The transform; none where the chain leaves the values as they are.
    // Built-ins are the same space by name (each is written with its own date).
    const bool sameProfile = chain.size() == 2 && (chain[0]->builtin.isEmpty() && chain[1]->builtin.isEmpty()
                                                       ? chain[0]->bytes == chain[1]->bytes
                                                       : chain[0]->builtin == chain[1]->builtin);
    const bool identity = sameProfile && chain[0]->isDevice() && chain[1]->isDevice() && in.model == out.model;
    const bool copies = identity && in == out;
    Pipeline3 pipeline(*reader, grayToRgb, *writer, !copies, in, out,
                       s.settings.workers > 0 ? s.settings.workers : int(std::thread::hardware_concurrency()));
    pipeline.start();
    TransformPtr transform;
    if (!copies) {
        uint32_t flags = XformNoCache;
        if (in.extraChannels && in.extraChannels == out.extraChannels) flags |= XformCopyAlpha;
        if (s.settings.blackPointCompensation) flags |= XformBlackPointCompensation;
        if (identity) flags |= XformNullTransform;
        // Abstract profiles and links may move white on purpose.
        for (const LoadedProfile* p : chain)
            if (!p->isDevice()) flags |= XformNoWhiteFixup;
        QString error;
        transform = s.transformFor(chain, engineFormat(in), engineFormat(out), flags, error);
        if (!transform) return fail(QStringLiteral("%1: %2").arg(input, error));
    }

    QString readError, writeError;
    if (!pipeline.run(transform.get(), progress, readError, writeError)) {
        if (!readError.isEmpty()) return fail(QStringLiteral("Cannot read image %1: %2").arg(input, readError));
        return fail(QStringLiteral("Cannot write image %1: %2").arg(output, writeError));
    }
    if (!writer->commit(s.settings.overwrite))
        return fail(QStringLiteral("Cannot write image %1: %2").arg(output, QString::fromStdString(writer->error())));
    result.ok = true;
    return result;
}

ApplyResult applyProfiles(const ApplyRequest& request, const ProfileOpener& open, const ApplyProgress& progress)
{
    ImageApplier applier(request, open);
    if (const QString e = applier.prepare(); !e.isEmpty()) return {false, e, false, {}};
    return applier.apply(request.input, request.output, progress);
}
