// The colour readout and the pinned samplers.
#include "app/core/colourreadout.h"

#include "profiles/core/builtinspaces.h"

#include <QStringList>

#include <cmath>

namespace {

// CAM16 reads XYZ on the scale where the white's Y is 100.
constexpr CieXyz White100{96.42, 100.0, 82.49};

bool isInkSpace(uint32_t space)
{
    return space == PixelCmyk || space == PixelCmy || (space >= 19 && space <= 29);
}

std::shared_ptr<Transform> shared(TransformPtr t)
{
    return std::shared_ptr<Transform>(t.release(), &deleteTransform);
}

}   // namespace

ReadoutModel ReadoutModel::make(IccProfile* image, IccProfile* look, IccProfile* proof, const ProofSettings& settings,
                                const std::optional<Cam16Conditions>& conditions, uint32_t pixelFormat)
{
    ReadoutModel m;
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    if (!image || !lab) return m;
    constexpr uint32_t Exact = XformNoOptimise | XformNoCache;
    const ChainLink toLab{lab.get(), IntentRelativeColorimetric, false};
    ProfileChain result{{image, IntentPerceptual, false}};
    if (look) result.push_back({look, IntentPerceptual, false});
    m.before_ = shared(makeChainTransform({result.front(), toLab}, pixelFormat, FormatLabDouble, Exact));
    ProfileChain after = result;
    after.push_back(toLab);
    m.after_ = shared(makeChainTransform(after, pixelFormat, FormatLabDouble, Exact));
    if (!m.before_ || !m.after_) return {};
    if (proof) {
        // The device values the preview's proof sends the result to.
        const ProfileChain toDevice = previewChain(image, look, proof, settings, nullptr);
        const uint32_t space = profileColorSpace(proof);
        const ProfileChain chain(toDevice.begin(), toDevice.end() - 2);   // up to the proof, into its device
        m.device_ = shared(makeChainTransform(chain, pixelFormat, formatForSpace(space, 0, true), Exact));
        if (m.device_) m.deviceSpace_ = pixelSpaceOf(space);
    }
    if (conditions) {
        Cam16Model* model = createCam16Model(nullptr, *conditions);
        if (model) m.cam16_.reset(model, &freeCam16Model);
    }
    return m;
}

PixelReadout ReadoutModel::read(const void* pixel, std::vector<int> stored) const
{
    PixelReadout r;
    r.imageValues = std::move(stored);
    if (isNull()) return r;
    doTransform(before_.get(), pixel, &r.before, 1);
    doTransform(after_.get(), pixel, &r.after, 1);
    r.deltaE00 = deltaE2000(r.before, r.after);
    if (device_) {
        double values[16] = {};
        doTransform(device_.get(), pixel, values, 1);
        r.deviceSpace = deviceSpace_;
        const uint32_t channels = formatChannels(transformOutputFormat(device_.get()));
        const bool inks = isInkSpace(deviceSpace_);
        for (uint32_t c = 0; c < channels; ++c) {
            r.device.push_back(inks ? values[c] : values[c] * 255.0);
            if (inks && deviceSpace_ == PixelCmyk) r.totalInk += values[c];
        }
    }
    if (cam16_) {
        Cam16Correlates cc{};
        if (cam16Forward(cam16_.get(), labToXyz(&White100, r.after), &cc)) r.cam16 = cc;
    }
    return r;
}

QString readoutText(const PixelReadout& r)
{
    QStringList parts;
    QStringList own;
    for (int v : r.imageValues) own << QString::number(v);
    parts << own.join(QLatin1Char('/'));
    const auto lab = [](const CieLab& l) {
        return QStringLiteral("L*a*b* %1 %2 %3").arg(l.L, 0, 'f', 1).arg(l.a, 0, 'f', 1).arg(l.b, 0, 'f', 1);
    };
    parts << QStringLiteral("before ") + lab(r.before) << QStringLiteral("after ") + lab(r.after);
    parts << QStringLiteral("ΔE00 %1").arg(r.deltaE00, 0, 'f', 2);
    if (!r.device.empty()) {
        QStringList device;
        const bool cmyk = r.deviceSpace == PixelCmyk;
        for (double v : r.device) device << QString::number(v, 'f', 0);
        QString text = (cmyk ? QStringLiteral("CMYK %1 %") : QStringLiteral("device %1")).arg(device.join(QLatin1Char('/')));
        if (cmyk) text += QStringLiteral(" (total %1 %)").arg(r.totalInk, 0, 'f', 0);
        parts << text;
    }
    if (r.cam16)
        parts << QStringLiteral("J %1 C %2 h %3").arg(r.cam16->J, 0, 'f', 1).arg(r.cam16->C, 0, 'f', 1).arg(r.cam16->h, 0, 'f', 0);
    return parts.join(QStringLiteral("  "));
}

bool SamplerList::pin(const QPoint& at)
{
    if (positions_.size() >= Max || positions_.contains(at)) return false;
    positions_ << at;
    return true;
}

bool SamplerList::removeNear(const QPoint& at, int reach)
{
    int nearest = -1;
    double best = double(reach) + 0.5;
    for (int i = 0; i < positions_.size(); ++i) {
        const double d = std::hypot(double(positions_[i].x() - at.x()), double(positions_[i].y() - at.y()));
        if (d <= best) {
            best = d;
            nearest = i;
        }
    }
    if (nearest < 0) return false;
    positions_.removeAt(nearest);
    return true;
}
