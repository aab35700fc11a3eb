// SPDX-License-Identifier: MIT
#include "livefeed.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QUrl>

#include <zmq.hpp>

#include <algorithm>

namespace {

const QString kTcpScheme = QStringLiteral("zmq+tcp");
const QString kIpcScheme = QStringLiteral("zmq+ipc");

// Waits are cut into slices this long, so that an abandoned open ends at once.
constexpr int kSliceMs = 100;

} // namespace

LiveFeed::LiveFeed(QObject *parent)
    : QObject(parent)
    , watch(this)
{
    watch.setInterval(1000);
    connect(&watch, &QTimer::timeout, this, [this] {
        if (!connected || lastHeard.elapsed() < kSilenceLimitMs)
            return;
        // A program that was stopped (Ctrl-Z) finds the publisher's messages waiting: it was not
        // the publisher that fell silent.
        if (drain())
            emit readyRead();
        if (lastHeard.elapsed() >= kSilenceLimitMs)
            reportLost(QStringLiteral("the publisher sent nothing for %1 s")
                           .arg(lastHeard.elapsed() / 1000));
    });
}

LiveFeed::~LiveFeed()
{
    close();
}

bool LiveFeed::isFeedName(const QString &name)
{
    return name.startsWith(kTcpScheme + QLatin1String("://"), Qt::CaseInsensitive)
        || name.startsWith(kIpcScheme + QLatin1String("://"), Qt::CaseInsensitive);
}

bool LiveFeed::isWellFormed(const QString &url, QString *error)
{
    if (url.startsWith(kIpcScheme + QLatin1String("://"), Qt::CaseInsensitive)) {
        if (url.size() > kIpcScheme.size() + 3)
            return true;
        *error = QStringLiteral("not a publisher: zmq+ipc:// wants the socket's path");
        return false;
    }
    const QRegularExpressionMatch match = QRegularExpression(
        QStringLiteral("^zmq\\+tcp://(\\[[0-9a-fA-F:.]+\\]|[^/:\\[\\]@?#]+):(\\d{1,5})/?$"),
        QRegularExpression::CaseInsensitiveOption)
                                              .match(url);
    if (match.hasMatch()) {
        const int port = match.captured(2).toInt();
        if (port >= 1 && port <= 65535)
            return true;
        *error = QStringLiteral("not a publisher: %1 is not a TCP port number, 1 to 65535")
                     .arg(match.captured(2));
        return false;
    }
    *error = QStringLiteral("not a publisher: expected zmq+tcp://HOST:PORT or zmq+ipc://PATH");
    return false;
}

bool LiveFeed::open(const QString &url, int timeoutMs, const std::function<bool()> &abandoned)
{
    close();
    error.clear();
    if (!isWellFormed(url, &error))
        return false;
    const QString endpoint = url.mid(4); // tcp://... or ipc://...
    try {
        context = std::make_unique<zmq::context_t>(1);
        socket = std::make_unique<zmq::socket_t>(*context, zmq::socket_type::sub);
        socket->set(zmq::sockopt::linger, 0);
        // Whole messages queue here until they are read; beyond that ZeroMQ drops whole ones.
        socket->set(zmq::sockopt::rcvhwm, 4000);
        socket->set(zmq::sockopt::ipv6, endpoint.startsWith(QLatin1String("tcp://[")) ? 1 : 0);
        socket->set(zmq::sockopt::subscribe, "raw");
        socket->set(zmq::sockopt::subscribe, "status");
        socket->connect(endpoint.toStdString());
    } catch (const zmq::error_t &failure) {
        error = QStringLiteral("cannot subscribe to %1: %2")
                    .arg(endpoint, QString::fromUtf8(failure.what()));
        socket.reset();
        context.reset();
        return false;
    }
    // Connecting succeeds without a publisher; one is there when its first message arrives.
    const QDeadlineTimer deadline(timeoutMs);
    connected = true; // for drain(); undone below when nothing is heard
    heard = false;
    lastHeard.start();
    while (!heard) {
        if (abandoned && abandoned()) {
            close();
            error = QStringLiteral("the open was abandoned");
            return false;
        }
        if (deadline.hasExpired()) {
            close();
            error = QStringLiteral("no publisher answered at %1 within %2 s (it sends its status "
                                   "once a second)")
                        .arg(endpoint)
                        .arg(timeoutMs / 1000.0);
            return false;
        }
        zmq::pollitem_t item{socket->handle(), 0, ZMQ_POLLIN, 0};
        try {
            zmq::poll(&item, 1,
                std::chrono::milliseconds(
                    std::clamp<qint64>(deadline.remainingTime(), 1, kSliceMs)));
        } catch (const zmq::error_t &) {
            continue; // a signal (Ctrl-C) broke the wait: the check above decides
        }
        drain();
    }
    lossReported = false;
    notifier
        = new QSocketNotifier(qintptr(socket->get(zmq::sockopt::fd)), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        if (drain())
            emit readyRead();
    });
    watch.start();
    // What came while the open waited, and whatever the descriptor's edge has already announced.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if ((drain() || !received.isEmpty()) && connected)
                emit readyRead();
        },
        Qt::QueuedConnection);
    return true;
}

