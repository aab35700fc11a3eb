// SPDX-License-Identifier: MIT
#include "networklink.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif
#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Waits are cut into slices this long, so that an abandoned open ends at once.
constexpr int kSliceMs = 100;

std::function<bool()> &abandonCheck()
{
    static std::function<bool()> check;
    return check;
}

bool abandoned()
{
    return abandonCheck() && abandonCheck()();
}

const QString kAbandoned = QStringLiteral("the open was abandoned");

const QString kSocketScheme = QStringLiteral("socket");
const QString kTelnetScheme = QStringLiteral("rfc2217");

// The system's resolver may wait far longer than an open may take; it runs on a thread of its own
// that is left to finish alone when the open gives up.
QList<QHostAddress> lookUp(const QString &host, int timeoutMs, QString *why)
{
    QHostAddress literal;
    if (literal.setAddress(host))
        return {literal};
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        QHostInfo info;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, host] {
        QHostInfo info = QHostInfo::fromName(host);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->info = info;
        shared->finished = true;
        shared->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(shared->mutex);
    const QDeadlineTimer deadline(timeoutMs);
    while (!shared->finished && !deadline.hasExpired() && !abandoned())
        shared->done.wait_for(
            lock, std::chrono::milliseconds(std::clamp<qint64>(deadline.remainingTime(), 1, kSliceMs)));
    if (!shared->finished && abandoned()) {
        *why = kAbandoned;
        return {};
    }
    if (!shared->finished) {
        *why = QStringLiteral("no answer from the name service for %1 within %2 s")
                   .arg(host)
                   .arg(timeoutMs / 1000.0);
        return {};
    }
    if (shared->info.error() != QHostInfo::NoError || shared->info.addresses().isEmpty())
        *why = QStringLiteral("host %1 not found").arg(host);
    return shared->info.addresses();
}

// A raw TCP link has no answers to wait for: a peer that vanished (a switched-off server, a pulled
// cable) shows only through keep-alive probes, which the system's defaults send after two hours.
void keepAliveQuickly(QTcpSocket &socket)
{
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(socket.socketDescriptor());
    const int idle = 5, interval = 2, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

} // namespace

NetworkLink::NetworkLink(QObject *parent)
    : QObject(parent)
    , socket(this)
    , feed(this)
    , probeTimer(this)
{
    connect(&feed, &LiveFeed::readyRead, this, [this] {
        if (connected)
            emit readyRead();
    });
    connect(&feed, &LiveFeed::lostLink, this, &NetworkLink::reportLost);
    probeTimer.setInterval(kProbeAfterMs / 2);
    connect(&socket, &QTcpSocket::readyRead, this, &NetworkLink::onSocketReadyRead);
    connect(&socket, &QTcpSocket::errorOccurred, this, &NetworkLink::onSocketError);
    connect(&socket, &QTcpSocket::disconnected, this,
        [this] { reportLost(QStringLiteral("the server closed the connection")); });
    connect(&probeTimer, &QTimer::timeout, this, &NetworkLink::onProbe);
}

bool NetworkLink::isNetworkName(const QString &name)
{
    return name.startsWith(kSocketScheme + QLatin1String("://"), Qt::CaseInsensitive)
        || name.startsWith(kTelnetScheme + QLatin1String("://"), Qt::CaseInsensitive)
        || LiveFeed::isFeedName(name);
}

bool NetworkLink::isWellFormed(const QString &url, QString *error)
{
    if (LiveFeed::isFeedName(url))
        return LiveFeed::isWellFormed(url, error);
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (parsed.isValid() && (scheme == kSocketScheme || scheme == kTelnetScheme)
        && !parsed.host().isEmpty() && parsed.port() > 0 && parsed.userInfo().isEmpty()
        && (parsed.path().isEmpty() || parsed.path() == "/") && !parsed.hasQuery()
        && !parsed.hasFragment())
        return true;
    // A port number beyond TCP's makes the whole URL invalid; say which part is wrong.
    const QRegularExpressionMatch number
        = QRegularExpression(QStringLiteral("^[a-zA-Z0-9]+://[^/]+:(\\d+)/?$")).match(url);
    if (number.hasMatch() && isNetworkName(url)
        && (number.captured(1).toLongLong() < 1 || number.captured(1).toLongLong() > 65535)) {
        *error = QStringLiteral("not a network port: %1 is not a TCP port number (1 to 65535)")
                     .arg(number.captured(1));
        return false;
    }
    *error
        = QStringLiteral("not a network port: expected socket://HOST:PORT, rfc2217://HOST:PORT or "
                   "zmq+tcp://HOST:PORT");
    return false;
}

