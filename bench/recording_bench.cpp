// SPDX-License-Identifier: MIT
// What an HDF5 recording costs and how fast a replay moves through it: an hour at the line's rate
// (alternating CW and FMCW, 128 samples) written as the recorder writes it, flushed once a second;
// the CPU that takes, the file's size, the time to open its frame index and to seek in it. Then
// the viewer's own path: the serial worker on a pseudo-terminal at line rate with and without an h5
// FrameRecorder tap, in alternating stretches of the same run, for what recording costs the whole
// process ("h5 recording cost: X % of a core").
// Last, what syncing a recording to the disk once a second costs ("disk sync once a second").
// --smoke: ten minutes instead of an hour, and short stretches. --json: one line of JSON.
// --opens-beside-writer N: only this: a recording of 300 frames opened and read back N times while
// another thread writes an h5 recording as fast as it can (the viewer recording its link while the
// user opens an h5 replay); each open's time, and how many opens or reads failed.
#include "benchjson.h"
#include "benchprocess.h"
#include "boardmodel.h"
#include "frameencoder.h"
#include "framerecorder.h"
#include "hdf5reader.h"
#include "hdf5replaysource.h"
#include "hdf5writer.h"
#include "linesettings.h"
#include "outputfile.h"
#include "pseudoterminal.h"
#include "replaysource.h"
#include "serialport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <sys/resource.h>
#include <thread>

namespace {

// The whole process's CPU at line rate (128-sample frames through the serial worker), in
// stretches that take turns with and without an h5 recording: load beside the run falls on both
// alike. Returns the difference, in % of a core; the stretches' own figures go to `figures`.
bool recordingCostAtLineRate(
    const QString &directory, int stretches, double stretchSeconds, Figures &figures, double *cost)
{
    using Clock = std::chrono::steady_clock;
    PseudoTerminal line;
    SerialPort worker;
    std::atomic<int64_t> shown{0};
    QObject::connect(
        &worker, &SerialPort::signalFrame, &worker,
        [&shown](const frame_t &) { shown.fetch_add(1, std::memory_order_relaxed); },
        Qt::QueuedConnection);
    worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    if (!worker.status().open) {
        std::fprintf(stderr, "recording_bench: cannot open %s: %s\n", qPrintable(line.slavePath()),
            qPrintable(worker.openErrorString()));
        return false;
    }
    BoardModel board(SimMode::Alternate, 128, 11);
    std::vector<QByteArray> encoded;
    for (int k = 0; k < 64; ++k)
        encoded.push_back(encodeFrame(board.frame(k)));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        auto due = Clock::now();
        for (size_t k = 0; !stop.load(); ++k) {
            const QByteArray &frame = encoded[k % encoded.size()];
            due += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(LineSettings::secondsFor(frame.size())));
            std::this_thread::sleep_until(due);
            line.write(frame, 10000);
        }
    });
    waitInEventLoop(1000); // the line settles
    double with = 0, without = 0, startAndEnd = 0;
    int64_t recorded = 0;
    bool failed = false;
    for (int stretch = 0; stretch < 2 * stretches; ++stretch) {
        const bool recording = stretch % 2 == 1;
        std::unique_ptr<FrameRecorder> recorder;
        // Starting and ending a file are counted apart: they come once a recording.
        double cpuBefore = cpuSeconds();
        if (recording) {
            recorder = std::make_unique<FrameRecorder>(
                QStringLiteral("%1/live-%2.h5").arg(directory).arg(stretch), QString());
            QString error;
            if (!recorder->start(0, &error)) {
                std::fprintf(stderr, "recording_bench: %s\n", qPrintable(error));
                failed = true;
                break;
            }
            worker.addTap(recorder.get());
            startAndEnd += cpuSeconds() - cpuBefore;
        }
        cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        waitInEventLoop(int(stretchSeconds * 1000));
        const double cpu = cpuSeconds() - cpuBefore;
        const double share
            = cpu / std::chrono::duration<double>(Clock::now() - start).count() * 100.0;
        (recording ? with : without) += share / stretches;
        if (recorder) {
            const double endBefore = cpuSeconds();
            worker.removeTap(recorder.get());
            QString error;
            if (!recorder->finish(&error))
                std::fprintf(stderr, "recording_bench: %s\n", qPrintable(error));
            recorded += recorder->status().frames;
            startAndEnd += cpuSeconds() - endBefore;
        }
    }
    stop = true;
    writer.join();
    worker.closePort();
    if (failed)
        return false;
    figures.add("line rate, whole process, not recording", without, "% of a core");
    figures.add("line rate, whole process, recording h5", with, "% of a core");
    figures.add("same, frames recorded", double(recorded), "frames");
    figures.add("same, frames shown", double(shown.load()), "frames");
    figures.add("same, stretches of each", double(stretches), "");
    figures.add("starting and ending an h5 recording", startAndEnd / stretches * 1e3, "ms of CPU");
    *cost = with - without;
    figures.add("h5 recording cost", *cost, "% of a core");
    return true;
}

