// The colour readout of the preview: for one pixel of the sample image, its
// own values, its L*a*b* before and after the look, the ΔE00 between them,
// the proof profile's device values (with the total ink for CMYK), and,
// on the CIE CAM16 tab, the CAM16 J, C, h of the result under the tab's
// viewing conditions. Also the list of pinned samplers the readout keeps.
#pragma once

#include "app/core/proofing.h"
#include "cam16/core/cam16.h"

#include <QList>
#include <QPoint>
#include <QString>

#include <optional>
#include <vector>

struct PixelReadout {
    std::vector<int> imageValues;   // the pixel as stored (0..255 or 0..65535 per channel)
    CieLab before{};
    CieLab after{};
    double deltaE00 = 0;
    uint32_t deviceSpace = 0;       // the proof profile's pixel space (PixelCmyk, PixelRgb ...), 0 without a proof
    std::vector<double> device;     // CMYK and other inks in percent, RGB and gray 0..255
    double totalInk = 0;            // CMYK: the sum of the four inks, percent
    std::optional<Cam16Correlates> cam16;
};

// One text line of a readout, as the panel shows it.
QString readoutText(const PixelReadout& r);

class ReadoutModel {
public:
    ReadoutModel() = default;
    // `image` is the sample image's profile, `look` the abstract profile (or
    // none), `proof` the proof profile (or none). `conditions` are the
    // viewing conditions CAM16 correlates are read under, or none.
    // `pixelFormat` is the engine layout of the pixels read (16-bit values
    // of the image's space are the usual choice). Null when the image's
    // chain cannot be linked.
    static ReadoutModel make(IccProfile* image, IccProfile* look, IccProfile* proof, const ProofSettings& settings,
                             const std::optional<Cam16Conditions>& conditions, uint32_t pixelFormat);

    bool isNull() const { return !before_; }
    // The readout of one pixel in the layout given to make; `stored` are the
    // values the readout shows as the image's own.
    PixelReadout read(const void* pixel, std::vector<int> stored) const;

private:
    std::shared_ptr<Transform> before_, after_, device_;
    uint32_t deviceSpace_ = 0;
    std::shared_ptr<Cam16Model> cam16_;
};

// Pinned samplers: at most four image positions, in the order pinned.
class SamplerList {
public:
    static constexpr int Max = 4;
    // False when the list is full or the position is pinned already.
    bool pin(const QPoint& at);
    // Removes the sampler nearest to `at` within `reach` pixels; false when none is.
    bool removeNear(const QPoint& at, int reach);
    const QList<QPoint>& positions() const { return positions_; }

private:
    QList<QPoint> positions_;
};
