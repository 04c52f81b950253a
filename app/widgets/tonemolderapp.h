// The application object: names, settings store, appearance, splash and the
// main window.
#pragma once

#include <QApplication>

#include <memory>

class QSettings;
class QSplashScreen;
class Tonemolder;

// The application style sheet for the given settings: the dark theme from the
// resources, or nothing when the plain system appearance ("gui/undecorated") is chosen.
QString applicationStyleSheet(const QSettings& settings);

class TonemolderApp : public QApplication {
    Q_OBJECT

public:
    TonemolderApp(int& argc, char** argv);
    ~TonemolderApp() override;

    QSettings* settings() const;
    Tonemolder* mainWindow() const;
    QSplashScreen* splash() const;   // null once it has been closed

    // How long the splash stays after the main window is shown.
    static constexpr int SplashMs = 1500;

private slots:
    void doneSplash();

private:
    QSettings* settings_ = nullptr;   // parented to the application
    std::unique_ptr<QSplashScreen> splash_;
    std::unique_ptr<Tonemolder> mainWindow_;
};
