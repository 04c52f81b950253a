// File ▸ Export image…: the sample image at full resolution through the
// chain the preview shows (the image's profile, the look, and the proof
// profile when the preview is proofed, else back to the image's space),
// written as TIFF, PNG or JPEG with the last profile embedded. The writing
// is the command line's apply, so that the same chain gives the same bytes;
// it runs on a thread of its own behind a progress dialog.
#pragma once

#include "app/core/proofing.h"
#include "app/widgets/previewscheduler.h"

#include <QObject>
#include <QString>

#include <functional>

class QMainWindow;
struct ApplyRequest;
struct ApplyResult;

// What the export asks of the pane: the sample image's file (empty for a
// pasted image, which is then written to a temporary file first), the image
// itself, the name of its profile, and the proof.
struct ExportSource {
    std::function<QString()> imageFile;
    std::function<QImage()> image;
    std::function<QString()> imageProfile;
    std::function<std::pair<SharedProfile, ProofSettings>()> proof;
};

class ImageExport : public QObject {
    Q_OBJECT

public:
    // The name the look takes in the chain handed to apply.
    static constexpr char LookName[] = "*look";

    ImageExport(QMainWindow* window, PreviewScheduler* scheduler, ExportSource source);

    // The request the export makes for `output`, and the bytes of the look
    // (empty without one), for the same run on the command line.
    ApplyRequest request(const QString& input, const QString& output) const;
    QByteArray lookBytes() const { return look_; }

public slots:
    void exportImage();
    // Writes without asking; the message of a failure, empty when written.
    QString exportTo(const QString& output);

private:
    QMainWindow* window_;
    ExportSource source_;
    QByteArray look_;   // the abstract profile of the latest frame, serialised
};