bool NetworkLink::fail(const QString &reason)
{
    error = reason;
    socket.abort();
    received.clear();
    return false;
}

void NetworkLink::abandonOpensWhen(std::function<bool()> check)
{
    abandonCheck() = std::move(check);
}

namespace {

int slice(const QDeadlineTimer &deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 1, kSliceMs));
}

} // namespace

bool NetworkLink::connectionWithin(const QDeadlineTimer &deadline)
{
#ifdef Q_OS_UNIX
    // Qt's own wait gives the connection up when its time runs out: it is asked only once the
    // socket is writable (connected, or failed), and the wait until then is cut into slices.
    while (socket.state() == QAbstractSocket::ConnectingState && !deadline.hasExpired()) {
        if (abandoned())
            return false;
        pollfd writable{int(socket.socketDescriptor()), POLLOUT, 0};
        if (writable.fd < 0 || ::poll(&writable, 1, slice(deadline)) > 0)
            break;
    }
#else
    Q_UNUSED(deadline)
#endif
    return true;
}

bool NetworkLink::open(const QString &url, uint32_t baudRate, int timeoutMs)
{
    close();
    error.clear();
    codec = Rfc2217Codec();
    if (!isWellFormed(url, &error))
        return fail(error);
    if (LiveFeed::isFeedName(url)) {
        // ZeroMQ would try a name it cannot resolve without end: a typo is said at once.
        const QDeadlineTimer deadline(timeoutMs);
        const QUrl parsed(url);
        QString why;
        if (parsed.scheme().compare(QLatin1String("zmq+tcp"), Qt::CaseInsensitive) == 0
            && lookUp(parsed.host(), timeoutMs, &why).isEmpty())
            return fail(why);
        if (!feed.open(url, int(qMax<qint64>(1, deadline.remainingTime())), abandoned))
            return fail(feed.errorString());
        feeding = true;
        connected = true;
        lossReported = false;
        return true;
    }
    const QUrl parsed(url, QUrl::StrictMode);
    telnet = parsed.scheme().toLower() == kTelnetScheme;

    const QDeadlineTimer deadline(timeoutMs);
    QString why;
    const QList<QHostAddress> addresses = lookUp(parsed.host(), timeoutMs, &why);
    if (addresses.isEmpty())
        return fail(why);
    // Nothing is announced while the open waits (the owner may be holding its own lock): the
    // socket's signals count only once `connected` is set.
    for (const QHostAddress &address : addresses) {
        socket.abort();
        socket.connectToHost(address, quint16(parsed.port()));
        if (!connectionWithin(deadline))
            return fail(kAbandoned);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        why = socket.error() == QAbstractSocket::SocketTimeoutError
            ? QStringLiteral("no connection within %1 s").arg(timeoutMs / 1000.0)
            : socket.errorString().toLower();
        if (deadline.hasExpired())
            break;
    }
    if (socket.state() != QAbstractSocket::ConnectedState)
        return fail(why);
    keepAliveQuickly(socket);
    lastHeard.start();

    if (telnet) {
        wantedBaudRate = baudRate;
        socket.write(codec.opening(baudRate));
        // Open means the far port has taken every line setting: a server that accepts and never
        // answers, or a plain TCP port, is not a board's line, and a far port at another rate,
        // size, parity, stop size or flow control would show nothing but rejected frames.
        for (;;) {
            const QString untrusted = distrust();
            if (!untrusted.isEmpty())
                return fail(untrusted);
            if (received.size() > kMostDataWhileOpening)
                return fail(QStringLiteral("the server sent more than %1 KiB of data before it "
                                           "confirmed the line settings")
                                .arg(kMostDataWhileOpening / 1024));
            if (codec.allConfirmed())
                break;
            if (codec.comPortRefused())
                return fail(
                    QStringLiteral("the server refuses RFC 2217 port control (a plain telnet port? "
                                   "try socket://)"));
            if (socket.state() != QAbstractSocket::ConnectedState)
                return fail(QStringLiteral(
                    "the server closed the connection before it took the line settings"));
            if (deadline.hasExpired())
                return fail(
                    QStringLiteral("the server did not confirm the line settings within %1 s "
                                   "(not an RFC 2217 port?)")
                        .arg(timeoutMs / 1000.0));
            if (abandoned())
                return fail(kAbandoned);
            socket.waitForReadyRead(slice(deadline));
            pull();
        }
        probeTimer.start();
    }
    connected = true;
    lossReported = false;
    // What came with the negotiation, or before a raw link's open returned, is announced now.
    if (!received.isEmpty() || socket.bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &NetworkLink::readyRead, Qt::QueuedConnection);
    return true;
}

