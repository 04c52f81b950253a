// The tools' files, through the image files' pending files: a temporary file
// beside the target, listed for the command line's signal handler, renamed
// when complete.
#include "tools/core/toolfiles.h"

#include "tools/imagefiles/imagefile.h"

#include <QFile>

bool writeWhole(QFileDevice& file, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) return false;
        done += qsizetype(written);
    }
    return true;
}

bool writeFileThrough(const QString& path, const std::function<bool(QFileDevice&)>& write, bool overwrite,
                      QString* error)
{
    imagefiles::PendingFile pending(QFile::encodeName(path).toStdString());
    const auto failed = [error, &pending](const QString& why) {
        if (error) *error = QString::fromStdString(pending.failure(why.toStdString()));
        return false;
    };
    if (!pending.ok()) return failed(QString::fromStdString(pending.error()));
    // Unbuffered: a short write (a full disk) is seen at once, with the file
    // system's reason. Writers hand over large blocks.
    QFile file(QFile::decodeName(QByteArray::fromStdString(pending.tempPath())));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return failed(file.errorString());
    const bool written = write(file);
    const QString why = file.errorString();
    file.close();
    if (!written) return failed(why);
    if (!pending.commit(overwrite)) return failed(QString::fromStdString(pending.error()));
    return true;
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error, bool overwrite)
{
    return writeFileThrough(path, [&bytes](QFileDevice& file) { return writeWhole(file, bytes); }, overwrite, error);
}

QByteArray profileBytes(IccProfile* profile)
{
    uint32_t size = 0;
    if (!profile || !saveToMemory(profile, nullptr, &size) || size == 0) return {};
    QByteArray bytes(qsizetype(size), '\0');
    if (!saveToMemory(profile, bytes.data(), &size)) return {};
    bytes.truncate(qsizetype(size));
    return bytes;
}

bool saveProfileToFile(IccProfile* profile, const QString& path, QString* error, bool overwrite)
{
    const QByteArray bytes = profileBytes(profile);
    if (bytes.isEmpty()) {
        if (error) error->clear();
        return false;
    }
    return writeFileAtomically(path, bytes, error, overwrite);
}
