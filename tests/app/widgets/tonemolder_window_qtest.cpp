// The main window as a user meets it: zoom keys that leave typing alone, a
// usable and remembered size, tools that say what they wrote, and profiles
// of an earlier session that are gone, in the window and in the tools.
#include "app/core/appinfo.h"
#include "app/widgets/luttab.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/recipecurvepanels.h"
#include "app/widgets/tonemolder.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/widgets/iccprofileselector.h"
#include "tools/widgets/cubegenerator.h"
#include "tools/widgets/outputprofileembedder.h"
#include "window_support.h"
#include "windowtest.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

double viewScale(const QGraphicsViewMap* view)
{
    return view->transform().m11();
}

}   // namespace

class TonemolderWindowTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void zoomKeysLeaveTypingAlone();
    void theWindowFitsASmallScreenAndKeepsItsShape();
    void toolsTellWhichFileTheyWrote_data();
    void toolsTellWhichFileTheyWrote();
    void profilesThatAreGoneAreNamedOnce();
    void toolsNameTheirGoneProfilesOnce_data();
    void toolsNameTheirGoneProfilesOnce();

private:

};

void TonemolderWindowTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
}

void TonemolderWindowTest::init()
{
    freshSettings();
}

void TonemolderWindowTest::cleanup()
{
    closeWindow();
}

// "+" and "-" are characters in every field and zoom only the focused image;
// Ctrl++ and Ctrl+- zoom it from anywhere in the window.
void TonemolderWindowTest::zoomKeysLeaveTypingAlone()
{
    makeWindow();
    window_->show();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(qRgb(50, 90, 140));
    QVERIFY(picture.save(files_.filePath("picture.png")));
    window_->previewPane()->loadImageFile(files_.filePath("picture.png"));
    QVERIFY(waitForPreview(window_.get()));
    auto* view = child<QGraphicsViewMap>("imageViewer");
    double scale = viewScale(view);

    auto* description = child<QLineEdit>("edit_description");
    description->setFocus();
    description->clear();
    QTest::keyClicks(description, "a+b-c");
    QCOMPARE(description->text(), QString("a+b-c"));
    QCOMPARE(viewScale(view), scale);

    auto* parameter = child<ChannelModifier>("chan_1")->findChild<QAbstractSpinBox*>();
    QVERIFY(parameter);
    parameter->setFocus();
    parameter->selectAll();
    QTest::keyClick(parameter, Qt::Key_Minus);
    QVERIFY2(parameter->text().contains('-'), qPrintable(parameter->text()));
    QCOMPARE(viewScale(view), scale);

    QTest::keyClick(description, Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(viewScale(view) > scale);
    QCOMPARE(description->text(), QString("a+b-c"));
    scale = viewScale(view);
    QTest::keyClick(description, Qt::Key_Minus, Qt::ControlModifier);
    QVERIFY(viewScale(view) < scale);

    view->setFocus();
    scale = viewScale(view);
    QTest::keyClick(view->viewport(), Qt::Key_Plus);
    QVERIFY(viewScale(view) > scale);
    scale = viewScale(view);
    QTest::keyClick(view->viewport(), Qt::Key_Minus);
    QVERIFY(viewScale(view) < scale);
}

// At 800 × 480 both sides keep a usable width; size and split come back in
// the next session.
void TonemolderWindowTest::theWindowFitsASmallScreenAndKeepsItsShape()
{
    makeWindow();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    window_->resize(800, 480);
    auto* splitter = child<QSplitter>("splitter");
    splitter->setSizes({10000, 1});   // the user drags the handle all the way
    QTest::qWait(20);
    QCOMPARE(window_->size(), QSize(800, 480));
    for (const char* name : {"generator", "imageViewer", "iccPreviewImage", "edit_description"})
        QVERIFY2(child<QWidget>(name)->width() >= 120, name);
    splitter->setSizes({1, 10000});
    QTest::qWait(20);
    for (const char* name : {"generator", "imageViewer", "iccProfile", "chan_1"})
        QVERIFY2(child<QWidget>(name)->width() >= 120, name);

    window_->resize(1000, 640);
    splitter->setSizes({420, 560});
    QTest::qWait(20);
    const QList<int> sizes = splitter->sizes();
    window_->close();
    window_.reset();

    makeWindow();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QCOMPARE(window_->size(), QSize(1000, 640));
    QCOMPARE(child<QSplitter>("splitter")->sizes(), sizes);
}

void TonemolderWindowTest::toolsTellWhichFileTheyWrote_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("file");
    QTest::newRow("embedder") << "action_Embed_to_output_profile" << "embedded.icc";
    QTest::newRow("cube") << "actionConvert_to_CUBE_file" << "look.cube";
    QTest::newRow("link") << "actionMake_device_link" << "link.icc";
}

