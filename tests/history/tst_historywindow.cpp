// SPDX-License-Identifier: MIT
// The live history window on the offscreen platform, fed by a real serial worker over a
// pseudo-terminal, and flooded from another thread through its tap.
#include "colourmap.h"
#include "framereceiver.h"
#include "historysupport.h"
#include "linesettings.h"
#include "pseudoterminal.h"
#include "replaysource.h"
#include "sanitizers.h"
#include "serialport.h"
#include "spectrumhistorywindow.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <unistd.h>

namespace {

const QRgb kTop = ColourMap::viridis().back();

// Counts what the worker decodes, so that a test knows a frame has passed the taps.
class CountingTap : public FrameTap {
public:
    void frameDecoded(const frame_t &, const char *, int, double) override { ++frames; }
    std::atomic<int> frames{0};
};

double residentMiB()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toDouble() * double(sysconf(_SC_PAGESIZE))
        / (1 << 20);
}

// Frame k of a stream: its peak wanders across the bins, so the newest row names its frame.
FrameValues streamFrame(int k, int mode, int samples)
{
    const int m = mode == 0 ? samples : samples / 2;
    return spectrumFrame(mode, samples, m > 0 ? k % m : -1);
}

// The pixel of `bin` in the row of the newest frame: the row its slot (59 ms) is drawn in, the one
// holding the slot's middle.
QRgb newestPixel(const SpectrumHistoryWindow &window, int bin)
{
    const Waterfall &waterfall = window.waterfall();
    const SpectrumHistory &history = window.history();
    const int x = std::min(waterfall.columnOf(bin + 0.5), waterfall.image().width() - 1);
    const double middle = (double(history.newestIndex()) + 0.5) * history.slotSeconds();
    return waterfall.image().pixel(x, waterfall.rowOf(middle));
}

// Frames held in the history's slots (its frame count also counts those it let go).
int64_t framesHeld(const SpectrumHistory &history)
{
    int64_t frames = 0;
    for (int64_t index = history.oldestIndex(); index <= history.newestIndex(); ++index)
        if (const HistorySlot *slot = history.slotAt(index))
            frames += slot->frames;
    return frames;
}

struct Board {
    Board()
    {
        worker.addTap(&counter);
        worker.openPort(line.slavePath(), LineSettings::kBaudRate);
    }
    ~Board() { worker.removeTap(&counter); }

    void send(int from, int count, int mode, int samples)
    {
        QByteArray bytes;
        for (int k = from; k < from + count; ++k)
            appendFrame(bytes, streamFrame(k, mode, samples));
        QVERIFY(line.write(bytes));
    }

    PseudoTerminal line;
    SerialPort worker;
    CountingTap counter;
};

} // namespace

class TestHistoryWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { registerFrameMetaType(); }

    void showsEveryFrameTheWorkerDecodes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("samples");
        for (int samples : {0, 1, 16, 64, 128, 255})
            QTest::addRow("CW, n=%d", samples) << 0 << samples;
        QTest::addRow("FMCW, n=128") << 1 << 128;
        QTest::addRow("FMCW, n=255") << 1 << 255;
    }

    // Bursts with pauses between them, as the board sends: every frame of a burst is decoded once
    // the line goes quiet, and the window shows exactly what was decoded.
    void showsEveryFrameTheWorkerDecodes()
    {
        QFETCH(int, mode);
        QFETCH(int, samples);
        SpectrumHistoryWindow window;
        Board board;
        window.attach(&board.worker);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int length = FrameDecoder::frameLength(samples);
        const int burst = std::max(3, 2 * FrameReceiver::kDecodeThreshold / length);
        int sent = 0;
        for (int round = 0; round < 3; ++round) {
            board.send(sent, burst, mode, samples);
            sent += burst;
            const int decoded = sent;
            QTRY_COMPARE(board.counter.frames.load(), decoded);
            QTRY_COMPARE(window.history().frameCount(), int64_t(decoded));
            const int m = mode == 0 ? samples : samples / 2;
            if (m > 0)
                QTRY_COMPARE(newestPixel(window, (decoded - 1) % m), kTop);
        }
        QVERIFY(window.rowsDrawn() > 0);
    }

    void replayAtFullSpeedKeepsEveryFrame_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("samples");
        QTest::newRow("300 frames of 128 over 26.8 s") << 300 << 128;
        QTest::newRow("600 frames of 64 over 27 s") << 600 << 64;
        QTest::newRow("24 frames of 255 over 4.3 s") << 24 << 255;
        QTest::newRow("1000 frames of 128 over 89.5 s: its last 30 s") << 1000 << 128;
    }

    // A replay at full speed hands the window seconds of file time between two drains: every frame
    // within the history's 30 s of file time is shown, the oldest as well as the newest.
    void replayAtFullSpeedKeepsEveryFrame()
    {
        QFETCH(int, frames);
        QFETCH(int, samples);
        QTemporaryDir directory;
        const QString path = directory.filePath("board.raw");
        QByteArray bytes;
        std::vector<double> times;
        for (int k = 0; k < frames; ++k) {
            appendFrame(bytes, streamFrame(k, 0, samples));
            times.push_back(LineSettings::secondsFor(double(bytes.size())));
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();

        SpectrumHistoryWindow window;
        SerialPort worker;
        CountingTap counter;
        worker.addTap(&counter);
        window.attach(&worker);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto replay = std::make_unique<ReplaySource>(path, ReplaySource::Rate::Max, 0.0, false);
        QString error;
        QVERIFY2(replay->open(&error), qPrintable(error));
        QSignalSpy finished(&worker, &SerialPort::signalReplayFinished);
        worker.openSource(std::move(replay));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(counter.frames.load(), frames);
        QTRY_VERIFY(!window.isDraining());
        worker.removeTap(&counter);

        // The frames the history keeps: those whose slot lies within its span of the newest.
        const double slot = SpectrumHistory::kLiveSeconds / SpectrumHistory::kLiveSlots;
        const int64_t newest = int64_t(std::floor(times.back() / slot));
        int kept = 0, oldestKept = frames;
        for (int k = frames - 1; k >= 0; --k)
            if (int64_t(std::floor(times[size_t(k)] / slot))
                > newest - SpectrumHistory::kLiveSlots) {
                ++kept;
                oldestKept = k;
            }
        QTRY_COMPARE(framesHeld(window.history()), int64_t(kept));
        QCOMPARE(window.history().newestIndex(), newest);
        // The oldest frame kept is drawn at its time, with its peak.
        const Waterfall &waterfall = window.waterfall();
        const int bin = oldestKept % samples;
        const int x = std::min(waterfall.columnOf(bin + 0.5), waterfall.image().width() - 1);
        const double middle = (std::floor(times[size_t(oldestKept)] / slot) + 0.5) * slot;
        QVERIFY(waterfall.rowOf(middle) < waterfall.image().height());
        QCOMPARE(waterfall.image().pixel(x, waterfall.rowOf(middle)), kTop);
    }

    // Paused, the picture freezes; closed, the window takes nothing; shown again, it goes on. It
    // wakes up only while a link is open: not before the first, not after the line is closed (the
    // frames that came just before the close are drawn first), again when the line opens.
    void pauseFreezesCloseDetachesAndIdleSleeps()
    {
        SpectrumHistoryWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!window.isDraining());
        Board board; // opens its line before the window attaches
        window.attach(&board.worker);
        QVERIFY(window.isDraining());
        board.send(0, 4, 0, 128);
        QTRY_COMPARE(window.history().frameCount(), int64_t(4));
        QTRY_VERIFY(!window.isTimerRunning()); // an open line that sends nothing wakes nothing
        QVERIFY(window.isDraining());

        window.setPaused(true);
        QVERIFY(!window.isDraining());
        const QImage frozen = window.waterfall().image();
        board.send(4, 4, 0, 128);
        QTRY_COMPARE(board.counter.frames.load(), 8);
        QCoreApplication::processEvents();
        QCOMPARE(window.history().frameCount(), int64_t(4));
        QCOMPARE(window.waterfall().image(), frozen);
        window.setPaused(false);
        QVERIFY(window.isDraining());
        board.send(8, 2, 0, 128);
        QTRY_COMPARE(window.history().frameCount(), int64_t(6));

        window.close();
        QVERIFY(!window.isDraining());
        board.send(10, 3, 0, 128);
        QTRY_COMPARE(board.counter.frames.load(), 13);
        QCoreApplication::processEvents();
        QCOMPARE(window.history().frameCount(), int64_t(6));
        window.show();
        board.send(13, 2, 0, 128);
        QTRY_COMPARE(window.history().frameCount(), int64_t(8));
        QTRY_COMPARE(newestPixel(window, 14), kTop);

        // Frames of 64 samples, the last still below the decode gate when the line is closed: every
        // frame the worker decoded, also at the close, is drawn before the window sleeps.
        board.send(15, 3, 0, 64);
        QTest::qWait(5);
        board.worker.closePort();
        QTRY_VERIFY(!window.isDraining());
        QCOMPARE(board.counter.frames.load(), 18);
        QCOMPARE(window.history().frameCount(), int64_t(18 - 4 - 3)); // none while paused or closed
        QTest::qWait(3 * SpectrumHistoryWindow::kDrainIntervalMs);
        QVERIFY(!window.isDraining());

        board.worker.openPort(board.line.slavePath(), LineSettings::kBaudRate);
        QTRY_VERIFY(window.isDraining());
        board.send(18, 2, 1, 255);
        QTRY_COMPARE(window.history().frameCount(), int64_t(2)); // a new link starts a new history
    }

    // The port may go first: the window lets go of it without touching it.
    void portDestroyedFirst()
    {
        SpectrumHistoryWindow window;
        window.show();
        {
            Board board;
            window.attach(&board.worker);
            board.send(0, 2, 0, 128);
            QTRY_COMPARE(window.history().frameCount(), int64_t(2));
        }
        QCOMPARE(window.port(), nullptr);
        window.close();
    }

    // A flood of 1-sample frames through the tap: memory stays where it was once warm, and when
    // the flood stops the newest frame is the top row.
    void floodKeepsMemoryFlatAndShowsTheNewest()
    {
        SpectrumHistoryWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int frames = 400000;
        std::vector<frame_t> records;
        for (int k = 0; k < 2; ++k)
            records.push_back(decodedRecord(streamFrame(k, 0, 1)));
        std::atomic<int> fed{0};
        std::atomic<double> lastSeconds{0};
        QElapsedTimer clock;
        clock.start();
        window.frameTap()->linkOpened({"flood", {}}); // as a worker does before a link's frames
        std::thread feeder([&] {
            for (int k = 0; k < frames; ++k) {
                const double seconds = clock.nsecsElapsed() * 1e-9;
                window.frameTap()->frameDecoded(records[size_t(k % 2)], nullptr, 0, seconds);
                lastSeconds = seconds;
                fed = k + 1;
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(fed.load() >= frames / 4, 60000);
        const double warm = residentMiB();
        QTRY_VERIFY_WITH_TIMEOUT(fed.load() == frames, 120000);
        feeder.join();
        QTRY_COMPARE(window.history().frameCount(), int64_t(frames));
        const double grown = residentMiB() - warm;
#ifndef VAZOREZ_UNDER_ASAN
        QVERIFY2(
            grown < 2.0, qPrintable(QStringLiteral("resident memory grew by %1 MiB").arg(grown)));
#else
        qInfo(
            "history window: resident memory (+%.2f MiB) not judged under AddressSanitizer", grown);
#endif
        QCOMPARE(window.history().lastSeconds(), lastSeconds.load());
        QCOMPARE(newestPixel(window, 0), kTop);
        // The newest frame's slot is the top row.
        const SpectrumHistory &history = window.history();
        QCOMPARE(int64_t(std::floor(lastSeconds / history.slotSeconds())), history.newestIndex());
        QCOMPARE(
            window.waterfall().rowOf((history.newestIndex() + 0.5) * history.slotSeconds()), 0);
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "tst_historywindow.moc"
