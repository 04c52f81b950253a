#include "tools/core/toolfiles.h"

#include <QSaveFile>

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

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && writeWhole(file, bytes) && file.commit();
    if (!ok && error) *error = file.errorString();
    return ok;
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

bool saveProfileToFile(IccProfile* profile, const QString& path, QString* error)
{
    const QByteArray bytes = profileBytes(profile);
    if (bytes.isEmpty()) {
        if (error) error->clear();
        return false;
    }
    return writeFileAtomically(path, bytes, error);
}
