#include "curves/core/channelcurve.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

// Every state ever written used this stream version; pinning it keeps them
// readable whatever the Qt library in use defaults to.
constexpr QDataStream::Version StateStreamVersion = QDataStream::Qt_6_0;

// Bytes a float takes on the stream (written as a double).
constexpr qint64 StreamFloatBytes = 8;

constexpr double MaxSmoothing = 10.0;

double roundTo(double v, double unitsPerOne)
{
    return std::round(v * unitsPerOne) / unitsPerOne;
}

double clampTo(double v, const ParameterControl& c)
{
    return c.configured ? std::clamp(v, c.minimum, c.maximum) : v;
}

// NaN and infinities, which no editor can produce, count as 0.
float finiteOrZero(float v)
{
    return std::isfinite(v) ? v : 0.0f;
}

// A double from the stream as a float; values a float cannot hold count as 0.
float streamFloat(double d)
{
    return std::fabs(d) <= double(FLT_MAX) ? float(d) : 0.0f;
}

uint16_t tableEntry(float scaled)
{
    const float r = std::round(scaled);   // halves away from zero
    if (!(r > 0.0f)) return 0;            // also NaN
    if (r >= 65535.0f) return 65535;
    return uint16_t(r);
}

ToneCurve* identityCurve()
{
    return buildGammaCurve(nullptr, 1.0);
}

ToneCurve* parametricCurve(int32_t type, double p0, double p1 = 0.0)
{
    const double params[10] = {p0, p1};
    return buildParametricCurve(nullptr, type, params);
}

// The bytes left to read, an upper bound for a count read from the stream.
qint64 bytesLeft(const QDataStream& stream)
{
    return stream.device() ? stream.device()->bytesAvailable() : 0;
}

// A Qt list of floats (a 32-bit count, then doubles). A list cut short reads
// as empty; a count larger than what is left reserves no more than fits.
QList<float> readValues(QDataStream& stream)
{
    quint32 count = 0;
    stream >> count;
    QList<float> values;
    values.reserve(qsizetype(std::min<qint64>(count, bytesLeft(stream) / StreamFloatBytes)));
    for (quint32 i = 0; i < count; ++i) {
        double v = 0;
        stream >> v;
        if (stream.status() != QDataStream::Ok) return {};
        values.append(streamFloat(v));
    }
    return values;
}

// A Qt map of float to float (a 32-bit count, then x and y as doubles).
QMap<float, float> readPoints(QDataStream& stream)
{
    quint32 count = 0;
    stream >> count;
    QMap<float, float> points;
    for (quint32 i = 0; i < count; ++i) {
        double x = 0, y = 0;
        stream >> x >> y;
        if (stream.status() != QDataStream::Ok) return {};
        points.insert(streamFloat(x), streamFloat(y));
    }
    return points;
}

} // namespace

// ---------------------------------------------------------------------------
// Family, correlate, lock and parameters
// ---------------------------------------------------------------------------

void ChannelCurve::setFamilies(FamilyMask mask)
{
    const std::vector<CurveFamily> offered = familiesInMask(mask);
    m_families = 0;
    for (CurveFamily f : offered) m_families |= familyBit(f);
    if (!offered.empty()) m_family = offered.front();
    applyFamilyControls();
}

bool ChannelCurve::selectFamily(CurveFamily f)
{
    if (!isCurveFamily(int32_t(f))) return false;
    if (m_families != 0 && !(m_families & familyBit(f))) return false;
    if (f != m_family) {
        m_family = f;
        applyFamilyControls();
    }
    return true;
}

void ChannelCurve::setCorrelateCount(int count)
{
    m_correlateCount = std::max(count, 0);
    m_correlateIndex = 0;
    if (m_correlateCount > 0) applyFamilyControls();
}

bool ChannelCurve::setCorrelateIndex(int index)
{
    if (index < 0 || index >= m_correlateCount) return false;
    if (index != m_correlateIndex) {
        m_correlateIndex = index;
        applyFamilyControls();
    }
    return true;
}

void ChannelCurve::setValue(double v)
{
    if (std::isnan(v)) return;
    m_value = clampTo(roundTo(v, 100.0), familyControls(m_family).value);
}

void ChannelCurve::setOffset(double o)
{
    if (std::isnan(o)) return;
    m_offset = clampTo(roundTo(o, 100.0), familyControls(m_family).offset);
}

bool ChannelCurve::reset()
{
    if (m_locked) return false;
    const FamilyControls c = familyControls(m_family);
    if (c.value.configured) m_value = c.value.defaultValue;
    if (c.offset.configured) m_offset = c.offset.defaultValue;
    return true;
}