void LiveFeed::close()
{
    connected = false;
    watch.stop();
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    socket.reset();
    context.reset();
    received.clear();
    seqKnown = false;
    nextSeq = 0;
    lost = 0;
    publisherRestarts = 0;
}

QByteArray LiveFeed::readAll()
{
    drain();
    QByteArray bytes;
    bytes.swap(received);
    return bytes;
}

bool LiveFeed::drain()
{
    if (!socket || !connected)
        return false;
    const int before = received.size();
    // The descriptor only says that something changed: the events tell whether a message waits,
    // and every waiting one is taken, or no further edge would come.
    for (;;) {
        try {
            if (!(socket->get(zmq::sockopt::events) & ZMQ_POLLIN))
                break;
        } catch (const zmq::error_t &) {
            break; // interrupted by a signal: the next notification or watch comes back here
        }
        std::vector<zmq::message_t> parts;
        zmq::message_t part;
        try {
            do {
                if (!socket->recv(part, zmq::recv_flags::dontwait))
                    break;
                parts.emplace_back(std::move(part));
            } while (parts.back().more());
        } catch (const zmq::error_t &) {
            break;
        }
        if (parts.empty())
            break;
        lastHeard.start();
        heard = true;
        if (parts.size() >= 2)
            take(QByteArray(parts[0].data<char>(), int(parts[0].size())),
                QByteArray(parts[1].data<char>(), int(parts[1].size())),
                parts.size() >= 3 ? QByteArray(parts[2].data<char>(), int(parts[2].size()))
                                  : QByteArray());
    }
    return received.size() > before;
}

void LiveFeed::take(const QByteArray &topic, const QByteArray &header, const QByteArray &body)
{
    const QJsonObject fields = QJsonDocument::fromJson(header).object();
    if (topic == "status") {
        if (fields.value("event").toString() == QLatin1String("stopped"))
            reportLost(QStringLiteral("the publisher stopped"));
        return;
    }
    if (topic != "raw" || !fields.contains("seq"))
        return;
    const int64_t seq = int64_t(fields.value("seq").toDouble());
    if (seqKnown && seq > nextSeq)
        lost += uint64_t(seq - nextSeq);
    else if (seqKnown && seq < nextSeq)
        ++publisherRestarts; // counting from 0 again: a new publisher, nothing lost
    seqKnown = true;
    nextSeq = seq + 1;
    if (received.size() + body.size() > kMostKeptBytes) {
        ++lost;
        return;
    }
    received.append(body);
}

void LiveFeed::reportLost(const QString &reason)
{
    if (!connected || lossReported)
        return;
    lossReported = true;
    watch.stop();
    // Said from the event loop: the owner closes the feed on hearing it, which must not happen
    // while a message is being taken.
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            if (connected)
                emit lostLink(reason);
        },
        Qt::QueuedConnection);
}
