// The proofing tools through the real window: the gamut warning against an
// independent engine's round trip through the press profile, the split view
// and the original shown while backslash is held, and the proof profile
// dialog.
#include "app/widgets/previewpane.h"
#include "app/widgets/proofingtools.h"
#include "app/widgets/proofprofiledialog.h"
#include "app/widgets/readoutpanel.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/core/builtinspaces.h"
#include "profiles/widgets/iccprofileselector.h"
#include "windowtest.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QPainter>
#include <QProcess>
#include <QTabWidget>
#include <QtTest>

#include <cmath>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
constexpr QRgb Magenta = 0xFFFF00FF;

// Left half: neutral and muted colours; right half: saturated sRGB
// primaries and secondaries, with some of their neighbours.
QImage twoHalves()
{
    QImage image(64, 32, QImage::Format_RGB32);
    const QRgb saturated[] = {qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(0, 0, 255),  qRgb(0, 255, 255),
                              qRgb(255, 0, 255), qRgb(255, 255, 0), qRgb(230, 0, 20), qRgb(20, 230, 0),
                              qRgb(0, 20, 240),  qRgb(10, 240, 230)};
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (x < 32) {
                const int gray = 90 + (x * 5 + y * 3) % 130;   // above the press's deepest shadows
                image.setPixel(x, y, qRgb(gray + (y % 5) * 4 - 8, gray + (x % 3) * 4 - 4, gray - (x % 4) * 3));
            } else {
                image.setPixel(x, y, saturated[(x + y * 3) % std::size(saturated)]);
            }
        }
    return image;
}

// The numbers after the last "->" of each line xicclu prints.
QList<QList<double>> xiccluRun(const QStringList& args, const QList<QList<double>>& input)
{
    QProcess p;
    p.start(QStringLiteral("xicclu"), args);
    if (!p.waitForStarted()) return {};
    QByteArray text;
    for (const auto& values : input) {
        QStringList line;
        for (double v : values) line << QString::number(v, 'f', 6);
        text += line.join(' ').toLatin1() + '\n';
    }
    p.write(text);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    QList<QList<double>> out;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const int arrow = line.lastIndexOf("->");
        if (arrow < 0) continue;
        QList<double> values;
        for (const QByteArray& word : line.mid(arrow + 2).simplified().split(' ')) {
            bool ok = false;
            const double v = word.toDouble(&ok);
            if (ok) values << v;
        }
        out << values;
    }
    return out;
}

// The scene of the image view drawn at one scene unit per pixel.
QImage renderedScene(const QGraphicsViewMap* view)
{
    QGraphicsScene* scene = view->imageScene();
    if (!scene) return {};
    QImage out(scene->sceneRect().size().toSize(), QImage::Format_RGB32);
    out.fill(Qt::black);
    QPainter painter(&out);
    scene->render(&painter, QRectF(out.rect()), scene->sceneRect());
    return out;
}

}   // namespace

class ProofingToolsTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void theGamutWarningMarksWhatThePressCannotPrint();
    void theSplitShowsTheOriginalLeftAndTheResultRight();
    void backslashShowsTheOriginalWhileHeld();
    void theProofProfileDialogStoresItsChoiceAndProofs();
    void theReadoutShowsTheEnginesValuesOfThePixel();
    void pinnedSamplersFollowTheLook();
    void theLookStrengthMapShowsTheDifference();

private:
    void loadImage(const QImage& image);
    bool showProof();
    QAction* action(const char* name) const { return child<QAction>(name); }
    QGraphicsViewMap* view() const { return child<QGraphicsViewMap>("imageViewer"); }
    // A window showing the two halves through a look that changes them
    // (gamma 2 on the red of sRGB), and what it showed before and after.
    void showOriginalAndResult(QImage& original, QImage& result);
};

void ProofingToolsTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
}

void ProofingToolsTest::init()
{
    freshSettings();
}

void ProofingToolsTest::cleanup()
{
    closeWindow();
}

void ProofingToolsTest::loadImage(const QImage& image)
{
    const QString path = files_.filePath(QStringLiteral("image.png"));
    QVERIFY(image.save(path));
    window_->previewPane()->loadImageFile(path);
    QVERIFY(waitForPreview(window_.get()));
}

bool ProofingToolsTest::showProof()
{
    action("action_view_abstract")->trigger();
    return waitForPreview(window_.get());
}

void ProofingToolsTest::showOriginalAndResult(QImage& original, QImage& result)
{
    makeWindow();
    loadImage(twoHalves());
    original = shownImage(view());
    child<ICCProfileSelector>("iccProfile")->selectByName("*srgb");
    child<QTabWidget>("generator")->setCurrentIndex(0);
    auto* red = child<ChannelModifier>("chan_1");
    red->selectFamily(2);
    red->setValue(2.0);
    QVERIFY(showProof());
    result = shownImage(view());
}

