// SPDX-License-Identifier: MIT
// Live data out: what publishing every frame costs, and how late it reaches a subscriber.
//   line rate     the real serial worker over a pseudo-terminal at the line's pace (128-sample
//                 frames), the same run without and with a publisher and a subscriber: the
//                 publisher's share of a core, and the latency from a frame's last byte written to
//                 its arrival at the subscriber, beside its arrival on the main thread (where the
//                 window takes it)
//   per frame     the publisher fed as fast as it takes frames: its processor time per frame (its
//                 thread and ZeroMQ's), and so its cost at the line's 11.2 frames a second
//   flood         1-sample frames at the line's 7680 a second, then as fast as the pseudo-terminal
//                 carries them, published to a subscriber that never reads: every frame still
//                 decoded, the frames not sent, and the memory growth after the queues have filled
// Usage: publish_bench [--json] [--smoke]
#include "benchjson.h"
#include "benchprocess.h"
#include "frameencoder.h"
#include "livepublisher.h"
#include "pseudoterminal.h"
#include "serialport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <zmq.hpp>
#include <zmq_addon.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A frame whose first two I samples carry its number.
QByteArray numbered(int64_t number, int samples)
{
    FrameValues values;
    for (int k = 0; k < samples; ++k) {
        values.i.push_back(int16_t(k == 0 ? (number & 0x7FFF)
                : k == 1                  ? (number >> 15)
                                          : 2048 + k));
        values.q.push_back(int16_t(2048 - k));
        values.s.push_back(int32_t(k % 50));
    }
    return encodeFrame(values);
}

int64_t numberOf(const int16_t *i, int samples)
{
    return samples >= 2 ? int64_t(uint16_t(i[0])) | (int64_t(uint16_t(i[1])) << 15) : -1;
}

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Receives "frame" messages on a thread of its own and notes when each frame number arrived.
class Subscriber {
public:
    Subscriber(zmq::context_t &context, const std::string &endpoint, size_t capacity)
        : arrivals(capacity, Clock::time_point{})
        , socket(context, zmq::socket_type::sub)
    {
        socket.set(zmq::sockopt::subscribe, "frame");
        socket.set(zmq::sockopt::rcvtimeo, 100);
        socket.connect(endpoint);
        thread = std::thread([this] { run(); });
    }
    ~Subscriber() { stop(); }
    void stop()
    {
        done = true;
        if (thread.joinable())
            thread.join();
    }
    std::atomic<int64_t> received{0};
    double cpuSeconds = 0; // of its thread, taken out of the process's
    std::vector<Clock::time_point> arrivals; // by frame number

private:
    void run()
    {
        const double start = threadCpuSeconds();
        std::vector<zmq::message_t> parts;
        while (!done) {
            parts.clear();
            if (!zmq::recv_multipart(socket, std::back_inserter(parts)) || parts.size() != 5)
                continue;
            const auto now = Clock::now();
            const int64_t number = numberOf(parts[2].data<int16_t>(), int(parts[2].size() / 2));
            if (number >= 0 && size_t(number) < arrivals.size())
                arrivals[size_t(number)] = now;
            ++received;
        }
        cpuSeconds = threadCpuSeconds() - start;
        socket.close();
    }
    zmq::socket_t socket;
    std::thread thread;
    std::atomic<bool> done{false};
};