void ChannelCurve::applyFamilyControls()
{
    const FamilyControls c = familyControls(m_family);
    m_value = clampTo(m_value, c.value);
    m_offset = clampTo(m_offset, c.offset);
    reset();
}

void ChannelCurve::setUserData(bool normalized, double smoothing, const QList<float>& values)
{
    m_normalized = normalized;
    m_smoothing = std::isnan(smoothing) ? 0.0 : roundTo(std::clamp(smoothing, 0.0, MaxSmoothing), 10.0);
    m_values = values;
    for (float& v : m_values) v = finiteOrZero(v);
}

void ChannelCurve::setUserData(bool normalized, const QMap<float, float>& points)
{
    m_normalized = normalized;
    m_points.clear();
    for (auto it = points.cbegin(); it != points.cend(); ++it)
        m_points.insert(finiteOrZero(it.key()), finiteOrZero(it.value()));
}

// ---------------------------------------------------------------------------
// Building the engine curve
// ---------------------------------------------------------------------------

std::vector<uint16_t> tabulateValues(const QList<float>& values, bool normalized)
{
    if (values.size() < 2) return {};
    std::vector<uint16_t> table(size_t(values.size()));
    if (normalized) {
        float m = 0.0f;
        for (float v : values) m = std::max(m, v);
        if (!(m > 0.0f)) return {};
        std::transform(values.cbegin(), values.cend(), table.begin(),
                       [m](float v) { return tableEntry(v * 65535.0f / m); });
    } else {
        std::transform(values.cbegin(), values.cend(), table.begin(),
                       [](float v) { return tableEntry(v * 65535.0f); });
    }
    return table;
}

std::vector<float> samplePoints(const QMap<float, float>& points, bool normalized)
{
    if (points.size() < 2) return {};
    std::vector<float> xs, ys;
    xs.reserve(size_t(points.size()));
    ys.reserve(size_t(points.size()));
    float sx = 1.0f, sy = 1.0f;
    for (auto it = points.cbegin(); it != points.cend(); ++it) {
        xs.push_back(it.key());
        ys.push_back(it.value());
        sx = std::max(sx, it.key());
        sy = std::max(sy, it.value());
    }
    if (!normalized) sx = sy = 1.0f;

    // u only grows, so the segment index only moves forward.
    std::vector<float> samples(PointListSamples);
    const size_t last = xs.size() - 1;
    size_t j = 0;
    for (int i = 0; i < PointListSamples; ++i) {
        const float u = float(i) * sx / float(PointListSamples - 1);
        float y;
        if (u < xs.front()) {
            y = ys.front();
        } else if (u >= xs[last]) {
            y = ys[last];
        } else {
            while (xs[j + 1] <= u) ++j;
            y = ys[j] + (ys[j + 1] - ys[j]) * (u - xs[j]) / (xs[j + 1] - xs[j]);
        }
        samples[size_t(i)] = y / sy;
    }
    return samples;
}

