// SPDX-License-Identifier: MIT
#include "livepublisher.h"

#include "framedecoder.h"

#ifdef VAZOREZ_LIVE_TARGETS
#include "radaranalyzer.h"
#include "targetjson.h"
#endif

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtEndian>

#include <zmq.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef Q_OS_LINUX
#include <pthread.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

QByteArray jsonString(const QString &text)
{
    // A one-element array written by Qt escapes the text as JSON wants it.
    const QByteArray object
        = QJsonDocument(QJsonObject{{"s", text}}).toJson(QJsonDocument::Compact);
    return object.mid(5, object.size() - 6); // {"s":"..."} -> "..."
}

QByteArray secondsText(double seconds)
{
    return QByteArray::number(seconds, 'f', 6);
}

// Whether a process accepts connections on the Unix socket at `path`. A file there that nobody
// listens on is a stale one, which binding replaces.
bool ipcInUse(const QString &path)
{
#ifdef Q_OS_UNIX
    sockaddr_un address{};
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= int(sizeof address.sun_path))
        return false; // ZeroMQ refuses it itself
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool answered
        = ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(probe);
    return answered;
#else
    Q_UNUSED(path)
    return false;
#endif
}

} // namespace

struct LivePublisher::Sender {
    zmq::context_t context{1};
    zmq::socket_t socket; // made by start()
    std::mutex profileMutex;
#ifdef VAZOREZ_LIVE_TARGETS
    std::unique_ptr<RadarAnalyzer> analyzer; // under profileMutex
    RadarAnalysis analysis;
    frame_t record;
#endif
};

LivePublisher::LivePublisher()
    : sender(std::make_unique<Sender>())
{
}

