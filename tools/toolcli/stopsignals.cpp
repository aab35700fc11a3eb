// SPDX-License-Identifier: MIT
#include "stopsignals.h"

#include <QCoreApplication>
#include <QMetaObject>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

// Windows: Ctrl-C, Ctrl-Break and closing the console arrive on a thread of their own; the stop
// is queued to the event loop from there.
namespace {

StopSignals *installed = nullptr;

BOOL WINAPI forwardConsoleEvent(DWORD)
{
    if (StopSignals *target = installed)
        QMetaObject::invokeMethod(QCoreApplication::instance(), [target] { target->stopNow(); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

StopSignals::StopSignals() = default;

StopSignals::~StopSignals()
{
    if (installed != this)
        return;
    ::SetConsoleCtrlHandler(forwardConsoleEvent, FALSE);
    installed = nullptr;
}

bool StopSignals::install(std::function<void()> onStop, QString *error)
{
    stop = std::move(onStop);
    installed = this;
    if (!::SetConsoleCtrlHandler(forwardConsoleEvent, TRUE)) {
        *error = QStringLiteral("cannot catch Ctrl-C: error %1").arg(::GetLastError());
        return false;
    }
    return true;
}

void StopSignals::stopNow()
{
    if (stop)
        stop();
}

#else

// POSIX: the handler only writes a byte into a self-pipe, which the event loop reads.
namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int)
{
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

StopSignals::StopSignals() = default;

StopSignals::~StopSignals()
{
    if (!notifier)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    notifier.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

bool StopSignals::install(std::function<void()> onStop, QString *error)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        *error = systemError("cannot catch signals");
        return false;
    }
    // A burst of signals must never block the handler.
    ::fcntl(signalPipe[1], F_SETFL, ::fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
    stop = std::move(onStop);
    notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] {
        char bytes[16];
        if (::read(signalPipe[0], bytes, sizeof bytes) > 0)
            stopNow();
    });
    struct sigaction action { };
    action.sa_handler = forwardSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) {
        *error = systemError("cannot catch signals");
        return false;
    }
    return true;
}

void StopSignals::stopNow()
{
    if (stop)
        stop();
}

#endif
