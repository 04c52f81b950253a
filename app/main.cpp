// Start-up: resources, the engine's worker scheduler, the application and its
// event loop; at exit the engine's plug-ins are reset.
#include "app/widgets/tonemolderapp.h"
#include "app/core/workerscheduler.h"

#include <osl.h>

#include <QTimer>

namespace {

// For automated runs: TONEMOLDER_QUIT_AFTER_MS closes every window after that
// many milliseconds, which ends the program as the user closing it would.
void scheduleQuitFromEnvironment(QApplication& app)
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("TONEMOLDER_QUIT_AFTER_MS", &ok);
    if (ok && ms >= 0) QTimer::singleShot(ms, &app, &QApplication::closeAllWindows);
}

} // namespace

int main(int argc, char* argv[])
{
    Q_INIT_RESOURCE(tonemolder);
    registerPlugins(nullptr, processorWideScheduler());

    int code = 0;
    {
        TonemolderApp app(argc, argv);
        scheduleQuitFromEnvironment(app);
        code = app.exec();
    }

    unregisterPlugins(nullptr);
    Q_CLEANUP_RESOURCE(tonemolder);
    return code;
}
