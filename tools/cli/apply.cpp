// tonemolder-cli apply: images through a chain of profiles, several at
// once, with one progress bar over them all.
#include "tools/cli/commands.h"

#include "tools/cli/imageapply.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cli {

namespace {

const char* const ApplyHelp = R"(Usage: tonemolder-cli apply IMAGE... --chain P1,P2,... (-o OUT | --output-dir DIR) [options]

Sends images through a chain of profiles and writes new image files. TIFF,
PNG and JPEG are read and written a band of rows at a time, whatever their
size; other formats the toolkit reads are read whole. Gray, RGB and CMYK
(TIFF and JPEG), 8 or 16 bits per channel; alpha is kept.

The images' own profile: when the chain starts with a profile of the
images' colour space and goes on (*srgb,look.icc,*srgb), that profile
describes them; otherwise the profile embedded in each image is put first
(--chain look.icc,*srgb, or just --chain press.icc). An image without a
profile is taken as sRGB. The chain's last profile is embedded in every
result, and a chain that ends in a press profile writes CMYK. A photo's
orientation (TIFF tag, EXIF) is recorded in its result.

  --chain LIST          the profiles, comma-separated
  --source-profile P    the images' profile, put first instead of the one
                        each image carries
  -o, --output FILE     the result, for one image; the kind of file follows
                        its name (.tif, .png, .jpg, others by the toolkit;
                        without an extension, the input's kind)
  --output-dir DIR      for several images: results under their own names
  --overwrite           replace results that exist (else they are refused)
  --bits 8|16           bits per channel of the results (default: as read)
  --intent I            rendering intent of the chain, as for import-cube
  --compression C       none, lzw or deflate, for TIFF results (default: as
                        the input TIFF; deflate for PNG or JPEG input)
  --quality Q           JPEG quality of the results, 1..100 (default 90)
  --jobs N              images at once (default: one per processor)

The exit status is 0 only when every image was written.
)";


// One progress bar over all the images of a run, on a terminal only; the
// messages of the images go above it.
class ApplyProgressBar {
public:
    ApplyProgressBar(int files, bool enabled) : fraction_(size_t(files), 0.0), enabled_(enabled && isatty(STDERR_FILENO))
    {
    }
    ~ApplyProgressBar()
    {
        if (shown_) std::fputs("\n", stderr);
    }

    void update(int file, int done, int total)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Bands finish on several threads: a late report of fewer rows is no step back.
        fraction_[size_t(file)] = std::max(fraction_[size_t(file)], total > 0 ? double(done) / total : 1.0);
        draw();
    }
    void finished(int file)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fraction_[size_t(file)] = 1.0;
        ++finished_;
        draw();
    }
    void message(const QString& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shown_) std::fputs("\r\033[K", stderr);
        printText(stderr, text);
        last_ = -1;
        draw();
    }

private:
    void draw()
    {
        if (!enabled_) return;
        double sum = 0;
        for (double f : fraction_) sum += f;
        const int permille = int(sum * 1000 / double(fraction_.size()));
        if (permille == last_ && finished_ == lastFinished_) return;
        last_ = permille;
        lastFinished_ = finished_;
        constexpr int Width = 30;
        const int filled = permille * Width / 1000;
        std::fprintf(stderr, "\r[%s%s] %3d%%  %d/%d images", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(Width - filled), ' ').c_str(), permille / 10, finished_,
                     int(fraction_.size()));
        std::fflush(stderr);
        shown_ = true;
    }

    std::mutex mutex_;
    std::vector<double> fraction_;
    bool enabled_;
    bool shown_ = false;
    int finished_ = 0;
    int lastFinished_ = 0;
    int last_ = -1;
};

}   // namespace

