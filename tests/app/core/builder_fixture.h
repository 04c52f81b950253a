// What the builder's tests share: the fixture, colours to try, profiles
// evaluated in double precision, and .cube files written by the tests.
#pragma once

#include "app/core/builder.h"
#include "app/core/fidelity.h"

#include "curves/core/curvefamily.h"
#include "tools/core/toolfiles.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

namespace buildertest {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registerCurveFamilyPlugin());
        ASSERT_TRUE(QFile::exists(QString::fromLatin1(PressProfile))) << PressProfile << " is missing";
    }
};

inline CurvePtr curvePtr(ToneCurve* c)
{
    return {c, &freeCurve};
}

// The sigmoid of the prelinearisation, from its definition.
inline double sigmoid(double x, double k)
{
    const double c = 0.5 / (1.0 / (1.0 + std::exp(-k)) - 0.5);
    return (1.0 / (1.0 + std::exp(-k * (2.0 * x - 1.0))) - 0.5) * c + 0.5;
}

// Lab through a Lab-to-Lab pipeline, in the pipeline's float encoding.
inline CieLab evalLab(const Pipeline* p, const CieLab& lab)
{
    const float in[3] = {float(lab.L / 100.0), float((lab.a + 128.0) / 255.0), float((lab.b + 128.0) / 255.0)};
    float out[3];
    evalPipelineFloat(in, out, p);
    return {out[0] * 100.0, out[1] * 255.0 - 128.0, out[2] * 255.0 - 128.0};
}

// Lab through an abstract profile as a colour engine evaluates it (its
// table's own Lab encoding included), in float, unoptimised.
inline CieLab throughProfile(IccProfile* p, const CieLab& lab)
{
    std::unique_ptr<Transform, decltype(&deleteTransform)> t{
        createTransform(p, FormatLabDouble, nullptr, FormatLabDouble, IntentPerceptual, XformNoOptimise),
        &deleteTransform};
    CieLab out{-1, 0, 0};
    if (t) doTransform(t.get(), &lab, &out, 1);
    return out;
}

// What a sampler gives for any Lab, not only at nodes: the Lab encoded and
// prelinearised as a node would be, the sampler, and the output curves.
inline CieLab predicted(Sampler16Fn sampler, void* cargo, const ToneCurve* forward, const ToneCurve* inverse,
                 const CieLab& lab)
{
    uint16_t encoded[3];
    labToLab16(lab, encoded);
    const uint16_t node[3] = {encoded[0], evalCurve16(forward, encoded[1]), evalCurve16(forward, encoded[2])};
    uint16_t out[3];
    sampler(node, out, cargo);
    const uint16_t result[3] = {out[0], evalCurve16(inverse, out[1]), evalCurve16(inverse, out[2])};
    return lab16ToLab(result);
}

inline ProfilePtr reopen(IccProfile* p)
{
    const QByteArray bytes = profileBytes(p);
    if (bytes.isEmpty()) return adoptProfile(nullptr);
    return adoptProfile(openFromMemory(bytes.constData(), uint32_t(bytes.size())));
}

inline const Pipeline* a2b0(IccProfile* p)
{
    return static_cast<const Pipeline*>(loadTag(p, sig("A2B0")));
}

// Bytes of a profile with the creation date and the profile ID blanked.
inline QByteArray withoutDate(QByteArray bytes)
{
    if (bytes.size() >= 100) {
        bytes.replace(24, 12, QByteArray(12, '\0'));
        bytes.replace(84, 16, QByteArray(16, '\0'));
    }
    return bytes;
}

// Random Lab colours inside a profile's gamut: random device values through
// it, each channel kept `margin` away from its ends.
inline std::vector<CieLab> colorsInGamut(IccProfile* space, int count, uint32_t seed, double margin = 0.0)
{
    ProfilePtr lab = adoptProfile(createLabIdentityV4(nullptr, nullptr));
    const uint32_t format = profileColorSpace(space) == SpaceCmyk ? FormatCmykDouble : FormatRgbDouble;
    const double scale = profileColorSpace(space) == SpaceCmyk ? 100.0 : 1.0;
    const uint32_t channels = profileColorSpace(space) == SpaceCmyk ? 4 : 3;
    TransformPtr t{createTransform(space, format, lab.get(), FormatLabDouble, IntentRelativeColorimetric,
                                   XformNoOptimise),
                   &deleteTransform};
    std::vector<CieLab> out;
    if (!t) return out;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(margin, 1.0 - margin);
    for (int i = 0; i < count; ++i) {
        double device[4];
        for (uint32_t c = 0; c < channels; ++c) device[c] = u(rng) * scale;
        double l[3];
        doTransform(t.get(), device, l, 1);
        out.push_back({l[0], l[1], l[2]});
    }
    return out;
}

inline std::vector<CieLab> randomLab(int count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> L(0.0, 100.0), ab(-100.0, 100.0);
    std::vector<CieLab> out;
    for (int i = 0; i < count; ++i) out.push_back({L(rng), ab(rng), ab(rng)});
    return out;
}

// A .cube file of n points whose entries are f(r, g, b).
template <typename F>
inline QString writeCube(const QTemporaryDir& dir, const char* name, int n, F f)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    QByteArray text = "TITLE \"test table\"\nLUT_3D_SIZE " + QByteArray::number(n) + "\n";
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                const double x[3] = {double(r) / (n - 1), double(g) / (n - 1), double(b) / (n - 1)};
                double y[3];
                f(x, y);
                text += QByteArray::number(y[0], 'g', 9) + ' ' + QByteArray::number(y[1], 'g', 9) + ' ' +
                        QByteArray::number(y[2], 'g', 9) + '\n';
            }
    file.write(text);
    return path;
}

inline void identityTable(const double x[3], double y[3])
{
    std::copy(x, x + 3, y);
}

inline void warmerTable(const double x[3], double y[3])
{
    y[0] = std::min(x[0] + 0.1, 1.0);
    y[1] = x[1];
    y[2] = x[2];
}

}   // namespace buildertest

using namespace buildertest;
