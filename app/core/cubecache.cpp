// The tables of the Import LUT recipe, read through the engine (.cube) or
// the LUT format readers, and cached while the file's bytes stay the same.
#include "app/core/cubecache.h"

#include "app/core/lutformats/cubeformat.h"
#include "app/core/lutformats/lutfile.h"

#include "profiles/core/builtinspaces.h"

#include <QFile>
#include <QFileInfo>

#include <mutex>

namespace {

// The last table read, kept while the file's bytes stay the same: a live
// preview rebuilds the profile on every change, and parsing a 33-point table
// as text costs more than sampling the whole abstract profile.
struct CubeCache {
    std::mutex lock;
    QString path;
    QString format;
    QByteArray bytes;
    ProfilePtr link{nullptr, &closeProfile};
};

CubeCache& cubeCache()
{
    // The engine's global context first, so that it outlives the cached
    // profile, which is closed at exit.
    static const bool engineFirst = (contextUserData(nullptr), true);
    static CubeCache cache;
    (void)engineFirst;
    return cache;
}

// Files larger than this are read every time rather than kept twice.
constexpr qint64 MaxCachedCube = qint64(64) << 20;

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxCachedCube) return {};
    return file.readAll();
}

// A profile of its own for each caller, holding a copy of the table.
IccProfile* copyCubeLink(IccProfile* link)
{
    ProfilePtr copy = adoptProfile(createBlankProfile(nullptr));
    if (!copy) return nullptr;
    setProfileVersion(copy.get(), profileVersion(link));
    setProfileDeviceClass(copy.get(), profileDeviceClass(link));
    setProfileColorSpace(copy.get(), profileColorSpace(link));
    setProfilePcs(copy.get(), profilePcs(link));
    setProfileRenderingIntent(copy.get(), profileRenderingIntent(link));
    for (const uint32_t tag : {sig("desc"), sig("A2B0")}) {
        const void* object = loadTag(link, tag);
        if (!object || !storeTag(copy.get(), tag, object)) return nullptr;
    }
    return copy.release();
}

}   // namespace

IccProfile* readCubeDeviceLink(const QString& fileName)
{
    return readLutDeviceLink(fileName, QStringLiteral("cube"));
}

QString lutFormatKey(const QString& fileName, const QString& format)
{
    using namespace lutformats;
    std::optional<LutFormat> f = formatFromKey(format.toStdString());
    if (!f) f = formatOfName(fileName.toStdString());
    return QString::fromLatin1(formatKey(f.value_or(LutFormat::Cube)));
}

namespace {

// The file read afresh by its format's reader.
ProfilePtr readLink(const QString& fileName, const QString& key, QString* error)
{
    using namespace lutformats;
    const LutFormat format = formatFromKey(key.toStdString()).value_or(LutFormat::Cube);
    const std::string path = QFile::encodeName(fileName).toStdString();
    std::string why;
    ProfilePtr link = adoptProfile(nullptr);
    if (format == LutFormat::Cube) {
        link = adoptProfile(readCubeLink(path, why));
    } else {
        const LutRead read = readLutFile(path, format);
        why = read.error;
        if (read.ok()) link = adoptProfile(lutDeviceLink(read.lut));
        if (read.ok() && !link) why = path + ": the table cannot be made a device link";
    }
    if (!link && error) *error = QString::fromStdString(why);
    return link;
}

}   // namespace

IccProfile* readLutDeviceLink(const QString& fileName, const QString& format, QString* error)
{
    if (fileName.isEmpty()) return nullptr;
    const QString path = QFileInfo(fileName).absoluteFilePath();
    const QString key = lutFormatKey(fileName, format);
    const QByteArray before = fileBytes(path);

    CubeCache& cache = cubeCache();
    const std::lock_guard<std::mutex> hold(cache.lock);
    if (cache.link && !before.isEmpty() && cache.path == path && cache.format == key && cache.bytes == before)
        return copyCubeLink(cache.link.get());

    cache.link.reset();
    cache.bytes.clear();
    ProfilePtr link = readLink(fileName, key, error);
    if (!link) return nullptr;
    const auto* table = static_cast<const Pipeline*>(loadTag(link.get(), sig("A2B0")));
    if (!table || pipelineInputs(table) != 3 || pipelineOutputs(table) != 3) return nullptr;
    // Kept only when the file did not change while it was read.
    if (!before.isEmpty() && fileBytes(path) == before) {
        cache.path = path;
        cache.format = key;
        cache.bytes = before;
        cache.link = adoptProfile(copyCubeLink(link.get()));
    }
    return link.release();
}
