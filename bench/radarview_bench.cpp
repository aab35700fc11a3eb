// SPDX-License-Identifier: MIT
// The radar view's cost: the viewer's CPU at line rate with and without the view (n = 128, CW and
// alternating, a moving target), and under a flood (1-sample frames, and 16-sample frames with a
// target, as fast as the pseudo-terminal takes them): memory after the first second and at the
// end, how far the newest readout trails the line, and the longest the GUI thread was held up.
// Usage: radarview_bench [--json] [--smoke] [--grab FILE (the view after the alternating run)]
//                        [--only line|flood] [--rounds N (line rate runs, alternating with and
//                        without the view)]
//        radarview_bench --grab-scene SCENE.json cw|alternate FILE [SECONDS]: only the view after
//                        a moving scene played at the line's pace to its end or for SECONDS (the
//                        README's pictures)
#include "benchjson.h"
#include "benchprocess.h"
#include "boardmodel.h"
#include "frameencoder.h"
#include "linesettings.h"
#include "pseudoterminal.h"
#include "radartruth.h"
#include "radarviewwindow.h"
#include "serialport.h"
#include "simscene.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The scene's truth for frame k: a target 20 dB up that comes and goes, its speed and range
// changing slowly (a cycle of 224 frames, 20 s at line rate).
SimTarget truthAt(int64_t k)
{
    const double phase = 2.0 * M_PI * double(k % 224) / 224.0;
    return SimTarget{14.0 + 6.0 * std::sin(phase), -6.0 + 4.0 * std::cos(phase), 45.0};
}

// Frames 100 to 129 of each cycle carry no target.
bool hasGap(int64_t k)
{
    return k % 224 >= 100 && k % 224 < 130;
}

std::vector<QByteArray> sceneFrames(SimMode mode, int samples, int count, bool target)
{
    BoardModel board(mode, samples, 1);
    std::vector<QByteArray> frames;
    for (int k = 0; k < count; ++k) {
        // A gap in every cycle: the track shows where there was no target.
        const bool present = target && !hasGap(k);
        board.setRadarScene(exampleRadarProfile(),
            present ? std::vector<SimTarget>{truthAt(k)} : std::vector<SimTarget>{});
        frames.push_back(encodeFrame(board.frame(k)));
    }
    return frames;
}

// Process CPU, as % of a core, while a paced board streams frames at the line's rate to a worker,
// with or without the radar view attached.
double lineRateCpu(SimMode mode, bool withView, double seconds, const QString &grab = QString(),
    QString *readout = nullptr, int64_t *shown = nullptr)
{
    PseudoTerminal line;
    SerialPort worker;
    RadarViewWindow view;
    if (withView) {
        view.applyProfile(exampleRadarProfile(), false);
        view.attach(&worker);
        view.show();
    }
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    const std::vector<QByteArray> frames = sceneFrames(mode, 128, 224, true);
    waitInEventLoop(300);
    std::atomic<bool> stop{false};
    const double period = frames[0].size() / LineSettings::kBytesPerSecond;
    std::thread board([&] {
        auto due = Clock::now();
        for (size_t k = 0; !stop; ++k) {
            line.write(frames[k % frames.size()]);
            due += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(period));
            std::this_thread::sleep_until(due);
        }
    });
    const double before = cpuSeconds();
    waitInEventLoop(int(seconds * 1000));
    const double used = cpuSeconds() - before;
    stop = true;
    board.join();
    if (withView) {
        waitInEventLoop(200);
        view.setPaused(true);
        // With a palette of its own (few colours in it): a small file for the README.
        if (!grab.isEmpty())
            view.grab()
                .toImage()
                .convertToFormat(QImage::Format_Indexed8, Qt::AvoidDither)
                .save(grab);
        if (readout)
            *readout = view.readoutText();
        if (shown)
            *shown = view.shownFrame();
    }
    return used / seconds * 100.0;
}