LivePublisher::~LivePublisher()
{
    if (!thread.joinable())
        return;
    queueStatus("{\"event\":\"stopped\"}");
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

bool LivePublisher::isWellFormedEndpoint(const QString &endpoint, QString *error)
{
    if (endpoint.startsWith(QLatin1String("ipc://"))) {
        if (endpoint.size() > 6)
            return true;
        *error = QStringLiteral("%1: ipc:// wants the socket's path").arg(endpoint);
        return false;
    }
    const QRegularExpressionMatch match = QRegularExpression(
        QStringLiteral("^tcp://(\\*|\\[[0-9a-fA-F:.]+\\]|[^/:\\[\\]@?#*]+):(\\d{1,5}|\\*)$"))
                                              .match(endpoint);
    if (match.hasMatch()) {
        // A port of * is any free one, which endpoint() names once bound.
        const int port = match.captured(2).toInt();
        if (match.captured(2) == QLatin1String("*") || (port >= 1 && port <= 65535))
            return true;
        *error = QStringLiteral("%1: %2 is not a TCP port number, 1 to 65535")
                     .arg(endpoint, match.captured(2));
        return false;
    }
    *error = QStringLiteral("%1: expected tcp://HOST:PORT (tcp://127.0.0.1:5556 keeps it on this "
                            "machine) or ipc://PATH")
                 .arg(endpoint);
    return false;
}

bool LivePublisher::start(const QString &endpoint, QString *error)
{
    if (thread.joinable()) {
        *error = QStringLiteral("already publishing on %1").arg(boundEndpoint);
        return false;
    }
    if (!isWellFormedEndpoint(endpoint, error))
        return false;
    if (endpoint.startsWith(QLatin1String("ipc://")) && ipcInUse(endpoint.mid(6))) {
        // ZeroMQ would remove the other publisher's socket file and take its subscribers.
        *error = QStringLiteral("cannot publish on %1: address already in use").arg(endpoint);
        return false;
    }
    try {
        zmq::socket_t socket(sender->context, zmq::socket_type::pub);
        socket.set(zmq::sockopt::sndhwm, kSendHighWaterMark);
        // The system keeps no more than this per connection beyond ZeroMQ's own queue.
        socket.set(zmq::sockopt::sndbuf, 256 * 1024);
        // What is still queued for a subscriber when the publisher stops may take this long.
        socket.set(zmq::sockopt::linger, 200);
        // tcp://[::1]:PORT; only then, so that an IPv4 endpoint is named as it was given.
        socket.set(zmq::sockopt::ipv6, endpoint.startsWith(QLatin1String("tcp://[")) ? 1 : 0);
        socket.bind(endpoint.toStdString());
        boundEndpoint = QString::fromStdString(socket.get(zmq::sockopt::last_endpoint));
        sender->socket = std::move(socket);
    } catch (const zmq::error_t &failure) {
        *error = QStringLiteral("cannot publish on %1: %2")
                     .arg(endpoint, QString::fromUtf8(failure.what()).toLower());
        // A host name is taken for a network interface's name.
        if (failure.num() == ENODEV)
            *error += QStringLiteral(" (give an address of this machine, such as 127.0.0.1, or an "
                                     "interface's name, such as eth0)");
        return false;
    }
    thread = std::thread([this] {
#ifdef Q_OS_LINUX
        pthread_setname_np(pthread_self(), "vazorez-publish"); // for top -H and perf
#endif
        run();
    });
    // The taps look at this, not at the thread, which only its owner touches.
    std::lock_guard<std::mutex> lock(mutex);
    running = true;
    return true;
}

void LivePublisher::setSourceName(const QString &name)
{
    std::lock_guard<std::mutex> lock(mutex);
    sourceName = name;
}

bool LivePublisher::setRadarProfile(const QByteArray &json, QString *error, const QString &origin)
{
#ifdef VAZOREZ_LIVE_TARGETS
    std::unique_ptr<RadarAnalyzer> analyzer;
    if (!json.isEmpty()) {
        RadarProfile profile;
        if (!RadarProfile::parse(json, origin, &profile, error))
            return false;
        analyzer = std::make_unique<RadarAnalyzer>(profile);
    }
    std::lock_guard<std::mutex> profileLock(sender->profileMutex);
    sender->analyzer = std::move(analyzer);
    return true;
#else
    Q_UNUSED(origin)
    if (json.isEmpty())
        return true;
    *error = QStringLiteral("this build has no radar analysis (kissfft was not found)");
    return false;
#endif
}

void LivePublisher::setLinkFigures(
    uint64_t framesDecoded, uint64_t framesRejected, uint64_t bytesDropped)
{
    decoded = framesDecoded;
    rejected = framesRejected;
    dropped = bytesDropped;
}

void LivePublisher::linkLost(const QString &reason)
{
    queueStatus("{\"event\":\"lost\",\"link\":" + QByteArray::number(currentLink.load())
        + ",\"reason\":" + jsonString(reason) + '}');
}

void LivePublisher::frameDecoded(
    const frame_t &record, const char *frameBytes, int length, double seconds)
{
    Q_UNUSED(record)
    if (!linkOpen) {
        // Frames before any opening (a capture that opened its port itself) are a link of their
        // own.
        linkOpened(LinkOpening());
    }
    ++linkFrames;
    framesOfLink = linkFrames;
    Item item;
    item.kind = Item::Kind::Frame;
    item.seq = nextSeq++;
    item.link = link;
    item.seconds = seconds;
    item.bytes = QByteArray(frameBytes, length);
    if (!enqueue(std::move(item)))
        ++framesUnsent;
}

void LivePublisher::linkOpened(const LinkOpening &opening)
{
    ++link;
    linkFrames = 0;
    linkOpen = true;
    currentLink = link;
    currentlyOpen = true;
    framesOfLink = 0;
    decoded = 0;
    rejected = 0;
    dropped = 0;
    QString name = opening.name;
    if (name.isEmpty()) {
        std::lock_guard<std::mutex> lock(mutex);
        name = sourceName;
    } else {
        setSourceName(name);
    }
    queueStatus("{\"event\":\"opened\",\"link\":" + QByteArray::number(link)
        + ",\"source\":" + jsonString(name) + '}');
}

void LivePublisher::linkClosed()
{
    if (!linkOpen)
        return;
    linkOpen = false;
    currentlyOpen = false;
    queueStatus("{\"event\":\"closed\",\"link\":" + QByteArray::number(link)
        + ",\"frames\":" + QByteArray::number(qulonglong(linkFrames)) + '}');
}

void LivePublisher::queueStatus(const QByteArray &json)
{
    Item item;
    item.kind = Item::Kind::Status;
    item.bytes = json;
    enqueue(std::move(item));
}

bool LivePublisher::enqueue(Item &&item)
{
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running || stopping || queue.size() >= kQueueLength)
            return false;
        wasEmpty = queue.empty();
        queue.push_back(std::move(item));
    }
    // The sender takes everything queued each time it wakes: one wake-up per batch.
    if (wasEmpty)
        wake.notify_one();
    return true;
}