// Of the pixels that an independent engine finds outside the press's gamut
// (its relative colorimetric round trip moves them by more than ΔE 2), the
// warning marks at least 95 %; of those inside, at most 1 %.
void ProofingToolsTest::theGamutWarningMarksWhatThePressCannotPrint()
{
    QVERIFY2(QFile::exists(PressProfile), PressProfile);
    settings_->setValue("proofing/enabled", true);
    settings_->setValue("proofing/profile", QString::fromLatin1(PressProfile));
    makeWindow();
    const QImage image = twoHalves();
    loadImage(image);
    QVERIFY(showProof());
    QAction* warning = action("action_gamut_warning");
    QCOMPARE(warning->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Y));
    warning->trigger();
    QVERIFY(warning->isChecked());
    QVERIFY(waitForPreview(window_.get()));
    const QImage shown = shownImage(view());
    QCOMPARE(shown.size(), image.size());

    // The Lab of each pixel (the default look leaves sRGB as it is), then
    // through the press and back.
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    TransformPtr toLab(createTransform(srgb.get(), FormatRgb8, lab.get(), FormatLabDouble, IntentPerceptual, 0),
                       &deleteTransform);
    QList<QList<double>> labs;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            const uint8_t rgb[3] = {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
            CieLab l{};
            doTransform(toLab.get(), rgb, &l, 1);
            labs << QList<double>{l.L, l.a, l.b};
        }
    const QList<QList<double>> inks = xiccluRun({"-fb", "-ir", "-pl", PressProfile}, labs);
    QCOMPARE(inks.size(), labs.size());
    const QList<QList<double>> back = xiccluRun({"-ff", "-ir", "-pl", PressProfile}, inks);
    QCOMPARE(back.size(), labs.size());

    int outside = 0, outsideMarked = 0, inside = 0, insideMarked = 0, marksOnTheLeft = 0;
    for (int i = 0; i < labs.size(); ++i) {
        QCOMPARE(back[i].size(), 3);
        const double dE = std::hypot(labs[i][0] - back[i][0], labs[i][1] - back[i][1], labs[i][2] - back[i][2]);
        const int x = i % image.width(), y = i / image.width();
        const bool marked = shown.pixel(x, y) == Magenta;
        if (dE > 2) {
            ++outside;
            outsideMarked += marked;
        } else {
            ++inside;
            insideMarked += marked;
        }
        marksOnTheLeft += marked && x < 32;
    }
    const QString counts = QString("%1 of %2 outside marked, %3 of %4 inside").arg(outsideMarked).arg(outside)
                               .arg(insideMarked).arg(inside);
    qInfo("%s", qPrintable(counts));
    QVERIFY2(outside > 500 && inside > 500, qPrintable(counts));
    QVERIFY2(outsideMarked * 100 >= outside * 95, qPrintable(counts));
    QVERIFY2(insideMarked * 100 <= inside, qPrintable(counts));
    QCOMPARE(marksOnTheLeft, 0);

    // Off again: no mark is left, and the setting is kept.
    warning->trigger();
    QVERIFY(waitForPreview(window_.get()));
    const QImage plain = shownImage(view());
    int left = 0;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) left += plain.pixel(x, y) == Magenta;
    QCOMPARE(left, 0);
    QCOMPARE(settings_->value("proofing/gamut_warning").toBool(), false);
}

void ProofingToolsTest::theSplitShowsTheOriginalLeftAndTheResultRight()
{
    QImage original, result;
    showOriginalAndResult(original, result);
    QVERIFY(largestDifference(original, result) > 20);

    QAction* split = action("action_split");
    QCOMPARE(split->shortcut(), QKeySequence(Qt::Key_Y));
    split->trigger();
    QVERIFY(waitForPreview(window_.get()));
    ProofingTools* tools = window_->previewPane()->proofingTools();
    for (const double at : {0.5, 0.25}) {
        tools->setDividerPosition(at);
        const QImage drawn = renderedScene(view());
        QCOMPARE(drawn.size(), original.size());
        const int divider = int(std::lround(original.width() * at));
        int wrong = 0;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x) {
                if (std::abs(x - divider) <= 1) continue;   // the divider line
                wrong += drawn.pixel(x, y) != (x < divider ? original : result).pixel(x, y);
            }
        QVERIFY2(wrong == 0, qPrintable(QString("%1 pixels differ at %2").arg(wrong).arg(at)));
    }
    // The divider follows the mouse.
    view()->resetTransform();
    const QPoint from = view()->mapFromScene(QPointF(16, 10));
    const QPoint to = view()->mapFromScene(QPointF(40, 10));
    QTest::mousePress(view()->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(view()->viewport(), to);
    QTest::mouseRelease(view()->viewport(), Qt::LeftButton, {}, to);
    QVERIFY2(std::abs(tools->dividerPosition() - 40.0 / 64) < 0.05, qPrintable(QString::number(tools->dividerPosition())));

    // Horizontal, then off: only the result is left.
    action("action_split_horizontal")->trigger();
    QCOMPARE(tools->split(), ProofingTools::Split::Horizontal);
    QVERIFY(!split->isChecked());
    action("action_split_horizontal")->trigger();
    QVERIFY(waitForPreview(window_.get()));
    QCOMPARE(largestDifference(renderedScene(view()), result), 0);
}