void NetworkLink::close()
{
    connected = false;
    feeding = false;
    feed.close();
    probeTimer.stop();
    // Aborting emits the socket's own signals at once; the flags above keep them from counting
    // as a loss.
    socket.abort();
    received.clear();
}

void NetworkLink::pull()
{
    const QByteArray raw = socket.readAll();
    if (raw.isEmpty())
        return;
    lastHeard.start();
    if (!telnet) {
        received.append(raw);
        return;
    }
    replies.clear();
    codec.receive(raw.constData(), raw.size(), received, replies);
    if (!replies.isEmpty())
        socket.write(replies);
    // The open checks for itself; once open, a server that breaks faith ends the link (what it
    // sent before stays readable).
    if (connected) {
        const QString why = distrust();
        if (!why.isEmpty())
            reportLost(why);
    }
}

QString NetworkLink::distrust() const
{
    using C = Rfc2217Codec;
    if (!codec.error().isEmpty())
        return codec.error();
    const C::PortSettings &got = codec.confirmed();
    if (codec.isConfirmed(C::SetBaudRate) && got.baudRate != wantedBaudRate)
        return QStringLiteral("the server runs the port at %1 baud, not %2")
            .arg(got.baudRate)
            .arg(wantedBaudRate);
    if (codec.isConfirmed(C::SetDataSize) && got.dataSize != C::DataSizeEight)
        return QStringLiteral("the server set %1 data bits, not %2")
            .arg(got.dataSize)
            .arg(int(C::DataSizeEight));
    if (codec.isConfirmed(C::SetParity) && got.parity != C::ParityNone) {
        static const char *const names[] = {"odd", "even", "mark", "space"};
        return QStringLiteral("the server set %1, not none")
            .arg(got.parity >= 2 && got.parity <= 5
                    ? QStringLiteral("%1 parity").arg(QLatin1String(names[got.parity - 2]))
                    : QStringLiteral("parity code %1").arg(got.parity));
    }
    if (codec.isConfirmed(C::SetStopSize) && got.stopSize != C::StopBitsOne)
        return QStringLiteral("the server set %1, not 1")
            .arg(got.stopSize == 2      ? QStringLiteral("2 stop bits")
                    : got.stopSize == 3 ? QStringLiteral("1.5 stop bits")
                                        : QStringLiteral("stop size code %1").arg(got.stopSize));
    if (codec.isConfirmed(C::SetControl) && got.control != C::ControlHardwareFlow)
        return QStringLiteral("the server set %1, not RTS/CTS")
            .arg(got.control == 1 ? QStringLiteral("no flow control")
                                  : QStringLiteral("XON/XOFF flow control"));
    return QString();
}

QByteArray NetworkLink::readAll()
{
    if (feeding)
        return feed.readAll();
    pull();
    QByteArray bytes;
    bytes.swap(received);
    return bytes;
}

void NetworkLink::onSocketReadyRead()
{
    if (!connected)
        return; // the open reads for itself
    pull();
    if (!received.isEmpty())
        emit readyRead();
}

void NetworkLink::onSocketError(QAbstractSocket::SocketError socketError)
{
    if (socketError == QAbstractSocket::RemoteHostClosedError)
        reportLost(QStringLiteral("the server closed the connection"));
    else
        reportLost(socket.errorString().toLower());
}

void NetworkLink::onProbe()
{
    if (!connected)
        return;
    const qint64 silent = lastHeard.elapsed();
    if (silent >= kSilenceLimitMs)
        reportLost(
            QStringLiteral("the server stopped answering (nothing for %1 s)").arg(silent / 1000));
    else if (silent >= kProbeAfterMs)
        socket.write(Rfc2217Codec::baudRateQuery());
}

void NetworkLink::reportLost(const QString &reason)
{
    if (!connected || lossReported)
        return;
    lossReported = true;
    probeTimer.stop();
    emit lost(reason);
}
