// SPDX-License-Identifier: MIT
// The real serial worker over a real pseudo-terminal: throughput, loss, latency from the write of a
// frame's last byte to its arrival on the main thread, CPU time and memory. The same line is also
// read through a real ser2net on the loopback, as socket:// and as rfc2217://.
// Usage: stream_bench [--json] [--smoke]
#include "benchjson.h"
#include "benchprocess.h"
#include "faultinjector.h"
#include "frameencoder.h"
#include "pseudoterminal.h"
#include "ser2netserver.h"
#include "serialport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;



double peakResidentMiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// A frame whose first two I samples carry its number.
QByteArray numbered(int64_t number, int samples = 128)
{
    FrameValues values;
    for (int k = 0; k < samples; ++k) {
        values.i.push_back(int16_t(k == 0 ? (number & 0x7FFF) : k == 1 ? (number >> 15) : 2048 + k));
        values.q.push_back(int16_t(2048 - k));
        values.s.push_back(int32_t(k % 50));
    }
    return encodeFrame(values);
}

// Runs the event loop, sleeping between events as the program does, until `condition` holds.
template<typename Condition>
void waitInEventLoop(Condition condition, Clock::duration limit)
{
    const auto until = Clock::now() + limit;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition() || Clock::now() > until)
            loop.quit();
    });
    check.start(5);
    loop.exec();
}

struct Scenario
{
    const char *name;
    int64_t frames;       // to send
    double seconds;       // or, at line rate, for this long
    bool paced;           // at the line's rate
    bool faults;          // 1 percent of each
    bool memoryCheckpoints;
    double framesPerSecond = 0; // a fixed pace instead (0: none)
    int samples = 128;
    // The port opened directly, or through ser2net.
    enum class Link { Local, Socket, Rfc2217 } link = Link::Local;
};

class Receiver : public QObject
{
    Q_OBJECT
public:
    std::vector<Clock::time_point> arrivals;
    std::vector<int64_t> numbers;
    double residentAtThousand = 0, residentAtHundredThousand = 0;

public Q_SLOTS:
    void onFrame(const frame_t &frame)
    {
        arrivals.push_back(Clock::now());
        numbers.push_back(int64_t(uint16_t(frame.i_samples[0])) | (int64_t(uint16_t(frame.i_samples[1])) << 15));
        if (numbers.size() == 1000)
            residentAtThousand = residentMiB();
        if (numbers.size() == 100000)
            residentAtHundredThousand = residentMiB();
    }
};

