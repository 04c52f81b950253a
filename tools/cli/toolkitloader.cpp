// The toolkit's image reader and writer for the command-line program, loaded
// when first needed from the module beside the program (in the build tree)
// or in the program folder (installed).
#include "tools/cli/toolkitimages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

#include <mutex>

using namespace imagefiles;

namespace {

const ToolkitImageFunctions* toolkit(std::string& why)
{
    static std::once_flag once;
    static const ToolkitImageFunctions* functions = nullptr;
    static std::string problem;
    std::call_once(once, [] {
        const QDir here(QCoreApplication::applicationDirPath());
        for (const char* folder : {".", OSL_TOOLKIT_IMAGES_DIR}) {
            const QString path = QDir::cleanPath(here.filePath(QString::fromUtf8(folder) +
                                                               QStringLiteral("/" OSL_TOOLKIT_IMAGES_FILE)));
            if (!QFileInfo::exists(path)) continue;
            void* module = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
            const auto entry = module ? reinterpret_cast<const ToolkitImageFunctions* (*)()>(
                                            ::dlsym(module, OSL_TOOLKIT_IMAGES_ENTRY))
                                      : nullptr;
            if (entry && (functions = entry())) {
                functions->useTemporaryFileList(temporaryFileList());
                return;
            }
            const char* error = ::dlerror();
            problem = error ? error : "it has no entry point";
            return;
        }
        problem = "it is missing";
    });
    if (!functions)
        why = "images other than TIFF, PNG and JPEG are read and written by " OSL_TOOLKIT_IMAGES_FILE
              ", which cannot be loaded: " + problem;
    return functions;
}

}   // namespace

std::unique_ptr<ImageReader> openToolkitImage(const QString& path, std::string& why)
{
    const ToolkitImageFunctions* f = toolkit(why);
    return f ? f->open(path, why) : nullptr;
}

bool toolkitCanWrite(const QString& path, std::string& why)
{
    const ToolkitImageFunctions* f = toolkit(why);
    return f && f->canWrite(path, why);
}

std::unique_ptr<ImageWriter> createToolkitImage(const QString& path, const PixelLayout& layout, std::string& why)
{
    const ToolkitImageFunctions* f = toolkit(why);
    return f ? f->create(path, layout, why) : nullptr;
}
