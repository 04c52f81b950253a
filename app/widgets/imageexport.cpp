// Exporting the previewed image.
#include "app/widgets/imageexport.h"

#include "app/widgets/messages.h"
#include "tools/cli/imageapply.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenu>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

QByteArray serialised(IccProfile* profile)
{
    uint32_t size = 0;
    if (!profile || !saveToMemory(profile, nullptr, &size) || size == 0) return {};
    QByteArray bytes(qsizetype(size), '\0');
    if (!saveToMemory(profile, bytes.data(), &size)) return {};
    return bytes;
}

}   // namespace

ImageExport::ImageExport(QMainWindow* window, PreviewScheduler* scheduler, ExportSource source)
    : QObject(window), window_(window), source_(std::move(source))
{
    setObjectName(QStringLiteral("imageExport"));
    auto* action = new QAction(tr("Export image…"), window_);
    action->setObjectName(QStringLiteral("action_export_image"));
    action->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    // After Save as...
    if (auto* file = window_->findChild<QMenu*>(QStringLiteral("menu_File"))) {
        const QList<QAction*> actions = file->actions();
        const qsizetype saveAs = actions.indexOf(window_->findChild<QAction*>(QStringLiteral("actionSave_as")));
        if (saveAs >= 0 && saveAs + 1 < actions.size()) file->insertAction(actions[saveAs + 1], action);
        else file->addAction(action);
    }
    connect(action, &QAction::triggered, this, &ImageExport::exportImage);
    // The look of what the preview shows last, at full resolution.
    connect(scheduler, &PreviewScheduler::frameReady, this, [this](const PreviewFrame& frame) {
        if (frame.fullResolution) look_ = serialised(frame.look.get());
    });
}

ApplyRequest ImageExport::request(const QString& input, const QString& output) const
{
    ApplyRequest r;
    r.input = input;
    r.output = output;
    r.overwrite = true;   // the file dialog asked
    r.sourceProfile = source_.imageProfile();
    if (!look_.isEmpty()) r.chain << QString::fromLatin1(LookName);
    const auto [proof, settings] = source_.proof();
    if (proof) {
        r.chain << settings.profile;
        r.intent = settings.intent == ProofIntent::Perceptual   ? IntentPerceptual
                   : settings.intent == ProofIntent::Saturation ? IntentSaturation
                                                                : IntentRelativeColorimetric;
        r.blackPointCompensation = settings.intent == ProofIntent::RelativeWithBlackPoint;
    } else {
        r.chain << r.sourceProfile;
    }
    return r;
}

void ImageExport::exportImage()
{
    if (source_.image().isNull()) return;
    const QString output = QFileDialog::getSaveFileName(window_, tr("Export image"), QString(),
                                                        tr("TIFF (*.tif *.tiff);;PNG (*.png);;JPEG (*.jpg *.jpeg)"));
    if (output.isEmpty()) return;
    const QString failure = exportTo(output);
    if (!failure.isEmpty()) criticalBox(window_, failure);
}

QString ImageExport::exportTo(const QString& output)
{
    QString input = source_.imageFile();
    QTemporaryDir scratch;
    if (input.isEmpty()) {
        // A pasted image: losslessly to a file first.
        input = scratch.filePath(QStringLiteral("pasted.png"));
        if (!scratch.isValid() || !source_.image().save(input)) return tr("The image cannot be written");
    }
    const ApplyRequest req = request(input, output);
    const QByteArray look = look_;
    const ProfileOpener open = [look](const QString& name) -> IccProfile* {
        if (name == QLatin1String(LookName)) return openFromMemory(look.constData(), uint32_t(look.size()));
        return openProfileByName(name);
    };

    std::atomic<int> done{0}, total{0};
    std::atomic<bool> finished{false};
    ApplyResult result;
    std::thread worker([&] {
        result = applyProfiles(req, open, [&](int d, int t) {
            total = t;
            done = std::max(done.load(), d);
        });
        finished = true;
    });
    QProgressDialog progress(tr("Exporting the image…"), tr("Cancel"), 0, 100, window_);
    progress.setObjectName(QStringLiteral("exportProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    while (!finished) {
        if (total > 0) progress.setValue(done * 100 / total);
        QApplication::processEvents(QEventLoop::AllEvents, 30);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    const bool cancelled = progress.wasCanceled();
    progress.reset();
    if (cancelled) {
        // The file was written by then; what the user gave up is not kept.
        QFile::remove(output);
        return {};
    }
    return result.ok ? QString() : result.message;
}