// Processor time of this process's threads whose name starts with `prefix`, in seconds (Linux).
double threadsCpuSeconds(const QString &prefix)
{
    double seconds = 0;
    for (const QString &task :
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        QFile run(QStringLiteral("/proc/self/task/%1/schedstat").arg(task));
        if (name.open(QIODevice::ReadOnly) && run.open(QIODevice::ReadOnly)
            && QString::fromLatin1(name.readAll()).startsWith(prefix))
            seconds += run.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return seconds;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Run as `publish_bench --subscriber ENDPOINT`: a subscriber in a process of its own, so that none
// of its work counts as the publisher's. Prints "ready"; once no frame has come for 0.5 s, prints
// "NUMBER NANOSECONDS" (the steady clock, which both processes share) for every frame it received,
// and ends.
int subscriberProcess(const std::string &endpoint)
{
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::sub);
    socket.set(zmq::sockopt::subscribe, "frame");
    socket.set(zmq::sockopt::rcvtimeo, 500);
    socket.connect(endpoint);
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<std::pair<int64_t, int64_t>> arrivals;
    std::vector<zmq::message_t> parts;
    bool started = false;
    for (;;) {
        parts.clear();
        if (!zmq::recv_multipart(socket, std::back_inserter(parts))) {
            if (started)
                break;
            continue;
        }
        if (parts.size() != 5)
            continue;
        started = true;
        arrivals.emplace_back(numberOf(parts[2].data<int16_t>(), int(parts[2].size() / 2)),
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count());
    }
    for (const auto &arrival : arrivals)
        std::printf("%lld %lld\n", static_cast<long long>(arrival.first),
            static_cast<long long>(arrival.second));
    return 0;
}

class MainThreadArrivals : public QObject {
public:
    explicit MainThreadArrivals(size_t capacity)
        : arrivals(capacity, Clock::time_point{})
    {
    }
    void onFrame(const frame_t &frame)
    {
        const int64_t number = numberOf(frame.i_samples.data(), int(frame.i_samples.size()));
        if (number >= 0 && size_t(number) < arrivals.size())
            arrivals[size_t(number)] = Clock::now();
    }
    std::vector<Clock::time_point> arrivals;
};

// The worker at the line's pace for `seconds`, with or without a publisher and its subscriber.
void lineRate(double seconds, bool publishing, Figures &figures, double *cpuWithout)
{
    constexpr int kSamples = 128;
    PseudoTerminal line;
    SerialPort worker;
    const size_t capacity = size_t(seconds * 20) + 100;
    MainThreadArrivals window(capacity);
    QObject::connect(&worker, &SerialPort::signalFrame, &window, &MainThreadArrivals::onFrame,
        Qt::QueuedConnection);
    LivePublisher publisher;
    QProcess subscriber;
    if (publishing) {
        QString error;
        if (!publisher.start(QStringLiteral("tcp://127.0.0.1:*"), &error)) {
            std::fprintf(stderr, "publish_bench: %s\n", qPrintable(error));
            std::exit(1);
        }
        subscriber.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--subscriber"), publisher.endpoint()});
        if (!subscriber.waitForReadyRead(10000)) {
            std::fprintf(stderr, "publish_bench: the subscriber process did not start\n");
            std::exit(1);
        }
        subscriber.readLine(); // "ready"
        worker.addTap(&publisher);
        waitInEventLoop(300); // the subscription reaches the publisher
    }
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    std::vector<Clock::time_point> written;
    written.reserve(capacity);
    std::atomic<bool> done{false};
    const double cpuBefore = cpuSeconds();
    const double senderBefore = threadsCpuSeconds(QStringLiteral("vazorez-publish"));
    const double zeromqBefore = threadsCpuSeconds(QStringLiteral("ZMQbg"));
    const auto start = Clock::now();
    std::thread board([&] {
        auto due = Clock::now();
        for (int64_t k = 0; Clock::now() - start < std::chrono::duration<double>(seconds); ++k) {
            const QByteArray frame = numbered(k, kSamples);
            due += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(LineSettings::secondsFor(frame.size())));
            std::this_thread::sleep_until(due);
            line.write(frame, 10000);
            written.push_back(Clock::now());
        }
        done = true;
    });
    while (!done)
        waitInEventLoop(50);
    board.join();
    waitInEventLoop(300);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const double senderCpu = threadsCpuSeconds(QStringLiteral("vazorez-publish")) - senderBefore;
    const double zeromqCpu = threadsCpuSeconds(QStringLiteral("ZMQbg")) - zeromqBefore;
    std::vector<double> toWindow, toSubscriber;
    if (publishing) {
        worker.removeTap(&publisher);
        subscriber.waitForFinished(20000);
        for (const QByteArray &row : subscriber.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = row.split(' ');
            const int64_t number = fields.value(0).toLongLong();
            if (fields.size() == 2 && number >= 0 && number < int64_t(written.size()))
                toSubscriber.push_back(
                    (double(fields[1].toLongLong())
                        - double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            written[size_t(number)].time_since_epoch())
                                     .count()))
                    / 1e6);
        }
    }
    worker.closePort();
    for (size_t k = 0; k < written.size(); ++k) {
        if (window.arrivals[k] != Clock::time_point{})
            toWindow.push_back(
                std::chrono::duration<double, std::milli>(window.arrivals[k] - written[k]).count());
    }
    const QString prefix = publishing ? QStringLiteral("line rate, publishing: ")
                                      : QStringLiteral("line rate, not publishing: ");
    figures.add(prefix + "frames written", double(written.size()), "");
    figures.add(prefix + "process CPU (the subscriber is another process)", 100 * cpu / elapsed,
        "% of a core");
    figures.add(prefix + "latency to the main thread, median", percentile(toWindow, 0.5), "ms");
    figures.add(prefix + "latency to the main thread, p99", percentile(toWindow, 0.99), "ms");
    if (!publishing) {
        *cpuWithout = 100 * cpu / elapsed;
        return;
    }
    figures.add(prefix + "frames at the subscriber", double(toSubscriber.size()), "");
    figures.add(prefix + "latency to the subscriber, median", percentile(toSubscriber, 0.5), "ms");
    figures.add(prefix + "latency to the subscriber, p99", percentile(toSubscriber, 0.99), "ms");
    figures.add(QStringLiteral("line rate: publishing's share (with less without)"),
        100 * cpu / elapsed - *cpuWithout, "% of a core");
    // Where it goes: the publisher's own thread (a wake-up and the messages per frame) and
    // ZeroMQ's I/O thread (a wake-up per frame, and the loopback's delivery to the subscriber).
    figures.add(prefix + "the publisher's thread", 100 * senderCpu / elapsed, "% of a core");
    figures.add(prefix + "ZeroMQ's I/O thread", 100 * zeromqCpu / elapsed, "% of a core");
    figures.add(
        prefix + "the two per frame", 1e6 * (senderCpu + zeromqCpu) / double(written.size()), "us");
}