void run(const Scenario &scenario, Figures &figures)
{
    PseudoTerminal line;
    SerialPort worker;
    Receiver receiver;
    QObject::connect(&worker, &SerialPort::signalFrame, &receiver, &Receiver::onFrame, Qt::QueuedConnection);
    Ser2NetServer server;
    QString portName = line.slavePath();
    if (scenario.link != Scenario::Link::Local) {
        QString error;
        if (!server.start(line.slavePath(),
                scenario.link == Scenario::Link::Socket ? Ser2NetServer::Kind::Raw
                                                        : Ser2NetServer::Kind::Rfc2217,
                &error)) {
            std::fprintf(stderr, "stream_bench: %s\n", qPrintable(error));
            std::exit(1);
        }
        portName = server.url();
    }
    worker.openPort(portName, LineSettings::kBaudRate);
    if (!worker.status().open) {
        std::fprintf(stderr, "stream_bench: cannot open %s: %s\n", qPrintable(portName),
            qPrintable(worker.openErrorString()));
        std::exit(1);
    }

    // The bookkeeping is allocated and touched up front, so that it does not count as the
    // worker's memory growth.
    const size_t capacity = size_t(std::min<int64_t>(scenario.frames, 200000));
    auto preTouch = [capacity](auto &vector) {
        vector.resize(capacity);
        vector.clear();
    };
    preTouch(receiver.arrivals);
    preTouch(receiver.numbers);
    std::vector<Clock::time_point> written; // by frame number
    std::vector<bool> good;
    preTouch(written);
    preTouch(good);
    std::atomic<bool> done {false};
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    std::thread board([&] {
        FaultInjector injector({0.01, 0.01, 0.01, 0.01, 0.01}, 5);
        auto due = Clock::now();
        QByteArray slot;
        for (int64_t k = 0; k < scenario.frames; ++k) {
            if (scenario.paced && Clock::now() - start > std::chrono::duration<double>(scenario.seconds))
                break;
            slot.clear();
            const QByteArray frame = numbered(k, scenario.samples);
            const bool broken = scenario.faults ? injector.append(slot, frame) : (slot = frame, false);
            if (scenario.paced || scenario.framesPerSecond > 0) {
                const double seconds = scenario.paced ? LineSettings::secondsFor(slot.size()) : 1.0 / scenario.framesPerSecond;
                due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
                std::this_thread::sleep_until(due);
            }
            line.write(slot, 10000);
            written.push_back(Clock::now());
            good.push_back(!broken);
        }
        done = true;
    });
    waitInEventLoop([&done] { return done.load(); }, std::chrono::hours(1));
    board.join();
    const int64_t expected = std::count(good.begin(), good.end(), true);
    waitInEventLoop([&] { return int64_t(receiver.numbers.size()) >= expected; }, std::chrono::seconds(5));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;

    std::vector<double> latencies;
    bool inOrder = true;
    for (size_t k = 0; k < receiver.numbers.size(); ++k) {
        const int64_t number = receiver.numbers[k];
        inOrder = inOrder && (k == 0 || number > receiver.numbers[k - 1]) && number < int64_t(written.size());
        if (number < int64_t(written.size()))
            latencies.push_back(std::chrono::duration<double, std::milli>(receiver.arrivals[k] - written[size_t(number)]).count());
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&latencies](double p) {
        return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, size_t(p * double(latencies.size())))];
    };
    const QString prefix = QString::fromLatin1(scenario.name) + ": ";
    const int64_t received = int64_t(receiver.numbers.size());
    figures.add(prefix + "frames sent", double(written.size()), "");
    figures.add(prefix + "frames expected (sent less broken)", double(expected), "");
    figures.add(prefix + "frames received", double(received), "");
    figures.add(prefix + "frames lost", double(expected - received), "");
    figures.add(prefix + "received in order", inOrder ? 1 : 0, "(1 = yes)");
    figures.add(prefix + "throughput", received / elapsed, "frames/s");
    figures.add(prefix + "latency median", percentile(0.5), "ms");
    figures.add(prefix + "latency p99", percentile(0.99), "ms");
    figures.add(prefix + "latency max", latencies.empty() ? 0 : latencies.back(), "ms");
    figures.add(prefix + "CPU per frame (whole process)", received ? cpu / received * 1e6 : 0, "us");
    figures.add(prefix + "peak resident memory", peakResidentMiB(), "MiB");
    if (scenario.memoryCheckpoints) {
        figures.add(prefix + "resident after 1,000 frames", receiver.residentAtThousand, "MiB");
        figures.add(prefix + "resident after 100,000 frames", receiver.residentAtHundredThousand, "MiB");
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    registerFrameMetaType();
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    const QStringList arguments = application.arguments();
    const bool json = arguments.contains("--json");
    const bool smoke = arguments.contains("--smoke");
    const Scenario scenarios[] = {
        {"line rate", 1 << 30, smoke ? 2.0 : 10.0, true, false, false},
        {"line rate, socket:// through ser2net", 1 << 30, smoke ? 2.0 : 10.0, true, false, false, 0,
            128, Scenario::Link::Socket},
        {"line rate, rfc2217:// through ser2net", 1 << 30, smoke ? 2.0 : 10.0, true, false, false,
            0, 128, Scenario::Link::Rfc2217},
        {"24-sample frames at line rate", 1 << 30, smoke ? 2.0 : 10.0, true, false, false, 0, 24},
        {"24-sample frames at line rate, socket://", 1 << 30, smoke ? 2.0 : 10.0, true, false,
            false, 0, 24, Scenario::Link::Socket},
        {"24-sample frames at line rate, rfc2217://", 1 << 30, smoke ? 2.0 : 10.0, true, false,
            false, 0, 24, Scenario::Link::Rfc2217},
        {"unpaced", smoke ? 2000 : 20000, 0, false, false, false},
        {"unpaced, 1% of each fault", smoke ? 2000 : 20000, 0, false, true, false},
        {"unpaced, memory", smoke ? 2000 : 100000, 0, false, false, true},
        // Paced below what the main thread takes, so that no backlog of queued frames sits in the
        // figures: what is left is the worker's own memory.
        {"10,000 frames/s, memory", smoke ? 2000 : 100000, 0, false, false, true, 10000},
        // A board that pauses between small frames: each is below the decode gate and comes out
        // once the line has been quiet for a moment.
        {"16-sample frames 0.15 s apart", smoke ? 10 : 40, 0, false, false, false, 1 / 0.15, 16},
        {"2-sample frames 0.15 s apart", smoke ? 10 : 40, 0, false, false, false, 1 / 0.15, 2},
    };
    Figures figures;
    for (const Scenario &scenario : scenarios)
        run(scenario, figures);
    figures.print("stream_bench", json);
    return 0;
}

#include "stream_bench.moc"
