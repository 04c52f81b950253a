// Building channel curves and plotting them: a curve panel redraws on every
// slider step, and four curves of 4096 points is its heaviest redraw, which
// must stay well inside one frame (16 ms).
#include "app/widgets/qgraphicsviewmap.h"
#include "curves/core/channelcurve.h"
#include "curves/widgets/curvesscene.h"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <cmath>
#include <vector>

namespace {

ChannelCurve parametric(CurveFamily f, double value, double offset)
{
    ChannelCurve c;
    c.selectFamily(f);
    c.setValue(value);
    c.setOffset(offset);
    return c;
}

// A wavy 4096-entry table, smoothed: the costliest Tabulated curve.
ChannelCurve tabulated()
{
    QList<float> values;
    for (int i = 0; i < 4096; ++i) values.append(float(i / 4095.0 + 0.02 * std::sin(i * 0.3)));
    ChannelCurve c;
    c.selectFamily(CurveFamily::Tabulated);
    c.setUserData(true, 5.0, values);
    return c;
}

ChannelCurve pointList()
{
    QMap<float, float> points;
    for (int i = 0; i <= 12; ++i) points.insert(i / 12.0f, float(std::pow(i / 12.0, 0.8)));
    ChannelCurve c;
    c.selectFamily(CurveFamily::PointList);
    c.setUserData(false, points);
    return c;
}

// The four channels of a Softproofing panel at their costliest.
std::vector<ChannelCurve> heaviestPanel()
{
    return {pointList(), tabulated(), parametric(CurveFamily::Sigmoidal, 4.5, 0.3),
            parametric(CurveFamily::InverseGamma, 2.2, -0.2)};
}

void BM_BuildCurve(benchmark::State& state)
{
    const std::vector<ChannelCurve> panel = heaviestPanel();
    const ChannelCurve& curve = panel[size_t(state.range(0))];
    for (auto _ : state) {
        ToneCurvePtr tone = curve.buildCurvePtr();
        benchmark::DoNotOptimize(tone.get());
    }
}
// 0: point list, 1: smoothed table, 2: sigmoid, 3: inverse gamma.
BENCHMARK(BM_BuildCurve)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// Building and sampling four curves into paths.
void BM_PlotFourCurves(benchmark::State& state)
{
    const std::vector<ChannelCurve> panel = heaviestPanel();
    const int n = int(state.range(0));
    for (auto _ : state) {
        for (const ChannelCurve& c : panel) {
            QPainterPath path = curvePath(c, 1023, 511, n);
            benchmark::DoNotOptimize(path);
        }
    }
}
BENCHMARK(BM_PlotFourCurves)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);

// The whole panel redraw on the view: clear, legend, four curves.
void BM_RedrawPanel(benchmark::State& state)
{
    const std::vector<ChannelCurve> panel = heaviestPanel();
    const int n = int(state.range(0));
    QGraphicsViewMap view;
    CurvesScene scene(QRectF(0, 0, 1024, 512), false);
    view.setScene(&scene);
    const QStringList names{"C", "M", "Y", "K"};
    const QList<QRgb> colours{0xFF00FFFF, 0xFFFF00FF, 0xFFFFFF00, 0xFFC0C0C0};
    for (auto _ : state) {
        view.clearCurves();
        view.setLegend(names, colours);
        for (const ChannelCurve& c : panel)
            view.addCurve(curvePath(c, view.drawingWidth(), view.drawingHeight(), n));
    }
    view.setScene(nullptr);
}
BENCHMARK(BM_RedrawPanel)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (!registerCurveFamilyPlugin()) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