ToneCurve* ChannelCurve::buildCurve() const
{
    switch (m_family) {
    case CurveFamily::Preserve: return identityCurve();
    case CurveFamily::Gamma: return parametricCurve(GammaType, m_value, m_offset);
    case CurveFamily::Sigmoidal: return parametricCurve(SigmoidalType, m_value, m_offset);
    case CurveFamily::InverseGamma: return parametricCurve(InverseGammaType, m_value, m_offset);
    case CurveFamily::InverseSigmoid: return parametricCurve(InverseSigmoidType, m_value, m_offset);
    case CurveFamily::Offset: return parametricCurve(OffsetType, m_offset);
    case CurveFamily::PrelinSigmoid: return parametricCurve(PrelinSigmoidType, m_value);
    case CurveFamily::Tabulated: {
        const std::vector<uint16_t> table = tabulateValues(m_values, m_normalized);
        if (table.empty()) return identityCurve();
        ToneCurve* curve = buildTabulatedCurve16(nullptr, uint32_t(table.size()), table.data());
        // A negative strength keeps the smoothed table even when its checks
        // fail; they are reported through the engine's error handler.
        if (curve && m_smoothing > 0.0) smoothCurve(curve, -m_smoothing);
        return curve;
    }
    case CurveFamily::PointList: {
        const std::vector<float> samples = samplePoints(m_points, m_normalized);
        if (samples.empty()) return identityCurve();
        return buildTabulatedCurveFloat(nullptr, uint32_t(samples.size()), samples.data());
    }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// State stream
// ---------------------------------------------------------------------------

QDataStream& operator<<(QDataStream& stream, const ChannelCurve& curve)
{
    stream << qint32(curve.correlateIndex()) << qint32(curve.m_family) << curve.m_locked;
    switch (curve.m_family) {
    case CurveFamily::Gamma:
    case CurveFamily::Sigmoidal:
    case CurveFamily::InverseGamma:
    case CurveFamily::InverseSigmoid:
        stream << curve.m_value << curve.m_offset;
        break;
    case CurveFamily::Offset:
        stream << curve.m_offset;
        break;
    case CurveFamily::PrelinSigmoid:
        stream << curve.m_value;
        break;
    case CurveFamily::Tabulated:
        stream << curve.m_normalized << curve.m_smoothing << quint32(curve.m_values.size());
        for (float v : curve.m_values) stream << double(v);
        break;
    case CurveFamily::PointList:
        stream << curve.m_normalized << quint32(curve.m_points.size());
        for (auto it = curve.m_points.cbegin(); it != curve.m_points.cend(); ++it)
            stream << double(it.key()) << double(it.value());
        break;
    case CurveFamily::Preserve:
        break;
    }
    return stream;
}

QDataStream& operator>>(QDataStream& stream, ChannelStateRecord& record)
{
    record = ChannelStateRecord();
    stream >> record.correlate >> record.family >> record.locked;
    switch (CurveFamily(record.family)) {
    case CurveFamily::Gamma:
    case CurveFamily::Sigmoidal:
    case CurveFamily::InverseGamma:
    case CurveFamily::InverseSigmoid:
        stream >> record.value >> record.offset;
        break;
    case CurveFamily::Offset:
        stream >> record.offset;
        break;
    case CurveFamily::PrelinSigmoid:
        stream >> record.value;
        break;
    case CurveFamily::Tabulated:
        stream >> record.normalized >> record.smoothing;
        record.values = readValues(stream);
        break;
    case CurveFamily::PointList:
        stream >> record.normalized;
        record.points = readPoints(stream);
        break;
    case CurveFamily::Preserve:
        break;
    }
    return stream;
}

bool readStateString(const QString& text, ChannelStateRecord& record, bool* complete)
{
    const QString trimmed = text.trimmed();
    if (complete) *complete = false;
    if (trimmed.isEmpty()) return false;
    // Text that is not Base64 decodes to nothing, so every field reads as 0.
    const auto decoded = QByteArray::fromBase64Encoding(
        trimmed.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray bytes = decoded ? decoded.decoded : QByteArray();
    QDataStream stream(bytes);
    stream.setVersion(StateStreamVersion);
    stream >> record;
    if (complete) *complete = stream.status() == QDataStream::Ok;
    return true;
}

// Fields are applied in the order they come, as the editor applies them: a
// new correlate or family first resets an unlocked curve's parameters, then
// the lock, then the stored parameters (clamped to the current family's
// ranges).
void ChannelCurve::applyState(const ChannelStateRecord& record)
{
    if (hasCorrelates()) setCorrelateIndex(record.correlate);
    selectFamily(CurveFamily(record.family));
    setLocked(record.locked);

    switch (CurveFamily(record.family)) {
    case CurveFamily::Gamma:
    case CurveFamily::Sigmoidal:
    case CurveFamily::InverseGamma:
    case CurveFamily::InverseSigmoid:
        setValue(record.value);
        setOffset(record.offset);
        break;
    case CurveFamily::Offset:
        setOffset(record.offset);
        break;
    case CurveFamily::PrelinSigmoid:
        setValue(record.value);
        setOffset(0.0);
        break;
    case CurveFamily::Tabulated:
        setUserData(record.normalized, record.smoothing, record.values);
        break;
    case CurveFamily::PointList:
        setUserData(record.normalized, record.points);
        break;
    case CurveFamily::Preserve:
        break;
    }
}

QDataStream& operator>>(QDataStream& stream, ChannelCurve& curve)
{
    ChannelStateRecord record;
    stream >> record;
    curve.applyState(record);
    return stream;
}

QString ChannelCurve::toStateString() const
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(StateStreamVersion);
    stream << *this;
    return QString::fromLatin1(bytes.toBase64());
}

bool ChannelCurve::fromStateString(const QString& text)
{
    ChannelStateRecord record;
    bool complete = false;
    if (!readStateString(text, record, &complete)) return false;
    applyState(record);
    return complete;
}
