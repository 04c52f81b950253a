#include "app/widgets/previewscheduler.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// A new thread starts with the vector registers of the one that made it,
// and the interface thread's are often left with AVX state in their upper
// halves (by the toolkit's drawing code). With that state every SSE
// instruction after it pays for merging them, many times over. The engine's
// transform calls and workers clear it themselves; clearing it before each
// job also covers what runs here outside them: the recipe's own maths before
// the first transform, and the toolkit's scaling of the proxy.
void clearUpperVectorState()
{
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (__builtin_cpu_supports("avx")) asm volatile("vzeroupper" ::: "memory");
#endif
}

// Pixels per band of the full-resolution pass: small enough that a newer
// request waits little, large enough for the engine's workers to share.
constexpr qint64 BandPixels = 1 << 20;

}   // namespace

SharedProfile shareProfile(ProfilePtr profile)
{
    return SharedProfile(profile.release(), &closeProfile);
}

QSize proxySize(const QSize& image, const QSize& limit)
{
    if (image.isEmpty() || limit.isEmpty()) return image;
    if (image.width() <= limit.width() && image.height() <= limit.height()) return image;
    const double scale = std::min(double(limit.width()) / image.width(), double(limit.height()) / image.height());
    return QSize(std::max(1, int(std::lround(image.width() * scale))),
                 std::max(1, int(std::lround(image.height() * scale))));
}

PreviewScheduler::PreviewScheduler(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<PreviewFrame>();
    worker_ = std::thread([this] { run(); });
}

PreviewScheduler::~PreviewScheduler()
{
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
        pending_.reset();
    }
    stopping_ = true;
    wake_.notify_all();
    worker_.join();
}

void PreviewScheduler::setImage(const QImage& image)
{
    const QImage ready = transformableImage(image);
    const std::lock_guard lock(mutex_);
    inputs_.image = ready;
}

void PreviewScheduler::setProfiles(SharedProfile image, SharedProfile display)
{
    const std::lock_guard lock(mutex_);
    inputs_.imageProfile = std::move(image);
    inputs_.displayProfile = std::move(display);
}

void PreviewScheduler::setProofing(ProofingInputs proofing)
{
    const std::lock_guard lock(mutex_);
    inputs_.proofing = std::move(proofing);
}

void PreviewScheduler::setProxyLimit(const QSize& devicePixels)
{
    const std::lock_guard lock(mutex_);
    inputs_.limit = devicePixels;
}

void PreviewScheduler::setPause(int milliseconds)
{
    const std::lock_guard lock(mutex_);
    inputs_.pauseMs = std::max(0, milliseconds);
}

quint64 PreviewScheduler::showOriginal()
{
    return post({0, false, {}});
}

quint64 PreviewScheduler::showProof(Builder build)
{
    return post({0, true, std::move(build)});
}

bool PreviewScheduler::isBusy() const
{
    return busy_;
}

quint64 PreviewScheduler::post(Job job)
{
    {
        const std::lock_guard lock(mutex_);
        job.request = ++nextRequest_;
        latest_ = job.request;
        pending_ = std::move(job);
    }
    wake_.notify_all();
    if (!busy_) {
        busy_ = true;
        emit busyChanged(true);
    }
    return nextRequest_;
}

bool PreviewScheduler::superseded(quint64 request) const
{
    return stopping_.load() || latest_.load() != request;
}

void PreviewScheduler::run()
{
    for (;;) {
        Job job;
        Inputs in;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || pending_.has_value(); });
            if (stop_) return;
            job = std::move(*pending_);
            pending_.reset();
            in = inputs_;
        }
        clearUpperVectorState();
        process(job, in);
    }
}

bool PreviewScheduler::pauseUninterrupted(std::chrono::steady_clock::time_point until)
{
    std::unique_lock lock(mutex_);
    return !wake_.wait_until(lock, until, [this] { return stop_ || pending_.has_value(); });
}



QImage PreviewScheduler::proxyOf(const QImage& image, const QSize& limit)
{
    const QSize size = proxySize(image.size(), limit);
    if (size == image.size()) return image;
    if (proxySource_ == image.cacheKey() && proxy_.size() == size) return proxy_;
    QImage scaled = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (scaled.format() != image.format()) scaled.convertTo(image.format());
    proxySource_ = image.cacheKey();
    proxy_ = scaled;
    return proxy_;
}

