// The preview's work, off the interface thread: a request to show the sample
// image (as it is, or through the abstract profile of the current recipe)
// is answered first with a proxy of the image sized to the view, and, once
// the user has paused, with the image at full resolution. A newer request
// replaces and cancels an older one, so that what is shown last is always
// the latest state.
//
// Plain Qt Gui (images, no widgets): the window hands frames to its view.
#pragma once

#include "app/core/builder.h"
#include "app/widgets/previewimage.h"

#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// A profile shared between the window and the worker, closed with its last user.
using SharedProfile = std::shared_ptr<IccProfile>;
SharedProfile shareProfile(ProfilePtr profile);

// The size of the proxy of an image for a view of `limit` device pixels: the
// image scaled to fit, keeping its aspect, never larger than the image
// itself (nor smaller than one pixel). An empty limit gives the image's size.
QSize proxySize(const QSize& image, const QSize& limit);

// Engine flags of the proxy's transform: a coarse table, made quickly, as the
// proxy is replaced at full resolution moments later.
constexpr uint32_t ProxyGridPoints = 25;
constexpr uint32_t ProxyTransformFlags = PreviewTransformFlags | XformForceClut | (ProxyGridPoints << 16);

// Grid points of the proofing tools' difference tables, for the proxy and
// at full resolution.
constexpr uint32_t ProxyDifferenceGrid = 17;
constexpr uint32_t FullDifferenceGrid = 33;

// What the proofing tools add to the preview.
struct ProofingInputs {
    SharedProfile profile;           // the proof profile; null: no proof
    ProofSettings settings;          // its intent, paper, gamut warning
    std::optional<Difference> map;   // look strength or proof error: the frame shows that map
    bool withOriginal = false;       // frames carry the original as well, for comparing
};

struct PreviewFrame {
    quint64 request = 0;
    QImage image;                 // the transformed proxy or full image; null if no transform could be made
    QImage original;              // the same without the look, when asked for
    SharedProfile look;           // the abstract profile the frame went through, if any
    QSize sceneSize;              // the size of the image the frame stands for
    bool fullResolution = false;  // the last frame of its request
    bool proofed = false;         // through an abstract profile
    QString message;              // why no abstract profile was built (the frame shows the image as it is)
};
Q_DECLARE_METATYPE(PreviewFrame)

class PreviewScheduler : public QObject {
    Q_OBJECT

public:
    // Builds the abstract profile of a recipe; runs on the worker thread.
    using Builder = std::function<BuildResult()>;

    static constexpr int DefaultPauseMs = 200;

    explicit PreviewScheduler(QObject* parent = nullptr);
    // Gives up any work under way (finishing a band of it at most).
    ~PreviewScheduler() override;

    // The sample image, converted to a transformable layout. Takes effect
    // with the next request.
    void setImage(const QImage& image);
    // The image's profile and the one it is shown in.
    void setProfiles(SharedProfile image, SharedProfile display);
    // The proof, the gamut warning, the maps and the original beside the result.
    void setProofing(ProofingInputs proofing);
    // The view's size in device pixels, which the proxy fits.
    void setProxyLimit(const QSize& devicePixels);
    // How long the user must pause before the full-resolution pass.
    void setPause(int milliseconds);

    // The image through [image profile, display profile].
    quint64 showOriginal();
    // The image through [image profile, abstract profile, display profile];
    // when `build` gives no profile, the image as it is, with its message.
    quint64 showProof(Builder build);

    // Whether the latest request has not been answered at full resolution yet.
    bool isBusy() const;

signals:
    // The proxy of the latest request, then its full-resolution image; a
    // frame of an older request is never delivered.
    void frameReady(const PreviewFrame& frame);
    void busyChanged(bool busy);
    // The full-resolution pass, 0 to 100.
    void progress(int percent);

private:
    struct Job {
        quint64 request = 0;
        bool proof = false;
        Builder build;
    };
    struct Inputs {
        QImage image;
        SharedProfile imageProfile;
        SharedProfile displayProfile;
        QSize limit;
        int pauseMs = DefaultPauseMs;
        ProofingInputs proofing;
    };
    // The transforms and tables of one pass, proxy or full resolution.
    struct Pass {
        ImageTransform result, original;
        DifferenceTable warning, map;
        double tolerance = 0;
        QRgb warningColour = 0;
        bool isNull() const { return result.isNull(); }
    };
    static Pass makePass(const Inputs& in, IccProfile* look, QImage::Format format, uint32_t flags, uint32_t grid);
    // Rows [first, first + count) of the prepared source into the frame's images.
    static void renderRows(const Pass& pass, const QImage& source, QImage& result, QImage& original, int first,
                           int count);

    quint64 post(Job job);
    void run();
    void process(const Job& job, const Inputs& in);
    QImage proxyOf(const QImage& image, const QSize& limit);
    bool superseded(quint64 request) const;
    // Waits until the pause ends; false when a newer request or the end came first.
    bool pauseUninterrupted(std::chrono::steady_clock::time_point until);
    void deliver(PreviewFrame frame);
    void reportProgress(quint64 request, int percent);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Job> pending_;
    Inputs inputs_;
    bool stop_ = false;
    std::atomic<quint64> latest_{0};
    std::atomic<bool> stopping_{false};   // the scheduler is going: any work is given up
    quint64 nextRequest_ = 0;
    bool busy_ = false;   // interface thread only

    // Worker thread only.
    qint64 proxySource_ = 0;
    QImage proxy_;

    std::thread worker_;
};
