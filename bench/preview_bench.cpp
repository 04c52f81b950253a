// The main window's preview of a camera-sized image (6000 × 4000, 24
// megapixels) at the default profile resolution, measured as the user meets
// it in a 1600 × 1000 window with "Live preview" on:
//
//   BM_LiveStep               a channel editor's value changes → its proxy
//                             is painted in the image view;
//   BM_FullResolutionRefresh  the user's pause is over → the full-resolution
//                             image is painted (the exact transform made, the
//                             whole image through it, shown); the counter
//                             gives the time from the change, pause included.
//
// Each is measured plain (argument 0) and proofed against default_cmyk with
// the gamut warning on (argument 1), the warning computed on the proxy first
// and then at full resolution like the preview.
//
// Goals on a 2-core machine: a live step in 60 ms, a refresh in 400 ms.
#include "app/widgets/previewpane.h"
#include "app/widgets/previewscheduler.h"
#include "app/widgets/proofingtools.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/widgets/tonemolder.h"
#include "app/core/workerscheduler.h"
#include "curves/widgets/channelmodifier.h"
#include "curves/core/curvefamily.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace {

// Runs the event loop until `done` holds (or a minute has passed).
template <class Done> void waitFor(Done done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

constexpr int ImageWidth = 6000;
constexpr int ImageHeight = 4000;

// A photograph's worth of smoothly varying colours.
QImage cameraImage()
{
    QImage image(ImageWidth, ImageHeight, QImage::Format_RGB32);
    for (int y = 0; y < ImageHeight; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < ImageWidth; ++x)
            row[x] = qRgb((x * 255) / ImageWidth, (y * 255) / ImageHeight, ((x + y) * 7) & 255);
    }
    return image;
}

// The window with the image pasted in and "Live preview" on; what the
// benchmarks drive.
struct Session {
    QTemporaryDir config;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Tonemolder> window;
    PreviewScheduler* scheduler = nullptr;
    QGraphicsViewMap* view = nullptr;
    ChannelModifier* red = nullptr;
    QElapsedTimer clock;
    qint64 proxyAt = -1;
    qint64 fullAt = -1;

    Session()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
        settings = std::make_unique<QSettings>();
        settings->clear();
        settings->setValue("monitor_sRGB", true);
        window = std::make_unique<Tonemolder>(settings.get());
        window->resize(1600, 1000);
        window->show();
        waitFor([this] { return window->isVisible(); });
        scheduler = window->findChild<PreviewScheduler*>("previewScheduler");
        view = window->findChild<QGraphicsViewMap*>("imageViewer");
        red = window->findChild<ChannelModifier*>("chan_1");
        red->selectFamily(int(CurveFamily::Gamma));

        // Each frame is timed once it is painted.
        clock.start();
        QObject::connect(scheduler, &PreviewScheduler::frameReady, view, [this](const PreviewFrame& frame) {
            view->viewport()->repaint();
            (frame.fullResolution ? fullAt : proxyAt) = clock.nsecsElapsed();
        });

        QApplication::clipboard()->setImage(cameraImage());
        window->previewPane()->pasteImage();
        settle();
        window->findChild<QCheckBox*>("chkLive")->setChecked(true);
        settle();
    }

    void settle() { waitFor([this] { return !scheduler->isBusy(); }); }

    // Proofed against the press with the gamut warning, or not proofed.
    void warnGamut(bool on)
    {
        ProofSettings proof;
        proof.enabled = on;
        proof.profile = QStringLiteral("/usr/share/color/icc/ghostscript/default_cmyk.icc");
        proof.gamutWarning = on;
        proof.write(*settings);
        window->previewPane()->proofingTools()->proofingChanged();
        settle();
    }

    // Changes the red curve; returns when the proxy is painted, with the
    // time the change was made.
    qint64 change(int step)
    {
        proxyAt = fullAt = -1;
        const qint64 start = clock.nsecsElapsed();
        red->setValue(step % 2 ? 1.3 : 1.2);
        while (proxyAt < 0 && fullAt < 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return start;
    }
};

// Made on first use, gone before the application object.
std::unique_ptr<Session> theSession;

Session& session()
{
    if (!theSession) theSession = std::make_unique<Session>();
    return *theSession;
}

void BM_LiveStep(benchmark::State& state)
{
    Session& s = session();
    s.warnGamut(state.range(0) != 0);
    s.scheduler->setPause(PreviewScheduler::DefaultPauseMs);
    int step = 0;
    for (auto _ : state) {
        const qint64 start = s.change(++step);
        state.SetIterationTime(double(s.proxyAt - start) / 1e9);
    }
    s.settle();
    state.counters["megapixels"] = ImageWidth * ImageHeight / 1e6;
}

void BM_FullResolutionRefresh(benchmark::State& state)
{
    Session& s = session();
    s.warnGamut(state.range(0) != 0);
    s.scheduler->setPause(PreviewScheduler::DefaultPauseMs);
    const qint64 pause = qint64(PreviewScheduler::DefaultPauseMs) * 1000000;
    int step = 0;
    double total = 0;
    for (auto _ : state) {
        const qint64 start = s.change(++step);
        s.settle();
        state.SetIterationTime(double(s.fullAt - s.proxyAt - pause) / 1e9);
        total += double(s.fullAt - start) / 1e6;
    }
    // From the change to the full image, the pause included.
    state.counters["change_to_full_ms"] = total / double(state.iterations());
}

}   // namespace

BENCHMARK(BM_LiveStep)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40)->Arg(0)->Arg(1);
BENCHMARK(BM_FullResolutionRefresh)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10)->Arg(0)->Arg(1);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Q_INIT_RESOURCE(tonemolder);
    registerPlugins(nullptr, processorWideScheduler());
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Osterlane"));
    QCoreApplication::setApplicationName(QStringLiteral("Osterlane Color Tonemolder bench"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    theSession.reset();
    unregisterPlugins(nullptr);
    return 0;
}
