// SPDX-License-Identifier: MIT
// A board behind the network, as a serial port server (ser2net, a terminal server) exports it:
// socket://HOST:PORT is the line's bytes over raw TCP, rfc2217://HOST:PORT the same over telnet
// with the line settings set on the far port; zmq+tcp://HOST:PORT (or zmq+ipc://PATH) the frames
// another viewer or capture publishes (LiveFeed). Only outgoing connections: nothing listens.
#pragma once

#include "livefeed.h"
#include "rfc2217codec.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <cstdint>
#include <functional>

class NetworkLink : public QObject {
    Q_OBJECT

public:
    // An open that has no connection (and, for rfc2217, no answer to its settings) by then fails.
    static constexpr int kOpenTimeoutMs = 5000;
    // An rfc2217 server that says nothing for a second is asked for the baud rate, which it must
    // answer; one that stays silent this long has stopped answering.
    static constexpr int kProbeAfterMs = 1000;
    static constexpr int kSilenceLimitMs = 5000;
    // Data an rfc2217 server may send before it has confirmed the line settings. A line at the
    // board's 115200 baud carries 58 KB in the open's 5 s: a server that sends four times that is
    // passing on no serial line, so the open fails, rather than keeping without end or quietly
    // dropping what it sends.
    static constexpr int kMostDataWhileOpening = 256 * 1024;

    explicit NetworkLink(QObject *parent = nullptr);

    // Whether `name` is a network port (socket://, rfc2217:// or a publisher's zmq+tcp:// or
    // zmq+ipc://) rather than a serial device.
    static bool isNetworkName(const QString &name);
    // Whether `url` is socket://HOST:PORT or rfc2217://HOST:PORT, before any connection is tried;
    // false with the expected form in *error.
    static bool isWellFormed(const QString &url, QString *error);

    // Connects to `url`, waiting at most `timeoutMs` in all: name lookup, connection and, for
    // rfc2217, the server's answer to every line setting. Emits nothing while it waits: bytes that
    // arrive meanwhile are kept (up to kMostDataWhileOpening) and announced with readyRead once the
    // open has returned. An rfc2217 server that refuses binary transfer, confirms another line
    // setting than the board's or breaks the telnet protocol fails the open with the reason, or,
    // once open, loses the link.
    bool open(const QString &url, uint32_t baudRate, int timeoutMs = kOpenTimeoutMs);
    // Asked from any thread while an open waits, a few times a second: true abandons the open at
    // once ("the open was abandoned"). A program sets it once, before any open, to its stop
    // signals, so that Ctrl-C during a silent server's five seconds stops at once.
    static void abandonOpensWhen(std::function<bool()> check);
    // Closes without a signal, forgetting whatever was not read.
    void close();
    bool isOpen() const { return connected; }
    // Why the last open failed.
    QString errorString() const { return error; }

    // The board's bytes received so far, telnet commands taken out.
    QByteArray readAll();
    // For a publisher: the frames it numbered that never arrived.
    uint64_t framesLost() const { return feeding ? feed.framesLost() : 0; }
    // For rfc2217: the line settings the server confirmed.
    Rfc2217Codec::PortSettings confirmedSettings() const { return codec.confirmed(); }

signals:
    void readyRead();
    // The open connection went away or stopped answering; it is still open until close().
    void lost(const QString &reason);

private:
    void pull();
    void onSocketReadyRead();
    void onSocketError(QAbstractSocket::SocketError socketError);
    void onProbe();
    void reportLost(const QString &reason);
    bool fail(const QString &reason);
    // Waits for the connection under way until the deadline; false when the open was abandoned.
    bool connectionWithin(const QDeadlineTimer &deadline);
    // Why the rfc2217 server can no longer be trusted (a protocol error, a line setting it
    // confirmed other than the one asked for); empty while it can.
    QString distrust() const;

    QTcpSocket socket;
    LiveFeed feed;
    bool feeding = false; // the link is the feed's
    Rfc2217Codec codec;
    bool telnet = false;
    bool connected = false;
    bool lossReported = false;
    uint32_t wantedBaudRate = 0;
    QByteArray received;
    QByteArray replies;
    QString error;
    QElapsedTimer lastHeard;
    QTimer probeTimer;
};