// What the once-a-second sync of a recording to the disk costs: a csv recording's bytes at the
// line's pace (128-sample frames, about 3.6 KB of text each, handed to the file every quarter of a
// second as the recorder does), in stretches that take turns with and without the sync. Returns
// the difference in the whole process's CPU, in % of a core.
double diskSyncCostAtLineRate(
    const QString &directory, int stretches, double stretchSeconds, Figures &figures)
{
    using Clock = std::chrono::steady_clock;
    const QByteArray frameText(3600, 'x');
    const auto framePeriod = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1031.0 / 11520.0));
    double with = 0, without = 0;
    int64_t syncs = 0;
    for (int stretch = 0; stretch < 2 * stretches; ++stretch) {
        const bool syncing = stretch % 2 == 1;
        OutputFile out;
        if (!out.open(QStringLiteral("%1/sync-%2.csv").arg(directory).arg(stretch)))
            return 0;
        out.setBufferSize(64 * 1024);
        if (syncing)
            out.syncToDiskEvery(std::chrono::milliseconds(1000));
        const double cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        auto due = start, nextFlush = start + std::chrono::milliseconds(250);
        while (Clock::now() - start < std::chrono::duration<double>(stretchSeconds)) {
            due += framePeriod;
            std::this_thread::sleep_until(due);
            out.write(frameText);
            out.endUnit();
            if (Clock::now() >= nextFlush) {
                out.flush();
                nextFlush += std::chrono::milliseconds(250);
            }
        }
        const double share = (cpuSeconds() - cpuBefore)
            / std::chrono::duration<double>(Clock::now() - start).count() * 100.0;
        (syncing ? with : without) += share / stretches;
        syncs += out.diskSyncs();
        out.commit();
    }
    figures.add("text recording at line rate, not synced", without, "% of a core");
    figures.add("same, synced to the disk once a second", with, "% of a core");
    figures.add("same, syncs", double(syncs), "syncs");
    figures.add("disk sync cost", with - without, "% of a core");
    return with - without;
}

