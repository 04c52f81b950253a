// The main window as a user meets it: zoom keys that leave typing alone, a
// usable and remembered size, tools that say what they wrote, and profiles
// of an earlier session that are gone.
#include "app/appinfo.h"
#include "app/tonemolder.h"
#include "curves/channelmodifier.h"
#include "profiles/iccprofileselector.h"
#include "windowtest.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
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

// Answers the modal windows a tool brings up: its own dialog (`prepare`
// gets it, then its Save button is pressed), the save question (with
// `target`), and any message box (whose text is kept).
class ToolDriver : public QObject {
public:
    ToolDriver(const char* dialogClass, QString target, std::function<void(QDialog*)> prepare)
        : class_(dialogClass), target_(std::move(target)), prepare_(std::move(prepare))
    {
        clock_.start();
        connect(&timer_, &QTimer::timeout, this, &ToolDriver::poll);
        timer_.start(20);
    }

    QString message;

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            message = box->text();
            box->done(QMessageBox::Ok);
        } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            files->selectFile(target_);
            static_cast<QDialog*>(files)->done(QDialog::Accepted);
        } else if (modal->inherits(class_) && (lastClick_ < 0 || clock_.elapsed() - lastClick_ > 500)) {
            // The tool again, prepared once: Save (again, should the file
            // dialog have come back without a name).
            if (!prepared_.contains(modal)) {
                prepared_.append(modal);
                prepare_(qobject_cast<QDialog*>(modal));
            }
            lastClick_ = clock_.elapsed();
            QMetaObject::invokeMethod(modal->findChild<QPushButton*>("buttonSave"), "click", Qt::QueuedConnection);
        }
    }

    const char* class_;
    QString target_;
    std::function<void(QDialog*)> prepare_;
    QList<QPointer<QWidget>> prepared_;
    QElapsedTimer clock_;
    qint64 lastClick_ = -1;
    QTimer timer_;
};

}   // namespace

class TonemolderWindowTest : public QObject {
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

private:
    void makeWindow();
    template <class T> T* child(const char* name) const
    {
        T* w = window_->findChild<T*>(QString::fromLatin1(name));
        if (!w) qWarning("no child %s", name);
        return w;
    }

    QTemporaryDir configDir_;
    QTemporaryDir files_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<Tonemolder> window_;
};

void TonemolderWindowTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    QVERIFY(configDir_.isValid());
    QVERIFY(files_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir_.path());
    QCoreApplication::setOrganizationName(AppInfo::OrganizationName);
    QCoreApplication::setApplicationName(AppInfo::ApplicationName);
}

void TonemolderWindowTest::init()
{
    settings_ = std::make_unique<QSettings>();
    settings_->clear();
    settings_->setValue("monitor_sRGB", true);
}

void TonemolderWindowTest::makeWindow()
{
    window_ = std::make_unique<Tonemolder>(settings_.get());
}

void TonemolderWindowTest::cleanup()
{
    window_.reset();
    settings_.reset();
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
    window_->loadImageFile(files_.filePath("picture.png"));
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
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("file");
    QTest::newRow("embedder") << "action_Embed_to_output_profile" << "OutputProfileEmbedder" << "embedded.icc";
    QTest::newRow("cube") << "actionConvert_to_CUBE_file" << "CubeGenerator" << "look.cube";
}

void TonemolderWindowTest::toolsTellWhichFileTheyWrote()
{
    QFETCH(QString, action);
    QFETCH(QString, dialog);
    QFETCH(QString, file);
    makeWindow();
    const QString target = files_.filePath(file);
    const QByteArray dialogClass = dialog.toLatin1();
    ToolDriver driver(dialogClass.constData(), target, [](QDialog* d) {
        d->findChild<QSpinBox*>("editGridPoints")->setValue(17);
        d->findChild<ICCProfileSelector*>("abstractProfile")->selectByName("*lab");
        if (auto* base = d->findChild<ICCProfileSelector*>("baseOutputProfile"))
            base->setSelection("/usr/share/color/icc/ghostscript", "default_cmyk.icc");
    });
    child<QAction>(action.toLatin1().constData())->trigger();
    QVERIFY2(driver.message.isEmpty(), qPrintable(driver.message));
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
        window_->loadImageFile(files_.filePath("gray.png"));
        child<QCheckBox>("chkLive")->setChecked(true);
        child<ChannelModifier>("chan_1")->setValue(1.3);
        QVERIFY(waitForPreview(window_.get()));
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QCOMPARE(shownImage(child<QGraphicsViewMap>("imageViewer")).size(), QSize(8, 8));
}

QTEST_MAIN(TonemolderWindowTest)
#include "tonemolder_window_qtest.moc"