int applyCommand(const Context& ctx, const QStringList& args)
{
    if (wantsHelp(args)) return printText(stdout, ApplyHelp), Success;
    const Arguments a(args,
                      {"--output", "--output-dir", "--chain", "--bits", "--intent", "--source-profile",
                       "--compression", "--quality", "--jobs"},
                      {"--overwrite"});
    if (!a.error().isEmpty()) return usage(a.error());
    const QStringList images = a.positional();
    if (images.isEmpty()) return usage(QStringLiteral("apply needs at least one image"));
    if (!a.has("--chain")) return usage(QStringLiteral("apply needs --chain"));
    if (a.has("--output") == a.has("--output-dir"))
        return usage(QStringLiteral("apply needs either --output (one image) or --output-dir"));
    if (a.has("--output") && images.size() != 1) return usage(QStringLiteral("--output takes one image; use --output-dir"));
    const std::optional<int> bits = integerValue(a.value("--bits", QStringLiteral("0")));
    if (!bits || (*bits != 0 && *bits != 8 && *bits != 16)) return usage(QStringLiteral("--bits must be 8 or 16"));
    const std::optional<int> intent = intentIndex(a.value("--intent", QStringLiteral("0")));
    if (!intent) return usage(QStringLiteral("unknown intent %1").arg(a.value("--intent")));
    const IntentChoice choice = *intentChoice(*intent);
    const std::optional<int> quality = integerValue(a.value("--quality", QStringLiteral("90")));
    if (!quality || *quality < 1 || *quality > 100) return usage(QStringLiteral("--quality must be from 1 to 100"));
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    const std::optional<int> jobs = integerValue(a.value("--jobs", QString::number(cores)));
    if (!jobs || *jobs < 1 || *jobs > 256) return usage(QStringLiteral("--jobs must be from 1 to 256"));

    ApplySettings settings;
    for (const QString& name : a.value("--chain").split(QLatin1Char(','), Qt::SkipEmptyParts))
        settings.chain << ctx.resolve(name.trimmed());
    if (settings.chain.isEmpty()) return usage(QStringLiteral("--chain names no profile"));
    if (a.has("--source-profile")) settings.sourceProfile = ctx.resolve(a.value("--source-profile"));
    if (a.has("--compression")) {
        const QString c = a.value("--compression").toLower();
        if (c == QLatin1String("none")) settings.compression = imagefiles::Compression::None;
        else if (c == QLatin1String("lzw")) settings.compression = imagefiles::Compression::Lzw;
        else if (c == QLatin1String("deflate") || c == QLatin1String("zip")) settings.compression = imagefiles::Compression::Deflate;
        else return usage(QStringLiteral("--compression must be none, lzw or deflate"));
    }
    settings.intent = int(choice.intent);
    settings.blackPointCompensation = choice.blackPointCompensation;
    settings.bits = *bits;
    settings.quality = *quality;
    settings.overwrite = a.flag("--overwrite");
    if (a.has("--output-dir") && !QFileInfo(a.value("--output-dir")).isDir())
        return fail(QStringLiteral("no such folder: %1").arg(a.value("--output-dir")));

    // Several images at once, up to one per processor, the processors shared
    // among them for their transforms.
    const int threads = std::min<int>(*jobs, int(images.size()));
    settings.workers = std::max(1, cores / std::max(1, threads));
    ImageApplier applier(settings, openProfileByName);
    if (const QString e = applier.prepare(); !e.isEmpty()) return fail(e);

    QStringList outputs;
    for (const QString& image : images) {
        const QString out = a.has("--output") ? a.value("--output")
                                              : QDir(a.value("--output-dir")).filePath(QFileInfo(image).fileName());
        if (outputs.contains(out))
            return usage(QStringLiteral("two images would be written to %1").arg(out));
        outputs << out;
    }

    ApplyProgressBar bar(int(images.size()), !ctx.quiet);
    std::atomic<int> next{0};
    std::atomic<bool> allWritten{true};
    std::atomic<bool> toldDefault{false};
    const auto work = [&] {
        for (int i = next++; i < images.size(); i = next++) {
            const QString& image = images[i];
            const auto report = [&](const QString& text) {
                bar.message(QStringLiteral("%1: %2\n").arg(QLatin1String(Program), text));
            };
            if (QFileInfo(outputs[i]).absoluteFilePath() == QFileInfo(image).absoluteFilePath()) {
                report(QStringLiteral("%1: the result would replace the image itself").arg(image));
                allWritten = false;
                bar.finished(i);
                continue;
            }
            const ApplyResult r = applier.apply(image, outputs[i], [&bar, i](int done, int total) { bar.update(i, done, total); });
            if (!r.ok) {
                report(r.message);
                allWritten = false;
            } else {
                if (r.assumedDefaultProfile && !toldDefault.exchange(true))
                    report(QStringLiteral("%1 carries no ICC profile: taken as sRGB, as is every such image "
                                          "(name another with --source-profile)")
                               .arg(image));
                for (const QString& note : r.notes) report(QStringLiteral("%1: %2").arg(outputs[i], note));
            }
            bar.finished(i);
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    return allWritten ? Success : Failure;
}

}   // namespace cli
