// SPDX-License-Identifier: MIT
#include "outputfile.h"

#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// The file's data on the disk before its name moves to it, or a crash can leave an empty file
// where the old one was.
bool syncToDisk(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return ::_commit(file.handle()) == 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

// Replaces `target` by `source` in one step where the system offers one.
bool replaceFile(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    return ::MoveFileExW(reinterpret_cast<const wchar_t *>(source.utf16()),
               reinterpret_cast<const wchar_t *>(target.utf16()),
               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
#else
    return ::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData())
        == 0;
#endif
}

// The file a path names once symbolic links are followed, so that the rename replaces that file and
// the link keeps pointing at it. A link to nothing yet names the file it will point to.
QString linkedFile(const QString &path)
{
    QString followed = path;
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(followed);
        if (!info.isSymLink())
            return followed;
        if (info.exists())
            return info.canonicalFilePath();
        const QString next = info.symLinkTarget();
        if (next.isEmpty())
            return followed;
        followed = next;
    }
    return followed; // a loop: the open fails with the system's reason
}

} // namespace

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::open(const QString &path, Accept accept)
{
    file = std::make_unique<QFile>();
    // Unbuffered: a write error shows at the write that caused it, not at some later flush.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (accept == Accept::AnyFile && (path.isEmpty() || path == "-")) {
        name = QStringLiteral("standard output");
        std::fflush(stdout);
        return file->open(fileno(stdout), mode, QFileDevice::DontCloseHandle)
            || fail(file->errorString());
    }
    name = path;
    targetPath = linkedFile(path);
    const QFileInfo existing(targetPath);
    if (existing.exists() && !existing.isFile()) {
        if (accept == Accept::RegularFileOnly)
            return fail(QStringLiteral("not a regular file"));
        // A device or a pipe cannot be replaced by a rename, and writing to it destroys nothing.
        file->setFileName(path);
        return file->open(mode) || fail(file->errorString());
    }
    // The temporary lies beside the file it replaces, on the same file system as the rename needs.
    QTemporaryFile temporary(targetPath + ".part-XXXXXX");
    temporary.setAutoRemove(false);
    if (!temporary.open())
        return fail(temporary.errorString());
    temporaryPath = temporary.fileName();
    temporary.close();
    // A temporary file is private; give it the mode the target has, or a new file would get.
    file->setFileName(temporaryPath);
    file->setPermissions(existing.exists() ? existing.permissions()
                                           : QFileDevice::ReadOwner | QFileDevice::WriteOwner
                | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return file->open(mode) || fail(file->errorString());
}

bool OutputFile::write(const char *data, qint64 size)
{
    if (!error.isEmpty() || !file || !file->isOpen())
        return false;
    if (bufferLimit <= 0)
        return writeAll(data, size);
    buffer.append(data, int(size));
    return buffer.size() < bufferLimit || flush();
}

bool OutputFile::flush()
{
    if (!error.isEmpty() || !file || !file->isOpen())
        return false;
    const bool written = writeAll(buffer.constData(), buffer.size());
    buffer.clear();
    return written;
}

bool OutputFile::writeAll(const char *data, qint64 size)
{
    // QFile resumes a write that a signal interrupted; a short write is continued here.
    const qint64 total = size;
    while (size > 0) {
        const qint64 written = file->write(data, size);
        if (written <= 0) {
            countUnits();
            return fail(file->errorString());
        }
        data += written;
        size -= written;
        reachedBytes += written;
    }
    wholeBytes += total;
    countUnits();
    return true;
}

void OutputFile::endUnit()
{
    if (!error.isEmpty())
        return;
    unitEnds.push_back(reachedBytes + buffer.size());
    countUnits();
}

void OutputFile::countUnits()
{
    while (!unitEnds.empty() && unitEnds.front() <= reachedBytes) {
        lastUnitEnd = unitEnds.front();
        unitEnds.pop_front();
        ++unitsDone;
    }
}

bool OutputFile::commit()
{
    if (!error.isEmpty() || !flush() || !runFinisher())
        return false;
    return makeDurableAndRename();
}

bool OutputFile::runFinisher()
{
    if (!finisher)
        return true;
    const auto finish = std::move(finisher);
    finisher = nullptr;
    QString reason;
    return finish(&reason) || fail(reason);
}

bool OutputFile::commitWhatWasWritten()
{
    if (!file || !file->isOpen())
        return false;
    if (error.isEmpty())
        return commit();
    buffer.clear();
    if (temporaryPath.isEmpty()) {
        file->close(); // a device or a pipe keeps what it took
        return true;
    }
    // The failed write may have left part of its bytes; the file ends on the last whole one.
    error.clear();
    if (!file->resize(std::max(wholeBytes, lastUnitEnd)))
        return fail(file->errorString());
    return makeDurableAndRename();
}

bool OutputFile::makeDurableAndRename()
{
    if (temporaryPath.isEmpty()) {
        // Standard output, a device or a pipe: hand over what is buffered and leave it open.
        const bool flushed = file->flush();
        file->close();
        return flushed || fail(file->errorString());
    }
    if (!syncToDisk(*file))
        return fail(file->errorString());
    file->close();
    if (!replaceFile(temporaryPath, targetPath))
        return fail(QStringLiteral("cannot give %1 its name").arg(temporaryPath));
    temporaryPath.clear();
    return true;
}

void OutputFile::discard()
{
    const QString reason = error;
    runFinisher();
    error = reason;
    if (file && file->isOpen())
        file->close();
    if (!temporaryPath.isEmpty())
        QFile::remove(temporaryPath);
    temporaryPath.clear();
}

bool OutputFile::fail(const QString &reason)
{
    if (error.isEmpty())
        error = reason;
    return false;
}

QString OutputFile::untouched(const QString &path)
{
    return QFileInfo(path).isFile() ? QStringLiteral("%1 left as it was").arg(path)
                                    : QStringLiteral("no %1 was made").arg(path);
}
