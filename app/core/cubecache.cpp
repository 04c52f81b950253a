// The tables of the Import LUT recipe, read through the engine (.cube) or
// the LUT format readers, and cached while the file's bytes stay the same.
#include "app/core/cubecache.h"

#include "app/core/builder.h"
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

// A file's bytes, for files up to the limit only: a device or a pipe (which
// may never end) and a file that grows beyond it give none.
QByteArray fileBytes(const QString& path)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || info.size() > MaxCachedCube || !file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.read(MaxCachedCube + 1);
    return bytes.size() > MaxCachedCube ? QByteArray() : bytes;
}

// The engine's report on a file, kept in the context's string.
void keepFirstReport(EngineContext* ctx, uint32_t, const char* text)
{
    auto* report = static_cast<QString*>(contextUserData(ctx));
    if (report && report->isEmpty() && text) *report = QString::fromUtf8(text);
}

// The table read afresh, with the reason when there is none.
IccProfile* readCubeFileWithReason(const QString& fileName, QString* why)
{
    QString report;
    EngineContext* ctx = createContext(nullptr, &report);
    if (ctx) setContextErrorHandler(ctx, keepFirstReport);
    IccProfile* link = readCubeFileReporting(ctx, QFile::encodeName(fileName).constData());
    if (ctx) deleteContext(ctx);
    if (!link && why) {
        const QFileInfo info(fileName);
        const bool unreachable = !info.exists() || (info.isFile() && !info.isReadable());
        *why = unreachable || report.isEmpty() ? BuilderText::CubeUnreadable + fileName
                                               : BuilderText::NotACube + report;
    }
    return link;
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

IccProfile* readCubeDeviceLink(const QString& fileName, QString* why)
{
    return readLutDeviceLink(fileName, QStringLiteral("cube"), why);
}

QString lutFormatKey(const QString& fileName, const QString& format)
{
    using namespace lutformats;
    std::optional<LutFormat> f = formatFromKey(format.toStdString());
    if (!f) f = formatOfName(fileName.toStdString());
    return QString::fromLatin1(formatKey(f.value_or(LutFormat::Cube)));
}

namespace {

// The file read afresh by its format's reader, with the user's message when
// it cannot be read.
ProfilePtr readLink(const QString& fileName, const QString& key, QString* why)
{
    using namespace lutformats;
    const LutFormat format = formatFromKey(key.toStdString()).value_or(LutFormat::Cube);
    if (format == LutFormat::Cube) return adoptProfile(readCubeFileWithReason(fileName, why));
    const LutRead read = readLutFile(QFile::encodeName(fileName).toStdString(), format);
    ProfilePtr link = adoptProfile(read.ok() ? lutDeviceLink(read.lut) : nullptr);
    if (!link && why) {
        const std::string reason =
            read.ok() ? QFile::encodeName(fileName).toStdString() + ": the table cannot be made a device link" : read.error;
        *why = BuilderText::CubeUnreadable + fileName + QLatin1Char('\n') + QString::fromStdString(reason);
    }
    return link;
}

}   // namespace

IccProfile* readLutDeviceLink(const QString& fileName, const QString& format, QString* why)
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
    ProfilePtr link = readLink(fileName, key, why);
    if (!link) return nullptr;
    const auto* table = static_cast<const Pipeline*>(loadTag(link.get(), sig("A2B0")));
    if (!table || pipelineInputs(table) != 3 || pipelineOutputs(table) != 3) {
        if (why) *why = BuilderText::NotACube + fileName;
        return nullptr;
    }
    // Kept only when the file did not change while it was read.
    if (!before.isEmpty() && fileBytes(path) == before) {
        cache.path = path;
        cache.format = key;
        cache.bytes = before;
        cache.link = adoptProfile(copyCubeLink(link.get()));
    }
    return link.release();
}