// A moving scene at the line's pace (n = 128) into the view, to the scene's end; then its
// picture, and what the view shows on standard error.
int grabScene(const QString &scenePath, SimMode mode, const QString &picture, double seconds)
{
    SimScene scene;
    QString error;
    if (!SimScene::load(scenePath, &scene, &error)) {
        std::fprintf(stderr, "radarview_bench: %s\n", qPrintable(error));
        return 2;
    }
    BoardModel board(mode, 128, 1);
    board.setScene(exampleRadarProfile(), scene);
    const double period = BoardModel::linePeriod(128);
    const double played = seconds > 0.0 ? seconds : std::max(scene.durationS, 1.0);
    const int64_t count = int64_t(std::ceil(played / period));
    PseudoTerminal line;
    SerialPort worker;
    RadarViewWindow view;
    view.applyProfile(exampleRadarProfile(), false);
    view.attach(&worker);
    view.resize(1100, 760);
    view.show();
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    waitInEventLoop(300);
    std::atomic<bool> done{false};
    std::thread player([&] {
        auto due = Clock::now();
        for (int64_t k = 0; k < count; ++k) {
            line.write(encodeFrame(board.frame(k)));
            due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period));
            std::this_thread::sleep_until(due);
        }
        done = true;
    });
    while (!done)
        waitInEventLoop(100);
    player.join();
    waitInEventLoop(300);
    view.setPaused(true);
    const bool saved = view.grab()
                           .toImage()
                           .convertToFormat(QImage::Format_Indexed8, Qt::AvoidDither)
                           .save(picture);
    std::fprintf(stderr, "radarview_bench: %lld frames; frame %lld shown; %s\n",
        static_cast<long long>(count), static_cast<long long>(view.shownFrame()),
        qPrintable(view.readoutText().replace('\n', "; ")));
    return saved ? 0 : 1;
}

