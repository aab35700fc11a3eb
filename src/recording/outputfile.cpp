// SPDX-License-Identifier: MIT
#include "outputfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::open(const QString &path)
{
    if (path.isEmpty() || path == "-") {
        name = QStringLiteral("standard output");
        fd = STDOUT_FILENO;
        return true;
    }
    name = path;
    targetPath = path;
    const QByteArray target = QFile::encodeName(path);
    struct stat existing { };
    const bool exists = ::stat(target.constData(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        // A device or a pipe cannot be replaced by a rename, and truncating it destroys nothing.
        fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        ownsFd = fd >= 0;
        return ownsFd || fail();
    }
    QByteArray pattern = target + ".part-XXXXXX";
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return fail();
    ownsFd = true;
    temporaryPath = QFile::decodeName(pattern);
    // mkostemp makes the file private; give it the mode the target has, or a new file would get.
    mode_t mode = 0666;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    ::fchmod(fd, mode);
    return true;
}

bool OutputFile::write(const char *data, qint64 size)
{
    if (!error.isEmpty() || fd < 0)
        return false;
    if (bufferLimit <= 0)
        return writeAll(data, size);
    buffer.append(data, int(size));
    return buffer.size() < bufferLimit || flush();
}

bool OutputFile::flush()
{
    if (!error.isEmpty() || fd < 0)
        return false;
    const bool written = writeAll(buffer.constData(), buffer.size());
    buffer.clear();
    return written;
}

bool OutputFile::writeAll(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        data += written;
        size -= written;
    }
    return true;
}

bool OutputFile::commit()
{
    if (!error.isEmpty())
        return false;
    if (!flush())
        return false;
    if (!ownsFd)
        return true;
    // The data must be on disk before the name moves to it, or a crash can leave an empty file
    // where the old one was.
    if (!temporaryPath.isEmpty() && ::fsync(fd) != 0)
        return fail();
    const int closing = fd;
    fd = -1;
    ownsFd = false;
    if (::close(closing) != 0)
        return fail();
    if (temporaryPath.isEmpty())
        return true;
    if (::rename(
            QFile::encodeName(temporaryPath).constData(), QFile::encodeName(targetPath).constData())
        != 0)
        return fail();
    temporaryPath.clear();
    return true;
}

void OutputFile::discard()
{
    if (ownsFd && fd >= 0)
        ::close(fd);
    fd = -1;
    ownsFd = false;
    if (!temporaryPath.isEmpty())
        ::unlink(QFile::encodeName(temporaryPath).constData());
    temporaryPath.clear();
}

bool OutputFile::fail()
{
    if (error.isEmpty())
        error = systemError();
    return false;
}
