// SPDX-License-Identifier: MIT
// A board published by another viewer or capture (--publish), read as if it were a port:
// zmq+tcp://HOST:PORT or zmq+ipc://PATH subscribes to the publisher's "raw" frames, whose bytes go
// through the receive rules as a line's would, and to its "status", which it sends at least once a
// second, so that silence means the publisher is gone. Frames the publisher numbered but that never
// arrived (a slow reader, a full queue) are counted as lost. Nothing is ever sent to the publisher.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace zmq {
class context_t;
class socket_t;
} // namespace zmq

class LiveFeed : public QObject {
    Q_OBJECT

public:
    // A publisher sends its status once a second: this long without a message, it is gone.
    static constexpr int kSilenceLimitMs = 5000;
    // At most this much is kept between reads: a reader that stops taking bytes loses whole frames
    // (counted), it does not grow without end.
    static constexpr int kMostKeptBytes = 16 * 1024 * 1024;

    explicit LiveFeed(QObject *parent = nullptr);
    ~LiveFeed() override;

    static bool isFeedName(const QString &name);
    // zmq+tcp://HOST:PORT or zmq+ipc://PATH; false with the expected form in *error.
    static bool isWellFormed(const QString &url, QString *error);

    // Subscribes and waits until the publisher is heard (its status comes once a second), at most
    // `timeoutMs`, asking `abandoned` a few times a second. False with errorString() when it is
    // not.
    bool open(const QString &url, int timeoutMs, const std::function<bool()> &abandoned);
    void close();
    bool isOpen() const { return connected; }
    QString errorString() const { return error; }

    // The frames' bytes received since the last call, whole frames back to back.
    QByteArray readAll();
    // Frames the publisher numbered that never came, since the open.
    uint64_t framesLost() const { return lost; }
    // Times the publisher started counting again (it was restarted).
    int restarts() const { return publisherRestarts; }

signals:
    void readyRead();
    // The publisher went silent or said it stopped; still open until close().
    void lostLink(const QString &reason);

private:
    // Takes every message waiting; true when a frame's bytes were added.
    bool drain();
    void take(const QByteArray &topic, const QByteArray &header, const QByteArray &body);
    void reportLost(const QString &reason);

    std::unique_ptr<zmq::context_t> context;
    std::unique_ptr<zmq::socket_t> socket;
    QSocketNotifier *notifier = nullptr;
    QTimer watch;
    QElapsedTimer lastHeard;
    QByteArray received;
    QString error;
    bool connected = false;
    bool lossReported = false;
    bool heard = false;
    bool seqKnown = false;
    int64_t nextSeq = 0;
    uint64_t lost = 0;
    int publisherRestarts = 0;
};
