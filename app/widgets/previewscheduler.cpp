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

    std::vector<IccProfile*> chain{in.imageProfile.get()};
    if (built) chain.push_back(built.get());
    chain.push_back(in.displayProfile.get());

    const QImage proxy = in.image.isNull() ? QImage() : proxyOf(in.image, in.limit);
    if (superseded(job.request)) return;
    frame.fullResolution = proxy.size() == in.image.size();
    if (frame.fullResolution) {
        // The image is its own proxy: the exact transform at once.
        frame.image = transformImage(in.image, chain);
        deliver(std::move(frame));
        return;
    }
    // The proxy through a coarse table that is quick to make.
    frame.image = ImageTransform::make(proxy.format(), chain, PreviewIntent, ProxyTransformFlags).apply(proxy);
    deliver(frame);

    // The full resolution once the user pauses, band by band, given up for
    // any newer request. The exact transform is made only then: made at
    // once, it would hold up the next change's proxy.
    const auto pauseEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(in.pauseMs);
    if (!pauseUninterrupted(pauseEnds) || superseded(job.request)) return;
    const ImageTransform exact = ImageTransform::make(in.image.format(), chain);
    frame.message.clear();
    frame.fullResolution = true;
    frame.image = QImage();
    if (!exact.isNull()) {
        const QImage source = exact.prepared(in.image);
        QImage target(source.size(), exact.outputFormat());
        if (!target.isNull()) {
            const int band = int(std::max<qint64>(1, BandPixels / std::max(1, source.width())));
            for (int y = 0; y < source.height(); y += band) {
                if (superseded(job.request)) return;
                exact.apply(source, target, y, band);
                reportProgress(job.request, int(qint64(std::min(y + band, source.height())) * 100 / source.height()));
            }
            frame.image = target;
        }
    }
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
