// SPDX-License-Identifier: MIT
// The spectrum history's cost: the live window's CPU at line rate (its share beside the worker's),
// how far its newest row trails the line under a flood of 1-sample frames and what that does to
// memory, and vazorez-plot's time and peak memory for an hour-long recording.
// Usage: history_bench [--json] [--smoke] [--grab FILE (the window after the line-rate run)]
#include "benchjson.h"
#include "benchprocess.h"
#include "boardmodel.h"
#include "frameencoder.h"
#include "linesettings.h"
#include "pseudoterminal.h"
#include "serialport.h"
#include "spectrumhistorywindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;




std::vector<QByteArray> boardFrames(SimMode mode, int samples, int count)
{
    BoardModel board(mode, samples, 1);
    std::vector<QByteArray> frames;
    for (int k = 0; k < count; ++k)
        frames.push_back(encodeFrame(board.frame(k)));
    return frames;
}

// Process CPU, as % of a core, while a paced board streams CW frames at the line's rate to a
// worker, with or without the history window attached.
double lineRateCpu(bool withWindow, double seconds, const QString &grab = QString())
{
    PseudoTerminal line;
    SerialPort worker;
    SpectrumHistoryWindow window;
    if (withWindow) {
        window.attach(&worker);
        window.show();
    }
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    const std::vector<QByteArray> frames = boardFrames(SimMode::Cw, 128, 64);
    waitInEventLoop(300); // the window's first paint
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
    if (withWindow && !grab.isEmpty())
        window.grab().save(grab);
    return used / seconds * 100.0;
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
    Figures figures;
    figures.add(QStringLiteral("platform: %1").arg(QGuiApplication::platformName()), 0, "");

    // Line rate: the board's writer thread costs the same in both runs.
    const double lineSeconds = smoke ? 2.0 : 20.0;
    const double alone = lineRateCpu(false, lineSeconds);
    const int grabAt = application.arguments().indexOf("--grab");
    const QString grab = grabAt > 0 ? application.arguments().value(grabAt + 1) : QString();
    const double withWindow = lineRateCpu(true, lineSeconds, grab);
    figures.add("line rate (11.2 frames/s), CPU without the window", alone, "% of a core");
    figures.add("line rate, CPU with the history window", withWindow, "% of a core");
    figures.add("line rate, the history window's share", withWindow - alone, "% of a core");

    // Flood: 1-sample frames as fast as the pseudo-terminal takes them.
    {
        PseudoTerminal line;
        SerialPort worker;
        SpectrumHistoryWindow window;
        const double floodSeconds = smoke ? 2.0 : 20.0;
        ClockTap clockTap(size_t(floodSeconds * 20e6));
        worker.addTap(&clockTap);
        window.attach(&worker);
        window.show();
        worker.openPort(line.slavePath(), LineSettings::kBaudRate);
        QByteArray burst;
        for (const QByteArray &frame : boardFrames(SimMode::Alternate, 1, 512))
            burst += frame;
        std::atomic<bool> stop{false};
        std::thread board([&] {
            while (!stop)
                line.write(burst);
        });
        std::vector<double> delays;
        delays.reserve(100000);
        double residentWarm = 0;
        QElapsedTimer clock;
        clock.start();
        QEventLoop loop;
        QTimer poll;
        // How far the newest row on screen trails the worker's clock, sampled off the drain's beat.
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            const int64_t shown = window.history().frameCount();
            if (shown > 0 && clock.elapsed() > 1000
                && shown <= clockTap.frames.load(std::memory_order_acquire))
                delays.push_back(std::chrono::duration<double, std::milli>(
                    Clock::now() - clockTap.decodedAt(shown - 1))
                                     .count());
            if (residentWarm == 0 && clock.elapsed() > 1000)
                residentWarm = residentMiB();
            if (clock.elapsed() > floodSeconds * 1000)
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
        figures.add("flood of 1-sample frames, frames decoded per second",
            clockTap.frames / floodSeconds, "frames/s");
        figures.add("flood, newest row behind the line, median", percentile(0.5), "ms");
        figures.add("flood, newest row behind the line, p99", percentile(0.99), "ms");
        figures.add(
            "flood, newest row behind the line, max", delays.empty() ? -1.0 : delays.back(), "ms");
        figures.add("flood, resident memory after 1 s", residentWarm, "MiB");
        figures.add("flood, resident memory growth to the end", residentEnd - residentWarm, "MiB");
    }

    // Offline: an hour at line rate (40,000 frames of 128 samples, 41 MB).
    {
        QTemporaryDir directory;
        const int frames = smoke ? 4000 : 40000;
        const QString recording = directory.filePath("hour.raw");
        QFile file(recording);
        file.open(QIODevice::WriteOnly);
        BoardModel board(SimMode::Cw, 128, 1);
        for (int k = 0; k < frames; ++k)
            file.write(encodeFrame(board.frame(k)));
        file.close();
        const QString program = QCoreApplication::applicationDirPath() + "/vazorez-plot";
        QProcess plot;
        const double childCpuBefore = cpuSeconds(RUSAGE_CHILDREN);
        QElapsedTimer timer;
        timer.start();
        plot.start(program, {recording, "-o", directory.filePath("hour.png")});
        plot.waitForFinished(300000);
        const double elapsed = timer.elapsed() / 1000.0;
        rusage children{};
        getrusage(RUSAGE_CHILDREN, &children);
        figures.add(QStringLiteral("vazorez-plot, %1 frames (%2 MB), exit code")
                        .arg(frames)
                        .arg(QFileInfo(recording).size() / 1e6, 0, 'f', 1),
            plot.exitCode(), "");
        figures.add("vazorez-plot, wall time", elapsed, "s");
        figures.add("vazorez-plot, CPU time", cpuSeconds(RUSAGE_CHILDREN) - childCpuBefore, "s");
        figures.add("vazorez-plot, peak resident memory", children.ru_maxrss / 1024.0, "MiB");
    }
    figures.print("history_bench", json);
    return 0;
}