void flood(Figures &figures, const QString &name, int samples, double seconds)
{
    PseudoTerminal line;
    SerialPort worker;
    RadarViewWindow view;
    view.applyProfile(exampleRadarProfile(), false);
    ClockTap clockTap(size_t(seconds * 20e6));
    worker.addTap(&clockTap);
    view.attach(&worker);
    view.show();
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    QByteArray burst;
    for (const QByteArray &frame : sceneFrames(SimMode::Alternate, samples, 448, samples > 1))
        burst += frame;
    std::atomic<bool> stop{false};
    std::thread board([&] {
        while (!stop)
            line.write(burst);
    });
    std::vector<double> delays;
    delays.reserve(100000);
    double residentWarm = 0, longestStall = 0;
    QElapsedTimer clock;
    clock.start();
    auto lastTick = Clock::now();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        const auto now = Clock::now();
        if (clock.elapsed() > 1000)
            longestStall = std::max(
                longestStall, std::chrono::duration<double, std::milli>(now - lastTick).count());
        lastTick = now;
        const int64_t shown = view.shownFrame();
        if (shown >= 0 && clock.elapsed() > 1000
            && shown < clockTap.frames.load(std::memory_order_acquire))
            delays.push_back(
                std::chrono::duration<double, std::milli>(now - clockTap.decodedAt(shown)).count());
        if (residentWarm == 0 && clock.elapsed() > 1000)
            residentWarm = residentMiB();
        if (clock.elapsed() > seconds * 1000)
            loop.quit();
    });
    poll.start(7);
    loop.exec();
    const double residentEnd = residentMiB();
    stop = true;
    board.join();
    worker.removeTap(&clockTap);
    std::sort(delays.begin(), delays.end());
    const auto percentile = [&](double p) {
        return delays.empty() ? -1.0
                              : delays[std::min(delays.size() - 1, size_t(p * delays.size()))];
    };
    figures.add(name + ", frames decoded per second", clockTap.frames / seconds, "frames/s");
    figures.add(name + ", newest readout behind the line, median", percentile(0.5), "ms");
    figures.add(name + ", newest readout behind the line, p99", percentile(0.99), "ms");
    figures.add(name + ", longest wait of a 7 ms GUI timer", longestStall, "ms");
    figures.add(name + ", resident memory after 1 s", residentWarm, "MiB");
    figures.add(name + ", resident memory growth to the end", residentEnd - residentWarm, "MiB");
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "default.debug=false;qt.qpa.*=false");
    QApplication application(argc, argv);
    registerFrameMetaType();
    const bool json = application.arguments().contains("--json");
    const bool smoke = application.arguments().contains("--smoke");
    const int sceneAt = application.arguments().indexOf("--grab-scene");
    if (sceneAt > 0)
        return grabScene(application.arguments().value(sceneAt + 1),
            application.arguments().value(sceneAt + 2) == "cw" ? SimMode::Cw : SimMode::Alternate,
            application.arguments().value(sceneAt + 3),
            application.arguments().value(sceneAt + 4).toDouble());
    const int grabAt = application.arguments().indexOf("--grab");
    const QString grab = grabAt > 0 ? application.arguments().value(grabAt + 1) : QString();
    Figures figures;
    figures.add(QStringLiteral("platform: %1").arg(QGuiApplication::platformName()), 0, "");

    const int onlyAt = application.arguments().indexOf("--only");
    const QString only = onlyAt > 0 ? application.arguments().value(onlyAt + 1) : QString();
    const int roundsAt = application.arguments().indexOf("--rounds");
    const int rounds
        = roundsAt > 0 ? std::max(1, application.arguments().value(roundsAt + 1).toInt()) : 1;
    const double lineSeconds = smoke ? 2.0 : 20.0;
    for (SimMode mode : {SimMode::Cw, SimMode::Alternate}) {
        if (only == "flood")
            break;
        const QString name = mode == SimMode::Cw ? QStringLiteral("line rate, n 128 CW")
                                                 : QStringLiteral("line rate, n 128 alternating");
        // The machine's other load comes and goes: runs with and without the view alternate.
        double alone = 0.0, withView = 0.0, leastShare = 1e9, mostShare = -1e9;
        QString readout;
        int64_t shown = -1;
        for (int round = 0; round < rounds; ++round) {
            const double without = lineRateCpu(mode, false, lineSeconds);
            const double with = lineRateCpu(mode, true, lineSeconds,
                mode == SimMode::Alternate ? grab : QString(), &readout, &shown);
            alone += without / rounds;
            withView += with / rounds;
            leastShare = std::min(leastShare, with - without);
            mostShare = std::max(mostShare, with - without);
        }
        figures.add(name + ", CPU without the view", alone, "% of a core");
        figures.add(name + ", CPU with the radar view", withView, "% of a core");
        figures.add(name + ", the view's share", withView - alone, "% of a core");
        if (rounds > 1) {
            figures.add(name + ", the view's share, least of a round", leastShare, "% of a core");
            figures.add(name + ", the view's share, most of a round", mostShare, "% of a core");
        }
        if (!json && shown >= 0) {
            // What the view said at the end against the truth of the frames it showed.
            const SimTarget last = truthAt(shown), before = truthAt(shown - 1);
            std::printf("%s: the view shows frame %lld and says:\n%s\n  truth of frames %lld and "
                        "%lld: %.2f m/s, %.2f m; %.2f m/s, %.2f m%s\n",
                qPrintable(name), static_cast<long long>(shown), qPrintable(readout),
                static_cast<long long>(shown - 1), static_cast<long long>(shown), before.speedMps,
                before.rangeM, last.speedMps, last.rangeM,
                hasGap(shown) ? " (no target sent)" : "");
        }
    }
    const double floodSeconds = smoke ? 2.0 : 20.0;
    if (only != "line") {
        flood(figures, QStringLiteral("flood of 1-sample frames"), 1, floodSeconds);
        flood(figures, QStringLiteral("flood of 16-sample frames"), 16, floodSeconds);
    }
    figures.print("radarview_bench", json);
    return 0;
}