PreviewScheduler::Pass PreviewScheduler::makePass(const Inputs& in, IccProfile* look, QImage::Format format,
                                                  uint32_t flags, uint32_t grid)
{
    const ProofingInputs& p = in.proofing;
    IccProfile* image = in.imageProfile.get();
    IccProfile* proof = p.profile.get();
    Pass pass;
    pass.result = ImageTransform::make(format, previewChain(image, look, proof, p.settings, in.displayProfile.get()),
                                       flags);
    if (pass.result.isNull()) return pass;
    if (p.withOriginal)
        pass.original = ImageTransform::make(
            format, previewChain(image, nullptr, proof, p.settings, in.displayProfile.get()), flags);
    ProfileChain toResult{{image, IntentPerceptual, false}};
    if (look) toResult.push_back({look, IntentPerceptual, false});
    const uint32_t layout = previewPixelFormat(pass.result.inputFormat());
    if (proof && p.settings.gamutWarning) {
        pass.warning = DifferenceTable::make(Difference::GamutDistance, toResult, proof, p.settings, layout, grid);
        pass.tolerance = p.settings.gamutTolerance;
        pass.warningColour = QRgb(p.settings.warningColour);
    }
    if (p.map) pass.map = DifferenceTable::make(*p.map, toResult, proof, p.settings, layout, grid);
    return pass;
}

void PreviewScheduler::renderRows(const Pass& pass, const QImage& source, QImage& result, QImage& original,
                                  int first, int count)
{
    pass.result.apply(source, result, first, count);
    if (!pass.map.isNull()) paintDifferenceMap(source, result, first, count, pass.map);
    paintOverTolerance(source, result, first, count, pass.warning, pass.tolerance, pass.warningColour);
    if (!pass.original.isNull()) pass.original.apply(source, original, first, count);
}

void PreviewScheduler::process(const Job& job, const Inputs& in)
{
    PreviewFrame frame;
    frame.request = job.request;
    frame.sceneSize = in.image.size();

    SharedProfile built;
    if (job.proof && job.build) {
        BuildResult result = job.build();
        frame.message = result.message;
        if (result.profile) built = shareProfile(std::move(result.profile));
        if (superseded(job.request)) return;
    }
    frame.proofed = built != nullptr;
    frame.look = built;

    // One pass over a whole image (the proxy, or an image small enough to be
    // its own), or over bands of it given up for any newer request.
    const auto render = [&](const QImage& image, uint32_t flags, uint32_t grid, bool banded) {
        frame.image = QImage();
        frame.original = QImage();
        const Pass pass = makePass(in, built.get(), image.format(), flags, grid);
        if (pass.isNull() || image.isNull()) return true;
        const QImage source = pass.result.prepared(image);
        QImage result(source.size(), pass.result.outputFormat());
        QImage original;
        if (!pass.original.isNull()) original = QImage(source.size(), pass.original.outputFormat());
        if (result.isNull()) return true;
        const int band = banded ? int(std::max<qint64>(1, BandPixels / std::max(1, source.width()))) : source.height();
        for (int y = 0; y < source.height(); y += band) {
            if (banded && superseded(job.request)) return false;
            renderRows(pass, source, result, original, y, band);
            if (banded)
                reportProgress(job.request, int(qint64(std::min(y + band, source.height())) * 100 / source.height()));
        }
        frame.image = result;
        frame.original = original;
        return true;
    };

    const QImage proxy = in.image.isNull() ? QImage() : proxyOf(in.image, in.limit);
    if (superseded(job.request)) return;
    frame.fullResolution = proxy.size() == in.image.size();
    if (frame.fullResolution) {
        // The image is its own proxy: the exact transform at once.
        render(in.image, PreviewTransformFlags, FullDifferenceGrid, false);
        deliver(std::move(frame));
        return;
    }
    // The proxy through a coarse table that is quick to make.
    render(proxy, ProxyTransformFlags, ProxyDifferenceGrid, false);
    deliver(frame);

    // The full resolution once the user pauses, band by band, given up for
    // any newer request. The exact transform is made only then: made at
    // once, it would hold up the next change's proxy.
    const auto pauseEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(in.pauseMs);
    if (!pauseUninterrupted(pauseEnds) || superseded(job.request)) return;
    frame.message.clear();
    frame.fullResolution = true;
    if (!render(in.image, PreviewTransformFlags, FullDifferenceGrid, true)) return;
    deliver(std::move(frame));
}

void PreviewScheduler::deliver(PreviewFrame frame)
{
    if (superseded(frame.request)) return;
    QMetaObject::invokeMethod(this, [this, frame = std::move(frame)] {
        if (superseded(frame.request)) return;
        emit frameReady(frame);
        if (frame.fullResolution && busy_) {
            busy_ = false;
            emit busyChanged(false);
        }
    }, Qt::QueuedConnection);
}

void PreviewScheduler::reportProgress(quint64 request, int percent)
{
    QMetaObject::invokeMethod(this, [this, request, percent = std::min(percent, 100)] {
        if (!superseded(request)) emit progress(percent);
    }, Qt::QueuedConnection);
}
