// SPDX-License-Identifier: MIT
#include "stopsignals.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

// Windows: Ctrl-C, Ctrl-Break and closing the console arrive on a thread of their own; the stop
// is queued to the event loop from there.
namespace {

StopSignals *installed = nullptr;
std::atomic<bool> stopAsked{false};

BOOL WINAPI forwardConsoleEvent(DWORD)
{
    stopAsked = true;
    if (StopSignals *target = installed)
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [target] { target->stopNow(); }, Qt::QueuedConnection);
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

bool StopSignals::install(std::function<void()> onStop, QString *error, const QString &doing)
{
    Q_UNUSED(doing) // the console says nothing of its own
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

bool StopSignals::caught()
{
    return stopAsked.load();
}

int StopSignals::caughtSignal()
{
    return 0;
}

std::thread StopSignals::startThreadWithoutSignals(std::function<void()> body)
{
    return std::thread(std::move(body));
}

void StopSignals::hold() { }
void StopSignals::release() { }
void StopSignals::holdFromFirstSignal() { }

#else

// POSIX: the first signal writes a byte into a self-pipe, which the event loop reads, and says on
// standard error that a second one stops at once. The event loop may be stuck in a write to a full
// pipe; the second signal then ends the process the way the signal does by default.
namespace {

int signalPipe[2] = {-1, -1};
// Signals may be handled on two threads at once (sa_mask blocks them only on the thread that
// runs the handler): the count is a lock-free atomic, which a handler may use.
std::atomic<int> signalsCaught{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> firstSignal{0};
// While set, the signal that would end the process is only noted here.
volatile std::sig_atomic_t holding = 0;
volatile std::sig_atomic_t heldSignal = 0;
volatile std::sig_atomic_t holdAtFirst = 0;
// Made before any signal can come: the handler may only write bytes that exist.
// One for Ctrl-C, one for a termination request (kill, a service manager): each names its own
// second stop; the third says what a stop at once leaves behind.
char notice[3][256];
size_t noticeLength[3] = {0, 0, 0};
constexpr int kStoppedAtOnce = 2;

void forwardSignal(int number)
{
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    // Held before counted: a second signal on another thread then finds it held.
    if (holdAtFirst)
        holding = 1;
    const int caught = signalsCaught.fetch_add(1) + 1;
    if (caught == 2 && holding) {
        heldSignal = number;
    } else if (caught > 1) {
        [[maybe_unused]] const auto said
            = ::write(STDERR_FILENO, notice[kStoppedAtOnce], noticeLength[kStoppedAtOnce]);
        // Pending until this handler returns; then it ends the process.
        ::signal(number, SIG_DFL);
        ::raise(number);
    } else {
        firstSignal = number;
        const int which = number == SIGINT ? 0 : 1;
        [[maybe_unused]] const auto said
            = ::write(STDERR_FILENO, notice[which], noticeLength[which]);
        const char byte = 1;
        [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
    }
    errno = savedErrno;
}

void prepareNotice(const QString &doing)
{
    // On a terminal the notice replaces a status line that has no newline yet.
    const QByteArray start = (::isatty(STDERR_FILENO) ? QByteArray("\r\033[K") : QByteArray())
        + QCoreApplication::applicationName().toLocal8Bit() + ": " + doing.toLocal8Bit();
    // A program that holds from the first signal stops at the second once its files are whole.
    const QByteArray when = holdAtFirst ? " once its files are whole" : " at once";
    const QByteArray texts[3] = {start + "; Ctrl-C again to stop" + when + "\n",
        start + "; a second termination request stops it" + when + "\n",
        QCoreApplication::applicationName().toLocal8Bit()
            + ": stopped at once; a file being written keeps its temporary name (.part-XXXXXX)\n"};
    for (int which = 0; which < 3; ++which) {
        noticeLength[which] = std::min(size_t(texts[which].size()), sizeof notice[which]);
        std::memcpy(notice[which], texts[which].constData(), noticeLength[which]);
    }
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

StopSignals::StopSignals() = default;

StopSignals::~StopSignals()
{
    if (!notifier)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (catchesHangUp)
        std::signal(SIGHUP, SIG_DFL);
    notifier.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

bool StopSignals::install(std::function<void()> onStop, QString *error, const QString &doing)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        *error = systemError("cannot catch signals");
        return false;
    }
    // A burst of signals must never block the handler.
    ::fcntl(signalPipe[1], F_SETFL, ::fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
    stop = std::move(onStop);
    signalsCaught = 0;
    firstSignal = 0;
    prepareNotice(doing);
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
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    // The terminal closing (SIGHUP) is a termination request too, unless the program runs under
    // nohup, which asked for it to be ignored.
    struct sigaction hangUp { };
    catchesHangUp = ::sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0
        || (catchesHangUp && ::sigaction(SIGHUP, &action, nullptr) != 0)) {
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

bool StopSignals::caught()
{
    return signalsCaught.load() > 0;
}

int StopSignals::caughtSignal()
{
    return firstSignal.load();
}

std::thread StopSignals::startThreadWithoutSignals(std::function<void()> body)
{
    // The new thread takes the mask of the one that starts it.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread started(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

void StopSignals::hold()
{
    holding = 1;
}

void StopSignals::holdFromFirstSignal()
{
    holdAtFirst = 1;
}

void StopSignals::release()
{
    holding = 0;
    if (const int number = heldSignal) {
        ::signal(number, SIG_DFL);
        ::raise(number);
    }
}

#endif