void LivePublisher::run()
{
    using Clock = std::chrono::steady_clock;
    Sender &out = *sender;
    auto send = [this, &out](std::initializer_list<zmq::const_buffer> parts) {
        size_t k = 0;
        try {
            for (const zmq::const_buffer &part : parts) {
                const bool last = ++k == parts.size();
                out.socket.send(part,
                    last ? zmq::send_flags::dontwait
                         : zmq::send_flags::sndmore | zmq::send_flags::dontwait);
            }
        } catch (const zmq::error_t &) {
            return false; // a PUB socket does not refuse; should it, nothing more goes out
        }
        ++messagesOut;
        return true;
    };
    std::vector<char> i, q, s;
    QByteArray header;
    auto nextFigures = Clock::now() + std::chrono::seconds(1);
    std::deque<Item> batch;
    for (;;) {
        bool stop;
        QString source;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_until(lock, nextFigures, [this] { return stopping || !queue.empty(); });
            batch.swap(queue);
            stop = stopping;
            source = sourceName;
        }
        const QByteArray sourceJson = jsonString(source);
        for (Item &item : batch) {
            if (item.kind == Item::Kind::Status) {
                send({zmq::buffer("status", 6),
                    zmq::buffer(item.bytes.constData(), size_t(item.bytes.size()))});
                continue;
            }
            const auto *bytes = reinterpret_cast<const uchar *>(item.bytes.constData());
            const int n = item.bytes.size() >= FrameDecoder::kMinFrameLength ? bytes[4] : 0;
            if (item.bytes.size() != FrameDecoder::frameLength(n)) {
                ++framesUnsent; // never: the worker hands over whole frames
                continue;
            }
            const QByteArray mode = bytes[2] ? "FMCW" : "CW";
            const QByteArray seq = QByteArray::number(qulonglong(item.seq));
            const QByteArray time = secondsText(item.seconds);
            const QByteArray linkText = QByteArray::number(item.link);
            // The wire's big-endian samples, little-endian for the subscribers.
            i.resize(size_t(2 * n));
            q.resize(size_t(2 * n));
            s.resize(size_t(4 * n));
            for (int k = 0; k < n; ++k) {
                qToLittleEndian(qFromBigEndian<qint16>(bytes + 5 + 2 * k), i.data() + 2 * k);
                qToLittleEndian(
                    qFromBigEndian<qint16>(bytes + 5 + 2 * n + 2 * k), q.data() + 2 * k);
                qToLittleEndian(
                    qFromBigEndian<qint32>(bytes + 5 + 4 * n + 4 * k), s.data() + 4 * k);
            }
            header = "{\"seq\":" + seq + ",\"time_s\":" + time + ",\"mode\":\"" + mode
                + "\",\"byte3\":" + QByteArray::number(bytes[3]) + ",\"n\":" + QByteArray::number(n)
                + ",\"source\":" + sourceJson + ",\"link\":" + linkText + '}';
            const bool frameOut = send(
                {zmq::buffer("frame", 5), zmq::buffer(header.constData(), size_t(header.size())),
                    zmq::buffer(i.data(), i.size()), zmq::buffer(q.data(), q.size()),
                    zmq::buffer(s.data(), s.size())});
            header = "{\"seq\":" + seq + ",\"time_s\":" + time + ",\"link\":" + linkText + '}';
            const bool rawOut = send(
                {zmq::buffer("raw", 3), zmq::buffer(header.constData(), size_t(header.size())),
                    zmq::buffer(item.bytes.constData(), size_t(item.bytes.size()))});
            if (!frameOut || !rawOut)
                ++framesUnsent;
#ifdef VAZOREZ_LIVE_TARGETS
            std::lock_guard<std::mutex> profileLock(out.profileMutex);
            if (!out.analyzer)
                continue;
            frame_t &record = out.record;
            record.modulation = bytes[2] ? 1 : 0;
            record.sample_count = n;
            record.i_samples.resize(size_t(n));
            record.q_samples.resize(size_t(n));
            for (int k = 0; k < n; ++k) {
                record.i_samples[size_t(k)] = qFromBigEndian<qint16>(bytes + 5 + 2 * k);
                record.q_samples[size_t(k)] = qFromBigEndian<qint16>(bytes + 5 + 2 * n + 2 * k);
            }
            out.analyzer->analyze(record, out.analysis);
            header = "{\"seq\":" + seq + ",\"time_s\":" + time + ",\"mode\":\"" + mode + "\",";
            appendTargetsJson(header, out.analysis);
            header += '}';
            send({zmq::buffer("targets", 7),
                zmq::buffer(header.constData(), size_t(header.size()))});
#endif
        }
        batch.clear();
        if (Clock::now() >= nextFigures || stop) {
            nextFigures = Clock::now() + std::chrono::seconds(1);
            const QByteArray figures
                = "{\"event\":\"figures\",\"link\":" + QByteArray::number(currentLink.load())
                + ",\"open\":" + (currentlyOpen.load() ? "true" : "false") + ",\"frames\":"
                + QByteArray::number(qulonglong(std::max(decoded.load(), framesOfLink.load())))
                + ",\"rejected\":" + QByteArray::number(qulonglong(rejected.load()))
                + ",\"bytes_dropped\":" + QByteArray::number(qulonglong(dropped.load()))
                + ",\"published\":" + QByteArray::number(qulonglong(nextSeq.load()))
                + ",\"unsent\":" + QByteArray::number(qulonglong(framesUnsent.load())) + '}';
            if (!stop)
                send({zmq::buffer("status", 6),
                    zmq::buffer(figures.constData(), size_t(figures.size()))});
        }
        if (stop)
            break;
    }
    out.socket.close();
}
