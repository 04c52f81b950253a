// What the main window's tests share: the window with a settings store of its
// own, answering message boxes, reading the
// image a view shows, and waiting for the preview, whose frames come from a
// worker thread through the event loop.
#pragma once

#include "app/core/appinfo.h"
#include "app/widgets/previewscheduler.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/widgets/tonemolder.h"

#include <QApplication>
#include <QGraphicsScene>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

struct BoxSeen {
    bool shown = false;
    int count = 0;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;   // of the last box
};

// Runs `action`, answering every message box it brings up with OK.
inline BoxSeen answeringBoxes(const std::function<void()>& action)
{
    BoxSeen seen;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen = {true, seen.count + 1, box->icon(), box->windowTitle(), box->text()};
            box->done(QMessageBox::Ok);
        }
    });
    watch.start();
    action();
    watch.stop();
    return seen;
}

// The image an image view shows, as it shows it.
inline QImage shownImage(const QGraphicsViewMap* view)
{
    if (!view->imageScene()) return {};
    for (QGraphicsItem* item : view->imageScene()->items())
        if (auto* image = dynamic_cast<ImageItem*>(item)) return image->pixmap().toImage();
    return {};
}

// The largest difference of one channel between two images of one size.
inline int largestDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size()) return 256;
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q))});
        }
    }
    return worst;
}

inline PreviewScheduler* previewSchedulerOf(const QWidget* window)
{
    return window->findChild<PreviewScheduler*>(QStringLiteral("previewScheduler"));
}

// Runs the event loop until the preview has shown the latest request at full
// resolution (at once for a window that previews as it is asked); false when
// it has not within the time.
inline bool waitForPreview(const QWidget* window, int timeoutMs = 20000)
{
    PreviewScheduler* scheduler = previewSchedulerOf(window);
    return !scheduler || QTest::qWaitFor([scheduler] { return !scheduler->isBusy(); }, timeoutMs);
}

// The state of a test class of the main window: a settings store apart from
// the user's, a folder for the files a test writes, and the window.
class WindowFixture {
protected:
    // Once per test class, after the resources are loaded.
    void useOwnSettings()
    {
        QVERIFY(configDir_.isValid());
        QVERIFY(files_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir_.path());
        QCoreApplication::setOrganizationName(AppInfo::OrganizationName);
        QCoreApplication::setApplicationName(AppInfo::ApplicationName);
    }
    // Empty settings, but the preview shown in sRGB whatever display the tests run on.
    void freshSettings()
    {
        settings_ = std::make_unique<QSettings>();
        settings_->clear();
        settings_->setValue("monitor_sRGB", true);
    }
    void makeWindow() { window_ = std::make_unique<Tonemolder>(settings_.get()); }
    void closeWindow()
    {
        window_.reset();
        settings_.reset();
    }
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