// Opens `opens` times a recording of frames of 24, 128 and 255 samples and reads every frame back,
// while a thread writes another recording, flushing after every 12 frames (a second's worth at the
// line's rate). Prints each open's time (median, slowest) and the opens or reads that failed.
int opensBesideWriter(int opens)
{
    QTemporaryDir scratch;
    const QString path = scratch.filePath("replayed.h5");
    std::vector<FrameValues> sent;
    {
        Hdf5Writer recording;
        if (!recording.create(path, RecordingContext{})) {
            std::fprintf(stderr, "recording_bench: %s\n", qPrintable(recording.errorString()));
            return 1;
        }
        const int sizes[] = {24, 128, 255};
        for (int k = 0; k < 300; ++k) {
            sent.push_back(BoardModel(SimMode::Alternate, sizes[k % 3], 5).frame(k));
            const QByteArray bytes = encodeFrame(sent.back());
            recording.append(k * 0.1, bytes.constData(), bytes.size());
        }
        if (!recording.close()) {
            std::fprintf(stderr, "recording_bench: %s\n", qPrintable(recording.errorString()));
            return 1;
        }
    }
    std::atomic<bool> stop{false};
    std::atomic<int64_t> written{0};
    std::thread writerThread([&] {
        const QByteArray bytes = encodeFrame(BoardModel(SimMode::Alternate, 128, 9).frame(0));
        Hdf5Writer live;
        live.create(scratch.filePath("live.h5"), RecordingContext{});
        for (int64_t k = 0; !stop.load(); ++k) {
            live.append(k * 0.09, bytes.constData(), bytes.size());
            if (k % 12 == 11)
                live.flush();
            written.store(k + 1);
        }
        live.close();
    });
    while (written.load() < 100) // the writer is under way
        std::this_thread::yield();
    std::vector<double> times;
    int failed = 0;
    QString firstError;
    for (int k = 0; k < opens; ++k) {
        QElapsedTimer clock;
        clock.start();
        Hdf5Reader reader;
        QString error;
        const bool opened = reader.open(path, &error);
        times.push_back(clock.nsecsElapsed() / 1e6);
        bool same = opened && reader.frames() == int64_t(sent.size());
        for (int64_t frame = 0; same && frame < reader.frames(); ++frame) {
            FrameValues values;
            double seconds = 0;
            same = reader.readFrame(frame, &values, &seconds, &error)
                && encodeFrame(values) == encodeFrame(sent[size_t(frame)]);
        }
        if (!same) {
            ++failed;
            if (firstError.isEmpty())
                firstError = error.isEmpty() ? QStringLiteral("frames differ") : error;
        }
        std::printf(
            "open %d: %.1f ms, %s\n", k + 1, times.back(), same ? "read whole" : qPrintable(error));
        std::fflush(stdout);
    }
    stop = true;
    writerThread.join();
    std::sort(times.begin(), times.end());
    std::printf("%d opens beside a writer (%lld frames written meanwhile): median %.1f ms, slowest "
                "%.1f ms, %d failed%s%s\n",
        opens, static_cast<long long>(written.load()), times[times.size() / 2], times.back(),
        failed, failed ? "; first: " : "", qPrintable(firstError));
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    registerFrameMetaType();
    const QStringList arguments = QCoreApplication::arguments();
    const bool smoke = arguments.contains("--smoke");
    const bool json = arguments.contains("--json");
    const int opensAt = int(arguments.indexOf("--opens-beside-writer"));
    if (opensAt >= 0)
        return opensBesideWriter(std::max(1, arguments.value(opensAt + 1).toInt()));
    Figures figures;

    // 128-sample frames are 1031 bytes: 11.17 a second at 11,520 bytes a second.
    const double framesPerSecond = 11520.0 / 1031.0;
    const int seconds = smoke ? 600 : 3600;
    const int64_t frames = int64_t(seconds * framesPerSecond);
    BoardModel board(SimMode::Alternate, 128, 7);
    std::vector<QByteArray> encoded;
    for (int k = 0; k < 256; ++k)
        encoded.push_back(encodeFrame(board.frame(k)));

    QTemporaryDir scratch;
    const QString path = scratch.filePath("hour.h5");
    Hdf5Writer writer;
    if (!writer.create(path, RecordingContext{})) {
        std::fprintf(stderr, "recording_bench: %s\n", qPrintable(writer.errorString()));
        return 1;
    }
    // The recorder flushes once a second: at the line's rate, after every 11 or 12 frames.
    const double before = cpuSeconds();
    int64_t written = 0;
    for (int second = 0; second < seconds; ++second) {
        const int64_t due = int64_t((second + 1) * framesPerSecond);
        for (; written < due; ++written) {
            const QByteArray &bytes = encoded[size_t(written) % encoded.size()];
            writer.append(written / framesPerSecond, bytes.constData(), bytes.size());
        }
        writer.flush();
    }
    writer.close();
    const double cpu = cpuSeconds() - before;
    figures.add("frames written (one hour at line rate)", double(frames), "frames");
    figures.add("recording HDF5 at line rate, its own CPU", cpu / seconds * 100.0, "% of a core");
    figures.add("HDF5 file size per hour at line rate",
        QFileInfo(path).size() * (3600.0 / seconds) / 1e6, "MB");
    figures.add("same frames as raw bytes per hour", 11520.0 * 3600 / 1e6, "MB");

    QElapsedTimer clock;
    clock.start();
    Hdf5ReplaySource source(path, ReplaySource::Rate::Max, 0, false);
    QString error;
    if (!source.open(&error)) {
        std::fprintf(stderr, "recording_bench: %s\n", qPrintable(error));
        return 1;
    }
    figures.add("opening it for a replay (checks, the index's first step)",
        clock.nsecsElapsed() / 1e6, "ms");
    // The rest of the index, a step at each of the worker's reads (here reads that take no frame).
    clock.start();
    int steps = 0;
    for (QByteArray none; !source.index()->isReady(); ++steps)
        source.read(none, 0);
    figures.add("the rest of the index and the file's check, a step a read",
        clock.nsecsElapsed() / 1e6, "ms");
    figures.add("same, steps", double(steps), "steps");

    // The same frames as a raw capture: its index is a counting pass through the receive rules.
    {
        const QString rawPath = scratch.filePath("hour.raw");
        QFile raw(rawPath);
        raw.open(QIODevice::WriteOnly);
        for (int64_t k = 0; k < frames; ++k) {
            const QByteArray &bytes = encoded[size_t(k) % encoded.size()];
            raw.write(bytes);
        }
        raw.close();
        clock.start();
        ReplaySource capture(rawPath, ReplaySource::Rate::Max, 0, false);
        if (!capture.open(&error)) {
            std::fprintf(stderr, "recording_bench: %s\n", qPrintable(error));
            return 1;
        }
        figures.add("raw: opening it for a replay (first frame, the index's first step)",
            clock.nsecsElapsed() / 1e6, "ms");
        clock.start();
        int rawSteps = 0;
        for (QByteArray out; !capture.index()->isReady(); ++rawSteps) {
            out.clear();
            capture.read(out, 0);
        }
        figures.add("raw: the rest of the index, a step a read", clock.nsecsElapsed() / 1e6, "ms");
        figures.add("raw: same, steps", double(rawSteps), "steps");
    }

    // A seek: reposition, then hand over the frame sought (what the window shows next).
    std::mt19937 random(3);
    std::uniform_int_distribution<int64_t> anywhere(0, source.framesPerPass() - 1);
    std::vector<double> times;
    QByteArray out;
    for (int k = 0; k < 200; ++k) {
        const int64_t frame = anywhere(random);
        clock.start();
        source.seekToFrame(frame);
        out.clear();
        source.read(out, 4096);
        times.push_back(clock.nsecsElapsed() / 1e6);
        const QByteArray &expected = encoded[size_t(frame) % encoded.size()];
        if (!out.startsWith(expected)) {
            std::fprintf(stderr, "recording_bench: frame %lld came back different\n",
                static_cast<long long>(frame));
            return 1;
        }
    }
    std::sort(times.begin(), times.end());

    // A flood of 1-sample frames (15 bytes): what the writer sustains on the worker thread.
    {
        const QByteArray tiny = encodeFrame(BoardModel(SimMode::Cw, 1, 9).frame(0));
        Hdf5Writer flood;
        flood.create(scratch.filePath("flood.h5"), RecordingContext{});
        const int count = smoke ? 50000 : 500000;
        const double start = cpuSeconds();
        for (int k = 0; k < count; ++k)
            flood.append(k * 1e-4, tiny.constData(), tiny.size());
        flood.close();
        const double perFrame = (cpuSeconds() - start) / count;
        figures.add("recording a 1-sample frame (flood)", perFrame * 1e6, "us");
        figures.add("1-sample frames recorded a second, one core", 1.0 / perFrame, "frames/s");
    }
    figures.add("seek to a random frame and read it, median", times[times.size() / 2], "ms");
    figures.add("same, slowest of 200", times.back(), "ms");

    double cost = 0;
    const int stretches = qEnvironmentVariableIntValue("RECORDING_BENCH_STRETCHES");
    if (!recordingCostAtLineRate(scratch.path(),
            stretches > 0 ? stretches
                : smoke   ? 2
                          : 6,
            smoke ? 2.0 : 10.0, figures, &cost))
        return 1;
    const double syncCost
        = diskSyncCostAtLineRate(scratch.path(), smoke ? 2 : 6, smoke ? 2.0 : 10.0, figures);
    figures.print("recording_bench", json);
    if (!json)
        std::printf(
            "h5 recording cost: %.3f %% of a core; disk sync once a second: %.3f %% of a core\n",
            cost, syncCost);
    return 0;
}
