// The channel curve model: one adjustable channel of a recipe as a curve
// family, its parameters and its free-form data, together with the editor
// state that is saved with it (lock and correlate choice). It builds the
// engine curve and writes and reads the editor's Base64 state stream.
#pragma once

#include "curves/core/curvefamily.h"
#include "osl.h"

#include <QList>
#include <QMap>
#include <QString>

#include <memory>
#include <vector>

class QDataStream;

using ToneCurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;

// Number of samples of a point-list curve.
constexpr int PointListSamples = 4096;

// One state record as it stands on the stream, before it is applied to a
// curve or to its editor. Which of the fields after `locked` the record
// carries depends on the family; the others keep their zeros.
struct ChannelStateRecord {
    int32_t correlate = 0;
    int32_t family = 0;
    bool locked = false;
    double value = 0.0;         // families 2, 4, 64, 128 and 32
    double offset = 0.0;        // families 2, 4, 8, 64 and 128
    bool normalized = false;    // families 16 and 256
    double smoothing = 0.0;     // family 16
    QList<float> values;        // family 16
    QMap<float, float> points;  // family 256
};

// Reads a record; fields past the end of the stream read as zeros, and a list
// or map cut short reads as empty.
QDataStream& operator>>(QDataStream& stream, ChannelStateRecord& record);

// Decodes a state string and reads its record. False for empty text, which
// holds nothing to apply; text that is not Base64 reads as zeros. `complete`
// tells whether the whole record was there.
bool readStateString(const QString& text, ChannelStateRecord& record, bool* complete = nullptr);

class ChannelCurve {
public:
    ChannelCurve() = default;

    // The families on offer, as a family selector holds them. With two or
    // more, the first in selector order becomes the family; with one, that
    // one; with none (the initial state), any family may be selected. Ends
    // by applying the family's controls, as any change of family does.
    void setFamilies(FamilyMask mask);
    FamilyMask families() const { return m_families; }

    // Makes f the family when it is offered (or nothing is offered and f is
    // a family); otherwise nothing changes. A change applies the new
    // family's controls. Returns whether f is the family afterwards.
    bool selectFamily(CurveFamily f);
    CurveFamily family() const { return m_family; }

    // Correlates of a CAM16 channel: their number (0: a plain channel, whose
    // correlate index is always 0) and the chosen one. Choosing another
    // correlate applies the family's controls again; an index out of range
    // is ignored.
    void setCorrelateCount(int count);
    int correlateCount() const { return m_correlateCount; }
    bool hasCorrelates() const { return m_correlateCount > 0; }
    bool setCorrelateIndex(int index);
    int correlateIndex() const { return m_correlateIndex; }

    // A locked curve keeps its parameters when the family or correlate
    // changes and ignores reset(); the setters below still apply.
    void setLocked(bool locked) { m_locked = locked; }
    bool isLocked() const { return m_locked; }

    // The parameters, rounded to the spin boxes' two decimals and clamped to
    // the ranges the current family gives its controls. NaN is ignored.
    void setValue(double v);
    double value() const { return m_value; }
    void setOffset(double o);
    double offset() const { return m_offset; }

    // Both parameters back to the family's defaults, unless locked.
    bool reset();

    // Free-form data. NaN and infinities become 0 (as non-numeric text in the
    // editors does); smoothing is kept within 0 to 10 at one decimal.
    void setUserData(bool normalized, double smoothing, const QList<float>& values);
    void setUserData(bool normalized, const QMap<float, float>& points);
    const QList<float>& values() const { return m_values; }
    const QMap<float, float>& points() const { return m_points; }
    bool normalized() const { return m_normalized; }
    double smoothing() const { return m_smoothing; }

    // A new engine curve on the global context, owned by the caller (release
    // with freeCurve); null for a value that names no family or when the
    // engine refuses. Types 109 to 114 need registerCurveFamilyPlugin().
    ToneCurve* buildCurve() const;
    ToneCurvePtr buildCurvePtr() const { return {buildCurve(), &freeCurve}; }

    // The state as Base64 text, and back. Empty text changes nothing; text
    // that is not Base64 or ends early reads as zeros from where it fails, and
    // what was read is applied. Returns whether the whole record was read.
    QString toStateString() const;
    bool fromStateString(const QString& text);

    // Applies a record read from a state: the correlate (when there are
    // correlates), the family (when offered; its controls reset an unlocked
    // curve first), the lock, then the stored parameters or data, read by the
    // stored family even when that family is not on offer.
    void applyState(const ChannelStateRecord& record);

    friend QDataStream& operator<<(QDataStream& stream, const ChannelCurve& curve);
    friend QDataStream& operator>>(QDataStream& stream, ChannelCurve& curve);

private:
    // Clamps the parameters to the current family's ranges and, unless
    // locked, resets them to its defaults.
    void applyFamilyControls();

    FamilyMask m_families = 0;
    CurveFamily m_family = CurveFamily::Preserve;
    int m_correlateCount = 0;
    int m_correlateIndex = 0;
    bool m_locked = false;
    double m_value = 1.0;
    double m_offset = 0.0;
    QList<float> m_values;
    QMap<float, float> m_points;
    bool m_normalized = false;
    double m_smoothing = 0.0;
};

// The state record: correlate index (int32), family (int32), locked (bool),
// then by family: value and offset (2, 4, 64, 128), offset (8), value (32),
// normalized, smoothing and the values (16), normalized and the points (256).
// Every float goes on the stream as a double; lists carry a 32-bit count.
QDataStream& operator<<(QDataStream& stream, const ChannelCurve& curve);
QDataStream& operator>>(QDataStream& stream, ChannelCurve& curve);

// The 16-bit table of a Tabulated curve: round(v × 65535 / m) with m the
// largest value when normalised, else round(v × 65535), in single precision,
// halves away from zero, clamped to 0 … 65535. Empty when there are fewer
// than two values or when normalising a list whose largest value is not
// positive: both give the identity.
std::vector<uint16_t> tabulateValues(const QList<float>& values, bool normalized);

// The 4096 samples of a point-list curve: the piecewise-linear line through
// the points (flat beyond the first and last), sampled over [0, sx] and
// divided by sy, where sx and sy are the largest x and y when normalised and
// they exceed 1, else 1. Empty for fewer than two points (the identity).
std::vector<float> samplePoints(const QMap<float, float>& points, bool normalized);
