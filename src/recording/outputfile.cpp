// SPDX-License-Identifier: MIT
#include "outputfile.h"

#include "stopsignals.h"

#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

// The rename itself is on the disk only once the folder is: without it a power cut can bring back
// the old file, or none. Best effort: some file systems cannot sync a folder, and the file is
// named by now whatever this says.
void syncFolderOf(const QString &path)
{
#ifndef Q_OS_WIN
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    ::fsync(folder);
    ::close(folder);
#else
    Q_UNUSED(path)
#endif
}

// A path through which a program reaches one of its own descriptors (/dev/stdout, /dev/fd/3): it
// is written where it leads, as a shell's redirection asked, never replaced by a rename.
bool namesADescriptor(const QString &path)
{
    return path == QLatin1String("/dev/stdout") || path == QLatin1String("/dev/stderr")
        || path.startsWith(QLatin1String("/dev/fd/"))
        || path.startsWith(QLatin1String("/proc/self/fd/"));
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

// What `path` is when it exists and is no regular file ("a FIFO", "a device", "a folder"), links
// followed; empty for a regular file or nothing yet.
QString nonRegularKind(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return QString();
    return info.isDir() ? QStringLiteral("a folder") : QStringLiteral("a device");
#else
    struct stat status { };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return QString();
    if (S_ISFIFO(status.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("a folder");
    if (S_ISSOCK(status.st_mode))
        return QStringLiteral("a socket");
    return QStringLiteral("a device");
#endif
}

} // namespace

bool OutputFile::openInPlace(const QString &path, QIODevice::OpenMode mode)
{
#ifdef Q_OS_WIN
    file->setFileName(path);
    return file->open(mode) || fail(file->errorString());
#else
    // Opened without waiting: a FIFO nobody reads would block the open until a reader came, with
    // the window unpainted and a stop signal unheard, and a terminal line may wait for its
    // carrier. Writes wait as usual once it is open.
    const int descriptor
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno == ENXIO && nonRegularKind(path) == QLatin1String("a FIFO"))
            return fail(QStringLiteral("no program reads this FIFO yet; start its reader first"));
        if (errno == EISDIR)
            return fail(QStringLiteral("is a folder"));
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(descriptor, mode, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return fail(file->errorString());
    }
    return true;
#endif
}

// Hands what was written to the disk at a steady pace, on a thread of its own: a slow disk (a USB
// stick can take seconds) holds up neither the thread that writes nor the window. fdatasync()
// beside writes on another thread is safe; the descriptor outlives this object.
class OutputFile::DiskSync {
public:
    DiskSync(int descriptor, std::chrono::milliseconds every)
        : descriptor(descriptor)
        , every(every)
        , thread(StopSignals::startThreadWithoutSignals([this] { run(); }))
    {
    }
    ~DiskSync()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    int64_t syncs() const { return done.load(); }

private:
    void run()
    {
#ifndef Q_OS_WIN
        struct stat last { };
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(lock, every, [this] { return stopping; })) {
            // Nothing new since the last round (a quiet line): no call that may wait on the disk.
            struct stat now { };
            if (::fstat(descriptor, &now) != 0
                || (now.st_size == last.st_size && now.st_mtim.tv_sec == last.st_mtim.tv_sec
                    && now.st_mtim.tv_nsec == last.st_mtim.tv_nsec))
                continue;
            last = now;
            lock.unlock();
#ifdef Q_OS_MACOS
            ::fsync(descriptor);
#else
            ::fdatasync(descriptor);
#endif
            done.fetch_add(1);
            lock.lock();
        }
#endif
    }

    const int descriptor;
    const std::chrono::milliseconds every;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<int64_t> done{0};
    std::thread thread; // last: starts once the rest is made
};

OutputFile::OutputFile() = default;

OutputFile::~OutputFile()
{
    discard();
}

void OutputFile::syncToDiskEvery(std::chrono::milliseconds every)
{
    diskSync.reset();
    if (!temporaryPath.isEmpty() && file && file->isOpen())
        diskSync = std::make_unique<DiskSync>(file->handle(), every);
}

int64_t OutputFile::diskSyncs() const
{
    return diskSync ? diskSync->syncs() : 0;
}

bool OutputFile::open(const QString &path, Accept accept)
{
    file = std::make_unique<QFile>();
    // Unbuffered: a write error shows at the write that caused it, not at some later flush.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (accept != Accept::RegularFileOnly && (path.isEmpty() || path == "-")) {
        name = QStringLiteral("standard output");
        if (accept == Accept::SeekableFile)
            return fail(QStringLiteral(
                "an h5 file needs a regular file (HDF5 seeks), not standard output"));
        std::fflush(stdout);
        return file->open(fileno(stdout), mode, QFileDevice::DontCloseHandle)
            || fail(file->errorString());
    }
    name = path;
    // What the path names once every link is followed: /dev/stdout is a link to the descriptor,
    // and through it to a pipe or a terminal, which no file name of its own would show.
    const QString kind = nonRegularKind(path);
    if (!kind.isEmpty() || (accept == Accept::AnyFile && namesADescriptor(path))) {
        if (accept == Accept::SeekableFile)
            return fail(
                QStringLiteral("an h5 file needs a regular file (HDF5 seeks), not %1").arg(kind));
        if (accept != Accept::AnyFile)
            return fail(QStringLiteral("not a regular file (%1)").arg(kind));
        // A device or a pipe cannot be replaced by a rename, and writing to it destroys nothing.
        return openInPlace(path, mode);
    }
    targetPath = linkedFile(path);
    const QFileInfo existing(targetPath);
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
    diskSync.reset();
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
    diskSync.reset();
    if (!syncToDisk(*file))
        return fail(file->errorString());
    file->close();
    if (!replaceFile(temporaryPath, targetPath))
        return fail(QStringLiteral("cannot give %1 its name").arg(temporaryPath));
    syncFolderOf(targetPath);
    temporaryPath.clear();
    return true;
}

void OutputFile::discard()
{
    const QString reason = error;
    runFinisher();
    error = reason;
    diskSync.reset();
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
