// SPDX-License-Identifier: MIT
#include "hdf5check.h"

#include "hdf5common.h"
#include "hdf5reader.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <vector>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

// What the checker reports, 16 bytes at a time (one write each, whole on a pipe): a kind and a
// number of frames, or for Refused the length of the reason (UTF-8) that follows.
enum Report : int64_t { StructureRead, TimesRead, FramesRead, Refused };
// A reason longer than this is no reason of ours.
constexpr int64_t kMaxReasonBytes = 4096;
// Rows of times and counts the checker reads at a time.
constexpr int64_t kTimesPerStep = 4096;
// A checker that reports nothing for this long is taken for hanging in a damaged file; a report
// comes at least every 256 frames, a few milliseconds apart.
constexpr qint64 kPatienceMs = 30000;
// The session's attributes, read by the checker too.
const char *const kAttributes[]
    = {"program", "start_time_utc", "source", "line_settings", "host", "note", "radar_profile"};
constexpr char kCheckerName[] = "vazorez-h5check";

#ifdef Q_OS_UNIX
// The folder of the running program's file, as the system knows it: no QCoreApplication needed.
QString programFolder()
{
#ifdef Q_OS_LINUX
    char target[4096];
    const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target - 1);
    if (length > 0)
        return QFileInfo(QFile::decodeName(QByteArray(target, int(length)))).absolutePath();
#endif
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

// Moves a descriptor of the pipe above the standard three, where the checker's standard input and
// output are made: a program whose standard streams are closed gets the lowest numbers for a pipe.
bool aboveStandardStreams(int *descriptor)
{
    if (*descriptor > STDERR_FILENO)
        return true;
    const int moved = ::fcntl(*descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(*descriptor);
    *descriptor = moved;
    return moved >= 0;
}
#endif

} // namespace

QString Hdf5CheckProcess::checkerPath(QString *looked)
{
    QStringList places;
#ifdef Q_OS_UNIX
    const QString folder = programFolder();
    if (!folder.isEmpty()) {
        places << folder + QLatin1Char('/') + QLatin1String(kCheckerName);
        // A package unpacked elsewhere than /usr keeps its layout.
        places << QFileInfo(folder + QStringLiteral("/../" VAZOREZ_LIBEXEC_SUBDIR "/")
            + QLatin1String(kCheckerName))
                      .absoluteFilePath();
    }
    places << QStringLiteral(VAZOREZ_LIBEXEC_DIR "/") + QLatin1String(kCheckerName);
#endif
    places.removeDuplicates();
    if (looked)
        *looked = places.join(QStringLiteral(", "));
    for (const QString &place : places) {
        const QFileInfo checker(place);
        if (checker.isFile() && checker.isExecutable())
            return place;
    }
    return QString();
}

Hdf5CheckProcess::~Hdf5CheckProcess()
{
    end(false);
}

