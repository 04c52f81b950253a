// One slider step of a channel editor as a user makes it: the slider moves,
// the spin box follows, the curve takes the value, and the listener plots the
// curve. The editor's own share must be small beside the plotting.
#include "curves/widgets/channelmodifier.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QObject>
#include <QPainterPath>
#include <QSlider>

namespace {

// Steps the value slider of a gamma editor back and forth; with samples > 0
// each step is plotted as a panel redraw plots it.
void BM_SliderStep(benchmark::State& state)
{
    const int samples = int(state.range(0));
    ChannelModifier modifier;
    modifier.setFamilies(479);
    modifier.selectFamily(2);
    QSlider* slider = modifier.findChild<QSlider*>(QStringLiteral("sliderValue"));
    qsizetype elements = 0;
    QObject::connect(&modifier, &ChannelModifier::valueChanged, [&] {
        if (samples > 0) elements += modifier.curvePath(1023, 511, samples).elementCount();
    });
    int position = 1;
    for (auto _ : state) {
        position = position % 100 + 1;
        slider->setValue(position);
    }
    benchmark::DoNotOptimize(elements);
}
BENCHMARK(BM_SliderStep)->Arg(0)->Arg(64)->Arg(4096)->Unit(benchmark::kMicrosecond);

// Restoring an editor from its state text, as opening a recipe does seven times.
void BM_RestoreState(benchmark::State& state)
{
    ChannelModifier source;
    source.setFamilies(479);
    source.selectFamily(16);
    QList<float> values;
    for (int i = 0; i < int(state.range(0)); ++i) values.append(float(i) / float(state.range(0)));
    source.setUserData(true, 1.5, values);
    const QString text = source.toStateString();
    ChannelModifier target;
    target.setFamilies(479);
    for (auto _ : state) benchmark::DoNotOptimize(target.fromStateString(text));
}
BENCHMARK(BM_RestoreState)->Arg(2)->Arg(4096)->Unit(benchmark::kMicrosecond);

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