void TonemolderWindowTest::toolsTellWhichFileTheyWrote()
{
    QFETCH(QString, action);
    QFETCH(QString, file);
    makeWindow();
    const QString target = files_.filePath(file);
    WindowTest::Answers answers;
    answers.then([](QWidget* tool) {
        tool->findChild<QSpinBox*>("editGridPoints")->setValue(17);
        for (const char* look : {"abstractProfile", "lookProfile"})
            if (auto* selector = tool->findChild<ICCProfileSelector*>(look)) selector->selectByName("*lab");
        if (auto* base = tool->findChild<ICCProfileSelector*>("baseOutputProfile"))
            base->setSelection("/usr/share/color/icc/ghostscript", "default_cmyk.icc");
        const QByteArray tag = QTest::currentDataTag();
        QVERIFY(tool->inherits(tag == "cube" ? "CubeGenerator" : tag == "link" ? "DeviceLinkDialog" : "OutputProfileEmbedder"));
        tool->findChild<QPushButton*>("buttonSave")->click();
    }).file(target);
    answers.run([&] { child<QAction>(action.toLatin1().constData())->trigger(); });
    QVERIFY2(answers.allUsed() && answers.boxes.isEmpty(), qPrintable(answers.boxes.value(0).text));
    QVERIFY(QFileInfo(target).size() > 0);
    QVERIFY2(window_->statusBar()->currentMessage().contains(QDir::toNativeSeparators(target)),
             qPrintable(window_->statusBar()->currentMessage()));
}

// A profile chosen in an earlier session that is gone: one message names
// it, sRGB stands in, the editors are labelled and previews say nothing of
// internal errors.
void TonemolderWindowTest::profilesThatAreGoneAreNamedOnce()
{
    settings_->setValue("proof_dir", files_.path());
    settings_->setValue("proof_prf", "press.icc");   // never there
    settings_->setValue("img_dir", files_.path());
    settings_->setValue("img_prf", "camera.icc");
    BoxSeen box = answeringBoxes([&] {
        makeWindow();
        QTest::qWait(50);
    });
    QCOMPARE(box.count, 1);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY2(box.text.contains(QDir::toNativeSeparators(files_.filePath("press.icc"))), qPrintable(box.text));
    QVERIFY2(box.text.contains(QDir::toNativeSeparators(files_.filePath("camera.icc"))), qPrintable(box.text));
    QVERIFY(box.text.contains("Color space for adjusts:"));

    auto* space = child<ICCProfileSelector>("iccProfile");
    QCOMPARE(space->currentName(), QString("*srgb"));
    QVERIFY(space->entries().size() >= 10);
    QCOMPARE(child<ChannelModifier>("chan_1")->componentName(), QString("R"));
    QCOMPARE(child<ICCProfileSelector>("iccPreviewImage")->currentName(), QString("*srgb"));

    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(qRgb(100, 110, 120));
    QVERIFY(picture.save(files_.filePath("gray.png")));
    box = answeringBoxes([&] {
        window_->previewPane()->loadImageFile(files_.filePath("gray.png"));
        child<QCheckBox>("chkLive")->setChecked(true);
        child<ChannelModifier>("chan_1")->setValue(1.3);
        QVERIFY(waitForPreview(window_.get()));
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QCOMPARE(shownImage(child<QGraphicsViewMap>("imageViewer")).size(), QSize(8, 8));
}

void TonemolderWindowTest::toolsNameTheirGoneProfilesOnce_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QStringList>("selectors");   // object name, settings key stem, prompt; twice
    QTest::addColumn<QStringList>("standIns");
    QTest::newRow("embedder") << "outgen"
                              << QStringList{"baseOutputProfile", "output", "Base Output profile:",
                                             "abstractProfile", "abstract", "Abstract profile:"}
                              << QStringList{"", ""};
    QTest::newRow("cube") << "cubegen"
                          << QStringList{"abstractProfile", "abstract", "Abstract profile:", "RgbWorkSpace", "output",
                                         "Rgb workspace:"}
                          << QStringList{"", "*srgb"};
}

// The tools' stored choices that are gone: one message names both files
// with their places, and the lists stand in as the message says.
void TonemolderWindowTest::toolsNameTheirGoneProfilesOnce()
{
    QFETCH(QString, group);
    QFETCH(QStringList, selectors);
    QFETCH(QStringList, standIns);
    for (int i = 0; i < 2; ++i) {
        settings_->setValue(group + "/" + selectors[3 * i + 1] + "_dir", files_.path());
        settings_->setValue(group + "/" + selectors[3 * i + 1] + "_prf", QString("gone-%1.icc").arg(i));
    }
    std::unique_ptr<QDialog> tool;
    const BoxSeen box = answeringBoxes([&] {
        if (group == "outgen")
            tool = std::make_unique<OutputProfileEmbedder>(settings_.get());
        else
            tool = std::make_unique<CubeGenerator>(settings_.get());
        QTest::qWait(50);
    });
    QCOMPARE(box.count, 1);
    QCOMPARE(box.icon, QMessageBox::Warning);
    for (int i = 0; i < 2; ++i) {
        const QString line =
            selectors[3 * i + 2] + " " + QDir::toNativeSeparators(files_.filePath(QString("gone-%1.icc").arg(i)));
        QVERIFY2(box.text.contains(line), qPrintable(box.text));
        QCOMPARE(tool->findChild<ICCProfileSelector*>(selectors[3 * i])->currentName(), standIns[i]);
    }
    QVERIFY2(box.text.contains(standIns.contains("*srgb") ? "sRGB" : "again"), qPrintable(box.text));
}

QTEST_MAIN(TonemolderWindowTest)
#include "tonemolder_window_qtest.moc"
