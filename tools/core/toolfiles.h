// Writing the files the tools and the command line produce. A file is
// written to a temporary file beside the target and renamed over it only once
// everything was written, so a failure leaves an existing file as it was; a
// replaced file passes on its permissions and, where the process may set
// them, its owner and group.
#pragma once

#include "osl.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <functional>

// Writes all the bytes to a file opened unbuffered, so that a short write (a
// full disk) is seen here with the file system's reason, not lost in a
// later flush.
bool writeWhole(QFileDevice& file, const QByteArray& bytes);

// A file written by `write` into the temporary file, which it gets opened
// for writing; the target gets the file when `write` succeeded and
// everything reached the disk. Without `overwrite` an existing target is
// never replaced (checked at the moment of the rename). `error` (optional)
// gets the reason on failure.
bool writeFileThrough(const QString& path, const std::function<bool(QFileDevice&)>& write, bool overwrite = true,
                      QString* error = nullptr);

// The bytes as the whole content of the file.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error = nullptr, bool overwrite = true);

// The profile serialised in memory, then written as above.
bool saveProfileToFile(IccProfile* profile, const QString& path, QString* error = nullptr, bool overwrite = true);

// The profile serialised in memory; empty on failure.
QByteArray profileBytes(IccProfile* profile);