bool Hdf5CheckProcess::start(const QString &path, QString *error)
{
#ifdef Q_OS_UNIX
    end(false);
    QString looked;
    const QString checker = checkerPath(&looked);
    if (checker.isEmpty()) {
        *error = QStringLiteral("cannot check %1: the program %2 that reads HDF5 files for us is "
                                "missing (looked for it as %3)")
                     .arg(path, QLatin1String(kCheckerName), looked);
        return false;
    }
    const auto cannotStart = [&](int code) {
        *error = QStringLiteral("cannot check %1: %2 cannot be started (%3)")
                     .arg(path, checker, QString::fromLocal8Bit(std::strerror(code)));
        return false;
    };
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return cannotStart(errno);
    if (!aboveStandardStreams(&ends[0]) || !aboveStandardStreams(&ends[1])) {
        const int code = errno;
        for (const int end : ends) {
            if (end >= 0)
                ::close(end);
        }
        return cannotStart(code);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The pipe's writing end as its standard output (dup2 clears its close-on-exec), nothing to
    // read, standard error shared for what a sanitizer or the system says; nothing else of ours.
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t every;
    sigemptyset(&none);
    sigfillset(&every);
    // Signals this program blocks, ignores or handles (its stop signals through a self-pipe) are
    // the checker's to take by default. In a process group of its own, it is not sent the
    // terminal's Ctrl-C: this program stops as it chooses, and ends the checker with the reader;
    // a checker ended by the user's key would have the file called damaged.
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &every);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    QByteArray program = QFile::encodeName(checker);
    QByteArray separator("--");
    QByteArray file = QFile::encodeName(path);
    char *arguments[] = {program.data(), separator.data(), file.data(), nullptr};
    pid_t child = -1;
    const int spawned
        = ::posix_spawn(&child, program.constData(), &actions, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (spawned != 0) {
        ::close(ends[0]);
        return cannotStart(spawned);
    }
    pid = child;
    reports = ends[0];
    partialReport.clear();
    reason.clear();
    indexChecked = wholeChecked = 0;
    structureSeen = false;
    finished = false;
    failedAt = false;
    sinceReport.start();
    return true;
#else
    Q_UNUSED(path)
    Q_UNUSED(error)
    return true; // read in this process
#endif
}

bool Hdf5CheckProcess::waitForStructure()
{
    while (!finished && !structureSeen && reason.isEmpty())
        takeReports(1000);
    return structureSeen || !reason.isEmpty() || !failedAt;
}

void Hdf5CheckProcess::takeReports(int waitMs)
{
#ifdef Q_OS_UNIX
    if (finished)
        return;
    pollfd ready{reports, POLLIN, 0};
    const int polled = ::poll(&ready, 1, waitMs);
    if (polled > 0) {
        char buffer[4096];
        const ssize_t got = ::read(reports, buffer, sizeof buffer);
        if (got == 0) {
            // The checker is gone: done, or ended by the library's fault (a signal, or a
            // sanitizer's report and exit).
            int status = 0;
            while (::waitpid(pid_t(pid), &status, 0) < 0 && errno == EINTR) { }
            pid = -1;
            end(!WIFEXITED(status) || WEXITSTATUS(status) != 0);
            return;
        }
        if (got > 0) {
            partialReport.append(buffer, int(got));
            int used = 0;
            while (partialReport.size() - used >= 16) {
                int64_t message[2];
                std::memcpy(message, partialReport.constData() + used, sizeof message);
                if (message[0] == Refused) {
                    const int64_t length = std::clamp<int64_t>(message[1], 0, kMaxReasonBytes);
                    if (partialReport.size() - used - 16 < length)
                        break; // the rest of the reason is on its way
                    reason = QString::fromUtf8(partialReport.constData() + used + 16, int(length));
                    used += int(length);
                } else if (message[0] == StructureRead) {
                    structureSeen = true;
                } else if (message[0] == TimesRead) {
                    indexChecked = std::max(indexChecked, message[1]);
                } else {
                    wholeChecked = std::max(wholeChecked, message[1]);
                }
                used += 16;
            }
            partialReport.remove(0, used);
            sinceReport.start();
            return;
        }
    }
    if (sinceReport.elapsed() > kPatienceMs)
        end(true);
#else
    Q_UNUSED(waitMs)
#endif
}

void Hdf5CheckProcess::end(bool failed)
{
#ifdef Q_OS_UNIX
    if (pid > 0) {
        ::kill(pid_t(pid), SIGKILL);
        while (::waitpid(pid_t(pid), nullptr, 0) < 0 && errno == EINTR) { }
    }
    if (reports >= 0)
        ::close(reports);
#endif
    pid = -1;
    reports = -1;
    failedAt = failedAt || failed;
    finished = true;
}

int Hdf5CheckProcess::runChecker(const QString &path, int reportTo)
{
#ifdef Q_OS_UNIX
    const auto report = [reportTo](Report what, int64_t through) {
        const int64_t message[2] = {what, through};
        while (::write(reportTo, message, sizeof message) < 0 && errno == EINTR) { }
    };
    Hdf5Reader reader; // with no check of its own: it reads without waiting
    QString ignored;
    QString why;
    if (!reader.openInThisProcess(path, &why)) {
        // The reader says this reason without opening the file itself: a damaged file that the
        // library refused here may yet crash it in another process, whose memory differs.
        const QByteArray text = why.toUtf8().left(int(kMaxReasonBytes));
        QByteArray message(16, '\0');
        const int64_t head[2] = {Refused, text.size()};
        std::memcpy(message.data(), head, sizeof head);
        message += text;
        for (qsizetype written = 0; written < message.size();) {
            const ssize_t now = ::write(
                reportTo, message.constData() + written, size_t(message.size() - written));
            if (now < 0 && errno != EINTR)
                break;
            written += std::max<ssize_t>(now, 0);
        }
        return 0;
    }
    for (const char *name : kAttributes)
        reader.attribute(name);
    report(StructureRead, 0);
    std::vector<double> times;
    std::vector<uint8_t> counts;
    // A read that fails without crashing fails the same way in the reader: read on past it.
    const int64_t count = reader.frames();
    for (int64_t first = 0; first < count; first += kTimesPerStep) {
        reader.readTimesAndCounts(first, kTimesPerStep, &times, &counts, &ignored);
        report(TimesRead, std::min(count, first + kTimesPerStep));
    }
    const int64_t block = int64_t(Hdf5Layout::kBlockFrames);
    for (int64_t first = 0; first < count; first += block) {
        reader.readBlock(first, &ignored);
        report(FramesRead, std::min(count, first + block));
    }
#else
    Q_UNUSED(path)
    Q_UNUSED(reportTo)
#endif
    return 0;
}
