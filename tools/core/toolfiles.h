// Writing the files the tools and the command line produce. A file is
// written to a temporary file beside the target and renamed over it only once
// everything was written, so a failure leaves an existing file as it was.
#pragma once

#include "osl.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

// Writes all the bytes to a file opened unbuffered, so that a short write (a
// full disk) is seen here with the file system's reason, not lost in a
// later flush.
bool writeWhole(QFileDevice& file, const QByteArray& bytes);

// The bytes as the whole content of the file; `error` (optional) gets the
// file system's reason on failure.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// The profile serialised in memory, then written as above.
bool saveProfileToFile(IccProfile* profile, const QString& path, QString* error = nullptr);

// The profile serialised in memory; empty on failure.
QByteArray profileBytes(IccProfile* profile);
