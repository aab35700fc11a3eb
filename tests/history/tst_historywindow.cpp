// SPDX-License-Identifier: MIT
// The live history window on the offscreen platform, fed by a real serial worker over a
// pseudo-terminal, and flooded from another thread through its tap.
#include "colourmap.h"
#include "framereceiver.h"
#include "historysupport.h"
#include "pseudoterminal.h"
#include "sanitizers.h"
#include "serialport.h"
#include "spectrumhistorywindow.h"

#include <QElapsedTimer>
#include <QFile>
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

    // Paused, the picture freezes; closed, the window takes nothing; shown again, it goes on.
    void pauseFreezesAndCloseDetaches()
    {
        SpectrumHistoryWindow window;
        Board board;
        window.attach(&board.worker);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        board.send(0, 4, 0, 128);
        QTRY_COMPARE(window.history().frameCount(), int64_t(4));

        window.setPaused(true);
        const QImage frozen = window.waterfall().image();
        board.send(4, 4, 0, 128);
        QTRY_COMPARE(board.counter.frames.load(), 8);
        QCoreApplication::processEvents();
        QCOMPARE(window.history().frameCount(), int64_t(4));
        QCOMPARE(window.waterfall().image(), frozen);
        window.setPaused(false);
        board.send(8, 2, 0, 128);
        QTRY_COMPARE(window.history().frameCount(), int64_t(6));

        window.close();
        board.send(10, 3, 0, 128);
        QTRY_COMPARE(board.counter.frames.load(), 13);
        QCoreApplication::processEvents();
        QCOMPARE(window.history().frameCount(), int64_t(6));
        window.show();
        board.send(13, 2, 0, 128);
        QTRY_COMPARE(window.history().frameCount(), int64_t(8));
        QTRY_COMPARE(newestPixel(window, 14), kTop);
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