// The publisher alone, fed as fast as it takes frames, with a subscriber that reads them all.
void perFrame(int64_t frames, Figures &figures)
{
    constexpr int kSamples = 128;
    zmq::context_t context(1);
    LivePublisher publisher;
    QString error;
    if (!publisher.start(QStringLiteral("tcp://127.0.0.1:*"), &error)) {
        std::fprintf(stderr, "publish_bench: %s\n", qPrintable(error));
        std::exit(1);
    }
    Subscriber subscriber(context, publisher.endpoint().toStdString(), size_t(frames));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    publisher.linkOpened({QStringLiteral("bench"), QByteArray()});
    frame_t record;
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    for (int64_t k = 0; k < frames; ++k) {
        const QByteArray frame = numbered(k, kSamples);
        publisher.frameDecoded(record, frame.constData(), frame.size(), double(k) / 11.2);
        // About as fast as the sender takes them: the queue never fills.
        if (k % 256 == 255)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (subscriber.received < frames && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    subscriber.stop();
    const double cpu = cpuSeconds() - cpuBefore - subscriber.cpuSeconds;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double perFrameUs = cpu / double(frames) * 1e6;
    figures.add(QStringLiteral("per frame: frames published"), double(publisher.published()), "");
    figures.add(
        QStringLiteral("per frame: frames at the subscriber"), double(subscriber.received), "");
    figures.add(QStringLiteral("per frame: frames not sent"), double(publisher.unsent()), "");
    figures.add(QStringLiteral("per frame: publisher's CPU per frame"), perFrameUs, "us");
    figures.add(QStringLiteral("per frame: so at the line's 11.2 frames/s"),
        perFrameUs * 11.2 / 1e4, "% of a core");
    figures.add(QStringLiteral("per frame: throughput"), double(frames) / elapsed, "frames/s");
}

// The floor under the publisher: a bare ZeroMQ PUB socket, a thread that sends one message of a
// 128-sample frame's size at the line's pace to the same subscriber process, and ZeroMQ's I/O
// thread. What it costs is the wake-ups and the loopback, which no publisher of ours can avoid.
void bareZeroMq(double seconds, Figures &figures)
{
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::pub);
    socket.bind("tcp://127.0.0.1:*");
    QProcess subscriber;
    subscriber.start(QCoreApplication::applicationFilePath(),
        {QStringLiteral("--subscriber"),
            QString::fromStdString(socket.get(zmq::sockopt::last_endpoint))});
    if (!subscriber.waitForReadyRead(10000))
        std::exit(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const QByteArray frame = numbered(0, 128);
    const double zeromqBefore = threadsCpuSeconds(QStringLiteral("ZMQbg"));
    double senderCpu = 0;
    int64_t sent = 0;
    const auto start = Clock::now();
    std::thread sender([&] {
        const double before = threadCpuSeconds();
        auto due = Clock::now();
        while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
            due += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(LineSettings::secondsFor(frame.size())));
            std::this_thread::sleep_until(due);
            socket.send(zmq::buffer("frame", 5), zmq::send_flags::sndmore);
            socket.send(zmq::buffer("{}", 2), zmq::send_flags::sndmore);
            socket.send(zmq::buffer(frame.constData(), 256), zmq::send_flags::sndmore);
            socket.send(zmq::buffer(frame.constData(), 256), zmq::send_flags::sndmore);
            socket.send(zmq::buffer(frame.constData(), 512), zmq::send_flags::none);
            ++sent;
        }
        senderCpu = threadCpuSeconds() - before;
    });
    sender.join();
    const double zeromqCpu = threadsCpuSeconds(QStringLiteral("ZMQbg")) - zeromqBefore;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    subscriber.waitForFinished(20000);
    socket.close();
    figures.add(QStringLiteral("bare ZeroMQ at the line's pace: the sending thread"),
        100 * senderCpu / elapsed, "% of a core");
    figures.add(QStringLiteral("bare ZeroMQ at the line's pace: ZeroMQ's I/O thread"),
        100 * zeromqCpu / elapsed, "% of a core");
    figures.add(QStringLiteral("bare ZeroMQ at the line's pace: the two per message"),
        1e6 * (senderCpu + zeromqCpu) / double(std::max<int64_t>(sent, 1)), "us");
}

