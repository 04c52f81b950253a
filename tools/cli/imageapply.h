// Images through a chain of profiles, for the command line. TIFF, PNG and
// JPEG go through their own libraries a band of rows at a time, reading,
// transforming and writing side by side; other formats through the toolkit's
// image reader and writer. The profile an image carries is its source unless
// the chain starts with one; the chain's last profile is embedded in every
// result, and its orientation recorded. Gray, RGB and CMYK, 8 or 16 bits,
// alpha kept.
#pragma once

#include "profiles/core/builtinspaces.h"
#include "tools/imagefiles/imagefile.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

struct ApplySettings {
    QStringList chain;          // profile names, the last one the results'
    QString sourceProfile;      // the images' profile, put before the chain; empty: their own
    int intent = 0;             // ICC intent for every profile of the chain
    bool blackPointCompensation = false;
    int bits = 0;               // 8 or 16 per channel; 0: as the input
    std::optional<imagefiles::Compression> compression;   // TIFF results; default: as the input
    int quality = 90;           // JPEG results
    bool overwrite = false;     // replace existing results
    int workers = 0;            // threads transforming one image; 0: one per processor
};

struct ApplyRequest : ApplySettings {
    QString input;
    QString output;
};

// Called with rows done and rows in all, by whichever thread finished a band
// (several may call at once).
using ApplyProgress = std::function<void(int done, int total)>;

struct ApplyResult {
    bool ok = false;
    QString message;
    bool assumedDefaultProfile = false;   // the image carried no profile and was taken as sRGB
    QStringList notes;                    // what the result lost (alpha in a JPEG ...)
};

// The chain opened once for many images; apply() may run on several threads
// at once.
class ImageApplier {
public:
    explicit ImageApplier(ApplySettings settings, ProfileOpener open = openProfileByName);
    ~ImageApplier();
    ImageApplier(const ImageApplier&) = delete;
    ImageApplier& operator=(const ImageApplier&) = delete;

    // Opens the profiles; a message when one cannot be used.
    QString prepare();
    ApplyResult apply(const QString& input, const QString& output, const ApplyProgress& progress = {}) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// One image, as above.
ApplyResult applyProfiles(const ApplyRequest& request, const ProfileOpener& open = openProfileByName,
                          const ApplyProgress& progress = {});
