// Profile files as bytes, for the window's tests: reading and writing them
// whole, and finding a tag's data through the tag table (ICC.1, 7.3).
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtEndian>

inline QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline quint32 be32(const QByteArray& bytes, qsizetype at)
{
    return at + 4 <= bytes.size() ? qFromBigEndian<quint32>(bytes.constData() + at) : 0;
}

// The data of one tag, found through the profile's tag table.
inline QByteArray tagData(const QByteArray& icc, const char* signature)
{
    const quint32 count = be32(icc, 128);
    for (quint32 i = 0; i < count && 132 + 12 * qsizetype(i + 1) <= icc.size(); ++i) {
        const qsizetype entry = 132 + 12 * qsizetype(i);
        if (icc.mid(entry, 4) == signature) return icc.mid(be32(icc, entry + 4), be32(icc, entry + 8));
    }
    return {};
}

// The colour tables of a profile: the 16-bit one and, in version 4, the float one.
inline QByteArray tables(const QByteArray& icc)
{
    return tagData(icc, "A2B0") + tagData(icc, "D2B0");
}