// A counting tap: the recording's stand-in, it sees every frame the worker decodes.
class CountingTap : public FrameTap {
public:
    void frameDecoded(const frame_t &, const char *, int, double) override { ++frames; }
    std::atomic<int64_t> frames{0};
};

// 1-sample frames as fast as a 115200-baud line carries them (7680 a second), or as fast as the
// pseudo-terminal takes them; the one subscriber never reads.
void flood(int64_t frames, bool paced, Figures &figures)
{
    PseudoTerminal line;
    SerialPort worker;
    worker.setPacedDelivery(true); // as the window takes them
    int64_t shown = 0;
    QObject::connect(
        &worker, &SerialPort::signalFrame, &worker,
        [&worker, &shown](const frame_t &) {
            ++shown;
            worker.frameHandled(worker.takeFrameIdentity().link);
        },
        Qt::QueuedConnection);
    CountingTap recording;
    LivePublisher publisher;
    QString error;
    if (!publisher.start(QStringLiteral("tcp://127.0.0.1:*"), &error)) {
        std::fprintf(stderr, "publish_bench: %s\n", qPrintable(error));
        std::exit(1);
    }
    zmq::context_t context(1);
    zmq::socket_t asleep(context, zmq::socket_type::sub);
    asleep.set(zmq::sockopt::subscribe, "");
    asleep.connect(publisher.endpoint().toStdString());
    worker.addTap(&recording);
    worker.addTap(&publisher);
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    waitInEventLoop(300);
    const QByteArray frame = numbered(0, 1);
    QByteArray block;
    for (int k = 0; k < 256; ++k)
        block += frame;
    std::atomic<bool> done{false};
    double residentEarly = 0;
    std::thread board([&] {
        auto due = Clock::now();
        for (int64_t k = 0; k < frames; k += 256) {
            if (paced) {
                due += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(LineSettings::secondsFor(block.size())));
                std::this_thread::sleep_until(due);
            }
            line.write(block, 10000);
        }
        done = true;
    });
    const auto start = Clock::now();
    while (!done) {
        waitInEventLoop(50);
        // Once the queues have filled (a tenth of the frames), the memory should hold still.
        if (residentEarly == 0 && recording.frames > frames / 10)
            residentEarly = residentMiB();
    }
    board.join();
    const int64_t sent = (frames + 255) / 256 * 256;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (recording.frames < sent && Clock::now() < until)
        waitInEventLoop(50);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double residentLate = residentMiB();
    worker.removeTap(&publisher);
    worker.removeTap(&recording);
    worker.closePort();
    const QString prefix
        = paced ? QStringLiteral("flood at the line's rate: ") : QStringLiteral("flood, unpaced: ");
    figures.add(prefix + QStringLiteral("1-sample frames written"), double(sent), "");
    figures.add(prefix + QStringLiteral("frames decoded (each would be recorded)"),
        double(recording.frames), "");
    figures.add(prefix + QStringLiteral("frames/s"), double(recording.frames) / elapsed, "");
    figures.add(prefix + QStringLiteral("frames the window showed"), double(shown), "");
    figures.add(prefix + QStringLiteral("frames published"), double(publisher.published()), "");
    figures.add(
        prefix + QStringLiteral("frames not sent (queue full)"), double(publisher.unsent()), "");
    figures.add(prefix + QStringLiteral("resident after the first tenth"), residentEarly, "MiB");
    figures.add(prefix + QStringLiteral("growth from there to the end"),
        residentLate - residentEarly, "MiB");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    registerFrameMetaType();
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    const QStringList arguments = application.arguments();
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--subscriber"))
        return subscriberProcess(arguments[2].toStdString());
    const bool json = arguments.contains("--json");
    const bool smoke = arguments.contains("--smoke");
    Figures figures;
    double cpuWithout = 0;
    lineRate(smoke ? 1.0 : 20.0, false, figures, &cpuWithout);
    lineRate(smoke ? 1.0 : 20.0, true, figures, &cpuWithout);
    bareZeroMq(smoke ? 1.0 : 20.0, figures);
    perFrame(smoke ? 2000 : 50000, figures);
    flood(smoke ? 1000 : 20000, true, figures);
    flood(smoke ? 50000 : 1000000, false, figures);
    figures.print("publish_bench", json);
    return 0;
}