void ProofingToolsTest::backslashShowsTheOriginalWhileHeld()
{
    QImage original, result;
    showOriginalAndResult(original, result);

    QTest::keyPress(window_.get(), Qt::Key_Backslash);
    QVERIFY(waitForPreview(window_.get()));
    QCOMPARE(largestDifference(shownImage(view()), original), 0);
    QTest::keyRelease(window_.get(), Qt::Key_Backslash);
    QVERIFY(waitForPreview(window_.get()));
    QCOMPARE(largestDifference(shownImage(view()), result), 0);
}

// The dialog writes the choice, and the preview goes through the press:
// saturated colours come out duller than without it.
void ProofingToolsTest::theProofProfileDialogStoresItsChoiceAndProofs()
{
    makeWindow();
    loadImage(twoHalves());
    QVERIFY(showProof());
    const QImage unproofed = shownImage(view());

    QTimer::singleShot(0, [this] {
        auto* dialog = qobject_cast<ProofProfileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->findChild<QCheckBox*>("proofEnabled")->setChecked(true);
        auto* selector = dialog->findChild<ICCProfileSelector*>("proofProfile");
        const QFileInfo press(PressProfile);
        QVERIFY(selector->setSelection(press.absolutePath(), press.fileName()));
        dialog->findChild<QComboBox*>("proofIntent")->setCurrentIndex(1);
        dialog->accept();
    });
    action("action_proof_profile")->trigger();
    QVERIFY(waitForPreview(window_.get()));
    const ProofSettings stored = ProofSettings::read(*settings_);
    QVERIFY(stored.enabled);
    QCOMPARE(QFileInfo(stored.profile).canonicalFilePath(), QFileInfo(PressProfile).canonicalFilePath());
    QCOMPARE(stored.intent, ProofIntent::RelativeColorimetric);

    const QImage proofed = shownImage(view());
    const QRgb blueWas = unproofed.pixel(32, 0), blueIs = proofed.pixel(32, 0);   // pure blue on the right
    QCOMPARE(twoHalves().pixel(32, 0), qRgb(0, 0, 255));
    QVERIFY2(qBlue(blueIs) < qBlue(blueWas) - 20 || qRed(blueIs) > qRed(blueWas) + 20,
             qPrintable(QString::number(blueIs, 16)));
}

