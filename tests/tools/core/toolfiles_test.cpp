// Files the tools write: all of them or nothing, whatever stops the writing.
#include "tools/core/toolfiles.h"

#include "tests/failing_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(ToolFiles, AFailedWriteLeavesTheOldFileAndNoTemporaryOne)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath("out.icc");
    ASSERT_TRUE(writeFileAtomically(target, "before"));

    // Larger than the limit, smaller than a file's write buffer: the
    // failure shows only when the buffer is written out.
    const QByteArray big(8 * 1024, 'x');
    QString error;
    bool written = true;
    {
        const FileSizeLimit full(4096);
        written = writeFileAtomically(target, big, &error);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error.toStdString(), "File too large");

    // A folder that cannot be written.
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    {
        const WithoutDacOverride asAUser;
        written = writeFileAtomically(target, big, &error);
    }
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_FALSE(written);
    EXPECT_FALSE(error.isEmpty());

    EXPECT_EQ(readFile(target), QByteArray("before"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"out.icc"});

    ASSERT_TRUE(writeFileAtomically(target, big));
    EXPECT_EQ(readFile(target), big);
}

}   // namespace