namespace {

CieLab engineLab(const QRgb p)
{
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    ProfilePtr lab(createLabIdentityV4(nullptr, nullptr), &closeProfile);
    TransformPtr t(createTransform(srgb.get(), FormatRgb8, lab.get(), FormatLabDouble, IntentPerceptual, XformNoOptimise),
                   &deleteTransform);
    const uint8_t rgb[3] = {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
    CieLab out{};
    doTransform(t.get(), rgb, &out, 1);
    return out;
}

}   // namespace

// With the original shown (no look) and the press as proof, the readout of
// a pixel is the engine's Lab of it before and after, and the engine's
// sRGB → press device values (relative colorimetric with black-point
// compensation) with their total.
void ProofingToolsTest::theReadoutShowsTheEnginesValuesOfThePixel()
{
    settings_->setValue("proofing/enabled", true);
    settings_->setValue("proofing/profile", QString::fromLatin1(PressProfile));
    makeWindow();
    const QImage image = twoHalves();
    loadImage(image);
    ReadoutPanel* readout = window_->previewPane()->readoutPanel();
    ProfilePtr srgb(createSrgbProfile(nullptr), &closeProfile);
    ProfilePtr press(openProfileByName(PressProfile), &closeProfile);
    TransformPtr toInk(createTransform(srgb.get(), FormatRgb8, press.get(), FormatCmykDouble,
                                       IntentRelativeColorimetric, XformBlackPointCompensation | XformNoOptimise),
                       &deleteTransform);
    for (const QPoint at : {QPoint(3, 4), QPoint(32, 0), QPoint(50, 20)}) {
        const std::optional<PixelReadout> r = readout->readAt(at);
        QVERIFY(r);
        const QRgb p = image.pixel(at);
        QCOMPARE(r->imageValues, (std::vector<int>{qRed(p), qGreen(p), qBlue(p)}));
        const CieLab lab = engineLab(p);
        QVERIFY(deltaE76(r->before, lab) < 0.01);
        QVERIFY(deltaE76(r->after, lab) < 0.01);
        const uint8_t rgb[3] = {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
        double ink[4] = {};
        doTransform(toInk.get(), rgb, ink, 1);
        QCOMPARE(int(r->device.size()), 4);
        for (int c = 0; c < 4; ++c) QVERIFY2(std::abs(r->device[size_t(c)] - ink[c]) < 0.05, qPrintable(QString::number(c)));
        QVERIFY(std::abs(r->totalInk - (ink[0] + ink[1] + ink[2] + ink[3])) < 0.2);
    }
}

// Shift+click pins a sampler; it reads the result the view shows, and reads
// it again when a curve changes under live preview. Alt+click removes it.
void ProofingToolsTest::pinnedSamplersFollowTheLook()
{
    QImage original, result;
    showOriginalAndResult(original, result);
    child<QCheckBox>("chkLive")->setChecked(true);
    ReadoutPanel* readout = window_->previewPane()->readoutPanel();
    // Zoomed in, so that a click falls well inside one pixel.
    view()->resetTransform();
    view()->scale(8, 8);
    const QPoint red(33, 1);   // a saturated red on the right, not at full red
    view()->centerOn(QPointF(red));
    QCOMPARE(twoHalves().pixel(red), qRgb(230, 0, 20));
    const QPoint on = view()->mapFromScene(QPointF(red) + QPointF(0.5, 0.5));
    QTest::mouseClick(view()->viewport(), Qt::LeftButton, Qt::ShiftModifier, on);
    QCOMPARE(readout->samplers().positions(), QList<QPoint>{red});
    QCOMPARE(readout->samplerReadouts().size(), 1);
    const PixelReadout first = readout->samplerReadouts().front();
    QVERIFY2(deltaE76(first.after, engineLab(result.pixel(red))) < 1.5, qPrintable(readoutText(first)));
    QVERIFY(first.deltaE00 > 3);

    child<ChannelModifier>("chan_1")->setValue(3.0);
    QVERIFY(waitForPreview(window_.get()));
    QCOMPARE(readout->samplerReadouts().size(), 1);
    const PixelReadout second = readout->samplerReadouts().front();
    const QImage darker = shownImage(view());
    QVERIFY2(second.after.L < first.after.L - 1, qPrintable(readoutText(second)));
    QVERIFY2(deltaE76(second.after, engineLab(darker.pixel(red))) < 1.5, qPrintable(readoutText(second)));

    QTest::mouseClick(view()->viewport(), Qt::LeftButton, Qt::AltModifier, on + QPoint(20, 12));
    QVERIFY(readout->samplers().positions().isEmpty());
}

// Without a look the strength map is the colour of no difference
// everywhere; with one, each pixel takes the colour of its ΔE00 as the
// readout gives it (within the map's steps of 1/8).
void ProofingToolsTest::theLookStrengthMapShowsTheDifference()
{
    QImage original, result;
    showOriginalAndResult(original, result);
    action("action_look_strength")->trigger();
    QVERIFY(waitForPreview(window_.get()));
    ReadoutPanel* readout = window_->previewPane()->readoutPanel();
    const QImage map = shownImage(view());
    const auto near = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 12 && std::abs(qGreen(a) - qGreen(b)) <= 12 &&
               std::abs(qBlue(a) - qBlue(b)) <= 12;
    };
    int checked = 0;
    for (int y = 0; y < map.height(); y += 5)
        for (int x = 0; x < map.width(); x += 3) {
            const std::optional<PixelReadout> r = readout->readAt({x, y});
            QVERIFY(r);
            const QRgb shown = map.pixel(x, y);
            bool matches = false;
            for (double d = r->deltaE00 - 0.25; d <= r->deltaE00 + 0.25; d += 0.0625)
                matches = matches || near(shown, 0xFF000000u | differenceColour(d));
            QVERIFY2(matches, qPrintable(QString("(%1, %2): ΔE00 %3 shown as %4").arg(x).arg(y)
                                             .arg(r->deltaE00).arg(shown, 0, 16)));
            ++checked;
        }
    QVERIFY(checked > 100);
    QCOMPARE(settings_->value("proofing/map").toString(), QStringLiteral("strength"));

    action("action_view_original")->trigger();
    QVERIFY(waitForPreview(window_.get()));
    const QImage none = shownImage(view());
    for (int y = 0; y < none.height(); y += 4)
        for (int x = 0; x < none.width(); x += 4) QCOMPARE(none.pixel(x, y), 0xFF000000u | DifferenceScale[0].rgb);
}

QTEST_MAIN(ProofingToolsTest)
#include "proofingtools_qtest.moc"
